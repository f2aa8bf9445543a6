// The lock of a backup root on POSIX: flock on a descriptor of a regular
// file opened without following a symbolic link. The kernel releases the
// lock when the process ends, however it ends.
#include "platform/platform.h"
#include "platform/posix/layer_state.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

struct LockHandle {
    int fd;
};

// Takes the lock of the open lock file fd, without waiting; fd is closed
// unless LOCK_TAKEN.
static LockResult lockOpenFile(int fd, LockHandle** handle)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        bool busy = errno == EWOULDBLOCK;
        failed("flock");
        close(fd);
        return busy ? LOCK_BUSY : LOCK_FAILED;
    }
    LockHandle* result = static_cast<LockHandle*>(malloc(sizeof(LockHandle)));
    if (result == nullptr) {
        failedWith("malloc", ENOMEM);
        close(fd);
        return LOCK_FAILED;
    }
    result->fd = fd;
    *handle = result;
    return LOCK_TAKEN;
}

LockResult platLockFile(const NChar* path, LockHandle** handle)
{
    *handle = nullptr;
    // O_NONBLOCK: a FIFO of that name opens at once and is refused below.
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        failed("open");
        struct stat seen;
        bool other = lstat(path, &seen) == 0 && !S_ISREG(seen.st_mode);
        return other ? LOCK_NOT_REGULAR : LOCK_FAILED;
    }
    struct stat info;
    if (fstat(fd, &info) != 0) {
        failed("fstat");
        close(fd);
        return LOCK_FAILED;
    }
    if (!S_ISREG(info.st_mode)) {
        close(fd);
        return LOCK_NOT_REGULAR;
    }
    return lockOpenFile(fd, handle);
}

LockResult platLockFileWaiting(const NChar* path, LockHandle** handle, int waitMilliseconds)
{
    for (int waited = 0;; waited += 50) {
        LockResult result = platLockFile(path, handle);
        if (result != LOCK_BUSY || waited >= waitMilliseconds) return result;
        usleep(50 * 1000);
    }
}

LockResult platTryLockExisting(const NChar* path, LockHandle** handle)
{
    *handle = nullptr;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno == ENOENT ? LOCK_MISSING : LOCK_FAILED;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return LOCK_FAILED;
    }
    // flock takes an exclusive lock on a descriptor opened for reading too.
    return lockOpenFile(fd, handle);
}

bool platReadLockText(LockHandle* handle, NChar* text, size_t capacity)
{
    if (capacity == 0) return false;
    size_t used = 0;
    for (;;) {
        if (used + 1 >= capacity) {
            // Full: only a file that ends right here fits.
            char probe;
            ssize_t more = pread(handle->fd, &probe, 1, static_cast<off_t>(used));
            text[used] = 0;
            return more == 0 || failedWith("pread", EFBIG);
        }
        ssize_t got = pread(handle->fd, text + used, capacity - 1 - used, static_cast<off_t>(used));
        if (got < 0) {
            if (errno == EINTR) continue;
            text[0] = 0;
            return failed("pread");
        }
        if (got == 0) break;
        used += static_cast<size_t>(got);
    }
    text[used] = 0;
    return true;
}

bool platWriteLockText(LockHandle* handle, const NChar* text)
{
    size_t length = strlen(text);
    if (ftruncate(handle->fd, 0) != 0) return failed("ftruncate");
    size_t done = 0;
    while (done < length) {
        ssize_t put = pwrite(handle->fd, text + done, length - done, static_cast<off_t>(done));
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return failed("pwrite");
        if (put == 0) return failedWith("pwrite", ENOSPC);
        done += static_cast<size_t>(put);
    }
    return fsync(handle->fd) == 0 || failed("fsync");
}

void platUnlockFile(LockHandle* handle)
{
    if (handle == nullptr) return;
    flock(handle->fd, LOCK_UN);
    close(handle->fd);
    free(handle);
}
