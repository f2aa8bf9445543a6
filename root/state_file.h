// The state file "_dir" of a backup root: the source it backs up, the
// latest complete snapshot, and the filter lists, one a line. Written by
// the run, read by every program. Lines are CR LF on every platform and
// read with CR LF, LF or no end; the file is one byte per character, as it
// has always been, unless a character needs more: then it is UTF-8 behind
// a byte-order mark.
#pragma once

#include "platform/text.h"

// Longest line of the state file, without its line end, that is read.
const int STATE_LINE_CHARS = PATH_CHARS - 1;

// The state file's path in backupRoot into path (PATH_CHARS); false when
// it does not fit.
bool stateFilePath(const NChar* backupRoot, NChar* path);

// True when backupRoot has a state file.
bool hasStateFile(const NChar* backupRoot);

// Reads the state file of backupRoot: its paths into
// rootState.storedSourcePath and rootState.previousSnapshotPath, its lists
// into the filter lists. A missing file
// reads as empty. Returns storedSourcePath, or null when the file is
// refused (the message has been printed).
const NChar* readStateFile(const NChar* backupRoot);

// Rewrites the state file as a whole: a new file is written beside it and
// replaces the old one only once it is complete. False when it could not be
// (the old file, if any, is then unchanged).
bool writeStateFile(const NChar* sourcePath, const NChar* backupRoot, const NChar* snapshotPath);

// True when text, as an excluded-folder entry (with its separator) or a
// type entry (with its '-' or '+'), fits one line of the state file and
// reads back from it as the same entry.
bool fitsStateLine(const NChar* text, bool isFolder);
