// The state of the POSIX layer: what it keeps for the whole run, in one
// object that platResetState sets back, and the per-thread failure record.
#pragma once

#include "platform/platform.h"

#include <errno.h>

// What the layer keeps for the whole run. platResetState sets it back to
// these start values, releasing what it holds; a reset never runs while
// the walk's threads do.
struct PlatformState {
    int inhibitLock = -1; // the logind sleep lock's descriptor while the machine is kept awake
};
extern PlatformState platformState;

// The reason of the last failed call of this layer on this thread.
struct LayerFailure {
    const char* call;
    int code;
};
// Per thread, not in PlatformState: each worker's calls fail on their own.
// platResetState sets back the calling thread's.
extern thread_local LayerFailure lastFailure;

// Keeps the call's name and code (errno unless given) for platFailureText;
// returns false, so that a failing path reads "return failed("openat");".
bool failed(const char* call);
bool failedWith(const char* call, int code);

// An open folder of the walk: its descriptor (the tree functions work
// below it too).
struct DirHandle {
    int fd;
};
