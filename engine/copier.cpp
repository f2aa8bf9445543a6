#include "engine/copier.h"

#include <cstdlib>
#include <cstring>

#include "cmdline/cmdline_state.h"
#include "engine/engine_state.h"
#include "engine/resume.h"
#include "engine/shared_files.h"
#include "platform/platform.h"
#include "report/output.h"
#include "report/run_state.h"
#include "root/checksums.h"

thread_local CopyBuffer copyBuffer;

void shareCopyBuffers(int threads)
{
    engineState.copier.bufferCap = threads > 1 ? COPY_BUFFER_MAX / threads : COPY_BUFFER_MAX;
}

static bool reserveBuffer(uint64_t size);
const size_t REASON_CHARS_FOR_START = 512;

void releaseCopyBuffer()
{
    free(copyBuffer.data);
    copyBuffer.data = nullptr;
    copyBuffer.capacity = 0;
    freeHasher(copierThread.hasher);
    copierThread.hasher = nullptr;
}

// ---- checksums of copies ---------------------------------------------------------

static void takeBadMark(const ChecksumRecord& record, void* context)
{
    (void)context;
    if (record.flags & CHECKSUM_BAD) engineState.copier.badFiles.insert(record.key);
}

void startChecksums(const NChar* backupRoot)
{
    stopChecksums();
    readChecksums(backupRoot, takeBadMark, nullptr);
    engineState.copier.recording = openChecksumLog(backupRoot);
    if (!engineState.copier.recording) {
        NChar reason[REASON_CHARS_FOR_START];
        platFailureText(reason, REASON_CHARS_FOR_START);
        printTo(stderr, N("cannot record checksums in %s_checksums\n"), backupRoot);
        printTo(stderr, N("    %s\n"), reason);
    }
}

void stopChecksums()
{
    closeChecksumLog();
    engineState.copier.recording = false;
    engineState.copier.badFiles.clear();
}

bool isMarkedBad(DirHandle* dir, const NChar* name, const NChar* path)
{
    if (engineState.copier.badFiles.empty()) return false;
    FileData data;
    FileIdentity identity;
    if (!platGetIdentityAt(dir, name, path, &data, &identity)) return false;
    return engineState.copier.badFiles.count(checksumKeyOf(identity, data)) != 0;
}

// The thread's hasher, started afresh; null when there is no memory for
// one (the copy is then made without a record).
static ContentHasher* startHash()
{
    if (!engineState.copier.recording) return nullptr;
    if (copierThread.hasher == nullptr) copierThread.hasher = createHasher();
    if (copierThread.hasher != nullptr) resetHasher(copierThread.hasher);
    return copierThread.hasher;
}

// The largest piece in which a copy moved by the platform is read back:
// small enough that the hash finds it still in the core's cache.
const uint64_t READ_BACK_BYTES = 128 << 10;
// A copy larger than this that kept holes gets no record: hashing its
// holes (gigabytes of zeros in a disk image) would cost far more than the
// copy, which wrote only its data. verify --record gives it one.
const uint64_t SPARSE_UNHASHED_BYTES = 64ull << 20;

// Hashes what the still open copy holds, read back right after the kernel
// wrote it (from memory, mostly). False when it cannot be read back whole.
static bool hashCopy(FileHandle* destination, uint64_t moved, ContentHasher* hash)
{
    if (moved == 0) return true;
    if (moved > SPARSE_UNHASHED_BYTES && platCopyHasHoles(destination)) return false;
    if (!reserveBuffer(moved < READ_BACK_BYTES ? moved : READ_BACK_BYTES) || copyBuffer.capacity <= 0)
        return false;
    // The buffer may be larger (a copy the kernel could not make grew it).
    uint64_t piece = static_cast<uint64_t>(copyBuffer.capacity);
    if (piece > READ_BACK_BYTES) piece = READ_BACK_BYTES;
    uint64_t offset = 0;
    while (offset < moved) {
        uint64_t left = moved - offset;
        int64_t wanted = static_cast<int64_t>(left < piece ? left : piece);
        int64_t got = platReadCopyAt(destination, copyBuffer.data, wanted, offset);
        if (got <= 0) return false; // a failed read, or a copy shorter than it should be
        updateHasher(hash, copyBuffer.data, static_cast<size_t>(got));
        offset += static_cast<uint64_t>(got);
    }
    // The record is keyed by the size the disk holds: a longer copy fails there.
    return true;
}

// Appends the record of a whole copy, keyed by what the backup disk holds
// now that it has its final times.
static void recordChecksum(const StoredCopy& stored, ContentHasher* hash, uint64_t hashed)
{
    if (!stored.known || stored.data.size != hashed) return;
    ChecksumRecord record;
    record.key = checksumKeyOf(stored.identity, stored.data);
    record.flags = 0;
    finishHasher(hash, record.hash);
    appendChecksum(record);
}

void keepFailureReason()
{
    platFailureText(copierThread.keptReason, REASON_CHARS);
}

void keepFailureReasonText(const NChar* reason)
{
    copyText(copierThread.keptReason, REASON_CHARS, reason);
}

bool hasFailureReason()
{
    return copierThread.keptReason[0] != 0;
}

void printFailureReason()
{
    if (copierThread.keptReason[0] == 0) return;
    printTo(stderr, N("    %s\n"), copierThread.keptReason);
    copierThread.keptReason[0] = 0;
}

static void settleShared()
{
    if (copierThread.unsettledShared == nullptr) return;
    dropSharedCopy(*copierThread.unsettledShared);
    copierThread.unsettledShared = nullptr;
}

static int unreadable(const NChar* sourcePath)
{
    settleShared();
    if (cmdlineState.runSettings.logErrors) logMessage(N("unreadable file: %s\n"), sourcePath);
    ++runCounters.unreadableSkipped;
    return ERROR_OPEN_FAILED_CODE;
}

static int unwritable(const NChar* destinationPath)
{
    settleShared();
    if (cmdlineState.runSettings.logErrors) logMessage(N("unwritable file: %s\n"), destinationPath);
    ++runCounters.writeErrors;
    return ERROR_WRITE_FAULT_CODE;
}

// No memory to move the content: the file is not in the snapshot, which
// the summary and the log must say like any other failed copy.
static int outOfMemory(const NChar* sourcePath)
{
    unreadable(sourcePath);
    return ERROR_OUTOFMEMORY_CODE;
}

int reportUncreatable(const NChar* destinationPath)
{
    settleShared();
    if (cmdlineState.runSettings.logErrors) logMessage(N("uncreatable file: %s\n"), destinationPath);
    ++runCounters.writeErrors;
    return ERROR_CREATE_FAILED_CODE;
}

void setStoredLinkAttributes(bool carried)
{
    engineState.copier.linkAttributesCarried = carried;
}

// Stores a symbolic link as a link; it counts as a copied file with no
// bytes. It takes the owner and times of data, the link as it was looked at.
static int copyLink(DirHandle* sourceDir, const NChar* sourceName, const NChar* sourcePath,
                    DirHandle* destinationDir, const NChar* destinationName,
                    const NChar* destinationPath, const FileData& data)
{
    showProgress(PROGRESS_COPY, destinationPath);
    const FileData* attributes = engineState.copier.linkAttributesCarried ? &data : nullptr;
    if (platCopySymbolicLinkAt(sourceDir, sourceName, sourcePath, destinationDir, destinationName,
                               destinationPath, engineState.resumingSnapshot, attributes) != CREATE_OK) {
        keepFailureReason();
        return reportUncreatable(destinationPath);
    }
    ++runCounters.filesCopied;
    return ERROR_SUCCESS_CODE;
}

// Moves the content; 0, or the error code of a failed read or write. The
// source is closed on every path, the copy is left open for its close.
// *moved counts the bytes the copy holds.
static int transfer(FileHandle* source, FileHandle* destination, const NChar* sourcePath,
                    const NChar* destinationPath, uint64_t* moved, ContentHasher* hash)
{
    for (;;) {
        int64_t got = platRead(source, copyBuffer.data, copyBuffer.capacity);
        if (got == 0) break;
        if (got < 0) {
            // A read error is not the end of the file: the partial copy must
            // not look complete, or later runs would link it forever.
            keepFailureReason();
            platClose(source);
            unreadable(sourcePath);
            return ERROR_READ_FAULT_CODE;
        }
        if (platWrite(destination, copyBuffer.data, got) != got) {
            keepFailureReason();
            platClose(source);
            return unwritable(destinationPath);
        }
        // What was written is what the copy holds.
        if (hash != nullptr) updateHasher(hash, copyBuffer.data, static_cast<size_t>(got));
        *moved += static_cast<uint64_t>(got);
    }
    platClose(source);
    return ERROR_SUCCESS_CODE;
}

// The platform moves the content (in the kernel where it can, through a
// bounded buffer of its own where it cannot): no transfer buffer here,
// whatever the size of the file. The same rules hold as for the buffer.
static int transferByPlatform(FileHandle* source, FileHandle* destination, const NChar* sourcePath,
                              const NChar* destinationPath, uint64_t* moved)
{
    ContentResult result = platCopyContent(source, destination, moved);
    if (result != CONTENT_OK) keepFailureReason();
    platClose(source);
    switch (result) {
    case CONTENT_OK: return ERROR_SUCCESS_CODE;
    case CONTENT_READ_FAILED:
        unreadable(sourcePath);
        return ERROR_READ_FAULT_CODE;
    case CONTENT_NO_MEMORY: return outOfMemory(sourcePath);
    default: return unwritable(destinationPath);
    }
}

// Room in the thread's transfer buffer for a file of size bytes, up to its share;
// false when there is no buffer at all.
static bool reserveBuffer(uint64_t size)
{
    int32_t cap = engineState.copier.bufferCap;
    int64_t wanted = size > static_cast<uint64_t>(cap) ? cap : static_cast<int64_t>(size);
    // A buffer grown when it had a larger share gives back the rest.
    if (copyBuffer.capacity > cap) {
        void* shrunk = realloc(copyBuffer.data, static_cast<size_t>(cap));
        if (shrunk == nullptr) return false;
        copyBuffer.data = static_cast<unsigned char*>(shrunk);
        copyBuffer.capacity = cap;
    }
    if (wanted > copyBuffer.capacity) {
        void* grown = realloc(copyBuffer.data, static_cast<size_t>(wanted));
        if (grown != nullptr) {
            copyBuffer.data = static_cast<unsigned char*>(grown);
            copyBuffer.capacity = static_cast<int32_t>(wanted);
        } else if (copyBuffer.data == nullptr) {
            return false;
        }
    }
    return true;
}

static int copyOpened(FileHandle* source, const FileData& data, DirHandle* destinationDir,
                      const NChar* destinationName, const NChar* destinationPath,
                      const NChar* sourcePath, bool shared, const FileIdentity* keepAs, bool* kept);

int copyFileAt(DirHandle* sourceDir, const NChar* sourceName, const NChar* sourcePath,
               DirHandle* destinationDir, const NChar* destinationName,
               const NChar* destinationPath, const FileData* sourceData)
{
    if (cmdlineState.runSettings.noExec) {
        ++runCounters.filesCopied;
        return ERROR_SUCCESS_CODE;
    }
    if (sourceData != nullptr && sourceData->isSymbolicLink)
        return copyLink(sourceDir, sourceName, sourcePath, destinationDir, destinationName,
                        destinationPath, *sourceData);
    // A FIFO, socket or device is never opened: it could block forever.
    if (sourceData != nullptr && sourceData->isSpecialFile) {
        keepFailureReasonText(N("open: not a regular file"));
        ++runCounters.specialFiles;
        return unreadable(sourcePath);
    }

    // The copy takes the attributes and times of the file that is read,
    // taken before its content: a source written to during the copy then
    // differs from the copy in the next run and is copied again. With the
    // times read afterwards, a copy torn by such a write would pass as
    // unchanged in every later run.
    FileData data;
    FileHandle* source = nullptr;
    OpenResult opened = platOpenReadAt(sourceDir, sourceName, sourcePath, &source, &data);
    if (opened != OPEN_OK) {
        if (opened == OPEN_NOT_REGULAR) {
            keepFailureReasonText(N("open: not a regular file"));
            ++runCounters.specialFiles;
        } else {
            keepFailureReason();
        }
        return unreadable(sourcePath);
    }
    // A file with several names: a later name is linked to this run's
    // copy of it, the first is copied and kept for them.
    FileIdentity identity;
    uint64_t names = 1;
    const bool shared = platGetHandleIdentity(source, &identity, &names) && names > 1;
    SharedStep step = SHARED_COPY_APART;
    if (shared) {
        step = joinSharedFile(identity, destinationDir, destinationName, destinationPath);
        if (step == SHARED_LINKED) {
            platClose(source);
            reportSharedFile(identity, true, data.size, destinationPath);
            return ERROR_SUCCESS_CODE;
        }
    }
    if (step == SHARED_COPY_AND_KEEP) copierThread.unsettledShared = &identity;
    bool kept = false;
    int result = copyOpened(source, data, destinationDir, destinationName, destinationPath, sourcePath,
                            shared, step == SHARED_COPY_AND_KEEP ? &identity : nullptr, &kept);
    settleShared();
    // A copy kept for later names whose close failed is not linked to again.
    if (kept && result != ERROR_SUCCESS_CODE) dropSharedCopy(identity);
    return result;
}

// Copies the open regular file source (closed here on every path). A file
// with several names (shared) is reported by its record once it is whole;
// with keepAs, later names of that file link to the copy.
static int copyOpened(FileHandle* source, const FileData& data, DirHandle* destinationDir,
                      const NChar* destinationName, const NChar* destinationPath,
                      const NChar* sourcePath, bool shared, const FileIdentity* keepAs, bool* kept)
{
    if (!platMovesContent && !reserveBuffer(data.size)) {
        keepFailureReasonText(N("realloc: out of memory"));
        platClose(source);
        return outOfMemory(sourcePath);
    }
    FileHandle* destination = nullptr;
    if (platCreateWriteAt(destinationDir, destinationName, destinationPath, engineState.resumingSnapshot,
                          &destination) != CREATE_OK) {
        keepFailureReason();
        platClose(source);
        return reportUncreatable(destinationPath);
    }
    // The line of a shared file waits for its record; a failed copy still
    // gets its own before the error.
    if (!shared) showProgress(PROGRESS_COPY, destinationPath);

    uint64_t moved = 0;
    ContentHasher* hash = startHash();
    int result = platMovesContent ? transferByPlatform(source, destination, sourcePath, destinationPath, &moved)
                                  : transfer(source, destination, sourcePath, destinationPath, &moved, hash);
    if (result == ERROR_SUCCESS_CODE && hash != nullptr && platMovesContent && !hashCopy(destination, moved, hash))
        hash = nullptr; // a copy not read back whole gets no record
    // Only a whole copy gets its mode, owner and times. A delayed write
    // error shows only at the close.
    if (keepAs != nullptr && result == ERROR_SUCCESS_CODE) {
        keepSharedCopy(*keepAs, destination);
        copierThread.unsettledShared = nullptr;
        *kept = true;
    }
    StoredCopy storedCopy;
    bool stored = platCloseCopy(destination, result == ERROR_SUCCESS_CODE ? &data : nullptr,
                                hash != nullptr ? &storedCopy : nullptr);
    if (result == ERROR_SUCCESS_CODE && !stored) {
        keepFailureReason();
        result = unwritable(destinationPath);
    }
    if (result != ERROR_SUCCESS_CODE) {
        // A cut or empty copy would pass for the file in a restore and,
        // with the source's size, never be copied again: the entry goes.
        platRemoveFileAt(destinationDir, destinationName, destinationPath);
        if (shared) showProgress(PROGRESS_COPY, destinationPath);
        return result;
    }
    if (hash != nullptr) recordChecksum(storedCopy, hash, moved);
    if (shared) {
        reportSharedFile(keepAs != nullptr ? *keepAs : FileIdentity(), keepAs != nullptr, moved,
                         destinationPath);
        return ERROR_SUCCESS_CODE;
    }
    runCounters.bytesCopied += moved;
    ++runCounters.filesCopied;
    return ERROR_SUCCESS_CODE;
}

// Splits path into its folder (opened, following links) and its last name.
static DirHandle* openParent(const NChar* path, const NChar** name, NChar** folder)
{
    *folder = nullptr;
    const NChar* cut = findLast(path, PATH_SEP);
    *name = cut != nullptr ? cut + 1 : path;
    size_t length = cut != nullptr ? static_cast<size_t>(cut - path) + 1 : 0;
    *folder = static_cast<NChar*>(malloc((length + 3) * sizeof(NChar)));
    if (*folder == nullptr) return nullptr;
    if (length == 0) {
        (*folder)[0] = N('.');
        (*folder)[1] = PATH_SEP;
        (*folder)[2] = 0;
    } else {
        memcpy(*folder, path, length * sizeof(NChar));
        (*folder)[length] = 0;
    }
    return platOpenDir(nullptr, nullptr, *folder, DIR_FOLLOW);
}

int copyFile(const NChar* sourcePath, const NChar* destinationPath, const FileData* sourceData)
{
    const NChar* sourceName;
    const NChar* destinationName;
    NChar* sourceFolder;
    NChar* destinationFolder;
    DirHandle* sourceDir = openParent(sourcePath, &sourceName, &sourceFolder);
    DirHandle* destinationDir = openParent(destinationPath, &destinationName, &destinationFolder);
    int result = copyFileAt(sourceDir, sourceName, sourcePath, destinationDir, destinationName,
                            destinationPath, sourceData);
    platCloseDir(sourceDir);
    platCloseDir(destinationDir);
    free(sourceFolder);
    free(destinationFolder);
    return result;
}
