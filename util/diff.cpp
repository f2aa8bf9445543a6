// linksnap-util diff: what changed from one snapshot to another. Two names
// with the same file identity are the same version, so nothing is read
// but the two listings.
#include <string>

#include "report/output.h"
#include "util/tree.h"

static bool findSnapshot(const std::vector<NString>& names, const NChar* name)
{
    for (const NString& known : names)
        if (known == name) return true;
    return false;
}

struct DiffCounts {
    int64_t added = 0, deleted = 0, changed = 0, kindChanged = 0;
    uint64_t bytesAdded = 0;
};

static void reportEntry(char op, const TreeEntry& entry, bool json)
{
    if (json) {
        writeJsonLine(std::string("{\"op\":\"") + op + "\",\"path\":" + jsonString(entry.path) + ",\"kind\":\"" +
                      kindName(entry.kind) + "\",\"size\":" + std::to_string(entry.size) + "}");
        return;
    }
    NChar opText[2] = {static_cast<NChar>(op), 0};
    printTo(stdout, N("%s %s%s\n"), opText, entry.path.c_str(),
            entry.kind == KIND_FOLDER ? PATH_SEP_TEXT : N(""));
}

int diffCommand(int count, NChar** args)
{
    bool json = takeJsonOption(&count, args);
    if (count != 3) {
        printTo(stderr, N("usage: linksnap-util diff [--json] <backupdir> <snapshot-a> <snapshot-b>\n"));
        return 1;
    }
    NChar root[PATH_CHARS];
    if (!openBackupRoot(args[0], root, false)) return 1;
    std::vector<NString> names = listSnapshotNames(root);
    for (int i = 1; i <= 2; ++i) {
        if (!findSnapshot(names, args[i])) {
            printTo(stderr, N("no snapshot %s in %s\n"), args[i], root);
            return 1;
        }
    }
    std::vector<TreeEntry> before, after;
    bool whole = collectSnapshot(root, args[1], &before);
    whole = collectSnapshot(root, args[2], &after) && whole;
    if (!whole) printTo(stderr, N("some entries could not be read; the difference leaves them out\n"));

    DiffCounts counts;
    size_t a = 0, b = 0;
    while (a < before.size() || b < after.size()) {
        if (b == after.size() || (a < before.size() && before[a].path < after[b].path)) {
            ++counts.deleted;
            reportEntry('D', before[a++], json);
            continue;
        }
        if (a == before.size() || after[b].path < before[a].path) {
            ++counts.added;
            counts.bytesAdded += after[b].size;
            reportEntry('A', after[b++], json);
            continue;
        }
        const TreeEntry& old = before[a++];
        const TreeEntry& now = after[b++];
        if (old.kind != now.kind) {
            ++counts.kindChanged;
            counts.bytesAdded += now.size;
            reportEntry('T', now, json);
        } else if (now.kind != KIND_FOLDER && !sameIdentity(old.identity, now.identity)) {
            ++counts.changed;
            counts.bytesAdded += now.size;
            reportEntry('M', now, json);
        }
    }
    if (json) {
        writeJsonLine("{\"summary\":{\"from\":" + jsonString(NString(args[1])) + ",\"to\":" +
                      jsonString(NString(args[2])) + ",\"added\":" + std::to_string(counts.added) +
                      ",\"deleted\":" + std::to_string(counts.deleted) + ",\"changed\":" +
                      std::to_string(counts.changed) + ",\"kind_changed\":" + std::to_string(counts.kindChanged) +
                      ",\"bytes_added\":" + std::to_string(counts.bytesAdded) +
                      ",\"complete\":" + (whole ? "true" : "false") + "}}");
    } else {
        printTo(stdout, N("%lld added, %lld deleted, %lld changed, %lld changed kind, %llu bytes added\n"),
                static_cast<long long>(counts.added), static_cast<long long>(counts.deleted),
                static_cast<long long>(counts.changed), static_cast<long long>(counts.kindChanged),
                static_cast<unsigned long long>(counts.bytesAdded));
    }
    return whole ? 0 : 1;
}
