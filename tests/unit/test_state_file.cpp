#include <gtest/gtest.h>

#include "app/backup_root.h"
#include "engine/engine_state.h"
#include "engine/filter_lists.h"
#include "platform/platform.h"
#include "report/run_state.h"
#include "root/root_state.h"
#include "root/snapshots.h"
#include "root/state_file.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

class StateFileTest : public ::testing::Test {
protected:
    void SetUp() override { resetRunState(); }
    void TearDown() override { resetRunState(); }
    TempDir temp;

    // Writes the state file, '/' standing for the separator.
    const NChar* read(std::string content)
    {
        for (char& c : content)
            if (c == '/') c = static_cast<char>(PATH_SEP);
        writeFile(temp.path() / "_dir", content);
        return readStateFile(temp.dir().c_str());
    }
    // A directory path text with '/' standing for the separator.
    static NString dirText(const std::string& text)
    {
        NString result = native(text);
        for (NChar& c : result)
            if (c == N('/')) c = PATH_SEP;
        return result;
    }
};

TEST_F(StateFileTest, MissingFileIsNoError)
{
    const NChar* source = readStateFile(temp.dir().c_str());
    ASSERT_NE(nullptr, source);
    EXPECT_EQ(0, source[0]);
    EXPECT_EQ(0, rootState.previousSnapshotPath[0]);
}

TEST_F(StateFileTest, LinesAreNormalisedAndDollarTakesTheRootsFirstCharacter)
{
    const NChar* source = read("/data\r\n$/bk/2022_05_28/\r\n-.tmp\r\n+.txt\n\r\ncache\nsub/\n");
    ASSERT_EQ(nullptr, source); // both type lists filled: refused
    resetRunState();
    source = read("/data\r\n$/bk/2022_05_28\r\n-.tmp\n\r\ncache\nsub/");
    ASSERT_NE(nullptr, source);
    EXPECT_EQ(dirText("/data/"), NString(source));
    NString root = temp.dir();
    EXPECT_EQ(root.substr(0, 1) + dirText("/bk/2022_05_28/"), NString(rootState.previousSnapshotPath));
    ASSERT_EQ(1, engineState.filters.excludedTypes.count);
    EXPECT_EQ(NString(N(".tmp")), NString(engineState.filters.excludedTypes.items[0]));
    // The empty line is ignored; the others become folder entries.
    ASSERT_EQ(2, engineState.filters.excludedFolders.count);
    EXPECT_EQ(dirText("cache/"), NString(engineState.filters.excludedFolders.items[0]));
    EXPECT_EQ(dirText("sub/"), NString(engineState.filters.excludedFolders.items[1]));
}

TEST_F(StateFileTest, OneLineFileAndFullPathSecondLine)
{
    ASSERT_NE(nullptr, read("/data/"));
    EXPECT_EQ(0, rootState.previousSnapshotPath[0]);
    resetRunState();
    ASSERT_NE(nullptr, read("/data/\n/elsewhere/2020_01_01\n"));
    EXPECT_EQ(dirText("/elsewhere/2020_01_01/"), NString(rootState.previousSnapshotPath));
}

TEST_F(StateFileTest, OptionEntriesStayFirstAndMergeWithoutDuplicates)
{
    addExcludedType(N(".log"));
    addExcludedType(N(".TMP"));
    ASSERT_NE(nullptr, read("/d/\n$/x/\n-.tmp\n-.bak\n"));
    ASSERT_EQ(3, engineState.filters.excludedTypes.count);
    EXPECT_EQ(NString(N(".log")), NString(engineState.filters.excludedTypes.items[0]));
    EXPECT_EQ(NString(N(".TMP")), NString(engineState.filters.excludedTypes.items[1]));
    EXPECT_EQ(NString(N(".bak")), NString(engineState.filters.excludedTypes.items[2]));
}

TEST_F(StateFileTest, IncludedOptionAgainstStoredExcludedTypeIsRefused)
{
    addIncludedType(N(".txt"));
    EXPECT_EQ(nullptr, read("/d/\n$/x/\n-.tmp\n"));
}

TEST_F(StateFileTest, LongLinesAndNulBytesAreRefusedNotCut)
{
    std::string fits(STATE_LINE_CHARS - 1, 'a');
    ASSERT_NE(nullptr, read("/" + fits.substr(1) + "\n"));
    EXPECT_EQ(static_cast<size_t>(STATE_LINE_CHARS), textLength(rootState.storedSourcePath));
    resetRunState();
    // One more character and the separator no longer fits the line buffer.
    EXPECT_EQ(nullptr, read("/" + fits + "\n"));
    resetRunState();
    EXPECT_EQ(nullptr, read("/d/\n$/x/\n" + std::string(5000, 'z')));
    resetRunState();
    EXPECT_EQ(nullptr, read(std::string("/d/\n$/x\0y/\n", 11)));
    resetRunState();
    // Bytes above 0x7F are characters like any other.
    ASSERT_NE(nullptr, read("/d\xE4t\xC3\xA9/\n"));
    EXPECT_EQ(0xE4, static_cast<unsigned char>(rootState.storedSourcePath[2]));
}

TEST_F(StateFileTest, WrittenBytesAndReplacement)
{
    addExcludedFolder(N("cache"));
    addExcludedType(N(".tmp"));
    NString root = temp.dir();
    NString source = dirText("/data/");
    NString snapshot = root + N("2022_05_29") + PATH_SEP;
    writeStateFile(source.c_str(), root.c_str(), snapshot.c_str());
    std::string sep(1, static_cast<char>(PATH_SEP));
    std::string rootText = temp.path().string() + sep;
    std::string expected = sep + "data" + sep + "\r\n$" + rootText.substr(1) + "2022_05_29" + sep +
                           "\r\ncache" + sep + "\r\n-.tmp\r\n";
    EXPECT_EQ(expected, readFile(temp.path() / "_dir"));
    EXPECT_FALSE(fs::exists(temp.path() / "_dir.new"));

    // Read back: the same lists, nothing doubled.
    resetRunState();
    ASSERT_NE(nullptr, readStateFile(root.c_str()));
    EXPECT_EQ(snapshot, NString(rootState.previousSnapshotPath));
    EXPECT_EQ(1, engineState.filters.excludedFolders.count);
    EXPECT_EQ(1, engineState.filters.excludedTypes.count);
}

// Paths and list items named in any script: a file that needs no more than
// one byte per character keeps its old bytes; one character above U+00FF
// makes the whole file UTF-8 behind a byte-order mark. Either way every
// line reads back exactly as it was given.
TEST_F(StateFileTest, EveryCharacterReadsBackAndOneByteFilesKeepTheirBytes)
{
    const bool wide = sizeof(NChar) > 1;
    NString root = temp.dir();
    std::string rootBytes = temp.path().string() + std::string(1, static_cast<char>(PATH_SEP));
    // U+00E9 and U+00FF on the one side; Greek, Chinese, an emoji (a
    // surrogate pair) and a lone surrogate (which Windows names may hold)
    // on the other. The POSIX build keeps its names' UTF-8 bytes.
    NString latin = dirText(wide ? "/caf\xE9/y\xFF/" : "/caf\xC3\xA9/y\xC3\xBF/");
    std::string latinBytes = wide ? "/caf\xE9/y\xFF/" : "/caf\xC3\xA9/y\xC3\xBF/";
    for (char& c : latinBytes)
        if (c == '/') c = static_cast<char>(PATH_SEP);
    NString greek, chinese, emoji, lone;
    if (wide) {
        greek = N("\u03A0\u03B1\u03BD\u03B1\u03B3\u03B9\u03CE\u03C4\u03B7\u03C2");
        chinese = N("\u5907\u4EFD");
        emoji = NString(1, static_cast<NChar>(0xD83D)) + static_cast<NChar>(0xDE00);
        lone = NString(N("x")) + static_cast<NChar>(0xDC01) + N("y");
    } else {
        greek = native("\xCE\xA0\xCE\xB1\xCE\xBD\xCE\xB1\xCE\xB3\xCE\xB9\xCF\x8E\xCF\x84\xCE\xB7\xCF\x82");
        chinese = native("\xE5\xA4\x87\xE4\xBB\xBD");
        emoji = native("\xF0\x9F\x98\x80");
        lone = native("x\xED\xB0\x81y");
    }
    const std::string greekBytes = "\xCE\xA0\xCE\xB1\xCE\xBD\xCE\xB1\xCE\xB3\xCE\xB9\xCF\x8E\xCF\x84\xCE\xB7\xCF\x82";
    const std::string chineseBytes = "\xE5\xA4\x87\xE4\xBB\xBD";
    const std::string emojiBytes = "\xF0\x9F\x98\x80";
    const std::string loneBytes = "x\xED\xB0\x81y";
    std::string sep(1, static_cast<char>(PATH_SEP));

    // One byte per character: the file as it has always been written.
    addExcludedFolder(dirText("caf\xC3\xA9/").c_str());
    writeStateFile(latin.c_str(), root.c_str(), (root + N("2022_05_29") + PATH_SEP).c_str());
    // (The folder item is two characters on Windows, two bytes on POSIX.)
    EXPECT_EQ(latinBytes + "\r\n$" + rootBytes.substr(1) + "2022_05_29" + sep + "\r\ncaf\xC3\xA9" + sep + "\r\n",
              readFile(temp.path() / "_dir"));
    resetRunState();
    ASSERT_NE(nullptr, readStateFile(root.c_str()));
    EXPECT_EQ(latin, NString(rootState.storedSourcePath));

    // Characters above U+00FF anywhere: UTF-8 with its mark, CR LF.
    resetRunState();
    NString source = PATH_SEP + greek + PATH_SEP + latin.substr(1);
    NString folder = chinese + emoji + PATH_SEP;
    NString type = N(".") + greek;
    addExcludedFolder(folder.c_str());
    addExcludedFolder((lone + PATH_SEP).c_str());
    addIncludedType(type.c_str());
    addIncludedType(N(".t\u00e9xt"));
    NString snapshot = root + N("2022_05_29") + PATH_SEP;
    writeStateFile(source.c_str(), root.c_str(), snapshot.c_str());
    std::string written = readFile(temp.path() / "_dir");
    if (wide) {
        std::string expected = "\xEF\xBB\xBF" + sep + greekBytes + sep + "caf\xC3\xA9" + sep + "y\xC3\xBF" + sep +
                               "\r\n$" + rootBytes.substr(1) + "2022_05_29" + sep + "\r\n" + chineseBytes +
                               emojiBytes + sep + "\r\n" + loneBytes + sep + "\r\n+." + greekBytes +
                               "\r\n+.t\xC3\xA9xt\r\n";
        EXPECT_EQ(expected, written);
    } else {
        EXPECT_EQ(0u, written.find(sep + greekBytes + sep)) << "the POSIX build writes its bytes, no mark";
    }
    resetRunState();
    ASSERT_NE(nullptr, readStateFile(root.c_str()));
    EXPECT_EQ(source, NString(rootState.storedSourcePath));
    EXPECT_EQ(snapshot, NString(rootState.previousSnapshotPath));
    ASSERT_EQ(2, engineState.filters.excludedFolders.count);
    EXPECT_EQ(folder, NString(engineState.filters.excludedFolders.items[0]));
    EXPECT_EQ(lone + PATH_SEP, NString(engineState.filters.excludedFolders.items[1]));
    ASSERT_EQ(2, engineState.filters.includedTypes.count);
    EXPECT_EQ(type, NString(engineState.filters.includedTypes.items[0]));
    EXPECT_EQ(NString(N(".t\u00e9xt")), NString(engineState.filters.includedTypes.items[1]));

    // A file with the mark, written elsewhere, reads as UTF-8 on both builds.
    resetRunState();
    ASSERT_NE(nullptr, read("\xEF\xBB\xBF/" + greekBytes + "\r\n$/x/\r\n-." + chineseBytes + "\r\n"));
    EXPECT_EQ(PATH_SEP + greek + PATH_SEP, NString(rootState.storedSourcePath));
    ASSERT_EQ(1, engineState.filters.excludedTypes.count);
    EXPECT_EQ(N(".") + chinese, NString(engineState.filters.excludedTypes.items[0]));
}

// A source whose one-byte form begins like the byte-order mark (on Windows
// "\u00EF\u00BB\u00BF", on POSIX those bytes) is not taken for the mark.
TEST_F(StateFileTest, ASourceThatBeginsLikeTheMarkReadsBack)
{
    NString root = temp.dir();
    NString source;
    if (sizeof(NChar) > 1)
        source = NString(1, static_cast<NChar>(0xEF)) + static_cast<NChar>(0xBB) + static_cast<NChar>(0xBF);
    else
        source = native("\xEF\xBB\xBF");
    source += dirText("x/");
    writeStateFile(source.c_str(), root.c_str(), N(""));
    resetRunState();
    ASSERT_NE(nullptr, readStateFile(root.c_str()));
    EXPECT_EQ(source, NString(rootState.storedSourcePath));
}

TEST_F(StateFileTest, Utf8LinesCountCharactersAndBadBytesAreRefused)
{
    if (sizeof(NChar) == 1) GTEST_SKIP() << "the POSIX build reads its bytes as they are";
    // A slash, 517 two-byte characters and the separator: 519 characters.
    std::string omegas;
    for (int k = 0; k < STATE_LINE_CHARS - 2; ++k) omegas += "\xCE\xA9";
    ASSERT_NE(nullptr, read("\xEF\xBB\xBF/" + omegas + "\n"));
    EXPECT_EQ(static_cast<size_t>(STATE_LINE_CHARS), textLength(rootState.storedSourcePath));
    resetRunState();
    EXPECT_EQ(nullptr, read("\xEF\xBB\xBF/" + omegas + "\xCE\xA9\xCE\xA9\n"));
    // Truncated, stray, overlong and out-of-range sequences.
    for (const char* bad : {"/d\xCE", "/d\xA9/", "/d\xC0\xAF/", "/d\xE0\x80\xAF/", "/d\xF4\x90\x80\x80/"}) {
        resetRunState();
        EXPECT_EQ(nullptr, read(std::string("\xEF\xBB\xBF") + bad + "\n")) << bad;
    }
    // Without the mark the same bytes are one character each, as always.
    resetRunState();
    ASSERT_NE(nullptr, read("/d\xCE\xA9/\n"));
    EXPECT_EQ(dirText("/d\xCE\xA9/"), NString(rootState.storedSourcePath));
}

TEST_F(StateFileTest, FailedReplacementLeavesTheOldFile)
{
    writeFile(temp.path() / "_dir", "old state\n");
    // A folder where the new file would be written: it cannot be created.
    fs::create_directory(temp.path() / "_dir.new");
    NString root = temp.dir();
    writeStateFile(N("/src/"), root.c_str(), (root + N("2022_05_29/")).c_str());
    EXPECT_EQ("old state\n", readFile(temp.path() / "_dir"));
}

TEST_F(StateFileTest, PathSlotsHoldDirectoryPathsThatFit)
{
    NString fits(PATH_CHARS - 2, N('a'));
    NChar* slot = storePathSlot(fits.c_str());
    ASSERT_NE(nullptr, slot);
    EXPECT_EQ(static_cast<size_t>(PATH_CHARS - 1), textLength(slot));
    EXPECT_EQ(PATH_SEP, slot[PATH_CHARS - 2]);
    NString tooLong(PATH_CHARS - 1, N('b'));
    EXPECT_EQ(nullptr, storePathSlot(tooLong.c_str()));
    EXPECT_EQ(nullptr, storePathSlot(N("c"))); // no third slot
    resetRunState();
    EXPECT_EQ(NString(1, PATH_SEP), NString(storePathSlot(N(""))));
}

TEST_F(StateFileTest, MakeDirectoryPathCreatesMissingParents)
{
    NString deep = temp.at("a/b/c") + PATH_SEP;
    EXPECT_EQ(0, makeDirectoryPath(deep.c_str()));
    EXPECT_TRUE(fs::is_directory(temp.path() / "a" / "b" / "c"));
    EXPECT_EQ(-1, makeDirectoryPath(deep.c_str())); // exists already
    writeFile(temp.path() / "file", "x");
    EXPECT_EQ(-1, makeDirectoryPath((temp.at("file") + PATH_SEP).c_str()));
    EXPECT_EQ(-1, makeDirectoryPath((temp.at("file/sub") + PATH_SEP).c_str()));
}

// Only a real folder with a dated name is a snapshot; the day skipped and
// the snapshots the catalog knows as unfinished give way to older ones.
TEST_F(StateFileTest, LatestSnapshotIsTheGreatestDatedFolderLeftIn)
{
    fs::create_directory(temp.path() / "2022_05_28");
    fs::create_directory(temp.path() / "2022_05_29");
    fs::create_directory(temp.path() / "2022_05_30");
    fs::create_directory(temp.path() / "2022_05_2");
    fs::create_directory(temp.path() / "zzz");
    writeFile(temp.path() / "2022_07_01", "a file does not count");
#ifndef _WIN32
    fs::create_directory_symlink(temp.path() / "2022_05_28", temp.path() / "2022_06_01");
#endif
    NChar path[PATH_CHARS];
    auto latest = [&](const NChar* skipped, const SnapshotFilter& filter) {
        findLatestSnapshot(temp.dir().c_str(), skipped, filter, path);
        return NString(path);
    };
    const NString dir = temp.dir();
    EXPECT_EQ(dir + N("2022_05_30") + PATH_SEP, latest(N(""), SnapshotFilter()));
    EXPECT_EQ(dir + N("2022_05_29") + PATH_SEP, latest(N("2022_05_30"), SnapshotFilter()));
    Catalog catalog;
    recordSnapshotBegun(&catalog, N("2022_05_29"), 0);
    recordSnapshotBegun(&catalog, N("2022_05_30"), 0);
    EXPECT_EQ(dir + N("2022_05_28") + PATH_SEP, latest(N(""), SnapshotFilter{&catalog, N(""), nullptr}));
    // The snapshot the state file names is complete, whatever the catalog says.
    EXPECT_EQ(dir + N("2022_05_30") + PATH_SEP, latest(N(""), SnapshotFilter{&catalog, N("2022_05_30"), nullptr}));
    TempDir empty;
    findLatestSnapshot(empty.dir().c_str(), N(""), SnapshotFilter(), path);
    EXPECT_EQ(0, path[0]);
}


// The absolute form of a path, '/' standing for the separator and, on
// Windows, a drive for the root.
TEST_F(StateFileTest, FullPathResolvesDotsByTextAndTakesRelativePathsFromTheWorkingFolder)
{
#ifdef _WIN32
    const NString root = N("C:");
#else
    const NString root;
#endif
    auto full = [](const NString& path) {
        NChar buffer[PATH_CHARS];
        buffer[0] = N('?');
        FullPathResult result = platFullPath(path.c_str(), buffer, PATH_CHARS);
        return result == FULLPATH_OK ? NString(buffer) : NString(N("error"));
    };
    // The folders named need not exist.
    EXPECT_EQ(root + dirText("/a/c"), full(root + dirText("/a/./b/../c")));
    EXPECT_EQ(root + dirText("/"), full(root + dirText("/a/b/../../..")));
    EXPECT_EQ(root + dirText("/a/b/c"), full(root + dirText("/a/b/c")));
    NString here = fs::current_path().native();
    EXPECT_EQ(here + dirText("/y"), full(dirText("x/../y")));
    EXPECT_EQ(here, full(dirText(".")));
    // Too long for the buffer: nothing is cut.
    NString longPath = root + dirText("/") + NString(PATH_CHARS, N('a'));
    NChar buffer[PATH_CHARS];
    EXPECT_EQ(FULLPATH_TOO_LONG, platFullPath(longPath.c_str(), buffer, PATH_CHARS));
    EXPECT_EQ(0, buffer[0]);
    // Two dots more make it fit.
    NString shortened = longPath + dirText("/..");
    EXPECT_EQ(root + dirText("/"), full(shortened));
}

} // namespace
