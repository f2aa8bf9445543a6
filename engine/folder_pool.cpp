#include "engine/folder_pool.h"

#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>

#include "engine/engine_state.h"

namespace {

void workerLoop()
{
    FolderPoolState& pool = engineState.pool;
    std::unique_lock<std::mutex> hold(pool.lock);
    for (;;) {
        ++pool.idleWorkers;
        while (pool.queue.empty() && !pool.stopping) pool.changed.wait(hold);
        --pool.idleWorkers;
        if (pool.queue.empty()) break;
        void* job = pool.queue.front();
        pool.queue.pop_front();
        hold.unlock();
        pool.runJob(job);
        hold.lock();
        pool.changed.notify_all();
    }
    hold.unlock();
    if (pool.onLeaving != nullptr) pool.onLeaving();
}

// Runs one queued job on the calling thread; false when none is queued.
bool runQueuedJob()
{
    FolderPoolState& pool = engineState.pool;
    void* job;
    {
        std::lock_guard<std::mutex> hold(pool.lock);
        if (pool.queue.empty()) return false;
        job = pool.queue.front();
        pool.queue.pop_front();
    }
    pool.runJob(job);
    std::lock_guard<std::mutex> hold(pool.lock);
    pool.changed.notify_all();
    return true;
}

} // namespace

int chooseWorkerCount(int cores, const char* asked)
{
    if (asked != nullptr && asked[0] >= '0' && asked[0] <= '9') {
        char* end = nullptr;
        long count = strtol(asked, &end, 10);
        if (*end == 0 && count >= 1 && count <= FOLDER_POOL_MOST_WORKERS) return static_cast<int>(count);
    }
    if (cores < 1) return 1;
    return cores > FOLDER_POOL_DEFAULT_CAP ? FOLDER_POOL_DEFAULT_CAP : cores;
}

int startFolderPool(int workers, void (*run)(void*), void (*leaving)())
{
    FolderPoolState& pool = engineState.pool;
    std::lock_guard<std::mutex> hold(pool.lock);
    pool.runJob = run;
    pool.onLeaving = leaving;
    pool.stopping = false;
    pool.idleWorkers = 0;
    pool.workerCount = 1;
    if (workers > FOLDER_POOL_MOST_WORKERS) workers = FOLDER_POOL_MOST_WORKERS;
    try {
        pool.threads.reserve(static_cast<size_t>(workers > 1 ? workers - 1 : 0));
        for (int k = 1; k < workers; ++k) {
            pool.threads.emplace_back(workerLoop);
            ++pool.workerCount;
        }
    } catch (const std::exception&) {
        // No thread or no memory for one: the walk goes on with those it has.
    }
    return pool.workerCount;
}

bool folderPoolHasIdle()
{
    FolderPoolState& pool = engineState.pool;
    std::lock_guard<std::mutex> hold(pool.lock);
    return pool.workerCount > 1 && static_cast<int>(pool.queue.size()) < pool.idleWorkers;
}

bool offerFolderJob(void* job)
{
    FolderPoolState& pool = engineState.pool;
    std::lock_guard<std::mutex> hold(pool.lock);
    // Only as much queued as there are idle hands: a job nobody would take
    // soon is better walked at once by the thread that found it. This also
    // keeps the output free of waits in a circle: a queued job's part of
    // the output is sure to be produced.
    if (pool.workerCount < 2 || static_cast<int>(pool.queue.size()) >= pool.idleWorkers) return false;
    try {
        pool.queue.push_back(job);
    } catch (const std::exception&) {
        return false;
    }
    pool.changed.notify_all();
    return true;
}

void waitForFolderJobs(bool (*done)())
{
    FolderPoolState& pool = engineState.pool;
    std::unique_lock<std::mutex> hold(pool.lock);
    while (!done()) {
        if (!pool.queue.empty()) {
            hold.unlock();
            runQueuedJob();
            hold.lock();
            continue;
        }
        pool.changed.wait(hold);
    }
}

void wakeFolderPool()
{
    FolderPoolState& pool = engineState.pool;
    std::lock_guard<std::mutex> hold(pool.lock);
    pool.changed.notify_all();
}

void stopFolderPool()
{
    FolderPoolState& pool = engineState.pool;
    {
        std::lock_guard<std::mutex> hold(pool.lock);
        pool.stopping = true;
        pool.changed.notify_all();
    }
    for (std::thread& t : pool.threads) t.join();
    pool.threads.clear();
    std::lock_guard<std::mutex> hold(pool.lock);
    pool.workerCount = 1;
    pool.runJob = nullptr;
    pool.onLeaving = nullptr;
}
