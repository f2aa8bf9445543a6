// The entries of one snapshot, read relative to open folders and never
// through a symbolic link, with their file identities.
#pragma once

#include "util/util.h"

enum EntryKind { KIND_FILE = 0, KIND_LINK = 1, KIND_FOLDER = 2, KIND_SPECIAL = 3 };

const char* kindName(EntryKind kind);

struct TreeEntry {
    NString path; // relative to the snapshot, with the platform separator
    EntryKind kind;
    FileIdentity identity;
    uint64_t size; // bytes of a regular file; 0 otherwise
    int64_t lastWrite;
    FileData data; // as read from the snapshot's folder
};

EntryKind kindOf(const FileData& data);

// Opens the snapshot folder name of root (not through a link); null when
// it cannot be opened. full gets its directory path.
DirHandle* openSnapshot(const NChar* root, const NString& name, NString* full);

// Every entry below the snapshot name of root, sorted by path in code
// unit order. Iterative: pending folders wait as relative paths, and each
// is opened again from the snapshot, one name at a time. False when some
// folder could not be read (what could be read is there).
bool collectSnapshot(const NChar* root, const NString& name, std::vector<TreeEntry>* entries);

// Opens the folder at relative (names split by the separator, no leading
// or trailing one) below the open folder base, whose path is basePath;
// null when some name on the way is no folder or cannot be opened.
DirHandle* openBelow(DirHandle* base, const NString& basePath, const NString& relative);
