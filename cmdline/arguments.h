// General-purpose command-line parsers working on one private, writable
// copy of the argument vector: single-letter flags, name=value options, and
// splitting of comma lists.
#pragma once

#include <cstdarg>

#include "platform/text.h"

const int MAX_LIST_ITEMS = 100;

// Capacity, terminator included, of the destination of an "%s" option
// entry without a width.
const int OPTION_VALUE_CHARS = PATH_CHARS;

// One heap block: the pointer array, then the argument strings (the
// parsers keep theirs in cmdlineState.argumentCopy).
NChar** copyArguments(int count, NChar** vector);
// Frees the parsers' copy; nothing when there is none.
void releaseArgumentCopy();

// True when argument begins with a flag prefix: '-', and on Windows also '/'.
bool isFlagArgument(const NChar* argument);

// Takes the flags named by letters out of the vector; one int* per letter
// follows. Returns the number of arguments left.
int parseFlags(int* count, NChar*** vector, const NChar* letters, ...);
int parseFlagsV(int* count, NChar*** vector, const NChar* letters, va_list variables);

// Takes name=value options named by the template ("x=%s,xt=%s") out of the
// vector; one destination pointer per entry follows. Returns the number of
// entries matched, or -1 when a value did not fit its "%s" destination of
// OPTION_VALUE_CHARS (that destination is then left empty: a value is never
// cut).
int parseKeywordOptions(int* count, NChar*** vector, const NChar* templ, ...);
int parseKeywordOptionsV(int* count, NChar*** vector, const NChar* templ, va_list destinations);

// Reads the template entry at position: key (name and '=', 82 characters),
// conversion text (20 characters) and conversion letter. Returns the
// position after the entry's ','.
const NChar* nextTemplateEntry(const NChar* position, NChar* key, NChar* conversion, NChar* letter);

// Cuts text in place at its commas into at most MAX_LIST_ITEMS items.
int splitList(NChar* text, NChar** items);
