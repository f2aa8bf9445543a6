// The version every program of the suite shows: they are released together.
#pragma once

#include <cstdio>

#include "platform/text.h"

const int VERSION_MAJOR = 1;
const int VERSION_MINOR = 15;
const int VERSION_PATCH = 95;

// "--help" (printUsage's text on standard output) and "--version"
// ("<program> <version>") as the only argument: 0; -1 for every other
// command line, which the program then takes as usual.
int answerHelpOrVersion(int argc, NChar** argv, const NChar* program, void (*printUsage)(FILE* stream));
