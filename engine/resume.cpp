#include "engine/resume.h"

#include <string>
#include <vector>

#include "platform/platform.h"
#include "report/output.h"
#include "report/run_state.h"

bool resumingSnapshot = false;

typedef std::basic_string<NChar> Path;

static bool active()
{
    return resumingSnapshot && !runSettings.noExec;
}

// What cannot be removed is left to the walker, whose copy or link then
// fails on the name and is reported like any other.
static void removeEntry(const NChar* path)
{
    platRemoveTree(path);
}

void resumeEnterFolder(const NChar* destinationDir)
{
    if (active()) platMakeFolderWritable(destinationDir);
}

void resumeFolderEntry(const NChar* destinationPath)
{
    if (!active()) return;
    // Looked at without its final separator, so that a symbolic link left
    // at the name is seen as the link, never as the folder it leads to.
    Path name(destinationPath);
    while (name.size() > 1 && name.back() == PATH_SEP) name.pop_back();
    uint32_t attributes = platGetAttributes(name.c_str());
    if (attributes == INVALID_ATTRIBUTES) return;
    if ((attributes & ATTR_DIRECTORY) && !(attributes & ATTR_REPARSE_POINT)) return;
    removeEntry(name.c_str());
}

static bool sameFile(const NChar* a, const NChar* b)
{
    FileIdentity first;
    FileIdentity second;
    return platGetIdentity(a, &first) && platGetIdentity(b, &second) && sameIdentity(first, second);
}

bool resumeKeepsFile(bool equal, const NChar* destinationPath, const NChar* twinPath)
{
    if (!active()) return false;
    uint32_t attributes = platGetAttributes(destinationPath);
    if (attributes == INVALID_ATTRIBUTES) return false;
    if (!equal || (attributes & ATTR_DIRECTORY)) {
        removeEntry(destinationPath);
        return false;
    }
    bool linked = twinPath != nullptr && sameFile(destinationPath, twinPath);
    showProgress(linked ? PROGRESS_LINK : PROGRESS_COPY, destinationPath);
    if (linked)
        ++runCounters.filesLinked;
    else
        ++runCounters.filesCopied;
    return true;
}

void resumeLeaveFolder(const NChar* sourceDir, const NChar* destinationDir)
{
    if (!active()) return;
    // Names first, removals after: the listing is not changed under itself.
    std::vector<Path> gone;
    FindEntry entry;
    FindHandle* find = platFindFirst(destinationDir, &entry);
    if (find == nullptr) return;
    do {
        if (compareText(entry.name, N(".")) == 0 || compareText(entry.name, N("..")) == 0) continue;
        Path source = Path(sourceDir) + entry.name;
        if (platGetAttributes(source.c_str()) == INVALID_ATTRIBUTES) gone.push_back(Path(destinationDir) + entry.name);
    } while (platFindNext(find, &entry));
    platFindClose(find);
    for (const Path& path : gone) removeEntry(path.c_str());
}
