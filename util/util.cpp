// linksnap-util: the entry, the subcommands' dispatch, and what they share:
// the root read without writing in it, names as JSON strings, times.
#include "util/util.h"

#include <algorithm>
#include <cstring>

#include "cmdline/arguments.h"
#include "cmdline/cmdline_state.h"
#include "engine/engine_state.h"
#include "report/output.h"
#include "report/report_state.h"
#include "root/catalog.h"
#include "root/root_state.h"
#include "util/util_state.h"

#ifndef LINKSNAP_VERSION
#define LINKSNAP_VERSION "0"
#endif
// The version text as a native literal (the macro expanded first).
#define NATIVE_TEXT(text) N(text)

static void printUsage(FILE* stream)
{
    printTo(stream, N("usage: linksnap-util <command> [--json] ...\n"));
    printTo(stream, N("  list <backupdir> [--sizes]             the snapshots, oldest first\n"));
    printTo(stream, N("  status <backupdir> [--max-age=<hours>] one line for a monitor (exit 0 to 3)\n"));
    printTo(stream, N("  history <backupdir> <path>             the versions of one file or link\n"));
    printTo(stream, N("  diff <backupdir> <snapshot> <snapshot> what changed from the first to the second\n"));
    printTo(stream, N("  verify <backupdir> [--record | --source] [<snapshot>...]\n"));
    printTo(stream, N("                                         file contents against their checksums\n"));
    printTo(stream, N("  --help, --version\n"));
}

static int runUtil(int argc, NChar** argv)
{
    if (!platStartup()) {
        printTo(stderr, N("cannot start\n"));
        return 1;
    }
    if (argc >= 2 && compareText(argv[1], N("--help")) == 0) {
        printUsage(stdout);
        return 0;
    }
    if (argc >= 2 && compareText(argv[1], N("--version")) == 0) {
        printTo(stdout, N("linksnap-util %s\n"), NATIVE_TEXT(LINKSNAP_VERSION));
        return 0;
    }
    if (argc < 2) {
        printUsage(stderr);
        return 1;
    }
    // The subcommands change their argument list: a private copy.
    std::vector<NChar*> args(argv + 2, argv + argc);
    args.push_back(nullptr);
    int count = argc - 2;
    const NChar* command = argv[1];
    if (compareText(command, N("list")) == 0) return listCommand(count, args.data());
    if (compareText(command, N("status")) == 0) return statusCommand(count, args.data());
    if (compareText(command, N("history")) == 0) return historyCommand(count, args.data());
    if (compareText(command, N("diff")) == 0) return diffCommand(count, args.data());
    if (compareText(command, N("verify")) == 0) return verifyCommand(count, args.data());
    printTo(stderr, N("unknown command: %s\n"), command);
    printUsage(stderr);
    return 1;
}

int utilEntry(int argc, NChar** argv)
{
    int result = runUtil(argc, argv);
    resetUtilRun();
    return result;
}

void resetUtilRun()
{
    // Each layer sets its own state back, util's own among them; the
    // platform's last, since the others' releases may leave a failure there.
    resetCmdline();
    resetEngine();
    resetReport();
    resetRoot();
    resetUtil();
    platResetState();
}

bool takeJsonOption(int* count, NChar** args)
{
    bool found = false;
    int kept = 0;
    for (int i = 0; i < *count; ++i) {
        if (compareText(args[i], N("--json")) == 0) {
            found = true;
            continue;
        }
        args[kept++] = args[i];
    }
    args[kept] = nullptr;
    *count = kept;
    return found;
}

// ---- the root ----------------------------------------------------------------------

bool isSnapshotName(const NChar* name)
{
    // yyyy_mm_dd, a real month and day
    for (int i = 0; i < SNAPSHOT_NAME_CHARS; ++i) {
        NChar c = name[i];
        bool separator = i == 4 || i == 7;
        if (separator ? c != N('_') : (c < N('0') || c > N('9'))) return false;
    }
    if (name[SNAPSHOT_NAME_CHARS] != 0) return false;
    int month = (name[5] - N('0')) * 10 + (name[6] - N('0'));
    int day = (name[8] - N('0')) * 10 + (name[9] - N('0'));
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

std::vector<NString> listSnapshotNames(const NChar* root)
{
    std::vector<NString> names;
    FindEntry entry;
    // The root the user named is listed by its path; its entries are only
    // named here (a link or junction is no snapshot).
    FindHandle* find = platFindFirst(root, &entry);
    if (find == nullptr) return names;
    do {
        if (!(entry.attributes & ATTR_DIRECTORY) || (entry.attributes & ATTR_REPARSE_POINT)) continue;
        if (isSnapshotName(entry.name)) names.push_back(entry.name);
    } while (platFindNext(find, &entry));
    platFindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

bool openBackupRoot(const NChar* given, NChar* full, bool quiet)
{
    FullPathResult result = platFullPath(given, full, PATH_CHARS);
    // Room for the longest name built from the root: a snapshot's path
    // inside it and a separator, or "_catalog".
    if (result != FULLPATH_OK ||
        (!endsWithSeparator(full) && !appendText(full, PATH_CHARS, PATH_SEP_TEXT)) ||
        textLength(full) + SNAPSHOT_NAME_CHARS + 2 >= static_cast<size_t>(PATH_CHARS)) {
        if (!quiet) printTo(stderr, N("path too long: %s\n"), given);
        return false;
    }
    DirHandle* dir = platOpenDir(nullptr, full, full, DIR_FOLLOW);
    if (dir == nullptr) {
        if (!quiet) printTo(stderr, N("no backup root: %s\n"), full);
        return false;
    }
    platCloseDir(dir);
    NChar statePath[PATH_CHARS];
    // Only asked whether it is there: util never writes in the root.
    bool hasState = formatText(statePath, PATH_CHARS, N("%s_dir"), full) &&
                    platGetAttributes(statePath) != INVALID_ATTRIBUTES;
    if (!hasState && listSnapshotNames(full).empty()) {
        if (!quiet) printTo(stderr, N("not a backup root (no _dir, no snapshot): %s\n"), full);
        return false;
    }
    return true;
}

// ---- what the lock says ----------------------------------------------------------

// The last name on the "snapshot" line of a lock text (either platform's
// separators: a disk may move between them); empty when there is none.
// The lock text is read as bytes: a snapshot's name is ASCII on both.
static std::string lockSnapshotName(const std::string& text)
{
    static const char KEY[] = "snapshot ";
    size_t line = 0;
    while (line < text.size()) {
        size_t end = text.find('\n', line);
        if (end == std::string::npos) end = text.size();
        if (end - line > sizeof KEY - 1 && text.compare(line, sizeof KEY - 1, KEY) == 0) {
            size_t nameEnd = end;
            if (nameEnd > line && text[nameEnd - 1] == '\r') --nameEnd;
            while (nameEnd > line + sizeof KEY - 1 && (text[nameEnd - 1] == '/' || text[nameEnd - 1] == '\\'))
                --nameEnd;
            size_t name = nameEnd;
            while (name > line + sizeof KEY - 1 && text[name - 1] != '/' && text[name - 1] != '\\') --name;
            return text.substr(name, nameEnd - name);
        }
        line = end + 1;
    }
    return std::string();
}

static std::string narrowName(const NString& name)
{
    std::string narrow;
    for (NChar c : name) narrow.push_back(static_cast<char>(c)); // a snapshot name is ASCII
    return narrow;
}

// Whether a run holds the root now, and the snapshot the lock names. The
// lock is only tried on a lock file that exists, and given back at once.
static bool lockedNow(const NChar* root, std::string* named)
{
    named->clear();
    NChar lockPath[PATH_CHARS];
    if (!formatText(lockPath, PATH_CHARS, N("%s_lock"), root)) return false;
    LockHandle* lock = nullptr;
    LockResult result = platTryLockExisting(lockPath, &lock);
    if (result == LOCK_TAKEN) platUnlockFile(lock);
    if (result == LOCK_MISSING) return false;
    // Read only, never through a link, and only as a regular file.
    FILE* stream = platOpenStream(lockPath, "rb");
    if (stream != nullptr) {
        char buffer[2048];
        size_t got = fread(buffer, 1, sizeof buffer, stream);
        fclose(stream);
        std::string text(buffer, got);
        *named = lockSnapshotName(text);
        // A prune holds the root without making a snapshot; the name it
        // keeps is the one a stopped run left.
        bool prune = text.compare(0, 6, "prune\n") == 0 || text.find("\nprune\n") != std::string::npos ||
                     text.find("\nprune\r\n") != std::string::npos;
        if (prune && result == LOCK_BUSY) return false;
    }
    return result == LOCK_BUSY;
}

static bool lockNames(const NChar* name)
{
    return !utilState.lockNamedSnapshot.empty() && narrowName(NString(name)) == utilState.lockNamedSnapshot;
}

// A count the catalog may not know: the sum, or unknown when a part is.
static int64_t knownSum(int64_t a, int64_t b, int64_t c)
{
    return a < 0 || b < 0 || c < 0 ? -1 : a + b + c;
}

std::vector<SnapshotInfo> readSnapshots(const NChar* root)
{
    std::vector<SnapshotInfo> snapshots;
    NString source, latest;
    bool running = lockedNow(root, &utilState.lockNamedSnapshot);
    NChar statePath[PATH_CHARS];
    // The state file is read without following a link (platOpenStream).
    if (formatText(statePath, PATH_CHARS, N("%s_dir"), root) && platGetAttributes(statePath) != INVALID_ATTRIBUTES)
        readRootState(root, &source, &latest);
    // Absent or unreadable, the catalog knows nothing: the folders and the
    // state file still tell which snapshots are whole.
    Catalog catalog;
    readCatalog(root, &catalog);
    for (const NString& name : listSnapshotNames(root)) {
        SnapshotInfo info;
        info.name = name;
        info.start = info.end = -1;
        info.copied = info.linked = info.failed = info.special = info.bytesCopied = -1;
        const CatalogEntry* entry = findCatalogEntry(catalog, name.c_str());
        if (entry != nullptr) {
            info.start = entry->startTime;
            info.end = entry->endTime;
            info.copied = entry->counts.filesCopied;
            info.linked = entry->counts.filesLinked;
            info.bytesCopied = entry->counts.bytesCopied;
            info.failed = knownSum(entry->counts.writeErrors, entry->counts.linkErrors, entry->counts.unreadableFiles);
            info.special = entry->counts.specialFiles;
        }
        info.state = SNAPSHOT_COMPLETE;
        if (isUnfinishedSnapshot(catalog, name.c_str(), latest.c_str(), lockNames))
            info.state = running && narrowName(name) == utilState.lockNamedSnapshot ? SNAPSHOT_RUNNING
                                                                                    : SNAPSHOT_UNFINISHED;
        snapshots.push_back(info);
    }
    utilState.lockNamedSnapshot.clear();
    return snapshots;
}

// ---- JSON --------------------------------------------------------------------------

static void appendEscape(std::string* out, unsigned value)
{
    char text[8];
    snprintf(text, sizeof text, "\\u%04x", value & 0xFFFFu);
    out->append(text);
}

static void appendCodePoint(std::string* out, unsigned long c)
{
    switch (c) {
    case '"': out->append("\\\""); return;
    case '\\': out->append("\\\\"); return;
    case '\n': out->append("\\n"); return;
    case '\r': out->append("\\r"); return;
    case '\t': out->append("\\t"); return;
    default: break;
    }
    if (c >= 0x20 && c < 0x7F) {
        out->push_back(static_cast<char>(c));
    } else if (c >= 0x10000) {
        c -= 0x10000;
        appendEscape(out, static_cast<unsigned>(0xD800 + (c >> 10)));
        appendEscape(out, static_cast<unsigned>(0xDC00 + (c & 0x3FF)));
    } else {
        appendEscape(out, static_cast<unsigned>(c));
    }
}

// The length of the valid UTF-8 sequence at text (at most left bytes) and
// its code point; 0 when the bytes there are no valid sequence (overlong
// forms and encoded surrogates included).
static size_t utf8Sequence(const unsigned char* text, size_t left, unsigned long* point)
{
    unsigned char first = text[0];
    size_t length;
    unsigned long value;
    if (first < 0x80) {
        *point = first;
        return 1;
    } else if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
        value = first & 0x1F;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        value = first & 0x0F;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        value = first & 0x07;
    } else {
        return 0;
    }
    if (length > left) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (text[i] & 0x3F);
    }
    if ((length == 3 && value < 0x800) || (length == 4 && (value < 0x10000 || value > 0x10FFFF))) return 0;
    if (value >= 0xD800 && value <= 0xDFFF) return 0;
    *point = value;
    return length;
}

[[maybe_unused]] static void appendJsonText(std::string* out, const char* text, size_t length)
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < length) {
        unsigned long point = 0;
        size_t used = utf8Sequence(bytes + i, length - i, &point);
        if (used == 0) {
            // As Python's surrogateescape: the byte, in a lone low surrogate.
            appendEscape(out, 0xDC00u + bytes[i]);
            ++i;
        } else {
            appendCodePoint(out, point);
            i += used;
        }
    }
}

[[maybe_unused]] static void appendJsonText(std::string* out, const wchar_t* text, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        unsigned long c = static_cast<unsigned long>(text[i]) & 0xFFFFu;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length) {
            unsigned long low = static_cast<unsigned long>(text[i + 1]) & 0xFFFFu;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                appendCodePoint(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        appendCodePoint(out, c); // an unpaired surrogate stays itself
    }
}

std::string jsonString(const NChar* text, size_t length)
{
    std::string out = "\"";
    appendJsonText(&out, text, length);
    out.push_back('"');
    return out;
}

void writeJsonLine(const std::string& line)
{
    fwrite(line.data(), 1, line.size(), stdout);
    fputc('\n', stdout);
}

// ---- times -------------------------------------------------------------------------

NString localTimeText(int64_t when)
{
    LocalTime local;
    NChar text[32];
    if (when < 0 || !platLocalClock(when, &local) ||
        !formatText(text, 32, N("%04d-%02d-%02d %02d:%02d:%02d"), local.year, local.month, local.day, local.hour,
                    local.minute, local.second))
        return N("-");
    return text;
}

std::string utcTimeText(int64_t when)
{
    // The civil date of a day count (Howard Hinnant's algorithm).
    int64_t days = when >= 0 ? when / 86400 : (when - 86399) / 86400;
    int64_t seconds = when - days * 86400;
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t dayOfEra = days - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t mp = (5 * dayOfYear + 2) / 153;
    int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
    int64_t month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[96];
    snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(year),
             static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(seconds / 3600),
             static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return text;
}
