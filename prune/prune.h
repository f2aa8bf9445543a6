// linksnap-prune: deletes the snapshots of a backup root that a retention
// schedule does not keep, and shows what each snapshot costs.
#pragma once

#include "platform/text.h"

// The most periods of one kind a schedule may name (d=, w=, m=, y=).
const int MAX_KEEP_PERIODS = 100000;

// Process entry of linksnap-prune: the exit code (0 all done, 1 usage or
// refusal, 2 when some deletion failed).
int pruneEntry(int argc, NChar** argv);
int runPrune(int argc, NChar** argv);

// Sets every run-wide variable of linksnap-prune and of the layers below it
// to its start value, releasing what they hold: the program's one reset.
void resetPruneRun();
