/* Fault injection for the end-to-end tests, loaded with LD_PRELOAD into
 * the program under test. Each fault stands for a real event that a test
 * cannot otherwise time, and acts on one path named in the environment:
 *
 *   FAULT_READ_PATH    reading this file (read, pread, copy_file_range)
 *                      fails with EIO from FAULT_READ_AFTER bytes on
 *                      (default 4096): a bad sector in the middle of a file.
 *   FAULT_NO_KERNEL_COPY  copy_file_range() fails with EXDEV: a backup disk
 *                      that the kernel cannot copy to.
 *   FAULT_MALLOC_OVER  malloc() of this many bytes or more fails: a machine
 *                      short of memory (ulimit -v).
 *   FAULT_VANISH_PATH  the file is deleted right before the program opens
 *                      it: another program removed it after the folder
 *                      was listed.
 *   FAULT_REPLACE_DIR  right before the program lists this folder, the
 *                      folder is moved to <path>.moved and a file takes
 *                      its name: a folder replaced after its parent was
 *                      listed.
 *   FAULT_STAT_PATH    lstat() of this path fails with EIO, while the file
 *                      still opens: attribute data that cannot be read.
 *   FAULT_CLOSE_PATH   close() of this file closes it, then fails with EIO:
 *                      a delayed write error that shows only at the close.
 *   FAULT_LIST_PATH    listing this folder fails with EIO at its second
 *                      read (getdents64): a folder that breaks off
 *                      part-way (a bad block, a network share that drops).
 *   FAULT_STOP_PATH    the process stops itself (SIGSTOP) right before it
 *                      opens, lists or renames this path, so that the test
 *                      can kill it there: a crash or power cut mid-run.
 *   FAULT_STOP_UNLINK  the process stops itself right before it unlinks an
 *                      entry of this name (relative to an open folder):
 *                      a power cut in the middle of removing a tree.
 *
 * Paths compare as the program passes them, less trailing slashes; a name
 * that the program passes relative to an open folder compares as that
 * folder's path joined with the name. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static int samePath(const char* path, const char* wanted)
{
    size_t a, b;
    if (path == NULL || wanted == NULL || wanted[0] == 0) return 0;
    a = strlen(path);
    b = strlen(wanted);
    while (a > 1 && path[a - 1] == '/') --a;
    while (b > 1 && wanted[b - 1] == '/') --b;
    return a == b && memcmp(path, wanted, a) == 0;
}

static int isFaultPath(const char* path, const char* variable)
{
    return samePath(path, getenv(variable));
}

static void* next(const char* name)
{
    void* function = dlsym(RTLD_NEXT, name);
    if (function == NULL) {
        fprintf(stderr, "fault shim: no %s\n", name);
        abort();
    }
    return function;
}

/* The path of name relative to the open folder dir, in buffer. */
static const char* fullPath(int dir, const char* name, char* buffer, size_t size)
{
    char link[64];
    ssize_t n;
    if (name == NULL || name[0] == '/' || dir == AT_FDCWD) return name;
    snprintf(link, sizeof link, "/proc/self/fd/%d", dir);
    n = readlink(link, buffer, size - 1);
    if (n <= 0) return name;
    buffer[n] = 0;
    if ((size_t)n + 1 + strlen(name) + 1 > size) return name;
    strcat(buffer, "/");
    strcat(buffer, name);
    return buffer;
}

/* Acts before the program touches path. */
static void beforeUse(const char* path)
{
    if (isFaultPath(path, "FAULT_STOP_PATH")) raise(SIGSTOP);
    if (isFaultPath(path, "FAULT_VANISH_PATH")) unlink(path);
}

/* Moves the folder path to <path>.moved and puts a file in its place. */
static void replaceFolder(const char* path)
{
    char moved[4096];
    size_t length = strlen(path);
    if (!isFaultPath(path, "FAULT_REPLACE_DIR")) return;
    while (length > 1 && path[length - 1] == '/') --length;
    if (length + sizeof ".moved" <= sizeof moved) {
        memcpy(moved, path, length);
        memcpy(moved + length, ".moved", sizeof ".moved");
        if (rename(path, moved) == 0) {
            moved[length] = 0;
            int fd = creat(moved, 0644);
            if (fd >= 0) {
                if (write(fd, "now a file\n", 11) != 11) {}
                close(fd);
            }
        }
    }
}

typedef int (*OpenFn)(const char*, int, ...);
typedef int (*OpenAtFn)(int, const char*, int, ...);

/* The mode argument, which the open calls take only when they create. */
#define TAKE_MODE(flags, mode)                                                 \
    do {                                                                       \
        if (((flags) & O_CREAT) || ((flags) & O_TMPFILE) == O_TMPFILE) {       \
            va_list values;                                                    \
            va_start(values, flags);                                           \
            mode = va_arg(values, mode_t);                                     \
            va_end(values);                                                    \
        }                                                                      \
    } while (0)

int open(const char* path, int flags, ...)
{
    static OpenFn real;
    mode_t mode = 0;
    TAKE_MODE(flags, mode);
    if (real == NULL) real = (OpenFn)next("open");
    beforeUse(path);
    return real(path, flags, mode);
}

/* One call on 64-bit systems, where every offset is 64 bits wide. */
int open64(const char* path, int flags, ...)
{
    mode_t mode = 0;
    TAKE_MODE(flags, mode);
    return open(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...)
{
    static OpenAtFn real;
    char buffer[4096];
    const char* full = fullPath(dir, path, buffer, sizeof buffer);
    mode_t mode = 0;
    TAKE_MODE(flags, mode);
    if (real == NULL) real = (OpenAtFn)next("openat");
    beforeUse(full);
    if (flags & O_DIRECTORY) replaceFolder(full);
    return real(dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...)
{
    mode_t mode = 0;
    TAKE_MODE(flags, mode);
    return openat(dir, path, flags, mode);
}

typedef FILE* (*FopenFn)(const char*, const char*);

FILE* fopen(const char* path, const char* mode)
{
    static FopenFn real;
    if (real == NULL) real = (FopenFn)next("fopen");
    beforeUse(path);
    return real(path, mode);
}

FILE* fopen64(const char* path, const char* mode)
{
    return fopen(path, mode);
}

typedef DIR* (*OpendirFn)(const char*);

DIR* opendir(const char* path)
{
    static OpendirFn real;
    if (real == NULL) real = (OpendirFn)next("opendir");
    beforeUse(path);
    replaceFolder(path);
    return real(path);
}

typedef int (*RenameFn)(const char*, const char*);

int rename(const char* from, const char* to)
{
    static RenameFn real;
    if (real == NULL) real = (RenameFn)next("rename");
    if (isFaultPath(from, "FAULT_STOP_PATH")) raise(SIGSTOP);
    return real(from, to);
}

typedef int (*UnlinkAtFn)(int, const char*, int);

int unlinkat(int dir, const char* name, int flags)
{
    static UnlinkAtFn real;
    if (real == NULL) real = (UnlinkAtFn)next("unlinkat");
    if (isFaultPath(name, "FAULT_STOP_UNLINK")) raise(SIGSTOP);
    return real(dir, name, flags);
}

typedef ssize_t (*ReadFn)(int, void*, size_t);

/* The path behind a descriptor, to find the file that is to fail. */
static int descriptorIs(int fd, const char* wanted)
{
    char link[64];
    char path[4096];
    ssize_t n;
    if (wanted == NULL || wanted[0] == 0) return 0;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    n = readlink(link, path, sizeof path - 1);
    if (n <= 0) return 0;
    path[n] = 0;
    return samePath(path, wanted);
}

/* The bytes that may still be read of fd at offset before the bad sector
 * of FAULT_READ_PATH; -1 for a descriptor of another file. */
static off_t readableAt(int fd, off_t offset)
{
    const char* after;
    off_t limit;
    if (!descriptorIs(fd, getenv("FAULT_READ_PATH"))) return -1;
    after = getenv("FAULT_READ_AFTER");
    limit = after != NULL ? (off_t)atoll(after) : 4096;
    return offset >= limit ? 0 : limit - offset;
}

typedef ssize_t (*PreadFn)(int, void*, size_t, off_t);

ssize_t pread(int fd, void* buffer, size_t count, off_t offset)
{
    static PreadFn real;
    off_t left = readableAt(fd, offset);
    if (real == NULL) real = (PreadFn)next("pread");
    if (left == 0) {
        errno = EIO;
        return -1;
    }
    if (left > 0 && (off_t)count > left) count = (size_t)left;
    return real(fd, buffer, count, offset);
}

ssize_t pread64(int fd, void* buffer, size_t count, off_t offset)
{
    return pread(fd, buffer, count, offset);
}

typedef ssize_t (*CopyRangeFn)(int, off_t*, int, off_t*, size_t, unsigned);

ssize_t copy_file_range(int in, off_t* inOffset, int out, off_t* outOffset, size_t count,
                        unsigned flags)
{
    static CopyRangeFn real;
    off_t left = readableAt(in, inOffset != NULL ? *inOffset : lseek(in, 0, SEEK_CUR));
    if (real == NULL) real = (CopyRangeFn)next("copy_file_range");
    if (getenv("FAULT_NO_KERNEL_COPY") != NULL) {
        errno = EXDEV;
        return -1;
    }
    if (left == 0) {
        errno = EIO;
        return -1;
    }
    if (left > 0 && (off_t)count > left) count = (size_t)left;
    return real(in, inOffset, out, outOffset, count, flags);
}

/* glibc's own allocator, by its own name: looking it up with dlsym could
 * itself allocate. */
extern void* __libc_malloc(size_t size);

void* malloc(size_t size)
{
    static const char* over;
    static int looked;
    if (!looked) {
        over = getenv("FAULT_MALLOC_OVER");
        looked = 1;
    }
    if (over != NULL && size >= (size_t)atoll(over)) return NULL;
    return __libc_malloc(size);
}

ssize_t read(int fd, void* buffer, size_t count)
{
    static ReadFn real;
    if (real == NULL) real = (ReadFn)next("read");
    if (descriptorIs(fd, getenv("FAULT_READ_PATH"))) {
        const char* after = getenv("FAULT_READ_AFTER");
        off_t limit = after != NULL ? (off_t)atoll(after) : 4096;
        off_t position = lseek(fd, 0, SEEK_CUR);
        if (position >= limit) {
            errno = EIO;
            return -1;
        }
        if ((off_t)count > limit - position) count = (size_t)(limit - position);
    }
    return real(fd, buffer, count);
}

typedef int (*CloseFn)(int);

int close(int fd)
{
    static CloseFn real;
    int failing;
    if (real == NULL) real = (CloseFn)next("close");
    failing = descriptorIs(fd, getenv("FAULT_CLOSE_PATH"));
    if (real(fd) != 0) return -1;
    if (failing) {
        errno = EIO;
        return -1;
    }
    return 0;
}

typedef int (*LstatFn)(const char*, struct stat*);

static int failedStat(const char* path)
{
    if (!isFaultPath(path, "FAULT_STAT_PATH")) return 0;
    errno = EIO;
    return 1;
}

int lstat(const char* path, struct stat* info)
{
    static LstatFn real;
    if (real == NULL) real = (LstatFn)next("lstat");
    return failedStat(path) ? -1 : real(path, info);
}

int lstat64(const char* path, struct stat64* info)
{
    typedef int (*Lstat64Fn)(const char*, struct stat64*);
    static Lstat64Fn real;
    if (real == NULL) real = (Lstat64Fn)next("lstat64");
    return failedStat(path) ? -1 : real(path, info);
}

typedef int (*FstatatFn)(int, const char*, struct stat*, int);

int fstatat(int dir, const char* path, struct stat* info, int flags)
{
    static FstatatFn real;
    char buffer[4096];
    if (real == NULL) real = (FstatatFn)next("fstatat");
    return failedStat(fullPath(dir, path, buffer, sizeof buffer)) ? -1 : real(dir, path, info, flags);
}

int fstatat64(int dir, const char* path, struct stat64* info, int flags)
{
    typedef int (*Fstatat64Fn)(int, const char*, struct stat64*, int);
    static Fstatat64Fn real;
    char buffer[4096];
    if (real == NULL) real = (Fstatat64Fn)next("fstatat64");
    return failedStat(fullPath(dir, path, buffer, sizeof buffer)) ? -1 : real(dir, path, info, flags);
}

typedef ssize_t (*Getdents64Fn)(int, void*, size_t);

ssize_t getdents64(int fd, void* buffer, size_t length)
{
    static Getdents64Fn real;
    static int failing = -1;
    if (real == NULL) real = (Getdents64Fn)next("getdents64");
    if (fd != failing && descriptorIs(fd, getenv("FAULT_LIST_PATH"))) {
        failing = fd;
        return real(fd, buffer, length);
    }
    if (fd == failing) {
        failing = -1;
        errno = EIO;
        return -1;
    }
    return real(fd, buffer, length);
}
