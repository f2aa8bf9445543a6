#include "engine/filter_lists.h"

#include <cstdlib>

#include "engine/engine_state.h"

static NChar* duplicateText(const NChar* text, size_t extra)
{
    size_t length = textLength(text);
    NChar* copy = static_cast<NChar*>(malloc((length + 1 + extra) * sizeof(NChar)));
    if (copy != nullptr) memcpy(copy, text, (length + 1) * sizeof(NChar));
    return copy;
}

// Appends entry (owned) to list; frees it when the array cannot grow.
static void appendEntry(StringList* list, NChar* entry)
{
    NChar** grown = static_cast<NChar**>(
        realloc(list->items, (static_cast<size_t>(list->count) + 1) * sizeof(NChar*)));
    if (grown == nullptr) {
        free(entry);
        return;
    }
    list->items = grown;
    list->items[list->count++] = entry;
}

static void addType(StringList* list, const NChar* text)
{
    // The usage text writes a type as "*.xxx": a leading "*" would make an
    // entry that matches no name, so "*.txt" means ".txt".
    if (text[0] == N('*') && text[1] == N('.')) ++text;
    for (int32_t k = 0; k < list->count; ++k)
        if (compareNoCase(list->items[k], text) == 0) return;
    NChar* copy = duplicateText(text, 0);
    if (copy != nullptr) appendEntry(list, copy);
}

void addExcludedType(const NChar* text)
{
    addType(&engineState.filters.excludedTypes, text);
}

void addIncludedType(const NChar* text)
{
    addType(&engineState.filters.includedTypes, text);
}

void addExcludedFolder(const NChar* text)
{
    if (text[0] == 0) return;
    NChar* entry = duplicateText(text, 1);
    if (entry == nullptr) return;
    if (!endsWithSeparator(entry)) {
        size_t length = textLength(entry);
        entry[length] = PATH_SEP;
        entry[length + 1] = 0;
    }
    if (isExcludedFolder(entry)) {
        free(entry);
        return;
    }
    appendEntry(&engineState.filters.excludedFolders, entry);
}

int isExcludedFolder(const NChar* dirPath)
{
    size_t p = textLength(dirPath);
    for (int32_t k = 0; k < engineState.filters.excludedFolders.count; ++k) {
        const NChar* entry = engineState.filters.excludedFolders.items[k];
        size_t e = textLength(entry);
        if (e > p) continue;
        if (e == p) {
            if (compareNoCase(dirPath, entry) == 0) return 1;
        } else if (dirPath[p - e - 1] == PATH_SEP && compareNoCase(dirPath + p - e, entry) == 0) {
            return 1;
        }
    }
    return 0;
}

const NChar* extensionOf(const NChar* name)
{
    return findLast(name, N('.'));
}

int matchesType(const StringList* list, const NChar* name, bool noDotIsEmpty)
{
    const NChar* extension = extensionOf(name);
    if (extension == nullptr) {
        if (!noDotIsEmpty) return 0;
        extension = N("");
    }
    for (int32_t k = 0; k < list->count; ++k)
        if (compareNoCase(list->items[k], extension) == 0) return 1;
    return 0;
}

void releaseList(StringList* list)
{
    for (int32_t k = 0; k < list->count; ++k) free(list->items[k]);
    free(list->items);
    list->items = nullptr;
    list->count = 0;
}
