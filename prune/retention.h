// Which snapshots a retention schedule keeps: the newest snapshot of each
// of the last N days, ISO weeks, months and years, counted back from the
// newest snapshot. Pure computation on dates, apart from any file system.
#pragma once

#include <cstdint>

#include "platform/text.h"

struct SnapshotDate {
    int year;
    int month;
    int day;
};

// How many of the latest calendar periods of each kind keep a snapshot;
// 0 leaves a kind out.
struct KeepCounts {
    int days;
    int weeks;
    int months;
    int years;
};

// What keeps a snapshot: the first rule in this order that keeps it.
// KEEP_LATEST keeps the newest snapshot and the one the next run links
// against when no calendar rule does. KEEP_UNFINISHED keeps a snapshot
// that no run completed while no newer complete one exists (it fills no
// calendar period).
enum KeepRule { KEEP_NONE, KEEP_DAY, KEEP_WEEK, KEEP_MONTH, KEEP_YEAR, KEEP_LATEST, KEEP_UNFINISHED };

// Length of a snapshot folder name "yyyy_mm_dd".
const int SNAPSHOT_NAME_LENGTH = 10;

// True when name is exactly of the snapshot form "%04d_%02d_%02d" and a
// real calendar date; date then holds it.
bool parseSnapshotName(const NChar* name, SnapshotDate* date);

// Days since 1970-01-01 (negative before it), in the proleptic Gregorian
// calendar.
int64_t dayNumber(const SnapshotDate& date);

// Number of the Monday-to-Sunday week holding the date, counted
// continuously, so that ISO weeks 52, 53 and 1 follow each other like any
// other weeks.
int64_t weekNumber(const SnapshotDate& date);

// Decides for count snapshots, dates in ascending order without repeats,
// which rule keeps each; rules[k] is KEEP_NONE for one to delete. The
// newest snapshot, and the one at protectedIndex (-1 for none), are always
// kept.
void chooseKept(const SnapshotDate* dates, int count, const KeepCounts& keep, int protectedIndex, KeepRule* rules);

// The rule's word in the cost lines: "day", "week", ..., "unfinished",
// "-" for none.
const NChar* keepRuleName(KeepRule rule);
