#include "root/snapshots.h"

#include "platform/platform.h"
#include "report/output.h"

bool rootFits(const NChar* backupRoot, size_t suffixChars)
{
    if (textLength(backupRoot) + suffixChars < static_cast<size_t>(PATH_CHARS)) return true;
    printTo(stderr, N("path too long: %s\n"), backupRoot);
    return false;
}

void findLatestSnapshot(const NChar* backupRoot, const NChar* skippedName, const SnapshotFilter& filter,
                        NChar* path)
{
    NChar held[CATALOG_NAME_CHARS];
    held[0] = 0;
    FindEntry entry;
    FindHandle* find = platFindFirst(backupRoot, &entry);
    if (find != nullptr) {
        do {
            if (!(entry.attributes & ATTR_DIRECTORY) || (entry.attributes & ATTR_REPARSE_POINT) ||
                !isSnapshotFolderName(entry.name) || compareText(entry.name, skippedName) == 0 ||
                compareText(entry.name, held) <= 0)
                continue;
            if (filter.catalog != nullptr &&
                isUnfinishedSnapshot(*filter.catalog, entry.name, filter.stateName, filter.lockNames))
                continue;
            copyText(held, CATALOG_NAME_CHARS, entry.name);
        } while (platFindNext(find, &entry));
        platFindClose(find);
    }
    path[0] = 0;
    if (held[0] != 0 && !formatText(path, PATH_CHARS, N("%s%s%s"), backupRoot, held, PATH_SEP_TEXT)) path[0] = 0;
}
