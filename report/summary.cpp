#include "report/summary.h"

#include "report/output.h"
#include "report/report_state.h"
#include "report/run_state.h"

// Appends a formatted piece at the end of a fixed text; the pieces of both
// texts are bounded far below their buffers, and a piece that would not fit
// is left out rather than written past the end.
static void appendPiece(NChar* text, size_t capacity, const NChar* format, int value)
{
    size_t used = textLength(text);
    formatText(text + used, capacity - used, format, value);
}

const NChar* formatGrouped(int64_t value)
{
    SummaryState& summary = reportState.summary;
    summary.groupedText[0] = 0;
    bool written = false;
    for (int64_t divisor = 1000000000000LL; divisor != 0; divisor /= 1000) {
        int64_t q = value / divisor;
        bool last = divisor == 1;
        if (written) {
            appendPiece(summary.groupedText, GROUPED_TEXT_CHARS, last ? N("%03d") : N("%03d."),
                        static_cast<int>(q));
        } else if (q > 0) {
            appendPiece(summary.groupedText, GROUPED_TEXT_CHARS, last ? N("%3d") : N("%3d."),
                        static_cast<int>(q));
            written = true;
        }
        value %= divisor;
    }
    return summary.groupedText;
}

const NChar* formatElapsed(int64_t d)
{
    SummaryState& summary = reportState.summary;
    summary.elapsedText[0] = 0;
    if (d > 86400) {
        int64_t days = d / 86400;
        appendPiece(summary.elapsedText, ELAPSED_TEXT_CHARS, N("%d days, "), static_cast<int>(days));
        d -= days * 86400;
    }
    if (d >= 0) {
        if (d > 3600) {
            int64_t hours = d / 3600;
            appendPiece(summary.elapsedText, ELAPSED_TEXT_CHARS, N("%d hrs, "), static_cast<int>(hours));
            d -= hours * 3600;
        }
        if (d > 60) {
            int64_t minutes = d / 60;
            appendPiece(summary.elapsedText, ELAPSED_TEXT_CHARS, N("%d min, "), static_cast<int>(minutes));
            d -= minutes * 60;
        }
    }
    appendPiece(summary.elapsedText, ELAPSED_TEXT_CHARS, N("%d sec."), static_cast<int>(d));
    return summary.elapsedText;
}

static void printCounter(FILE* stream, int64_t value, const NChar* format)
{
    if (value != 0) printTo(stream, format, formatGrouped(value));
}

void printSummary(FILE* stream, bool toLog)
{
    if (toLog) writeLogHeader(stream);
    printCounter(stream, runCounters.filesCopied, N("%22s files copied\n"));
    printCounter(stream, runCounters.filesLinked, N("%22s files linked\n"));
    printCounter(stream, static_cast<int64_t>(runCounters.bytesCopied), N("%22s bytes copied\n"));
    printCounter(stream, runCounters.unreadableSkipped, N("%22s unreadable files skipped\n"));
    printCounter(stream, runCounters.writeErrors, N("%22s write errors\n"));
    printCounter(stream, runCounters.linkErrors, N("%22s link errors\n"));
    printTo(stream, N("elapsed: %s\n"), formatElapsed(runCounters.endTime - runCounters.startTime));
}
