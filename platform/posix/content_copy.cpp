#include "platform/posix/content_copy.h"
#include "platform/posix/layer_state.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// The kernel may copy a file in one call of any size; a bound keeps each
// call short enough to notice a file that shrinks while it is read.
const size_t KERNEL_CHUNK = 1u << 30;

struct Transfer {
    int source;
    int destination;
    uint64_t* moved;
    unsigned char* buffer; // the fallback's, taken on first need
    size_t bufferBytes;    // its size: the file's, up to CONTENT_BUFFER_BYTES
    bool kernelCopyFailed; // the kernel cannot copy between these two files
};

// Where copy_file_range says "not between these files" rather than "failed".
bool isUnsupported(int error)
{
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
           error == ETXTBSY || error == EBADF || error == EPERM;
}

// read/write through the bounded buffer from offset to the end of the
// region (or the end of the file for end < 0). Here a failing read and a
// failing write are told apart, so that the copier reports the right one.
ContentResult copyByBuffer(Transfer* t, off_t offset, off_t end)
{
    if (t->buffer == nullptr) {
        t->buffer = static_cast<unsigned char*>(malloc(t->bufferBytes));
        if (t->buffer == nullptr) return failedWith("malloc", ENOMEM), CONTENT_NO_MEMORY;
    }
    while (end < 0 || offset < end) {
        size_t wanted = t->bufferBytes;
        if (end >= 0 && static_cast<off_t>(wanted) > end - offset) wanted = static_cast<size_t>(end - offset);
        ssize_t got = pread(t->source, t->buffer, wanted, offset);
        if (got < 0) {
            if (errno == EINTR) continue;
            return failed("pread"), CONTENT_READ_FAILED;
        }
        if (got == 0) break; // the file ended early: it shrank meanwhile
        ssize_t done = 0;
        while (done < got) {
            ssize_t put = pwrite(t->destination, t->buffer + done, static_cast<size_t>(got - done),
                                 offset + done);
            if (put < 0 && errno == EINTR) continue;
            if (put < 0) return failed("pwrite"), CONTENT_WRITE_FAILED;
            if (put == 0) return failedWith("pwrite", ENOSPC), CONTENT_WRITE_FAILED;
            done += put;
        }
        offset += got;
        *t->moved += static_cast<uint64_t>(got);
    }
    return CONTENT_OK;
}

// One data region [offset, end), or from offset to the end of the file for
// end < 0, in the kernel where it can, by buffer where it cannot.
ContentResult copyRegion(Transfer* t, off_t offset, off_t end)
{
    while (!t->kernelCopyFailed && (end < 0 || offset < end)) {
        size_t wanted = KERNEL_CHUNK;
        if (end >= 0 && static_cast<off_t>(wanted) > end - offset) wanted = static_cast<size_t>(end - offset);
        off_t in = offset;
        off_t out = offset;
        ssize_t got = copy_file_range(t->source, &in, t->destination, &out, wanted, 0);
        if (got == 0) return CONTENT_OK;
        if (got < 0) {
            if (errno == EINTR) continue;
            // Unsupported, or failed on one side: the buffer goes on from
            // here and finds out which side (it fails again if it must).
            if (isUnsupported(errno)) t->kernelCopyFailed = true;
            return copyByBuffer(t, offset, end);
        }
        offset += got;
        *t->moved += static_cast<uint64_t>(got);
    }
    if (end >= 0 && offset >= end) return CONTENT_OK;
    return copyByBuffer(t, offset, end);
}

// Copies the data regions one by one and leaves the holes between them
// unwritten; the file's length is set at the end, so that a hole at the
// end stays a hole too.
ContentResult copySparse(Transfer* t)
{
    off_t offset = 0;
    for (;;) {
        off_t data = lseek(t->source, offset, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break; // only a hole is left
            if (offset == 0) return copyRegion(t, 0, -1);
            return failed("lseek"), CONTENT_READ_FAILED;
        }
        off_t hole = lseek(t->source, data, SEEK_HOLE);
        if (hole < 0) return failed("lseek"), CONTENT_READ_FAILED;
        *t->moved += static_cast<uint64_t>(data - offset);
        ContentResult result = copyRegion(t, data, hole);
        if (result != CONTENT_OK) return result;
        offset = hole;
    }
    off_t length = lseek(t->source, 0, SEEK_END);
    if (length < 0) return failed("lseek"), CONTENT_READ_FAILED;
    if (length > offset) *t->moved += static_cast<uint64_t>(length - offset);
    if (ftruncate(t->destination, length) != 0) return failed("ftruncate"), CONTENT_WRITE_FAILED;
    return CONTENT_OK;
}

} // namespace

ContentResult copyContent(int source, int destination, uint64_t* moved)
{
    struct stat info;
    if (fstat(source, &info) != 0) return failed("fstat"), CONTENT_READ_FAILED;
    // A small file needs no more buffer than itself.
    const off_t SMALLEST_BUFFER = 64 * 1024;
    off_t bufferBytes = info.st_size < SMALLEST_BUFFER ? SMALLEST_BUFFER : info.st_size;
    if (bufferBytes > CONTENT_BUFFER_BYTES) bufferBytes = CONTENT_BUFFER_BYTES;
    Transfer t = {source, destination, moved, nullptr, static_cast<size_t>(bufferBytes), false};
    ContentResult result;
    if (info.st_size == 0) {
        // Mostly an empty file, where one read says so; but a file of a
        // pseudo file system reports 0 and holds text all the same.
        char probe;
        ssize_t got = pread(source, &probe, 1, 0);
        if (got == 0) return CONTENT_OK;
        result = got < 0 ? (failed("pread"), CONTENT_READ_FAILED) : copyByBuffer(&t, 0, -1);
    } else if (static_cast<uint64_t>(info.st_blocks) * 512 < static_cast<uint64_t>(info.st_size)) {
        // Fewer blocks than the length holds: the file has holes to keep.
        result = copySparse(&t);
    } else {
        result = copyRegion(&t, 0, -1);
    }
    free(t.buffer);
    return result;
}
