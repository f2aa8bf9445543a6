// Whole trees of a backup root on Windows: counting what a snapshot holds
// (GetFileInformationByHandle gives the link count and the file index) and
// removing it (DeleteFileW, RemoveDirectoryW, with the read-only attribute
// cleared first). Junctions and symbolic links are never entered.
#include "platform/platform.h"
#include "platform/win32/layer_state.h"

#include <windows.h>

#include <string>

static std::wstring withoutTrailingSeparator(const NChar* path)
{
    std::wstring whole(path);
    // Keep the separator of a drive root ("C:\").
    while (whole.size() > 3 && (whole.back() == L'\\' || whole.back() == L'/')) whole.pop_back();
    return whole;
}

static bool isDotName(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

static bool isRealFolder(DWORD attributes)
{
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// ---- scanning ------------------------------------------------------------------

// Link count, identity and size of one entry, read from a handle opened
// without access to its content and without following a reparse point.
static bool readTreeFile(const std::wstring& path, TreeFile* file)
{
    HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return failed("CreateFileW");
    BY_HANDLE_FILE_INFORMATION info;
    bool read = GetFileInformationByHandle(handle, &info) != 0;
    if (!read) failed("GetFileInformationByHandle");
    CloseHandle(handle);
    if (!read) return false;
    file->identity.volume = info.dwVolumeSerialNumber;
    file->identity.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    bool regular = !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    file->size = regular ? (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow : 0;
    file->linkCount = info.nNumberOfLinks;
    return true;
}

static bool scanFolder(const std::wstring& folder, TreeFileVisitor visit, void* context)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return failed("FindFirstFileW");
    bool whole = true;
    do {
        if (isDotName(data.cFileName)) continue;
        std::wstring path = folder + L"\\" + data.cFileName;
        if (isRealFolder(data.dwFileAttributes)) {
            if (!scanFolder(path, visit, context)) whole = false;
            continue;
        }
        TreeFile file;
        if (readTreeFile(path, &file))
            visit(&file, context);
        else
            whole = false;
    } while (FindNextFileW(find, &data));
    DWORD ended = GetLastError();
    if (ended != ERROR_NO_MORE_FILES) whole = failedWith("FindNextFileW", ended);
    FindClose(find);
    return whole;
}

bool platScanTree(const NChar* path, TreeFileVisitor visit, void* context)
{
    std::wstring folder = withoutTrailingSeparator(path);
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return failed("GetFileAttributesW");
    if (!isRealFolder(attributes)) return failedWith("GetFileAttributesW", ERROR_DIRECTORY);
    return scanFolder(folder, visit, context);
}

// ---- renaming and removing -----------------------------------------------------

bool platRenameFolder(const NChar* from, const NChar* to)
{
    std::wstring source = withoutTrailingSeparator(from);
    DWORD attributes = GetFileAttributesW(source.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return failed("GetFileAttributesW");
    if (!isRealFolder(attributes)) return failedWith("MoveFileExW", ERROR_DIRECTORY);
    return MoveFileExW(source.c_str(), withoutTrailingSeparator(to).c_str(), 0) || failed("MoveFileExW");
}

struct Removal {
    RemoveFailureReport report;
    void* context;
    bool whole;
};

static void reportFailure(Removal* removal, const std::wstring& path, const char* call)
{
    failed(call);
    removal->whole = false;
    if (removal->report == nullptr) return;
    wchar_t reason[512];
    platFailureText(reason, 512);
    removal->report(path.c_str(), reason, removal->context);
}

static bool isGone(DWORD code)
{
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// Clears the read-only attribute, which stops both DeleteFileW and
// RemoveDirectoryW.
static void makeWritable(const std::wstring& path, DWORD attributes)
{
    if (!(attributes & FILE_ATTRIBUTE_READONLY)) return;
    DWORD cleared = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(path.c_str(), cleared != 0 ? cleared : FILE_ATTRIBUTE_NORMAL);
}

static void removeEntry(const std::wstring& path, DWORD attributes, Removal* removal)
{
    makeWritable(path, attributes);
    if (isRealFolder(attributes)) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) {
            if (!isGone(GetLastError())) reportFailure(removal, path, "FindFirstFileW");
        } else {
            do {
                if (!isDotName(data.cFileName))
                    removeEntry(path + L"\\" + data.cFileName, data.dwFileAttributes, removal);
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
    }
    // A junction or a link to a folder is a folder entry: RemoveDirectoryW
    // removes the link alone.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (!RemoveDirectoryW(path.c_str()) && !isGone(GetLastError()))
            reportFailure(removal, path, "RemoveDirectoryW");
    } else if (!DeleteFileW(path.c_str()) && !isGone(GetLastError())) {
        reportFailure(removal, path, "DeleteFileW");
    }
}

bool platRemoveTreeReporting(const NChar* path, RemoveFailureReport report, void* context)
{
    Removal removal = {report, context, true};
    std::wstring target = withoutTrailingSeparator(path);
    DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (isGone(GetLastError())) return true;
        reportFailure(&removal, target, "GetFileAttributesW");
        return false;
    }
    removeEntry(target, attributes, &removal);
    return removal.whole;
}

bool platRemoveTree(const NChar* path)
{
    return platRemoveTreeReporting(path, nullptr, nullptr);
}

bool platMakeFolderWritable(const NChar* path)
{
    // A Windows folder's access does not come from its source: nothing to do.
    (void)path;
    return true;
}
