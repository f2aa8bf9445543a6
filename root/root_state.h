// The run-wide state of what a backup root holds on disk, in one object
// with one reset: one part per module (rootState.lock, the paths of the
// state file, rootState.checksumLog).
#pragma once

#include <cstddef>
#include <cstdio>
#include <mutex>

#include "platform/platform.h"
#include "platform/text.h"

// The lock file's text: a few short lines and one path.
const size_t LOCK_TEXT_CHARS = 2048;

// ---- the root's lock (root_lock.cpp) -------------------------------------------

struct RootLockState {
    LockHandle* rootLock = nullptr; // while this process holds the root's lock
    // What the last holder wrote, read when the lock was taken.
    NChar lastLockText[LOCK_TEXT_CHARS] = {0};
};

// ---- the run's appender of checksum records (checksums.cpp) --------------------

struct ChecksumLogState {
    std::mutex logMutex;
    FILE* logStream = nullptr;
};

// ---- the backup root ------------------------------------------------------------

struct RootState {
    RootLockState lock;
    // The two paths the state file holds (state_file.cpp), as the last read
    // left them, each a directory path or empty.
    NChar storedSourcePath[PATH_CHARS] = {0};
    NChar previousSnapshotPath[PATH_CHARS] = {0};
    ChecksumLogState checksumLog;
};

extern RootState rootState;

// Sets the state back to these start values: the root's lock given back
// and the checksum records' appender closed first. Only while no other
// thread runs. Part of each program's one reset.
void resetRoot();
