#include <gtest/gtest.h>

#include <cstdio>

#include "cmdline/cmdline_state.h"
#include "platform/platform.h"
#include "report/output.h"
#include "report/report_state.h"
#include "report/run_state.h"
#include "report/summary.h"
#include "test_support.h"

namespace {

class ReportTest : public ::testing::Test {
protected:
    void SetUp() override { resetRunState(); }
    void TearDown() override { resetRunState(); }
};

// The console and the log file end their lines as the platform does.
std::string withoutCarriageReturns(const std::string& text)
{
    std::string plain;
    for (char c : text)
        if (c != '\r') plain += c;
    return plain;
}

std::string narrow(const NChar* text)
{
    std::string result;
    for (; *text != 0; ++text) result += static_cast<char>(*text);
    return result;
}

TEST_F(ReportTest, GroupedNumbers)
{
    const struct {
        int64_t value;
        const char* text;
    } cases[] = {
        {1, "  1"},
        {12, " 12"},
        {999, "999"},
        {1000, "  1.000"},
        {1234, "  1.234"},
        {65536, " 65.536"},
        {1234567, "  1.234.567"},
        {999999999999LL, "999.999.999.999"},
        {1000000000000LL, "  1.000.000.000.000"},
        {123456789012345LL, "123.456.789.012.345"},
        {1000000000000000LL, "1000.000.000.000.000"},
        {9223372036854775807LL, "9223372.036.854.775.807"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, narrow(formatGrouped(c.value))) << c.value;
}

TEST_F(ReportTest, ElapsedTimes)
{
    const struct {
        int64_t seconds;
        const char* text;
    } cases[] = {
        {0, "0 sec."},
        {59, "59 sec."},
        {60, "60 sec."},
        {61, "1 min, 1 sec."},
        {120, "2 min, 0 sec."},
        {3600, "60 min, 0 sec."},
        {3601, "1 hrs, 1 sec."},
        {3660, "1 hrs, 60 sec."},
        {3725, "1 hrs, 2 min, 5 sec."},
        {86400, "24 hrs, 0 sec."},
        {86401, "1 days, 1 sec."},
        {90061, "1 days, 1 hrs, 1 min, 1 sec."},
        {172800, "2 days, 0 sec."},
        {-5, "-5 sec."},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, narrow(formatElapsed(c.seconds))) << c.seconds;
}

// The text the program writes to a stream, read back as bytes.
template <typename Print>
std::string captured(Print print)
{
    TempDir temp;
    NString path = temp.at("out.txt");
    FILE* stream = platOpenStream(path.c_str(), "w");
    print(stream);
    fclose(stream);
    return withoutCarriageReturns(readFile(temp.path() / "out.txt"));
}

TEST_F(ReportTest, SummaryShowsNonZeroCountersInOrder)
{
    runCounters.filesCopied = 12;
    runCounters.filesLinked = 1222;
    runCounters.bytesCopied = 482113;
    runCounters.unreadableSkipped = 1;
    runCounters.startTime = 100;
    runCounters.endTime = 114;
    EXPECT_EQ("                    12 files copied\n"
              "                 1.222 files linked\n"
              "               482.113 bytes copied\n"
              "                     1 unreadable files skipped\n"
              "elapsed: 14 sec.\n",
              captured([](FILE* s) { printSummary(s, false); }));
}

TEST_F(ReportTest, SummaryOfEmptyRunAndOtherCounters)
{
    EXPECT_EQ("elapsed: 0 sec.\n", captured([](FILE* s) { printSummary(s, false); }));
    runCounters.bytesCopied = 1ULL << 32; // low half 0, still printed
    runCounters.writeErrors = 2;
    runCounters.linkErrors = 1000;
    EXPECT_EQ("         4.294.967.296 bytes copied\n"
              "                     2 write errors\n"
              "                 1.000 link errors\n"
              "elapsed: 0 sec.\n",
              captured([](FILE* s) { printSummary(s, false); }));
}

TEST_F(ReportTest, LogSummaryCarriesTheHeaderOnce)
{
    NString snapshot = N("snap") + NString(1, PATH_SEP);
    reportState.log.headerText = snapshot.c_str();
    std::string first = captured([](FILE* s) { printSummary(s, true); });
    EXPECT_EQ("\nsnap" + std::string(1, static_cast<char>(PATH_SEP)) + ":\nelapsed: 0 sec.\n", first);
    EXPECT_EQ("elapsed: 0 sec.\n", captured([](FILE* s) { printSummary(s, true); }));
    reportState.log.headerWritten = 0;
    reportState.log.headerText = N("");
    EXPECT_EQ("\nelapsed: 0 sec.\n", captured([](FILE* s) { printSummary(s, true); }));
}

TEST_F(ReportTest, LogMessageAppendsUnderOneHeaderAndWaitsForAnOpenableFile)
{
    TempDir temp;
    NString snapshot = N("S:");
    reportState.log.headerText = snapshot.c_str();
    // No log path yet: the line is lost and the header stays due.
    logMessage(N("lost %s\n"), N("x"));
    EXPECT_EQ(0, reportState.log.headerWritten);
    copyText(reportState.log.logPath, PATH_CHARS, temp.at("log.txt").c_str());
    writeFile(temp.path() / "log.txt", "old\n");
    logMessage(N("unreadable file: %s\n"), N("a%sb%d"));
    logMessage(N("unwritable file: %s\n"), N("c"));
    EXPECT_EQ("old\n\nS::\nunreadable file: a%sb%d\nunwritable file: c\n",
              withoutCarriageReturns(readFile(temp.path() / "log.txt")));
}

// The program formats its messages itself; for every conversion it uses
// the result is the C runtime's.
template <typename... Values>
void expectRuntimeText(const NChar* format, Values... values)
{
    NChar expected[256];
    ASSERT_TRUE(formatText(expected, 256, format, values...));
    EXPECT_EQ(narrow(expected), captured([&](FILE* s) { printTo(s, format, values...); })) << narrow(format);
}

TEST_F(ReportTest, MessagesAreFormattedAsTheRuntimeFormatsThem)
{
    expectRuntimeText(N("%22s files copied\n"), N("  1.222"));
    expectRuntimeText(N("%s%.*s....%s\n"), N("copy "), 3, N("abcdef"), N("xyz"));
    expectRuntimeText(N("%04d_%02d_%02d|%d|%5d|%-5d|%05d|%-05d|%.3d|%5.3d|%*d|%-*s|"), 2022, 5, 9, -42, -42, 42,
                      -42, 7, 7, -7, 4, 9, 6, N("ab"));
    expectRuntimeText(N("%u %x %lu %ld %lld %llu %c %i 100%%"), 4000000000u, 0xbeefu, 7ul, -8l, -9000000000ll,
                      18000000000000000000ull, N('c'), 0);
    expectRuntimeText(N("[%6s|%-6s|%.2s|%.0s|%s]"), N("ab"), N("ab"), N("abc"), N("abc"), N(""));
    expectRuntimeText(N("%d %d"), 2147483647, -2147483647 - 1);
}

TEST_F(ReportTest, ControlCharactersInValuesShowAsQuestionMarks)
{
    // A name that would forge a summary line, and one with an escape
    // sequence: each control character of a value is one '?', while the
    // format's own line feeds end lines.
    EXPECT_EQ("copy x?                 1.000 files linked\n",
              captured([](FILE* s) { printTo(s, N("copy %s\n"), N("x\n                 1.000 files linked")); }));
    EXPECT_EQ("a?b?c?d?e?[2Jfg\n?|\n",
              captured([](FILE* s) { printTo(s, N("%s\n%c|\n"), N("a\rb\tc\x01" "d\x7f" "e\x1b[2Jfg"), N('\n')); }));
    // A C1 control character (U+009B is a terminal's command start) is one
    // '?' too: in UTF-8 its two bytes, in a wide build the one character;
    // the bytes of other characters, and a byte alone, stay as they are.
    if (sizeof(NChar) == 1) {
        EXPECT_EQ("a?[2Jb?c\xC2\xA0\x80\xC2",
                  captured([](FILE* s) { printTo(s, N("%s"), N("a\xC2\x9B[2Jb\xC2\x80" "c\xC2\xA0\x80\xC2")); }));
    } else {
        EXPECT_EQ("a?[2Jb?c\xA0",
                  captured([](FILE* s) { printTo(s, N("%s"), N("a\x9B[2Jb\x80" "c\xA0")); }));
    }
    // The log file too.
    TempDir temp;
    copyText(reportState.log.logPath, PATH_CHARS, temp.at("log.txt").c_str());
    reportState.log.headerText = N("S\n:");
    logMessage(N("unreadable file: %s\n"), N("a\n\nb"));
    EXPECT_EQ("\nS?::\nunreadable file: a??b\n", withoutCarriageReturns(readFile(temp.path() / "log.txt")));
}

TEST_F(ReportTest, WindowsFilesAndPipesGetOneBytePerCharacterAndWholeLines)
{
    if (sizeof(NChar) == 1) GTEST_SKIP() << "the POSIX build writes a name's bytes as they are";
    TempDir temp;
    NString path = temp.at("out.txt");
    FILE* stream = platOpenStream(path.c_str(), "w");
    ASSERT_NE(nullptr, stream);
    // Up to U+00FF one byte each; above, one '?' per character (an emoji is
    // one character of two code units), and the line goes on to its end.
    NString emoji = NString(1, static_cast<NChar>(0xD83D)) + static_cast<NChar>(0xDE00);
    NString name = N("caf\u00e9 \u00ff \u03a0\u03b1\u03bd \u5907\u4efd ") + emoji + N(" end");
    EXPECT_EQ(static_cast<int>(name.size()) + 11, printTo(stream, N("copy %s\nnext\n"), name.c_str()));
    // A message longer than the writer's buffer, with an emoji where a
    // piece ends: whole, and the emoji still one '?'.
    for (int at : {254, 255, 256, 257}) {
        NString longName = NString(at, N('a')) + emoji + NString(300, N('b'));
        printTo(stream, N("%s%s\n"), N(""), longName.c_str());
    }
    ASSERT_EQ(0, fclose(stream));
    std::string expected = "copy caf\xe9 \xff ??? ?? ? end\r\nnext\r\n";
    for (int at : {254, 255, 256, 257}) expected += std::string(at, 'a') + "?" + std::string(300, 'b') + "\r\n";
    EXPECT_EQ(expected, readFile(temp.path() / "out.txt"));
}

std::string progressOf(const NString& path)
{
    testing::internal::CaptureStdout();
    showProgress(PROGRESS_COPY, path.c_str());
    fflush(stdout);
    return withoutCarriageReturns(testing::internal::GetCapturedStdout());
}

TEST_F(ReportTest, ProgressLineIsCutAt190Characters)
{
    NString path184(184, N('p'));
    std::string line = progressOf(path184);
    EXPECT_EQ(190u, line.size());
    EXPECT_EQ("copy " + std::string(184, 'p') + "\n", line);

    // 185 characters of path: a text of 191, shown as 93 + "...." + 93.
    NString path185 = N("a") + NString(183, N('m')) + N("z");
    line = progressOf(path185);
    EXPECT_EQ(190u, line.size());
    EXPECT_EQ("copy a" + std::string(87, 'm') + "...." + std::string(91, 'm') + "z\n", line);

    // Far longer than the progress buffer: head and tail still exact.
    NString path2000 = N("H") + NString(1998, N('q')) + N("T");
    line = progressOf(path2000);
    EXPECT_EQ("copy H" + std::string(87, 'q') + "...." + std::string(91, 'q') + "T\n", line);

    cmdlineState.runSettings.silent = 1;
    EXPECT_EQ("", progressOf(path185));
}

TEST_F(ReportTest, ProgressKeepsPercentSignsLiterally)
{
    EXPECT_EQ("copy 100%s%d%n.txt\n", progressOf(N("100%s%d%n.txt")));
}

TEST_F(ReportTest, ProgressCountsCharactersNotBytes)
{
    if (sizeof(NChar) != 1) GTEST_SKIP() << "UTF-8 character counting is for the byte-string build";
    // 184 two-byte characters: 190 characters, printed whole.
    std::string e2 = "\xC3\xA9";
    std::string path;
    for (int k = 0; k < 184; ++k) path += e2;
    EXPECT_EQ("copy " + path + "\n", progressOf(native(path)));
    // 185 characters, the last three-byte ones: never split inside a character.
    std::string e3 = "\xE2\x82\xAC";
    std::string longer;
    for (int k = 0; k < 185; ++k) longer += e3;
    std::string head, tail;
    for (int k = 0; k < 88; ++k) head += e3;
    for (int k = 0; k < 92; ++k) tail += e3;
    EXPECT_EQ("copy " + head + "...." + tail + "\n", progressOf(native(longer)));
    // Over the buffer, with multi-byte characters at both cuts.
    std::string huge;
    for (int k = 0; k < 400; ++k) huge += e3;
    std::string shown = progressOf(native(huge));
    EXPECT_EQ("copy " + head + "...." + tail + "\n", shown);
}

} // namespace
