// A small pool of worker threads for the walk: a folder whose walk can go
// on beside its parent's is offered to the pool; an idle worker takes it,
// or nobody does and the walker walks it itself, as with one thread.
#pragma once

// The most workers a run uses unless told otherwise.
const int FOLDER_POOL_MAX_WORKERS = 8;

// Starts workers - 1 threads (the calling thread is the first worker) that
// run offered jobs with run. workers below 2 start none: every offer is
// then refused.
void startFolderPool(int workers, void (*run)(void* job));

// True when a worker would take a job now (a hint: it may be gone by the
// time the job is offered).
bool folderPoolHasIdle();

// True when job was queued for a worker; false when no worker is idle, and
// the caller runs it itself.
bool offerFolderJob(void* job);

// Runs one queued job on the calling thread; false when none is queued.
bool helpWithFolderJob();

// Waits until done() is true, running queued jobs meanwhile; done is asked
// again after every job and whenever wakeFolderPool is called.
void waitForFolderJobs(bool (*done)());
void wakeFolderPool();

// Ends the workers once the queue is empty.
void stopFolderPool();
