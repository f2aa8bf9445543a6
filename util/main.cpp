// Process entry of linksnap-util.
#include "platform/entry.h"
#include "util/util.h"

PROGRAM_MAIN(utilEntry)
