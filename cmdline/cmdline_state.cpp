#include "cmdline/cmdline_state.h"

#include "cmdline/arguments.h"

// Apart from the run sequence, so that every program built on these layers
// (linksnap-prune too) has it without the backup run.
CmdlineState cmdlineState;

void resetCmdline()
{
    releaseArgumentCopy();
    cmdlineState = CmdlineState();
}
