#include "prune/retention.h"

static bool isDigit(NChar c)
{
    return c >= N('0') && c <= N('9');
}

static int digitsAt(const NChar* text, int count)
{
    int value = 0;
    for (int k = 0; k < count; ++k) value = value * 10 + static_cast<int>(text[k] - N('0'));
    return value;
}

static bool isLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

static int daysInMonth(int year, int month)
{
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

bool parseSnapshotName(const NChar* name, SnapshotDate* date)
{
    for (int k = 0; k < SNAPSHOT_NAME_LENGTH; ++k) {
        bool separator = k == 4 || k == 7;
        if (separator ? name[k] != N('_') : !isDigit(name[k])) return false;
    }
    if (name[SNAPSHOT_NAME_LENGTH] != 0) return false;
    SnapshotDate d = {digitsAt(name, 4), digitsAt(name + 5, 2), digitsAt(name + 8, 2)};
    if (d.year < 1 || d.month < 1 || d.month > 12 || d.day < 1 || d.day > daysInMonth(d.year, d.month))
        return false;
    *date = d;
    return true;
}

static int64_t floorDivide(int64_t a, int64_t b)
{
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

int64_t dayNumber(const SnapshotDate& date)
{
    // Counted in 400-year eras that begin on 1 March, so that the leap day
    // is the last day of its year.
    int64_t year = date.year - (date.month <= 2 ? 1 : 0);
    int64_t era = floorDivide(year, 400);
    int64_t yearOfEra = year - era * 400;
    int64_t month = date.month > 2 ? date.month - 3 : date.month + 9;
    int64_t dayOfYear = (153 * month + 2) / 5 + date.day - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

int64_t weekNumber(const SnapshotDate& date)
{
    // 1970-01-01 was a Thursday: its week began three days earlier.
    return floorDivide(dayNumber(date) + 3, 7);
}

static int64_t periodOf(const SnapshotDate& date, KeepRule rule)
{
    switch (rule) {
    case KEEP_DAY: return dayNumber(date);
    case KEEP_WEEK: return weekNumber(date);
    case KEEP_MONTH: return static_cast<int64_t>(date.year) * 12 + date.month - 1;
    default: return date.year;
    }
}

void chooseKept(const SnapshotDate* dates, int count, const KeepCounts& keep, int protectedIndex, KeepRule* rules)
{
    for (int k = 0; k < count; ++k) rules[k] = KEEP_NONE;
    if (count == 0) return;
    const KeepRule kinds[4] = {KEEP_DAY, KEEP_WEEK, KEEP_MONTH, KEEP_YEAR};
    const int periods[4] = {keep.days, keep.weeks, keep.months, keep.years};
    for (int kind = 0; kind < 4; ++kind) {
        if (periods[kind] <= 0) continue;
        int64_t newest = periodOf(dates[count - 1], kinds[kind]);
        int64_t oldest = newest - periods[kind] + 1;
        // From the newest down: the first snapshot met in a period is the
        // newest of it.
        bool first = true;
        int64_t previous = 0;
        for (int k = count - 1; k >= 0; --k) {
            int64_t period = periodOf(dates[k], kinds[kind]);
            if (period < oldest) break;
            if (first || period != previous) {
                if (rules[k] == KEEP_NONE) rules[k] = kinds[kind];
            }
            first = false;
            previous = period;
        }
    }
    if (rules[count - 1] == KEEP_NONE) rules[count - 1] = KEEP_LATEST;
    if (protectedIndex >= 0 && protectedIndex < count && rules[protectedIndex] == KEEP_NONE)
        rules[protectedIndex] = KEEP_LATEST;
}

const NChar* keepRuleName(KeepRule rule)
{
    switch (rule) {
    case KEEP_DAY: return N("day");
    case KEEP_WEEK: return N("week");
    case KEEP_MONTH: return N("month");
    case KEEP_YEAR: return N("year");
    case KEEP_LATEST: return N("latest");
    case KEEP_UNFINISHED: return N("unfinished");
    default: return N("-");
    }
}
