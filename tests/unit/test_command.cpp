#include <gtest/gtest.h>

#include <cstdio>

#include "platform/platform.h"
#include "sysact/command.h"
#include "test_support.h"

namespace {

const bool onWindows = PATH_SEP == N('\\');

int run(const NChar* commandLine)
{
    NString writable = commandLine;
    return runCommand(&writable[0], 0, 0);
}

int openDescriptors()
{
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

TEST(CommandTest, ExitCodesAndQuotedArguments)
{
    if (onWindows) {
        EXPECT_EQ(3, run(N("cmd /c exit 3")));
        EXPECT_EQ(4, run(N("cmd /c \"exit 4\"")));
        EXPECT_EQ(5, runFormattedCommand(N("cmd /c exit %d"), 5));
    } else {
        EXPECT_EQ(3, run(N("sh -c \"exit 3\"")));
        // The quoted word reaches the child whole, quotes removed.
        EXPECT_EQ(0, run(N("sh -c \"test $# -eq 2 && case $1 in 'a  b') exit 0;; esac; exit 1\" x \"a  b\" c")));
        EXPECT_EQ(7, run(N("sh -c \"exit $0\" 7")));
        EXPECT_EQ(5, runFormattedCommand(N("sh -c \"exit %d\""), 5));
    }
}

TEST(CommandTest, MissingProgramGivesMinusOneAndLeaksNothing)
{
    if (onWindows) {
        EXPECT_EQ(-1, run(N("linksnap-no-such-program.exe")));
        return;
    }
    int before = openDescriptors();
    EXPECT_EQ(-1, run(N("linksnap-no-such-program --flag")));
    EXPECT_EQ(-1, run(N("")));
    EXPECT_EQ(before, openDescriptors());
}

TEST(CommandTest, ChildInheritsDescriptorsOnlyWhenAsked)
{
    if (onWindows) GTEST_SKIP() << "descriptor numbers are checked through /proc on Linux";
    FILE* open = std::fopen("/proc/self/stat", "r"); // an inheritable descriptor
    ASSERT_NE(nullptr, open);
    NString test = native("sh -c \"test -e /proc/self/fd/" + std::to_string(fileno(open)) + "\"");
    NString copy = test;
    EXPECT_EQ(1, runCommand(&copy[0], 0, 0));
    copy = test;
    EXPECT_EQ(0, runCommand(&copy[0], 1, 0));
    std::fclose(open);
}

} // namespace

namespace {

TEST(KeepAwakeTest, RequestAndReleaseLeaveNothingOpen)
{
    if (onWindows) GTEST_SKIP() << "descriptor numbers are checked through /proc on Linux";
    // Without a system bus (as in CI) there is nobody to ask: the request
    // does nothing, and there is nothing to check.
    std::error_code missing;
    if (!std::filesystem::exists("/run/dbus/system_bus_socket", missing))
        GTEST_SKIP() << "no system bus on this machine";
    // With one, the request holds logind's lock (one descriptor, however
    // often asked) and the release gives it back.
    int before = openDescriptors();
    platKeepAwake(true);
    platKeepAwake(true);
    int held = openDescriptors();
    platKeepAwake(false);
    platKeepAwake(false);
    EXPECT_LE(held, before + 1);
    EXPECT_EQ(before, openDescriptors());
}

} // namespace
