#include "test_support.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

TempDir::TempDir()
{
    std::random_device random;
    for (;;) {
        std::ostringstream name;
        name << "linksnap-unit-" << std::hex << random();
        path_ = fs::temp_directory_path() / name.str();
        if (fs::create_directory(path_)) break;
    }
}

TempDir::~TempDir()
{
    std::error_code ignored;
    // Read-only copies need their write bit back before they can go.
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (!it->is_symlink())
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ignored);
}

NString TempDir::dir() const
{
    NString text = path_.native();
    text += PATH_SEP;
    return text;
}

NString TempDir::at(const std::string& relative) const
{
    return (path_ / fs::path(relative).make_preferred()).native();
}

void writeFile(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

NString native(const std::string& text)
{
    // Each byte is one character of its own code (U+0000 to U+00FF).
    NString result;
    for (unsigned char c : text) result += static_cast<NChar>(c);
    return result;
}
