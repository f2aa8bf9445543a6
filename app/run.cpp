#include "app/run.h"

#include "app/backup_root.h"
#include "app/root_lock.h"
#include "cmdline/arguments.h"
#include "engine/copier.h"
#include "engine/filter_lists.h"
#include "engine/resume.h"
#include "engine/walker.h"
#include "platform/platform.h"
#include "report/output.h"
#include "report/run_state.h"
#include "report/summary.h"
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

// Today's snapshot folder exists. It is continued when the last run that
// held the root's lock was making it and the state file does not name it,
// that is when it was stopped before its end; a complete snapshot, or a
// folder that no run made, is not touched.
static bool isUnfinishedSnapshot(const NChar* snapshotPath, const NChar* dateText)
{
    if (!lastRunMadeSnapshot(dateText)) return false;
    if (previousSnapshotPath[0] == 0) return true;
    if (compareText(previousSnapshotPath, snapshotPath) == 0) return false;
    // The state file may name it by another spelling of the root.
    FileIdentity named;
    FileIdentity today;
    return !(platGetIdentity(previousSnapshotPath, &named) && platGetIdentity(snapshotPath, &today) &&
             sameIdentity(named, today));
}

// A previous snapshot removed by hand leaves its place to the newest
// snapshot that is still there.
static void replaceMissingPrevious(const NChar* backupRoot, const NChar* dateText)
{
    if (previousSnapshotPath[0] == 0) return;
    uint32_t attributes = platGetAttributes(previousSnapshotPath);
    if (attributes != INVALID_ATTRIBUTES && (attributes & ATTR_DIRECTORY)) return;
    NChar missing[PATH_CHARS];
    copyText(missing, PATH_CHARS, previousSnapshotPath);
    findLatestDatedSnapshot(backupRoot, dateText);
    if (previousSnapshotPath[0] != 0)
        printOut(N("previous snapshot %s not found, using %s\n"), missing, previousSnapshotPath);
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
    int count = argc - 1;
    NChar** args = argv + 1;
    int help = 0;
    parseFlags(&count, &args, N("hnsS"), &help, &runSettings.noExec, &runSettings.silent,
               &runSettings.shutdownWhenDone);
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
    runSettings.logErrors = 1;
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
    if (sourceKnown && previousSnapshotPath[0] != 0 &&
        platGetIdentity(previousSnapshotPath, &otherIdentity) &&
        sameIdentity(sourceIdentity, otherIdentity))
        previousSnapshotPath[0] = 0;

    int year, month, day;
    NChar dateText[16];
    NChar snapshotPath[PATH_CHARS];
    if (!platLocalDate(platNow(), &year, &month, &day) ||
        !formatText(dateText, 16, N("%04d_%02d_%02d"), year, month, day) ||
        !formatText(snapshotPath, PATH_CHARS, N("%s%s%s"), backupRoot, dateText, PATH_SEP_TEXT)) {
        printTo(stderr, N("no local date for the snapshot name\n"));
        return 1;
    }
    formatText(logState.logPath, PATH_CHARS, N("%slog.txt"), backupRoot);
    logState.headerText = snapshotPath;
    // Anything of the snapshot's name (a folder, a file, a link, dangling
    // or not) refuses the run: the snapshot folder is made by this run
    // alone, unless it is today's snapshot that a stopped run left
    // unfinished, which this run completes. A folder that cannot be made
    // for another reason (no rights) fails each of its files, reported and
    // counted.
    MakeDirResult made = MAKEDIR_OK;
    if (platGetAttributes(snapshotPath) != INVALID_ATTRIBUTES) {
        made = MAKEDIR_EXISTS;
    } else if (!runSettings.noExec) {
        // The lock names the snapshot before its folder exists, so that a
        // run stopped at any moment after leaves a folder that the next run
        // knows as its own and finishes.
        recordRunInLock(snapshotPath);
        made = platMakeDir(snapshotPath, true);
        // Made by someone else in between: not this run's to finish.
        if (made == MAKEDIR_EXISTS) recordRunInLock(N(""));
    }
    if (made == MAKEDIR_EXISTS) {
        attributes = platGetAttributes(snapshotPath);
        bool isFolder = attributes != INVALID_ATTRIBUTES && (attributes & ATTR_DIRECTORY) &&
                        !(attributes & ATTR_REPARSE_POINT);
        // A dry run holds no lock: it cannot know that no run writes there.
        resumingSnapshot = !runSettings.noExec && isFolder && isUnfinishedSnapshot(snapshotPath, dateText);
        if (!resumingSnapshot) {
            printTo(stderr, N("destination %s already exists.\n"), snapshotPath);
            // The run that holds the lock owns the log: a scheduled run's
            // refusal can be read there.
            if (holdsRootLock()) logMessage(N("destination %s already exists.\n"), snapshotPath);
            return 1;
        }
    }
    replaceMissingPrevious(backupRoot, dateText);

    if (previousSnapshotPath[0] != 0)
        printOut(N("starting incremental backup.\n"));
    else
        printOut(N("no previous backup. full backup required.\n"));
    printOut(N("backup destination %s\n"), snapshotPath);
    if (resumingSnapshot) {
        printOut(N("continuing the unfinished snapshot.\n"));
        logMessage(N("continuing the unfinished snapshot.\n"));
        recordRunInLock(snapshotPath);
    }

    // A backup root inside the source is never walked into.
    setExcludedRoot(backupRoot);
    platKeepAwake(true);
    walkTree(sourcePath, previousSnapshotPath, snapshotPath);
    platKeepAwake(false);
    runCounters.endTime = platNow();

    if (!runSettings.silent) printSummary(stdout, false);
    if (runSettings.noExec) return 0;
    FILE* log = platOpenStream(logState.logPath, "a");
    if (log != nullptr) {
        printSummary(log, true);
        fclose(log);
    }
    writeStateFile(sourcePath, backupRoot, snapshotPath);
    return 0;
}

void resetRunState()
{
    runSettings = RunSettings();
    runCounters = RunCounters();
    logState.headerWritten = 0;
    logState.headerText = nullptr;
    logState.logPath[0] = 0;
    groupedText[0] = 0;
    elapsedText[0] = 0;
    releaseArgumentCopy();
    releaseList(&excludedFolders);
    releaseList(&excludedTypes);
    releaseList(&includedTypes);
    releaseCopyBuffer();
    resetWalker();
    resumingSnapshot = false;
    resetBackupRoot();
    platResetState();
}

// "--help" (the usage on standard output) and "--version" as the only
// argument: 0; -1 for every other command line.
static int answerHelpOrVersion(int argc, NChar** argv)
{
    if (argc != 2) return -1;
    if (compareText(argv[1], N("--help")) == 0) {
        printUsage(stdout);
        return 0;
    }
    if (compareText(argv[1], N("--version")) == 0) {
        printTo(stdout, N("linksnap %d.%d.%d\n"), VERSION_MAJOR, VERSION_MINOR, VERSION_PATCH);
        return 0;
    }
    return -1;
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
        result = answerHelpOrVersion(argc, argv);
        if (result < 0) result = runBackup(argc, argv);

    }
    resetBackupRoot();
    releaseCopyBuffer();
    releaseList(&excludedFolders);
    releaseList(&excludedTypes);
    releaseList(&includedTypes);
    if (result == 0 && runSettings.shutdownWhenDone) runFormattedCommand(platShutdownCommand);
    return result;
}
