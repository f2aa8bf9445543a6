// The run-wide state of the snapshot engine, in one object with one reset:
// one part per module, so that each still reads like itself
// (engineState.walker.target).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/copier.h"
#include "engine/filter_lists.h"
#include "platform/platform.h"
#include "report/run_state.h"
#include "root/checksums.h"

// ---- the filter lists -----------------------------------------------------------

struct FilterLists {
    StringList excludedFolders = {nullptr, 0};
    StringList excludedTypes = {nullptr, 0};
    StringList includedTypes = {nullptr, 0};
};

// ---- the walker -------------------------------------------------------------------

// What the backup file system keeps of a file, found once per run on the
// new snapshot folder: a time is stored rounded to timeStep (in FileTime
// fractions; NTFS through ntfs-3g keeps 100 ns, exFAT 10 ms, FAT 2 s), and
// modes and owners may not be kept at all.
struct TargetTraits {
    int64_t timeStep;
    bool keepsModes;
    bool keepsOwners;
    bool makesLinks; // false: FAT, exFAT, a share without hard links
};

// Until the walk has looked: a disk that keeps every time and mode.
const TargetTraits UNKNOWN_TARGET = {1, true, false, true};

// The levels of open folders a walk keeps until walkTree sets its own.
const size_t LEVEL_BUDGET_START = 64;

struct WalkerState {
    // The backup root, left out of every walk (setExcludedRoot).
    bool rootExcluded = false;
    FileIdentity excludedRoot = FileIdentity();
    // The backup root as the user named it, for what the walk says about its disk.
    const NChar* rootName = nullptr;
    TargetTraits target = UNKNOWN_TARGET;
    // Levels of open folders one walk may keep; set for each run by walkTree.
    size_t levelBudget = LEVEL_BUDGET_START;
    // The walk on several threads: whether folders go to the pool, the
    // jobs handed out and not finished, and the counts the jobs finished.
    bool walkOnThreads = false;
    std::atomic<int> jobsOut{0};
    std::mutex countsLock;
    RunCounters workerCounts = RunCounters();
};

// ---- the copier -------------------------------------------------------------------

struct CopierState {
    // The most one thread's transfer buffer grows to (shareCopyBuffers).
    int32_t bufferCap = COPY_BUFFER_MAX;
    // Whether this run records checksums; set before the walk's threads start.
    bool recording = false;
    // The files of the root that a verify found bad: never linked again.
    std::unordered_set<ChecksumKey, ChecksumKeyHash> badFiles;
    // Whether stored symbolic links get the owner and times of their source.
    bool linkAttributesCarried = true;
};

// One line of text per worker thread: the reason of the failure that the
// thread reports next.
const size_t REASON_CHARS = 512;

// What each thread keeps of its own copies: thread_local, not in
// EngineState, since every worker copies, fails and settles files on its
// own. Zero when a thread starts; resetEngine sets back the calling
// thread's (and releaseCopyBuffer frees a worker's hasher as it ends).
struct CopierThreadState {
    ContentHasher* hasher;          // made on the thread's first recorded copy
    NChar keptReason[REASON_CHARS]; // the reason of the failure it reports next
    // The file with several names this thread is copying for later names,
    // not settled yet. Others wait for it: it is settled before this
    // thread writes any message (the rule that keeps that wait free of
    // cycles).
    const FileIdentity* unsettledShared;
};
extern thread_local CopierThreadState copierThread;

// ---- files with several names -------------------------------------------------

struct IdentityHash {
    size_t operator()(const FileIdentity& identity) const
    {
        return std::hash<uint64_t>()(identity.index * 0x9E3779B97F4A7C15ull ^ identity.volume);
    }
};

struct IdentityEqual {
    bool operator()(const FileIdentity& a, const FileIdentity& b) const { return sameIdentity(a, b); }
};

struct SharedFilesState {
    // What the copiers made: each remembered file's kept copy, null while
    // its first copy is under way. Shared by the workers.
    std::mutex madeLock;
    std::condition_variable madeSettled; // a copy under way was kept or dropped
    std::unordered_map<FileIdentity, LinkSource*, IdentityHash, IdentityEqual> made;
    size_t bound = 0;
    bool boundReached = false;
    // What the report has said so far, in one-thread order: the files whose
    // first name was reported as copied. Used by the emitter, or by the one
    // thread of a walk alone; a producer writes through it only when memory
    // runs out (its record then goes straight out).
    std::mutex reportedLock;
    std::unordered_set<FileIdentity, IdentityHash, IdentityEqual> reported;
    RunCounters reportedCounts = RunCounters();
};

// ---- the pool of workers --------------------------------------------------------

struct FolderPoolState {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<void*> queue;
    std::vector<std::thread> threads;
    void (*runJob)(void*) = nullptr;
    void (*onLeaving)() = nullptr;
    int idleWorkers = 0;
    int workerCount = 1;
    bool stopping = false;
};

// ---- the engine ---------------------------------------------------------------------

struct EngineState {
    FilterLists filters;
    WalkerState walker;
    CopierState copier;
    SharedFilesState sharedFiles;
    FolderPoolState pool;
    // Set by the run sequence when it continues today's unfinished
    // snapshot (see engine/resume.h).
    bool resumingSnapshot = false;
};

extern EngineState engineState;

// Sets the engine's state back to these start values, releasing what it
// holds first (the filter lists, the kept copies of files with several
// names, the calling thread's copy buffer and hasher). Only between walks:
// no other thread runs then, so none holds a lock or waits. Part of each
// program's one reset.
void resetEngine();
