// The end-of-run summary: non-zero counters in grouped digits and the
// elapsed time, for the console and for the log file.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/text.h"

const int GROUPED_TEXT_CHARS = 40;
const int ELAPSED_TEXT_CHARS = 80;

// Grouped text of value with "." between groups of three digits, the
// leading group right-aligned in three characters. Overwrites
// reportState.summary.groupedText.
const NChar* formatGrouped(int64_t value);

// Elapsed time as "1 days, 2 hrs, 3 min, 4 sec.". Overwrites
// reportState.summary.elapsedText.
const NChar* formatElapsed(int64_t seconds);

void printSummary(FILE* stream, bool toLog);
