// Whole trees of a backup root on POSIX: counting what a snapshot holds and
// removing it. Both work through open folders (openat with O_NOFOLLOW,
// fstatat and unlinkat relative to the folder's descriptor), so that a user
// who swaps a folder of a snapshot for a symbolic link cannot lead a run as
// root out of the tree. Neither recurses nor holds a descriptor per level:
// a tree of any depth is walked with a stack of one name per level and at
// most OPEN_LEVELS folders open; a folder closed on the way down is opened
// again on the way up through ".." of its open subfolder, and only when it
// is still the folder it was (device and inode), so a folder moved
// meanwhile ends the walk instead of leading it elsewhere.
#include "platform/platform.h"
#include "platform/posix/layer_state.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

// Splits path into its parent folder (opened) and its last name; the
// trailing separators of a folder path are not part of the name. -1 when
// the parent cannot be opened.
static int openParent(const NChar* path, std::string* name)
{
    std::string whole(path);
    while (whole.size() > 1 && whole.back() == '/') whole.pop_back();
    size_t cut = whole.rfind('/');
    std::string parent;
    if (cut == std::string::npos) {
        parent = ".";
        *name = whole;
    } else {
        parent = cut == 0 ? "/" : whole.substr(0, cut);
        *name = whole.substr(cut + 1);
    }
    if (name->empty() || *name == "." || *name == "..") {
        errno = EINVAL;
        return -1;
    }
    // The parent is the backup root as the user gave it: it may be a link.
    return open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

static bool isDotName(const char* name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// ---- the descent ----------------------------------------------------------------

static const size_t OPEN_LEVELS = 16;

struct TreeLevel {
    std::string name; // within the level above; the first within the given parent
    dev_t device;
    ino_t inode;
    DIR* dir;         // null while closed to keep within OPEN_LEVELS
    long position;    // where its listing goes on once opened again
    int passes;       // removal: listings of it so far
    bool removedAny;  // removal: an entry went in this listing
    bool incomplete;  // removal: an entry in it could not be removed
};

struct TreeDescent {
    int parent;         // the folder that holds the tree; never closed here
    std::string path;   // the tree's own path, for messages
    std::vector<TreeLevel> levels;
    size_t openCount;
};

static void initDescent(TreeDescent* descent, int parent, const std::string& path)
{
    descent->parent = parent;
    descent->path = path;
    descent->openCount = 0;
}

static void endDescent(TreeDescent* descent)
{
    for (TreeLevel& level : descent->levels)
        if (level.dir != nullptr) closedir(level.dir);
    descent->levels.clear();
    descent->openCount = 0;
}

// The path of an entry of the deepest level (or of that level itself when
// name is null), built only for a message.
static std::string shownPath(const TreeDescent& descent, const char* name)
{
    std::string path = descent.path;
    for (size_t k = 1; k < descent.levels.size(); ++k) path += "/" + descent.levels[k].name;
    if (name != nullptr) path += std::string("/") + name;
    return path;
}

static int levelFd(const TreeDescent& descent)
{
    return descent.levels.empty() ? descent.parent : dirfd(descent.levels.back().dir);
}

// Opens the folder name within the deepest level (or the given parent) and
// makes it the deepest level. Never through a symbolic link, never onto
// another file system (a mount inside a snapshot is not the snapshot's).
// writable: a folder its owner may not write or search is given those
// rights first (it is about to be emptied). -1 with errno on failure.
static int enterLevel(TreeDescent* descent, const char* name, dev_t device, bool writable)
{
    int at = levelFd(*descent);
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(at, name, flags);
    if (fd < 0 && errno == EACCES && writable) {
        if (fchmodat(at, name, S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0) fd = openat(at, name, flags);
        if (fd < 0) errno = EACCES;
    }
    if (fd < 0) return -1;
    struct stat info;
    if (fstat(fd, &info) != 0 || info.st_dev != device) {
        int code = errno;
        close(fd);
        errno = info.st_dev != device ? EXDEV : code;
        return -1;
    }
    if (writable && (info.st_mode & S_IRWXU) != S_IRWXU) fchmod(fd, (info.st_mode & 07777) | S_IRWXU);
    // Within budget: the highest folder still open is closed, to be opened
    // again when the walk climbs back to it.
    if (descent->openCount >= OPEN_LEVELS) {
        for (TreeLevel& level : descent->levels) {
            if (level.dir == nullptr) continue;
            level.position = telldir(level.dir);
            closedir(level.dir);
            level.dir = nullptr;
            --descent->openCount;
            break;
        }
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        int code = errno;
        close(fd);
        errno = code;
        return -1;
    }
    TreeLevel level;
    level.name = name;
    level.device = info.st_dev;
    level.inode = info.st_ino;
    level.dir = dir;
    level.position = 0;
    level.passes = 1;
    level.removedAny = false;
    level.incomplete = false;
    descent->levels.push_back(level);
    ++descent->openCount;
    return 0;
}

// Before the deepest level is left: the level above it open again, from
// ".." of the deepest, and only when it is the same folder as before.
static bool reopenAbove(TreeDescent* descent)
{
    size_t count = descent->levels.size();
    if (count < 2 || descent->levels[count - 2].dir != nullptr) return true;
    TreeLevel& above = descent->levels[count - 2];
    int fd = openat(dirfd(descent->levels.back().dir), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    if (fstat(fd, &info) != 0 || info.st_dev != above.device || info.st_ino != above.inode) {
        close(fd);
        // Moved away since it was entered: not followed.
        errno = ESTALE;
        return false;
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        int code = errno;
        close(fd);
        errno = code;
        return false;
    }
    if (above.position != 0) seekdir(dir, above.position);
    above.dir = dir;
    ++descent->openCount;
    return true;
}

// Leaves the deepest level: its folder is closed.
static void leaveLevel(TreeDescent* descent)
{
    closedir(descent->levels.back().dir);
    descent->levels.pop_back();
    --descent->openCount;
}

static bool isFolderEntry(int at, const struct dirent* entry)
{
    if (entry->d_type != DT_UNKNOWN) return entry->d_type == DT_DIR;
    struct stat info;
    return fstatat(at, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

// ---- scanning ------------------------------------------------------------------

static bool scanTreeAt(int parent, const char* name, const std::string& path, TreeFileVisitor visit,
                       void* context)
{
    struct stat info;
    if (fstat(parent, &info) != 0) {
        failed("fstat");
        return false;
    }
    TreeDescent descent;
    initDescent(&descent, parent, path);
    if (enterLevel(&descent, name, info.st_dev, false) != 0) {
        failed("openat");
        return false;
    }
    bool whole = true;
    while (!descent.levels.empty()) {
        DIR* dir = descent.levels.back().dir;
        errno = 0;
        struct dirent* entry = readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) whole = failed("readdir");
            if (!reopenAbove(&descent)) {
                failed("openat");
                whole = false;
                break;
            }
            leaveLevel(&descent);
            continue;
        }
        if (isDotName(entry->d_name)) continue;
        struct stat child;
        if (fstatat(dirfd(dir), entry->d_name, &child, AT_SYMLINK_NOFOLLOW) != 0) {
            failed("fstatat");
            whole = false;
            continue;
        }
        if (S_ISDIR(child.st_mode)) {
            if (enterLevel(&descent, entry->d_name, descent.levels.back().device, false) != 0) {
                failed("openat");
                whole = false;
            }
            continue;
        }
        TreeFile file;
        file.identity.volume = static_cast<uint64_t>(child.st_dev);
        file.identity.index = static_cast<uint64_t>(child.st_ino);
        file.size = S_ISREG(child.st_mode) ? static_cast<uint64_t>(child.st_size) : 0;
        file.linkCount = static_cast<uint64_t>(child.st_nlink);
        visit(&file, context);
    }
    endDescent(&descent);
    return whole;
}

static std::string withoutFinalSeparators(const NChar* path)
{
    std::string shown(path);
    while (shown.size() > 1 && shown.back() == '/') shown.pop_back();
    return shown;
}

bool platScanTree(const NChar* path, TreeFileVisitor visit, void* context)
{
    std::string name;
    int parent = openParent(path, &name);
    if (parent < 0) {
        failed("open");
        return false;
    }
    bool whole = scanTreeAt(parent, name.c_str(), withoutFinalSeparators(path), visit, context);
    close(parent);
    return whole;
}

bool platScanTreeAt(DirHandle* parent, const NChar* name, const NChar* path, TreeFileVisitor visit,
                    void* context)
{
    if (parent == nullptr) {
        failedWith("openat", EBADF);
        return false;
    }
    return scanTreeAt(parent->fd, name, withoutFinalSeparators(path), visit, context);
}

// ---- renaming and removing -----------------------------------------------------

bool platRenameFolderAt(DirHandle* dir, const NChar* from, const NChar* fromPath, const NChar* to,
                        const NChar* toPath)
{
    (void)fromPath;
    (void)toPath;
    int fd = dir != nullptr ? dir->fd : -1;
    struct stat info;
    if (fstatat(fd, from, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        failed("fstatat");
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        failedWith("rename", ENOTDIR);
        return false;
    }
    // renameat never follows the last name of either side.
    if (renameat(fd, from, fd, to) == 0) return true;
    failed("renameat");
    return false;
}

struct Removal {
    RemoveFailureReport report;
    void* context;
    bool whole;
};

static void reportFailure(Removal* removal, const std::string& path, const char* call)
{
    int code = errno;
    failed(call);
    removal->whole = false;
    if (removal->report == nullptr) return;
    std::string reason = std::string(call) + ": " + strerror(code);
    removal->report(path.c_str(), reason.c_str(), removal->context);
}

// A folder listed again after its entries went, to catch what a listing
// changed under itself skipped; a few times at most, so that entries made
// in it as fast as they go cannot hold the removal forever.
static const int REMOVAL_PASSES = 4;

// Empties and removes the folder name of parent (device: parent's).
static void removeFolderAt(int parent, const char* name, dev_t device, const std::string& path,
                           Removal* removal)
{
    TreeDescent descent;
    initDescent(&descent, parent, path);
    // Entries that could not be removed, by inode (one file system): not
    // tried again when a folder is listed again.
    std::set<ino_t> kept;
    if (enterLevel(&descent, name, device, true) != 0) {
        // Swapped for a link or a file since it was looked at: that name
        // itself goes, never what it points to.
        if (errno == ENOTDIR || errno == ELOOP) {
            if (unlinkat(parent, name, 0) != 0 && errno != ENOENT) reportFailure(removal, path, "unlinkat");
        } else if (errno != ENOENT) {
            reportFailure(removal, path, "openat");
        }
        return;
    }
    while (!descent.levels.empty()) {
        TreeLevel& level = descent.levels.back();
        int at = dirfd(level.dir);
        errno = 0;
        struct dirent* entry = readdir(level.dir);
        if (entry == nullptr) {
            if (errno != 0) {
                reportFailure(removal, shownPath(descent, nullptr), "readdir");
                level.incomplete = true;
            } else if (level.removedAny && level.passes < REMOVAL_PASSES) {
                level.removedAny = false;
                ++level.passes;
                rewinddir(level.dir);
                continue;
            }
            std::string folderPath = shownPath(descent, nullptr);
            if (!reopenAbove(&descent)) {
                reportFailure(removal, folderPath, "openat ..");
                break;
            }
            std::string folderName = level.name;
            ino_t inode = level.inode;
            leaveLevel(&descent);
            if (unlinkat(levelFd(descent), folderName.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) {
                if (!descent.levels.empty()) descent.levels.back().removedAny = true;
                continue;
            }
            reportFailure(removal, folderPath, "unlinkat");
            if (!descent.levels.empty()) {
                descent.levels.back().incomplete = true;
                kept.insert(inode);
            }
            continue;
        }
        if (isDotName(entry->d_name) || kept.count(entry->d_ino) != 0) continue;
        bool isFolder = isFolderEntry(at, entry);
        if (!isFolder) {
            if (unlinkat(at, entry->d_name, 0) == 0) {
                level.removedAny = true;
                continue;
            }
            if (errno == ENOENT) continue;
            // A folder put in the place of a file since the listing.
            isFolder = errno == EISDIR;
            if (!isFolder) {
                reportFailure(removal, shownPath(descent, entry->d_name), "unlinkat");
                level.incomplete = true;
                kept.insert(entry->d_ino);
                continue;
            }
        }
        ino_t inode = entry->d_ino;
        std::string childName = entry->d_name;
        if (enterLevel(&descent, childName.c_str(), level.device, true) == 0) continue;
        // level may have moved with the stack: taken afresh.
        TreeLevel& here = descent.levels.back();
        if (errno == ENOTDIR || errno == ELOOP) {
            if (unlinkat(at, childName.c_str(), 0) == 0) {
                here.removedAny = true;
                continue;
            }
            if (errno == ENOENT) continue;
            reportFailure(removal, shownPath(descent, childName.c_str()), "unlinkat");
        } else if (errno == ENOENT) {
            continue;
        } else {
            reportFailure(removal, shownPath(descent, childName.c_str()), "openat");
        }
        here.incomplete = true;
        kept.insert(inode);
    }
    endDescent(&descent);
}

static bool removeTreeAt(int parent, const char* name, const std::string& path, Removal* removal)
{
    if (name[0] == 0 || isDotName(name)) {
        errno = EINVAL;
        reportFailure(removal, path, "unlinkat");
        return false;
    }
    struct stat info;
    if (fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) reportFailure(removal, path, "fstatat");
        return removal->whole;
    }
    if (!S_ISDIR(info.st_mode)) {
        if (unlinkat(parent, name, 0) == 0 || errno == ENOENT) return removal->whole;
        if (errno != EISDIR) {
            reportFailure(removal, path, "unlinkat");
            return false;
        }
    }
    struct stat above;
    if (fstat(parent, &above) != 0) {
        reportFailure(removal, path, "fstat");
        return false;
    }
    removeFolderAt(parent, name, above.st_dev, path, removal);
    return removal->whole;
}

bool platRemoveTreeAt(DirHandle* parent, const NChar* name, const NChar* path, RemoveFailureReport report,
                      void* context)
{
    Removal removal = {report, context, true};
    if (parent == nullptr) {
        errno = EBADF;
        reportFailure(&removal, withoutFinalSeparators(path), "openat");
        return false;
    }
    return removeTreeAt(parent->fd, name, withoutFinalSeparators(path), &removal);
}

bool platRemoveTreeReporting(const NChar* path, RemoveFailureReport report, void* context)
{
    Removal removal = {report, context, true};
    std::string name;
    int parent = openParent(path, &name);
    if (parent < 0) {
        reportFailure(&removal, path, "open");
        return false;
    }
    bool whole = removeTreeAt(parent, name.c_str(), withoutFinalSeparators(path), &removal);
    close(parent);
    return whole;
}

bool platRemoveTree(const NChar* path)
{
    return platRemoveTreeReporting(path, nullptr, nullptr);
}

bool platMakeDirWritable(DirHandle* dir)
{
    if (dir == nullptr) return false;
    // Write and search access for the owner, so that a folder that a
    // stopped run had already made read-only lets its entries be replaced.
    struct stat info;
    if (fstat(dir->fd, &info) != 0) return false;
    if ((info.st_mode & S_IRWXU) != S_IRWXU) return fchmod(dir->fd, (info.st_mode & 07777) | S_IRWXU) == 0;
    return true;
}

void platKeepPrivate(const NChar* path)
{
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return;
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 077) != 0)
        fchmod(fd, info.st_mode & 07700);
    close(fd);
}

bool platOthersMayEnter(const NChar* path)
{
    struct stat info;
    return geteuid() == 0 && stat(path, &info) == 0 && S_ISDIR(info.st_mode) &&
           (info.st_mode & (S_IXGRP | S_IXOTH)) != 0;
}
