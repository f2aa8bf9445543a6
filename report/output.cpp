#include "report/output.h"

#include <cstdarg>

#include "platform/platform.h"
#include "report/run_state.h"

LogState logState;
NChar progressLine[PROGRESS_LINE_CHARS];

int printTo(FILE* stream, const NChar* format, ...)
{
    va_list values;
    va_start(values, format);
    int written = printStreamV(stream, format, values);
    va_end(values);
    return written;
}

int printOut(const NChar* format, ...)
{
    va_list values;
    va_start(values, format);
    int written = printStreamV(stdout, format, values);
    va_end(values);
    return written;
}

void writeLogHeader(FILE* stream)
{
    if (logState.headerWritten) return;
    printTo(stream, N("\n"));
    if (logState.headerText != nullptr && logState.headerText[0] != 0)
        printTo(stream, N("%s:\n"), logState.headerText);
    logState.headerWritten = 1;
}

void logMessage(const NChar* format, ...)
{
    FILE* log = platOpenStream(logState.logPath, "a");
    if (log == nullptr) return;
    writeLogHeader(log);
    va_list values;
    va_start(values, format);
    printStreamV(log, format, values);
    va_end(values);
    fclose(log);
}

static bool isContinuation(NChar c)
{
    // Only UTF-8 has continuation units; a wide character is never one.
    return sizeof(NChar) == 1 && (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

int progressCharCount(const NChar* text)
{
    int count = 0;
    for (; *text != 0; ++text)
        if (!isContinuation(*text)) ++count;
    return count;
}

int progressCharOffset(const NChar* text, int index)
{
    int offset = 0;
    int seen = -1;
    for (; text[offset] != 0; ++offset) {
        if (!isContinuation(text[offset]) && ++seen == index) return offset;
    }
    return offset;
}

// Prints word, body and suffix as one progress text: whole when it has at
// most PROGRESS_MAX_CHARS characters, else its first and last
// PROGRESS_EDGE_CHARS characters around "....". word and suffix are shorter
// than an edge.
static void printProgress(const NChar* word, const NChar* body, const NChar* suffix)
{
    int w = progressCharCount(word);
    int b = progressCharCount(body);
    int s = progressCharCount(suffix);
    if (w + b + s <= PROGRESS_MAX_CHARS) {
        printOut(N("%s%s%s"), word, body, suffix);
        return;
    }
    int headUnits = progressCharOffset(body, PROGRESS_EDGE_CHARS - w);
    const NChar* tail = body + progressCharOffset(body, b - (PROGRESS_EDGE_CHARS - s));
    printOut(N("%s%.*s%s%s%s"), word, headUnits, body, N("...."), tail, suffix);
}

void showProgress(ProgressKind kind, const NChar* path)
{
    if (runSettings.silent) return;
    const NChar* word = kind == PROGRESS_COPY ? N("copy ") : N("link ");
    if (formatText(progressLine, PROGRESS_LINE_CHARS, N("%s%s\n"), word, path)) {
        printProgress(N(""), progressLine, N(""));
        return;
    }
    // A text too long for the buffer is printed from its parts: the line
    // needs only its head and its tail.
    printProgress(word, path, N("\n"));
}
