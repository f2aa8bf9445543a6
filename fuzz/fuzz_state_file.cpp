// Fuzz target: the state file reader on any bytes. Whatever it reads must
// fit its buffers; a file it accepts must come back the same when written
// and read again, so that no run loses a stored filter or path.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/backup_root.h"
#include "engine/engine_state.h"
#include "engine/filter_lists.h"
#include "root/root_state.h"
#include "root/state_file.h"
#include "fuzz_check.h"
#include "test_support.h"

namespace {

TempDir& root()
{
    static TempDir dir;
    return dir;
}

void writeBytes(const std::filesystem::path& path, const uint8_t* data, size_t size)
{
    FILE* file = fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    if (size > 0) FUZZ_CHECK(fwrite(data, 1, size, file) == size);
    FUZZ_CHECK(fclose(file) == 0);
}

struct Lists {
    std::vector<NString> folders, excluded, included;
    bool operator==(const Lists& other) const
    {
        return folders == other.folders && excluded == other.excluded && included == other.included;
    }
};

std::vector<NString> entries(const StringList& list)
{
    std::vector<NString> result;
    for (int32_t k = 0; k < list.count; ++k) {
        size_t length = textLength(list.items[k]);
        FUZZ_CHECK(length <= static_cast<size_t>(STATE_LINE_CHARS));
        result.emplace_back(list.items[k]);
    }
    return result;
}

Lists currentLists()
{
    const FilterLists& filters = engineState.filters;
    return Lists{entries(filters.excludedFolders), entries(filters.excludedTypes),
                 entries(filters.includedTypes)};
}

bool fits(const NChar* text)
{
    for (int k = 0; k < PATH_CHARS; ++k)
        if (text[k] == 0) return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    resetRunState();
    NString rootDir = root().dir();
    writeBytes(root().path() / "_dir", data, size);

    const NChar* source = readStateFile(rootDir.c_str());
    FUZZ_CHECK(fits(rootState.storedSourcePath) && fits(rootState.previousSnapshotPath));
    if (source == nullptr) {
        resetRunState();
        return 0;
    }
    FUZZ_CHECK(source == rootState.storedSourcePath);
    FUZZ_CHECK(rootState.storedSourcePath[0] == 0 || endsWithSeparator(rootState.storedSourcePath));
    FUZZ_CHECK(rootState.previousSnapshotPath[0] == 0 || endsWithSeparator(rootState.previousSnapshotPath));
    FUZZ_CHECK(engineState.filters.excludedTypes.count == 0 || engineState.filters.includedTypes.count == 0);
    Lists read = currentLists();

    // Written after a run and read by the next: the same source and lists,
    // and the new snapshot as the previous one.
    const NChar* stored = rootState.storedSourcePath;
    NString sourcePath = stored[0] != 0 ? NString(stored) : native("/src/");
    NString snapshot = rootDir + native("2022_05_29") + PATH_SEP;
    writeStateFile(sourcePath.c_str(), rootDir.c_str(), snapshot.c_str());
    resetRunState();
    FUZZ_CHECK(readStateFile(rootDir.c_str()) != nullptr);
    FUZZ_CHECK(NString(rootState.storedSourcePath) == sourcePath);
    FUZZ_CHECK(NString(rootState.previousSnapshotPath) == snapshot);
    FUZZ_CHECK(currentLists() == read);
    resetRunState();
    return 0;
}
