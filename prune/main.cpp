// Process entry of linksnap-prune.
#include "platform/entry.h"
#include "prune/prune.h"

PROGRAM_MAIN(pruneEntry)
