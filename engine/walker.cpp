#include "engine/walker.h"

#include <cstdlib>

#include "engine/copier.h"
#include "engine/filter_lists.h"
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

// A file is unchanged when size, creation time and last-write time equal
// its twin's; content, attributes and last-access time are not compared.
// The source's data is the one the folder test read a moment ago.
static bool isUnchanged(const FileData& source, const NChar* twinPath)
{
    FileData twin;
    if (!platGetFileData(twinPath, &twin)) return false;
    return source.size == twin.size && sameFileTime(source.creationTime, twin.creationTime) &&
           sameFileTime(source.lastWriteTime, twin.lastWriteTime) &&
           source.isSymbolicLink == twin.isSymbolicLink;
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
    if (platHardLink(destinationPath, twinPath)) {
        ++runCounters.filesLinked;
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

int walkTree(const NChar* sourceDir, const NChar* previousDir, const NChar* destinationDir)
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

    if (!runSettings.noExec) platMakeDir(destinationDir);
    resumeEnterFolder(destinationDir);

    FindEntry entry;
    FindHandle* find = platFindFirst(sourceDir, &entry);
    // Every folder but a drive root lists "." and "..": no entry at all
    // means that the folder could not be listed.
    if (find == nullptr && !platIsDriveRoot(sourceDir)) reportUnlistedFolder(sourceDir, destinationDir);
    if (find != nullptr) {
        do {
            if (isSkipped(entry, sourceDir)) continue;
            size_t nameLength = textLength(entry.name);
            if (nameLength >= static_cast<size_t>(NAME_CHARS)) {
                reportLongName(sourceDir, entry.name);
                continue;
            }
            writeTail(&source, entry.name, false);
            // One read serves the folder test and the unchanged test.
            FileData data;
            bool known = platGetFileData(source.text, &data);
            bool isFolder = known && (data.attributes & ATTR_DIRECTORY);
            if (isFolder) {
                // A folder name needs room for its separator as well.
                if (nameLength + 1 >= static_cast<size_t>(NAME_CHARS)) {
                    reportLongName(sourceDir, entry.name);
                    continue;
                }
                writeTail(&source, entry.name, true);
                if (isBackupRoot(source.text)) continue;
                writeTail(&destination, entry.name, true);
                if ((data.attributes & ATTR_REPARSE_POINT) && leadsBackIntoWalk(source.text)) {
                    reportUnlistedFolder(source.text, destination.text);
                    continue;
                }
                resumeFolderEntry(destination.text);
                const NChar* twinFolder = nullptr;
                if (hasPrevious) {
                    writeTail(&previous, entry.name, false);
                    uint32_t twin = platGetAttributes(previous.text);
                    if (twin != INVALID_ATTRIBUTES && (twin & ATTR_DIRECTORY)) {
                        writeTail(&previous, entry.name, true);
                        twinFolder = previous.text;
                    }
                }
                walkTree(source.text, twinFolder, destination.text);
                continue;
            }
            writeTail(&destination, entry.name, false);
            if (hasPrevious) writeTail(&previous, entry.name, false);
            if (resumingSnapshot &&
                resumeKeepsFile(known && isUnchanged(data, destination.text), destination.text,
                                hasPrevious ? previous.text : nullptr))
                continue;
            if (hasPrevious && known) {
                if (isUnchanged(data, previous.text)) {
                    linkFile(source.text, &data, previous.text, destination.text);
                    continue;
                }
            }
            copyAndReport(source.text, destination.text, known ? &data : nullptr);
        } while (platFindNext(find, &entry));
        platFindClose(find);
    }
    resumeLeaveFolder(sourceDir, destinationDir);
    // Set last: a read-only folder must first take its content.
    if (!runSettings.noExec) platCopyFolderAccess(sourceDir, destinationDir);

    free(destination.text);
    free(source.text);
    free(previous.text);
    return 0;
}
