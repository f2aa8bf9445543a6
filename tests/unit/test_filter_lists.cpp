#include <gtest/gtest.h>

#include "engine/engine_state.h"
#include "engine/filter_lists.h"
#include "test_support.h"

namespace {

// A folder text with '/' standing for the platform separator.
NString folder(const std::string& text)
{
    NString result = native(text);
    for (NChar& c : result)
        if (c == N('/')) c = PATH_SEP;
    return result;
}

class FilterListsTest : public ::testing::Test {
protected:
    void SetUp() override { resetRunState(); }
    void TearDown() override { resetRunState(); }
    int excluded(const std::string& path) { return isExcludedFolder(folder(path).c_str()); }
};

TEST_F(FilterListsTest, FolderEntriesGetTheirSeparatorAndAreHeldOnce)
{
    addExcludedFolder(N("temp"));
    addExcludedFolder(folder("temp/").c_str());
    addExcludedFolder(folder("TEMP/").c_str());
    addExcludedFolder(folder("a/temp").c_str()); // covered by temp/
    ASSERT_EQ(1, engineState.filters.excludedFolders.count);
    EXPECT_EQ(folder("temp/"), NString(engineState.filters.excludedFolders.items[0]));
}

TEST_F(FilterListsTest, NarrowerEntryFirstKeepsBoth)
{
    addExcludedFolder(folder("a/temp/").c_str());
    addExcludedFolder(N("temp"));
    EXPECT_EQ(2, engineState.filters.excludedFolders.count);
}

TEST_F(FilterListsTest, EmptyFolderItemIsIgnored)
{
    // It would match every folder and empty every later snapshot.
    addExcludedFolder(N(""));
    EXPECT_EQ(0, engineState.filters.excludedFolders.count);
    EXPECT_EQ(0, excluded("/data/"));
}

TEST_F(FilterListsTest, FoldersMatchByTrailingNames)
{
    addExcludedFolder(N("temp"));
    addExcludedFolder(folder("data/cache").c_str());
    EXPECT_EQ(1, excluded("/x/temp/"));
    EXPECT_EQ(1, excluded("/x/Temp/"));
    EXPECT_EQ(1, excluded("temp/")); // equal length
    EXPECT_EQ(0, excluded("/x/mytemp/"));
    EXPECT_EQ(0, excluded("/x/temp/sub/"));
    EXPECT_EQ(1, excluded("/y/data/cache/"));
    EXPECT_EQ(0, excluded("/y/other/cache/"));
    EXPECT_EQ(0, excluded("mp/")); // an entry longer than the path never matches
}

TEST_F(FilterListsTest, FullPathEntryMatchesOnlyThatFolder)
{
    addExcludedFolder(folder("/data/temp/").c_str());
    EXPECT_EQ(1, excluded("/data/temp/"));
    EXPECT_EQ(0, excluded("/other/data/temp/"));
}

TEST_F(FilterListsTest, TypesAreHeldOnceUnderCaseFoldingAndStarDotMeansDot)
{
    addExcludedType(N(".tmp"));
    addExcludedType(N(".TMP"));
    addExcludedType(N("*.tmp")); // as the usage text writes it: the same entry
    addExcludedType(N("*.Bak"));
    addExcludedType(N("*tmp")); // no "*." : kept as it is
    addExcludedType(N("**.x"));
    addIncludedType(N("*.tmp"));
    ASSERT_EQ(4, engineState.filters.excludedTypes.count);
    EXPECT_EQ(NString(N(".Bak")), NString(engineState.filters.excludedTypes.items[1]));
    EXPECT_EQ(NString(N("*tmp")), NString(engineState.filters.excludedTypes.items[2]));
    EXPECT_EQ(NString(N("**.x")), NString(engineState.filters.excludedTypes.items[3]));
    ASSERT_EQ(1, engineState.filters.includedTypes.count);
    EXPECT_EQ(NString(N(".tmp")), NString(engineState.filters.includedTypes.items[0]));
    // Only A-Z fold: other characters compare by value.
    addExcludedType(N(".\xC4"));
    addExcludedType(N(".\xE4"));
    EXPECT_EQ(6, engineState.filters.excludedTypes.count);
}

TEST_F(FilterListsTest, TypeMatching)
{
    addExcludedType(N(".tmp"));
    addExcludedType(N("*.bak"));
    addExcludedType(N("doc"));
    EXPECT_EQ(1, matchesType(&engineState.filters.excludedTypes, N("old.bak"), false));
    EXPECT_EQ(1, matchesType(&engineState.filters.excludedTypes, N("a.tmp"), false));
    EXPECT_EQ(1, matchesType(&engineState.filters.excludedTypes, N("B.TMP"), false));
    EXPECT_EQ(1, matchesType(&engineState.filters.excludedTypes, N("x.y.tmp"), false));
    EXPECT_EQ(0, matchesType(&engineState.filters.excludedTypes, N("a.tmp.old"), false));
    EXPECT_EQ(0, matchesType(&engineState.filters.excludedTypes, N("tmp"), false));
    EXPECT_EQ(0, matchesType(&engineState.filters.excludedTypes, N("a.doc"), false));

    addIncludedType(N(".txt"));
    EXPECT_EQ(1, matchesType(&engineState.filters.includedTypes, N("a.TXT"), true));
    EXPECT_EQ(0, matchesType(&engineState.filters.includedTypes, N("readme"), true));
    addIncludedType(N(""));
    EXPECT_EQ(1, matchesType(&engineState.filters.includedTypes, N("readme"), true));
    EXPECT_EQ(0, matchesType(&engineState.filters.includedTypes, N("b.doc"), true));
}

} // namespace
