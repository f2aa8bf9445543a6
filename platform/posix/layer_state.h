// State that more than one file of the POSIX layer keeps, so that
// platResetState can set it all back.
#pragma once

#include "platform/platform.h"

#include <errno.h>

// The reason of the last failed call of this layer on this thread.
struct LayerFailure {
    const char* call;
    int code;
};
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
