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

void showProgress(ProgressKind kind, const NChar* path)
{
    if (runSettings.silent) return;
    const NChar* word = kind == PROGRESS_COPY ? N("copy ") : N("link ");
    // The line needs only its head and its tail, so a path too long for the
    // buffer keeps its first and last characters and loses the middle,
    // which the shortened line leaves out anyway.
    size_t wordLength = textLength(word);
    size_t pathLength = textLength(path);
    const size_t room = PROGRESS_LINE_CHARS - 1;
    if (wordLength + pathLength + 1 <= room) {
        memcpy(progressLine, word, wordLength * sizeof(NChar));
        memcpy(progressLine + wordLength, path, pathLength * sizeof(NChar));
        progressLine[wordLength + pathLength] = N('\n');
        progressLine[wordLength + pathLength + 1] = 0;
    } else {
        // Keep the first and the last 240 units: far more than the 93
        // characters each side needs, whatever the encoding of the path.
        const size_t keep = 240;
        // A cut inside a multi-byte character would be counted as a
        // character of its own: cut at whole characters on each side.
        size_t head = keep;
        while (head > 0 && isContinuation(path[head])) --head;
        size_t tail = pathLength - keep;
        while (tail < pathLength && isContinuation(path[tail])) ++tail;
        memcpy(progressLine, word, wordLength * sizeof(NChar));
        memcpy(progressLine + wordLength, path, head * sizeof(NChar));
        size_t at = wordLength + head;
        memcpy(progressLine + at, path + tail, (pathLength - tail) * sizeof(NChar));
        at += pathLength - tail;
        progressLine[at] = N('\n');
        progressLine[at + 1] = 0;
    }
    int count = progressCharCount(progressLine);
    if (count <= PROGRESS_MAX_CHARS) {
        printOut(N("%s"), progressLine);
        return;
    }
    int headUnits = progressCharOffset(progressLine, PROGRESS_EDGE_CHARS);
    const NChar* tail = progressLine + progressCharOffset(progressLine, count - PROGRESS_EDGE_CHARS);
    printOut(N("%.*s%s%s"), headUnits, progressLine, N("...."), tail);
}
