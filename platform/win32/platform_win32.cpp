// The Win32 side of the platform layer: the program's home.
//
// Each function is one plain Win32 or C-runtime call (GetFileAttributesW,
// CreateHardLinkW, SetFileTime, _wfopen_s, _wfindfirst64i32,
// CreateProcessW, ...), with wide strings straight from the caller.
// Symbolic links and junctions are followed: the walk reads through them,
// so no entry is ever reported as a symbolic link or as a special file here.
#include "platform/platform.h"
#include "platform/win32/layer_state.h"
#include "platform/win32/long_path.h"

#include <windows.h>

#include <direct.h>
#include <errno.h>
#include <io.h>
#include <time.h>

#include <cstdlib>
#include <string>

bool platStartup()
{
    return GetModuleHandleW(nullptr) != nullptr;
}

long platOpenFileLimit()
{
    // A folder handle here is its path: no system handle is held open.
    return 1L << 20;
}

bool platIsDriveRoot(const NChar* path)
{
    return path[0] != 0 && wcscmp(path + 1, L":\\") == 0;
}

PlatformState platformState;

// ---- the reason of the last failure ------------------------------------------

thread_local LayerFailure lastFailure = {nullptr, 0, false};

bool failedWith(const char* call, DWORD code)
{
    lastFailure.call = call;
    lastFailure.code = code;
    lastFailure.isErrno = false;
    return false;
}

bool failed(const char* call)
{
    return failedWith(call, GetLastError());
}

bool failedErrno(const char* call)
{
    lastFailure.call = call;
    lastFailure.code = static_cast<unsigned long>(errno);
    lastFailure.isErrno = true;
    return false;
}

void systemText(DWORD code, wchar_t* text, size_t capacity)
{
    if (capacity == 0) return;
    text[0] = 0;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                  text, static_cast<DWORD>(capacity), nullptr);
    // The system's text ends with a line end (and often a full stop).
    while (length > 0 && (text[length - 1] == L'\n' || text[length - 1] == L'\r' || text[length - 1] == L' ' ||
                          text[length - 1] == L'.'))
        text[--length] = 0;
    if (length == 0) formatText(text, capacity, L"error %lu", static_cast<unsigned long>(code));
}

// The code a reopened folder of another identity leaves as its reason: an
// application's own code (bit 29), which no system error has.
const DWORD REPLACED_FOLDER = 0x20000001;

void platFailureText(NChar* text, size_t capacity)
{
    if (capacity == 0) return;
    text[0] = 0;
    if (lastFailure.call == nullptr) return;
    wchar_t reason[256];
    if (!lastFailure.isErrno && lastFailure.code == REPLACED_FOLDER) {
        copyText(reason, 256, L"another folder stands at its name since it was first opened");
    } else if (lastFailure.isErrno) {
        if (_wcserror_s(reason, 256, static_cast<int>(lastFailure.code)) != 0) reason[0] = 0;
    } else {
        systemText(lastFailure.code, reason, 256);
    }
    // The call's name is plain ASCII.
    size_t used = 0;
    for (const char* c = lastFailure.call; *c != 0 && used + 1 < capacity; ++c) text[used++] = static_cast<wchar_t>(*c);
    text[used] = 0;
    appendText(text, capacity, L": ");
    if (!appendText(text, capacity, reason)) {
        size_t at = wcslen(text);
        for (size_t k = 0; reason[k] != 0 && at + 1 < capacity; ++k) text[at++] = reason[k];
        text[at] = 0;
    }
}

void platResetState()
{
    platKeepAwake(false);
    platformState = PlatformState();
    lastFailure = LayerFailure{nullptr, 0, false};
}

// ---- file system -----------------------------------------------------------

uint32_t platGetAttributes(const NChar* path)
{
    // INVALID_FILE_ATTRIBUTES is INVALID_ATTRIBUTES.
    return GetFileAttributesW(systemPathOf(path).c_str());
}

// FileTime counts from the Unix epoch on both builds; FILETIME counts
// 100-nanosecond ticks from 1601-01-01.
const int64_t TICKS_PER_SECOND = 10000000;
const int64_t EPOCH_DIFFERENCE_SECONDS = 11644473600LL; // 1601-01-01 to 1970-01-01

static FileTime fileTimeOf(const FILETIME& t)
{
    uint64_t ticks = (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    FileTime result;
    result.seconds = static_cast<int64_t>(ticks / TICKS_PER_SECOND) - EPOCH_DIFFERENCE_SECONDS;
    result.fraction = static_cast<int32_t>(ticks % TICKS_PER_SECOND);
    return result;
}

static FILETIME windowsTimeOf(const FileTime& t)
{
    uint64_t ticks = static_cast<uint64_t>(t.seconds + EPOCH_DIFFERENCE_SECONDS) * TICKS_PER_SECOND +
                     static_cast<uint64_t>(t.fraction);
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    result.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return result;
}

bool platGetFileData(const NChar* path, FileData* data)
{
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExW(systemPathOf(path).c_str(), GetFileExInfoStandard, &info)) return failed("GetFileAttributesExW");
    data->attributes = info.dwFileAttributes;
    data->creationTime = fileTimeOf(info.ftCreationTime);
    data->lastAccessTime = fileTimeOf(info.ftLastAccessTime);
    data->lastWriteTime = fileTimeOf(info.ftLastWriteTime);
    data->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    data->permissions = 0;
    data->owner = 0;
    data->group = 0;
    data->isSymbolicLink = false;
    data->isSpecialFile = false;
    return true;
}

bool platGetIdentity(const NChar* path, FileIdentity* identity)
{
    // No access rights are needed to read the identity; the backup
    // semantics flag lets a folder be opened.
    HANDLE handle = CreateFileW(systemPathOf(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return failed("CreateFileW");
    BY_HANDLE_FILE_INFORMATION info;
    BOOL ok = GetFileInformationByHandle(handle, &info);
    if (!ok) failed("GetFileInformationByHandle");
    CloseHandle(handle);
    if (!ok) return false;
    identity->volume = info.dwVolumeSerialNumber;
    identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

static bool setAttributes(const NChar* path, const FileData* data)
{
    return SetFileAttributesW(systemPathOf(path).c_str(), data->attributes) != 0 || failed("SetFileAttributesW");
}

bool platSetTimes(const NChar* path, const FileData* data)
{
    // Write-attributes access only, no sharing.
    // FILE_FLAG_OPEN_REPARSE_POINT keeps a final link unfollowed, as the
    // layer promises; the backup semantics flag lets a folder be opened.
    HANDLE handle = CreateFileW(systemPathOf(path).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS |
                                    FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) return failed("CreateFileW");
    FILETIME creation = windowsTimeOf(data->creationTime);
    FILETIME lastAccess = windowsTimeOf(data->lastAccessTime);
    FILETIME lastWrite = windowsTimeOf(data->lastWriteTime);
    BOOL ok = SetFileTime(handle, &creation, &lastAccess, &lastWrite);
    if (!ok) failed("SetFileTime");
    CloseHandle(handle);
    return ok != 0;
}

MakeDirResult platMakeDir(const NChar* path, bool ownerOnly)
{
    // A folder's access comes from the backup root on Windows.
    (void)ownerOnly;
    if (_wmkdir(systemPathOf(path).c_str()) == 0) return MAKEDIR_OK;
    failedErrno("_wmkdir");
    return errno == EEXIST ? MAKEDIR_EXISTS : MAKEDIR_FAILED;
}

bool platReplaceFile(const NChar* source, const NChar* target)
{
    return MoveFileExW(systemPathOf(source).c_str(), systemPathOf(target).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0 ||
           failed("MoveFileExW");
}

bool platRemoveFile(const NChar* path)
{
    return DeleteFileW(systemPathOf(path).c_str()) != 0 || failed("DeleteFileW");
}

// ---- enumeration -----------------------------------------------------------

struct FindHandle {
    bool broken; // the listing failed part-way
    intptr_t find;
    struct _wfinddata64i32_t data;
};

static void fillEntry(FindHandle* handle, FindEntry* entry)
{
    entry->name = handle->data.name;
    entry->attributes = handle->data.attrib;
}

FindHandle* platFindFirst(const NChar* dirPath, FindEntry* entry)
{
    // dirPath ends with a backslash: "*" inside it names every entry. The
    // walker's folders may be longer than PATH_CHARS, so the pattern is
    // sized to the path. A drive root keeps its backslash ("\\?\C:\*"):
    // without it the pattern would name the volume itself.
    std::wstring pattern = systemPathOf(dirPath);
    if (pattern.empty() || pattern.back() != L'\\') pattern += L'\\';
    pattern += L'*';
    FindHandle* handle = static_cast<FindHandle*>(malloc(sizeof(FindHandle)));
    if (handle == nullptr) return failedWith("malloc", ERROR_NOT_ENOUGH_MEMORY), nullptr;
    handle->broken = false;
    handle->find = _wfindfirst64i32(pattern.c_str(), &handle->data);
    if (handle->find == -1) {
        failedErrno("_wfindfirst64i32");
        free(handle);
        return nullptr;
    }
    fillEntry(handle, entry);
    return handle;
}

bool platFindNext(FindHandle* handle, FindEntry* entry)
{
    if (_wfindnext64i32(handle->find, &handle->data) != 0) {
        // ENOENT is the end of the folder; anything else ends the listing
        // short, which platFindClose reports.
        if (errno != ENOENT) {
            failedErrno("_wfindnext64i32");
            handle->broken = true;
        }
        return false;
    }
    fillEntry(handle, entry);
    return true;
}

bool platFindClose(FindHandle* handle)
{
    bool whole = !handle->broken;
    if (_findclose(handle->find) != 0) whole = failedErrno("_findclose");
    free(handle);
    return whole;
}

// ---- file content ------------------------------------------------------------

struct FileHandle {
    FILE* stream;
    wchar_t* path; // of a copy being written: it gets its attributes by path
};

const bool platMovesContent = false;

ContentResult platCopyContent(FileHandle* source, FileHandle* destination, uint64_t* moved)
{
    // The copier's transfer buffer moves the content, as it always has.
    (void)source;
    (void)destination;
    *moved = 0;
    return CONTENT_UNSUPPORTED;
}

// Keeps a stream of the program out of every child process.
static void keepFromChildren(FILE* stream)
{
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (handle != INVALID_HANDLE_VALUE) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
}

static FILE* openStream(const NChar* path, const wchar_t* mode)
{
    FILE* stream = nullptr;
    errno_t code = _wfopen_s(&stream, systemPathOf(path).c_str(), mode);
    if (code != 0 || stream == nullptr) {
        errno = code != 0 ? code : EINVAL;
        return failedErrno("_wfopen_s"), nullptr;
    }
    keepFromChildren(stream);
    return stream;
}

static FileHandle* handleOf(FILE* stream)
{
    FileHandle* handle = static_cast<FileHandle*>(malloc(sizeof(FileHandle)));
    if (handle == nullptr) {
        failedWith("malloc", ERROR_NOT_ENOUGH_MEMORY);
        fclose(stream);
        return nullptr;
    }
    handle->stream = stream;
    handle->path = nullptr;
    // The copier reads and writes whole buffers; the stream's own buffer
    // would only add a second copy of every byte.
    setvbuf(stream, nullptr, _IONBF, 0);
    return handle;
}

int64_t platRead(FileHandle* handle, void* buffer, int64_t size)
{
    size_t got = fread(buffer, 1, static_cast<size_t>(size), handle->stream);
    // A short count is the end of the file or a read error; only the error
    // must not pass for the end.
    if (got < static_cast<size_t>(size) && ferror(handle->stream)) return failedErrno("fread"), -1;
    return static_cast<int64_t>(got);
}

int64_t platWrite(FileHandle* handle, const void* buffer, int64_t size)
{
    size_t put = fwrite(buffer, 1, static_cast<size_t>(size), handle->stream);
    if (put < static_cast<size_t>(size)) failedErrno("fwrite");
    return static_cast<int64_t>(put);
}

int64_t platReadCopyAt(FileHandle* handle, void* buffer, int64_t size, uint64_t offset)
{
    // Never reached: the copier hashes the transfer buffer as it writes it.
    (void)handle, (void)buffer, (void)size, (void)offset;
    return failedWith("ReadFile", ERROR_NOT_SUPPORTED), -1;
}

bool platCopyHasHoles(FileHandle* handle)
{
    // The Windows build writes every byte of a copy: no holes.
    (void)handle;
    return false;
}

bool platIsTerminal(FILE* stream)
{
    return _isatty(_fileno(stream)) != 0;
}

bool platClose(FileHandle* handle)
{
    int result = fclose(handle->stream);
    if (result != 0) failedErrno("fclose");
    free(handle->path);
    free(handle);
    return result == 0;
}

// ---- open folders --------------------------------------------------------------
//
// Windows works by path: a folder handle only remembers its path, and every
// call below uses the full path it is given, as the path calls above do.

struct DirHandle {
    wchar_t* path;
};

static wchar_t* copyOf(const NChar* text)
{
    size_t length = wcslen(text);
    wchar_t* copy = static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t)));
    if (copy != nullptr) memcpy(copy, text, (length + 1) * sizeof(wchar_t));
    return copy;
}

static DirHandle* dirHandleOf(const NChar* path)
{
    DirHandle* dir = static_cast<DirHandle*>(malloc(sizeof(DirHandle)));
    if (dir == nullptr) return failedWith("malloc", ERROR_NOT_ENOUGH_MEMORY), nullptr;
    dir->path = copyOf(path);
    if (dir->path == nullptr) {
        failedWith("malloc", ERROR_NOT_ENOUGH_MEMORY);
        free(dir);
        return nullptr;
    }
    return dir;
}

DirHandle* platOpenDir(DirHandle* parent, const NChar* name, const NChar* path, int how)
{
    (void)parent;
    (void)name;
    (void)how;
    DWORD attributes = GetFileAttributesW(systemPathOf(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return failed("GetFileAttributesW"), nullptr;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return failedWith("GetFileAttributesW", ERROR_DIRECTORY), nullptr;
    return dirHandleOf(path);
}

void platCloseDir(DirHandle* dir)
{
    if (dir == nullptr) return;
    free(dir->path);
    free(dir);
}

DirHandle* platReopenDir(DirHandle* parent, const NChar* name, const NChar* path, int how,
                         const FileIdentity* identity)
{
    DirHandle* dir = platOpenDir(parent, name, path, how);
    if (dir == nullptr) return nullptr;
    FileIdentity now;
    if (!platGetIdentity(path, &now)) {
        platCloseDir(dir);
        return nullptr;
    }
    if (!sameIdentity(now, *identity)) {
        platCloseDir(dir);
        failedWith("CreateFileW", REPLACED_FOLDER);
        return nullptr;
    }
    return dir;
}

MakeDirResult platMakeDirAt(DirHandle* parent, const NChar* name, const NChar* path,
                            DirHandle** made)
{
    (void)parent;
    (void)name;
    *made = nullptr;
    MakeDirResult result = platMakeDir(path);
    if (result != MAKEDIR_OK) return result;
    *made = dirHandleOf(path);
    return *made != nullptr ? MAKEDIR_OK : MAKEDIR_FAILED;
}

bool platGetDirData(DirHandle* dir, FileData* data, FileIdentity* identity)
{
    if (dir == nullptr) return failedWith("GetFileAttributesExW", ERROR_INVALID_HANDLE);
    if (!platGetFileData(dir->path, data)) return false;
    return identity == nullptr || platGetIdentity(dir->path, identity);
}

void platSetDirAccess(DirHandle* dir, const FileData* data)
{
    // A Windows folder inherits its access from the folder it is made in
    // (the backup root).
    (void)dir;
    (void)data;
}

bool platSetDirTimes(DirHandle* dir, const FileData* data)
{
    if (dir == nullptr) return failedWith("SetFileTime", ERROR_INVALID_HANDLE);
    return platSetTimes(dir->path, data);
}

void platProbeAccess(DirHandle* dir, bool* keepsModes, bool* keepsOwners)
{
    // Access comes from the folder a file is made in; nothing is carried.
    (void)dir;
    *keepsModes = false;
    *keepsOwners = false;
}

FindHandle* platFindFirstIn(DirHandle* dir, const NChar* dirPath, FindEntry* entry)
{
    (void)dir;
    return platFindFirst(dirPath, entry);
}

bool platGetFileDataAt(DirHandle* dir, const NChar* name, const NChar* path, FileData* data)
{
    (void)dir;
    (void)name;
    return platGetFileData(path, data);
}

bool platGetIdentityAt(DirHandle* dir, const NChar* name, const NChar* path, FileData* data,
                       FileIdentity* identity)
{
    (void)dir;
    (void)name;
    // The entry itself, never what a link or junction points at.
    HANDLE handle = CreateFileW(systemPathOf(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    BOOL ok = GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    if (!ok || !platGetFileData(path, data)) return false;
    identity->volume = info.dwVolumeSerialNumber;
    identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

OpenResult platOpenReadAt(DirHandle* dir, const NChar* name, const NChar* path,
                          FileHandle** handle, FileData* data)
{
    (void)dir;
    (void)name;
    if (!platGetFileData(path, data)) return OPEN_FAILED;
    FILE* stream = openStream(path, L"rb");
    if (stream == nullptr) return OPEN_FAILED;
    // Only a disk file is copied; a device or pipe name could block forever.
    HANDLE osHandle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (GetFileType(osHandle) != FILE_TYPE_DISK) {
        fclose(stream);
        return OPEN_NOT_REGULAR;
    }
    *handle = handleOf(stream);
    return *handle != nullptr ? OPEN_OK : OPEN_FAILED;
}

CreateResult platCreateWriteAt(DirHandle* dir, const NChar* name, const NChar* path, bool replace,
                               FileHandle** handle)
{
    (void)dir;
    (void)name;
    // Replace, never truncate: an existing file may share its data with a
    // file of an earlier snapshot through a hard link, and "wb" would write
    // through it. A file that cannot be removed is not written at all.
    if (GetFileAttributesW(systemPathOf(path).c_str()) != INVALID_FILE_ATTRIBUTES) {
        if (!replace) return failedWith("_wfopen_s", ERROR_FILE_EXISTS), CREATE_EXISTS;
        // The old entry may be a read-only file that an earlier snapshot
        // links: it goes without changing the attribute seen there.
        if (!removeFileKeepingLinks(path)) return CREATE_FAILED;
    }
    wchar_t* pathCopy = copyOf(path);
    if (pathCopy == nullptr) return failedWith("malloc", ERROR_NOT_ENOUGH_MEMORY), CREATE_FAILED;
    FILE* stream = openStream(path, L"wb");
    if (stream == nullptr) {
        free(pathCopy);
        return CREATE_FAILED;
    }
    *handle = handleOf(stream);
    if (*handle == nullptr) {
        free(pathCopy);
        return CREATE_FAILED;
    }
    (*handle)->path = pathCopy;
    return CREATE_OK;
}

bool platCloseCopy(FileHandle* handle, const FileData* data, StoredCopy* stored)
{
    if (stored != nullptr) stored->known = false;
    // The attributes go on by path after the close: a read-only attribute
    // must not stop the last write.
    wchar_t* path = handle->path;
    handle->path = nullptr;
    bool closed = platClose(handle);
    if (closed && data != nullptr && path != nullptr) {
        setAttributes(path, data);
        platSetTimes(path, data);
        if (stored != nullptr)
            stored->known = platGetIdentityAt(nullptr, nullptr, path, &stored->data, &stored->identity);
    }
    free(path);
    return closed;
}

bool platRemoveFileAt(DirHandle* dir, const NChar* name, const NChar* path)
{
    (void)dir;
    (void)name;
    return DeleteFileW(systemPathOf(path).c_str()) != 0 || failed("DeleteFileW");
}

// What a failed link means to the caller.
static CreateResult linkFailure(int code)
{
    switch (code) {
    case ERROR_ALREADY_EXISTS: return CREATE_EXISTS;
    case ERROR_TOO_MANY_LINKS: return CREATE_TOO_MANY_LINKS;
    // FAT and exFAT, and shares without links.
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED: return CREATE_UNSUPPORTED;
    default: return CREATE_FAILED;
    }
}

CreateResult platHardLinkAt(DirHandle* twinDir, const NChar* twinName, const NChar* twinPath,
                            DirHandle* newDir, const NChar* newName, const NChar* newPath)
{
    (void)twinDir;
    (void)twinName;
    (void)newDir;
    (void)newName;
    if (CreateHardLinkW(systemPathOf(newPath).c_str(), systemPathOf(twinPath).c_str(), nullptr)) return CREATE_OK;
    failed("CreateHardLinkW");
    return linkFailure(lastFailure.code);
}

bool platProbeLinkAttributes(DirHandle* dir)
{
    // Links are followed here, never stored.
    (void)dir;
    return true;
}

bool platProbeHardLinks(DirHandle* dir)
{
    // Made and removed here; a probe left by a killed run goes first.
    std::wstring probe = std::wstring(dir->path) + L".linksnap-probe-file";
    std::wstring second = std::wstring(dir->path) + L".linksnap-probe-name";
    DeleteFileW(second.c_str());
    DeleteFileW(probe.c_str());
    HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        failed("CreateFileW");
        return true;
    }
    CloseHandle(file);
    bool unsupported = false;
    if (!CreateHardLinkW(second.c_str(), probe.c_str(), nullptr)) {
        failed("CreateHardLinkW");
        unsupported = linkFailure(lastFailure.code) == CREATE_UNSUPPORTED;
    }
    DeleteFileW(second.c_str());
    DeleteFileW(probe.c_str());
    return !unsupported;
}

bool platGetHandleIdentity(FileHandle* handle, FileIdentity* identity, uint64_t* linkCount)
{
    HANDLE osHandle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(handle->stream)));
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(osHandle, &info)) return failed("GetFileInformationByHandle");
    identity->volume = info.dwVolumeSerialNumber;
    identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    *linkCount = info.nNumberOfLinks;
    return true;
}

// This build works by path: the copy is linked by the path it was made at.
struct LinkSource {
    wchar_t* path;
};

LinkSource* platKeepLinkSource(FileHandle* copy)
{
    if (copy->path == nullptr) return nullptr;
    LinkSource* source = static_cast<LinkSource*>(malloc(sizeof(LinkSource)));
    if (source == nullptr) return failedWith("malloc", ERROR_NOT_ENOUGH_MEMORY), nullptr;
    source->path = copyOf(copy->path);
    if (source->path == nullptr) {
        failedWith("malloc", ERROR_NOT_ENOUGH_MEMORY);
        free(source);
        return nullptr;
    }
    return source;
}

void platDropLinkSource(LinkSource* source)
{
    if (source == nullptr) return;
    free(source->path);
    free(source);
}

CreateResult platHardLinkFrom(LinkSource* source, DirHandle* newDir, const NChar* newName,
                              const NChar* newPath)
{
    (void)newDir;
    (void)newName;
    if (CreateHardLinkW(newPath, source->path, nullptr)) return CREATE_OK;
    failed("CreateHardLinkW");
    return linkFailure(lastFailure.code);
}

bool platSameLinkTargetAt(DirHandle* dirA, const NChar* nameA, const NChar* pathA,
                          DirHandle* dirB, const NChar* nameB, const NChar* pathB)
{
    // Links are followed here, never stored: there is no target to compare.
    (void)dirA, (void)nameA, (void)pathA, (void)dirB, (void)nameB, (void)pathB;
    return true;
}

CreateResult platCopySymbolicLinkAt(DirHandle* sourceDir, const NChar* sourceName,
                                    const NChar* sourcePath, DirHandle* destinationDir,
                                    const NChar* destinationName, const NChar* destinationPath,
                                    bool replace, const FileData* data)
{
    // Never reached: links are followed on Windows, not stored as links.
    (void)sourceDir, (void)sourceName, (void)sourcePath, (void)destinationDir;
    (void)destinationName, (void)destinationPath, (void)replace, (void)data;
    return failedWith("CreateSymbolicLinkW", ERROR_NOT_SUPPORTED), CREATE_FAILED;
}


// ---- streams -----------------------------------------------------------------

FILE* platOpenStream(const NChar* path, const char* mode)
{
    // The C runtime modes are plain ASCII ("a", "rb", "wb").
    wchar_t wideMode[8];
    size_t k = 0;
    for (; mode[k] != 0; ++k) {
        if (k + 1 >= sizeof wideMode / sizeof wideMode[0]) return nullptr;
        wideMode[k] = static_cast<wchar_t>(static_cast<unsigned char>(mode[k]));
    }
    wideMode[k] = 0;
    return openStream(path, wideMode);
}

bool platSyncStream(FILE* stream)
{
    if (fflush(stream) != 0) return failedErrno("fflush");
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (handle == INVALID_HANDLE_VALUE) return failedWith("_get_osfhandle", ERROR_INVALID_HANDLE);
    return FlushFileBuffers(handle) != 0 || failed("FlushFileBuffers");
}

static bool isLeadSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
static bool isTrailSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

static bool writeConsole(HANDLE console, const wchar_t* text, size_t count)
{
    while (count > 0) {
        DWORD done = 0;
        if (!WriteConsoleW(console, text, static_cast<DWORD>(count), &done, nullptr) || done == 0)
            return false;
        text += done;
        count -= done;
    }
    return true;
}

// A console shows every character as itself: the text goes to it as UTF-16,
// each line feed as CR LF like the C runtime's text mode writes it.
static bool writeToConsole(HANDLE console, const wchar_t* text, size_t count)
{
    const size_t PIECE_CHARS = 256;
    wchar_t piece[PIECE_CHARS];
    size_t used = 0;
    for (size_t k = 0; k < count; ++k) {
        if (used + 3 > PIECE_CHARS) {
            // A surrogate pair goes out in one call: its lead waits.
            size_t keep = isLeadSurrogate(piece[used - 1]) ? 1 : 0;
            if (!writeConsole(console, piece, used - keep)) return false;
            if (keep) piece[0] = piece[used - 1];
            used = keep;
        }
        if (text[k] == L'\n') piece[used++] = L'\r';
        piece[used++] = text[k];
    }
    return writeConsole(console, piece, used);
}

// A file or a pipe gets the bytes the C runtime writes without a locale:
// one byte per character up to U+00FF. A character above has no byte; it
// becomes one '?' (a surrogate pair is one character), and the line goes
// on. The stream's text mode turns each line feed into CR LF.
static bool writeAsBytes(FILE* stream, const wchar_t* text, size_t count)
{
    char bytes[256];
    size_t used = 0;
    for (size_t k = 0; k < count; ++k) {
        wchar_t c = text[k];
        if (isLeadSurrogate(c) && k + 1 < count && isTrailSurrogate(text[k + 1])) ++k;
        if (used == sizeof bytes) {
            if (fwrite(bytes, 1, used, stream) != used) return false;
            used = 0;
        }
        bytes[used++] = c <= 0xFF ? static_cast<char>(c) : '?';
    }
    return fwrite(bytes, 1, used, stream) == used;
}

bool platWriteText(FILE* stream, const NChar* text, size_t count)
{
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode;
    if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        // What the stream still holds goes first, so the order stays.
        return fflush(stream) == 0 && writeToConsole(handle, text, count);
    }
    return writeAsBytes(stream, text, count);
}

// ---- time --------------------------------------------------------------------

int64_t platNow()
{
    return static_cast<int64_t>(_time64(nullptr));
}

bool platLocalClock(int64_t when, LocalTime* local)
{
    __time64_t t = static_cast<__time64_t>(when);
    struct tm parts;
    if (_localtime64_s(&parts, &t) != 0) return failedErrno("_localtime64_s");
    *local = {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec};
    return true;
}

// ---- this process and this machine -------------------------------------------

unsigned long platProcessId()
{
    return static_cast<unsigned long>(GetCurrentProcessId());
}

bool platHostName(NChar* name, size_t capacity)
{
    wchar_t host[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(host, &size)) return failed("GetComputerNameW");
    return copyText(name, capacity, static_cast<const wchar_t*>(host));
}

int platCoreCount()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors < 1 ? 1 : static_cast<int>(info.dwNumberOfProcessors);
}

// ---- keep-awake ----------------------------------------------------------------

void platKeepAwake(bool on)
{
    // 0x80000001 asks the system to stay awake; 0x80000000 alone ends it.
    if (on == platformState.keepingAwake) return;
    SetThreadExecutionState(on ? (ES_CONTINUOUS | ES_SYSTEM_REQUIRED) : ES_CONTINUOUS);
    platformState.keepingAwake = on;
}

// ---- child processes -------------------------------------------------------------

const NChar platShutdownCommand[] = L"shutdown -t 0 -s -f";

static void closeIfValid(HANDLE handle)
{
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr) CloseHandle(handle);
}

int32_t platRunCommand(NChar* commandLine, int inheritHandles, int hideWindow)
{
    // cb is the record's size in the build at hand: 68 in a 32-bit build,
    // 104 on x64.
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof(STARTUPINFOW);
    if (hideWindow) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
    }
    PROCESS_INFORMATION process;
    process.hProcess = INVALID_HANDLE_VALUE;
    process.hThread = INVALID_HANDLE_VALUE;
    process.dwProcessId = 0;
    process.dwThreadId = 0;

    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, inheritHandles ? TRUE : FALSE, 0,
                        nullptr, nullptr, &startup, &process)) {
        failed("CreateProcessW");
        closeIfValid(process.hProcess);
        closeIfValid(process.hThread);
        return -1;
    }
    if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0) {
        failed("WaitForSingleObject");
        closeIfValid(process.hProcess);
        closeIfValid(process.hThread);
        return -2;
    }
    DWORD exitCode = 0;
    // An exit code that cannot be read is reported as a failed wait.
    int32_t result = GetExitCodeProcess(process.hProcess, &exitCode)
                         ? static_cast<int32_t>(exitCode)
                         : (failed("GetExitCodeProcess"), -2);
    closeIfValid(process.hProcess);
    closeIfValid(process.hThread);
    return result;
}

// ---- absolute paths ----------------------------------------------------------

FullPathResult platFullPath(const NChar* path, NChar* buffer, size_t capacity)
{
    if (capacity == 0) return FULLPATH_TOO_LONG;
    buffer[0] = 0;
    DWORD size = capacity < MAXDWORD ? static_cast<DWORD>(capacity) : MAXDWORD;
    // The length written, or when the buffer is too small the size needed
    // with the terminator; 0 on failure.
    DWORD length = GetFullPathNameW(path, size, buffer, nullptr);
    if (length > 0 && length < size) return FULLPATH_OK;
    buffer[0] = 0;
    if (length == 0) return failed("GetFullPathNameW"), FULLPATH_FAILED;
    failedWith("GetFullPathNameW", ERROR_FILENAME_EXCED_RANGE);
    return FULLPATH_TOO_LONG;
}
