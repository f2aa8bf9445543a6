// Fuzz target: the catalog's line parser and its file reader on any bytes.
// Whatever the reader accepts must come back the same when written and read
// again (a run rewrites the catalog after every start and end, so a line
// that changed on the way would change what prune and util believe about a
// snapshot), and no input may crash either of them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "root/catalog.h"
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

bool sameCounts(const CatalogCounts& a, const CatalogCounts& b)
{
    return a.writeErrors == b.writeErrors && a.linkErrors == b.linkErrors &&
           a.unreadableFiles == b.unreadableFiles && a.specialFiles == b.specialFiles &&
           a.filesCopied == b.filesCopied && a.filesLinked == b.filesLinked && a.bytesCopied == b.bytesCopied;
}

bool sameEntry(const CatalogEntry& a, const CatalogEntry& b)
{
    return compareText(a.name, b.name) == 0 && a.state == b.state && a.startTime == b.startTime &&
           a.endTime == b.endTime && sameCounts(a.counts, b.counts);
}

// What an accepted entry must hold, whatever the bytes were.
void checkEntry(const CatalogEntry& entry)
{
    FUZZ_CHECK(isSnapshotFolderName(entry.name));
    FUZZ_CHECK(entry.state == CATALOG_COMPLETE || entry.endTime == CATALOG_UNKNOWN);
    const int64_t values[] = {entry.startTime,           entry.endTime,
                              entry.counts.writeErrors,  entry.counts.linkErrors,
                              entry.counts.unreadableFiles, entry.counts.specialFiles,
                              entry.counts.filesCopied,  entry.counts.filesLinked,
                              entry.counts.bytesCopied};
    for (size_t k = 2; k < sizeof values / sizeof values[0]; ++k) FUZZ_CHECK(values[k] >= CATALOG_UNKNOWN);
}

// A line the parser takes is formatted and parsed back to the same entry,
// and the formatted text is a fixed point.
void checkLineRoundTrip(const CatalogEntry& entry)
{
    checkEntry(entry);
    std::string line = formatCatalogLine(entry);
    FUZZ_CHECK(line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0);
    FUZZ_CHECK(line.find('\n') == line.size() - 1);
    CatalogEntry again;
    FUZZ_CHECK(parseCatalogLine(line.data(), line.size() - 2, &again));
    FUZZ_CHECK(sameEntry(entry, again));
    FUZZ_CHECK(formatCatalogLine(again) == line);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The bytes as one line.
    CatalogEntry entry;
    if (parseCatalogLine(reinterpret_cast<const char*>(data), size, &entry)) checkLineRoundTrip(entry);

    // The bytes as a whole file.
    NString rootDir = root().dir();
    writeBytes(root().path() / "_catalog", data, size);
    Catalog read;
    FUZZ_CHECK(readCatalog(rootDir.c_str(), &read) == CATALOG_READ);
    for (size_t k = 0; k < read.entries.size(); ++k) {
        checkLineRoundTrip(read.entries[k]);
        // Ascending and one line per name, whatever order the file had.
        if (k > 0) FUZZ_CHECK(compareText(read.entries[k - 1].name, read.entries[k].name) < 0);
    }

    // What a run writes back is what it read.
    NChar reason[256];
    FUZZ_CHECK(writeCatalog(rootDir.c_str(), read, reason, 256));
    Catalog back;
    FUZZ_CHECK(readCatalog(rootDir.c_str(), &back) == CATALOG_READ);
    FUZZ_CHECK(back.entries.size() == read.entries.size());
    for (size_t k = 0; k < read.entries.size(); ++k) FUZZ_CHECK(sameEntry(read.entries[k], back.entries[k]));
    return 0;
}
