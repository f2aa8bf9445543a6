// The backup root: the run's three paths, the state file "_dir" that
// remembers the source, the latest snapshot and the filter lists, and the
// creation of a missing root.
#pragma once

#include "platform/text.h"

struct PathSlots {
    NChar slots[2][PATH_CHARS];
    int counter;
};

extern PathSlots pathSlots;
extern NChar storedSourcePath[PATH_CHARS];
extern NChar previousSnapshotPath[PATH_CHARS];

// Longest line of the state file, without its line end, that is read.
const int STATE_LINE_CHARS = PATH_CHARS - 1;

// The next slot, holding path as a directory path; null (nothing stored)
// when the path does not fit its slot or both slots are taken.
NChar* storePathSlot(const NChar* path);

// Reads the state file of backupRoot. Returns storedSourcePath, or null
// when the run is refused (the message has been printed).
const NChar* readStateFile(const NChar* backupRoot);

// From one (root) or two (source, root) positional arguments: the source
// path and the backup root; previousSnapshotPath is left set. False when
// the run is refused (the message has been printed).
bool resolveRunPaths(int count, NChar** args, const NChar** sourcePath, const NChar** backupRoot);

void findLatestSnapshot(const NChar* backupRoot);

// Sets the backup root's process-wide state back to its start: the path
// slots, the stored paths, and the lock released.
void resetBackupRoot();

// Sets previousSnapshotPath to the greatest folder of the root whose name
// has the snapshot date form, other than skippedName; empty when none.
void findLatestDatedSnapshot(const NChar* backupRoot, const NChar* skippedName);

// 0 when the directory was created (with its missing parents), else -1.
// The folder itself is made open to its owner alone.
int makeDirectoryPath(const NChar* path);

// Says once on standard error that a backup root others may enter should
// be closed to them, when the run is root's: owners are kept in every
// snapshot, so a user who may enter the root may write her files there.
void adviseOnRootAccess(const NChar* root);

// Rewrites the state file as a whole: a new file is written beside it and
// replaces the old one only once it is complete.
void writeStateFile(const NChar* sourcePath, const NChar* backupRoot, const NChar* snapshotPath);

// True when text, as an excluded-folder entry (with its separator) or a
// type entry (with its '-' or '+'), fits one line of the state file and
// reads back from it as the same entry.
bool fitsStateLine(const NChar* text, bool isFolder);
