#include "app/run.h"

#include <cstdlib>

#include "app/app_state.h"
#include "app/backup_root.h"
#include "cmdline/arguments.h"
#include "cmdline/cmdline_state.h"
#include "cmdline/version.h"
#include "engine/copier.h"
#include "engine/engine_state.h"
#include "engine/filter_lists.h"
#include "engine/folder_pool.h"
#include "engine/resume.h"
#include "engine/walker.h"
#include "platform/platform.h"
#include "report/ordered_output.h"
#include "report/output.h"
#include "report/report_state.h"
#include "report/run_state.h"
#include "report/summary.h"
#include "root/catalog.h"
#include "root/root_state.h"
#include "root/root_lock.h"
#include "root/snapshots.h"
#include "root/state_file.h"
#include "sysact/command.h"

static void printUsage(FILE* stream = stderr)
{
    printTo(stream, N("linksnap version %d.%d.%d\n"), VERSION_MAJOR, VERSION_MINOR, VERSION_PATCH);
    printTo(stream, N("usage: linksnap [<flags>] [<srcdir>] <backupdir>\n"));
    printTo(stream, N("-h ... help\n"));
    printTo(stream, N("-s ... silent\n"));
    printTo(stream, N("-n ... no-exec\n"));
    printTo(stream, N("-S ... shutdown machine when done\n"));
    printTo(stream, N("x=<folder>[,...]   exclude folders\n"));
    printTo(stream, N("xt=<*.xxx>[,...]   exclude filetypes\n"));
    printTo(stream, N("it=<*.xxx>[,...]   include filetypes\n"));
}

// A filter that cannot be remembered would silently change the next run:
// the run is then refused.
bool fillList(NChar* value, void (*add)(const NChar*), bool isFolder)
{
    if (value[0] == 0) return true;
    NChar* items[MAX_LIST_ITEMS];
    int count = splitList(value, items);
    for (int k = 0; k < count; ++k)
        if (!fitsStateLine(items[k], isFolder)) return false;
    for (int k = 0; k < count; ++k) add(items[k]);
    return true;
}

// Whether the lock names the dated folder name of this root as the one its
// last holder made, and that folder is still the one it made (its
// identity): a folder of that name made by anyone else is not left
// unfinished by a run of this root.
static bool lockNamesOwnFolder(const NChar* name)
{
    NChar path[PATH_CHARS];
    const NChar* root = appState.runRoot;
    return root != nullptr && formatText(path, PATH_CHARS, N("%s%s%s"), root, name, PATH_SEP_TEXT) &&
           lastRunMadeSnapshot(path, name);
}

// The snapshot the state file names, by its name in this root: the folder
// of that name here, where it is the one named (the root may be spelt
// otherwise than when _dir was written).
static void findStateSnapshotName(const NChar* backupRoot)
{
    appState.stateSnapshotName[0] = 0;
    if (rootState.previousSnapshotPath[0] == 0) return;
    NChar name[CATALOG_NAME_CHARS];
    lastNameOf(rootState.previousSnapshotPath, name, CATALOG_NAME_CHARS);
    NChar here[PATH_CHARS];
    FileIdentity named;
    FileIdentity inRoot;
    if (name[0] != 0 && formatText(here, PATH_CHARS, N("%s%s%s"), backupRoot, name, PATH_SEP_TEXT) &&
        platGetIdentity(rootState.previousSnapshotPath, &named) && platGetIdentity(here, &inRoot) &&
        sameIdentity(named, inRoot))
        copyText(appState.stateSnapshotName, CATALOG_NAME_CHARS, name);
}

// Today's snapshot folder exists. It is continued when it is unfinished
// (a run began it and none completed it: see root/catalog.h), or when the
// run that completed it could not write some of its copies (a disk that
// was full): those are retried. A snapshot complete without write errors,
// or a folder that no run made, is not touched.
static bool isSnapshotToContinue(const NChar* dateText)
{
    if (isUnfinishedSnapshot(appState.catalog, dateText, appState.stateSnapshotName, lockNamesOwnFolder))
        return true;
    const CatalogEntry* entry = findCatalogEntry(appState.catalog, dateText);
    return entry != nullptr && entry->state == CATALOG_COMPLETE && entry->counts.writeErrors > 0;
}

// Sets previousSnapshotPath to the newest complete snapshot of the root
// other than skippedName (today's); empty when there is none.
static void findLatestCompleteSnapshot(const NChar* backupRoot, const NChar* skippedName)
{
    SnapshotFilter complete = {&appState.catalog, appState.stateSnapshotName, lockNamesOwnFolder};
    findLatestSnapshot(backupRoot, skippedName, complete, rootState.previousSnapshotPath);
}

// A previous snapshot removed by hand leaves its place to the newest
// complete snapshot that is still there.
static void replaceMissingPrevious(const NChar* backupRoot, const NChar* dateText)
{
    if (rootState.previousSnapshotPath[0] == 0) return;
    uint32_t attributes = platGetAttributes(rootState.previousSnapshotPath);
    if (attributes != INVALID_ATTRIBUTES && (attributes & ATTR_DIRECTORY)) return;
    NChar missing[PATH_CHARS];
    copyText(missing, PATH_CHARS, rootState.previousSnapshotPath);
    findLatestCompleteSnapshot(backupRoot, dateText);
    if (rootState.previousSnapshotPath[0] != 0)
        printOut(N("previous snapshot %s not found, using %s\n"), missing,
                 rootState.previousSnapshotPath);
}

// The start of this run's snapshot, recorded before its folder is made or
// continued; false, with the refusal printed, when it cannot be recorded.
static bool recordSnapshotStart(const NChar* backupRoot, const NChar* dateText, const NChar* snapshotPath)
{
    recordSnapshotBegun(&appState.catalog, dateText, runCounters.startTime);
    NChar reason[512];
    if (writeCatalog(backupRoot, appState.catalog, reason, 512)) return true;
    printTo(stderr, N("cannot create: %s\n"), snapshotPath);
    printTo(stderr, N("    %s\n"), reason);
    return false;
}

// What the parsers leave must be paths. An empty one would make the file
// system's root the source or the backup root, and one that still begins
// with a flag prefix is an unknown flag, never a folder to create.
static bool arePathArguments(int count, NChar** args)
{
    for (int k = 0; k < count; ++k)
        if (args[k][0] == 0 || isFlagArgument(args[k])) return false;
    return true;
}

int runBackup(int argc, NChar** argv)
{
    RunSettings& settings = cmdlineState.runSettings;
    Catalog& catalog = appState.catalog;
    int count = argc - 1;
    NChar** args = argv + 1;
    int help = 0;
    parseFlags(&count, &args, N("hnsS"), &help, &settings.noExec, &settings.silent, &settings.shutdownWhenDone);
    NChar folderValue[PATH_CHARS];
    NChar excludedTypesValue[PATH_CHARS];
    NChar includedTypesValue[PATH_CHARS];
    int options = parseKeywordOptions(&count, &args, N("x=%s,xt=%s,it=%s"), folderValue,
                                      excludedTypesValue, includedTypesValue);
    // An option value too long for its buffer is refused, never cut.
    if (help || options < 0 || (count != 1 && count != 2) || !arePathArguments(count, args)) {
        printUsage();
        return 1;
    }
    settings.logErrors = 1;
    if (excludedTypesValue[0] != 0 && includedTypesValue[0] != 0) {
        printTo(stderr, N("ex-types AND in-types not allowed.\n"));
        return 1;
    }
    if (!fillList(folderValue, addExcludedFolder, true) ||
        !fillList(excludedTypesValue, addExcludedType, false) ||
        !fillList(includedTypesValue, addIncludedType, false)) {
        printUsage();
        return 1;
    }

    const NChar* sourcePath = nullptr;
    const NChar* backupRoot = nullptr;
    if (!resolveRunPaths(count, args, &sourcePath, &backupRoot)) return 1;

    uint32_t attributes = platGetAttributes(sourcePath);
    if (attributes == INVALID_ATTRIBUTES || !(attributes & ATTR_DIRECTORY)) {
        printTo(stderr, N("no dir: %s\n"), sourcePath);
        return 1;
    }
    FileIdentity sourceIdentity;
    FileIdentity otherIdentity;
    bool sourceKnown = platGetIdentity(sourcePath, &sourceIdentity);
    if (sourceKnown && platGetIdentity(backupRoot, &otherIdentity) &&
        sameIdentity(sourceIdentity, otherIdentity)) {
        printTo(stderr, N("source and backup root are one folder: %s\n"), sourcePath);
        return 1;
    }
    // A state file that names the source itself as the previous snapshot
    // would make every file its own twin, and the new snapshot a set of
    // hard links to the live files. Such a snapshot is no twin: copy all.
    if (sourceKnown && rootState.previousSnapshotPath[0] != 0 &&
        platGetIdentity(rootState.previousSnapshotPath, &otherIdentity) &&
        sameIdentity(sourceIdentity, otherIdentity))
        rootState.previousSnapshotPath[0] = 0;

    LocalTime local;
    NChar dateText[16];
    NChar snapshotPath[PATH_CHARS];
    if (!platLocalClock(platNow(), &local) ||
        !formatText(dateText, 16, N("%04d_%02d_%02d"), local.year, local.month, local.day) ||
        !formatText(snapshotPath, PATH_CHARS, N("%s%s%s"), backupRoot, dateText, PATH_SEP_TEXT)) {
        printTo(stderr, N("no local date for the snapshot name\n"));
        return 1;
    }
    formatText(reportState.log.logPath, PATH_CHARS, N("%slog.txt"), backupRoot);
    reportState.log.headerText = snapshotPath;

    // The catalog tells which snapshots are whole. One that exists but
    // cannot be read would be lost by rewriting it: the run is refused.
    appState.runRoot = backupRoot;
    findStateSnapshotName(backupRoot);
    if (readCatalog(backupRoot, &catalog) == CATALOG_UNREADABLE && !settings.noExec) {
        NChar reason[512];
        platFailureText(reason, 512);
        printTo(stderr, N("cannot create: %s\n"), snapshotPath);
        printTo(stderr, N("    %s\n"), reason);
        return 1;
    }
    reconcileCatalog(&catalog, backupRoot, appState.stateSnapshotName, lockNamesOwnFolder);

    // Anything of the snapshot's name (a folder, a file, a link, dangling
    // or not) refuses the run: the snapshot folder is made by this run
    // alone, unless it is today's snapshot that a stopped run left
    // unfinished, or one whose copies could not all be written, which this
    // run completes. A folder that cannot be made for another reason (no
    // rights, a read-only disk) refuses the run.
    MakeDirResult made = MAKEDIR_OK;
    if (platGetAttributes(snapshotPath) != INVALID_ATTRIBUTES) {
        made = MAKEDIR_EXISTS;
    } else if (!settings.noExec) {
        // The catalog and the lock name the snapshot before its folder
        // exists, so that a run stopped at any moment after leaves a folder
        // that the next run knows as its own and finishes.
        if (!recordSnapshotStart(backupRoot, dateText, snapshotPath)) return 1;
        recordRunInLock(snapshotPath);
        made = platMakeDir(snapshotPath, true);
        NChar reason[512];
        platFailureText(reason, 512);
        if (made != MAKEDIR_OK) {
            // Made by someone else in between: not this run's to finish.
            recordRunInLock(N(""));
            CatalogEntry* begun = findCatalogEntry(&catalog, dateText);
            if (begun != nullptr) catalog.entries.erase(catalog.entries.begin() + (begun - catalog.entries.data()));
            NChar ignored[512];
            writeCatalog(backupRoot, catalog, ignored, 512);
        }
        if (made == MAKEDIR_FAILED) {
            // A root the run cannot write (a disk remounted read-only, no
            // rights, no room) would fail every file and end as if whole.
            printTo(stderr, N("cannot create: %s\n"), snapshotPath);
            printTo(stderr, N("    %s\n"), reason);
            return 1;
        }
        // Made: the lock records which folder is this run's.
        if (made == MAKEDIR_OK) recordRunInLock(snapshotPath);
    }
    if (made == MAKEDIR_EXISTS) {
        attributes = platGetAttributes(snapshotPath);
        bool isFolder = attributes != INVALID_ATTRIBUTES && (attributes & ATTR_DIRECTORY) &&
                        !(attributes & ATTR_REPARSE_POINT);
        // A dry run holds no lock: it cannot know that no run writes there.
        engineState.resumingSnapshot = !settings.noExec && isFolder && isSnapshotToContinue(dateText);
        if (!engineState.resumingSnapshot) {
            // On standard error alone: a refused run leaves the log as it
            // is, so that the day's last block still ends with its summary.
            printTo(stderr, N("destination %s already exists.\n"), snapshotPath);
            return 1;
        }
        if (compareText(appState.stateSnapshotName, dateText) == 0) {
            // Today's snapshot completed with copies missing. It links
            // against the newest whole snapshot before it, never itself, and
            // the state file names that one until this run completes today's
            // again: a run stopped meanwhile leaves today's as unfinished.
            findLatestCompleteSnapshot(backupRoot, dateText);
            appState.stateSnapshotName[0] = 0;
            writeStateFile(sourcePath, backupRoot, rootState.previousSnapshotPath);
        }
        if (!recordSnapshotStart(backupRoot, dateText, snapshotPath)) return 1;
    }
    // Past the last refusal: the log is opened once, for the whole run.
    if (!settings.noExec) openRunLog();
    adviseOnRootAccess(backupRoot);
    replaceMissingPrevious(backupRoot, dateText);

    if (rootState.previousSnapshotPath[0] != 0)
        printOut(N("starting incremental backup.\n"));
    else
        printOut(N("no previous backup. full backup required.\n"));
    printOut(N("backup destination %s\n"), snapshotPath);
    if (engineState.resumingSnapshot) {
        printOut(N("continuing the unfinished snapshot.\n"));
        logMessage(N("continuing the unfinished snapshot.\n"));
        recordRunInLock(snapshotPath);
    }

    // A backup root inside the source is never walked into.
    setExcludedRoot(backupRoot);
    // LINKSNAP_NO_CHECKSUMS: for measuring what the checksums cost only.
    if (!settings.noExec && getenv("LINKSNAP_NO_CHECKSUMS") == nullptr) startChecksums(backupRoot);
    platKeepAwake(true);
    setOrderedOutputLimit(getenv("LINKSNAP_OUTPUT_LIMIT"));
    walkTree(sourcePath, rootState.previousSnapshotPath, snapshotPath,
             chooseWorkerCount(platCoreCount(), getenv("LINKSNAP_WORKERS")));
    platKeepAwake(false);
    stopChecksums();
    runCounters.endTime = platNow();

    if (!settings.silent) printSummary(stdout, false);
    if (settings.noExec) return 0;
    FILE* log = runLogStream();
    if (log != nullptr) {
        printSummary(log, true);
        fflush(log);
    }
    bool stateWritten = writeStateFile(sourcePath, backupRoot, snapshotPath);
    // After the state file: a run stopped between the two has a complete
    // snapshot, which the next run's repair of the catalog records.
    CatalogCounts counts = {runCounters.writeErrors,
                            runCounters.linkErrors,
                            runCounters.unreadableSkipped - runCounters.specialFiles,
                            runCounters.specialFiles,
                            runCounters.filesCopied,
                            runCounters.filesLinked,
                            static_cast<int64_t>(runCounters.bytesCopied)};
    recordSnapshotCompleted(&catalog, dateText, runCounters.endTime, counts);
    NChar reason[512];
    if (writeCatalog(backupRoot, catalog, reason, 512) || stateWritten) return 0;
    // Neither file could be written (the backup disk or the share went away
    // during the run): the snapshot stays unfinished, so that a run the same
    // day continues it and later runs link against the last whole one. Said,
    // and not ended as a success, since whoever started the run would
    // otherwise take this snapshot for whole.
    printTo(stderr, N("cannot record the snapshot as complete: %s\n"), snapshotPath);
    printTo(stderr, N("    %s\n"), reason);
    logMessage(N("cannot record the snapshot as complete: %s\n"), snapshotPath);
    return 2;
}

void resetRunState()
{
    // Each layer sets its own state back, the run's own among them; the
    // platform's last, since the others' releases may leave a failure there.
    resetCmdline();
    resetEngine();
    resetReport();
    resetRoot();
    resetApp();
    platResetState();
}

int programEntry(int argc, NChar** argv)
{
    int result;
    if (!platStartup()) {
        printOut(N("Schwerwiegender Fehler: Fehler bei GetModuleHandle.\n"));
        result = 1;
    } else {
        resetRunState();
        runCounters.startTime = platNow();
        result = answerHelpOrVersion(argc, argv, N("linksnap"), printUsage);
        if (result < 0) result = runBackup(argc, argv);

    }
    // Everything the run holds goes before the machine is shut down.
    bool shutdown = result == 0 && cmdlineState.runSettings.shutdownWhenDone;
    resetRunState();
    if (shutdown) runFormattedCommand(platShutdownCommand);
    return result;
}
