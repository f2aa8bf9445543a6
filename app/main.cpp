// Process entry of linksnap.
#include "app/run.h"
#include "platform/entry.h"

PROGRAM_MAIN(programEntry)
