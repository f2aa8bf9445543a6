// The run's paths: the source and the backup root from the command line
// or the root's state file, the snapshot to link against, and the
// creation of a missing root.
#pragma once

#include "platform/text.h"
#include "root/state_file.h"

// The next of the run's path slots (appState.pathSlots), holding path as a
// directory path; null (nothing stored) when the path does not fit its slot
// or both slots are taken.
NChar* storePathSlot(const NChar* path);

// From one (root) or two (source, root) positional arguments: the source
// path and the backup root; previousSnapshotPath is left set. False when
// the run is refused (the message has been printed).
bool resolveRunPaths(int count, NChar** args, const NChar** sourcePath, const NChar** backupRoot);

// 0 when the directory was created (with its missing parents), else -1.
// The folder itself is made open to its owner alone.
int makeDirectoryPath(const NChar* path);

// Says once on standard error that a backup root others may enter should
// be closed to them, when the run is root's: owners are kept in every
// snapshot, so a user who may enter the root may write her files there.
void adviseOnRootAccess(const NChar* root);
