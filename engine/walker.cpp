#include "engine/walker.h"

#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>

#include "engine/copier.h"
#include "engine/filter_lists.h"
#include "engine/folder_pool.h"
#include "engine/resume.h"
#include "platform/platform.h"
#include "report/output.h"
#include "report/run_state.h"

static bool rootExcluded = false;
static FileIdentity excludedRoot;

bool setExcludedRoot(const NChar* rootPath)
{
    rootExcluded = platGetIdentity(rootPath, &excludedRoot);
    return rootExcluded;
}

static bool isBackupRoot(const FileIdentity& identity)
{
    return rootExcluded && sameIdentity(identity, excludedRoot);
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
    if (excludedTypes.count > 0) return matchesType(&excludedTypes, name, false) != 0;
    if (includedTypes.count > 0 && !isFolder) return matchesType(&includedTypes, name, true) == 0;
    return false;
}

// What the backup file system keeps of a file, found once per run on the
// new snapshot folder: a time is stored rounded to timeStep (in FileTime
// fractions; NTFS through ntfs-3g keeps 100 ns, exFAT 10 ms, FAT 2 s), and
// modes and owners may not be kept at all.
struct TargetTraits {
    int64_t timeStep;
    bool keepsModes;
    bool keepsOwners;
};

static const TargetTraits UNKNOWN_TARGET = {1, true, false};
static TargetTraits target = UNKNOWN_TARGET;

void resetWalker()
{
    rootExcluded = false;
    excludedRoot = FileIdentity();
    target = UNKNOWN_TARGET;
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
    return sameFileTime(roundedDown(a, target.timeStep), roundedDown(b, target.timeStep));
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

static void probeTarget(DirHandle* snapshotDir)
{
    target.timeStep = probeTimeStep(snapshotDir);
    platProbeAccess(snapshotDir, &target.keepsModes, &target.keepsOwners);
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
    showProgress(PROGRESS_LINK, destinationPath);
    if (runSettings.noExec) {
        ++runCounters.filesLinked;
        return;
    }
    CreateResult linked =
        platHardLinkAt(level.previous, name, twinPath, level.destination, name, destinationPath);
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
    if (runSettings.logErrors) logMessage(N("unlinkable file: %s\n"), destinationPath);
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
    if (runSettings.logErrors && !runSettings.noExec) logMessage(N("unreadable file: %s\n"), sourceDir);
    ++runCounters.unreadableSkipped;
}

// True when the folder link dirPath leads to a folder that holds it: one
// of the folders above it, which the walk has entered on its way down.
// Walking it would repeat that folder's tree inside itself until the path
// limit. The path's own prefixes name those folders as the walk met them.
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
    if (runSettings.logErrors && !runSettings.noExec)
        logMessage(N("name too long: %s%s\n"), sourceDir, name);
    ++runCounters.unreadableSkipped;
}

// One working buffer: a folder path followed by room for one entry name.
struct PathBuffer {
    NChar* text;
    size_t folderLength;
};

static bool takeBuffer(PathBuffer* buffer, const NChar* folder)
{
    buffer->folderLength = textLength(folder);
    buffer->text = static_cast<NChar*>(malloc((buffer->folderLength + NAME_RESERVE) * sizeof(NChar)));
    if (buffer->text == nullptr) return false;
    memcpy(buffer->text, folder, (buffer->folderLength + 1) * sizeof(NChar));
    return true;
}

// Writes name, and for a folder the separator, at the tail of the buffer.
static void writeTail(PathBuffer* buffer, const NChar* name, bool isFolder)
{
    NChar* tail = buffer->text + buffer->folderLength;
    copyText(tail, NAME_CHARS, name);
    if (isFolder) appendText(tail, NAME_CHARS, PATH_SEP_TEXT);
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
    if (runSettings.noExec || destination == nullptr || sourceData == nullptr) return;
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

static bool walkOnThreads = false;
static std::atomic<int> jobsOut(0);
static std::mutex countsLock;
static RunCounters workerCounts;

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
        std::lock_guard<std::mutex> hold(countsLock);
        addRunCounts(&workerCounts, counts);
    }
    freeJob(job);
    if (--jobsOut == 0) wakeFolderPool();
}

// Hands the open folder to an idle worker; false when none is idle, when
// the output held already reaches its bound (the job and its node count
// toward it) or no memory is left for the job: the caller then walks it
// itself, without waiting.
static bool offerFolder(const Level& level, const FileData* folderData)
{
    if (!walkOnThreads || !folderPoolHasIdle()) return false;
    OutputNode* output = openOutputHere(jobSize(level));
    if (output == nullptr) return false;
    FolderJob* job = newJob(level, folderData);
    if (job == nullptr) {
        closeOutputNode(output);
        return false;
    }
    job->output = output;
    ++jobsOut;
    if (offerFolderJob(job)) return true;
    --jobsOut;
    // Taken meanwhile: its part of the output stays empty.
    closeOutputNode(job->output);
    freeJob(job);
    return false;
}

static bool allJobsDone()
{
    return jobsOut == 0;
}

// The run's output leaves in walk order from this thread while the walk
// goes on.
static void emitRunOutput(OutputNode* root)
{
    emitOutput(root, writeCapturedOutput);
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
        emitOutput(root, writeCapturedOutput);
        return walkAlone(top, folderData);
    }
    workerCounts = RunCounters();
    // Each worker copies through a buffer of its own, all of them together
    // no larger than the one buffer of a walk alone.
    shareCopyBuffers(workers);
    workers = startFolderPool(workers, runFolderJob, releaseCopyBuffer);
    walkOnThreads = workers > 1;
    captureOutputInto(root);
    int result = walkFolder(top);
    finishFolder(folderData, top.destination);
    captureOutputInto(nullptr);
    closeOutputNode(root);
    // This thread holds no output of its own now: it may run queued jobs.
    waitForFolderJobs(allJobsDone);
    walkOnThreads = false;
    stopFolderPool();
    emitter.join();
    addRunCounts(&runCounters, workerCounts);
    shareCopyBuffers(1);
    return result;
}

// Walks into the subfolder whose name (with its separator) ends the three
// path buffers: opens it in the source and the previous snapshot, makes it
// in the new snapshot, fills it and closes all three.
static void enterFolder(const Level& level, const NChar* name, PathBuffer* source,
                        PathBuffer* previous, PathBuffer* destination)
{
    if (isExcludedFolder(source->text)) return;
    DirHandle* sourceDir = platOpenDir(level.source, name, source->text, DIR_SOURCE);
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
    if (sourceDir == nullptr && (!platGetFileDataAt(level.source, name, source->text, &now) ||
                                 !(now.attributes & ATTR_DIRECTORY))) {
        reportUnlistedFolder(source->text, destination->text);
        return;
    }
    DirHandle* destinationDir = nullptr;
    if (!runSettings.noExec) {
        MakeDirResult made =
            platMakeDirAt(level.destination, name, destination->text, &destinationDir);
        if (made == MAKEDIR_EXISTS) {
            if (!resumingSnapshot) {
                reportTakenFolder(destination->text);
                platCloseDir(sourceDir);
                return;
            }
            destinationDir = platOpenDir(level.destination, name, destination->text, 0);
        }
    }
    DirHandle* previousDir = nullptr;
    if (level.previous != nullptr)
        previousDir = platOpenDir(level.previous, name, previous->text, 0);
    Level inner = {sourceDir, source->text, previousDir, previousDir != nullptr ? previous->text : nullptr,
                   destinationDir, destination->text};
    // A source folder that could not be opened (gone, no longer a folder,
    // no rights) is reported by the listing that fails in it.
    if (offerFolder(inner, known ? &folderData : nullptr)) return;
    walkFolder(inner);
    finishFolder(known ? &folderData : nullptr, destinationDir);
    platCloseDir(previousDir);
    platCloseDir(destinationDir);
    platCloseDir(sourceDir);
}

static int walkFolder(const Level& level)
{
    PathBuffer destination = {nullptr, 0};
    PathBuffer source = {nullptr, 0};
    PathBuffer previous = {nullptr, 0};
    bool hasPrevious = level.previous != nullptr;
    if (!takeBuffer(&destination, level.destinationPath) || !takeBuffer(&source, level.sourcePath) ||
        (hasPrevious && !takeBuffer(&previous, level.previousPath))) {
        free(destination.text);
        free(source.text);
        free(previous.text);
        // The folder's content is missing from the snapshot: said and
        // counted like a folder that cannot be listed.
        reportUnlistedFolder(level.sourcePath, level.destinationPath);
        return ERROR_OUTOFMEMORY_CODE;
    }

    // A folder that a stopped run had already finished may be read-only:
    // what is in it must be replaceable.
    resumeEnterFolder(level.destination);

    FindEntry entry;
    FindHandle* find = platFindFirstIn(level.source, level.sourcePath, &entry);
    // Every folder but a drive root lists "." and "..": no entry at all
    // means that the folder could not be listed.
    if (find == nullptr && !platIsDriveRoot(level.sourcePath))
        reportUnlistedFolder(level.sourcePath, level.destinationPath);
    if (find != nullptr) {
        do {
            if (isSkipped(entry, level.sourcePath)) continue;
            const NChar* name = entry.name;
            if (textLength(name) > static_cast<size_t>(NAME_MAX_CHARS)) {
                reportLongName(level.sourcePath, name);
                continue;
            }
            writeTail(&source, name, false);
            // A folder is known from the listing: it is opened (never
            // through a link) and read from there. For anything else one
            // read serves the folder test and the unchanged test.
            FileData data;
            bool isFolder = (entry.attributes & ATTR_DIRECTORY) != 0;
            bool known = !isFolder && platGetFileDataAt(level.source, name, source.text, &data);
            if (isFolder || (known && (data.attributes & ATTR_DIRECTORY))) {
                writeTail(&source, name, true);
                writeTail(&destination, name, true);
                uint32_t attributes = isFolder ? entry.attributes : data.attributes;
                if ((attributes & ATTR_REPARSE_POINT) && leadsBackIntoWalk(source.text)) {
                    reportUnlistedFolder(source.text, destination.text);
                    continue;
                }
                resumeFolderEntry(level.destination, name, destination.text);
                if (hasPrevious) writeTail(&previous, name, true);
                enterFolder(level, name, &source, &previous, &destination);
                continue;
            }
            writeTail(&destination, name, false);
            if (hasPrevious) writeTail(&previous, name, false);
            if (resumingSnapshot) {
                // What a stopped run left at this name, measured like a twin.
                Level left = level;
                left.previous = level.destination;
                left.previousPath = level.destinationPath;
                bool equal = known && isUnchanged(data, left, name, source.text, destination.text);
                if (resumeKeepsFile(equal, level.destination, name, destination.text, level.previous,
                                    hasPrevious ? previous.text : nullptr))
                    continue;
            }
            if (hasPrevious && known) {
                if (isUnchanged(data, level, name, source.text, previous.text)) {
                    linkFile(level, name, source.text, &data, previous.text, destination.text);
                    continue;
                }
            }
            copyAndReport(level, name, source.text, destination.text, known ? &data : nullptr);
        } while (platFindNext(find, &entry));
        // A listing cut short by a failure leaves out what it did not reach.
        if (!platFindClose(find)) reportUnlistedFolder(level.sourcePath, level.destinationPath);
    }
    // Entries that a stopped run made and whose source is gone since.
    resumeLeaveFolder(level.source, level.sourcePath, level.destination, level.destinationPath);

    free(destination.text);
    free(source.text);
    free(previous.text);
    return 0;
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
    if (!runSettings.noExec) {
        // Made here unless the caller made it already.
        platMakeDir(destinationDir, true);
        destination = platOpenDir(nullptr, nullptr, destinationDir, 0);
        if (destination != nullptr) probeTarget(destination);
    }
    Level top = {source, sourceDir, previous, previous != nullptr ? previousDir : nullptr,
                 destination, destinationDir};
    FileData folderData;
    bool known = source != nullptr && platGetDirData(source, &folderData, nullptr);
    int result = workers > 1 ? walkOnWorkers(top, known ? &folderData : nullptr, workers)
                             : walkAlone(top, known ? &folderData : nullptr);
    platCloseDir(destination);
    platCloseDir(previous);
    platCloseDir(source);
    return result;
}
