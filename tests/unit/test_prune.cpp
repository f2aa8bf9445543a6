// Retention: snapshot names, calendar periods (ISO weeks across year ends,
// leap days) and which snapshot each rule keeps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "prune/retention.h"
#include "test_support.h"

TEST(Retention, SnapshotNamesAreExactDatesOfTheCalendar)
{
    SnapshotDate date;
    ASSERT_TRUE(parseSnapshotName(native("2024_02_29").c_str(), &date));
    EXPECT_EQ(date.year, 2024);
    EXPECT_EQ(date.month, 2);
    EXPECT_EQ(date.day, 29);
    EXPECT_TRUE(parseSnapshotName(native("2000_02_29").c_str(), &date));
    EXPECT_TRUE(parseSnapshotName(native("2026_12_31").c_str(), &date));
    for (const char* name : {"2023_02_29", "2100_02_29", "2024_04_31", "2024_13_01", "2024_00_10", "2024_01_00",
                             "0000_01_01", "2024_1_01", "2024-01-01", "2024_01_01x", "2024_01_01.deleting",
                             "2024_01_0", "", "x024_01_01", "2024_01_+1"})
        EXPECT_FALSE(parseSnapshotName(native(name).c_str(), &date)) << name;
}

// Day of the week by Zeller's congruence, 0 for Monday: a count that does
// not share its arithmetic with dayNumber.
static int weekday(int year, int month, int day)
{
    if (month < 3) month += 12, year -= 1;
    int h = (day + 13 * (month + 1) / 5 + year % 100 + year % 100 / 4 + year / 100 / 4 + 5 * (year / 100)) % 7;
    return (h + 5) % 7;
}

static SnapshotDate nextDay(SnapshotDate d)
{
    static const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (d.year % 4 == 0 && d.year % 100 != 0) || d.year % 400 == 0;
    int length = d.month == 2 && leap ? 29 : lengths[d.month - 1];
    if (++d.day > length) {
        d.day = 1;
        if (++d.month > 12) d.month = 1, ++d.year;
    }
    return d;
}

TEST(Retention, DaysFollowEachOtherAndWeeksBeginOnMonday)
{
    EXPECT_EQ(dayNumber({1970, 1, 1}), 0);
    EXPECT_EQ(dayNumber({1969, 12, 31}), -1);
    EXPECT_EQ(dayNumber({2000, 3, 1}), 11017);
    // Every day from 1899 to 2101, leap days and year ends included: the
    // day count goes up by one, the week count only on a Monday.
    SnapshotDate date = {1899, 1, 1};
    int64_t day = dayNumber(date);
    int64_t week = weekNumber(date);
    while (date.year < 2101) {
        SnapshotDate next = nextDay(date);
        ASSERT_EQ(dayNumber(next), day + 1) << next.year << "-" << next.month << "-" << next.day;
        bool monday = weekday(next.year, next.month, next.day) == 0;
        ASSERT_EQ(weekNumber(next), week + (monday ? 1 : 0)) << next.year << "-" << next.month << "-" << next.day;
        date = next;
        day = dayNumber(date);
        week = weekNumber(date);
    }
}

static std::string keptText(const std::vector<SnapshotDate>& dates, KeepCounts keep, int protectedIndex = -1)
{
    std::vector<KeepRule> rules(dates.size());
    chooseKept(dates.data(), static_cast<int>(dates.size()), keep, protectedIndex, rules.data());
    std::string text;
    for (KeepRule rule : rules) {
        NString name = keepRuleName(rule);
        text += std::string(name.begin(), name.end()) + " ";
    }
    return text;
}

TEST(Retention, IsoWeek53AndTheYearEnd)
{
    // 2020 has an ISO week 53: Monday 28 December 2020 to Sunday 3 January
    // 2021. Week 1 of 2021 begins on 4 January.
    std::vector<SnapshotDate> dates = {{2020, 12, 27}, {2020, 12, 28}, {2021, 1, 1},
                                       {2021, 1, 3},   {2021, 1, 4},   {2021, 1, 5}};
    EXPECT_EQ(keptText(dates, {0, 3, 0, 0}), "week - - week - week ");
    EXPECT_EQ(keptText(dates, {0, 2, 0, 0}), "- - - week - week ");
    // The calendar year, not the ISO year, decides y= and m=.
    EXPECT_EQ(keptText(dates, {0, 0, 0, 2}), "- year - - - year ");
    EXPECT_EQ(keptText(dates, {0, 0, 2, 0}), "- month - - - month ");
    EXPECT_EQ(keptText(dates, {2, 0, 0, 0}), "- - - - day day ");
    // The finer rule names a snapshot that several rules keep.
    EXPECT_EQ(keptText(dates, {1, 3, 1, 2}), "week year - week - day ");
}

TEST(Retention, LeapDayAndEmptyPeriodsCountAsPeriods)
{
    std::vector<SnapshotDate> dates = {{2023, 12, 31}, {2024, 2, 28}, {2024, 2, 29}, {2024, 3, 1}};
    EXPECT_EQ(keptText(dates, {2, 0, 0, 0}), "- - day day ");
    EXPECT_EQ(keptText(dates, {3, 0, 0, 0}), "- day day day ");
    // January 2024 holds no snapshot but is one of the last three months.
    EXPECT_EQ(keptText(dates, {0, 0, 3, 0}), "- - month month ");
    EXPECT_EQ(keptText(dates, {0, 0, 4, 0}), "month - month month ");
}

TEST(Retention, TheNewestAndTheLinkedSnapshotAlwaysStay)
{
    std::vector<SnapshotDate> dates = {{2019, 5, 1}, {2020, 5, 1}, {2021, 5, 1}};
    // d=1 keeps the newest by its day; the state file's snapshot stays too.
    EXPECT_EQ(keptText(dates, {1, 0, 0, 0}, 1), "- latest day ");
    EXPECT_EQ(keptText(dates, {0, 0, 1, 0}, 0), "latest - month ");
    EXPECT_EQ(keptText({{2021, 5, 1}}, {0, 0, 0, 1}), "year ");
    EXPECT_EQ(keptText({}, {1, 1, 1, 1}), "");
}

// The tree removal of the platform layer: read-only entries go, a link in
// the tree goes without what it points to, and a path that is gone is no
// failure.
TEST(RemoveTree, ReadOnlyEntriesGoAndLinksAreNotFollowed)
{
    namespace fs = std::filesystem;
    TempDir dir;
    fs::create_directories(dir.path() / "tree" / "sub" / "deeper");
    fs::create_directories(dir.path() / "outside");
    writeFile(dir.path() / "outside" / "keep.txt", "keep");
    writeFile(dir.path() / "tree" / "sub" / "deeper" / "ro.txt", "read-only");
    writeFile(dir.path() / "tree" / "top.txt", "top");
    std::error_code linkError;
    fs::create_directory_symlink(dir.path() / "outside", dir.path() / "tree" / "sub" / "link", linkError);
    fs::create_hard_link(dir.path() / "outside" / "keep.txt", dir.path() / "tree" / "hard.txt");
    fs::permissions(dir.path() / "tree" / "sub" / "deeper" / "ro.txt", fs::perms::owner_read | fs::perms::group_read);
    fs::permissions(dir.path() / "tree" / "sub" / "deeper", fs::perms::owner_read | fs::perms::owner_exec);

    uint64_t files = 0;
    uint64_t linkCounts = 0;
    struct Count {
        uint64_t* files;
        uint64_t* linkCounts;
    } count = {&files, &linkCounts};
    EXPECT_TRUE(platScanTree(dir.at("tree").c_str(), [](const TreeFile* file, void* context) {
        Count* c = static_cast<Count*>(context);
        ++*c->files;
        *c->linkCounts += file->linkCount;
    }, &count));
    // ro.txt, top.txt, hard.txt (two names), and the link where one was made.
    EXPECT_EQ(files, linkError ? 3u : 4u);
    EXPECT_EQ(linkCounts, linkError ? 4u : 5u);

    EXPECT_TRUE(platRemoveTree((dir.dir() + native("tree") + PATH_SEP_TEXT).c_str()));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path() / "tree")));
    EXPECT_EQ(readFile(dir.path() / "outside" / "keep.txt"), "keep");
    EXPECT_TRUE(platRemoveTree(dir.at("tree").c_str()));
}
