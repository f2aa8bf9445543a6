// Continuing a snapshot that a stopped run left unfinished. The walk runs
// as usual; these steps, called by the walker, keep what the stopped run
// already made where it equals the source, and clear away everything else
// before the walker makes it anew.
#pragma once

#include "platform/text.h"

// engineState.resumingSnapshot is set by the run sequence when it
// continues today's unfinished snapshot; every step below does nothing
// otherwise, and nothing in a dry run. Only then is a name that already
// exists in the snapshot replaced: a new snapshot folder holds nothing of
// its own, so there an existing name means that two source names fall on
// one name of the backup disk (a case-insensitive or name-limited file
// system), and the second is reported, never put in the place of the
// first.

struct DirHandle;

// Every step works relative to the open folders of the walk, never by
// path: a folder of the snapshot that its owner swaps for a link while the
// run works below it is never followed. The paths serve messages and the
// Windows build.

// Before the walker fills the open snapshot folder destination: a folder
// that the stopped run had already finished may be read-only; its entries
// must be replaceable.
void resumeEnterFolder(DirHandle* destination);

// Before the walker walks into the snapshot folder name of destination
// (destinationPath: its path): what stands at that name and is no folder
// goes.
void resumeFolderEntry(DirHandle* destination, const NChar* name, const NChar* destinationPath);

// Before the walker links or copies a file to name in destination. equal:
// the unchanged test found the entry already there equal to its source.
// True when that entry is kept as it is (counted as linked when it is the
// same file as name in twinDir, else as copied with the bytes it holds, as
// a run that made it would count it): the walker leaves the file. Otherwise whatever stands there has been removed, and
// false.
bool resumeKeepsFile(bool equal, DirHandle* destination, const NChar* name, const NChar* destinationPath,
                     DirHandle* twinDir, const NChar* twinPath);

// After the walker filled destination from source: entries whose source
// no longer exists go. Nothing when the source folder is not open.
void resumeLeaveFolder(DirHandle* source, const NChar* sourceDir, DirHandle* destination,
                       const NChar* destinationDir);
