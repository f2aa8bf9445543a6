#include "engine/walker.h"

#include <cstdlib>

#include "engine/copier.h"
#include "engine/filter_lists.h"
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

static bool isBackupRoot(const NChar* dirPath)
{
    FileIdentity identity;
    return rootExcluded && platGetIdentity(dirPath, &identity) && sameIdentity(identity, excludedRoot);
}

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

static TargetTraits target = {1, true, false};

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
static int64_t probeTimeStep(const NChar* folder)
{
    FileData data;
    if (!platGetFileData(folder, &data)) return 1;
    const FileTime odd = {1000000001, FILE_TIME_FRACTIONS - 1};
    data.creationTime = odd;
    data.lastAccessTime = odd;
    data.lastWriteTime = odd;
    FileData stored;
    if (!platSetTimes(folder, &data) || !platGetFileData(folder, &stored)) return 1;
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

static void probeTarget(const NChar* snapshotDir)
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
static bool isUnchanged(const FileData& source, const NChar* sourcePath, const NChar* twinPath)
{
    if (source.isSpecialFile) return false;
    FileData twin;
    if (!platGetFileData(twinPath, &twin)) return false;
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
    return !source.isSymbolicLink || platSameLinkTarget(sourcePath, twinPath);
}

static void copyAndReport(const NChar* sourcePath, const NChar* destinationPath,
                          const FileData* sourceData)
{
    if (copyFile(sourcePath, destinationPath, sourceData) != 0)
        printTo(stderr, N("copy error %s\n"), destinationPath);
}

static void linkFile(const NChar* sourcePath, const FileData* sourceData, const NChar* twinPath,
                     const NChar* destinationPath)
{
    showProgress(PROGRESS_LINK, destinationPath);
    if (runSettings.noExec) {
        ++runCounters.filesLinked;
        return;
    }
    CreateResult linked = platHardLink(destinationPath, twinPath);
    if (linked == CREATE_OK) {
        ++runCounters.filesLinked;
        return;
    }
    if (linked == CREATE_EXISTS) {
        // Another source name already took this name on the backup disk.
        printTo(stderr, N("copy error %s\n"), destinationPath);
        reportUncreatable(destinationPath);
        return;
    }
    printTo(stderr, N("link error %s\n"), destinationPath);
    if (runSettings.logErrors) logMessage(N("unlinkable file: %s\n"), destinationPath);
    ++runCounters.linkErrors;
    // The snapshot stays whole: what cannot be linked is copied.
    copyAndReport(sourcePath, destinationPath, sourceData);
}

// A folder whose entries cannot be listed (no rights, or it is gone or no
// longer a folder) leaves a hole in the snapshot: reported like a file that
// cannot be read, so that the summary never shows such a run as clean.
static void reportUnlistedFolder(const NChar* sourceDir, const NChar* destinationDir)
{
    printTo(stderr, N("copy error %s\n"), destinationDir);
    if (runSettings.logErrors && !runSettings.noExec) logMessage(N("unreadable file: %s\n"), sourceDir);
    ++runCounters.unreadableSkipped;
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
    printTo(stderr, N("copy error %s\n"), destinationDir);
    reportUncreatable(destinationDir);
}

// Makes destinationDir and fills it from sourceDir. folderData is the source folder's
// own data: its access and times go to the snapshot folder after its
// content, since every entry made in a folder changes its last-write time.
static int walkFolder(const NChar* sourceDir, const NChar* previousDir, const NChar* destinationDir,
                      const FileData* folderData, bool isTop)
{
    if (isExcludedFolder(sourceDir)) return 0;

    PathBuffer destination = {nullptr, 0};
    PathBuffer source = {nullptr, 0};
    PathBuffer previous = {nullptr, 0};
    bool hasPrevious = previousDir != nullptr && previousDir[0] != 0;
    if (!takeBuffer(&destination, destinationDir) || !takeBuffer(&source, sourceDir) ||
        (hasPrevious && !takeBuffer(&previous, previousDir))) {
        free(destination.text);
        free(source.text);
        free(previous.text);
        return ERROR_OUTOFMEMORY_CODE;
    }

    // The snapshot folder itself may already have been made by the caller.
    if (!runSettings.noExec && platMakeDir(destinationDir) == MAKEDIR_EXISTS && !isTop &&
        !replaceExisting) {
        reportTakenFolder(destinationDir);
        free(destination.text);
        free(source.text);
        free(previous.text);
        return 0;
    }

    FindEntry entry;
    FindHandle* find = platFindFirst(sourceDir, &entry);
    // Every folder but a drive root lists "." and "..": no entry at all
    // means that the folder could not be listed.
    if (find == nullptr && !platIsDriveRoot(sourceDir)) reportUnlistedFolder(sourceDir, destinationDir);
    if (find != nullptr) {
        do {
            if (isSkipped(entry, sourceDir)) continue;
            size_t nameLength = textLength(entry.name);
            if (nameLength > static_cast<size_t>(NAME_MAX_CHARS)) {
                reportLongName(sourceDir, entry.name);
                continue;
            }
            writeTail(&source, entry.name, false);
            // One read serves the folder test and the unchanged test.
            FileData data;
            bool known = platGetFileData(source.text, &data);
            bool isFolder = known && (data.attributes & ATTR_DIRECTORY);
            if (isFolder) {
                writeTail(&source, entry.name, true);
                if (isBackupRoot(source.text)) continue;
                writeTail(&destination, entry.name, true);
                const NChar* twinFolder = nullptr;
                if (hasPrevious) {
                    writeTail(&previous, entry.name, false);
                    uint32_t twin = platGetAttributes(previous.text);
                    if (twin != INVALID_ATTRIBUTES && (twin & ATTR_DIRECTORY)) {
                        writeTail(&previous, entry.name, true);
                        twinFolder = previous.text;
                    }
                }
                walkFolder(source.text, twinFolder, destination.text, &data, false);
                continue;
            }
            writeTail(&destination, entry.name, false);
            if (hasPrevious && known) {
                writeTail(&previous, entry.name, false);
                if (isUnchanged(data, source.text, previous.text)) {
                    linkFile(source.text, &data, previous.text, destination.text);
                    continue;
                }
            }
            copyAndReport(source.text, destination.text, known ? &data : nullptr);
        } while (platFindNext(find, &entry));
        platFindClose(find);
    }
    // Set last: a read-only folder must first take its content, and every
    // entry made in it changed its times.
    if (!runSettings.noExec) {
        platCopyFolderAccess(sourceDir, destinationDir);
        if (folderData != nullptr) platSetTimes(destinationDir, folderData);
    }

    free(destination.text);
    free(source.text);
    free(previous.text);
    return 0;
}

int walkTree(const NChar* sourceDir, const NChar* previousDir, const NChar* destinationDir)
{
    FileData folderData;
    bool known = platGetFileData(sourceDir, &folderData);
    if (!runSettings.noExec) probeTarget(destinationDir);
    return walkFolder(sourceDir, previousDir, destinationDir, known ? &folderData : nullptr, true);
}
