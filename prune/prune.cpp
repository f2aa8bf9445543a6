#include "prune/prune.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "cmdline/arguments.h"
#include "cmdline/cmdline_state.h"
#include "cmdline/version.h"
#include "engine/engine_state.h"
#include "engine/filter_lists.h"
#include "platform/platform.h"
#include "prune/prune_state.h"
#include "prune/retention.h"
#include "report/output.h"
#include "report/report_state.h"
#include "report/summary.h"
#include "root/catalog.h"
#include "root/root_lock.h"
#include "root/root_state.h"
#include "root/snapshots.h"
#include "root/state_file.h"
#include "root/checksums.h"

static const NChar DELETING_SUFFIX[] = N(".deleting");
const int DELETING_SUFFIX_LENGTH = 9;

// A snapshot name with the suffix, and its terminator.
const int PRUNE_NAME_CHARS = SNAPSHOT_NAME_LENGTH + DELETING_SUFFIX_LENGTH + 1;

// Room behind the root for the longest path built from it: a snapshot
// name with the suffix and a separator.
const size_t PRUNE_SUFFIX_CHARS = PRUNE_NAME_CHARS + 1;

struct Snapshot {
    NChar name[PRUNE_NAME_CHARS];
    SnapshotDate date;
    bool unfinished; // "<name>.deleting", left by a prune that was stopped
    bool begunOnly;  // a snapshot that a run began and none completed
    KeepRule rule;
    int64_t files;
    uint64_t ownBytes; // bytes of its files that have no other name
};

// Every file of the snapshots to delete, by identity: how many names it
// has and how many of them go. A file is freed when all of them go.
struct DeletedFile {
    uint64_t linkCount;
    uint64_t namesGoing;
    uint64_t size;
};
typedef std::map<std::pair<uint64_t, uint64_t>, DeletedFile> DeletedFiles;

struct ScanContext {
    Snapshot* snapshot;
    DeletedFiles* deleted; // null for a snapshot that is kept
};

static void printUsage(FILE* stream = stderr)
{
    printTo(stream, N("linksnap-prune version %d.%d.%d\n"), VERSION_MAJOR, VERSION_MINOR, VERSION_PATCH);
    printTo(stream, N("usage: linksnap-prune [-n] [-s] [d=<N>] [w=<N>] [m=<N>] [y=<N>] <backupdir>\n"));
    printTo(stream, N("-n ... no-exec: show what would be deleted\n"));
    printTo(stream, N("-s ... silent: print only the total\n"));
    printTo(stream, N("d=<N>   keep the newest snapshot of each of the last N days\n"));
    printTo(stream, N("w=<N>   ... of each of the last N weeks (ISO weeks, Monday to Sunday)\n"));
    printTo(stream, N("m=<N>   ... of each of the last N months\n"));
    printTo(stream, N("y=<N>   ... of each of the last N years\n"));
}

// A count of periods: digits only, 1 to MAX_KEEP_PERIODS. An option not
// given is 0.
static bool parsePeriods(const NChar* value, bool given, int* periods)
{
    *periods = 0;
    if (!given) return true;
    if (value[0] == 0) return false;
    int64_t number = 0;
    for (const NChar* c = value; *c != 0; ++c) {
        if (*c < N('0') || *c > N('9')) return false;
        number = number * 10 + (*c - N('0'));
        if (number > MAX_KEEP_PERIODS) return false;
    }
    *periods = static_cast<int>(number);
    return number >= 1;
}

// Finds "d=", "w=", "m=" and "y=" in the arguments; false on a value that
// is not a count.
static bool readKeepCounts(int* count, NChar*** args, KeepCounts* keep, bool* any)
{
    NChar values[4][OPTION_VALUE_CHARS];
    const NChar* keys[4] = {N("d="), N("w="), N("m="), N("y=")};
    bool given[4] = {false, false, false, false};
    // Which options were given: the parser leaves an empty value for
    // both "d=" and no d= at all.
    for (int k = 0; k < 4; ++k)
        for (int a = 0; a < *count; ++a)
            if (compareTextN((*args)[a], keys[k], 2) == 0) given[k] = true;
    int found = parseKeywordOptions(count, args, N("d=%s,w=%s,m=%s,y=%s"), values[0], values[1], values[2],
                                    values[3]);
    if (found < 0) return false;
    int* periods[4] = {&keep->days, &keep->weeks, &keep->months, &keep->years};
    *any = false;
    for (int k = 0; k < 4; ++k) {
        if (!parsePeriods(values[k], given[k], periods[k])) {
            printTo(stderr, N("not a count of 1 to %d: %s%s\n"), MAX_KEEP_PERIODS, keys[k], values[k]);
            return false;
        }
        if (given[k]) *any = true;
    }
    return true;
}

static const NChar* groupedCount(int64_t value, NChar* text)
{
    copyText(text, GROUPED_TEXT_CHARS, value == 0 ? N("0") : formatGrouped(value));
    return text;
}

// ---- the snapshots of the root -------------------------------------------------

static bool isDeletingName(const NChar* name, SnapshotDate* date)
{
    NChar head[SNAPSHOT_NAME_LENGTH + 1];
    if (textLength(name) != static_cast<size_t>(SNAPSHOT_NAME_LENGTH + DELETING_SUFFIX_LENGTH)) return false;
    if (compareText(name + SNAPSHOT_NAME_LENGTH, DELETING_SUFFIX) != 0) return false;
    memcpy(head, name, SNAPSHOT_NAME_LENGTH * sizeof(NChar));
    head[SNAPSHOT_NAME_LENGTH] = 0;
    return parseSnapshotName(head, date);
}

// The folders of the root with a snapshot name, and those a stopped prune
// left; nothing else is ever touched. A link or junction is no snapshot.
static void listSnapshots(const NChar* root, std::vector<Snapshot>* snapshots)
{
    FindEntry entry;
    // The root itself is listed by the path the user gave; its entries are
    // only named here, and every step below them goes through the open root.
    FindHandle* find = platFindFirst(root, &entry);
    if (find == nullptr) return;
    do {
        if (!(entry.attributes & ATTR_DIRECTORY) || (entry.attributes & ATTR_REPARSE_POINT)) continue;
        Snapshot snapshot = {};
        if (parseSnapshotName(entry.name, &snapshot.date)) {
            snapshot.unfinished = false;
        } else if (isDeletingName(entry.name, &snapshot.date)) {
            snapshot.unfinished = true;
        } else {
            continue;
        }
        copyText(snapshot.name, PRUNE_NAME_CHARS, entry.name);
        snapshots->push_back(snapshot);
    } while (platFindNext(find, &entry));
    platFindClose(find);
    std::sort(snapshots->begin(), snapshots->end(), [](const Snapshot& a, const Snapshot& b) {
        if (a.unfinished != b.unfinished) return a.unfinished;
        return compareText(a.name, b.name) < 0;
    });
}

// The name of the snapshot on line 2 of the state file, which the next run
// links against; empty when there is none.
static void linkedSnapshotName(NChar* name)
{
    name[0] = 0;
    NChar path[PATH_CHARS];
    copyText(path, PATH_CHARS, rootState.previousSnapshotPath);
    size_t length = textLength(path);
    while (length > 0 && path[length - 1] == PATH_SEP) path[--length] = 0;
    const NChar* last = findLast(path, PATH_SEP);
    copyText(name, PRUNE_NAME_CHARS, last != nullptr ? last + 1 : path);
}

// ---- what a snapshot costs -----------------------------------------------------

static void countFile(const TreeFile* file, void* context)
{
    ScanContext* scan = static_cast<ScanContext*>(context);
    ++scan->snapshot->files;
    if (file->linkCount == 1) scan->snapshot->ownBytes += file->size;
    if (scan->deleted == nullptr) return;
    DeletedFile& entry = (*scan->deleted)[std::make_pair(file->identity.volume, file->identity.index)];
    entry.linkCount = file->linkCount;
    entry.size = file->size;
    ++entry.namesGoing;
}

// A file still there after a failed deletion is not freed.
static void keepFile(const TreeFile* file, void* context)
{
    DeletedFiles* deleted = static_cast<DeletedFiles*>(context);
    auto found = deleted->find(std::make_pair(file->identity.volume, file->identity.index));
    if (found != deleted->end()) found->second.namesGoing = 0;
}

static uint64_t freedBytes(const DeletedFiles& deleted)
{
    uint64_t total = 0;
    for (const auto& entry : deleted)
        if (entry.second.namesGoing >= entry.second.linkCount) total += entry.second.size;
    return total;
}

static void pathOf(const NChar* root, const NChar* name, NChar* path)
{
    // The root was checked to leave room for every name of PRUNE_NAME_CHARS.
    formatText(path, PATH_CHARS, N("%s%s"), root, name);
}

static void countSnapshot(const NChar* root, DirHandle* rootDir, Snapshot* snapshot, DeletedFiles* deleted)
{
    NChar path[PATH_CHARS];
    pathOf(root, snapshot->name, path);
    ScanContext scan = {snapshot, deleted};
    if (!platScanTreeAt(rootDir, snapshot->name, path, countFile, &scan)) {
        NChar reason[256];
        platFailureText(reason, 256);
        printTo(stderr, N("cannot read all of %s: %s\n"), path, reason);
    }
}

static void printCost(const Snapshot& snapshot)
{
    NChar files[GROUPED_TEXT_CHARS];
    NChar bytes[GROUPED_TEXT_CHARS];
    // An unfinished snapshot that goes is listed under its own rule.
    KeepRule shown = snapshot.begunOnly && snapshot.rule == KEEP_NONE ? KEEP_UNFINISHED : snapshot.rule;
    printOut(N("%s %-6s %-6s %15s files %19s bytes\n"), snapshot.name,
             snapshot.rule == KEEP_NONE ? N("delete") : N("keep"), keepRuleName(shown),
             groupedCount(snapshot.files, files), groupedCount(static_cast<int64_t>(snapshot.ownBytes), bytes));
}

// ---- deleting -------------------------------------------------------------------

static void reportRemoveFailure(const NChar* path, const NChar* reason, void*)
{
    printTo(stderr, N("cannot delete %s: %s\n"), path, reason);
}

// Renames the snapshot to "<name>.deleting" first, so that a prune stopped
// halfway never leaves a part of a snapshot that looks whole; then removes
// that tree. False when anything is left. Everything is done relative to
// the open root, so that nothing is looked up again by path.
static bool deleteSnapshot(const NChar* root, DirHandle* rootDir, const Snapshot& snapshot, DeletedFiles* deleted)
{
    NChar path[PATH_CHARS];
    NChar deletingName[PRUNE_NAME_CHARS];
    NChar deletingPath[PATH_CHARS];
    pathOf(root, snapshot.name, path);
    if (snapshot.unfinished) {
        copyText(deletingName, PRUNE_NAME_CHARS, snapshot.name);
    } else {
        formatText(deletingName, PRUNE_NAME_CHARS, N("%s%s"), snapshot.name, DELETING_SUFFIX);
    }
    pathOf(root, deletingName, deletingPath);
    if (!snapshot.unfinished &&
        !platRenameFolderAt(rootDir, snapshot.name, path, deletingName, deletingPath)) {
        NChar reason[256];
        platFailureText(reason, 256);
        printTo(stderr, N("cannot rename %s: %s\n"), path, reason);
        platScanTreeAt(rootDir, snapshot.name, path, keepFile, deleted);
        return false;
    }
    if (platRemoveTreeAt(rootDir, deletingName, deletingPath, reportRemoveFailure, nullptr)) return true;
    platScanTreeAt(rootDir, deletingName, deletingPath, keepFile, deleted);
    return false;
}

// ---- the checksum records ------------------------------------------------------------

// The files that live on: index and size of every file of the kept snapshots.
typedef std::set<std::pair<uint64_t, uint64_t>> LiveFiles;

static void noteLiveFile(const TreeFile* file, void* context)
{
    static_cast<LiveFiles*>(context)->insert(std::make_pair(file->identity.index, file->size));
}

static void takeRecord(const ChecksumRecord& record, void* context)
{
    static_cast<std::vector<ChecksumRecord>*>(context)->push_back(record);
}

// Drops the records of files no kept snapshot holds any more, so that the
// records do not grow forever and an index the file system gives to a new
// file never meets the record of the one it freed. Under the root's lock.
// A kept snapshot that cannot be read whole keeps every record.
static void compactChecksums(const NChar* root, DirHandle* rootDir, const std::vector<Snapshot>& snapshots)
{
    std::vector<ChecksumRecord> records;
    if (readChecksums(root, takeRecord, &records) != CHECKSUMS_READ) return;
    LiveFiles live;
    for (const Snapshot& snapshot : snapshots) {
        if (snapshot.rule == KEEP_NONE) continue;
        NChar path[PATH_CHARS];
        pathOf(root, snapshot.name, path);
        if (!platScanTreeAt(rootDir, snapshot.name, path, noteLiveFile, &live)) return;
    }
    // The last record of a key decides (a bad mark stays with it): one
    // record per key is enough.
    ChecksumTable table;
    for (const ChecksumRecord& record : records) addChecksumRecord(&table, record);
    std::vector<ChecksumRecord> kept;
    // Records of one key appear once, in the order of their first record.
    ChecksumTable done;
    for (const ChecksumRecord& record : records) {
        if (live.count(std::make_pair(record.key.index, record.key.size)) == 0) continue;
        if (!done.emplace(record.key, record).second) continue;
        kept.push_back(table[record.key]);
    }
    if (kept.size() == records.size()) return;
    if (!rewriteChecksums(root, kept)) {
        NChar reason[256];
        platFailureText(reason, 256);
        printTo(stderr, N("cannot rewrite %s_checksums: %s\n"), root, reason);
    }
}

// ---- the run --------------------------------------------------------------------------

// Takes the lock of the root that every run holds. A dry run does not make
// a missing lock file: it changes nothing in the root. Unlike a backup
// run, a prune never goes on unlocked: deleting under a run that links
// against the snapshots would cost it its previous snapshot.
static bool lockRoot(const NChar* root)
{
    NChar lockPath[PATH_CHARS];
    formatText(lockPath, PATH_CHARS, N("%s_lock"), root);
    // A dry run creates no lock file: only whether one is there is asked,
    // and the lock itself is opened without following a link.
    if (pruneState.pruneSettings.noExec && platGetAttributes(lockPath) == INVALID_ATTRIBUTES) return true;
    LockResult locked = lockBackupRoot(root, lockPath);
    if (locked == LOCK_TAKEN) {
        if (!pruneState.pruneSettings.noExec) recordPruneInLock();
        return true;
    }
    if (locked == LOCK_BUSY)
        printTo(stderr, N("backup root %s is in use by another run.\n"), root);
    else if (locked == LOCK_NOT_REGULAR)
        printTo(stderr, N("%s is not a regular file: remove it.\n"), lockPath);
    else
        printTo(stderr, N("cannot lock backup root %s\n"), root);
    return false;
}

// Everything after the lock: the choice, the cost lines, the deletions.
static int pruneOpenRoot(const NChar* root, DirHandle* rootDir, const KeepCounts& keep)
{
    if (readStateFile(root) == nullptr) return 1;
    NChar linkedName[PRUNE_NAME_CHARS];
    linkedSnapshotName(linkedName);

    std::vector<Snapshot> snapshots;
    listSnapshots(root, &snapshots);
    // Which snapshots no run completed (see root/catalog.h); a catalog
    // that cannot be read knows none, as a root of an earlier version.
    Catalog catalog;
    readCatalog(root, &catalog);
    size_t firstSnapshot = 0;
    while (firstSnapshot < snapshots.size() && snapshots[firstSnapshot].unfinished) ++firstSnapshot;
    // The calendar is filled by complete snapshots alone.
    std::vector<size_t> complete;
    std::vector<SnapshotDate> dates;
    int linkedIndex = -1;
    for (size_t k = firstSnapshot; k < snapshots.size(); ++k) {
        Snapshot& snapshot = snapshots[k];
        snapshot.begunOnly = isUnfinishedSnapshot(catalog, snapshot.name, linkedName, lastHolderNamedSnapshot);
        if (snapshot.begunOnly) continue;
        if (compareText(snapshot.name, linkedName) == 0) linkedIndex = static_cast<int>(dates.size());
        complete.push_back(k);
        dates.push_back(snapshot.date);
    }
    int count = static_cast<int>(dates.size());
    // Only the snapshot the state file names is known to be complete (a
    // newer folder may be a run's unfinished one): without it, nothing goes.
    if (count > 0 && linkedIndex < 0) {
        printTo(stderr, N("no complete snapshot named in %s_dir, nothing deleted.\n"), root);
        return 1;
    }
    std::vector<KeepRule> rules(dates.size());
    chooseKept(dates.data(), count, keep, linkedIndex, rules.data());
    for (int k = 0; k < count; ++k) snapshots[complete[k]].rule = rules[k];
    // An unfinished snapshot stays until a newer complete one stands in
    // its place (names sort as dates).
    const NChar* newestComplete = count > 0 ? snapshots[complete.back()].name : N("");
    for (size_t k = firstSnapshot; k < snapshots.size(); ++k)
        if (snapshots[k].begunOnly)
            snapshots[k].rule = compareText(snapshots[k].name, newestComplete) < 0 ? KEEP_NONE : KEEP_UNFINISHED;

    DeletedFiles deleted;
    for (Snapshot& snapshot : snapshots) {
        bool deleting = snapshot.rule == KEEP_NONE;
        if (deleting || !pruneState.pruneSettings.silent)
            countSnapshot(root, rootDir, &snapshot, deleting ? &deleted : nullptr);
        if (!pruneState.pruneSettings.silent) printCost(snapshot);
    }

    int failures = 0;
    if (!pruneState.pruneSettings.noExec) {
        for (const Snapshot& snapshot : snapshots)
            if (snapshot.rule == KEEP_NONE && !deleteSnapshot(root, rootDir, snapshot, &deleted)) ++failures;
        bool deletedAny = std::any_of(snapshots.begin(), snapshots.end(),
                                      [](const Snapshot& snapshot) { return snapshot.rule == KEEP_NONE; });
        if (deletedAny && failures == 0) compactChecksums(root, rootDir, snapshots);
    }
    NChar freed[GROUPED_TEXT_CHARS];
    printOut(N("%22s bytes freed\n"), groupedCount(static_cast<int64_t>(freedBytes(deleted)), freed));
    return failures > 0 ? 2 : 0;
}

// The root is opened once; every snapshot is counted, renamed and removed
// relative to it.
static int pruneRoot(const NChar* root, const KeepCounts& keep)
{
    DirHandle* rootDir = platOpenDir(nullptr, nullptr, root, DIR_FOLLOW);
    if (rootDir == nullptr) {
        printTo(stderr, N("no dir: %s\n"), root);
        return 1;
    }
    int result = pruneOpenRoot(root, rootDir, keep);
    platCloseDir(rootDir);
    return result;
}

int runPrune(int argc, NChar** argv)
{
    PruneSettings& settings = pruneState.pruneSettings;
    int count = argc - 1;
    NChar** args = argv + 1;
    int help = 0;
    parseFlags(&count, &args, N("hns"), &help, &settings.noExec, &settings.silent);
    KeepCounts keep = {0, 0, 0, 0};
    bool any = false;
    bool counted = readKeepCounts(&count, &args, &keep, &any);
    // No default schedule: a prune deletes only what it was told to keep less of.
    if (help || !counted || !any || count != 1 || args[0][0] == 0 || isFlagArgument(args[0])) {
        printUsage();
        return 1;
    }
    // The root as a directory path, so that names join it directly.
    NChar root[PATH_CHARS];
    if (!copyText(root, PATH_CHARS, args[0]) ||
        (!endsWithSeparator(root) && !appendText(root, PATH_CHARS, PATH_SEP_TEXT))) {
        printTo(stderr, N("path too long: %s\n"), args[0]);
        return 1;
    }
    if (!rootFits(root, PRUNE_SUFFIX_CHARS)) return 1;
    // The path the user gave (it may be a link of the user's choice).
    uint32_t attributes = platGetAttributes(root);
    if (attributes == INVALID_ATTRIBUTES || !(attributes & ATTR_DIRECTORY)) {
        printTo(stderr, N("no dir: %s\n"), root);
        return 1;
    }
    if (!lockRoot(root)) return 1;
    int result = pruneRoot(root, keep);
    releaseBackupRoot();
    return result;
}

int pruneEntry(int argc, NChar** argv)
{
    int result;
    if (!platStartup()) {
        printOut(N("Schwerwiegender Fehler: Fehler bei GetModuleHandle.\n"));
        result = 1;
    } else {
        result = answerHelpOrVersion(argc, argv, N("linksnap-prune"), printUsage);
        if (result < 0) result = runPrune(argc, argv);
    }
    // The state file reader fills the filter lists; prune has no use for
    // them, and gives back all the layers hold.
    resetPruneRun();
    return result;
}

void resetPruneRun()
{
    // Each layer sets its own state back, prune's own among them; the
    // platform's last, since the others' releases may leave a failure there.
    resetCmdline();
    resetEngine();
    resetReport();
    resetRoot();
    resetPrune();
    platResetState();
}
