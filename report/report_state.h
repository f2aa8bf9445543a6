// The run-wide state of the reporting layer, in one object with one reset:
// one part per module (reportState.log, reportState.ordered,
// reportState.summary).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

#include "platform/text.h"
#include "report/ordered_output.h"
#include "report/summary.h"

// ---- console and log (output.cpp) ------------------------------------------------

struct LogState {
    uint8_t headerWritten = 0;         // the header block is in the log file
    const NChar* headerText = nullptr; // the new snapshot path; not owned
    NChar logPath[PATH_CHARS] = {0};   // full path of log.txt, empty until set
    // The log the run opened for the rest of the run (openRunLog); null
    // when it could not be opened, or before.
    FILE* runLog = nullptr;
    bool runLogOpened = false;
};

// ---- the ordered output of a walk on threads (ordered_output.cpp) ---------------

struct OrderedOutputState {
    std::mutex lock;
    size_t heldBytes = 0;
    // The bound in force: ORDERED_OUTPUT_LIMIT unless set lower for a test.
    size_t outputLimit = ORDERED_OUTPUT_LIMIT;
    // The node the emitter reads now: its producer never waits.
    OutputNode* emitterAt = nullptr;
    // Each side is woken only when it waits, and the emitter only for news of
    // the node it waits on: a wake-up costs a system call.
    std::condition_variable emitterWake;
    bool emitterWaiting = false;
    std::condition_variable producerWake;
    int producersWaiting = 0;
    // Where text goes that cannot be held for want of memory: straight out,
    // out of its place but not lost.
    void (*directWrite)(OutputChannel, const NChar*, size_t) = nullptr;
};

struct OutputItem {
    OutputChannel channel;
    std::basic_string<NChar> text; // when child is null
    OutputNode* child;             // a part of the walk that stands here
};

// What a thread wrote into its node and has not handed over yet: texts
// are gathered here and handed over together, so that a line costs no lock
// (and no system call) of its own. A line that announces something long
// (a copy) is handed over at once (flushCapturedOutput).
struct Pending {
    OutputNode* node = nullptr;
    std::deque<OutputItem> items;
    size_t bytes = 0;
};

// What each thread keeps of its own output: thread_local, not in
// ReportState, since every worker writes into a node of its own.
// resetReport sets back the calling thread's.
struct OutputThreadState {
    OutputNode* current = nullptr; // where the thread's output goes; null: straight out
    Pending pending;
};
extern thread_local OutputThreadState outputThread;

// ---- the summary (summary.cpp) -----------------------------------------------------

struct SummaryState {
    NChar groupedText[GROUPED_TEXT_CHARS] = {0}; // the last formatGrouped
    NChar elapsedText[ELAPSED_TEXT_CHARS] = {0}; // the last formatElapsed
};

// ---- the reporting layer ---------------------------------------------------------

struct ReportState {
    LogState log;
    OrderedOutputState ordered;
    SummaryState summary;
};

extern ReportState reportState;

// Sets the layer's state back to these start values, the run's log closed
// first, and the calling thread's counters (runCounters) and output. Only
// between walks: no other thread runs then, so none holds a lock or waits.
// Part of each program's one reset.
void resetReport();
