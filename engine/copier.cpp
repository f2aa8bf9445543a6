#include "engine/copier.h"

#include <cstdlib>

#include "platform/platform.h"
#include "report/output.h"
#include "report/run_state.h"

CopyBuffer copyBuffer;
bool replaceExisting = false;

void releaseCopyBuffer()
{
    free(copyBuffer.data);
    copyBuffer.data = nullptr;
    copyBuffer.capacity = 0;
}

static int unreadable(const NChar* sourcePath)
{
    if (runSettings.logErrors) logMessage(N("unreadable file: %s\n"), sourcePath);
    ++runCounters.unreadableSkipped;
    return ERROR_OPEN_FAILED_CODE;
}

static int unwritable(const NChar* destinationPath)
{
    if (runSettings.logErrors) logMessage(N("unwritable file: %s\n"), destinationPath);
    ++runCounters.writeErrors;
    return ERROR_WRITE_FAULT_CODE;
}

int reportUncreatable(const NChar* destinationPath)
{
    if (runSettings.logErrors) logMessage(N("uncreatable file: %s\n"), destinationPath);
    ++runCounters.writeErrors;
    return ERROR_CREATE_FAILED_CODE;
}

// Stores a symbolic link as a link; it counts as a copied file with no
// bytes. It takes the owner and times of data, the link as it was looked at.
static int copyLink(const NChar* sourcePath, const NChar* destinationPath, const FileData& data)
{
    showProgress(PROGRESS_COPY, destinationPath);
    if (platCopySymbolicLink(sourcePath, destinationPath, replaceExisting) != CREATE_OK)
        return reportUncreatable(destinationPath);
    platSetAttributes(destinationPath, &data);
    platSetTimes(destinationPath, &data);
    ++runCounters.filesCopied;
    return ERROR_SUCCESS_CODE;
}

// Moves the content; 0, or the error code of a failed read or write.
// Both files are closed on every path.
static int transfer(FileHandle* source, FileHandle* destination, const NChar* sourcePath,
                    const NChar* destinationPath)
{
    for (;;) {
        int64_t got = platRead(source, copyBuffer.data, copyBuffer.capacity);
        if (got == 0) break;
        if (got < 0) {
            // A read error is not the end of the file: the partial copy must
            // not look complete, or later runs would link it forever.
            platClose(destination);
            platClose(source);
            unreadable(sourcePath);
            return ERROR_READ_FAULT_CODE;
        }
        if (platWrite(destination, copyBuffer.data, got) != got) {
            platClose(source);
            platClose(destination);
            return unwritable(destinationPath);
        }
        runCounters.bytesCopied += static_cast<uint64_t>(got);
    }
    // A delayed write error shows only when the file is closed.
    bool stored = platClose(destination);
    platClose(source);
    if (!stored) return unwritable(destinationPath);
    return ERROR_SUCCESS_CODE;
}

int copyFile(const NChar* sourcePath, const NChar* destinationPath, const FileData* sourceData)
{
    if (runSettings.noExec) {
        ++runCounters.filesCopied;
        return ERROR_SUCCESS_CODE;
    }
    FileData data;
    bool known = true;
    if (sourceData != nullptr)
        data = *sourceData;
    else
        known = platGetFileData(sourcePath, &data);
    if (known && data.isSymbolicLink) return copyLink(sourcePath, destinationPath, data);
    // A FIFO, socket or device is never opened: it could block forever.
    if (known && data.isSpecialFile) return unreadable(sourcePath);

    // A source whose size cannot be read may still open: give it a buffer
    // of its own, so that its content is copied rather than an empty file
    // passing for a good copy.
    const int64_t UNKNOWN_SIZE_BUFFER = 1 << 16;
    int64_t wanted = known ? static_cast<int64_t>(data.size) : UNKNOWN_SIZE_BUFFER;
    if (wanted > COPY_BUFFER_MAX) wanted = COPY_BUFFER_MAX;
    if (wanted > copyBuffer.capacity) {
        void* grown = realloc(copyBuffer.data, static_cast<size_t>(wanted));
        if (grown != nullptr) {
            copyBuffer.data = static_cast<unsigned char*>(grown);
            copyBuffer.capacity = static_cast<int32_t>(wanted);
        } else if (copyBuffer.data == nullptr) {
            return ERROR_OUTOFMEMORY_CODE;
        }
    }

    FileHandle* source = nullptr;
    if (platOpenRead(sourcePath, &source) != OPEN_OK) return unreadable(sourcePath);
    FileHandle* destination = nullptr;
    if (platCreateWrite(destinationPath, replaceExisting, &destination) != CREATE_OK) {
        platClose(source);
        return reportUncreatable(destinationPath);
    }
    showProgress(PROGRESS_COPY, destinationPath);

    int result = transfer(source, destination, sourcePath, destinationPath);
    if (result != ERROR_SUCCESS_CODE) return result;

    // The copy takes the attributes and times read before its content: a
    // source written to during the copy then differs from the copy in the
    // next run and is copied again. With the times read afterwards, a copy
    // torn by such a write would pass as unchanged in every later run.
    if (known) {
        platSetAttributes(destinationPath, &data);
        platSetTimes(destinationPath, &data);
    }
    ++runCounters.filesCopied;
    return ERROR_SUCCESS_CODE;
}
