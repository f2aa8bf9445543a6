#include "report/report_state.h"

#include <cassert>

#include "report/output.h"
#include "report/run_state.h"

ReportState reportState;
thread_local OutputThreadState outputThread;

void resetReport()
{
    closeRunLog();
    reportState.log = LogState();

    // The mutex and the condition variables cannot be assigned afresh: the
    // other fields are set back one by one. No emitter or producer waits.
    OrderedOutputState& ordered = reportState.ordered;
    assert(!ordered.emitterWaiting && ordered.producersWaiting == 0);
    ordered.heldBytes = 0;
    ordered.outputLimit = ORDERED_OUTPUT_LIMIT;
    ordered.emitterAt = nullptr;
    ordered.emitterWaiting = false;
    ordered.producersWaiting = 0;
    ordered.directWrite = nullptr;

    reportState.summary = SummaryState();

    // The calling thread's own.
    runCounters = RunCounters();
    outputThread = OutputThreadState();
}
