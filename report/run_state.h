// Process-wide counters of the one run a process performs.
#pragma once

#include <cstdint>

struct RunCounters {
    int32_t filesCopied;
    int32_t filesLinked;
    int32_t unreadableSkipped;
    int32_t specialFiles; // FIFOs, sockets and devices, also among unreadableSkipped
    int32_t writeErrors;
    int32_t linkErrors;
    uint64_t bytesCopied;
    int64_t startTime;
    int64_t endTime;
};

// Each thread of the walk counts in its own copy (thread_local, so not in
// reportState); the walk adds the workers' counts to the main thread's at
// its end (addRunCounts). resetReport sets back the calling thread's.
extern thread_local RunCounters runCounters;

// Adds the counts (not the times) of counts to those of into.
void addRunCounts(RunCounters* into, const RunCounters& counts);

// The counts of the calling thread since before, which it then forgets:
// its copy is set back to before.
RunCounters takeRunCountsSince(const RunCounters& before);
