// linksnap-util history: the versions of one file or link across the
// snapshots, told apart by file identity alone.
#include <string>

#include "report/output.h"
#include "util/tree.h"

// The path of target relative to the source folder source (a directory
// path); false when target is not inside it. Windows compares without
// case, as its file system does.
static bool relativeToSource(const NString& source, const NString& target, NString* relative)
{
    if (target.size() <= source.size()) return false;
    for (size_t i = 0; i < source.size(); ++i) {
        unsigned long x = static_cast<unsigned long>(source[i]);
        unsigned long y = static_cast<unsigned long>(target[i]);
        if (PATH_SEP == N('\\')) {
            if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
            if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
        }
        if (x != y) return false;
    }
    *relative = target.substr(source.size());
    while (!relative->empty() && relative->back() == PATH_SEP) relative->pop_back();
    return !relative->empty();
}

struct Version {
    bool present;
    NString first, last;
    int snapshots;
    TreeEntry entry;
};

// The entry at relative in the snapshot name, looked up one folder at a
// time, never through a link; false when it is not there.
static bool findEntry(const NChar* root, const NString& name, const NString& relative, TreeEntry* entry)
{
    NString snapshotPath;
    DirHandle* snapshot = openSnapshot(root, name, &snapshotPath);
    if (snapshot == nullptr) return false;
    size_t cut = relative.rfind(PATH_SEP);
    NString folder = cut == NString::npos ? NString() : relative.substr(0, cut);
    NString leaf = cut == NString::npos ? relative : relative.substr(cut + 1);
    DirHandle* dir = folder.empty() ? snapshot : openBelow(snapshot, snapshotPath, folder);
    bool found = false;
    if (dir != nullptr) {
        NString path = snapshotPath + (folder.empty() ? NString() : folder + PATH_SEP_TEXT) + leaf;
        FileData data;
        found = platGetIdentityAt(dir, leaf.c_str(), path.c_str(), &data, &entry->identity);
        if (found) {
            entry->path = relative;
            entry->kind = kindOf(data);
            entry->size = entry->kind == KIND_FILE ? data.size : 0;
            entry->lastWrite = data.lastWriteTime.seconds;
        }
        if (dir != snapshot) platCloseDir(dir);
    }
    platCloseDir(snapshot);
    return found;
}

int historyCommand(int count, NChar** args)
{
    bool json = takeJsonOption(&count, args);
    if (count != 2) {
        printTo(stderr, N("usage: linksnap-util history [--json] <backupdir> <path>\n"));
        return 1;
    }
    NChar root[PATH_CHARS];
    if (!openBackupRoot(args[0], root, false)) return 1;
    NString source, latest;
    if (!readRootState(root, &source, &latest)) {
        printTo(stderr, N("no source recorded in %s_dir\n"), root);
        return 1;
    }
    NChar target[PATH_CHARS];
    NString relative;
    if (platFullPath(args[1], target, PATH_CHARS) != FULLPATH_OK) {
        printTo(stderr, N("path too long: %s\n"), args[1]);
        return 1;
    }
    if (!relativeToSource(source, target, &relative)) {
        printTo(stderr, N("not inside the source %s: %s\n"), source.c_str(), target);
        return 1;
    }

    std::vector<Version> versions;
    for (const NString& name : listSnapshotNames(root)) {
        TreeEntry entry;
        bool present = findEntry(root, name, relative, &entry);
        Version* last = versions.empty() ? nullptr : &versions.back();
        bool same = last != nullptr && last->present == present &&
                    (!present || (last->entry.kind == entry.kind && sameIdentity(last->entry.identity, entry.identity)));
        if (same) {
            last->last = name;
            ++last->snapshots;
            continue;
        }
        Version version;
        version.present = present;
        version.first = version.last = name;
        version.snapshots = 1;
        if (present) version.entry = entry;
        versions.push_back(version);
    }

    if (json) {
        std::string out = "{\"path\":" + jsonString(relative) + ",\"versions\":[";
        for (size_t i = 0; i < versions.size(); ++i) {
            const Version& v = versions[i];
            if (i > 0) out += ",";
            out += "{\"first\":" + jsonString(v.first) + ",\"last\":" + jsonString(v.last) +
                   ",\"snapshots\":" + std::to_string(v.snapshots) + ",\"present\":" + (v.present ? "true" : "false");
            if (v.present)
                out += std::string(",\"kind\":\"") + kindName(v.entry.kind) + "\",\"size\":" +
                       std::to_string(v.entry.size) + ",\"modified\":" + jsonString(localTimeText(v.entry.lastWrite)) +
                       ",\"modified_utc\":\"" + utcTimeText(v.entry.lastWrite) + "\"";
            out += "}";
        }
        writeJsonLine(out + "]}");
        return 0;
    }
    if (versions.empty()) printTo(stdout, N("no snapshot in %s\n"), root);
    for (const Version& v : versions) {
        const NChar* unit = v.snapshots == 1 ? N("snapshot ") : N("snapshots");
        if (!v.present) {
            printTo(stdout, N("%s .. %s  %4d %s  absent\n"), v.first.c_str(), v.last.c_str(), v.snapshots, unit);
            continue;
        }
        NString kind;
        for (const char* c = kindName(v.entry.kind); *c != 0; ++c) kind.push_back(static_cast<NChar>(*c));
        printTo(stdout, N("%s .. %s  %4d %s  %s %llu bytes, modified %s\n"), v.first.c_str(), v.last.c_str(),
                v.snapshots, unit, kind.c_str(), static_cast<unsigned long long>(v.entry.size),
                localTimeText(v.entry.lastWrite).c_str());
    }
    return 0;
}
