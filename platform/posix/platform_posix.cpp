// The POSIX side of the platform layer (Linux).
//
// How the Windows notions map here: the separator is '/', no entry is
// hidden (a dot name is an ordinary entry), a FIFO, socket or device is a
// system file, a
// symbolic link is never followed during the walk and is stored as a link,
// the creation time is the last-write time (POSIX cannot set a birth time),
// and times are carried at full nanosecond resolution.
#include "platform/platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

extern char** environ;

bool platStartup()
{
    return true;
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

bool platGetFileData(const NChar* path, FileData* data)
{
    struct stat info;
    if (lstat(path, &info) != 0) return false;
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
    return true;
}

bool platGetIdentity(const NChar* path, FileIdentity* identity)
{
    struct stat info;
    if (stat(path, &info) != 0) return false;
    identity->volume = static_cast<uint64_t>(info.st_dev);
    identity->index = static_cast<uint64_t>(info.st_ino);
    return true;
}

// Whether the process may give files away; it cannot change during a run.
static bool isRoot()
{
    static const bool root = geteuid() == 0;
    return root;
}

bool platSetAttributes(const NChar* path, const FileData* data)
{
    bool ok = true;
    // Owner and group first: a change of owner clears the set-id bits,
    // which the mode below then restores. Only root may give a file away.
    if (isRoot() &&
        lchown(path, static_cast<uid_t>(data->owner), static_cast<gid_t>(data->group)) != 0)
        ok = false;
    // A symbolic link has no permission bits of its own.
    if (!data->isSymbolicLink && chmod(path, static_cast<mode_t>(data->permissions)) != 0)
        ok = false;
    return ok;
}

bool platSetTimes(const NChar* path, const FileData* data)
{
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(data->lastAccessTime.seconds);
    times[0].tv_nsec = data->lastAccessTime.fraction;
    times[1].tv_sec = static_cast<time_t>(data->lastWriteTime.seconds);
    times[1].tv_nsec = data->lastWriteTime.fraction;
    return utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW) == 0;
}

void platCopyFolderAccess(const NChar* source, const NChar* destination)
{
    struct stat info;
    if (stat(source, &info) != 0) return;
    if (isRoot()) {
        if (chown(destination, info.st_uid, info.st_gid) != 0) return;
    }
    chmod(destination, info.st_mode & 07777);
}

CreateResult platHardLink(const NChar* newPath, const NChar* existingPath)
{
    if (link(existingPath, newPath) == 0) return CREATE_OK;
    return errno == EEXIST ? CREATE_EXISTS : CREATE_FAILED;
}

// The target text of a symbolic link; false when it cannot be read.
static bool readLinkTarget(const char* path, std::vector<char>* target)
{
    target->resize(256);
    for (;;) {
        ssize_t n = readlink(path, target->data(), target->size());
        if (n < 0) return false;
        if (static_cast<size_t>(n) < target->size()) {
            (*target)[static_cast<size_t>(n)] = 0;
            target->resize(static_cast<size_t>(n) + 1);
            return true;
        }
        if (target->size() >= (1u << 20)) return false;
        target->resize(target->size() * 2);
    }
}

bool platSameLinkTarget(const NChar* a, const NChar* b)
{
    std::vector<char> first, second;
    return readLinkTarget(a, &first) && readLinkTarget(b, &second) && first == second;
}

void platProbeAccess(const NChar* dirPath, bool* keepsModes, bool* keepsOwners)
{
    *keepsModes = false;
    *keepsOwners = false;
    struct stat before;
    if (stat(dirPath, &before) != 0) return;
    // An odd mode that no file system invents on its own.
    const mode_t probeMode = 0751;
    struct stat after;
    *keepsModes = chmod(dirPath, probeMode) == 0 && stat(dirPath, &after) == 0 &&
                  (after.st_mode & 07777) == probeMode;
    if (isRoot()) {
        // Another owner, for a moment, with no rights for anyone: a file
        // system that keeps no owners (FAT, ntfs-3g without a user map)
        // refuses it or shows its mount owner.
        const uid_t probeOwner = before.st_uid == 1 ? 2 : 1;
        if (chmod(dirPath, 0) == 0 && chown(dirPath, probeOwner, probeOwner) == 0 &&
            stat(dirPath, &after) == 0)
            *keepsOwners = after.st_uid == probeOwner && after.st_gid == probeOwner;
        if (chown(dirPath, before.st_uid, before.st_gid) != 0) *keepsOwners = false;
    }
    chmod(dirPath, before.st_mode & 07777);
}

MakeDirResult platMakeDir(const NChar* path)
{
    if (mkdir(path, 0777) == 0) return MAKEDIR_OK;
    return errno == EEXIST ? MAKEDIR_EXISTS : MAKEDIR_FAILED;
}

bool platReplaceFile(const NChar* source, const NChar* target)
{
    return rename(source, target) == 0;
}

bool platRemoveFile(const NChar* path)
{
    return unlink(path) == 0;
}

// ---- enumeration -----------------------------------------------------------

struct FindHandle {
    DIR* dir;
};

// Reads entries until one is found; fills entry from d_type and the name,
// asking the file system only where d_type is unknown.
static bool readEntry(FindHandle* handle, FindEntry* entry)
{
    for (;;) {
        errno = 0;
        struct dirent* d = readdir(handle->dir);
        if (d == nullptr) return false;
        uint32_t attributes;
        switch (d->d_type) {
        case DT_DIR: attributes = ATTR_DIRECTORY; break;
        case DT_REG: attributes = 0; break;
        case DT_LNK: attributes = ATTR_REPARSE_POINT; break;
        case DT_FIFO:
        case DT_SOCK:
        case DT_CHR:
        case DT_BLK: attributes = ATTR_SYSTEM; break;
        default: {
            struct stat info;
            if (fstatat(dirfd(handle->dir), d->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0)
                attributes = attributesOfMode(info.st_mode);
            else
                attributes = 0;
            break;
        }
        }
        entry->name = d->d_name;
        entry->attributes = attributes;
        return true;
    }
}

FindHandle* platFindFirst(const NChar* dirPath, FindEntry* entry)
{
    DIR* dir = opendir(dirPath);
    if (dir == nullptr) return nullptr;
    FindHandle* handle = static_cast<FindHandle*>(malloc(sizeof(FindHandle)));
    if (handle == nullptr) {
        closedir(dir);
        return nullptr;
    }
    handle->dir = dir;
    if (!readEntry(handle, entry)) {
        platFindClose(handle);
        return nullptr;
    }
    return handle;
}

bool platFindNext(FindHandle* handle, FindEntry* entry)
{
    return readEntry(handle, entry);
}

void platFindClose(FindHandle* handle)
{
    closedir(handle->dir);
    free(handle);
}

// ---- file content ------------------------------------------------------------

struct FileHandle {
    int fd;
};

static FileHandle* handleOf(int fd)
{
    FileHandle* handle = static_cast<FileHandle*>(malloc(sizeof(FileHandle)));
    if (handle == nullptr) {
        close(fd);
        return nullptr;
    }
    handle->fd = fd;
    return handle;
}

OpenResult platOpenRead(const NChar* path, FileHandle** handle)
{
    // O_NONBLOCK: should a FIFO take the place of the file after it was
    // looked at, the open returns at once and the type test below refuses it.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return OPEN_FAILED;
    struct stat info;
    if (fstat(fd, &info) != 0) {
        close(fd);
        return OPEN_FAILED;
    }
    if (!S_ISREG(info.st_mode)) {
        close(fd);
        return OPEN_NOT_REGULAR;
    }
    // Back to blocking reads; the open set no other flag that F_SETFL keeps.
    fcntl(fd, F_SETFL, 0);
    *handle = handleOf(fd);
    return *handle != nullptr ? OPEN_OK : OPEN_FAILED;
}

CreateResult platCreateWrite(const NChar* path, bool replace, FileHandle** handle)
{
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
    int fd = open(path, flags, 0666);
    if (fd < 0 && errno == EEXIST) {
        if (!replace) return CREATE_EXISTS;
        // Replace, never truncate: the old file may share its data with a
        // file of an earlier snapshot through a hard link.
        if (unlink(path) == 0) fd = open(path, flags, 0666);
    }
    if (fd < 0) return CREATE_FAILED;
    *handle = handleOf(fd);
    return *handle != nullptr ? CREATE_OK : CREATE_FAILED;
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
            break;
        }
        if (n == 0) break;
        total += n;
    }
    return total;
}

bool platClose(FileHandle* handle)
{
    int result = close(handle->fd);
    free(handle);
    return result == 0;
}

CreateResult platCopySymbolicLink(const NChar* source, const NChar* destination, bool replace)
{
    std::vector<char> target;
    if (!readLinkTarget(source, &target)) return CREATE_FAILED;
    if (symlink(target.data(), destination) == 0) return CREATE_OK;
    if (errno != EEXIST) return CREATE_FAILED;
    if (!replace) return CREATE_EXISTS;
    if (unlink(destination) != 0) return CREATE_FAILED;
    return symlink(target.data(), destination) == 0 ? CREATE_OK : CREATE_FAILED;
}

// ---- streams -----------------------------------------------------------------

FILE* platOpenStream(const NChar* path, const char* mode)
{
    char fullMode[8];
    if (!formatText(fullMode, sizeof fullMode, "%se", mode)) return nullptr;
    return fopen(path, fullMode);
}

bool platSyncStream(FILE* stream)
{
    if (fflush(stream) != 0) return false;
    return fsync(fileno(stream)) == 0;
}

// ---- time --------------------------------------------------------------------

int64_t platNow()
{
    return static_cast<int64_t>(time(nullptr));
}

bool platLocalDate(int64_t when, int* year, int* month, int* day)
{
    time_t t = static_cast<time_t>(when);
    struct tm local;
    if (localtime_r(&t, &local) == nullptr) return false;
    *year = local.tm_year + 1900;
    *month = local.tm_mon + 1;
    *day = local.tm_mday;
    return true;
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

int inhibitLock = -1;
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
                inhibitLock = fcntl(fd, F_DUPFD_CLOEXEC, 3);
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
        if (inhibitLock < 0) takeSleepLock();
    } else if (inhibitLock >= 0) {
        close(inhibitLock);
        inhibitLock = -1;
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
    if (words.size() < 2) return -1;

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return -1;
    // Standard input, output and error are shared; nothing else reaches
    // the child unless asked for.
    if (!inheritHandles && posix_spawn_file_actions_addclosefrom_np(&actions, 3) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    pid_t child;
    int started = posix_spawnp(&child, words[0], &actions, nullptr, words.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) return -1;

    int status;
    for (;;) {
        pid_t waited = waitpid(child, &status, 0);
        if (waited == child) break;
        if (waited < 0 && errno == EINTR) continue;
        return -2;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    // A child ended by a signal reports it as the shell does.
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -2;
}
