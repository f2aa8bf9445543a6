#include "engine/walker.h"

#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>

#include "cmdline/cmdline_state.h"
#include "engine/copier.h"
#include "engine/engine_state.h"
#include "engine/engine_state.h"
#include "engine/filter_lists.h"
#include "engine/folder_pool.h"
#include "engine/resume.h"
#include "engine/shared_files.h"
#include "platform/platform.h"
#include "report/output.h"
#include "report/run_state.h"

bool setExcludedRoot(const NChar* rootPath)
{
    engineState.walker.rootName = rootPath;
    // By path: the backup root is the path the user gave, which may be a
    // link of the user's choice; nothing below it is looked up this way.
    engineState.walker.rootExcluded = platGetIdentity(rootPath, &engineState.walker.excludedRoot);
    return engineState.walker.rootExcluded;
}

static bool isBackupRoot(const FileIdentity& identity)
{
    return engineState.walker.rootExcluded && sameIdentity(identity, engineState.walker.excludedRoot);
}

// The three folders of one level of the walk, open, with their paths: the
// source folder, its twin in the previous snapshot (null: none) and the
// folder of the new snapshot (null when it could not be made, and in a dry
// run, which makes nothing).
struct Level {
    DirHandle* source;
    const NChar* sourcePath;
    DirHandle* previous;
    const NChar* previousPath;
    DirHandle* destination;
    const NChar* destinationPath;
};

// The tests that leave an entry out before anything is asked of the file
// system; they use the name and the attribute word of the enumeration.
static bool isSkipped(const FindEntry& entry, const NChar* sourceDir)
{
    const NChar* name = entry.name;
    if (compareText(name, N(".")) == 0 || compareText(name, N("..")) == 0) return true;
    const uint32_t hiddenOrSystem = ATTR_HIDDEN | ATTR_SYSTEM;
    bool isFolder = (entry.attributes & ATTR_DIRECTORY) != 0;
    if ((entry.attributes & hiddenOrSystem) && isFolder) return true;
    if ((entry.attributes & hiddenOrSystem) && platIsDriveRoot(sourceDir)) return true;
    const FilterLists& filters = engineState.filters;
    if (filters.excludedTypes.count > 0) return matchesType(&filters.excludedTypes, name, false) != 0;
    if (filters.includedTypes.count > 0 && !isFolder)
        return matchesType(&filters.includedTypes, name, true) == 0;
    return false;
}

// t rounded down to a multiple of step fractions, as whole seconds and a
// fraction; steps of a second and more are whole seconds.
static FileTime roundedDown(const FileTime& t, int64_t step)
{
    FileTime result = t;
    if (step >= FILE_TIME_FRACTIONS) {
        int64_t seconds = step / FILE_TIME_FRACTIONS;
        int64_t rest = t.seconds % seconds;
        if (rest < 0) rest += seconds;
        result.seconds = t.seconds - rest;
        result.fraction = 0;
    } else {
        result.fraction = static_cast<int32_t>(t.fraction - t.fraction % step);
    }
    return result;
}

static bool sameTimeAtTarget(const FileTime& a, const FileTime& b)
{
    const int64_t step = engineState.walker.target.timeStep;
    return sameFileTime(roundedDown(a, step), roundedDown(b, step));
}

// Sets an odd time on the new snapshot folder and reads it back: the
// coarsest step that explains what came back is the file system's.
static int64_t probeTimeStep(DirHandle* folder)
{
    FileData data;
    if (!platGetDirData(folder, &data, nullptr)) return 1;
    const FileTime odd = {1000000001, FILE_TIME_FRACTIONS - 1};
    data.creationTime = odd;
    data.lastAccessTime = odd;
    data.lastWriteTime = odd;
    FileData stored;
    if (!platSetDirTimes(folder, &data) || !platGetDirData(folder, &stored, nullptr)) return 1;
    // 1 ns, 100 ns, 1 us, 1 ms, 10 ms, 1 s, 2 s, in fractions.
    const int64_t NS_PER_FRACTION = 1000000000 / FILE_TIME_FRACTIONS;
    const int64_t stepsNs[] = {1, 100, 1000, 1000000, 10000000, 1000000000, 2000000000};
    const FileTime& back = stored.lastWriteTime;
    for (int64_t ns : stepsNs) {
        int64_t step = ns < NS_PER_FRACTION ? 1 : ns / NS_PER_FRACTION;
        if (sameFileTime(roundedDown(odd, step), back)) return step;
    }
    // A file system that rounds to the nearest step instead.
    for (int64_t ns : stepsNs) {
        int64_t step = ns < NS_PER_FRACTION ? 1 : ns / NS_PER_FRACTION;
        if (sameFileTime(roundedDown(odd, step), roundedDown(back, step))) return step;
    }
    return 2LL * FILE_TIME_FRACTIONS;
}

static void probeTarget(DirHandle* snapshotDir, const NChar* snapshotPath)
{
    WalkerState& walker = engineState.walker;
    walker.target.timeStep = probeTimeStep(snapshotDir);
    platProbeAccess(snapshotDir, &walker.target.keepsModes, &walker.target.keepsOwners);
    // A disk that would give a link's owner and times to the file it names
    // (a share through sshfs) gets links as they are made.
    setStoredLinkAttributes(platProbeLinkAttributes(snapshotDir));
    // Said once, instead of a link error for every unchanged file.
    walker.target.makesLinks = platProbeHardLinks(snapshotDir);
    if (!walker.target.makesLinks) {
        const NChar* root = walker.rootName != nullptr ? walker.rootName : snapshotPath;
        printOut(N("hard links are not supported on %s: unchanged files are copied.\n"), root);
        logMessage(N("hard links are not supported on %s: unchanged files are copied.\n"), root);
    }
}

// A file is unchanged when it has a twin of its own kind (a regular file,
// or a link for a link) with equal size, creation and last-write time (at
// the backup disk's precision), and, where that disk keeps them, equal
// permission bits, owner and group: a hard link shares all of these, so a
// changed mode must be copied to reach the new snapshot. A link also needs
// an equal target. Content and last-access time are not compared.
static bool isUnchanged(const FileData& source, const Level& level, const NChar* name,
                        const NChar* sourcePath, const NChar* twinPath)
{
    if (source.isSpecialFile) return false;
    FileData twin;
    if (!platGetFileDataAt(level.previous, name, twinPath, &twin)) return false;
    if (twin.isSymbolicLink != source.isSymbolicLink || twin.isSpecialFile ||
        (twin.attributes & ATTR_DIRECTORY))
        return false;
    if (source.size != twin.size || !sameTimeAtTarget(source.creationTime, twin.creationTime) ||
        !sameTimeAtTarget(source.lastWriteTime, twin.lastWriteTime))
        return false;
    const TargetTraits& target = engineState.walker.target;
    if (target.keepsModes && !source.isSymbolicLink && source.permissions != twin.permissions)
        return false;
    if (target.keepsOwners && (source.owner != twin.owner || source.group != twin.group))
        return false;
    return !source.isSymbolicLink ||
           platSameLinkTargetAt(level.source, name, sourcePath, level.previous, name, twinPath);
}

static void copyAndReport(const Level& level, const NChar* name, const NChar* sourcePath,
                          const NChar* destinationPath, const FileData* sourceData)
{
    if (copyFileAt(level.source, name, sourcePath, level.destination, name, destinationPath,
                   sourceData) != 0) {
        printTo(stderr, N("copy error %s\n"), destinationPath);
        printFailureReason();
    }
}

static void linkFile(const Level& level, const NChar* name, const NChar* sourcePath,
                     const FileData* sourceData, const NChar* twinPath, const NChar* destinationPath)
{
    if (cmdlineState.runSettings.noExec) {
        showProgress(PROGRESS_LINK, destinationPath);
        ++runCounters.filesLinked;
        return;
    }
    CreateResult linked =
        platHardLinkAt(level.previous, name, twinPath, level.destination, name, destinationPath);
    if (linked == CREATE_TOO_MANY_LINKS) {
        // The twin has all the names its file system allows (it stayed
        // unchanged through that many snapshots): a copy, which later runs
        // link to instead.
        copyAndReport(level, name, sourcePath, destinationPath, sourceData);
        return;
    }
    showProgress(PROGRESS_LINK, destinationPath);
    if (linked == CREATE_OK) {
        ++runCounters.filesLinked;
        return;
    }
    keepFailureReason();
    if (linked == CREATE_EXISTS) {
        // Another source name already took this name on the backup disk.
        printTo(stderr, N("copy error %s\n"), destinationPath);
        printFailureReason();
        reportUncreatable(destinationPath);
        return;
    }
    printTo(stderr, N("link error %s\n"), destinationPath);
    printFailureReason();
    if (cmdlineState.runSettings.logErrors) logMessage(N("unlinkable file: %s\n"), destinationPath);
    ++runCounters.linkErrors;
    // The snapshot stays whole: what cannot be linked is copied.
    copyAndReport(level, name, sourcePath, destinationPath, sourceData);
}
// A folder whose entries cannot be listed (no rights, or it is gone or no
// longer a folder) leaves a hole in the snapshot: reported like a file that
// cannot be read, so that the summary never shows such a run as clean.
static void reportUnlistedFolder(const NChar* sourceDir, const NChar* destinationDir)
{
    if (!hasFailureReason()) keepFailureReason();
    printTo(stderr, N("copy error %s\n"), destinationDir);
    printFailureReason();
    const RunSettings& settings = cmdlineState.runSettings;
    if (settings.logErrors && !settings.noExec) logMessage(N("unreadable file: %s\n"), sourceDir);
    ++runCounters.unreadableSkipped;
}

// True when the folder link dirPath leads to a folder that holds it: one
// of the folders above it, which the walk has entered on its way down.
// Walking it would repeat that folder's tree inside itself until the path
// limit. The path's own prefixes name those folders as the walk met them.
// Only the Windows build gets here, which works by path throughout: on
// POSIX a symbolic link is never a folder entry of the walk (it is stored
// as a link), so no folder link is ever asked about.
static bool leadsBackIntoWalk(const NChar* dirPath)
{
    FileIdentity target;
    if (!platGetIdentity(dirPath, &target)) return false;
    size_t length = textLength(dirPath);
    NChar* above = static_cast<NChar*>(malloc((length + 1) * sizeof(NChar)));
    if (above == nullptr) return false;
    memcpy(above, dirPath, (length + 1) * sizeof(NChar));
    bool loop = false;
    // Cut the path behind each separator before its final one, nearest first.
    for (size_t end = length > 0 ? length - 1 : 0; !loop && end > 0; --end) {
        while (end > 0 && above[end - 1] != PATH_SEP) --end;
        if (end == 0) break;
        above[end] = 0;
        FileIdentity identity;
        loop = platGetIdentity(above, &identity) && sameIdentity(identity, target);
    }
    free(above);
    if (loop) keepFailureReasonText(N("walk: a folder link into a folder above it"));
    return loop;
}

static void reportLongName(const NChar* sourceDir, const NChar* name)
{
    printTo(stderr, N("name too long: %s%s\n"), sourceDir, name);
    // A dry run writes nothing, the log file included.
    if (cmdlineState.runSettings.logErrors && !cmdlineState.runSettings.noExec)
        logMessage(N("name too long: %s%s\n"), sourceDir, name);
    ++runCounters.unreadableSkipped;
}

// A snapshot folder whose name was already taken in the new snapshot: two
// source folders fall on one name of the backup disk. The second is
// reported like a file that cannot be created, and its content is not put
// into the first.
static void reportTakenFolder(const NChar* destinationDir)
{
    keepFailureReason();
    printTo(stderr, N("copy error %s\n"), destinationDir);
    printFailureReason();
    reportUncreatable(destinationDir);
}

// The snapshot folder takes its source folder's access and times last: a
// read-only folder must first take its content, and every entry made in a
// folder changes its times. sourceData was read from the open source folder.
static void finishFolder(const FileData* sourceData, DirHandle* destination)
{
    if (cmdlineState.runSettings.noExec || destination == nullptr || sourceData == nullptr) return;
    platSetDirAccess(destination, sourceData);
    platSetDirTimes(destination, sourceData);
}

static int walkFolder(const Level& level);

// ---- the walk on several threads ---------------------------------------------
//
// A subfolder, once open, needs nothing of its parent: it can be walked
// beside the rest of the walk. When a worker of the pool is idle, the
// subfolder goes to it as a job, with its part of the output placed where
// the subfolder stands in the walk; otherwise the walker walks it itself,
// as with one thread. A folder is finished (access and times) by the one
// who walked it, once its own entries are made: what its subfolders get
// later changes nothing of it.

struct FolderJob {
    Level level;           // the paths point into paths below
    NChar* paths;          // the three paths, in the job's own block
    FileData folderData;   // the source folder's, when known
    bool known;
    OutputNode* output;    // its part of the run's output
};

// A copy of text at at; returns the place after its terminator.
static NChar* keepText(NChar* at, const NChar* text, const NChar** kept)
{
    size_t length = textLength(text);
    memcpy(at, text, (length + 1) * sizeof(NChar));
    *kept = at;
    return at + length + 1;
}

// Room for the job and its three paths, in bytes.
static size_t jobSize(const Level& level)
{
    size_t chars = textLength(level.sourcePath) + textLength(level.destinationPath) + 2;
    if (level.previousPath != nullptr) chars += textLength(level.previousPath) + 1;
    return sizeof(FolderJob) + chars * sizeof(NChar);
}

static FolderJob* newJob(const Level& level, const FileData* folderData)
{
    size_t size = jobSize(level);
    FolderJob* job = static_cast<FolderJob*>(malloc(size));
    if (job == nullptr) return nullptr;
    job->level = level;
    // The paths follow the job in the same block.
    NChar* paths = reinterpret_cast<NChar*>(job + 1);
    job->paths = paths;
    paths = keepText(paths, level.sourcePath, &job->level.sourcePath);
    paths = keepText(paths, level.destinationPath, &job->level.destinationPath);
    if (level.previousPath != nullptr) keepText(paths, level.previousPath, &job->level.previousPath);
    job->known = folderData != nullptr;
    if (folderData != nullptr) job->folderData = *folderData;
    job->output = nullptr;
    return job;
}

static void freeJob(FolderJob* job)
{
    free(job);
}

// Runs on whichever thread took the job: walks the folder into its part of
// the output, finishes and closes it, and hands its counts to the run.
static void runFolderJob(void* taken)
{
    FolderJob* job = static_cast<FolderJob*>(taken);
    RunCounters before = runCounters;
    OutputNode* outer = captureOutputInto(job->output);
    // Nothing may end the worker: a folder whose walk fails for want of
    // memory is reported like one that cannot be listed, and the run goes on.
    try {
        walkFolder(job->level);
    } catch (const std::exception&) {
        reportUnlistedFolder(job->level.sourcePath, job->level.destinationPath);
    }
    finishFolder(job->known ? &job->folderData : nullptr, job->level.destination);
    platCloseDir(job->level.previous);
    platCloseDir(job->level.destination);
    platCloseDir(job->level.source);
    closeOutputNode(job->output);
    captureOutputInto(outer);
    RunCounters counts = takeRunCountsSince(before);
    {
        std::lock_guard<std::mutex> hold(engineState.walker.countsLock);
        addRunCounts(&engineState.walker.workerCounts, counts);
    }
    freeJob(job);
    if (--engineState.walker.jobsOut == 0) wakeFolderPool();
}

// Hands the open folder to an idle worker; false when none is idle, when
// the output held already reaches its bound (the job and its node count
// toward it) or no memory is left for the job: the caller then walks it
// itself, without waiting.
static bool offerFolder(const Level& level, const FileData* folderData)
{
    if (!engineState.walker.walkOnThreads || !folderPoolHasIdle()) return false;
    OutputNode* output = openOutputHere(jobSize(level));
    if (output == nullptr) return false;
    FolderJob* job = newJob(level, folderData);
    if (job == nullptr) {
        closeOutputNode(output);
        return false;
    }
    job->output = output;
    ++engineState.walker.jobsOut;
    if (offerFolderJob(job)) return true;
    --engineState.walker.jobsOut;
    // Taken meanwhile: its part of the output stays empty.
    closeOutputNode(job->output);
    freeJob(job);
    return false;
}

static bool allJobsDone()
{
    return engineState.walker.jobsOut == 0;
}

// The run's output leaves in walk order from this thread while the walk
// goes on.
static void emitRunOutput(OutputNode* root)
{
    emitOutput(root, writeWalkOutput);
}

// Walks the top folder alone.
static int walkAlone(const Level& top, const FileData* folderData)
{
    shareCopyBuffers(1);
    int result = walkFolder(top);
    finishFolder(folderData, top.destination);
    return result;
}

// Walks the top folder with workers beside: the same snapshot, counts and
// output, in the same order, as the walk on one thread. With no thread to
// be had for the output, or none for a worker, it walks alone.
static int walkOnWorkers(const Level& top, const FileData* folderData, int workers)
{
    OutputNode* root = openOutputRoot();
    std::thread emitter;
    try {
        emitter = std::thread(emitRunOutput, root);
    } catch (const std::exception&) {
        closeOutputNode(root);
        emitOutput(root, writeWalkOutput);
        return walkAlone(top, folderData);
    }
    engineState.walker.workerCounts = RunCounters();
    // Each worker copies through a buffer of its own, all of them together
    // no larger than the one buffer of a walk alone.
    shareCopyBuffers(workers);
    workers = startFolderPool(workers, runFolderJob, releaseCopyBuffer);
    engineState.walker.walkOnThreads = workers > 1;
    captureOutputInto(root);
    int result = walkFolder(top);
    finishFolder(folderData, top.destination);
    captureOutputInto(nullptr);
    closeOutputNode(root);
    // This thread holds no output of its own now: it may run queued jobs.
    waitForFolderJobs(allJobsDone);
    engineState.walker.walkOnThreads = false;
    stopFolderPool();
    emitter.join();
    addRunCounts(&runCounters, engineState.walker.workerCounts);
    shareCopyBuffers(1);
    return result;
}


// ---- the walk proper -------------------------------------------------------------
//
// The walk goes down the tree without recursion, so that no stack grows
// with the depth of a user's tree: one frame per level it is in, and one
// path text per tree (source, previous snapshot, new snapshot) that grows
// by a name on the way down and is cut on the way up. A frame holds the
// names of its folder's entries still to walk, read when the folder is
// entered; what was walked is given back before the walk goes deeper, so a
// long chain of folders holds little more than one name a level.
//
// Each level holds up to three open folders. A walk keeps at most
// levelBudget levels open: past it, it closes levels above, keeping the
// deepest ones and anchors spread over the rest, and opens them again from
// the nearest open level above when it climbs back. A folder opened again
// must be the one it closed (same device and inode): one that another user
// put in its place meanwhile is refused and reported, never walked.

enum { SOURCE = 0, PREVIOUS = 1, DESTINATION = 2, TREES = 3 };

// How each tree's folders are opened.
static const int OPEN_HOW[TREES] = {DIR_SOURCE, 0, 0};

struct PathText {
    NChar* text; // null for a tree this walk does not have
    size_t length;
    size_t capacity;
};

struct Frame {
    DirHandle* dir[TREES];      // null when closed, or when the tree lacks it
    FileIdentity identity[TREES]; // taken when the level is closed
    size_t pathEnd[TREES];      // each path text up to this folder's separator
    bool present[TREES];        // the tree has this folder (it was opened)
    bool held;                  // its folders are open
    bool lost;                  // the rest of the folder cannot be walked
    bool listed;                // the source folder could be listed
    bool broken;                // the listing ended by a failure
    bool known;                 // folderData was read from the source folder
    FileData folderData;
    NChar* names; // entries to walk: the attribute word, then the name and its terminator
    size_t used;
    size_t at;
    size_t capacity;
};

struct Walk {
    PathText path[TREES];
    Frame* frames;
    size_t count;
    size_t capacity;
    size_t* held; // the levels whose folders are open, in ascending order
    size_t heldCount;
};

const size_t MIN_LEVEL_BUDGET = 4;
const size_t MAX_LEVEL_BUDGET = 1024;

// An attribute word stored among the names, in native characters.
const size_t ATTRIBUTE_CHARS = (sizeof(uint32_t) + sizeof(NChar) - 1) / sizeof(NChar);

static bool reservePath(PathText* path, size_t length)
{
    if (path->text == nullptr || length + 1 <= path->capacity) return true;
    size_t capacity = path->capacity * 2;
    if (capacity < length + 1) capacity = length + 1;
    NChar* grown = static_cast<NChar*>(realloc(path->text, capacity * sizeof(NChar)));
    if (grown == nullptr) return false;
    path->text = grown;
    path->capacity = capacity;
    return true;
}

static bool startPath(PathText* path, const NChar* text)
{
    path->text = nullptr;
    path->length = 0;
    path->capacity = 0;
    if (text == nullptr) return true;
    path->length = textLength(text);
    path->capacity = path->length + NAME_RESERVE;
    path->text = static_cast<NChar*>(malloc(path->capacity * sizeof(NChar)));
    if (path->text == nullptr) return false;
    memcpy(path->text, text, (path->length + 1) * sizeof(NChar));
    return true;
}

static void cutPath(PathText* path, size_t length)
{
    if (path->text == nullptr) return;
    path->length = length;
    path->text[length] = 0;
}

// Writes name, and for a folder the separator, behind the current folder;
// the caller reserved room for it.
static void writeTail(PathText* path, size_t folderEnd, const NChar* name, bool isFolder)
{
    if (path->text == nullptr) return;
    NChar* tail = path->text + folderEnd;
    copyText(tail, NAME_CHARS, name);
    if (isFolder) appendText(tail, NAME_CHARS, PATH_SEP_TEXT);
    path->length = folderEnd + textLength(tail);
}

static bool keepName(Frame* frame, uint32_t attributes, const NChar* name)
{
    size_t length = textLength(name);
    size_t needed = frame->used + ATTRIBUTE_CHARS + length + 1;
    if (needed > frame->capacity) {
        size_t capacity = frame->capacity * 2;
        if (capacity < needed) capacity = needed < 64 ? 64 : needed;
        NChar* grown = static_cast<NChar*>(realloc(frame->names, capacity * sizeof(NChar)));
        if (grown == nullptr) return false;
        frame->names = grown;
        frame->capacity = capacity;
    }
    memcpy(frame->names + frame->used, &attributes, sizeof attributes);
    memcpy(frame->names + frame->used + ATTRIBUTE_CHARS, name, (length + 1) * sizeof(NChar));
    frame->used = needed;
    return true;
}

static const NChar* nextName(Frame* frame, uint32_t* attributes)
{
    memcpy(attributes, frame->names + frame->at, sizeof *attributes);
    const NChar* name = frame->names + frame->at + ATTRIBUTE_CHARS;
    frame->at += ATTRIBUTE_CHARS + textLength(name) + 1;
    return name;
}

// Gives back the names already walked once they are half the listing, so
// that the names of every level above stay in the order of what is left
// there (a moved name is moved once on average).
static void dropWalkedNames(Frame* frame)
{
    if (frame->at == 0 || frame->at * 2 < frame->used) return;
    frame->used -= frame->at;
    if (frame->used == 0) {
        free(frame->names);
        frame->names = nullptr;
        frame->capacity = 0;
    } else {
        memmove(frame->names, frame->names + frame->at, frame->used * sizeof(NChar));
        NChar* shrunk = static_cast<NChar*>(realloc(frame->names, frame->used * sizeof(NChar)));
        if (shrunk != nullptr) {
            frame->names = shrunk;
            frame->capacity = frame->used;
        }
    }
    frame->at = 0;
}

// Reads the names of the frame's source folder, with the path texts cut
// at it. An entry left out by the filters is not kept.
static void listFolder(Walk* walk, Frame* frame)
{
    const NChar* sourcePath = walk->path[SOURCE].text;
    FindEntry entry;
    FindHandle* find = platFindFirstIn(frame->dir[SOURCE], sourcePath, &entry);
    frame->listed = find != nullptr;
    if (find == nullptr) return;
    do {
        if (isSkipped(entry, sourcePath)) continue;
        if (!keepName(frame, entry.attributes, entry.name)) {
            // No memory for the rest: what was read is walked, the folder
            // is reported like a listing cut short.
            frame->broken = true;
            break;
        }
    } while (platFindNext(find, &entry));
    if (!platFindClose(find)) frame->broken = true;
    if (frame->used > 0 && frame->used < frame->capacity) {
        NChar* shrunk = static_cast<NChar*>(realloc(frame->names, frame->used * sizeof(NChar)));
        if (shrunk != nullptr) {
            frame->names = shrunk;
            frame->capacity = frame->used;
        }
    }
}

// ---- descriptors held by a walk --------------------------------------------------

static size_t heldPlace(const Walk* walk, size_t level)
{
    size_t place = 0;
    while (place < walk->heldCount && walk->held[place] != level) ++place;
    return place;
}

// Closes the folders of level; for a reopen later, it keeps their
// identities first.
static void closeLevel(Walk* walk, size_t level, bool forReopen)
{
    Frame* frame = &walk->frames[level];
    for (int tree = 0; tree < TREES; ++tree) {
        if (frame->dir[tree] == nullptr) continue;
        FileData data;
        // Should even this fail, no folder has this identity: the reopen
        // refuses whatever stands there then.
        if (forReopen && !platGetDirData(frame->dir[tree], &data, &frame->identity[tree]))
            frame->identity[tree] = FileIdentity();
        platCloseDir(frame->dir[tree]);
        frame->dir[tree] = nullptr;
    }
    if (!frame->held) return;
    frame->held = false;
    size_t place = heldPlace(walk, level);
    if (place == walk->heldCount) return;
    memmove(walk->held + place, walk->held + place + 1, (walk->heldCount - place - 1) * sizeof(size_t));
    --walk->heldCount;
}

// Makes room for the folders of level frontier: with the budget used up,
// closes one level above. The deepest levels stay open (the walk works
// there), and the walk's own top, which it cannot reopen; of the rest goes
// the one whose neighbours are nearest, so the open levels stay spread
// evenly and a climb reopens short chains.
static void holdRoomFor(Walk* walk, size_t frontier)
{
    if (walk->heldCount < engineState.walker.levelBudget) return;
    const size_t window = engineState.walker.levelBudget / 2;
    size_t best = walk->heldCount;
    size_t bestGap = 0;
    for (size_t place = 1; place < walk->heldCount; ++place) {
        size_t level = walk->held[place];
        if (level + window > frontier) break;
        size_t next = place + 1 < walk->heldCount ? walk->held[place + 1] : frontier;
        size_t gap = next - walk->held[place - 1];
        if (best == walk->heldCount || gap < bestGap) {
            best = place;
            bestGap = gap;
        }
    }
    if (best < walk->heldCount) closeLevel(walk, walk->held[best], true);
}

static void markHeld(Walk* walk, size_t level)
{
    walk->frames[level].held = true;
    // Levels are opened going down: this one is the deepest held.
    walk->held[walk->heldCount++] = level;
}

// The three path texts ended at level's folder for as long as the object
// lives; the text behind is put back after.
class PathsAt {
public:
    PathsAt(Walk* walk, const Frame& frame) : walk_(walk)
    {
        for (int tree = 0; tree < TREES; ++tree) {
            NChar* text = walk->path[tree].text;
            end_[tree] = frame.pathEnd[tree];
            saved_[tree] = text != nullptr ? text[end_[tree]] : 0;
            if (text != nullptr) text[end_[tree]] = 0;
        }
    }
    ~PathsAt()
    {
        for (int tree = 0; tree < TREES; ++tree)
            if (walk_->path[tree].text != nullptr) walk_->path[tree].text[end_[tree]] = saved_[tree];
    }
    const NChar* operator[](int tree) const { return walk_->path[tree].text; }

private:
    Walk* walk_;
    size_t end_[TREES];
    NChar saved_[TREES];
};

// A folder of which the walk had walked a part, and whose rest it cannot
// reach any more: reported like a folder that cannot be listed, with the
// reason of the open that failed.
static void reportLostFolder(Walk* walk, size_t level, const NChar* reason)
{
    Frame* frame = &walk->frames[level];
    frame->lost = true;
    PathsAt paths(walk, *frame);
    keepFailureReasonText(reason);
    reportUnlistedFolder(paths[SOURCE], paths[DESTINATION] != nullptr ? paths[DESTINATION] : paths[SOURCE]);
}

// Opens level again below its open parent. False when its source folder,
// or the snapshot folder being made, cannot be had as it was; a previous
// snapshot folder that cannot be is left out (its files are copied).
static bool reopenLevel(Walk* walk, size_t level, NChar* reason, size_t reasonCapacity)
{
    Frame* parent = &walk->frames[level - 1];
    Frame* frame = &walk->frames[level];
    NChar name[NAME_CHARS];
    {
        const NChar* sourceText = walk->path[SOURCE].text;
        size_t from = parent->pathEnd[SOURCE];
        size_t length = frame->pathEnd[SOURCE] - 1 - from;
        memcpy(name, sourceText + from, length * sizeof(NChar));
        name[length] = 0;
    }
    holdRoomFor(walk, level);
    PathsAt paths(walk, *frame);
    for (int tree = 0; tree < TREES; ++tree) {
        if (!frame->present[tree]) continue;
        // Only ever below the open parent: a folder whose parent is not
        // open (a previous snapshot folder left out above) is not looked
        // up by its path.
        if (parent->dir[tree] != nullptr)
            frame->dir[tree] = platReopenDir(parent->dir[tree], name, paths[tree], OPEN_HOW[tree],
                                             &frame->identity[tree]);
        if (frame->dir[tree] != nullptr) continue;
        if (tree == PREVIOUS) {
            frame->present[PREVIOUS] = false;
            continue;
        }
        platFailureText(reason, reasonCapacity);
        for (int opened = 0; opened < tree; ++opened) {
            platCloseDir(frame->dir[opened]);
            frame->dir[opened] = nullptr;
        }
        return false;
    }
    markHeld(walk, level);
    return true;
}

// Makes sure the folders of level are open again, reopening the chain from
// the nearest open level above. A level that cannot be reopened is lost
// with every level below it.
static void holdLevel(Walk* walk, size_t level)
{
    Frame* frame = &walk->frames[level];
    if (frame->held || frame->lost) return;
    size_t from = level;
    while (from > 0 && !walk->frames[from - 1].held) --from;
    NChar reason[256];
    for (size_t at = from; at <= level; ++at) {
        if (reopenLevel(walk, at, reason, sizeof reason / sizeof reason[0])) continue;
        for (size_t lost = at; lost <= level; ++lost) reportLostFolder(walk, lost, reason);
        return;
    }
}

// ---- one level of the walk --------------------------------------------------------

// Room for one more frame; false when there is no memory for it.
static bool roomForFrame(Walk* walk)
{
    if (walk->count < walk->capacity) return true;
    size_t capacity = walk->capacity == 0 ? 16 : walk->capacity * 2;
    Frame* grown = static_cast<Frame*>(realloc(walk->frames, capacity * sizeof(Frame)));
    if (grown == nullptr) return false;
    walk->frames = grown;
    walk->capacity = capacity;
    return true;
}

static Frame* pushFrame(Walk* walk)
{
    if (!roomForFrame(walk)) return nullptr;
    Frame* frame = &walk->frames[walk->count++];
    memset(static_cast<void*>(frame), 0, sizeof *frame);
    for (int tree = 0; tree < TREES; ++tree) frame->pathEnd[tree] = walk->path[tree].length;
    return frame;
}

// Starts walking the frame just pushed, its folders open and the path
// texts ending at it.
static void enterFrame(Walk* walk, Frame* frame)
{
    for (int tree = 0; tree < TREES; ++tree) frame->present[tree] = frame->dir[tree] != nullptr;
    markHeld(walk, walk->count - 1);
    // A folder that a stopped run had already finished may be read-only:
    // what is in it must be replaceable.
    resumeEnterFolder(frame->dir[DESTINATION]);
    listFolder(walk, frame);
    // Every folder but a drive root lists "." and "..": no entry at all
    // means that the folder could not be listed.
    if (!frame->listed && !platIsDriveRoot(walk->path[SOURCE].text))
        reportUnlistedFolder(walk->path[SOURCE].text, walk->path[DESTINATION].text);
}

// Ends the deepest frame, the path texts cut at it: the folder is finished
// (but the walk's own top, which its caller finishes) and closed, and the
// walk climbs to the level above.
static void leaveFrame(Walk* walk)
{
    size_t level = walk->count - 1;
    Frame* frame = &walk->frames[level];
    if (!frame->lost) {
        // A listing cut short by a failure leaves out what it did not reach.
        if (frame->broken) reportUnlistedFolder(walk->path[SOURCE].text, walk->path[DESTINATION].text);
        // Entries that a stopped run made and whose source is gone since.
        resumeLeaveFolder(frame->dir[SOURCE], walk->path[SOURCE].text, frame->dir[DESTINATION],
                          walk->path[DESTINATION].text);
    }
    if (level > 0) {
        if (!frame->lost) finishFolder(frame->known ? &frame->folderData : nullptr, frame->dir[DESTINATION]);
        closeLevel(walk, level, false);
    }
    free(frame->names);
    --walk->count;
    if (walk->count == 0) return;
    Frame* above = &walk->frames[walk->count - 1];
    for (int tree = 0; tree < TREES; ++tree) cutPath(&walk->path[tree], above->pathEnd[tree]);
    holdLevel(walk, walk->count - 1);
}

// Goes into the subfolder name of the deepest frame, its path (with the
// separator) written behind the folder's in the three texts: opens it in
// the source and the previous snapshot, makes it in the new snapshot, and
// either hands it to an idle worker or pushes its frame.
static void enterFolder(Walk* walk, const NChar* name)
{
    const NChar* sourcePath = walk->path[SOURCE].text;
    const NChar* destinationPath = walk->path[DESTINATION].text;
    if (isExcludedFolder(sourcePath)) return;
    size_t level = walk->count - 1;
    // Room for the new level first: what is opened below is never left
    // without a place.
    if (!roomForFrame(walk)) {
        reportUnlistedFolder(sourcePath, destinationPath);
        return;
    }
    holdRoomFor(walk, level + 1);
    Frame* parent = &walk->frames[level];
    DirHandle* sourceDir = platOpenDir(parent->dir[SOURCE], name, sourcePath, DIR_SOURCE);
    // The folder's own data, from the folder opened: its access and times
    // go to the snapshot folder, its identity tells the backup root.
    FileData folderData;
    FileIdentity identity;
    bool known = sourceDir != nullptr && platGetDirData(sourceDir, &folderData, &identity);
    if (known && isBackupRoot(identity)) {
        platCloseDir(sourceDir);
        return;
    }
    // A folder that is gone or no longer a folder since it was looked at
    // (another program replaced it, a link took its place) is handled like
    // a file that vanished: reported, and nothing is made for it.
    FileData now;
    if (sourceDir == nullptr && (!platGetFileDataAt(parent->dir[SOURCE], name, sourcePath, &now) ||
                                 !(now.attributes & ATTR_DIRECTORY))) {
        reportUnlistedFolder(sourcePath, destinationPath);
        return;
    }
    DirHandle* destinationDir = nullptr;
    if (!cmdlineState.runSettings.noExec) {
        MakeDirResult made = platMakeDirAt(parent->dir[DESTINATION], name, destinationPath, &destinationDir);
        if (made == MAKEDIR_EXISTS) {
            if (!engineState.resumingSnapshot) {
                reportTakenFolder(destinationPath);
                platCloseDir(sourceDir);
                return;
            }
            destinationDir = platOpenDir(parent->dir[DESTINATION], name, destinationPath, 0);
        }
    }
    DirHandle* previousDir = nullptr;
    const NChar* previousPath = walk->path[PREVIOUS].text;
    if (parent->dir[PREVIOUS] != nullptr)
        previousDir = platOpenDir(parent->dir[PREVIOUS], name, previousPath, 0);
    Level inner = {sourceDir, sourcePath, previousDir, previousDir != nullptr ? previousPath : nullptr,
                   destinationDir, destinationPath};
    // A source folder that could not be opened (gone, no longer a folder,
    // no rights) is reported by the listing that fails in it.
    if (offerFolder(inner, known ? &folderData : nullptr)) return;
    // The walked names of this level are not needed below it.
    dropWalkedNames(parent);
    Frame* frame = pushFrame(walk);
    frame->dir[SOURCE] = sourceDir;
    frame->dir[PREVIOUS] = previousDir;
    frame->dir[DESTINATION] = destinationDir;
    frame->known = known;
    if (known) frame->folderData = folderData;
    enterFrame(walk, frame);
}

// Walks one entry of the deepest frame, the path texts cut at its folder.
static void walkEntry(Walk* walk, const NChar* name, uint32_t attributes)
{
    Frame* frame = &walk->frames[walk->count - 1];
    PathText* source = &walk->path[SOURCE];
    PathText* previous = &walk->path[PREVIOUS];
    PathText* destination = &walk->path[DESTINATION];
    if (textLength(name) > static_cast<size_t>(NAME_MAX_CHARS)) {
        reportLongName(source->text, name);
        return;
    }
    const size_t sourceEnd = frame->pathEnd[SOURCE];
    const size_t previousEnd = frame->pathEnd[PREVIOUS];
    const size_t destinationEnd = frame->pathEnd[DESTINATION];
    if (!reservePath(source, sourceEnd + NAME_CHARS) || !reservePath(previous, previousEnd + NAME_CHARS) ||
        !reservePath(destination, destinationEnd + NAME_CHARS)) {
        // No memory for the path of what is left: the folder's rest is
        // missing from the snapshot, said like a folder not listed.
        frame->lost = true;
        reportUnlistedFolder(source->text, destination->text);
        return;
    }
    const bool hasPrevious = frame->dir[PREVIOUS] != nullptr;
    writeTail(source, sourceEnd, name, false);
    // A folder is known from the listing: it is opened (never through a
    // link) and read from there. For anything else one read serves the
    // folder test and the unchanged test.
    FileData data;
    bool isFolder = (attributes & ATTR_DIRECTORY) != 0;
    bool known = !isFolder && platGetFileDataAt(frame->dir[SOURCE], name, source->text, &data);
    if (isFolder || (known && (data.attributes & ATTR_DIRECTORY))) {
        writeTail(source, sourceEnd, name, true);
        writeTail(destination, destinationEnd, name, true);
        writeTail(previous, previousEnd, name, true);
        uint32_t folderAttributes = isFolder ? attributes : data.attributes;
        if ((folderAttributes & ATTR_REPARSE_POINT) && leadsBackIntoWalk(source->text)) {
            reportUnlistedFolder(source->text, destination->text);
            return;
        }
        resumeFolderEntry(frame->dir[DESTINATION], name, destination->text);
        enterFolder(walk, name);
        return;
    }
    writeTail(destination, destinationEnd, name, false);
    writeTail(previous, previousEnd, name, false);
    Level level = {frame->dir[SOURCE], source->text, frame->dir[PREVIOUS], previous->text,
                   frame->dir[DESTINATION], destination->text};
    if (engineState.resumingSnapshot) {
        // What a stopped run left at this name, measured like a twin.
        Level left = level;
        left.previous = level.destination;
        left.previousPath = level.destinationPath;
        bool equal = known && isUnchanged(data, left, name, source->text, destination->text);
        if (resumeKeepsFile(equal, frame->dir[DESTINATION], name, destination->text, frame->dir[PREVIOUS],
                            hasPrevious ? previous->text : nullptr))
            return;
    }
    // A twin whose content a verify found rotten is never linked: the
    // source is copied afresh.
    if (hasPrevious && known && engineState.walker.target.makesLinks &&
        isUnchanged(data, level, name, source->text, previous->text) &&
        !isMarkedBad(frame->dir[PREVIOUS], name, previous->text)) {
        linkFile(level, name, source->text, &data, previous->text, destination->text);
        return;
    }
    copyAndReport(level, name, source->text, destination->text, known ? &data : nullptr);
}

static void endWalk(Walk* walk)
{
    for (int tree = 0; tree < TREES; ++tree) free(walk->path[tree].text);
    free(walk->frames);
    free(walk->held);
}

// Walks the open folders of level and everything below them; the caller
// finishes and closes level's own folders.
static int walkFolder(const Level& level)
{
    Walk walk;
    memset(static_cast<void*>(&walk), 0, sizeof walk);
    bool started = startPath(&walk.path[SOURCE], level.sourcePath) &&
                   startPath(&walk.path[DESTINATION], level.destinationPath) &&
                   startPath(&walk.path[PREVIOUS], level.previous != nullptr ? level.previousPath : nullptr);
    const size_t budget = engineState.walker.levelBudget;
    walk.held = started ? static_cast<size_t*>(malloc((budget + 1) * sizeof(size_t))) : nullptr;
    Frame* top = walk.held != nullptr ? pushFrame(&walk) : nullptr;
    if (top == nullptr) {
        endWalk(&walk);
        // The folder's content is missing from the snapshot: said and
        // counted like a folder that cannot be listed.
        reportUnlistedFolder(level.sourcePath, level.destinationPath);
        return ERROR_OUTOFMEMORY_CODE;
    }
    top->dir[SOURCE] = level.source;
    top->dir[PREVIOUS] = level.previous;
    top->dir[DESTINATION] = level.destination;
    enterFrame(&walk, top);
    while (walk.count > 0) {
        Frame* frame = &walk.frames[walk.count - 1];
        for (int tree = 0; tree < TREES; ++tree) cutPath(&walk.path[tree], frame->pathEnd[tree]);
        if (frame->lost || frame->at >= frame->used) {
            leaveFrame(&walk);
            continue;
        }
        uint32_t attributes;
        const NChar* name = nextName(frame, &attributes);
        walkEntry(&walk, name, attributes);
    }
    endWalk(&walk);
    return 0;
}

// Files with several names a run remembers: each holds a descriptor of its
// copy, taken from a quarter of what the process may hold open.
static size_t sharedFilesFor(long openFileLimit)
{
    long share = openFileLimit / 4;
    if (share <= 0) return 0;
    return static_cast<size_t>(share) < SHARED_FILES_MAX ? static_cast<size_t>(share) : SHARED_FILES_MAX;
}

// Levels of open folders for each walk of a run on workers threads: what
// the process may hold open, less a reserve for the rest of the run (the
// standard streams, the log, the lock, two files a thread copies, and the
// three folders of each job queued for a worker), shared among the walks
// that may hold folders at once: one a thread, since a thread never walks
// a job while a walk of its own waits (the main thread runs queued jobs
// only once its own walk has ended).
static size_t levelBudgetFor(int workers)
{
    long limit = platOpenFileLimit() - sharedFilesFor(platOpenFileLimit());
    long reserve = 64 + 7L * workers;
    long walks = workers > 1 ? workers : 1;
    long levels = (limit - reserve) / (TREES * walks);
    if (levels < static_cast<long>(MIN_LEVEL_BUDGET)) return MIN_LEVEL_BUDGET;
    if (levels > static_cast<long>(MAX_LEVEL_BUDGET)) return MAX_LEVEL_BUDGET;
    return static_cast<size_t>(levels);
}

int walkTree(const NChar* sourceDir, const NChar* previousDir, const NChar* destinationDir,
             int workers)
{
    if (isExcludedFolder(sourceDir)) return 0;
    // The source and the previous snapshot may be reached through links
    // (paths the user gave); the snapshot folder itself never is.
    DirHandle* source = platOpenDir(nullptr, nullptr, sourceDir, DIR_FOLLOW | DIR_SOURCE);
    bool hasPrevious = previousDir != nullptr && previousDir[0] != 0;
    DirHandle* previous = hasPrevious ? platOpenDir(nullptr, nullptr, previousDir, DIR_FOLLOW) : nullptr;
    DirHandle* destination = nullptr;
    if (!cmdlineState.runSettings.noExec) {
        // Made here unless the caller made it already. By path: the day's
        // folder is one name in the root the user gave. It is opened below
        // without following a link (a link put in its place is refused),
        // and everything under it goes through that open folder.
        platMakeDir(destinationDir, true);
        destination = platOpenDir(nullptr, nullptr, destinationDir, 0);
        if (destination != nullptr) probeTarget(destination, destinationDir);
    }
    Level top = {source, sourceDir, previous, previous != nullptr ? previousDir : nullptr,
                 destination, destinationDir};
    FileData folderData;
    bool known = source != nullptr && platGetDirData(source, &folderData, nullptr);
    engineState.walker.levelBudget = levelBudgetFor(workers);
    // Names of one file are linked to one copy only where links can be made.
    startSharedFiles(engineState.walker.target.makesLinks ? sharedFilesFor(platOpenFileLimit()) : 0);
    int result = workers > 1 ? walkOnWorkers(top, known ? &folderData : nullptr, workers)
                             : walkAlone(top, known ? &folderData : nullptr);
    endSharedFiles();
    platCloseDir(destination);
    platCloseDir(previous);
    platCloseDir(source);
    return result;
}
