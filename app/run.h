// The process entry and the run sequence of one backup run.
#pragma once

#include "cmdline/version.h"
#include "platform/text.h"

int programEntry(int argc, NChar** argv);

// Sets every process-wide variable of the program and of the layers below
// it to its start value, releasing what they hold. The entry calls it
// before the run; tests and fuzz targets call it between runs.
void resetRunState();
int runBackup(int argc, NChar** argv);

// Splits an option's value and hands each item to add; false (and nothing
// added) when an item would not fit a line of the state file.
bool fillList(NChar* value, void (*add)(const NChar*), bool isFolder);
