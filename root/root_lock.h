// The lock of a backup root: one run at a time writes into a root. The
// lock file "_lock" in the root is locked by the operating system for as
// long as the run lasts (a run that dies loses it with its process) and
// tells what the last run that held it was making, so that a snapshot left
// unfinished by a stopped run can be told from one made by hand.
#pragma once

#include "platform/platform.h"
#include "platform/text.h"

// Locks backupRoot (an existing folder) for this process, waiting a
// little for a monitor that holds the lock for an instant, and keeps what
// its last holder wrote. LOCK_TAKEN, or why not: LOCK_BUSY (another run or
// prune holds it), LOCK_NOT_REGULAR (something else has the lock file's
// name), LOCK_FAILED (no rights in the root, no room). Nothing is printed:
// what to say, and whether to go on unlocked, is each program's choice.
// lockPath (PATH_CHARS) receives the lock file's path for its messages.
LockResult lockBackupRoot(const NChar* backupRoot, NChar* lockPath);

// True when this process holds the lock of its backup root.
bool holdsRootLock();

// True when the lock's last holder was making a snapshot folder called
// dateText, by name alone (see lockTextNamesSnapshot). Only known to a
// process that holds the lock.
bool lastHolderNamedSnapshot(const NChar* dateText);

// True when the run that held the lock before this one made the snapshot
// folder snapshotPath (named dateText) in this root: the lock names a
// folder of that name, and the identity it recorded (device and inode;
// volume serial and file index) is that of the folder there now. Only
// known to a run that holds the lock.
bool lastRunMadeSnapshot(const NChar* snapshotPath, const NChar* dateText);

// Writes this run's facts into the lock file: process id, host name,
// start time, the snapshot it makes and, once that folder exists, the
// folder's identity. Called right before the snapshot folder is made and
// again right after.
void recordRunInLock(const NChar* snapshotPath);

// Writes a prune's facts into the lock file: process id, host name and
// start. The snapshot a stopped run left, and its folder's identity, stay,
// so that the next run still finishes it.
void recordPruneInLock();

// Releases the lock; nothing when none is held.
void releaseBackupRoot();

// True when lockText, a text of the lock file, names a snapshot folder
// called dateText on its "snapshot" line (whatever the root's path was
// then: a disk may come back under another name).
bool lockTextNamesSnapshot(const NChar* lockText, const NChar* dateText);

// The folder identity on the "identity" line of lockText; false when there
// is none or it does not read as two numbers.
bool lockTextIdentity(const NChar* lockText, FileIdentity* identity);
