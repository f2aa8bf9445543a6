#include "engine/resume.h"

#include <string>
#include <vector>

#include "cmdline/cmdline_state.h"
#include "engine/engine_state.h"
#include "platform/platform.h"
#include "report/output.h"
#include "report/run_state.h"

typedef std::basic_string<NChar> Path;

static bool active()
{
    return engineState.resumingSnapshot && !cmdlineState.runSettings.noExec;
}

// What cannot be removed is left to the walker, whose copy or link then
// fails on the name and is reported like any other.
static void removeEntry(DirHandle* dir, const NChar* name, const NChar* path)
{
    platRemoveTreeAt(dir, name, path, nullptr, nullptr);
}

void resumeEnterFolder(DirHandle* destination)
{
    if (active()) platMakeDirWritable(destination);
}

// path without its final separator, so that a folder's path names the
// entry itself.
static Path entryPath(const NChar* path)
{
    Path name(path);
    while (name.size() > 1 && name.back() == PATH_SEP) name.pop_back();
    return name;
}

void resumeFolderEntry(DirHandle* destination, const NChar* name, const NChar* destinationPath)
{
    if (!active()) return;
    Path path = entryPath(destinationPath);
    // Looked at without following: a symbolic link left at the name is
    // seen as the link, never as the folder it leads to.
    FileData data;
    if (!platGetFileDataAt(destination, name, path.c_str(), &data)) return;
    if ((data.attributes & ATTR_DIRECTORY) && !(data.attributes & ATTR_REPARSE_POINT)) return;
    removeEntry(destination, name, path.c_str());
}

bool resumeKeepsFile(bool equal, DirHandle* destination, const NChar* name, const NChar* destinationPath,
                     DirHandle* twinDir, const NChar* twinPath)
{
    if (!active()) return false;
    FileData data;
    if (!platGetFileDataAt(destination, name, destinationPath, &data)) return false;
    if (!equal || (data.attributes & ATTR_DIRECTORY)) {
        removeEntry(destination, name, destinationPath);
        return false;
    }
    // Counted as an uninterrupted run would have counted the same entry:
    // the twin's own file (the same entry itself, never what a symbolic
    // link leads to) as linked, anything else as a copy with the bytes it
    // holds. A stored link holds none.
    FileIdentity left;
    FileIdentity twin;
    FileData twinData;
    bool identified = platGetIdentityAt(destination, name, destinationPath, &data, &left);
    bool linked = identified && twinDir != nullptr && twinPath != nullptr &&
                  platGetIdentityAt(twinDir, name, twinPath, &twinData, &twin) && sameIdentity(left, twin);
    showProgress(linked ? PROGRESS_LINK : PROGRESS_COPY, destinationPath);
    if (linked) {
        ++runCounters.filesLinked;
    } else {
        ++runCounters.filesCopied;
        if (!data.isSymbolicLink && !data.isSpecialFile) runCounters.bytesCopied += data.size;
    }
    return true;
}

void resumeLeaveFolder(DirHandle* source, const NChar* sourceDir, DirHandle* destination,
                       const NChar* destinationDir)
{
    // A source folder that could not be opened tells nothing of what is gone.
    if (!active() || source == nullptr || destination == nullptr) return;
    // Names first, removals after: the listing is not changed under itself.
    std::vector<Path> gone;
    FindEntry entry;
    FindHandle* find = platFindFirstIn(destination, destinationDir, &entry);
    if (find == nullptr) return;
    do {
        if (compareText(entry.name, N(".")) == 0 || compareText(entry.name, N("..")) == 0) continue;
        Path sourcePath = Path(sourceDir) + entry.name;
        FileData data;
        if (!platGetFileDataAt(source, entry.name, sourcePath.c_str(), &data)) gone.push_back(entry.name);
    } while (platFindNext(find, &entry));
    platFindClose(find);
    for (const Path& name : gone) removeEntry(destination, name.c_str(), (Path(destinationDir) + name).c_str());
}
