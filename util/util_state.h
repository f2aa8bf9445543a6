// The run-wide state of linksnap-util itself, in one object with one
// reset. The layers below keep theirs; resetUtilRun sets them all back.
#pragma once

#include <string>

struct UtilState {
    // The snapshot the root's lock names while readSnapshots asks which
    // snapshots are unfinished (the question's callback takes no context).
    std::string lockNamedSnapshot;
};

extern UtilState utilState;

// Sets util's own state back to its start. resetUtilRun calls it with the
// layers' resets.
void resetUtil();
