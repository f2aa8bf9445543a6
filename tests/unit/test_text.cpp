// The native text helpers of platform/text.h: bounded formatting that
// refuses rather than cuts, "%s" taking a native string on both builds (the
// Windows build's wide formatting is the C runtime's legacy one), and text
// streams that write the platform's line end.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "report/output.h"
#include "test_support.h"

namespace {

const bool onWindows = PATH_SEP == N('\\');

TEST(TextTest, FormatFitsExactlyOrRefusesWithoutWritingPastTheBuffer)
{
    NChar buffer[8 + 4];
    for (NChar& c : buffer) c = N('#');
    // Seven characters and the terminator fill a capacity of 8.
    EXPECT_TRUE(formatText(buffer, 8, N("%s"), N("1234567")));
    EXPECT_EQ(NString(N("1234567")), NString(buffer));
    // Eight characters leave no room for the terminator; more neither.
    for (const NChar* text : {N("12345678"), N("123456789"), N("1234567890123")}) {
        for (NChar& c : buffer) c = N('#');
        EXPECT_FALSE(formatText(buffer, 8, N("%s"), text));
        EXPECT_EQ(0, buffer[0]) << "a refused text leaves an empty buffer, not a cut one";
        for (int k = 8; k < 12; ++k) EXPECT_EQ(N('#'), buffer[k]) << "written past the buffer";
    }
}

TEST(TextTest, PercentSTakesANativeStringWithWidthsInCharacters)
{
    NChar buffer[64];
    ASSERT_TRUE(formatText(buffer, 64, N("[%s|%6s|%.*s|%03d|%s]"), N("path"), N("ab"), 3, N("abcdef"), 7,
                           N("%d")));
    EXPECT_EQ(NString(N("[path|    ab|abc|007|%d]")), NString(buffer));
}

TEST(TextTest, CopyAndAppendRefuseWhatDoesNotFit)
{
    // A capacity of 6 inside a larger array: what lies behind stays as it was.
    NChar buffer[6 + 4];
    for (NChar& c : buffer) c = N('#');
    EXPECT_TRUE(copyText(buffer, 6, N("abcde")));
    EXPECT_FALSE(appendText(buffer, 6, N("f")));
    EXPECT_EQ(NString(N("abcde")), NString(buffer)) << "a refused append leaves the buffer as it was";
    EXPECT_FALSE(copyText(buffer, 6, N("abcdef")));
    EXPECT_EQ(0, buffer[0]);
    EXPECT_TRUE(copyText(buffer, 6, N("ab")));
    EXPECT_TRUE(appendText(buffer, 6, N("cde")));
    EXPECT_EQ(NString(N("abcde")), NString(buffer));
    for (int k = 6; k < 10; ++k) EXPECT_EQ(N('#'), buffer[k]) << "written past the capacity";
}

TEST(TextTest, ScanReadsNumbers)
{
    int value = 0;
    EXPECT_EQ(1, scanText(N("42"), N("%d"), &value));
    EXPECT_EQ(42, value);
    EXPECT_EQ(1, scanText(N("ff"), N("%x"), &value));
    EXPECT_EQ(255, value);
}

TEST(TextTest, TextStreamsWriteThePlatformLineEndAndOneBytePerCharacter)
{
    TempDir temp;
    FILE* stream = platOpenStream(temp.at("text").c_str(), "a");
    ASSERT_NE(nullptr, stream);
    // On Windows a wide character up to U+00FF is one byte; on Linux the
    // UTF-8 bytes pass unchanged.
    const NChar* name = onWindows ? N("caf\u00e9") : N("caf\xc3\xa9");
    printTo(stream, N("copy %s\n%s:\n"), name, N("done"));
    ASSERT_EQ(0, fclose(stream));
    std::string expected = onWindows ? "copy caf\xe9\r\ndone:\r\n" : "copy caf\xc3\xa9\ndone:\n";
    EXPECT_EQ(expected, readFile(temp.path() / "text"));
}

} // namespace
