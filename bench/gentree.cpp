// Generates the benchmark's source tree, or changes a share of its files.
//
//   gentree make   DIR FOLDERS FILES BIGFILES BIGMIB
//   gentree change DIR FOLDERS FILES PERCENT
//
// The tree is the same on every machine: names, sizes, content and
// last-write times all come from fixed seeds. Folder k (1 .. FOLDERS) hangs
// below folder (k - 1) / 8, folder 0 being DIR itself, which gives a tree a
// few levels deep; file i lives in folder i % (FOLDERS + 1) and has a size
// from 0 to 64 KiB. BIGFILES files of BIGMIB MiB each lie in DIR. No name
// begins with '.', so nothing is hidden from the program.
//
// "change" rewrites every file whose index is picked by PERCENT (the same
// files on every run) with new content, a new size and a later last-write
// time, as an editor would.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const int BRANCHING = 8;
const uint64_t MAX_SMALL_SIZE = 64 * 1024;
const char* const EXTENSIONS[] = {".txt", ".dat", ".jpg", ".doc", ".c", ".h", ".xml", ""};

uint64_t splitmix(uint64_t* state)
{
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::vector<std::string> folderPaths(const std::string& root, int folders)
{
    std::vector<std::string> paths(static_cast<size_t>(folders) + 1);
    paths[0] = root;
    char name[32];
    for (int k = 1; k <= folders; ++k) {
        std::snprintf(name, sizeof name, "dir%04d", k);
        paths[static_cast<size_t>(k)] = paths[static_cast<size_t>((k - 1) / BRANCHING)] + "/" + name;
    }
    return paths;
}

std::string filePath(const std::vector<std::string>& folders, int index)
{
    char name[32];
    std::snprintf(name, sizeof name, "file%05d%s", index,
                  EXTENSIONS[static_cast<size_t>(index) % (sizeof EXTENSIONS / sizeof EXTENSIONS[0])]);
    return folders[static_cast<size_t>(index) % folders.size()] + "/" + name;
}

// A fixed calendar time, 2020-01-01 00:00:00 UTC, plus offset seconds. The
// file clock's epoch is the library's own: it is found from the system clock.
fs::file_time_type fixedTime(int64_t offsetSeconds)
{
    using namespace std::chrono;
    auto fileNow = duration_cast<microseconds>(fs::file_time_type::clock::now().time_since_epoch());
    auto systemNow = duration_cast<microseconds>(system_clock::now().time_since_epoch());
    int64_t epochGap = (fileNow - systemNow).count();
    int64_t gapSeconds = (epochGap >= 0 ? epochGap + 500000 : epochGap - 500000) / 1000000;
    seconds since(gapSeconds + 1577836800 + offsetSeconds);
    return fs::file_time_type(duration_cast<fs::file_time_type::duration>(since));
}

bool writeFile(const std::string& path, uint64_t size, uint64_t seed, std::vector<char>* buffer)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    uint64_t state = seed;
    uint64_t left = size;
    while (left > 0) {
        uint64_t piece = left < buffer->size() ? left : buffer->size();
        for (uint64_t k = 0; k < piece; k += 8) {
            uint64_t word = splitmix(&state);
            uint64_t n = piece - k < 8 ? piece - k : 8;
            std::memcpy(buffer->data() + k, &word, n);
        }
        out.write(buffer->data(), static_cast<std::streamsize>(piece));
        left -= piece;
    }
    out.close();
    return !out.fail();
}

uint64_t smallSize(int index, uint64_t generation)
{
    uint64_t state = 0x5EED0000ull + static_cast<uint64_t>(index) * 7919u + generation * 104729u;
    return splitmix(&state) % (MAX_SMALL_SIZE + 1);
}

bool picked(int index, int percent)
{
    uint64_t state = 0xC4A76E00ull + static_cast<uint64_t>(index);
    return static_cast<int>(splitmix(&state) % 100) < percent;
}

int make(const std::string& root, int folders, int files, int bigFiles, int bigMiB)
{
    std::vector<std::string> paths = folderPaths(root, folders);
    for (const std::string& path : paths) fs::create_directories(path);
    std::vector<char> buffer(1 << 20);
    for (int i = 0; i < files; ++i) {
        std::string path = filePath(paths, i);
        if (!writeFile(path, smallSize(i, 0), static_cast<uint64_t>(i), &buffer)) {
            std::fprintf(stderr, "gentree: cannot write %s\n", path.c_str());
            return 1;
        }
        fs::last_write_time(path, fixedTime(i));
    }
    for (int b = 0; b < bigFiles; ++b) {
        std::string path = root + "/big" + std::to_string(b + 1) + ".bin";
        if (!writeFile(path, static_cast<uint64_t>(bigMiB) << 20, 0xB16ull + static_cast<uint64_t>(b), &buffer)) {
            std::fprintf(stderr, "gentree: cannot write %s\n", path.c_str());
            return 1;
        }
        fs::last_write_time(path, fixedTime(files + b));
    }
    // Folder times last: writing the files above changed them.
    for (size_t k = paths.size(); k-- > 0;) fs::last_write_time(paths[k], fixedTime(0));
    return 0;
}

int change(const std::string& root, int folders, int files, int percent)
{
    std::vector<std::string> paths = folderPaths(root, folders);
    std::vector<char> buffer(1 << 20);
    int changed = 0;
    for (int i = 0; i < files; ++i) {
        if (!picked(i, percent)) continue;
        std::string path = filePath(paths, i);
        if (!writeFile(path, smallSize(i, 1), static_cast<uint64_t>(i) + 0x10000000ull, &buffer)) {
            std::fprintf(stderr, "gentree: cannot write %s\n", path.c_str());
            return 1;
        }
        fs::last_write_time(path, fixedTime(24 * 3600 + i));
        ++changed;
    }
    std::printf("%d\n", changed);
    return 0;
}

// A count argument: digits only, at most 9 of them; -1 for anything else.
int countOf(const std::string& text)
{
    if (text.empty() || text.size() > 9) return -1;
    for (char c : text)
        if (c < '0' || c > '9') return -1;
    return std::atoi(text.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<int> counts;
    for (size_t k = 2; k < args.size(); ++k) counts.push_back(countOf(args[k]));
    bool countsValid = true;
    for (int count : counts) countsValid = countsValid && count >= 0;
    try {
        if (countsValid && args.size() == 6 && args[0] == "make")
            return make(args[1], counts[0], counts[1], counts[2], counts[3]);
        if (countsValid && args.size() == 5 && args[0] == "change" && counts[2] <= 100)
            return change(args[1], counts[0], counts[1], counts[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gentree: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: gentree make DIR FOLDERS FILES BIGFILES BIGMIB\n"
                 "       gentree change DIR FOLDERS FILES PERCENT\n"
                 "counts are whole numbers; PERCENT is at most 100\n");
    return 2;
}
