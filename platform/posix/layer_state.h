// Process-wide state that more than one file of the POSIX layer keeps, so
// that platResetState can set it all back.
#pragma once

#include "platform/platform.h"

// The reason of the last failed call of the walk's calls (platLastError).
extern thread_local PlatError lastCallError;

// The errno of the last failed call on whole trees (platLastErrorText).
extern thread_local int lastTreeError;

// An open folder of the walk: its descriptor (the tree functions work
// below it too).
struct DirHandle {
    int fd;
};
