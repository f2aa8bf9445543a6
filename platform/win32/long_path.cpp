#include "platform/win32/long_path.h"

#include <windows.h>

static bool beginsWith(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

static bool isLetter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

std::wstring extendedPathOf(const std::wstring& fullPath)
{
    // Already extended, or a device or an NT object path: the system takes
    // these literally already.
    if (beginsWith(fullPath, L"\\\\?\\") || beginsWith(fullPath, L"\\\\.\\") ||
        beginsWith(fullPath, L"\\??\\"))
        return fullPath;
    // \\host\share\...: the share's extended form drops one of the two
    // leading backslashes.
    if (beginsWith(fullPath, L"\\\\")) return L"\\\\?\\UNC\\" + fullPath.substr(2);
    // C:\...: only a drive path with its root is absolute; "C:a" is
    // relative to the drive's working folder and stays as it is.
    if (fullPath.size() >= 3 && isLetter(fullPath[0]) && fullPath[1] == L':' && fullPath[2] == L'\\')
        return L"\\\\?\\" + fullPath;
    return fullPath;
}

std::wstring systemPathOf(const wchar_t* path)
{
    std::wstring text(path);
    if (beginsWith(text, L"\\\\?\\")) return text;
    DWORD size = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (size == 0) return text;
    std::wstring full(size, L'\0');
    DWORD length = GetFullPathNameW(path, size, &full[0], nullptr);
    if (length == 0 || length >= size) return text;
    full.resize(length);
    return extendedPathOf(full);
}
