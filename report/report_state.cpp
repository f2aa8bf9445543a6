#include "report/report_state.h"

#include "report/output.h"
#include "report/run_state.h"
#include "report/summary.h"

void resetReport()
{
    runCounters = RunCounters();
    closeRunLog();
    logState.headerWritten = 0;
    logState.headerText = nullptr;
    logState.logPath[0] = 0;
    groupedText[0] = 0;
    elapsedText[0] = 0;
}
