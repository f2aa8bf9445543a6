#include "app/backup_root.h"

#include <cstdlib>

#include "engine/filter_lists.h"
#include "engine/walker.h"
#include "platform/platform.h"
#include "report/output.h"
#include "report/run_state.h"

PathSlots pathSlots;
NChar storedSourcePath[PATH_CHARS];
NChar previousSnapshotPath[PATH_CHARS];

// Room the paths built from the root need behind it: the snapshot folder
// "yyyy_mm_dd" and its separator is the longest ("log.txt", "_dir.new").
const size_t ROOT_SUFFIX_CHARS = 11;

static const NChar STATE_FILE_NAME[] = N("_dir");
static const NChar STATE_FILE_NEW_NAME[] = N("_dir.new");

NChar* storePathSlot(const NChar* path)
{
    if (pathSlots.counter >= 2) return nullptr;
    NChar* slot = pathSlots.slots[pathSlots.counter++];
    if (!copyText(slot, PATH_CHARS, path)) return nullptr;
    if (!endsWithSeparator(slot) && !appendText(slot, PATH_CHARS, PATH_SEP_TEXT)) {
        slot[0] = 0;
        return nullptr;
    }
    return slot;
}

// ---- reading the state file --------------------------------------------------

enum LineResult { LINE_OK, LINE_NONE, LINE_TOO_LONG, LINE_NUL };

// Reads one line of the state file: one byte per character, the line
// ending at LF, a CR right before the LF or the end of the file not part of
// it, the last line with or without an end. At most STATE_LINE_CHARS
// characters; a longer line or a NUL byte is reported, never cut.
static LineResult readStateLine(FILE* file, NChar* line)
{
    int length = 0;
    int c = getc(file);
    if (c == EOF) return LINE_NONE;
    bool nul = false;
    for (; c != EOF && c != '\n'; c = getc(file)) {
        if (c == 0) nul = true;
        if (length == STATE_LINE_CHARS + 1) return LINE_TOO_LONG;
        line[length++] = static_cast<NChar>(static_cast<unsigned char>(c));
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
    return false;
}

// The lines after the second: the stored filter lists. False when a line
// is refused.
static bool readListLines(FILE* file, NChar* line, const NChar* statePath)
{
    for (;;) {
        LineResult result = readStateLine(file, line);
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
    NChar line[PATH_CHARS + 1];
    LineResult result = readStateLine(file, line);
    if (result == LINE_NONE) return true;
    if (reportBadLine(result, statePath)) return false;
    if (!normaliseLine(line)) return reportBadLine(LINE_TOO_LONG, statePath), false;
    copyText(storedSourcePath, PATH_CHARS, line);

    result = readStateLine(file, line);
    if (result == LINE_NONE) return true;
    if (reportBadLine(result, statePath)) return false;
    if (!normaliseLine(line)) return reportBadLine(LINE_TOO_LONG, statePath), false;
    if (line[0] == N('$')) line[0] = backupRoot[0];
    copyText(previousSnapshotPath, PATH_CHARS, line);

    return readListLines(file, line, statePath);
}

const NChar* readStateFile(const NChar* backupRoot)
{
    storedSourcePath[0] = 0;
    previousSnapshotPath[0] = 0;
    NChar statePath[PATH_CHARS];
    if (!formatText(statePath, PATH_CHARS, N("%s%s"), backupRoot, STATE_FILE_NAME))
        return storedSourcePath;
    FILE* file = platOpenStream(statePath, "rb");
    if (file == nullptr) return storedSourcePath;
    bool accepted = readStateLines(file, backupRoot, statePath);
    fclose(file);
    if (!accepted) return nullptr;
    if (excludedTypes.count > 0 && includedTypes.count > 0) {
        printTo(stderr, N("both in- AND ex-cludes in file.\n"));
        return nullptr;
    }
    return storedSourcePath;
}

// ---- paths of the run ----------------------------------------------------------

// The paths built from the root (snapshot, log, state file) must fit their
// buffers; a longer root is refused rather than cut.
static bool rootFits(const NChar* backupRoot)
{
    if (textLength(backupRoot) + ROOT_SUFFIX_CHARS < static_cast<size_t>(PATH_CHARS)) return true;
    printTo(stderr, N("path too long: %s\n"), backupRoot);
    return false;
}

static bool holdsLineBreak(const NChar* text)
{
    for (; *text != 0; ++text)
        if (*text == N('\n') || *text == N('\r')) return true;
    return false;
}

static const NChar* storeArgument(const NChar* argument)
{
    // The state file holds one path a line: a path with a line break in it
    // would come back as another path, or as a filter, in the next run.
    if (holdsLineBreak(argument)) {
        printTo(stderr, N("path holds a line break: %s\n"), argument);
        return nullptr;
    }
    const NChar* slot = storePathSlot(argument);
    if (slot == nullptr) printTo(stderr, N("path too long: %s\n"), argument);
    return slot;
}

bool resolveRunPaths(int count, NChar** args, const NChar** sourcePath, const NChar** backupRoot)
{
    if (count == 1) {
        const NChar* root = storeArgument(args[0]);
        if (root == nullptr || !rootFits(root)) return false;
        const NChar* stored = readStateFile(root);
        if (stored == nullptr) return false;
        *sourcePath = stored;
        *backupRoot = root;
        return true;
    }
    const NChar* source = storeArgument(args[0]);
    if (source == nullptr) return false;
    const NChar* root = storeArgument(args[1]);
    if (root == nullptr || !rootFits(root)) return false;
    uint32_t attributes = platGetAttributes(root);
    if (attributes != INVALID_ATTRIBUTES && (attributes & ATTR_DIRECTORY)) {
        const NChar* stored = readStateFile(root);
        if (stored == nullptr) return false;
        if (stored[0] != 0 && compareText(stored, source) != 0) {
            printTo(stderr, N("different sources, expected %s\n"), stored);
            return false;
        }
    } else {
        if (!runSettings.noExec && makeDirectoryPath(root) != 0) {
            printTo(stderr, N("cannot create: %s\n"), root);
            return false;
        }
        findLatestSnapshot(root);
    }
    *sourcePath = source;
    *backupRoot = root;
    return true;
}

void findLatestSnapshot(const NChar* backupRoot)
{
    NChar held[NAME_CHARS];
    held[0] = 0;
    bool holding = false;
    NChar path[PATH_CHARS + NAME_CHARS];
    FindEntry entry;
    FindHandle* find = platFindFirst(backupRoot, &entry);
    if (find != nullptr) {
        do {
            if (compareText(entry.name, N(".")) == 0 || compareText(entry.name, N("..")) == 0)
                continue;
            if (!formatText(path, PATH_CHARS + NAME_CHARS, N("%s%s"), backupRoot, entry.name))
                continue;
            uint32_t attributes = platGetAttributes(path);
            if (attributes == INVALID_ATTRIBUTES || !(attributes & ATTR_DIRECTORY)) continue;
            if (!holding || compareText(entry.name, held) > 0) {
                if (copyText(held, NAME_CHARS, entry.name)) holding = true;
            }
        } while (platFindNext(find, &entry));
        platFindClose(find);
    }
    previousSnapshotPath[0] = 0;
    if (holding && !formatText(previousSnapshotPath, PATH_CHARS, N("%s%s%s"), backupRoot, held,
                               PATH_SEP_TEXT))
        previousSnapshotPath[0] = 0;
}

// ---- creating the root -----------------------------------------------------------

static MakeDirResult makeDirectoryTree(const NChar* path)
{
    MakeDirResult made = platMakeDir(path);
    if (made != MAKEDIR_FAILED) return made;
    // Cut at the last separator that is not the final character: the parent.
    size_t length = textLength(path);
    size_t end = length > 0 ? length - 1 : 0;
    size_t cut = end;
    while (cut > 0 && path[cut - 1] != PATH_SEP) --cut;
    if (cut <= 1) return MAKEDIR_FAILED; // no parent left to create
    NChar* parent = static_cast<NChar*>(malloc(cut * sizeof(NChar)));
    if (parent == nullptr) return MAKEDIR_FAILED;
    memcpy(parent, path, (cut - 1) * sizeof(NChar));
    parent[cut - 1] = 0;
    MakeDirResult parentMade = makeDirectoryTree(parent);
    free(parent);
    if (parentMade == MAKEDIR_FAILED) return MAKEDIR_FAILED;
    return platMakeDir(path);
}

int makeDirectoryPath(const NChar* path)
{
    return makeDirectoryTree(path) == MAKEDIR_OK ? 0 : -1;
}

// ---- writing the state file --------------------------------------------------------

// One byte per character: the file can hold U+0001 to U+00FF, and a wider
// character is written as '?'.
static void writeStateChars(FILE* file, const NChar* text)
{
    for (; *text != 0; ++text) {
        unsigned long c = static_cast<unsigned long>(*text);
        if (sizeof(NChar) == 1) c &= 0xFF;
        putc(c <= 0xFF ? static_cast<int>(c) : '?', file);
    }
}

static void writeStateText(FILE* file, const NChar* prefix, const NChar* text)
{
    writeStateChars(file, prefix);
    writeStateChars(file, text);
    // CR LF on every platform, so that one backup disk serves both.
    fputs("\r\n", file);
}

bool fitsStateLine(const NChar* text, bool isFolder)
{
    // A line feed would split the entry over two lines, a folder entry that
    // begins with '+' or '-' would come back as a type, and a character
    // above U+00FF has no byte of its own in the file.
    for (const NChar* c = text; *c != 0; ++c) {
        unsigned long code = static_cast<unsigned long>(*c);
        if (sizeof(NChar) == 1) code &= 0xFF;
        if (code == '\n' || code > 0xFF) return false;
    }
    if (isFolder && (text[0] == N('+') || text[0] == N('-'))) return false;
    size_t length = textLength(text);
    if (isFolder) return length + (endsWithSeparator(text) ? 0 : 1) <= static_cast<size_t>(STATE_LINE_CHARS);
    return length + 1 <= static_cast<size_t>(STATE_LINE_CHARS);
}

void writeStateFile(const NChar* sourcePath, const NChar* backupRoot, const NChar* snapshotPath)
{
    NChar statePath[PATH_CHARS];
    NChar newPath[PATH_CHARS];
    NChar snapshotLine[PATH_CHARS];
    if (!formatText(statePath, PATH_CHARS, N("%s%s"), backupRoot, STATE_FILE_NAME) ||
        !formatText(newPath, PATH_CHARS, N("%s%s"), backupRoot, STATE_FILE_NEW_NAME) ||
        !copyText(snapshotLine, PATH_CHARS, snapshotPath))
        return;
    if (snapshotLine[0] != 0) snapshotLine[0] = N('$');

    // A stale new file left by a killed run goes first: the new one is
    // created afresh, never written through whatever has its name.
    platRemoveFile(newPath);
    FILE* file = platOpenStream(newPath, "wb");
    if (file == nullptr) return;
    writeStateText(file, N(""), sourcePath);
    writeStateText(file, N(""), snapshotLine);
    for (int32_t k = 0; k < excludedFolders.count; ++k) writeStateText(file, N(""), excludedFolders.items[k]);
    for (int32_t k = 0; k < excludedTypes.count; ++k) writeStateText(file, N("-"), excludedTypes.items[k]);
    for (int32_t k = 0; k < includedTypes.count; ++k) writeStateText(file, N("+"), includedTypes.items[k]);
    // The old file is replaced only by a complete new one: a full disk or
    // a crash halfway leaves the old state as it was.
    bool complete = !ferror(file) && platSyncStream(file);
    complete = fclose(file) == 0 && complete;
    if (!complete || !platReplaceFile(newPath, statePath)) platRemoveFile(newPath);
}
