// The POSIX side of the platform layer (Linux).
//
// How the Windows notions map here: the separator is '/', no entry is
// hidden (a dot name is an ordinary entry), a FIFO, socket or device is a
// system file, a
// symbolic link is never followed during the walk and is stored as a link,
// the creation time is the last-write time (POSIX cannot set a birth time),
// and times are carried at full nanosecond resolution. The walk works
// through open folder descriptors (the *At calls): a folder or link that
// another user swaps in during a run is never followed.
#include "platform/platform.h"
#include "platform/posix/content_copy.h"
#include "platform/posix/layer_state.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

bool platStartup()
{
    // A deep tree, several walking threads and their copies need far more
    // descriptors than the usual soft limit of 1024; the walk still keeps
    // within what it may have (platOpenFileLimit).
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            // An unlimited hard limit is above what the kernel allows.
            limit.rlim_cur = 1048576;
            if (limit.rlim_cur < limit.rlim_max) setrlimit(RLIMIT_NOFILE, &limit);
        }
    }
    return true;
}

long platOpenFileLimit()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > (1u << 30)) return 1L << 30;
    return static_cast<long>(limit.rlim_cur);
}

bool platIsDriveRoot(const NChar* path)
{
    return path[0] == '/' && path[1] == 0;
}

static uint32_t attributesOfMode(mode_t mode)
{
    if (S_ISDIR(mode)) return ATTR_DIRECTORY;
    if (S_ISLNK(mode)) return ATTR_REPARSE_POINT;
    if (S_ISREG(mode)) return 0;
    return ATTR_SYSTEM;
}

uint32_t platGetAttributes(const NChar* path)
{
    struct stat info;
    if (lstat(path, &info) != 0) return INVALID_ATTRIBUTES;
    return attributesOfMode(info.st_mode);
}

static FileTime fileTimeOf(const struct timespec& t)
{
    FileTime result;
    result.seconds = static_cast<int64_t>(t.tv_sec);
    result.fraction = static_cast<int32_t>(t.tv_nsec);
    return result;
}

PlatformState platformState;

// ---- the reason of the last failure ------------------------------------------

thread_local LayerFailure lastFailure = {nullptr, 0};

bool failedWith(const char* call, int code)
{
    lastFailure.call = call;
    lastFailure.code = code;
    return false;
}

// The code a reopened folder of another identity leaves as its reason: no
// errno says it.
const int REPLACED_FOLDER = -1;

bool failed(const char* call)
{
    return failedWith(call, errno);
}

void platFailureText(NChar* text, size_t capacity)
{
    if (capacity == 0) return;
    text[0] = 0;
    if (lastFailure.call == nullptr) return;
    // strerror_r of the GNU kind may return a static text instead of
    // filling the buffer.
    char buffer[256];
    const char* reason = lastFailure.code == REPLACED_FOLDER
                             ? "another folder stands at its name since it was first opened"
                             : strerror_r(lastFailure.code, buffer, sizeof buffer);
    snprintf(text, capacity, "%s: %s", lastFailure.call, reason);
}

void platResetState()
{
    if (platformState.inhibitLock >= 0) close(platformState.inhibitLock);
    platformState = PlatformState();
    lastFailure = LayerFailure{nullptr, 0};
}

// ---- attribute data ------------------------------------------------------------

static void fillFileData(const struct stat& info, FileData* data)
{
    data->attributes = attributesOfMode(info.st_mode);
    data->lastWriteTime = fileTimeOf(info.st_mtim);
    data->creationTime = data->lastWriteTime;
    data->lastAccessTime = fileTimeOf(info.st_atim);
    data->size = static_cast<uint64_t>(info.st_size);
    data->permissions = static_cast<uint32_t>(info.st_mode & 07777);
    data->owner = static_cast<uint32_t>(info.st_uid);
    data->group = static_cast<uint32_t>(info.st_gid);
    data->isSymbolicLink = S_ISLNK(info.st_mode);
    data->isSpecialFile = attributesOfMode(info.st_mode) == ATTR_SYSTEM;
}

bool platGetFileData(const NChar* path, FileData* data)
{
    struct stat info;
    if (lstat(path, &info) != 0) return failed("lstat");
    fillFileData(info, data);
    return true;
}

bool platGetIdentity(const NChar* path, FileIdentity* identity)
{
    struct stat info;
    if (stat(path, &info) != 0) return failed("stat");
    identity->volume = static_cast<uint64_t>(info.st_dev);
    identity->index = static_cast<uint64_t>(info.st_ino);
    return true;
}

// Whether the process may give files away; it cannot change during a run.
static bool isRoot()
{
    // A constant of the process, found once: its effective user never changes.
    static const bool root = geteuid() == 0;
    return root;
}

static void timesOf(const FileData* data, struct timespec times[2])
{
    times[0].tv_sec = static_cast<time_t>(data->lastAccessTime.seconds);
    times[0].tv_nsec = data->lastAccessTime.fraction;
    times[1].tv_sec = static_cast<time_t>(data->lastWriteTime.seconds);
    times[1].tv_nsec = data->lastWriteTime.fraction;
}

bool platSetTimes(const NChar* path, const FileData* data)
{
    struct timespec times[2];
    timesOf(data, times);
    return utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW) == 0 || failed("utimensat");
}

MakeDirResult platMakeDir(const NChar* path, bool ownerOnly)
{
    if (mkdir(path, ownerOnly ? 0700 : 0777) == 0) return MAKEDIR_OK;
    failed("mkdir");
    return errno == EEXIST ? MAKEDIR_EXISTS : MAKEDIR_FAILED;
}

bool platReplaceFile(const NChar* source, const NChar* target)
{
    return rename(source, target) == 0 || failed("rename");
}

bool platRemoveFile(const NChar* path)
{
    return unlink(path) == 0 || failed("unlink");
}

// ---- open folders --------------------------------------------------------------

// The descriptor of a folder, -1 for the null folder (one that could not
// be opened or made), so that every call in it fails with EBADF.
static int fdOf(DirHandle* dir)
{
    return dir != nullptr ? dir->fd : -1;
}

static DirHandle* dirHandleOf(int fd)
{
    if (fd < 0) return nullptr;
    DirHandle* dir = static_cast<DirHandle*>(malloc(sizeof(DirHandle)));
    if (dir == nullptr) {
        close(fd);
        errno = ENOMEM;
        failed("malloc");
        return nullptr;
    }
    dir->fd = fd;
    return dir;
}

// Opens name within the folder at, never through a symbolic link unless
// asked to (a path the user gave may be one). A source folder is read
// without touching its access time where the process may ask for it (its
// owner or root).
static int openFolderAt(int at, const char* name, int how)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | ((how & DIR_FOLLOW) ? 0 : O_NOFOLLOW);
    if (how & DIR_SOURCE) {
        int fd = openat(at, name, flags | O_NOATIME);
        if (fd >= 0 || errno != EPERM) return fd;
    }
    return openat(at, name, flags);
}

DirHandle* platOpenDir(DirHandle* parent, const NChar* name, const NChar* path, int how)
{
    int fd;
    if (parent != nullptr) {
        fd = openFolderAt(parent->fd, name, how & ~DIR_FOLLOW);
    } else if (how & DIR_FOLLOW) {
        fd = openFolderAt(AT_FDCWD, path, how);
    } else {
        // The last name of path is not followed: open its parent, then it.
        size_t length = strlen(path);
        while (length > 1 && path[length - 1] == '/') --length;
        size_t cut = length;
        while (cut > 0 && path[cut - 1] != '/') --cut;
        std::string parentPath(path, cut);
        std::string last(path + cut, length - cut);
        if (parentPath.empty()) parentPath = ".";
        int parentFd = open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (parentFd < 0) {
            failed("open");
            return nullptr;
        }
        fd = openFolderAt(parentFd, last.c_str(), how);
        int saved = errno;
        close(parentFd);
        errno = saved;
    }
    if (fd < 0) {
        failed("openat");
        return nullptr;
    }
    return dirHandleOf(fd);
}

void platCloseDir(DirHandle* dir)
{
    if (dir == nullptr) return;
    close(dir->fd);
    free(dir);
}

DirHandle* platReopenDir(DirHandle* parent, const NChar* name, const NChar* path, int how,
                         const FileIdentity* identity)
{
    DirHandle* dir = platOpenDir(parent, name, path, how);
    if (dir == nullptr) return nullptr;
    // The identity of what was opened, from its descriptor: the name may
    // have been given to another folder in the meantime.
    struct stat info;
    if (fstat(dir->fd, &info) != 0) {
        failed("fstat");
        platCloseDir(dir);
        return nullptr;
    }
    if (static_cast<uint64_t>(info.st_dev) != identity->volume ||
        static_cast<uint64_t>(info.st_ino) != identity->index) {
        platCloseDir(dir);
        failedWith("openat", REPLACED_FOLDER);
        return nullptr;
    }
    return dir;
}

MakeDirResult platMakeDirAt(DirHandle* parent, const NChar* name, const NChar* path,
                            DirHandle** made)
{
    (void)path;
    *made = nullptr;
    // Private until its content is in: it gets its final mode at the end.
    if (mkdirat(fdOf(parent), name, 0700) != 0) {
        failed("mkdirat");
        return errno == EEXIST ? MAKEDIR_EXISTS : MAKEDIR_FAILED;
    }
    *made = dirHandleOf(openFolderAt(parent->fd, name, 0));
    if (*made == nullptr) failed("openat");
    return *made != nullptr ? MAKEDIR_OK : MAKEDIR_FAILED;
}

bool platGetDirData(DirHandle* dir, FileData* data, FileIdentity* identity)
{
    struct stat info;
    if (fstat(fdOf(dir), &info) != 0) return failed("fstat");
    fillFileData(info, data);
    if (identity != nullptr) {
        identity->volume = static_cast<uint64_t>(info.st_dev);
        identity->index = static_cast<uint64_t>(info.st_ino);
    }
    return true;
}

// Owner and group first: a change of owner clears the set-id bits, which
// the mode then restores. Only root may give a file away.
static void setAccess(int fd, const FileData* data)
{
    if (isRoot() && fchown(fd, static_cast<uid_t>(data->owner), static_cast<gid_t>(data->group)) != 0)
        failed("fchown");
    if (fchmod(fd, static_cast<mode_t>(data->permissions)) != 0) failed("fchmod");
}

void platSetDirAccess(DirHandle* dir, const FileData* data)
{
    setAccess(fdOf(dir), data);
}

bool platSetDirTimes(DirHandle* dir, const FileData* data)
{
    struct timespec times[2];
    timesOf(data, times);
    return futimens(fdOf(dir), times) == 0 || failed("futimens");
}

void platProbeAccess(DirHandle* dir, bool* keepsModes, bool* keepsOwners)
{
    *keepsModes = false;
    *keepsOwners = false;
    // Tried on a folder of its own inside dir, made and removed here: dir
    // itself never belongs to another user, not even for a moment, and a
    // probe left by a killed run is removed by the next one.
    const char PROBE[] = ".linksnap-probe";
    int at = fdOf(dir);
    unlinkat(at, PROBE, AT_REMOVEDIR);
    if (mkdirat(at, PROBE, 0700) != 0) {
        failed("mkdirat");
        return;
    }
    int fd = openat(at, PROBE, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat before;
    if (fd >= 0 && fstat(fd, &before) == 0) {
        // An odd mode that no file system invents on its own.
        const mode_t probeMode = 0710;
        struct stat after;
        *keepsModes = fchmod(fd, probeMode) == 0 && fstat(fd, &after) == 0 &&
                      (after.st_mode & 07777) == probeMode;
        if (isRoot()) {
            // Another owner, with no rights for anyone: a file system that
            // keeps no owners (FAT, ntfs-3g without a user map) refuses it
            // or shows its mount owner.
            const uid_t probeOwner = before.st_uid == 1 ? 2 : 1;
            if (fchmod(fd, 0) == 0 && fchown(fd, probeOwner, probeOwner) == 0 && fstat(fd, &after) == 0)
                *keepsOwners = after.st_uid == probeOwner && after.st_gid == probeOwner;
        }
    }
    if (fd >= 0) close(fd);
    unlinkat(at, PROBE, AT_REMOVEDIR);
}

bool platGetFileDataAt(DirHandle* dir, const NChar* name, const NChar* path, FileData* data)
{
    (void)path;
    struct stat info;
    if (fstatat(fdOf(dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0) return failed("fstatat");
    fillFileData(info, data);
    return true;
}

bool platGetIdentityAt(DirHandle* dir, const NChar* name, const NChar* path, FileData* data,
                       FileIdentity* identity)
{
    (void)path;
    struct stat info;
    if (fstatat(fdOf(dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0) return failed("fstatat");
    fillFileData(info, data);
    identity->volume = static_cast<uint64_t>(info.st_dev);
    identity->index = static_cast<uint64_t>(info.st_ino);
    return true;
}

// The target text of the link name within the folder at; false when it
// cannot be read (it is gone, or no longer a link).
static bool readLinkTarget(int at, const char* name, std::vector<char>* target)
{
    target->resize(256);
    for (;;) {
        ssize_t n = readlinkat(at, name, target->data(), target->size());
        if (n < 0) return failed("readlinkat");
        if (static_cast<size_t>(n) < target->size()) {
            (*target)[static_cast<size_t>(n)] = 0;
            target->resize(static_cast<size_t>(n) + 1);
            return true;
        }
        if (target->size() >= (1u << 20)) return failedWith("readlinkat", ENAMETOOLONG);
        target->resize(target->size() * 2);
    }
}

bool platSameLinkTargetAt(DirHandle* dirA, const NChar* nameA, const NChar* pathA,
                          DirHandle* dirB, const NChar* nameB, const NChar* pathB)
{
    (void)pathA;
    (void)pathB;
    std::vector<char> first, second;
    return readLinkTarget(fdOf(dirA), nameA, &first) && readLinkTarget(fdOf(dirB), nameB, &second) &&
           first == second;
}

bool platRemoveFileAt(DirHandle* dir, const NChar* name, const NChar* path)
{
    (void)path;
    return unlinkat(fdOf(dir), name, 0) == 0 || failed("unlinkat");
}

// What a failed link means to the caller.
static CreateResult linkFailure(int code)
{
    switch (code) {
    case EEXIST: return CREATE_EXISTS;
    case EMLINK: return CREATE_TOO_MANY_LINKS;
    // ntfs-3g answers ERANGE once the file's list of attributes, which
    // holds one entry per name, is full (8,189 names, fewer for a file
    // with named streams): the same limit by another code.
    case ERANGE: return CREATE_TOO_MANY_LINKS;
    // FAT and exFAT answer EPERM; a share without links ENOSYS or
    // EOPNOTSUPP.
    case EPERM:
    case ENOSYS:
    case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
        return CREATE_UNSUPPORTED;
    default: return CREATE_FAILED;
    }
}

CreateResult platHardLinkAt(DirHandle* twinDir, const NChar* twinName, const NChar* twinPath,
                            DirHandle* newDir, const NChar* newName, const NChar* newPath)
{
    (void)twinPath;
    (void)newPath;
    // No AT_SYMLINK_FOLLOW: a link is linked as the link itself.
    if (linkat(fdOf(twinDir), twinName, fdOf(newDir), newName, 0) == 0) return CREATE_OK;
    failed("linkat");
    return linkFailure(errno);
}

// Makes the empty file name in the folder at for a probe, after removing
// what a killed run may have left of it and of its second name. False when
// it cannot be made.
static bool makeProbeFile(int at, const char* name, const char* second)
{
    unlinkat(at, second, 0);
    unlinkat(at, name, 0);
    int fd = openat(at, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return failed("openat");
    close(fd);
    return true;
}

bool platProbeLinkAttributes(DirHandle* dir)
{
    // A link to a probe file gets odd times, read back from the link: a
    // file system that gives them to the file it names (and may cache
    // that file's old ones) leaves the link's own as they were.
    const char TARGET[] = ".linksnap-probe-target";
    const char LINK[] = ".linksnap-probe-link";
    int at = fdOf(dir);
    if (!makeProbeFile(at, TARGET, LINK)) return false;
    bool kept = false;
    if (symlinkat(TARGET, at, LINK) == 0) {
        struct timespec odd[2] = {{1000000001, 0}, {1000000001, 0}};
        struct stat link;
        kept = utimensat(at, LINK, odd, AT_SYMLINK_NOFOLLOW) == 0 &&
               fstatat(at, LINK, &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode) &&
               link.st_mtim.tv_sec == odd[1].tv_sec;
    }
    unlinkat(at, LINK, 0);
    unlinkat(at, TARGET, 0);
    return kept;
}

bool platProbeHardLinks(DirHandle* dir)
{
    // Made and removed here; a probe left by a killed run goes first.
    const char PROBE[] = ".linksnap-probe-file";
    const char SECOND[] = ".linksnap-probe-name";
    int at = fdOf(dir);
    if (!makeProbeFile(at, PROBE, SECOND)) return true;
    bool linked = linkat(at, PROBE, at, SECOND, 0) == 0;
    bool unsupported = !linked && linkFailure(errno) == CREATE_UNSUPPORTED;
    if (!linked) failed("linkat");
    unlinkat(at, SECOND, 0);
    unlinkat(at, PROBE, 0);
    return !unsupported;
}


CreateResult platCopySymbolicLinkAt(DirHandle* sourceDir, const NChar* sourceName,
                                    const NChar* sourcePath, DirHandle* destinationDir,
                                    const NChar* destinationName, const NChar* destinationPath,
                                    bool replace, const FileData* data)
{
    (void)sourcePath;
    (void)destinationPath;
    std::vector<char> target;
    if (!readLinkTarget(fdOf(sourceDir), sourceName, &target)) return CREATE_FAILED;
    int at = fdOf(destinationDir);
    if (symlinkat(target.data(), at, destinationName) != 0) {
        failed("symlinkat");
        if (errno != EEXIST) return CREATE_FAILED;
        if (!replace) return CREATE_EXISTS;
        if (unlinkat(at, destinationName, 0) != 0 || symlinkat(target.data(), at, destinationName) != 0)
            return failed("symlinkat"), CREATE_FAILED;
    }
    // A link has no mode of its own; nothing here follows it. With no data
    // the link keeps what it was made with (a file system that would
    // follow it).
    if (data == nullptr) return CREATE_OK;
    if (isRoot() && fchownat(at, destinationName, static_cast<uid_t>(data->owner),
                             static_cast<gid_t>(data->group), AT_SYMLINK_NOFOLLOW) != 0)
        failed("fchownat");
    struct timespec times[2];
    timesOf(data, times);
    if (utimensat(at, destinationName, times, AT_SYMLINK_NOFOLLOW) != 0) failed("utimensat");
    return CREATE_OK;
}

// ---- enumeration -----------------------------------------------------------

// A folder is listed straight from its descriptor with getdents64 into a
// buffer of its own: no second descriptor, no stream around it.
const size_t LISTING_BUFFER = 32768;

struct FindHandle {
    int fd;
    bool ownsFd;
    bool broken; // the listing failed part-way
    size_t used;
    size_t at;
    alignas(struct dirent64) char buffer[LISTING_BUFFER];
};

static uint32_t attributesOfType(int fd, const char* name, unsigned char type)
{
    switch (type) {
    case DT_DIR: return ATTR_DIRECTORY;
    case DT_REG: return 0;
    case DT_LNK: return ATTR_REPARSE_POINT;
    case DT_FIFO:
    case DT_SOCK:
    case DT_CHR:
    case DT_BLK: return ATTR_SYSTEM;
    default: {
        // Some file systems do not tell the type in the listing.
        struct stat info;
        if (fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0) return attributesOfMode(info.st_mode);
        return 0;
    }
    }
}

// Reads the next entry, refilling the buffer when it is used up; false at
// the end of the folder or on a failure (then broken is set).
static bool readEntry(FindHandle* handle, FindEntry* entry)
{
    if (handle->at >= handle->used) {
        ssize_t n;
        do {
            n = getdents64(handle->fd, handle->buffer, sizeof handle->buffer);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            handle->broken = !failed("getdents64");
            return false;
        }
        if (n == 0) return false;
        handle->used = static_cast<size_t>(n);
        handle->at = 0;
    }
    const struct dirent64* d = reinterpret_cast<const struct dirent64*>(handle->buffer + handle->at);
    handle->at += d->d_reclen;
    entry->name = d->d_name;
    entry->attributes = attributesOfType(handle->fd, d->d_name, d->d_type);
    return true;
}

static FindHandle* findOf(int fd, bool ownsFd, FindEntry* entry)
{
    FindHandle* handle = static_cast<FindHandle*>(malloc(sizeof(FindHandle)));
    if (handle == nullptr) {
        failedWith("malloc", ENOMEM);
        if (ownsFd) close(fd);
        return nullptr;
    }
    handle->fd = fd;
    handle->ownsFd = ownsFd;
    handle->broken = false;
    handle->used = 0;
    handle->at = 0;
    if (!readEntry(handle, entry)) {
        platFindClose(handle);
        return nullptr;
    }
    return handle;
}

FindHandle* platFindFirst(const NChar* dirPath, FindEntry* entry)
{
    int fd = open(dirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return failed("open"), nullptr;
    return findOf(fd, true, entry);
}

FindHandle* platFindFirstIn(DirHandle* dir, const NChar* dirPath, FindEntry* entry)
{
    (void)dirPath;
    if (dir == nullptr) return failedWith("getdents64", EBADF), nullptr;
    // From its first entry, whatever was read of the folder before.
    lseek(dir->fd, 0, SEEK_SET);
    return findOf(dir->fd, false, entry);
}

bool platFindNext(FindHandle* handle, FindEntry* entry)
{
    return readEntry(handle, entry);
}

bool platFindClose(FindHandle* handle)
{
    bool whole = !handle->broken;
    if (handle->ownsFd) close(handle->fd);
    free(handle);
    return whole;
}

// ---- file content ------------------------------------------------------------

struct FileHandle {
    int fd;
};

bool platGetHandleIdentity(FileHandle* handle, FileIdentity* identity, uint64_t* linkCount)
{
    struct stat info;
    if (fstat(handle->fd, &info) != 0) return failed("fstat");
    identity->volume = static_cast<uint64_t>(info.st_dev);
    identity->index = static_cast<uint64_t>(info.st_ino);
    *linkCount = static_cast<uint64_t>(info.st_nlink);
    return true;
}

struct LinkSource {
    int fd;
};

LinkSource* platKeepLinkSource(FileHandle* copy)
{
    // A descriptor of the copy itself: whatever is renamed or swapped in
    // the snapshot's folders later, a link made through it names this file.
    LinkSource* source = static_cast<LinkSource*>(malloc(sizeof(LinkSource)));
    if (source == nullptr) return failedWith("malloc", ENOMEM), nullptr;
    source->fd = fcntl(copy->fd, F_DUPFD_CLOEXEC, 0);
    if (source->fd < 0) {
        failed("fcntl");
        free(source);
        return nullptr;
    }
    return source;
}

void platDropLinkSource(LinkSource* source)
{
    if (source == nullptr) return;
    close(source->fd);
    free(source);
}

CreateResult platHardLinkFrom(LinkSource* source, DirHandle* newDir, const NChar* newName,
                              const NChar* newPath)
{
    (void)newPath;
    // Linking a descriptor needs a privilege (CAP_DAC_READ_SEARCH); without
    // it, its entry in /proc names the same file and may be linked.
    if (linkat(source->fd, "", fdOf(newDir), newName, AT_EMPTY_PATH) == 0) return CREATE_OK;
    if (errno == ENOENT) {
        char proc[64];
        snprintf(proc, sizeof proc, "/proc/self/fd/%d", source->fd);
        if (linkat(AT_FDCWD, proc, fdOf(newDir), newName, AT_SYMLINK_FOLLOW) == 0) return CREATE_OK;
    }
    failed("linkat");
    return linkFailure(errno);
}

const bool platMovesContent = true;

ContentResult platCopyContent(FileHandle* source, FileHandle* destination, uint64_t* moved)
{
    return copyContent(source->fd, destination->fd, moved);
}

static FileHandle* handleOf(int fd)
{
    FileHandle* handle = static_cast<FileHandle*>(malloc(sizeof(FileHandle)));
    if (handle == nullptr) {
        failedWith("malloc", ENOMEM);
        close(fd);
        return nullptr;
    }
    handle->fd = fd;
    return handle;
}

OpenResult platOpenReadAt(DirHandle* dir, const NChar* name, const NChar* path,
                          FileHandle** handle, FileData* data)
{
    (void)path;
    // O_NONBLOCK: should a FIFO take the place of the file after it was
    // looked at, the open returns at once and the type test below refuses
    // it. O_NOFOLLOW: a link swapped in is not read through.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    int fd = openat(fdOf(dir), name, flags | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = openat(fdOf(dir), name, flags);
    if (fd < 0) return failed("openat"), OPEN_FAILED;
    struct stat info;
    if (fstat(fd, &info) != 0) {
        failed("fstat");
        close(fd);
        return OPEN_FAILED;
    }
    if (!S_ISREG(info.st_mode)) {
        close(fd);
        return OPEN_NOT_REGULAR;
    }
    fillFileData(info, data);
    // Back to blocking reads; keep the other status flags.
    int status = fcntl(fd, F_GETFL);
    if (status != -1) fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    *handle = handleOf(fd);
    return *handle != nullptr ? OPEN_OK : OPEN_FAILED;
}

CreateResult platCreateWriteAt(DirHandle* dir, const NChar* name, const NChar* path, bool replace,
                               FileHandle** handle)
{
    (void)path;
    // Read as well: the copy's content is hashed right after it is written.
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
    int at = fdOf(dir);
    // Private until whole: platCloseCopy gives it its mode.
    int fd = openat(at, name, flags, 0600);
    if (fd < 0 && errno == EEXIST) {
        if (!replace) return failed("openat"), CREATE_EXISTS;
        // Replace, never truncate: the old file may share its data with a
        // file of an earlier snapshot through a hard link.
        if (unlinkat(at, name, 0) == 0) fd = openat(at, name, flags, 0600);
    }
    if (fd < 0) return failed("openat"), CREATE_FAILED;
    *handle = handleOf(fd);
    return *handle != nullptr ? CREATE_OK : CREATE_FAILED;
}

bool platCloseCopy(FileHandle* handle, const FileData* data, StoredCopy* stored)
{
    if (stored != nullptr) stored->known = false;
    if (data == nullptr) return platClose(handle);
    // The copy gets its times only once the close found its data stored:
    // a copy whose last write failed must not pass for unchanged later.
    // A second descriptor outlives the close for that.
    int spare = fcntl(handle->fd, F_DUPFD_CLOEXEC, 0);
    bool closed = platClose(handle);
    if (spare < 0) return closed;
    if (closed) {
        setAccess(spare, data);
        struct timespec times[2];
        timesOf(data, times);
        if (futimens(spare, times) != 0) failed("futimens");
        // From the descriptor that set them, never again by name.
        struct stat info;
        if (stored != nullptr && fstat(spare, &info) == 0) {
            fillFileData(info, &stored->data);
            stored->identity.volume = static_cast<uint64_t>(info.st_dev);
            stored->identity.index = static_cast<uint64_t>(info.st_ino);
            stored->known = true;
        }
    }
    close(spare);
    return closed;
}

int64_t platRead(FileHandle* handle, void* buffer, int64_t size)
{
    char* at = static_cast<char*>(buffer);
    int64_t total = 0;
    // Fill the request as far as the file goes, so that a file that fits
    // the buffer moves with one write. A short read of a regular file means
    // its end: the next call reads 0 without another read before it here.
    while (total < size) {
        size_t wanted = static_cast<size_t>(size - total);
        ssize_t n = read(handle->fd, at + total, wanted);
        if (n < 0) {
            if (errno == EINTR) continue;
            failed("read");
            return -1;
        }
        total += n;
        if (static_cast<size_t>(n) < wanted) break;
    }
    return total;
}

int64_t platWrite(FileHandle* handle, const void* buffer, int64_t size)
{
    const char* at = static_cast<const char*>(buffer);
    int64_t total = 0;
    while (total < size) {
        ssize_t n = write(handle->fd, at + total, static_cast<size_t>(size - total));
        if (n < 0) {
            if (errno == EINTR) continue;
            failed("write");
            break;
        }
        if (n == 0) break;
        total += n;
    }
    return total;
}

int64_t platReadCopyAt(FileHandle* handle, void* buffer, int64_t size, uint64_t offset)
{
    for (;;) {
        ssize_t got = pread(handle->fd, buffer, static_cast<size_t>(size), static_cast<off_t>(offset));
        if (got >= 0) return got;
        if (errno != EINTR) return failed("pread"), -1;
    }
}

bool platCopyHasHoles(FileHandle* handle)
{
    struct stat info;
    if (fstat(handle->fd, &info) != 0) return false;
    off_t hole = lseek(handle->fd, 0, SEEK_HOLE);
    return hole >= 0 && hole < info.st_size;
}

bool platIsTerminal(FILE* stream)
{
    return isatty(fileno(stream)) == 1;
}

bool platClose(FileHandle* handle)
{
    int result = close(handle->fd);
    if (result != 0) failed("close");
    free(handle);
    return result == 0;
}

// ---- streams -----------------------------------------------------------------

FILE* platOpenStream(const NChar* path, const char* mode)
{
    int flags;
    if (strcmp(mode, "a") == 0 || strcmp(mode, "ab") == 0)
        flags = O_WRONLY | O_CREAT | O_APPEND;
    else if (strcmp(mode, "rb") == 0 || strcmp(mode, "r") == 0)
        flags = O_RDONLY;
    else if (strcmp(mode, "wb") == 0)
        flags = O_WRONLY | O_CREAT | O_EXCL;
    else if (strcmp(mode, "w") == 0)
        flags = O_WRONLY | O_CREAT | O_TRUNC;
    else
        return nullptr;
    // O_NONBLOCK: a FIFO of the file's name opens at once (or fails) and
    // is refused below instead of hanging the run.
    // The program's files hold paths and names of the users' files: made
    // for their owner alone, whatever the umask.
    int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) return failed("open"), nullptr;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        errno = EINVAL;
        failed("fstat");
        close(fd);
        return nullptr;
    }
    int status = fcntl(fd, F_GETFL);
    if (status != -1) fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    FILE* stream = fdopen(fd, mode[0] == 'r' ? "r" : mode[0] == 'a' ? "a" : "w");
    if (stream == nullptr) {
        failed("fdopen");
        close(fd);
    }
    return stream;
}

bool platWriteText(FILE* stream, const NChar* text, size_t count)
{
    // Bytes as they are: a name's UTF-8 (or any other bytes) unchanged.
    return fwrite(text, 1, count, stream) == count;
}

bool platSyncStream(FILE* stream)
{
    if (fflush(stream) != 0) return failed("fflush");
    return fsync(fileno(stream)) == 0 || failed("fsync");
}

// ---- time --------------------------------------------------------------------

int64_t platNow()
{
    return static_cast<int64_t>(time(nullptr));
}

bool platLocalClock(int64_t when, LocalTime* local)
{
    time_t t = static_cast<time_t>(when);
    struct tm parts;
    if (localtime_r(&t, &parts) == nullptr) return failed("localtime_r");
    *local = {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec};
    return true;
}

// ---- this process and this machine -------------------------------------------

unsigned long platProcessId()
{
    return static_cast<unsigned long>(getpid());
}

bool platHostName(NChar* name, size_t capacity)
{
    // Large enough for any host name (HOST_NAME_MAX is 64 on Linux); a
    // name that fills it may have been cut and is refused.
    char host[256];
    if (gethostname(host, sizeof host) != 0) return failed("gethostname");
    host[sizeof host - 1] = 0;
    if (strlen(host) >= sizeof host - 1) return failedWith("gethostname", ENAMETOOLONG);
    return copyText(name, capacity, host);
}

int platCoreCount()
{
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return cores < 1 ? 1 : cores > 4096 ? 4096 : static_cast<int>(cores);
}

// ---- keep-awake ----------------------------------------------------------------

// A logind "sleep" inhibitor lock, taken over D-Bus through libsystemd, which
// is loaded at run time so that the program runs where it is missing. The
// lock lasts while its file descriptor is open.
namespace {
struct SdBus;
struct SdBusMessage;
struct SdBusError {
    const char* name;
    const char* message;
    int needsFree;
};
typedef int (*OpenSystemFn)(SdBus**);
typedef int (*CallMethodFn)(SdBus*, const char*, const char*, const char*, const char*,
                            SdBusError*, SdBusMessage**, const char*, ...);
typedef int (*ReadFn)(SdBusMessage*, const char*, ...);
typedef SdBusMessage* (*MessageUnrefFn)(SdBusMessage*);
typedef SdBus* (*BusUnrefFn)(SdBus*);
typedef void (*ErrorFreeFn)(SdBusError*);
}

static void takeSleepLock()
{
    void* library = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return;
    OpenSystemFn openSystem = reinterpret_cast<OpenSystemFn>(dlsym(library, "sd_bus_open_system"));
    CallMethodFn callMethod = reinterpret_cast<CallMethodFn>(dlsym(library, "sd_bus_call_method"));
    ReadFn readMessage = reinterpret_cast<ReadFn>(dlsym(library, "sd_bus_message_read"));
    MessageUnrefFn messageUnref =
        reinterpret_cast<MessageUnrefFn>(dlsym(library, "sd_bus_message_unref"));
    BusUnrefFn busUnref = reinterpret_cast<BusUnrefFn>(dlsym(library, "sd_bus_unref"));
    ErrorFreeFn errorFree = reinterpret_cast<ErrorFreeFn>(dlsym(library, "sd_bus_error_free"));
    if (openSystem == nullptr || callMethod == nullptr || readMessage == nullptr ||
        messageUnref == nullptr || busUnref == nullptr || errorFree == nullptr) {
        dlclose(library);
        return;
    }
    SdBus* bus = nullptr;
    if (openSystem(&bus) >= 0 && bus != nullptr) {
        SdBusError error = {nullptr, nullptr, 0};
        SdBusMessage* reply = nullptr;
        if (callMethod(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                       "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss",
                       "sleep", "linksnap", "backup in progress", "block") >= 0) {
            int fd = -1;
            // The descriptor belongs to the message; keep a copy of our own.
            if (readMessage(reply, "h", &fd) >= 0 && fd >= 0)
                platformState.inhibitLock = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        }
        if (reply != nullptr) messageUnref(reply);
        errorFree(&error);
        busUnref(bus);
    }
    dlclose(library);
}

void platKeepAwake(bool on)
{
    if (on) {
        if (platformState.inhibitLock < 0) takeSleepLock();
    } else if (platformState.inhibitLock >= 0) {
        close(platformState.inhibitLock);
        platformState.inhibitLock = -1;
    }
}

// ---- child processes -------------------------------------------------------------

// Splits a command line at blanks; double quotes group blanks into a word
// and are removed. The words point into commandLine, which is cut in place.
static std::vector<char*> splitCommandLine(char* commandLine)
{
    std::vector<char*> words;
    char* read = commandLine;
    while (*read != 0) {
        while (*read == ' ' || *read == '\t') ++read;
        if (*read == 0) break;
        char* word = read;
        char* write = read;
        bool quoted = false;
        while (*read != 0 && (quoted || (*read != ' ' && *read != '\t'))) {
            if (*read == '"')
                quoted = !quoted;
            else
                *write++ = *read;
            ++read;
        }
        bool more = *read != 0;
        if (more) ++read;
        *write = 0;
        words.push_back(word);
        if (!more) break;
    }
    words.push_back(nullptr);
    return words;
}

// The same meaning as the Windows command: power off now.
const NChar platShutdownCommand[] = "shutdown -P now";

int32_t platRunCommand(NChar* commandLine, int inheritHandles, int hideWindow)
{
    (void)hideWindow; // no windows here
    std::vector<char*> words = splitCommandLine(commandLine);
    if (words.size() < 2) return failedWith("posix_spawnp", ENOENT), -1;

    posix_spawn_file_actions_t actions;
    int code = posix_spawn_file_actions_init(&actions);
    if (code != 0) return failedWith("posix_spawn_file_actions_init", code), -1;
    // Standard input, output and error are shared; nothing else reaches
    // the child unless asked for.
    if (!inheritHandles && (code = posix_spawn_file_actions_addclosefrom_np(&actions, 3)) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return failedWith("posix_spawn_file_actions_addclosefrom_np", code), -1;
    }
    pid_t child;
    int started = posix_spawnp(&child, words[0], &actions, nullptr, words.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    // posix_spawnp returns its reason; errno is not set.
    if (started != 0) return failedWith("posix_spawnp", started), -1;

    int status;
    for (;;) {
        pid_t waited = waitpid(child, &status, 0);
        if (waited == child) break;
        if (waited < 0 && errno == EINTR) continue;
        return failed("waitpid"), -2;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    // A child ended by a signal reports it as the shell does.
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -2;
}

// ---- absolute paths ----------------------------------------------------------

// Appends the components of text to the path out (of *length characters,
// every component behind a '/', the root empty), resolving "." and ".." by
// the text: ".." at the root stays at the root, as the kernel has it.
static void appendComponents(char* out, size_t* length, const char* text)
{
    for (;;) {
        while (*text == '/') ++text;
        const char* end = text;
        while (*end != 0 && *end != '/') ++end;
        size_t size = static_cast<size_t>(end - text);
        if (size == 0) return;
        if (size == 2 && text[0] == '.' && text[1] == '.') {
            while (*length > 0 && out[*length - 1] != '/') --*length;
            if (*length > 0) --*length;
        } else if (size != 1 || text[0] != '.') {
            out[(*length)++] = '/';
            memcpy(out + *length, text, size);
            *length += size;
        }
        text = end;
    }
}

FullPathResult platFullPath(const NChar* path, NChar* buffer, size_t capacity)
{
    if (capacity > 0) buffer[0] = 0;
    char* workingFolder = nullptr;
    if (path[0] != '/') {
        workingFolder = getcwd(nullptr, 0);
        if (workingFolder == nullptr) return failed("getcwd"), FULLPATH_FAILED;
    }
    // The result is never longer than both texts and a separator between.
    size_t size = (workingFolder != nullptr ? strlen(workingFolder) : 0) + strlen(path) + 2;
    char* full = static_cast<char*>(malloc(size));
    if (full == nullptr) {
        failedWith("malloc", ENOMEM);
        free(workingFolder);
        return FULLPATH_FAILED;
    }
    size_t length = 0;
    if (workingFolder != nullptr) appendComponents(full, &length, workingFolder);
    appendComponents(full, &length, path);
    free(workingFolder);
    if (length == 0) full[length++] = '/';
    full[length] = 0;
    bool fits = copyText(buffer, capacity, full);
    free(full);
    return fits ? FULLPATH_OK : FULLPATH_TOO_LONG;
}
