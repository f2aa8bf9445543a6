// Whole trees of a backup root on Windows: counting what a snapshot holds
// (GetFileInformationByHandle gives the link count and the file index) and
// removing it (a read-only file without touching the attribute its other
// hard links share, RemoveDirectoryW for folders). Junctions and symbolic
// links are never entered.
#include "platform/platform.h"
#include "platform/win32/layer_state.h"
#include "platform/win32/long_path.h"

#include <windows.h>

#include <string>
#include <vector>

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
    HANDLE handle = CreateFileW(systemPathOf(path.c_str()).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
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

// One folder being listed in an iterative walk: the length of its path in
// the walk's path buffer, and its open listing with the entry it holds.
struct FindFrame {
    size_t length;
    HANDLE find;
    WIN32_FIND_DATAW data;
    bool fresh; // data holds the listing's first entry, not yet taken
};

// Opens the listing of the folder path and pushes it; false when it
// cannot be listed (the failure record tells why).
static bool pushFolder(std::vector<FindFrame>* frames, const std::wstring& path)
{
    FindFrame frame;
    frame.length = path.size();
    // The extended form is taken literally: one separator before the "*",
    // also behind a drive root's own.
    std::wstring pattern = systemPathOf(path.c_str());
    if (pattern.empty() || pattern.back() != L'\\') pattern += L'\\';
    pattern += L'*';
    frame.find = FindFirstFileW(pattern.c_str(), &frame.data);
    if (frame.find == INVALID_HANDLE_VALUE) return failed("FindFirstFileW");
    frame.fresh = true;
    frames->push_back(frame);
    return true;
}

// The next entry of the deepest listing; false at its end (the failure
// record set, and broken, when the listing failed rather than ended).
static bool nextEntry(FindFrame* frame, bool* broken)
{
    *broken = false;
    if (frame->fresh) {
        frame->fresh = false;
        return true;
    }
    if (FindNextFileW(frame->find, &frame->data)) return true;
    DWORD ended = GetLastError();
    if (ended != ERROR_NO_MORE_FILES) *broken = !failedWith("FindNextFileW", ended);
    return false;
}

// Walks the tree without recursion: a path buffer and one listing per level.
static bool scanFolder(const std::wstring& folder, TreeFileVisitor visit, void* context)
{
    std::wstring path = folder;
    std::vector<FindFrame> frames;
    if (!pushFolder(&frames, path)) return false;
    bool whole = true;
    while (!frames.empty()) {
        FindFrame& frame = frames.back();
        bool broken = false;
        if (!nextEntry(&frame, &broken)) {
            if (broken) whole = false;
            FindClose(frame.find);
            frames.pop_back();
            if (!frames.empty()) path.resize(frames.back().length);
            continue;
        }
        if (isDotName(frame.data.cFileName)) continue;
        path.resize(frame.length);
        path += L"\\";
        path += frame.data.cFileName;
        if (isRealFolder(frame.data.dwFileAttributes)) {
            if (!pushFolder(&frames, path)) whole = false;
            continue;
        }
        TreeFile file;
        if (readTreeFile(path, &file))
            visit(&file, context);
        else
            whole = false;
    }
    return whole;
}

bool platScanTree(const NChar* path, TreeFileVisitor visit, void* context)
{
    std::wstring folder = withoutTrailingSeparator(path);
    DWORD attributes = GetFileAttributesW(systemPathOf(folder.c_str()).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return failed("GetFileAttributesW");
    if (!isRealFolder(attributes)) return failedWith("GetFileAttributesW", ERROR_DIRECTORY);
    return scanFolder(folder, visit, context);
}

bool platScanTreeAt(DirHandle* parent, const NChar* name, const NChar* path, TreeFileVisitor visit,
                    void* context)
{
    // By path: the Windows layer's folders are paths.
    (void)parent;
    (void)name;
    return platScanTree(path, visit, context);
}

// ---- renaming and removing -----------------------------------------------------

bool platRenameFolderAt(DirHandle* dir, const NChar* from, const NChar* fromPath, const NChar* to,
                        const NChar* toPath)
{
    (void)dir;
    (void)from;
    (void)to;
    std::wstring source = withoutTrailingSeparator(fromPath);
    DWORD attributes = GetFileAttributesW(systemPathOf(source.c_str()).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return failed("GetFileAttributesW");
    if (!isRealFolder(attributes)) return failedWith("MoveFileExW", ERROR_DIRECTORY);
    return MoveFileExW(systemPathOf(source.c_str()).c_str(),
                       systemPathOf(withoutTrailingSeparator(toPath).c_str()).c_str(), 0) ||
           failed("MoveFileExW");
}

struct Removal {
    RemoveFailureReport report;
    void* context;
    bool whole;
};

// Reports the failure the record holds.
static void reportKept(Removal* removal, const std::wstring& path)
{
    removal->whole = false;
    if (removal->report == nullptr) return;
    wchar_t reason[512];
    platFailureText(reason, 512);
    removal->report(path.c_str(), reason, removal->context);
}

// Keeps the failure of call, just made, and reports it.
static void reportFailure(Removal* removal, const std::wstring& path, const char* call)
{
    failed(call);
    reportKept(removal, path);
}

static bool isGone(DWORD code)
{
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// ---- removing a file that shares its data ------------------------------------------

// A hard link shares its attribute word with every other name of the file:
// clearing the read-only attribute of one name to delete it would make the
// same file writable in every snapshot that links it.

// The extended disposition (Windows 10 1809 on), spelled out here because
// the headers offer it only to builds for that version.
const FILE_INFO_BY_HANDLE_CLASS DISPOSITION_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
const DWORD DISPOSITION_DELETE = 0x1;
const DWORD DISPOSITION_IGNORE_READONLY = 0x10;

static HANDLE openForDelete(const wchar_t* path, DWORD access)
{
    // The entry itself: a link or junction is removed, never followed.
    return CreateFileW(systemPathOf(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

static bool setAttributeWord(HANDLE handle, DWORD attributes)
{
    // Zero times leave the file's times as they are.
    FILE_BASIC_INFO change = {};
    change.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle, FileBasicInfo, &change, sizeof change) != 0;
}

static bool markForDelete(HANDLE handle, bool remove)
{
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

bool removeFileRestoringReadOnly(const wchar_t* path)
{
    HANDLE handle = openForDelete(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE) return failed("CreateFileW");
    FILE_BASIC_INFO info;
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info)) {
        failed("GetFileInformationByHandleEx");
        CloseHandle(handle);
        return false;
    }
    const DWORD attributes = info.FileAttributes;
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    bool removed = false;
    if (readOnly && !setAttributeWord(handle, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
        failed("SetFileInformationByHandle");
    } else if (!markForDelete(handle, true)) {
        failed("SetFileInformationByHandle");
    } else {
        removed = true;
    }
    // The remaining names get their attribute back before the handle
    // closes. Where that fails the file is kept rather than leave the
    // other names writable.
    if (readOnly && !setAttributeWord(handle, attributes)) {
        DWORD code = GetLastError();
        if (removed) markForDelete(handle, false);
        setAttributeWord(handle, attributes);
        failedWith("SetFileInformationByHandle", code);
        removed = false;
    }
    if (!CloseHandle(handle) && removed) return failed("CloseHandle");
    return removed;
}

// Tests switch the extended disposition off to see the second way work
// through the whole program, as on systems without it.
static bool dispositionExOffered()
{
    // A constant of the process, read once: the environment is the test's.
    static const bool offered = GetEnvironmentVariableW(L"LINKSNAP_TEST_NO_DISPOSITION_EX", nullptr, 0) == 0;
    return offered;
}

bool removeFileKeepingLinks(const wchar_t* path)
{
    DWORD attributes = GetFileAttributesW(systemPathOf(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return failed("GetFileAttributesW");
    if (!(attributes & FILE_ATTRIBUTE_READONLY)) return DeleteFileW(systemPathOf(path).c_str()) != 0 || failed("DeleteFileW");
    if (dispositionExOffered()) {
        HANDLE handle = openForDelete(path, DELETE);
        if (handle == INVALID_HANDLE_VALUE) return failed("CreateFileW");
        DWORD flags = DISPOSITION_DELETE | DISPOSITION_IGNORE_READONLY;
        bool marked = SetFileInformationByHandle(handle, DISPOSITION_INFO_EX, &flags, sizeof flags) != 0;
        DWORD code = GetLastError();
        bool closed = CloseHandle(handle) != 0;
        if (marked) return closed || failed("CloseHandle");
        // Only a system or file system without the disposition goes the
        // second way; any other failure is the file's own.
        if (code != ERROR_INVALID_PARAMETER && code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_FUNCTION &&
            code != ERROR_CALL_NOT_IMPLEMENTED && code != ERROR_ACCESS_DENIED)
            return failedWith("SetFileInformationByHandle", code);
    }
    return removeFileRestoringReadOnly(path);
}

// ---- removing trees ---------------------------------------------------------------

// Clears the read-only attribute of a folder, which stops RemoveDirectoryW
// (a folder has no other names).
static void makeWritable(const std::wstring& path, DWORD attributes)
{
    if (!(attributes & FILE_ATTRIBUTE_READONLY)) return;
    DWORD cleared = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(systemPathOf(path.c_str()).c_str(), cleared != 0 ? cleared : FILE_ATTRIBUTE_NORMAL);
}

// Removes one entry that is no real folder: a file, or a junction or link
// to a folder, which RemoveDirectoryW removes alone.
static void removeLeaf(const std::wstring& path, DWORD attributes, Removal* removal)
{
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        makeWritable(path, attributes);
        if (!RemoveDirectoryW(systemPathOf(path.c_str()).c_str()) && !isGone(GetLastError()))
            reportFailure(removal, path, "RemoveDirectoryW");
    } else if (!removeFileKeepingLinks(path.c_str()) && !isGone(lastFailure.code)) {
        reportKept(removal, path);
    }
}

// Empties a tree without recursion, one listing per level, and removes
// each folder once its listing has ended.
static void removeEntry(const std::wstring& top, DWORD attributes, Removal* removal)
{
    if (!isRealFolder(attributes)) return removeLeaf(top, attributes, removal);
    makeWritable(top, attributes);
    std::wstring path = top;
    std::vector<FindFrame> frames;
    if (!pushFolder(&frames, path)) {
        if (!isGone(lastFailure.code)) reportKept(removal, path);
        return;
    }
    while (!frames.empty()) {
        FindFrame& frame = frames.back();
        bool broken = false;
        if (!nextEntry(&frame, &broken)) {
            FindClose(frame.find);
            path.resize(frame.length);
            frames.pop_back();
            if (broken) reportKept(removal, path);
            if (!RemoveDirectoryW(systemPathOf(path.c_str()).c_str()) && !isGone(GetLastError()))
                reportFailure(removal, path, "RemoveDirectoryW");
            if (!frames.empty()) path.resize(frames.back().length);
            continue;
        }
        if (isDotName(frame.data.cFileName)) continue;
        path.resize(frame.length);
        path += L"\\";
        path += frame.data.cFileName;
        DWORD childAttributes = frame.data.dwFileAttributes;
        if (!isRealFolder(childAttributes)) {
            removeLeaf(path, childAttributes, removal);
            continue;
        }
        makeWritable(path, childAttributes);
        if (pushFolder(&frames, path)) continue;
        if (!isGone(lastFailure.code)) reportKept(removal, path);
    }
}

bool platRemoveTreeReporting(const NChar* path, RemoveFailureReport report, void* context)
{
    Removal removal = {report, context, true};
    std::wstring target = withoutTrailingSeparator(path);
    DWORD attributes = GetFileAttributesW(systemPathOf(target.c_str()).c_str());
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

bool platRemoveTreeAt(DirHandle* parent, const NChar* name, const NChar* path, RemoveFailureReport report,
                      void* context)
{
    (void)parent;
    (void)name;
    return platRemoveTreeReporting(path, report, context);
}

bool platMakeDirWritable(DirHandle* dir)
{
    // A Windows folder's access does not come from its source: nothing to do.
    (void)dir;
    return true;
}

void platKeepPrivate(const NChar* path)
{
    // A file in the root has the access the system gives it there.
    (void)path;
}

bool platOthersMayEnter(const NChar* path)
{
    (void)path;
    return false;
}
