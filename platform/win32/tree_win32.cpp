// Removing what a stopped run left in its snapshot, on Windows: a folder
// is emptied entry by entry; a junction or folder link is removed itself,
// never entered; a read-only file loses that attribute first.
#include "platform/platform.h"

#include <windows.h>

#include <string>

static bool removeEntry(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        DWORD kept = attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
        SetFileAttributesW(path.c_str(), kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL);
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return DeleteFileW(path.c_str()) != 0;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0) continue;
                removeEntry(path + L"\\" + data.cFileName);
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
    }
    return RemoveDirectoryW(path.c_str()) != 0;
}

bool platRemoveTree(const NChar* path)
{
    std::wstring name(path);
    while (name.size() > 1 && name.back() == L'\\') name.pop_back();
    return removeEntry(name);
}

bool platMakeFolderWritable(const NChar* path)
{
    (void)path;
    return true;
}
