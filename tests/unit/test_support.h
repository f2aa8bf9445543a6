// Shared helpers of the unit tests: a clean process state per test and a
// temporary folder on the real file system.
#pragma once

#include <filesystem>
#include <string>

#include "app/run.h"
#include "platform/text.h"

typedef std::basic_string<NChar> NString;


// A fresh folder that is removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }
    // The folder as a directory path of the program (ending with the separator).
    NString dir() const;
    // A path inside the folder, as the program names it.
    NString at(const std::string& relative) const;

private:
    std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, const std::string& content);
std::string readFile(const std::filesystem::path& path);

// A native string from bytes: on Windows each byte becomes the character
// of its code.
NString native(const std::string& text);
