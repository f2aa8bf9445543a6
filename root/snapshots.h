// The snapshot folders of a backup root, as every program finds them, and
// the room a root's path must leave for the paths built from it.
#pragma once

#include <cstddef>

#include "platform/text.h"
#include "root/catalog.h"

// True when backupRoot (a directory path) leaves room for suffixChars more
// characters in a path buffer: a program builds the paths of its files
// from the root, and a longer root is refused rather than cut. When it
// does not, "path too long" has been printed.
bool rootFits(const NChar* backupRoot, size_t suffixChars);

// What a search for the latest snapshot leaves out besides skippedName:
// with a catalog, the snapshots it and the lock say no run completed (see
// isUnfinishedSnapshot); without one, none.
struct SnapshotFilter {
    const Catalog* catalog;
    const NChar* stateName;
    LockNamesSnapshot lockNames;
};

// The newest snapshot of backupRoot as a directory path in path
// (PATH_CHARS): the greatest dated folder name (names sort as dates) that
// is a real folder, not a link, not skippedName and not left out by
// filter; empty when there is none. A link or junction is never taken:
// linking against it would tie the new snapshot to a tree outside the root.
void findLatestSnapshot(const NChar* backupRoot, const NChar* skippedName, const SnapshotFilter& filter,
                        NChar* path);
