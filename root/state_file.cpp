#include "root/state_file.h"

#include "engine/engine_state.h"
#include "engine/filter_lists.h"
#include "platform/platform.h"
#include "report/output.h"
#include "root/root_state.h"

static const NChar STATE_FILE_NAME[] = N("_dir");
static const NChar STATE_FILE_NEW_NAME[] = N("_dir.new");

bool stateFilePath(const NChar* backupRoot, NChar* path)
{
    return formatText(path, PATH_CHARS, N("%s%s"), backupRoot, STATE_FILE_NAME);
}

bool hasStateFile(const NChar* backupRoot)
{
    NChar statePath[PATH_CHARS];
    return stateFilePath(backupRoot, statePath) && platGetAttributes(statePath) != INVALID_ATTRIBUTES;
}

// ---- reading the state file --------------------------------------------------

enum LineResult { LINE_OK, LINE_NONE, LINE_TOO_LONG, LINE_NUL, LINE_BAD_UTF8 };

// The state file is read one byte per character, as it has always been
// written, unless it begins with the byte-order mark EF BB BF: then it is
// UTF-8, written so because a line holds a character above U+00FF.
struct StateReader {
    FILE* file;
    bool utf8;
};

const int BAD_UTF8 = -2;

// Takes the byte-order mark, if the file begins with one.
static bool readByteOrderMark(FILE* file)
{
    unsigned char mark[3];
    if (fread(mark, 1, 3, file) == 3 && mark[0] == 0xEF && mark[1] == 0xBB && mark[2] == 0xBF) return true;
    rewind(file);
    return false;
}

// The next character of the file as its code: EOF at the end, BAD_UTF8
// for bytes that are no UTF-8 in a UTF-8 file. A surrogate's own sequence
// (ED A0..BF xx) stands for a name's lone surrogate, which Windows allows.
// The POSIX build keeps the bytes: they are its native text already.
static long readStateChar(StateReader& reader)
{
    int c = getc(reader.file);
    if (c == EOF || c < 0x80 || !reader.utf8 || sizeof(NChar) == 1) return c;
    int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
    if (more < 0 || c > 0xF4) return BAD_UTF8;
    long code = c & (0x3F >> more);
    for (int k = 0; k < more; ++k) {
        int next = getc(reader.file);
        if (next == EOF || (next & 0xC0) != 0x80) return BAD_UTF8;
        code = (code << 6) | (next & 0x3F);
    }
    const long least[] = {0, 0x80, 0x800, 0x10000};
    if (code < least[more] || code > 0x10FFFF) return BAD_UTF8;
    return code;
}

// Reads one line of the state file, the line ending at LF, a CR right
// before the LF or the end of the file not part of it, the last line with
// or without an end. At most STATE_LINE_CHARS characters (code units of
// the build, as the path buffers count them); a longer line, a NUL or
// bytes that are no UTF-8 are reported, never cut.
static LineResult readStateLine(StateReader& reader, NChar* line)
{
    int length = 0;
    long c = readStateChar(reader);
    if (c == EOF) return LINE_NONE;
    bool nul = false;
    for (; c != EOF && c != '\n'; c = readStateChar(reader)) {
        if (c == BAD_UTF8) return LINE_BAD_UTF8;
        if (c == 0) nul = true;
        if (c > 0xFFFF) {
            // Two UTF-16 units: a surrogate pair.
            if (length + 2 > STATE_LINE_CHARS + 1) return LINE_TOO_LONG;
            line[length++] = static_cast<NChar>(0xD800 + ((c - 0x10000) >> 10));
            line[length++] = static_cast<NChar>(0xDC00 + ((c - 0x10000) & 0x3FF));
            continue;
        }
        if (length == STATE_LINE_CHARS + 1) return LINE_TOO_LONG;
        line[length++] = static_cast<NChar>(c);
    }
    if (length > 0 && line[length - 1] == N('\r')) --length;
    if (length > STATE_LINE_CHARS) return LINE_TOO_LONG;
    line[length] = 0;
    return nul ? LINE_NUL : LINE_OK;
}

// Makes a non-empty line a directory path; false when it would not fit.
static bool normaliseLine(NChar* line)
{
    if (line[0] == 0 || endsWithSeparator(line)) return true;
    return appendText(line, PATH_CHARS, PATH_SEP_TEXT);
}

static bool reportBadLine(LineResult result, const NChar* statePath)
{
    if (result == LINE_TOO_LONG) {
        printTo(stderr, N("line too long in state file %s\n"), statePath);
        return true;
    }
    if (result == LINE_NUL) {
        printTo(stderr, N("NUL byte in state file %s\n"), statePath);
        return true;
    }
    if (result == LINE_BAD_UTF8) {
        printTo(stderr, N("bad UTF-8 in state file %s\n"), statePath);
        return true;
    }
    return false;
}

// The lines after the second: the stored filter lists. False when a line
// is refused.
static bool readListLines(StateReader& reader, NChar* line, const NChar* statePath)
{
    for (;;) {
        LineResult result = readStateLine(reader, line);
        if (result == LINE_NONE) return true;
        if (reportBadLine(result, statePath)) return false;
        if (line[0] == N('+')) {
            addIncludedType(line + 1);
        } else if (line[0] == N('-')) {
            addExcludedType(line + 1);
        } else {
            if (!normaliseLine(line)) {
                reportBadLine(LINE_TOO_LONG, statePath);
                return false;
            }
            addExcludedFolder(line);
        }
    }
}

// Reads the state file into storedSourcePath, previousSnapshotPath and the
// lists. False when the file is refused.
static bool readStateLines(FILE* file, const NChar* backupRoot, const NChar* statePath)
{
    StateReader reader = {file, readByteOrderMark(file)};
    NChar line[PATH_CHARS + 1];
    LineResult result = readStateLine(reader, line);
    if (result == LINE_NONE) return true;
    if (reportBadLine(result, statePath)) return false;
    if (!normaliseLine(line)) return reportBadLine(LINE_TOO_LONG, statePath), false;
    copyText(rootState.storedSourcePath, PATH_CHARS, line);

    result = readStateLine(reader, line);
    if (result == LINE_NONE) return true;
    if (reportBadLine(result, statePath)) return false;
    if (!normaliseLine(line)) return reportBadLine(LINE_TOO_LONG, statePath), false;
    if (line[0] == N('$')) line[0] = backupRoot[0];
    copyText(rootState.previousSnapshotPath, PATH_CHARS, line);

    return readListLines(reader, line, statePath);
}

const NChar* readStateFile(const NChar* backupRoot)
{
    rootState.storedSourcePath[0] = 0;
    rootState.previousSnapshotPath[0] = 0;
    NChar statePath[PATH_CHARS];
    if (!stateFilePath(backupRoot, statePath)) return rootState.storedSourcePath;
    FILE* file = platOpenStream(statePath, "rb");
    if (file == nullptr) return rootState.storedSourcePath;
    bool accepted = readStateLines(file, backupRoot, statePath);
    fclose(file);
    if (!accepted) return nullptr;
    const FilterLists& filters = engineState.filters;
    if (filters.excludedTypes.count > 0 && filters.includedTypes.count > 0) {
        printTo(stderr, N("both in- AND ex-cludes in file.\n"));
        return nullptr;
    }
    return rootState.storedSourcePath;
}

// ---- writing the state file --------------------------------------------------------

static bool isSurrogate(unsigned long code, unsigned long first)
{
    return code >= first && code <= first + 0x3FF;
}

// A line of the state file: one byte per character, as the file has always
// been written, or in a UTF-8 file the character's UTF-8 bytes (a lone
// surrogate of a Windows name as its own three bytes).
static void writeStateChars(FILE* file, const NChar* text, bool utf8)
{
    for (; *text != 0; ++text) {
        unsigned long code = static_cast<unsigned long>(*text);
        if (sizeof(NChar) == 1) code &= 0xFF;
        if (!utf8 || code < 0x80) {
            putc(static_cast<int>(code), file);
            continue;
        }
        if (isSurrogate(code, 0xD800) && isSurrogate(static_cast<unsigned long>(text[1]), 0xDC00)) {
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<unsigned long>(text[1]) - 0xDC00);
            ++text;
        }
        if (code < 0x800) {
            putc(static_cast<int>(0xC0 | (code >> 6)), file);
        } else if (code < 0x10000) {
            putc(static_cast<int>(0xE0 | (code >> 12)), file);
            putc(static_cast<int>(0x80 | ((code >> 6) & 0x3F)), file);
        } else {
            putc(static_cast<int>(0xF0 | (code >> 18)), file);
            putc(static_cast<int>(0x80 | ((code >> 12) & 0x3F)), file);
            putc(static_cast<int>(0x80 | ((code >> 6) & 0x3F)), file);
        }
        putc(static_cast<int>(0x80 | (code & 0x3F)), file);
    }
}

static void writeStateText(FILE* file, const NChar* prefix, const NChar* text, bool utf8)
{
    writeStateChars(file, prefix, utf8);
    writeStateChars(file, text, utf8);
    // CR LF on every platform, so that one backup disk serves both.
    fputs("\r\n", file);
}

// True when text holds a character above U+00FF (only a wide build can).
static bool beyondOneByte(const NChar* text)
{
    for (; *text != 0; ++text)
        if (sizeof(NChar) > 1 && static_cast<unsigned long>(*text) > 0xFF) return true;
    return false;
}

// Whether the one-byte form of text begins like the byte-order mark: as
// the file's first line it would be taken for the mark.
static bool looksLikeMark(const NChar* text)
{
    const unsigned long MARK[3] = {0xEF, 0xBB, 0xBF};
    for (int k = 0; k < 3; ++k) {
        unsigned long code = static_cast<unsigned long>(text[k]);
        if (sizeof(NChar) == 1) code &= 0xFF;
        if (code != MARK[k]) return false;
    }
    return true;
}

static bool listBeyondOneByte(const StringList& list)
{
    for (int32_t k = 0; k < list.count; ++k)
        if (beyondOneByte(list.items[k])) return true;
    return false;
}

bool fitsStateLine(const NChar* text, bool isFolder)
{
    // A line feed would split the entry over two lines, and a folder entry
    // that begins with '+' or '-' would come back as a type.
    for (const NChar* c = text; *c != 0; ++c)
        if (*c == N('\n')) return false;
    if (isFolder && (text[0] == N('+') || text[0] == N('-'))) return false;
    size_t length = textLength(text);
    if (isFolder) return length + (endsWithSeparator(text) ? 0 : 1) <= static_cast<size_t>(STATE_LINE_CHARS);
    return length + 1 <= static_cast<size_t>(STATE_LINE_CHARS);
}

bool writeStateFile(const NChar* sourcePath, const NChar* backupRoot, const NChar* snapshotPath)
{
    NChar statePath[PATH_CHARS];
    NChar newPath[PATH_CHARS];
    NChar snapshotLine[PATH_CHARS];
    if (!formatText(statePath, PATH_CHARS, N("%s%s"), backupRoot, STATE_FILE_NAME) ||
        !formatText(newPath, PATH_CHARS, N("%s%s"), backupRoot, STATE_FILE_NEW_NAME) ||
        !copyText(snapshotLine, PATH_CHARS, snapshotPath))
        return false;
    if (snapshotLine[0] != 0) snapshotLine[0] = N('$');

    // A stale new file left by a killed run goes first: the new one is
    // created afresh, never written through whatever has its name.
    platRemoveFile(newPath);
    // A file whose characters all have a byte of their own is written as it
    // always was, for every reader of old; any wider character makes the
    // whole file UTF-8, marked as such by its first three bytes.
    // A first line that begins like the mark gets a mark of its own before
    // it, so that the reader takes only that one away (the POSIX build's
    // bytes stay as they are behind it).
    const FilterLists& filters = engineState.filters;
    bool utf8 = beyondOneByte(sourcePath) || beyondOneByte(snapshotLine) ||
                listBeyondOneByte(filters.excludedFolders) || listBeyondOneByte(filters.excludedTypes) ||
                listBeyondOneByte(filters.includedTypes) || (sizeof(NChar) > 1 && looksLikeMark(sourcePath));
    bool mark = utf8 || looksLikeMark(sourcePath);
    FILE* file = platOpenStream(newPath, "wb");
    if (file == nullptr) return false;
    if (mark) fputs("\xEF\xBB\xBF", file);
    writeStateText(file, N(""), sourcePath, utf8);
    writeStateText(file, N(""), snapshotLine, utf8);
    for (int32_t k = 0; k < filters.excludedFolders.count; ++k)
        writeStateText(file, N(""), filters.excludedFolders.items[k], utf8);
    for (int32_t k = 0; k < filters.excludedTypes.count; ++k)
        writeStateText(file, N("-"), filters.excludedTypes.items[k], utf8);
    for (int32_t k = 0; k < filters.includedTypes.count; ++k)
        writeStateText(file, N("+"), filters.includedTypes.items[k], utf8);
    // The old file is replaced only by a complete new one: a full disk or
    // a crash halfway leaves the old state as it was.
    bool complete = !ferror(file) && platSyncStream(file);
    complete = fclose(file) == 0 && complete;
    if (complete && platReplaceFile(newPath, statePath)) return true;
    platRemoveFile(newPath);
    return false;
}
