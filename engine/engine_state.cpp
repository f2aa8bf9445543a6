#include "engine/engine_state.h"

#include <cassert>

EngineState engineState;
thread_local CopierThreadState copierThread;

void resetEngine()
{
    // No walk runs: its threads are joined and its jobs done.
    assert(engineState.pool.threads.empty() && engineState.walker.jobsOut == 0);

    FilterLists& filters = engineState.filters;
    releaseList(&filters.excludedFolders);
    releaseList(&filters.excludedTypes);
    releaseList(&filters.includedTypes);
    filters = FilterLists();

    // The parts that hold a mutex or a condition variable cannot be
    // assigned afresh; their other fields are set back one by one.
    WalkerState& walker = engineState.walker;
    walker.rootExcluded = false;
    walker.excludedRoot = FileIdentity();
    walker.rootName = nullptr;
    walker.target = UNKNOWN_TARGET;
    walker.levelBudget = LEVEL_BUDGET_START;
    walker.walkOnThreads = false;
    walker.jobsOut = 0;
    walker.workerCounts = RunCounters();

    engineState.copier = CopierState();

    SharedFilesState& shared = engineState.sharedFiles;
    for (auto& entry : shared.made) platDropLinkSource(entry.second);
    shared.made.clear();
    shared.bound = 0;
    shared.boundReached = false;
    shared.reported.clear();
    shared.reportedCounts = RunCounters();

    FolderPoolState& pool = engineState.pool;
    pool.queue.clear();
    pool.threads.clear();
    pool.runJob = nullptr;
    pool.onLeaving = nullptr;
    pool.idleWorkers = 0;
    pool.workerCount = 1;
    pool.stopping = false;

    engineState.resumingSnapshot = false;

    // The calling thread's own.
    releaseCopyBuffer();
    copierThread = CopierThreadState();
}
