#include <gtest/gtest.h>

#include "cmdline/cmdline_state.h"
#include "engine/copier.h"
#include "engine/filter_lists.h"
#include "engine/walker.h"
#include "platform/platform.h"
#include "report/run_state.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetRunState();
        cmdlineState.runSettings.silent = 1;
    }
    void TearDown() override { resetRunState(); }
    TempDir temp;

    NString dirOf(const std::string& relative) { return temp.at(relative) + PATH_SEP; }
    int walk(const std::string& source, const std::string& previous, const std::string& destination)
    {
        NString src = dirOf(source), dst = dirOf(destination);
        NString prev = previous.empty() ? NString() : dirOf(previous);
        return walkTree(src.c_str(), previous.empty() ? nullptr : prev.c_str(), dst.c_str());
    }
};

TEST_F(EngineTest, CopyCarriesContentAndLastWriteTime)
{
    std::string content(3 * 1024 * 1024 + 17, 'x');
    for (size_t k = 0; k < content.size(); k += 4096) content[k] = static_cast<char>(k / 4096);
    writeFile(temp.path() / "big", content);
    auto when = fs::last_write_time(temp.path() / "big") - std::chrono::hours(48);
    fs::last_write_time(temp.path() / "big", when);
    ASSERT_EQ(0, copyFile(temp.at("big").c_str(), temp.at("copy").c_str()));
    EXPECT_EQ(content, readFile(temp.path() / "copy"));
    EXPECT_EQ(when, fs::last_write_time(temp.path() / "copy"));
    EXPECT_EQ(1, runCounters.filesCopied);
    EXPECT_EQ(content.size(), runCounters.bytesCopied);
    // Where the platform moves the content, the program holds no buffer.
    EXPECT_EQ(platMovesContent ? 0 : static_cast<int32_t>(content.size()), copyBuffer.capacity);
}

TEST_F(EngineTest, BufferGrowsOnlyAndEmptyFilesNeedNone)
{
    writeFile(temp.path() / "empty", "");
    ASSERT_EQ(0, copyFile(temp.at("empty").c_str(), temp.at("empty.copy").c_str()));
    EXPECT_EQ(nullptr, copyBuffer.data);
    EXPECT_TRUE(fs::exists(temp.path() / "empty.copy"));
    writeFile(temp.path() / "ten", std::string(10 << 20, 't'));
    writeFile(temp.path() / "small", std::string(1024, 's'));
    ASSERT_EQ(0, copyFile(temp.at("ten").c_str(), temp.at("ten.copy").c_str()));
    ASSERT_EQ(0, copyFile(temp.at("small").c_str(), temp.at("small.copy").c_str()));
    EXPECT_EQ(platMovesContent ? 0 : 10 << 20, copyBuffer.capacity);
    EXPECT_EQ(std::string(1024, 's'), readFile(temp.path() / "small.copy"));
    EXPECT_EQ(3, runCounters.filesCopied);
}

TEST_F(EngineTest, CopyFailuresAreCountedByKind)
{
    EXPECT_EQ(ERROR_OPEN_FAILED_CODE, copyFile(temp.at("missing").c_str(), temp.at("m.copy").c_str()));
    EXPECT_FALSE(fs::exists(temp.path() / "m.copy"));
    EXPECT_EQ(1, runCounters.unreadableSkipped);
    writeFile(temp.path() / "src", "data");
    EXPECT_EQ(ERROR_CREATE_FAILED_CODE, copyFile(temp.at("src").c_str(), temp.at("no/such/dir/x").c_str()));
    EXPECT_EQ(1, runCounters.writeErrors);
    EXPECT_EQ(0, runCounters.filesCopied);
}

// The copy takes the times of the file it opened, read from the open file
// before its content (not what the caller saw earlier): a source written to
// during the copy then differs from the copy in the next run and is copied
// again instead of keeping a torn copy.
TEST_F(EngineTest, CopyTakesTheTimesOfTheFileItOpened)
{
    writeFile(temp.path() / "log", "first line\n");
    auto before = fs::last_write_time(temp.path() / "log") - std::chrono::hours(1);
    fs::last_write_time(temp.path() / "log", before);
    FileData data;
    ASSERT_TRUE(platGetFileData(temp.at("log").c_str(), &data));
    writeFile(temp.path() / "log", "first line\nsecond line\n");
    ASSERT_EQ(0, copyFile(temp.at("log").c_str(), temp.at("copy").c_str(), &data));
    EXPECT_EQ("first line\nsecond line\n", readFile(temp.path() / "copy"));
    EXPECT_EQ(fs::last_write_time(temp.path() / "log"), fs::last_write_time(temp.path() / "copy"));
    EXPECT_NE(before, fs::last_write_time(temp.path() / "copy"));
}

TEST_F(EngineTest, DryRunCountsAndWritesNothing)
{
    cmdlineState.runSettings.noExec = 1;
    writeFile(temp.path() / "src" / "a", "1");
    writeFile(temp.path() / "src" / "sub" / "b", "2");
    EXPECT_EQ(0, walk("src", "", "dst"));
    EXPECT_FALSE(fs::exists(temp.path() / "dst"));
    EXPECT_EQ(2, runCounters.filesCopied);
    EXPECT_EQ(0u, runCounters.bytesCopied);
}

TEST_F(EngineTest, UnchangedFilesAreLinkedByMetadataAlone)
{
    writeFile(temp.path() / "src" / "same", "new content");
    writeFile(temp.path() / "src" / "changed", "changed");
    writeFile(temp.path() / "src" / "newdir" / "n", "n");
    writeFile(temp.path() / "prev" / "same", "old content"); // same size, other bytes
    writeFile(temp.path() / "prev" / "changed", "changed");
    writeFile(temp.path() / "prev" / "newdir", "a file where the source has a folder");
    // The twin takes the source's times through the platform layer: on
    // Windows the creation time counts too, and std::filesystem there sets
    // whole seconds only.
    FileData times;
    ASSERT_TRUE(platGetFileData(temp.at("src/same").c_str(), &times));
    ASSERT_TRUE(platSetTimes(temp.at("prev/same").c_str(), &times));
    times.lastWriteTime.seconds -= 5;
    ASSERT_TRUE(platSetTimes(temp.at("prev/changed").c_str(), &times));
    EXPECT_EQ(0, walk("src", "prev", "dst"));
    EXPECT_EQ("old content", readFile(temp.path() / "dst" / "same"));
    EXPECT_EQ("changed", readFile(temp.path() / "dst" / "changed"));
    EXPECT_EQ("n", readFile(temp.path() / "dst" / "newdir" / "n"));
    EXPECT_EQ(1, runCounters.filesLinked);
    EXPECT_EQ(2, runCounters.filesCopied);
    // One file under two names; std::filesystem's link count is always 1
    // on Windows, so the identities are compared.
    FileIdentity copy, twin;
    ASSERT_TRUE(platGetIdentity(temp.at("dst/same").c_str(), &copy));
    ASSERT_TRUE(platGetIdentity(temp.at("prev/same").c_str(), &twin));
    EXPECT_TRUE(sameIdentity(copy, twin));
    ASSERT_TRUE(platGetIdentity(temp.at("dst/changed").c_str(), &copy));
    ASSERT_TRUE(platGetIdentity(temp.at("prev/changed").c_str(), &twin));
    EXPECT_FALSE(sameIdentity(copy, twin));
}

TEST_F(EngineTest, TypeFiltersAndExcludedFolders)
{
    for (const char* name : {"a.tmp", "readme", "cache.tmp/inner.txt", "keep/b.TXT", "keep/c.doc",
                             "skip/d.txt", "deep/skip/e.txt"})
        writeFile(temp.path() / "src" / name, "x");
    addExcludedFolder(N("skip"));
    addExcludedType(N(".tmp"));
    walk("src", "", "dst");
    EXPECT_FALSE(fs::exists(temp.path() / "dst" / "a.tmp"));
    EXPECT_FALSE(fs::exists(temp.path() / "dst" / "cache.tmp"));
    EXPECT_TRUE(fs::exists(temp.path() / "dst" / "readme"));
    EXPECT_FALSE(fs::exists(temp.path() / "dst" / "skip"));
    EXPECT_FALSE(fs::exists(temp.path() / "dst" / "deep" / "skip"));
    EXPECT_TRUE(fs::exists(temp.path() / "dst" / "keep" / "c.doc"));

    resetRunState();
    cmdlineState.runSettings.silent = 1;
    addIncludedType(N(".txt"));
    walk("src", "", "dst2");
    EXPECT_TRUE(fs::exists(temp.path() / "dst2" / "keep" / "b.TXT"));
    EXPECT_FALSE(fs::exists(temp.path() / "dst2" / "keep" / "c.doc"));
    EXPECT_FALSE(fs::exists(temp.path() / "dst2" / "readme"));
    EXPECT_TRUE(fs::exists(temp.path() / "dst2" / "cache.tmp" / "inner.txt"));
    EXPECT_TRUE(fs::is_directory(temp.path() / "dst2" / "deep" / "skip"));
}

TEST_F(EngineTest, BackupRootInsideTheSourceIsLeftOut)
{
    writeFile(temp.path() / "src" / "a", "1");
    fs::create_directories(temp.path() / "src" / "bk");
    ASSERT_TRUE(setExcludedRoot(dirOf("src/bk").c_str()));
    walk("src", "", "src/bk/snap");
    EXPECT_TRUE(fs::exists(temp.path() / "src" / "bk" / "snap" / "a"));
    EXPECT_FALSE(fs::exists(temp.path() / "src" / "bk" / "snap" / "bk"));
    EXPECT_EQ(1, runCounters.filesCopied);
    setExcludedRoot(N(""));
}

} // namespace
