// The tree walker: fills one folder of the new snapshot from one folder of
// the source and calls itself for every subfolder. Unchanged files become
// hard links to their twins in the previous snapshot; the rest is copied.
#pragma once

#include "platform/text.h"

// Room for the longest name, a separator and the terminator.
const int NAME_CHARS = NAME_MAX_CHARS + 2;
const int NAME_RESERVE = NAME_CHARS;

// Directory paths ending with the separator; previousDir may be null or
// empty. workers threads walk it (1: the calling thread alone; fewer when
// threads cannot be had). Returns 0, or 14 when a working buffer cannot be
// had.
int walkTree(const NChar* sourceDir, const NChar* previousDir, const NChar* destinationDir,
             int workers = 1);

// Leaves the folder rootPath (the backup root) out of every walk, so that a
// root inside the source tree never backs up its own snapshots. False when
// the folder cannot be identified.
bool setExcludedRoot(const NChar* rootPath);
