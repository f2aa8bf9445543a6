// The run-wide state of the backup run itself, in one object with one
// reset. The layers below keep theirs (cmdlineState, engineState,
// reportState, rootState, platformState); resetRunState sets them all back.
#pragma once

#include "platform/text.h"
#include "root/catalog.h"

// The two paths of the run (the source and the backup root) as given or as
// the state file stored them, each in a slot of its own (storePathSlot).
struct PathSlots {
    NChar slots[2][PATH_CHARS];
    int counter;
};

struct AppState {
    // The root's catalog as this run read it and keeps it in step.
    Catalog catalog;
    // The backup root of this run, for lockNamesOwnFolder.
    const NChar* runRoot = nullptr;
    // The name of the snapshot the state file names in this root; empty
    // when it names none here.
    NChar stateSnapshotName[CATALOG_NAME_CHARS] = {0};
    PathSlots pathSlots = PathSlots();
};

extern AppState appState;

// Sets the run's own state back to these start values. resetRunState calls
// it with the layers' resets.
void resetApp();
