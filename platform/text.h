// Native text: one character type for every path and message.
//
// Windows builds use wchar_t (UTF-16), the POSIX build uses char (bytes,
// UTF-8 by convention, any byte sequence allowed). Format strings are the
// program's own, with "%s" taking a native string on both sides (the
// Windows build runs msvcrt's legacy wide printf, called by name below;
// messages to streams are formatted by report/output.cpp).
// The helpers are overloaded on the character type, so the code above
// needs no #ifdef.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>

#ifdef _WIN32
typedef wchar_t NChar;
#define N(text) L##text
#define PATH_SEP L'\\'
#define PATH_SEP_TEXT L"\\"
#else
typedef char NChar;
#define N(text) text
#define PATH_SEP '/'
#define PATH_SEP_TEXT "/"
#endif

// Capacity, terminator included, of every fixed path buffer.
const int PATH_CHARS = 520;

// The longest entry name the file systems allow: 255 bytes on Linux, 255
// UTF-16 code units on Windows.
const int NAME_MAX_CHARS = 255;

inline size_t textLength(const char* s) { return strlen(s); }
inline size_t textLength(const wchar_t* s) { return wcslen(s); }

inline int compareText(const char* a, const char* b) { return strcmp(a, b); }
inline int compareText(const wchar_t* a, const wchar_t* b) { return wcscmp(a, b); }

inline int compareTextN(const char* a, const char* b, size_t n) { return strncmp(a, b, n); }
inline int compareTextN(const wchar_t* a, const wchar_t* b, size_t n) { return wcsncmp(a, b, n); }

inline const char* findLast(const char* s, char c) { return strrchr(s, c); }
inline const wchar_t* findLast(const wchar_t* s, wchar_t c) { return wcsrchr(s, c); }

// Case-insensitive comparison as the C runtime does it without a locale:
// only A-Z fold onto a-z, every other code unit compares by its value.
template <typename C>
int compareNoCase(const C* a, const C* b)
{
    for (;; ++a, ++b) {
        unsigned long x = static_cast<unsigned long>(*a);
        unsigned long y = static_cast<unsigned long>(*b);
        if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
        if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
}

// Bounded copy into a buffer of capacity characters (terminator included).
// False, with an empty buffer, when the text does not fit: nothing is cut.
template <typename C>
bool copyText(C* buffer, size_t capacity, const C* text)
{
    size_t length = textLength(text);
    if (capacity == 0) return false;
    if (length >= capacity) {
        buffer[0] = 0;
        return false;
    }
    memcpy(buffer, text, (length + 1) * sizeof(C));
    return true;
}

// Bounded append; false, with the buffer unchanged, when the text does not fit.
template <typename C>
bool appendText(C* buffer, size_t capacity, const C* text)
{
    size_t used = textLength(buffer);
    size_t length = textLength(text);
    if (used + length >= capacity) return false;
    memcpy(buffer + used, text, (length + 1) * sizeof(C));
    return true;
}

inline int formatTextV(char* buffer, size_t capacity, const char* format, va_list values)
{
    return vsnprintf(buffer, capacity, format, values);
}
#ifdef _WIN32
// The wide formatting, printing and scanning of the Windows build are the
// C runtime's own (msvcrt), called by their own names, in which "%s" in a
// wide format takes a wide string. Defining __USE_MINGW_ANSI_STDIO=0 does
// not get them in C++: mingw-w64's libstdc++ sets it to 1 in every file
// that includes a standard header (bits/os_defines.h), and vswprintf,
// vfwprintf and swscanf then become mingw's C99 versions, where "%s" in a
// wide format takes a narrow string.

// _vsnwprintf writes at most capacity characters and returns -1 when the
// text is longer, capacity (with no terminator) when it fills the buffer
// exactly; formatText refuses both, so nothing is cut and nothing overruns.
inline int formatTextV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list values)
{
    return _vsnwprintf(buffer, capacity, format, values);
}
#else
inline int formatTextV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list values)
{
    return vswprintf(buffer, capacity, format, values);
}
#endif

// Bounded formatting; false, with an empty buffer, when the text does not
// fit. Never used with a path as the format.
template <typename C>
bool formatText(C* buffer, size_t capacity, const C* format, ...)
{
    if (capacity == 0) return false;
    va_list values;
    va_start(values, format);
    int written = formatTextV(buffer, capacity, format, values);
    va_end(values);
    if (written < 0 || static_cast<size_t>(written) >= capacity) {
        buffer[0] = 0;
        return false;
    }
    return true;
}

inline int scanText(const char* text, const char* format, void* destination)
{
    return sscanf(text, format, destination);
}
inline int scanText(const wchar_t* text, const wchar_t* format, void* destination)
{
#ifdef _WIN32
    // msvcrt's swscanf: "%s" and "%c" store wide characters.
    return __ms_swscanf(text, format, destination);
#else
    return swscanf(text, format, destination);
#endif
}

// True when text ends with the platform separator.
template <typename C>
bool endsWithSeparator(const C* text)
{
    size_t length = textLength(text);
    return length > 0 && text[length - 1] == PATH_SEP;
}
