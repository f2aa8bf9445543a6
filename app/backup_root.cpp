#include "app/backup_root.h"

#include <cstdlib>

#include "root/root_lock.h"
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
    copyText(storedSourcePath, PATH_CHARS, line);

    result = readStateLine(reader, line);
    if (result == LINE_NONE) return true;
    if (reportBadLine(result, statePath)) return false;
    if (!normaliseLine(line)) return reportBadLine(LINE_TOO_LONG, statePath), false;
    if (line[0] == N('$')) line[0] = backupRoot[0];
    copyText(previousSnapshotPath, PATH_CHARS, line);

    return readListLines(reader, line, statePath);
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

// The absolute directory path of path in full (PATH_CHARS): a relative
// path would name another folder when a later run starts elsewhere. False,
// with the message printed, when it cannot be had or stored.
static bool absoluteDirectory(const NChar* path, NChar* full)
{
    FullPathResult result = platFullPath(path, full, PATH_CHARS);
    if (result == FULLPATH_FAILED) {
        printTo(stderr, N("no absolute path for: %s\n"), path);
        return false;
    }
    // The state file holds one path a line: a path with a line break in it
    // would come back as another path, or as a filter, in the next run.
    if (result == FULLPATH_OK && holdsLineBreak(full)) {
        printTo(stderr, N("path holds a line break: %s\n"), full);
        return false;
    }
    if (result != FULLPATH_OK ||
        (!endsWithSeparator(full) && !appendText(full, PATH_CHARS, PATH_SEP_TEXT))) {
        printTo(stderr, N("path too long: %s\n"), path);
        return false;
    }
    return true;
}

static const NChar* storeArgument(const NChar* argument)
{
    NChar full[PATH_CHARS];
    if (!absoluteDirectory(argument, full)) return nullptr;
    const NChar* slot = storePathSlot(full);
    if (slot == nullptr) printTo(stderr, N("path too long: %s\n"), argument);
    return slot;
}

static bool isFolder(const NChar* path)
{
    uint32_t attributes = platGetAttributes(path);
    return attributes != INVALID_ATTRIBUTES && (attributes & ATTR_DIRECTORY);
}

static bool hasStateFile(const NChar* root)
{
    NChar statePath[PATH_CHARS];
    return formatText(statePath, PATH_CHARS, N("%s%s"), root, STATE_FILE_NAME) &&
           platGetAttributes(statePath) != INVALID_ATTRIBUTES;
}

// The lock comes before anything else is read or written in the root; a
// dry run writes nothing and takes none.
static bool lockRoot(const NChar* root)
{
    return runSettings.noExec || lockBackupRoot(root);
}

void adviseOnRootAccess(const NChar* root)
{
    if (platOthersMayEnter(root))
        printTo(stderr, N("backup root %s may be entered by other users: chmod 700 %s\n"), root, root);
}

// Once an existing root is locked: its own files are kept from other users
// (they hold paths and names of every user's files).
static void guardRoot(const NChar* root)
{
    if (runSettings.noExec) return;
    static const NChar* const OWN_FILES[] = {N("_dir"), N("log.txt"), N("_lock")};
    for (const NChar* name : OWN_FILES) {
        NChar path[PATH_CHARS];
        if (formatText(path, PATH_CHARS, N("%s%s"), root, name)) platKeepPrivate(path);
    }
}

// A source stored relative (by an earlier version) is taken from the
// working folder, as that version did, and is stored absolute from now on.
static bool makeStoredSourceAbsolute()
{
    if (storedSourcePath[0] == 0) return true;
    NChar full[PATH_CHARS];
    if (!absoluteDirectory(storedSourcePath, full)) return false;
    return copyText(storedSourcePath, PATH_CHARS, full);
}

// An earlier version took the first character of a root given relative as
// the one that '$' stands for ("bk/" wrote "$k/2022_05_28/"), which the root,
// now absolute, cannot give back. When the snapshot so read is no folder,
// the folder of the same name in the root is taken, provided its path ends
// with the stored text after the '$'.
static void findSnapshotOfRelativeRoot(const NChar* root)
{
    size_t length = textLength(previousSnapshotPath);
    if (length < 2 || previousSnapshotPath[0] != root[0]) return;
    uint32_t attributes = platGetAttributes(previousSnapshotPath);
    if (attributes != INVALID_ATTRIBUTES && (attributes & ATTR_DIRECTORY)) return;
    size_t name = length - 1;
    while (name > 0 && previousSnapshotPath[name - 1] != PATH_SEP) --name;
    NChar candidate[PATH_CHARS];
    if (!formatText(candidate, PATH_CHARS, N("%s%s"), root, previousSnapshotPath + name)) return;
    size_t candidateLength = textLength(candidate);
    if (candidateLength < length - 1 ||
        compareText(candidate + candidateLength - (length - 1), previousSnapshotPath + 1) != 0)
        return;
    attributes = platGetAttributes(candidate);
    if (attributes != INVALID_ATTRIBUTES && (attributes & ATTR_DIRECTORY))
        copyText(previousSnapshotPath, PATH_CHARS, candidate);
}

// A root copied whole to another place (cp -a, a new disk) keeps a state
// file that names the snapshot by its old full path: linking there would
// tie the new root to the old one, or fail once the old one is gone. A
// snapshot named outside the root gives way to the folder of its name
// inside the root, where there is one.
static void findSnapshotInsideRoot(const NChar* root)
{
    size_t rootLength = textLength(root);
    size_t length = textLength(previousSnapshotPath);
    if (length == 0 || (length > rootLength && compareTextN(previousSnapshotPath, root, rootLength) == 0))
        return;
    size_t end = length;
    while (end > 0 && previousSnapshotPath[end - 1] == PATH_SEP) --end;
    size_t name = end;
    while (name > 0 && previousSnapshotPath[name - 1] != PATH_SEP) --name;
    if (name == end || end - name >= NAME_CHARS) return;
    NChar lastName[NAME_CHARS];
    memcpy(lastName, previousSnapshotPath + name, (end - name) * sizeof(NChar));
    lastName[end - name] = 0;
    NChar candidate[PATH_CHARS];
    if (!formatText(candidate, PATH_CHARS, N("%s%s%s"), root, lastName, PATH_SEP_TEXT)) return;
    uint32_t attributes = platGetAttributes(candidate);
    if (attributes != INVALID_ATTRIBUTES && (attributes & ATTR_DIRECTORY) && !(attributes & ATTR_REPARSE_POINT))
        copyText(previousSnapshotPath, PATH_CHARS, candidate);
}

bool resolveRunPaths(int count, NChar** args, const NChar** sourcePath, const NChar** backupRoot)
{
    if (count == 1) {
        const NChar* root = storeArgument(args[0]);
        if (root == nullptr || !rootFits(root)) return false;
        // A folder without a state file is no backup root, and gets no lock
        // file: the run ends at its source test, as the source is unknown.
        if (hasStateFile(root)) {
            if (!lockRoot(root)) return false;
            guardRoot(root);
        }
        const NChar* stored = readStateFile(root);
        if (stored == nullptr || !makeStoredSourceAbsolute()) return false;
        if (stored[0] == 0) {
            // No state file (a first run stopped before its end): the
            // source is unknown.
            NChar statePath[PATH_CHARS];
            formatText(statePath, PATH_CHARS, N("%s%s"), root, STATE_FILE_NAME);
            printTo(stderr, N("no state file %s: give the source folder as well.\n"), statePath);
            return false;
        }
        findSnapshotOfRelativeRoot(root);
        findSnapshotInsideRoot(root);
        *sourcePath = stored;
        *backupRoot = root;
        return true;
    }
    const NChar* source = storeArgument(args[0]);
    if (source == nullptr) return false;
    const NChar* root = storeArgument(args[1]);
    if (root == nullptr || !rootFits(root)) return false;
    if (isFolder(root)) {
        if (!lockRoot(root)) return false;
        guardRoot(root);
        const NChar* stored = readStateFile(root);
        if (stored == nullptr || !makeStoredSourceAbsolute()) return false;
        findSnapshotOfRelativeRoot(root);
        findSnapshotInsideRoot(root);
        if (stored[0] != 0 && compareText(stored, source) != 0) {
            printTo(stderr, N("different sources, expected %s\n"), stored);
            return false;
        }
    } else {
        if (!runSettings.noExec && makeDirectoryPath(root) != 0) {
            printTo(stderr, N("cannot create: %s\n"), root);
            return false;
        }
        if (!lockRoot(root)) return false;
        findLatestSnapshot(root);
    }
    *sourcePath = source;
    *backupRoot = root;
    return true;
}

void resetBackupRoot()
{
    pathSlots.counter = 0;
    storedSourcePath[0] = 0;
    previousSnapshotPath[0] = 0;
    releaseBackupRoot();
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

static bool isDateName(const NChar* name)
{
    static const NChar FORM[] = N("dddd_dd_dd");
    for (int k = 0; FORM[k] != 0; ++k) {
        if (FORM[k] == N('d') ? !(name[k] >= N('0') && name[k] <= N('9')) : name[k] != FORM[k])
            return false;
    }
    return name[10] == 0;
}

void findLatestDatedSnapshot(const NChar* backupRoot, const NChar* skippedName)
{
    NChar held[NAME_CHARS];
    held[0] = 0;
    NChar path[PATH_CHARS + NAME_CHARS];
    FindEntry entry;
    FindHandle* find = platFindFirst(backupRoot, &entry);
    if (find != nullptr) {
        do {
            if (!isDateName(entry.name) || compareText(entry.name, skippedName) == 0) continue;
            if (compareText(entry.name, held) <= 0) continue;
            if (!formatText(path, PATH_CHARS + NAME_CHARS, N("%s%s"), backupRoot, entry.name) ||
                !isFolder(path))
                continue;
            copyText(held, NAME_CHARS, entry.name);
        } while (platFindNext(find, &entry));
        platFindClose(find);
    }
    previousSnapshotPath[0] = 0;
    if (held[0] != 0 && !formatText(previousSnapshotPath, PATH_CHARS, N("%s%s%s"), backupRoot, held,
                                    PATH_SEP_TEXT))
        previousSnapshotPath[0] = 0;
}

// ---- creating the root -----------------------------------------------------------

// ownerOnly: the folder itself (the backup root) is made open to its
// owner alone; folders above it are made as any would be.
static MakeDirResult makeDirectoryTree(const NChar* path, bool ownerOnly)
{
    MakeDirResult made = platMakeDir(path, ownerOnly);
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
    MakeDirResult parentMade = makeDirectoryTree(parent, false);
    free(parent);
    if (parentMade == MAKEDIR_FAILED) return MAKEDIR_FAILED;
    return platMakeDir(path, ownerOnly);
}

int makeDirectoryPath(const NChar* path)
{
    // A root made here is its owner's alone: owners are kept in snapshots,
    // and a user who may enter the root may write her files in them all.
    return makeDirectoryTree(path, true) == MAKEDIR_OK ? 0 : -1;
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
    // A file whose characters all have a byte of their own is written as it
    // always was, for every reader of old; any wider character makes the
    // whole file UTF-8, marked as such by its first three bytes.
    // A first line that begins like the mark gets a mark of its own before
    // it, so that the reader takes only that one away (the POSIX build's
    // bytes stay as they are behind it).
    bool utf8 = beyondOneByte(sourcePath) || beyondOneByte(snapshotLine) ||
                listBeyondOneByte(excludedFolders) || listBeyondOneByte(excludedTypes) ||
                listBeyondOneByte(includedTypes) || (sizeof(NChar) > 1 && looksLikeMark(sourcePath));
    bool mark = utf8 || looksLikeMark(sourcePath);
    FILE* file = platOpenStream(newPath, "wb");
    if (file == nullptr) return;
    if (mark) fputs("\xEF\xBB\xBF", file);
    writeStateText(file, N(""), sourcePath, utf8);
    writeStateText(file, N(""), snapshotLine, utf8);
    for (int32_t k = 0; k < excludedFolders.count; ++k)
        writeStateText(file, N(""), excludedFolders.items[k], utf8);
    for (int32_t k = 0; k < excludedTypes.count; ++k)
        writeStateText(file, N("-"), excludedTypes.items[k], utf8);
    for (int32_t k = 0; k < includedTypes.count; ++k)
        writeStateText(file, N("+"), includedTypes.items[k], utf8);
    // The old file is replaced only by a complete new one: a full disk or
    // a crash halfway leaves the old state as it was.
    bool complete = !ferror(file) && platSyncStream(file);
    complete = fclose(file) == 0 && complete;
    if (!complete || !platReplaceFile(newPath, statePath)) platRemoveFile(newPath);
}
