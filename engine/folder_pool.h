// A small pool of worker threads for the walk: a folder whose walk can go
// on beside its parent's is offered to the pool; an idle worker takes it,
// or nobody does and the walker walks it itself, as with one thread.
#pragma once

// The most workers a run uses unless told otherwise, however many cores
// the machine has.
const int FOLDER_POOL_DEFAULT_CAP = 8;
// The most workers LINKSNAP_WORKERS may ask for.
const int FOLDER_POOL_MOST_WORKERS = 64;

// The run's worker count: asked (the text of LINKSNAP_WORKERS, a whole
// number from 1 to FOLDER_POOL_MOST_WORKERS; null, empty or anything else
// is not a request), else one per core up to FOLDER_POOL_DEFAULT_CAP.
int chooseWorkerCount(int cores, const char* asked);

// Starts workers - 1 threads (the calling thread is the first worker) that
// run offered jobs with run, and call leaving (when not null) before they
// end. Returns how many workers there are: fewer when a thread cannot be
// started, 1 at least. With one, every offer is refused.
int startFolderPool(int workers, void (*run)(void* job), void (*leaving)());

// True when a worker would take a job now (a hint: it may be gone by the
// time the job is offered).
bool folderPoolHasIdle();

// True when job was queued for a worker; false when no worker is idle, and
// the caller runs it itself. Never waits. Every queued job has an idle
// worker of its own that is sure to take it.
bool offerFolderJob(void* job);

// Waits until done() is true, running queued jobs meanwhile (the caller
// must hold no output of its own); done is asked again after every job
// and whenever wakeFolderPool is called.
void waitForFolderJobs(bool (*done)());
void wakeFolderPool();

// Ends the workers once the queue is empty.
void stopFolderPool();
