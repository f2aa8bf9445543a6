// The run-wide state of linksnap-prune itself, in one object with one
// reset. The layers below keep theirs; resetPruneRun sets them all back.
#pragma once

struct PruneSettings {
    int noExec; // -n: show what would be deleted, delete nothing
    int silent; // -s: print only the total
};

struct PruneState {
    PruneSettings pruneSettings = PruneSettings();
};

extern PruneState pruneState;

// Sets prune's own state back to these start values. resetPruneRun calls
// it with the layers' resets.
void resetPrune();
