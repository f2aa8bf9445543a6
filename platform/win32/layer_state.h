// The state of the Windows layer: what it keeps for the whole run, in one
// object that platResetState sets back, and the per-thread failure record.
#pragma once

#include "platform/platform.h"

#include <windows.h>

// What the layer keeps for the whole run. platResetState sets it back to
// these start values, releasing what it holds; a reset never runs while
// the walk's threads do.
struct PlatformState {
    bool keepingAwake = false; // the system was asked to stay awake (platKeepAwake)
};
extern PlatformState platformState;

// The reason of the last failed call of this layer on this thread: a
// system error code, or for a call of the C runtime its errno.
struct LayerFailure {
    const char* call;
    unsigned long code;
    bool isErrno;
};
// Per thread, not in PlatformState: each worker's calls fail on their own.
// platResetState sets back the calling thread's.
extern thread_local LayerFailure lastFailure;

// Keep the call's name and its reason for platFailureText, taken right
// after the call (GetLastError, a given code, or errno); each returns
// false, so that a failing path reads "return failed("CreateFileW");".
bool failed(const char* call);
bool failedWith(const char* call, DWORD code);
bool failedErrno(const char* call);

// The system's message of a Windows error code, without its line end.
void systemText(DWORD code, wchar_t* text, size_t capacity);

// Removes the file (or link) at path without changing what its other hard
// links see. A read-only file is opened for delete with the disposition
// that ignores the attribute where the system has it; elsewhere its
// attribute is cleared, the file marked for delete and the attribute set
// back through the same handle, so that the remaining names, which share
// it, keep it. False with the failure kept when the file stays.
bool removeFileKeepingLinks(const wchar_t* path);

// The second way alone (for tests, and where the first is not supported).
bool removeFileRestoringReadOnly(const wchar_t* path);
