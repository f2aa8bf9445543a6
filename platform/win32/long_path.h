// Paths as the Windows layer hands them to the system.
//
// A path of more than 260 characters reaches the file system only in its
// extended form, behind "\\?\" (or "\\?\UNC\" for a share): without it the
// call fails on every machine that has not turned on long paths in the
// registry, whatever the program's manifest says. The extended form is
// taken literally by the system (no "." or "..", no '/' as separator, no
// relative part), so every path is first made absolute and resolved, then
// prefixed. Only the Windows layer uses this.
#pragma once

#include <string>

// The extended form of a path that is already absolute and resolved: a
// drive path "C:\a" becomes "\\?\C:\a", a share "\\host\share\a" becomes
// "\\?\UNC\host\share\a", and a path that is already extended ("\\?\...")
// or names a device ("\\.\...") stays as it is. Anything else (a relative
// or drive-relative path) is returned unchanged.
std::wstring extendedPathOf(const std::wstring& fullPath);

// The path to hand to the system for path: resolved against the working
// folder (GetFullPathNameW, which also resolves "." and ".." and turns '/'
// into '\'), then extended. A path that cannot be resolved is handed over
// as it is, so that the call fails with the system's own reason.
std::wstring systemPathOf(const wchar_t* path);
