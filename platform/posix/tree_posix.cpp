// Removing what a stopped run left in its snapshot, on POSIX: every folder
// is opened relative to its parent without following a symbolic link, and
// every entry is removed relative to the open folder, so that a link in the
// snapshot never leads the removal outside it.
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

// A path without its final separators ("/" stays "/").
static std::string withoutFinalSeparator(const char* path)
{
    std::string result(path);
    while (result.size() > 1 && result.back() == '/') result.pop_back();
    return result;
}

// Gives the open folder fd write and search access for its owner, so that
// a folder that a stopped run had already made read-only lets its entries
// be replaced.
static void openUpFolder(int fd)
{
    struct stat info;
    if (fstat(fd, &info) == 0 && (info.st_mode & S_IRWXU) != S_IRWXU)
        fchmod(fd, (info.st_mode & 07777) | S_IRWXU);
}

static bool removeEntryAt(int parent, const char* name);

// Empties the open folder fd and closes it. Entries removed while the
// folder is read may make the listing skip others, so the listing starts
// again until a pass finds the folder empty or can remove nothing more.
static bool emptyFolder(int fd)
{
    openUpFolder(fd);
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return false;
    }
    bool empty = false;
    for (;;) {
        int seen = 0;
        int removed = 0;
        rewinddir(dir);
        for (;;) {
            errno = 0;
            struct dirent* entry = readdir(dir);
            if (entry == nullptr) break;
            if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
            ++seen;
            if (removeEntryAt(dirfd(dir), entry->d_name)) ++removed;
        }
        if (errno != 0) break;
        if (seen == 0) {
            empty = true;
            break;
        }
        if (removed == 0) break;
    }
    closedir(dir);
    return empty;
}

static bool removeEntryAt(int parent, const char* name)
{
    if (unlinkat(parent, name, 0) == 0 || errno == ENOENT) return true;
    // Linux answers EISDIR for a folder, POSIX allows EPERM.
    if (errno != EISDIR && errno != EPERM) return false;
    int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    emptyFolder(fd);
    return unlinkat(parent, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

bool platRemoveTree(const NChar* path)
{
    std::string name = withoutFinalSeparator(path);
    return removeEntryAt(AT_FDCWD, name.c_str());
}

bool platMakeFolderWritable(const NChar* path)
{
    std::string name = withoutFinalSeparator(path);
    int fd = open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    openUpFolder(fd);
    close(fd);
    return true;
}
