// The lock of a backup root on Windows: LockFileEx on one byte far past the
// end of the file, so that the text inside stays readable to all; the
// system releases the lock when the process ends, however it ends. The
// text is stored as UTF-8, so that every path fits whatever its letters.
#include "platform/platform.h"
#include "platform/win32/layer_state.h"
#include "platform/win32/long_path.h"

#include <windows.h>

#include <time.h>

#include <cstdlib>

struct LockHandle {
    HANDLE file;
};

// The locked byte: past any text the file will ever hold.
static OVERLAPPED lockRegion()
{
    OVERLAPPED region;
    ZeroMemory(&region, sizeof(region));
    region.Offset = 0;
    region.OffsetHigh = 0x7FFFFFF0u;
    return region;
}

// Takes the lock of the open lock file, without waiting; the file is
// closed unless LOCK_TAKEN.
static LockResult lockOpenFile(HANDLE file, LockHandle** handle)
{
    OVERLAPPED region = lockRegion();
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &region)) {
        DWORD error = GetLastError();
        failedWith("LockFileEx", error);
        CloseHandle(file);
        return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? LOCK_BUSY : LOCK_FAILED;
    }
    LockHandle* result = static_cast<LockHandle*>(malloc(sizeof(LockHandle)));
    if (result == nullptr) {
        failedWith("malloc", ERROR_NOT_ENOUGH_MEMORY);
        OVERLAPPED again = lockRegion();
        UnlockFileEx(file, 0, 1, 0, &again);
        CloseHandle(file);
        return LOCK_FAILED;
    }
    result->file = file;
    *handle = result;
    return LOCK_TAKEN;
}

LockResult platLockFile(const NChar* path, LockHandle** handle)
{
    *handle = nullptr;
    // FILE_FLAG_OPEN_REPARSE_POINT: a link of that name is opened itself,
    // never followed, and then refused as no regular file.
    HANDLE file = CreateFileW(systemPathOf(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        failed("CreateFileW");
        DWORD attributes = GetFileAttributesW(systemPathOf(path).c_str());
        bool other = attributes != INVALID_FILE_ATTRIBUTES &&
                     (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
        return other ? LOCK_NOT_REGULAR : LOCK_FAILED;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        failedWith("CreateFileW", ERROR_INVALID_FUNCTION); // not a regular file
        CloseHandle(file);
        return LOCK_NOT_REGULAR;
    }
    if (!GetFileInformationByHandle(file, &info)) {
        failed("GetFileInformationByHandle");
        CloseHandle(file);
        return LOCK_FAILED;
    }
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
        CloseHandle(file);
        return LOCK_NOT_REGULAR;
    }
    return lockOpenFile(file, handle);
}

// The lock file's text is short: a few lines of facts about one run.
const DWORD LOCK_TEXT_BYTES = 4096;

LockResult platLockFileWaiting(const NChar* path, LockHandle** handle, int waitMilliseconds)
{
    for (int waited = 0;; waited += 50) {
        LockResult result = platLockFile(path, handle);
        if (result != LOCK_BUSY || waited >= waitMilliseconds) return result;
        Sleep(50);
    }
}

LockResult platTryLockExisting(const NChar* path, LockHandle** handle)
{
    *handle = nullptr;
    HANDLE file = CreateFileW(systemPathOf(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? LOCK_MISSING : LOCK_FAILED;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        CloseHandle(file);
        return LOCK_FAILED;
    }
    return lockOpenFile(file, handle);
}

bool platReadLockText(LockHandle* handle, NChar* text, size_t capacity)
{
    if (capacity == 0) return false;
    text[0] = 0;
    char bytes[LOCK_TEXT_BYTES];
    DWORD got = 0;
    OVERLAPPED start;
    ZeroMemory(&start, sizeof(start));
    if (!ReadFile(handle->file, bytes, LOCK_TEXT_BYTES, &got, &start)) {
        // Reading at or past the end of the file is an empty text.
        return GetLastError() == ERROR_HANDLE_EOF || failed("ReadFile");
    }
    if (got == LOCK_TEXT_BYTES) return failedWith("ReadFile", ERROR_FILE_TOO_LARGE);
    if (got == 0) return true;
    int chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(got),
                                    nullptr, 0);
    if (chars <= 0) return failed("MultiByteToWideChar");
    if (static_cast<size_t>(chars) >= capacity) return failedWith("ReadFile", ERROR_FILE_TOO_LARGE);
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(got), text, chars);
    text[chars] = 0;
    return true;
}

bool platWriteLockText(LockHandle* handle, const NChar* text)
{
    char bytes[LOCK_TEXT_BYTES];
    int length = 0;
    if (text[0] != 0) {
        length = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, LOCK_TEXT_BYTES, nullptr, nullptr);
        if (length <= 0) return failed("WideCharToMultiByte");
        --length; // the terminator is not stored
    }
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(handle->file, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(handle->file))
        return failed("SetEndOfFile");
    DWORD put = 0;
    if (length > 0 && (!WriteFile(handle->file, bytes, static_cast<DWORD>(length), &put, nullptr) ||
                       put != static_cast<DWORD>(length)))
        return failed("WriteFile");
    return FlushFileBuffers(handle->file) != 0 || failed("FlushFileBuffers");
}

void platUnlockFile(LockHandle* handle)
{
    if (handle == nullptr) return;
    OVERLAPPED region = lockRegion();
    UnlockFileEx(handle->file, 0, 1, 0, &region);
    CloseHandle(handle->file);
    free(handle);
}
