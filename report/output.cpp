#include "report/output.h"

#include <cstdarg>

#include "cmdline/cmdline_state.h"
#include "platform/platform.h"
#include "report/ordered_output.h"
#include "report/report_state.h"
#include "report/run_state.h"

// ---- writing a message --------------------------------------------------------

// A message on its way to its stream: formatted into a small buffer that
// goes out whenever it is full, so a message of any length is written
// whole and nothing is held beyond it. While the walk runs on several
// threads, a message goes into the thread's part of the ordered output
// instead (captured), on its channel.
struct MessageWriter {
    FILE* stream;
    bool captured;
    OutputChannel channel;
    NChar piece[256];
    size_t used;
    int written;
    bool failed;
};

static bool isLeadSurrogate(NChar c)
{
    unsigned long code = static_cast<unsigned long>(c);
    return sizeof(NChar) == 2 && code >= 0xD800 && code <= 0xDBFF;
}

// Hands the buffer to the stream; with more to come, a surrogate pair's
// lead at its end waits for its trail.
static void sendPiece(MessageWriter& writer, bool last)
{
    size_t keep = !last && writer.used > 0 && isLeadSurrogate(writer.piece[writer.used - 1]) ? 1 : 0;
    bool sent = writer.captured ? captureOutput(writer.channel, writer.piece, writer.used - keep)
                                : platWriteText(writer.stream, writer.piece, writer.used - keep);
    if (!sent) writer.failed = true;
    if (keep) writer.piece[0] = writer.piece[writer.used - 1];
    writer.used = keep;
}

static void putChar(MessageWriter& writer, NChar c)
{
    if (writer.used == sizeof writer.piece / sizeof writer.piece[0]) sendPiece(writer, false);
    writer.piece[writer.used++] = c;
    ++writer.written;
}

static void putPadding(MessageWriter& writer, NChar c, long count)
{
    for (; count > 0; --count) putChar(writer, c);
}

// A control character in a value (a file may be named "x\n 1.000 files
// linked") would break or forge a line, and one of the C1 set (U+0080 to
// U+009F, U+009B among them, which terminals take as the start of a
// command) could rewrite the screen: each is shown as one '?'. The
// format's own line feeds are not values.
static NChar shownChar(NChar c)
{
    unsigned long code = static_cast<unsigned long>(c);
    if (sizeof(NChar) == 1) code &= 0xFF;
    bool c1 = sizeof(NChar) > 1 && code >= 0x80 && code <= 0x9F;
    return code < 0x20 || code == 0x7F || c1 ? N('?') : c;
}

// Code units of text at k that form one C1 control character in UTF-8
// (the bytes C2 80 to C2 9F); 0 when none begins there. A wide build
// meets them as single characters in shownChar.
static long utf8ControlAt(const NChar* text, long k, long length)
{
    if (sizeof(NChar) != 1 || k + 1 >= length) return 0;
    unsigned long lead = static_cast<unsigned long>(text[k]) & 0xFF;
    unsigned long next = static_cast<unsigned long>(text[k + 1]) & 0xFF;
    return lead == 0xC2 && next >= 0x80 && next <= 0x9F ? 2 : 0;
}

struct Conversion {
    bool leftAlign;
    bool zeroPad;
    long width;     // -1 when not given
    long precision; // -1 when not given
};

// "%s": at most precision code units of text, padded to width.
static void putValueText(MessageWriter& writer, const Conversion& form, const NChar* text)
{
    if (text == nullptr) text = N("(null)");
    long length = 0;
    while ((form.precision < 0 || length < form.precision) && text[length] != 0) ++length;
    if (!form.leftAlign) putPadding(writer, N(' '), form.width - length);
    for (long k = 0; k < length; ++k) {
        if (utf8ControlAt(text, k, length) != 0) {
            putChar(writer, N('?'));
            ++k;
            continue;
        }
        putChar(writer, shownChar(text[k]));
    }
    if (form.leftAlign) putPadding(writer, N(' '), form.width - length);
}

// "%d", "%u", "%x": digits of magnitude, at least precision of them,
// padded to width with blanks or, with the flag '0', zeros after the sign.
static void putValueNumber(MessageWriter& writer, const Conversion& form, bool negative,
                           unsigned long long magnitude, unsigned base)
{
    NChar digits[24];
    int count = 0;
    do {
        unsigned digit = static_cast<unsigned>(magnitude % base);
        digits[count++] = static_cast<NChar>(digit < 10 ? N('0') + digit : N('a') + digit - 10);
        magnitude /= base;
    } while (magnitude != 0);
    long zeros = form.precision > count ? form.precision - count : 0;
    long length = (negative ? 1 : 0) + zeros + count;
    bool padWithZeros = form.zeroPad && !form.leftAlign && form.precision < 0;
    if (!form.leftAlign && !padWithZeros) putPadding(writer, N(' '), form.width - length);
    if (negative) putChar(writer, N('-'));
    if (padWithZeros) putPadding(writer, N('0'), form.width - length);
    putPadding(writer, N('0'), zeros);
    while (count > 0) putChar(writer, digits[--count]);
    if (form.leftAlign) putPadding(writer, N(' '), form.width - length);
}

static long readNumber(const NChar*& at)
{
    long value = 0;
    while (*at >= N('0') && *at <= N('9') && value < 100000) value = value * 10 + (*at++ - N('0'));
    return value;
}

// Formats a message the way the C runtime's printing does for the
// conversions the program uses (%s, %c, %d, %i, %u, %x with the flags '-'
// and '0', widths, precisions, '*', and the sizes l, ll and z), and
// writes it to the stream. A conversion it does not know ends the values:
// the rest of the format is written as it stands.
static int writeMessage(FILE* stream, OutputChannel channel, const NChar* format, va_list values)
{
    MessageWriter writer;
    writer.stream = stream;
    writer.captured = stream == nullptr;
    writer.channel = channel;
    writer.used = 0;
    writer.written = 0;
    writer.failed = false;
    const NChar* at = format;
    while (*at != 0) {
        if (*at != N('%')) {
            putChar(writer, *at++);
            continue;
        }
        const NChar* conversionStart = at++;
        Conversion form = {false, false, -1, -1};
        for (;; ++at) {
            if (*at == N('-')) form.leftAlign = true;
            else if (*at == N('0')) form.zeroPad = true;
            else break;
        }
        if (*at == N('*')) {
            ++at;
            int width = va_arg(values, int);
            form.leftAlign = form.leftAlign || width < 0;
            form.width = width < 0 ? -static_cast<long>(width) : width;
        } else if (*at >= N('1') && *at <= N('9')) {
            form.width = readNumber(at);
        }
        if (*at == N('.')) {
            ++at;
            if (*at == N('*')) {
                ++at;
                int precision = va_arg(values, int);
                form.precision = precision < 0 ? -1 : precision;
            } else {
                form.precision = readNumber(at);
            }
        }
        int size = 0; // 0: int, 1: long, 2: long long, 3: size_t
        if (*at == N('l')) {
            size = 1;
            if (*++at == N('l')) size = 2, ++at;
        } else if (*at == N('z')) {
            size = 3;
            ++at;
        }
        NChar conversion = *at;
        if (conversion != 0) ++at;
        if (conversion == N('%')) {
            putChar(writer, N('%'));
        } else if (conversion == N('s')) {
            putValueText(writer, form, va_arg(values, const NChar*));
        } else if (conversion == N('c')) {
            NChar text[2] = {static_cast<NChar>(va_arg(values, int)), 0};
            putValueText(writer, form, text);
        } else if (conversion == N('d') || conversion == N('i')) {
            long long value = size == 0   ? va_arg(values, int)
                              : size == 1 ? va_arg(values, long)
                              : size == 2 ? va_arg(values, long long)
                                          : static_cast<long long>(va_arg(values, size_t));
            unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                     : static_cast<unsigned long long>(value);
            putValueNumber(writer, form, value < 0, magnitude, 10);
        } else if (conversion == N('u') || conversion == N('x')) {
            unsigned long long value = size == 0   ? va_arg(values, unsigned)
                                       : size == 1 ? va_arg(values, unsigned long)
                                       : size == 2 ? va_arg(values, unsigned long long)
                                                   : va_arg(values, size_t);
            putValueNumber(writer, form, false, value, conversion == N('x') ? 16 : 10);
        } else {
            at = conversionStart;
            break;
        }
    }
    while (*at != 0) putChar(writer, *at++);
    sendPiece(writer, true);
    return writer.failed ? -1 : writer.written;
}

// Where a message to stream goes: captured while this thread's output is
// (standard output and standard error only), else to the stream itself.
static FILE* destinationOf(FILE* stream, OutputChannel* channel)
{
    if (!capturingOutput() || (stream != stdout && stream != stderr)) return stream;
    *channel = stream == stdout ? CHANNEL_STDOUT : CHANNEL_STDERR;
    return nullptr;
}

int printTo(FILE* stream, const NChar* format, ...)
{
    OutputChannel channel = CHANNEL_STDOUT;
    FILE* destination = destinationOf(stream, &channel);
    va_list values;
    va_start(values, format);
    int written = writeMessage(destination, channel, format, values);
    va_end(values);
    return written;
}

int printOut(const NChar* format, ...)
{
    OutputChannel channel = CHANNEL_STDOUT;
    FILE* destination = destinationOf(stdout, &channel);
    va_list values;
    va_start(values, format);
    int written = writeMessage(destination, channel, format, values);
    va_end(values);
    return written;
}

void writeLogHeader(FILE* stream)
{
    LogState& logState = reportState.log;
    if (logState.headerWritten) return;
    printTo(stream, N("\n"));
    if (logState.headerText != nullptr && logState.headerText[0] != 0)
        printTo(stream, N("%s:\n"), logState.headerText);
    logState.headerWritten = 1;
}

void openRunLog()
{
    LogState& logState = reportState.log;
    if (logState.runLogOpened || logState.logPath[0] == 0) return;
    logState.runLogOpened = true;
    logState.runLog = platOpenStream(logState.logPath, "a");
    if (logState.runLog != nullptr) return;
    FileData data;
    if (platGetFileData(logState.logPath, &data) &&
        ((data.attributes & (ATTR_DIRECTORY | ATTR_REPARSE_POINT)) || data.isSpecialFile))
        printTo(stderr, N("%s is not a regular file: this run's log is lost.\n"), logState.logPath);
}

FILE* runLogStream()
{
    LogState& logState = reportState.log;
    return logState.runLog;
}

void closeRunLog()
{
    LogState& logState = reportState.log;
    if (logState.runLog != nullptr) fclose(logState.runLog);
    logState.runLog = nullptr;
    logState.runLogOpened = false;
}

void logMessage(const NChar* format, ...)
{
    LogState& logState = reportState.log;
    va_list values;
    va_start(values, format);
    if (capturingOutput()) {
        writeMessage(nullptr, CHANNEL_LOG, format, values);
    } else if (logState.runLogOpened) {
        if (logState.runLog != nullptr) {
            writeLogHeader(logState.runLog);
            writeMessage(logState.runLog, CHANNEL_LOG, format, values);
            fflush(logState.runLog);
        }
    } else {
        FILE* log = platOpenStream(logState.logPath, "a");
        if (log != nullptr) {
            writeLogHeader(log);
            writeMessage(log, CHANNEL_LOG, format, values);
            fclose(log);
        }
    }
    va_end(values);
}

void writeCapturedOutput(OutputChannel channel, const NChar* text, size_t length)
{
    LogState& logState = reportState.log;
    if (channel == CHANNEL_RECORD) return;
    if (channel != CHANNEL_LOG) {
        platWriteText(channel == CHANNEL_STDOUT ? stdout : stderr, text, length);
        return;
    }
    if (logState.runLogOpened) {
        if (logState.runLog == nullptr) return;
        writeLogHeader(logState.runLog);
        platWriteText(logState.runLog, text, length);
        fflush(logState.runLog);
        return;
    }
    FILE* log = platOpenStream(logState.logPath, "a");
    if (log == nullptr) return;
    writeLogHeader(log);
    platWriteText(log, text, length);
    fclose(log);
}

// ---- the progress line ----------------------------------------------------------

static bool isContinuation(NChar c)
{
    // A UTF-8 continuation byte, or the trail of a UTF-16 surrogate pair:
    // no cut falls inside a character.
    unsigned long code = static_cast<unsigned long>(c);
    if (sizeof(NChar) == 1) return (code & 0xC0) == 0x80;
    return code >= 0xDC00 && code <= 0xDFFF;
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

// Prints word and path and a line feed as one progress text: whole when
// it has at most PROGRESS_MAX_CHARS characters, else its first and last
// PROGRESS_EDGE_CHARS characters around "....". The word is shorter than
// an edge. The line feed is the format's, so a line feed in the path
// shows as '?' and the line stays one line.
void showProgress(ProgressKind kind, const NChar* path)
{
    if (cmdlineState.runSettings.silent) return;
    const NChar* word = kind == PROGRESS_COPY ? N("copy ") : N("link ");
    int w = progressCharCount(word);
    int p = progressCharCount(path);
    if (w + p + 1 <= PROGRESS_MAX_CHARS) {
        printOut(N("%s%s\n"), word, path);
    } else {
        int headUnits = progressCharOffset(path, PROGRESS_EDGE_CHARS - w);
        const NChar* tail = path + progressCharOffset(path, p - (PROGRESS_EDGE_CHARS - 1));
        printOut(N("%s%.*s....%s\n"), word, headUnits, path, tail);
    }
    // A copy may take long: its line is shown now, not with the next ones.
    if (kind == PROGRESS_COPY) flushCapturedOutput();
}
