// The file copier: one file of the new snapshot, through the calling
// thread's transfer buffer (where the platform does not move the content
// itself), with the source's attributes and then its times.
#pragma once

#include <cstdint>

#include "platform/text.h"

const int32_t COPY_BUFFER_MAX = 0x20000000; // 512 MiB

struct CopyBuffer {
    unsigned char* data;
    int32_t capacity;
};

// The calling thread's buffer: thread_local, not in engineState, since the
// walk's workers each have their own. resetEngine frees the calling
// thread's; a worker frees its own as it ends (releaseCopyBuffer).
extern thread_local CopyBuffer copyBuffer;

// Shares COPY_BUFFER_MAX among the threads that copy: each buffer grows to
// at most COPY_BUFFER_MAX / threads. Set before those threads start.
void shareCopyBuffers(int threads);

// Windows system error codes that copyFile returns.
const int ERROR_SUCCESS_CODE = 0;
const int ERROR_OUTOFMEMORY_CODE = 14;
const int ERROR_WRITE_FAULT_CODE = 29;
const int ERROR_READ_FAULT_CODE = 30;
const int ERROR_OPEN_FAILED_CODE = 110;
const int ERROR_CREATE_FAILED_CODE = 1631;
struct FileData;
struct DirHandle;

// Reports destinationPath as a file that cannot be created (the caller
// prints the copy error line); returns the error code.
int reportUncreatable(const NChar* destinationPath);

// Copies sourceName within the open folder sourceDir to destinationName
// within destinationDir (the paths serve messages, and the Windows build).
// sourceData is what the walk saw of the source (its kind: a link is
// stored as a link), or null; a regular file's copy takes the attributes
// and times read from the source file it opened. A copy that fails part-way
// is removed again: a cut or empty file must never stand in the snapshot
// for the real one, and only the bytes of whole copies are counted.
int copyFileAt(DirHandle* sourceDir, const NChar* sourceName, const NChar* sourcePath,
               DirHandle* destinationDir, const NChar* destinationName,
               const NChar* destinationPath, const FileData* sourceData);

// The same by paths: each path's folder is opened first (following links).
int copyFile(const NChar* sourcePath, const NChar* destinationPath,
             const FileData* sourceData = nullptr);

// Checksums: from startChecksums until stopChecksums, every whole copy
// gets its record in backupRoot's checksum records (read back from the
// copy where the platform moved the content); and the files of the root
// that a verify marked bad are known. Called around the walk, never during.
void startChecksums(const NChar* backupRoot);
void stopChecksums();

// True when the file name within dir is marked bad: its content no longer
// matches its record, so it must not be linked into a new snapshot.
bool isMarkedBad(DirHandle* dir, const NChar* name, const NChar* path);

// Frees the calling thread's buffer (and its hasher).
void releaseCopyBuffer();

// The reason of a per-file failure, kept on the thread that met it right
// where it failed (later calls, a close or the removal of a cut copy, may
// fail or succeed and change the platform's record).
void keepFailureReason();
void keepFailureReasonText(const NChar* reason);
bool hasFailureReason();

// Prints the kept reason on standard error as "    call: reason", after
// the failure's own line; nothing when no reason is kept. The kept reason
// is used up.
void printFailureReason();

// Whether stored symbolic links get the owner and times of their source;
// not where the backup disk would give them to the file the link names.
void setStoredLinkAttributes(bool carried);
