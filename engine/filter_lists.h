// The three filter lists that steer the walk: folders to leave out, file
// types to leave out, and the only file types to take (they are kept in
// engineState.filters).
#pragma once

#include <cstdint>

#include "platform/text.h"

struct StringList {
    NChar** items;
    int32_t count;
};

// An empty folder item is ignored: it would match every folder.
void addExcludedFolder(const NChar* text);
// A type item written "*.ext" is taken as ".ext".
void addExcludedType(const NChar* text);
void addIncludedType(const NChar* text);

// 1 when dirPath (a directory path) ends with the folder names of an entry.
int isExcludedFolder(const NChar* dirPath);

// The extension of a name, from its last '.' on; null when it has none.
const NChar* extensionOf(const NChar* name);

// 1 when the extension of name equals an entry of list; a name without '.'
// has the empty extension when noDotIsEmpty is set, and none otherwise.
int matchesType(const StringList* list, const NChar* name, bool noDotIsEmpty);

void releaseList(StringList* list);
