// Whole trees of a backup root on POSIX: counting what a snapshot holds and
// removing it. Both work through open folders (openat with O_NOFOLLOW,
// fstatat and unlinkat relative to the folder's descriptor), so that a user
// who swaps a folder of a snapshot for a symbolic link cannot lead a run as
// root out of the tree.
#include "platform/platform.h"
#include "platform/posix/layer_state.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

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

// ---- scanning ------------------------------------------------------------------

// Visits what the open folder fd holds; takes fd over and closes it.
static bool scanFolder(int fd, TreeFileVisitor visit, void* context)
{
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        failed("fdopendir");
        close(fd);
        return false;
    }
    bool whole = true;
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) whole = failed("readdir");
            break;
        }
        if (isDotName(entry->d_name)) continue;
        struct stat info;
        if (fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            failed("fstatat");
            whole = false;
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            int child = openat(dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0 || !scanFolder(child, visit, context)) {
                if (child < 0) failed("openat");
                whole = false;
            }
            continue;
        }
        TreeFile file;
        file.identity.volume = static_cast<uint64_t>(info.st_dev);
        file.identity.index = static_cast<uint64_t>(info.st_ino);
        file.size = S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0;
        file.linkCount = static_cast<uint64_t>(info.st_nlink);
        visit(&file, context);
    }
    closedir(dir);
    return whole;
}

bool platScanTree(const NChar* path, TreeFileVisitor visit, void* context)
{
    std::string name;
    int parent = openParent(path, &name);
    if (parent < 0) return failed("open");
    int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) failed("openat");
    close(parent);
    if (fd < 0) return false;
    return scanFolder(fd, visit, context);
}

// ---- renaming and removing -----------------------------------------------------

bool platRenameFolder(const NChar* from, const NChar* to)
{
    struct stat info;
    if (lstat(from, &info) != 0) return failed("lstat");
    if (!S_ISDIR(info.st_mode)) return failedWith("rename", ENOTDIR);
    // rename() never follows the last name of either path.
    return rename(from, to) == 0 || failed("rename");
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

static void removeEntry(int parent, const char* name, bool isFolder, const std::string& path, Removal* removal);

// Removes everything in the folder name of parent, then the folder itself.
static void removeFolder(int parent, const char* name, const std::string& path, Removal* removal)
{
    int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == EACCES) {
        // A folder without read or search right for its owner: give it
        // back; it is removed in a moment anyway.
        fchmodat(parent, name, S_IRWXU, AT_SYMLINK_NOFOLLOW);
        fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
        // Swapped for a link or a file since it was listed: remove that
        // name itself, never what it points to.
        if (errno == ENOTDIR || errno == ELOOP) return removeEntry(parent, name, false, path, removal);
        if (errno != ENOENT) reportFailure(removal, path, "openat");
        return;
    }
    struct stat info;
    // A read-only folder: its entries can be removed once its owner may
    // write it (root may anyway).
    if (fstat(fd, &info) == 0 && (info.st_mode & S_IRWXU) != S_IRWXU)
        fchmod(fd, (info.st_mode & 07777) | S_IRWXU);
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        reportFailure(removal, path, "fdopendir");
        close(fd);
        return;
    }
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) reportFailure(removal, path, "readdir");
            break;
        }
        if (isDotName(entry->d_name)) continue;
        bool isFolder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat child;
            isFolder = fstatat(dirfd(dir), entry->d_name, &child, AT_SYMLINK_NOFOLLOW) == 0 &&
                       S_ISDIR(child.st_mode);
        }
        removeEntry(dirfd(dir), entry->d_name, isFolder, path + "/" + entry->d_name, removal);
    }
    closedir(dir);
    if (unlinkat(parent, name, AT_REMOVEDIR) != 0 && errno != ENOENT)
        reportFailure(removal, path, "unlinkat");
}

static void removeEntry(int parent, const char* name, bool isFolder, const std::string& path, Removal* removal)
{
    if (isFolder) return removeFolder(parent, name, path, removal);
    if (unlinkat(parent, name, 0) == 0 || errno == ENOENT) return;
    // A folder put in the place of a file since the listing.
    if (errno == EISDIR) return removeFolder(parent, name, path, removal);
    reportFailure(removal, path, "unlinkat");
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
    struct stat info;
    if (fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) reportFailure(&removal, path, "fstatat");
    } else {
        std::string shown(path);
        while (shown.size() > 1 && shown.back() == '/') shown.pop_back();
        removeEntry(parent, name.c_str(), S_ISDIR(info.st_mode), shown, &removal);
    }
    close(parent);
    return removal.whole;
}

bool platRemoveTree(const NChar* path)
{
    return platRemoveTreeReporting(path, nullptr, nullptr);
}

bool platMakeFolderWritable(const NChar* path)
{
    std::string whole(path);
    while (whole.size() > 1 && whole.back() == '/') whole.pop_back();
    int fd = open(whole.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    // Write and search access for the owner, so that a folder that a
    // stopped run had already made read-only lets its entries be replaced.
    struct stat info;
    if (fstat(fd, &info) == 0 && (info.st_mode & S_IRWXU) != S_IRWXU)
        fchmod(fd, (info.st_mode & 07777) | S_IRWXU);
    close(fd);
    return true;
}
