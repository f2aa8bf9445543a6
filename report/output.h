// Console and log output: every message of the program leaves through here.
//
// Formats are the program's fixed texts; a path is always a value, never a
// format, and a control character in a value is printed as '?', so that no
// name can break a line or forge one. The log file is only ever appended
// to; a run opens it once, after its last refusal, and keeps it open to
// its end, so that no line is lost when descriptors run short.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/text.h"
#include "report/ordered_output.h"

const int PROGRESS_MAX_CHARS = 190;
const int PROGRESS_EDGE_CHARS = 93;

enum ProgressKind { PROGRESS_COPY, PROGRESS_LINK };

int printTo(FILE* stream, const NChar* format, ...);
int printOut(const NChar* format, ...);
void logMessage(const NChar* format, ...);
void writeLogHeader(FILE* stream);

// Opens log.txt (reportState.log.logPath) for the rest of the run: only a regular
// file, never through a link. One that is something else is said on
// standard error, and the run goes on without a log. Until it is called,
// each log line opens the file by itself (a refusal that holds the lock).
void openRunLog();
// The run's open log; null when there is none.
FILE* runLogStream();
void closeRunLog();
void showProgress(ProgressKind kind, const NChar* path);

// Writes text that a part of the walk captured to where it was meant to
// go; the one emitter of the ordered output calls it, in walk order.
void writeCapturedOutput(OutputChannel channel, const NChar* text, size_t length);

// Counts the characters of a text as the progress rule counts them: one
// code point of UTF-8 text on POSIX (a byte that is not a continuation
// byte), one code unit on Windows. Exposed for tests.
int progressCharCount(const NChar* text);

// Index of the first code unit of character number index of text.
int progressCharOffset(const NChar* text, int index);
