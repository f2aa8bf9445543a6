// The extended form of the paths the Windows layer hands to the system.
// Wine takes paths of any length, so a long path that works under Wine
// proves nothing: the conversion itself is what is tested here.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32/long_path.h"

TEST(LongPath, ExtendsDrivesAndSharesAndKeepsWhatIsExtendedAlready)
{
    EXPECT_EQ(extendedPathOf(L"C:\\data\\a.txt"), L"\\\\?\\C:\\data\\a.txt");
    EXPECT_EQ(extendedPathOf(L"z:\\"), L"\\\\?\\z:\\");
    EXPECT_EQ(extendedPathOf(L"\\\\nas\\share\\bk\\"), L"\\\\?\\UNC\\nas\\share\\bk\\");
    EXPECT_EQ(extendedPathOf(L"\\\\?\\C:\\x"), L"\\\\?\\C:\\x");
    EXPECT_EQ(extendedPathOf(L"\\\\?\\UNC\\nas\\s\\x"), L"\\\\?\\UNC\\nas\\s\\x");
    EXPECT_EQ(extendedPathOf(L"\\\\.\\COM1"), L"\\\\.\\COM1");
    // Relative forms are not the conversion's to guess.
    EXPECT_EQ(extendedPathOf(L"C:rel"), L"C:rel");
    EXPECT_EQ(extendedPathOf(L"rel\\x"), L"rel\\x");
}

TEST(LongPath, ResolvesRelativePartsBeforePrefixing)
{
    // Dots and forward slashes mean nothing behind the prefix: they are
    // resolved first.
    EXPECT_EQ(systemPathOf(L"C:\\a\\.\\b\\..\\c/d"), L"\\\\?\\C:\\a\\c\\d");
    EXPECT_EQ(systemPathOf(L"\\\\nas\\share\\a\\..\\b"), L"\\\\?\\UNC\\nas\\share\\b");
    EXPECT_EQ(systemPathOf(L"\\\\?\\C:\\a\\..\\b"), L"\\\\?\\C:\\a\\..\\b");
    // A relative path is taken from the working folder.
    std::wstring relative = systemPathOf(L"some\\file");
    ASSERT_GT(relative.size(), 4u + 10u);
    EXPECT_EQ(relative.compare(0, 4, L"\\\\?\\"), 0);
    EXPECT_EQ(relative.substr(relative.size() - 10), L"\\some\\file");
    // A path far beyond 260 characters keeps every character.
    std::wstring deep = L"C:\\";
    for (int k = 0; k < 60; ++k) deep += L"folder" + std::to_wstring(k) + L"\\";
    deep += L"file.txt";
    EXPECT_EQ(systemPathOf(deep.c_str()), L"\\\\?\\" + deep);
}
