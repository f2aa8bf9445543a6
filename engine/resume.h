// Continuing a snapshot that a stopped run left unfinished. The walk runs
// as usual; these steps, called by the walker, keep what the stopped run
// already made where it equals the source, and clear away everything else
// before the walker makes it anew.
#pragma once

#include "platform/text.h"

// Set by the run sequence when it continues today's unfinished snapshot;
// every step below does nothing otherwise, and nothing in a dry run. Only
// then is a name that already exists in the snapshot replaced: a new
// snapshot folder holds nothing of its own, so there an existing name means
// that two source names fall on one name of the backup disk (a
// case-insensitive or name-limited file system), and the second is
// reported, never put in the place of the first.
extern bool resumingSnapshot;

// Before the walker fills destinationDir: a folder that the stopped run
// had already finished may be read-only; its entries must be replaceable.
void resumeEnterFolder(const NChar* destinationDir);

// Before the walker walks into the snapshot folder destinationPath: what
// stands at that name and is no folder goes.
void resumeFolderEntry(const NChar* destinationPath);

// Before the walker links or copies a file to destinationPath. equal: the
// unchanged test found the entry already at destinationPath equal to its
// source. True when that entry is kept as it is (counted as linked when it
// is twinPath's own file, else as copied, without bytes): the walker leaves
// the file. Otherwise whatever stands there has been removed, and false.
bool resumeKeepsFile(bool equal, const NChar* destinationPath, const NChar* twinPath);

// After the walker filled destinationDir from sourceDir: entries whose
// source no longer exists go.
void resumeLeaveFolder(const NChar* sourceDir, const NChar* destinationDir);
