#include "report/run_state.h"

// Apart from the run sequence, so that every program built on these layers
// (linksnap-prune too) has them without the backup run.
thread_local RunCounters runCounters;

void addRunCounts(RunCounters* into, const RunCounters& counts)
{
    into->filesCopied += counts.filesCopied;
    into->filesLinked += counts.filesLinked;
    into->unreadableSkipped += counts.unreadableSkipped;
    into->specialFiles += counts.specialFiles;
    into->writeErrors += counts.writeErrors;
    into->linkErrors += counts.linkErrors;
    into->bytesCopied += counts.bytesCopied;
}

RunCounters takeRunCountsSince(const RunCounters& before)
{
    RunCounters counts = RunCounters();
    counts.filesCopied = runCounters.filesCopied - before.filesCopied;
    counts.filesLinked = runCounters.filesLinked - before.filesLinked;
    counts.unreadableSkipped = runCounters.unreadableSkipped - before.unreadableSkipped;
    counts.specialFiles = runCounters.specialFiles - before.specialFiles;
    counts.writeErrors = runCounters.writeErrors - before.writeErrors;
    counts.linkErrors = runCounters.linkErrors - before.linkErrors;
    counts.bytesCopied = runCounters.bytesCopied - before.bytesCopied;
    runCounters = before;
    return counts;
}
