#include "engine/folder_pool.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

std::mutex lock;
std::condition_variable changed;
std::deque<void*> queue;
std::vector<std::thread> threads;
void (*runJob)(void*) = nullptr;
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
        if (queue.empty()) return;
        void* job = queue.front();
        queue.pop_front();
        hold.unlock();
        runJob(job);
        hold.lock();
        changed.notify_all();
    }
}

} // namespace

void startFolderPool(int workers, void (*run)(void*))
{
    std::lock_guard<std::mutex> hold(lock);
    runJob = run;
    workerCount = workers < 1 ? 1 : workers;
    stopping = false;
    idleWorkers = 0;
    for (int k = 1; k < workerCount; ++k) threads.emplace_back(workerLoop);
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
    // soon is better walked at once by the thread that found it.
    if (workerCount < 2 || static_cast<int>(queue.size()) >= idleWorkers) return false;
    queue.push_back(job);
    changed.notify_all();
    return true;
}

bool helpWithFolderJob()
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

void waitForFolderJobs(bool (*done)())
{
    std::unique_lock<std::mutex> hold(lock);
    while (!done()) {
        if (!queue.empty()) {
            hold.unlock();
            helpWithFolderJob();
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
}
