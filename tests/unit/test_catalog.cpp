#include <gtest/gtest.h>

#include "platform/platform.h"
#include "root/catalog.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

TEST(CatalogTime, UtcTextRoundTripsAndRefusesNonTimes)
{
    EXPECT_EQ("1970-01-01T00:00:00Z", formatUtcTime(0));
    EXPECT_EQ("2026-12-08T17:36:22Z", formatUtcTime(1796751382));
    EXPECT_EQ("2024-02-29T23:59:59Z", formatUtcTime(1709251199));
    // Every day over four centuries (leap rules of 1900, 2000, 2100) comes back.
    for (int64_t t = -2208988800; t < 4102444800 + 400 * 86400; t += 86400 + 3601) {
        std::string text = formatUtcTime(t);
        int64_t back = 0;
        ASSERT_TRUE(parseUtcTime(text.data(), text.size(), &back)) << text;
        ASSERT_EQ(t, back) << text;
    }
    int64_t time;
    for (const char* bad : {"2026-02-29T00:00:00Z", "2026-13-01T00:00:00Z", "2026-12-08T24:00:00Z",
                            "2026-12-08 17:36:22Z", "2026-12-08T17:36:22", "0000-01-01T00:00:00Z",
                            "2026-12-08T17:36:2xZ"})
        EXPECT_FALSE(parseUtcTime(bad, strlen(bad), &time)) << bad;
}

// Lines as a later version, a hand edit or a torn disk may leave them.
TEST(CatalogLine, ReadsTheFormAndSkipsWhatIsNot)
{
    CatalogEntry entry;
    std::string good = "2026_12_08\tcomplete\t2026-12-08T17:36:22Z\t2026-12-08T17:40:00Z\t3\t0\t12\t2";
    ASSERT_TRUE(parseCatalogLine(good.data(), good.size(), &entry));
    EXPECT_EQ(NString(N("2026_12_08")), NString(entry.name));
    EXPECT_EQ(CATALOG_COMPLETE, entry.state);
    EXPECT_EQ(3, entry.counts.writeErrors);
    EXPECT_EQ(12, entry.counts.unreadableFiles);
    EXPECT_EQ(2, entry.counts.specialFiles);
    // What the run made is unknown in a line of eight fields.
    EXPECT_EQ(good + "\t\t\t\r\n", formatCatalogLine(entry));
    // Fields a later version adds are ignored.
    std::string full = good + "\t5\t6\t700";
    std::string longer = full + "\tmore\tfields";
    ASSERT_TRUE(parseCatalogLine(longer.data(), longer.size(), &entry));
    EXPECT_EQ(full + "\r\n", formatCatalogLine(entry));
    // A repaired line: nothing known but the state.
    std::string repaired = "2026_12_07\tcomplete\t\t\t\t\t\t";
    ASSERT_TRUE(parseCatalogLine(repaired.data(), repaired.size(), &entry));
    EXPECT_EQ(CATALOG_UNKNOWN, entry.startTime);
    EXPECT_EQ(CATALOG_UNKNOWN, entry.counts.writeErrors);
    EXPECT_EQ(repaired + "\t\t\t\r\n", formatCatalogLine(entry));
    for (const char* bad : {"", "2026_12_08\tcomplete", "2026_12_08\tdone\t\t\t0\t0\t0\t0",
                            "../etc/x\tcomplete\t\t\t0\t0\t0\t0", "2026_12_08\tunfinished\t\t2026-12-08T17:40:00Z\t\t\t\t",
                            "2026_12_08\tcomplete\t\t\t-1\t0\t0\t0", "2026_12_08\tcomplete\t\t\t9999999999999999999\t0\t0\t0",
                            "2026_12_8\tcomplete\t\t\t0\t0\t0\t0"})
        EXPECT_FALSE(parseCatalogLine(bad, strlen(bad), &entry)) << bad;
}

class CatalogRootTest : public ::testing::Test {
protected:
    TempDir temp;
    static bool lockNames0606(const NChar* name) { return compareText(name, N("2026_12_06")) == 0; }
};

TEST_F(CatalogRootTest, WrittenWholeAndReadBack)
{
    Catalog catalog;
    EXPECT_EQ(CATALOG_ABSENT, readCatalog(temp.dir().c_str(), &catalog));
    recordSnapshotBegun(&catalog, N("2026_12_08"), 1796751382);
    recordSnapshotCompleted(&catalog, N("2026_12_07"), 1796660000, {0, 1, 2, 3, 40, 50, 6000});
    NChar reason[256];
    ASSERT_TRUE(writeCatalog(temp.dir().c_str(), catalog, reason, 256));
    EXPECT_EQ("2026_12_07\tcomplete\t\t2026-12-07T16:13:20Z\t0\t1\t2\t3\t40\t50\t6000\r\n"
              "2026_12_08\tunfinished\t2026-12-08T17:36:22Z\t\t\t\t\t\t\t\t\r\n",
              readFile(temp.path() / "_catalog"));
    EXPECT_FALSE(fs::exists(temp.path() / "_catalog.new"));
#ifndef _WIN32
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
              fs::status(temp.path() / "_catalog").permissions());
#endif
    // LF, CR LF, a last line without end, junk, a repeated name (the later wins).
    writeFile(temp.path() / "_catalog",
              "junk\n2026_12_07\tcomplete\t\t\t0\t0\t0\t0\n" + std::string(5000, 'x') +
                  "\r\n2026_12_07\tunfinished\t\t\t\t\t\t");
    ASSERT_EQ(CATALOG_READ, readCatalog(temp.dir().c_str(), &catalog));
    ASSERT_EQ(1u, catalog.entries.size());
    EXPECT_EQ(CATALOG_UNFINISHED, catalog.entries[0].state);
    // A line of eight fields (an earlier version) knows nothing of what the
    // run made; one of eleven knows it.
    CatalogEntry entry;
    std::string eight = "2026_12_07\tcomplete\t\t\t0\t0\t0\t0";
    ASSERT_TRUE(parseCatalogLine(eight.data(), eight.size(), &entry));
    EXPECT_EQ(CATALOG_UNKNOWN, entry.counts.filesCopied);
    EXPECT_EQ(CATALOG_UNKNOWN, entry.counts.bytesCopied);
    std::string eleven = eight + "\t7\t8\t9\tlater";
    ASSERT_TRUE(parseCatalogLine(eleven.data(), eleven.size(), &entry));
    EXPECT_EQ(7, entry.counts.filesCopied);
    EXPECT_EQ(8, entry.counts.filesLinked);
    EXPECT_EQ(9, entry.counts.bytesCopied);
}

// The rules of what is unfinished, and the repair of the catalog by the
// folders on disk: 12-05 recorded complete, 12-06 made by an earlier
// version's stopped run (the lock names it), 12-07 begun and never
// completed, 12-08 named by _dir but recorded unfinished (stopped between
// the two writes), 12-09 made by hand, 12-04 recorded and gone.
TEST_F(CatalogRootTest, UnfinishedByCatalogStateFileAndLock)
{
    for (const char* name : {"2026_12_05", "2026_12_06", "2026_12_07", "2026_12_08", "2026_12_09"})
        fs::create_directory(temp.path() / name);
    writeFile(temp.path() / "2026_12_10", "a file, no snapshot");
    Catalog catalog;
    recordSnapshotCompleted(&catalog, N("2026_12_04"), 1, {0, 0, 0, 0, 0, 0, 0});
    recordSnapshotCompleted(&catalog, N("2026_12_05"), 2, {0, 0, 0, 0, 0, 0, 0});
    recordSnapshotBegun(&catalog, N("2026_12_07"), 3);
    recordSnapshotBegun(&catalog, N("2026_12_08"), 4);
    const NChar* stateName = N("2026_12_08");

    EXPECT_FALSE(isUnfinishedSnapshot(catalog, N("2026_12_05"), stateName, lockNames0606));
    EXPECT_TRUE(isUnfinishedSnapshot(catalog, N("2026_12_06"), stateName, lockNames0606));
    EXPECT_FALSE(isUnfinishedSnapshot(catalog, N("2026_12_06"), stateName, nullptr));
    EXPECT_TRUE(isUnfinishedSnapshot(catalog, N("2026_12_07"), stateName, lockNames0606));
    EXPECT_FALSE(isUnfinishedSnapshot(catalog, N("2026_12_08"), stateName, lockNames0606));
    EXPECT_FALSE(isUnfinishedSnapshot(catalog, N("2026_12_09"), stateName, lockNames0606));

    ASSERT_TRUE(reconcileCatalog(&catalog, temp.dir().c_str(), stateName, lockNames0606));
    std::string lines;
    for (const CatalogEntry& entry : catalog.entries) lines += formatCatalogLine(entry);
    EXPECT_EQ("2026_12_05\tcomplete\t\t1970-01-01T00:00:02Z\t0\t0\t0\t0\t0\t0\t0\r\n"
              "2026_12_06\tunfinished\t\t\t\t\t\t\t\t\t\r\n"
              "2026_12_07\tunfinished\t1970-01-01T00:00:03Z\t\t\t\t\t\t\t\t\r\n"
              "2026_12_08\tcomplete\t1970-01-01T00:00:04Z\t\t\t\t\t\t\t\t\r\n",
              lines);
    // Once recorded, the lock no longer decides: 12-06 stays unfinished by its line.
    EXPECT_TRUE(isUnfinishedSnapshot(catalog, N("2026_12_06"), stateName, nullptr));
    EXPECT_FALSE(reconcileCatalog(&catalog, temp.dir().c_str(), stateName, lockNames0606));
}

} // namespace
