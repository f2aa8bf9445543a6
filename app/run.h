// The process entry and the run sequence of one backup run.
#pragma once

#include "platform/text.h"

const int VERSION_MAJOR = 1;
const int VERSION_MINOR = 15;
const int VERSION_PATCH = 95;

int programEntry(int argc, NChar** argv);
int runBackup(int argc, NChar** argv);
