#include "engine/folder_pool.h"

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace {

std::mutex lock;
std::condition_variable changed;
std::deque<void*> queue;
std::vector<std::thread> threads;
void (*runJob)(void*) = nullptr;
void (*onLeaving)() = nullptr;
int idleWorkers = 0;
int workerCount = 1;
bool stopping = false;

void workerLoop()
{
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
        ++idleWorkers;
        while (queue.empty() && !stopping) changed.wait(hold);
        --idleWorkers;
        if (queue.empty()) break;
        void* job = queue.front();
        queue.pop_front();
        hold.unlock();
        runJob(job);
        hold.lock();
        changed.notify_all();
    }
    hold.unlock();
    if (onLeaving != nullptr) onLeaving();
}

// Runs one queued job on the calling thread; false when none is queued.
bool runQueuedJob()
{
    void* job;
    {
        std::lock_guard<std::mutex> hold(lock);
        if (queue.empty()) return false;
        job = queue.front();
        queue.pop_front();
    }
    runJob(job);
    std::lock_guard<std::mutex> hold(lock);
    changed.notify_all();
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
    std::lock_guard<std::mutex> hold(lock);
    runJob = run;
    onLeaving = leaving;
    stopping = false;
    idleWorkers = 0;
    workerCount = 1;
    if (workers > FOLDER_POOL_MOST_WORKERS) workers = FOLDER_POOL_MOST_WORKERS;
    try {
        threads.reserve(static_cast<size_t>(workers > 1 ? workers - 1 : 0));
        for (int k = 1; k < workers; ++k) {
            threads.emplace_back(workerLoop);
            ++workerCount;
        }
    } catch (const std::exception&) {
        // No thread or no memory for one: the walk goes on with those it has.
    }
    return workerCount;
}

bool folderPoolHasIdle()
{
    std::lock_guard<std::mutex> hold(lock);
    return workerCount > 1 && static_cast<int>(queue.size()) < idleWorkers;
}

bool offerFolderJob(void* job)
{
    std::lock_guard<std::mutex> hold(lock);
    // Only as much queued as there are idle hands: a job nobody would take
    // soon is better walked at once by the thread that found it. This also
    // keeps the output free of waits in a circle: a queued job's part of
    // the output is sure to be produced.
    if (workerCount < 2 || static_cast<int>(queue.size()) >= idleWorkers) return false;
    try {
        queue.push_back(job);
    } catch (const std::exception&) {
        return false;
    }
    changed.notify_all();
    return true;
}

void waitForFolderJobs(bool (*done)())
{
    std::unique_lock<std::mutex> hold(lock);
    while (!done()) {
        if (!queue.empty()) {
            hold.unlock();
            runQueuedJob();
            hold.lock();
            continue;
        }
        changed.wait(hold);
    }
}

void wakeFolderPool()
{
    std::lock_guard<std::mutex> hold(lock);
    changed.notify_all();
}

void stopFolderPool()
{
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
        changed.notify_all();
    }
    for (std::thread& t : threads) t.join();
    threads.clear();
    std::lock_guard<std::mutex> hold(lock);
    workerCount = 1;
    runJob = nullptr;
    onLeaving = nullptr;
}
