// Removing one name of a read-only file on Windows: the file's other hard
// links share its attribute word, so they must stay read-only. Both ways of
// the Windows layer are tried: the one it takes where the system offers it
// and the one it falls back to elsewhere.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "platform/win32/layer_state.h"
#include "test_support.h"

namespace {

bool isReadOnly(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

bool exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

TEST(RemoveWin32, ReadOnlyFileGoesAndItsOtherNamesStayReadOnly)
{
    TempDir temp;
    struct Way {
        const char* name;
        bool (*remove)(const wchar_t*);
    } ways[] = {{"preferred", removeFileKeepingLinks}, {"fallback", removeFileRestoringReadOnly}};
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        std::wstring kept = temp.at("kept"), removed = temp.at("removed"), plain = temp.at("plain");
        writeFile(temp.path() / "kept", "shared bytes");
        ASSERT_TRUE(CreateHardLinkW(removed.c_str(), kept.c_str(), nullptr));
        ASSERT_TRUE(SetFileAttributesW(kept.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
        ASSERT_TRUE(isReadOnly(removed));

        EXPECT_TRUE(way.remove(removed.c_str()));
        EXPECT_FALSE(exists(removed));
        EXPECT_TRUE(isReadOnly(kept));
        EXPECT_EQ("shared bytes", readFile(temp.path() / "kept"));

        // A file that is not read-only goes, and stays not read-only; a
        // name that is gone is a failure with its reason.
        writeFile(temp.path() / "plain", "x");
        EXPECT_TRUE(way.remove(plain.c_str()));
        EXPECT_FALSE(exists(plain));
        EXPECT_FALSE(way.remove(plain.c_str()));
        EXPECT_TRUE(lastFailure.code == ERROR_FILE_NOT_FOUND || lastFailure.code == ERROR_PATH_NOT_FOUND);

        ASSERT_TRUE(SetFileAttributesW(kept.c_str(), FILE_ATTRIBUTE_NORMAL));
        ASSERT_TRUE(DeleteFileW(kept.c_str()));
    }
}
