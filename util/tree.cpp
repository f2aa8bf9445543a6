#include "util/tree.h"

#include <algorithm>

const char* kindName(EntryKind kind)
{
    switch (kind) {
    case KIND_FILE: return "file";
    case KIND_LINK: return "link";
    case KIND_FOLDER: return "folder";
    case KIND_SPECIAL: return "special";
    }
    return "file";
}

EntryKind kindOf(const FileData& data)
{
    // A junction or link to a folder is the link itself, never followed.
    if (data.isSymbolicLink || (data.attributes & ATTR_REPARSE_POINT)) return KIND_LINK;
    if (data.attributes & ATTR_DIRECTORY) return KIND_FOLDER;
    if (data.isSpecialFile) return KIND_SPECIAL;
    return KIND_FILE;
}

DirHandle* openSnapshot(const NChar* root, const NString& name, NString* full)
{
    DirHandle* rootDir = platOpenDir(nullptr, root, root, DIR_FOLLOW);
    if (rootDir == nullptr) return nullptr;
    *full = NString(root) + name + PATH_SEP_TEXT;
    DirHandle* snapshot = platOpenDir(rootDir, name.c_str(), full->c_str(), 0);
    platCloseDir(rootDir);
    return snapshot;
}

DirHandle* openBelow(DirHandle* base, const NString& basePath, const NString& relative)
{
    DirHandle* current = base;
    NString path = basePath;
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = relative.find(PATH_SEP, start);
        if (end == NString::npos) end = relative.size();
        NString name = relative.substr(start, end - start);
        path += name + PATH_SEP_TEXT;
        DirHandle* next = platOpenDir(current, name.c_str(), path.c_str(), 0);
        if (current != base) platCloseDir(current);
        if (next == nullptr) return nullptr;
        current = next;
        start = end + 1;
    }
    return current;
}

static bool isDotName(const NChar* name)
{
    return name[0] == N('.') && (name[1] == 0 || (name[1] == N('.') && name[2] == 0));
}

bool collectSnapshot(const NChar* root, const NString& name, std::vector<TreeEntry>* entries)
{
    NString snapshotPath;
    DirHandle* snapshot = openSnapshot(root, name, &snapshotPath);
    if (snapshot == nullptr) return false;
    bool whole = true;
    std::vector<NString> pending(1, NString());
    while (!pending.empty()) {
        NString relative = pending.back();
        pending.pop_back();
        DirHandle* dir = relative.empty() ? snapshot : openBelow(snapshot, snapshotPath, relative);
        if (dir == nullptr) {
            whole = false;
            continue;
        }
        NString dirPath = snapshotPath + relative + (relative.empty() ? NString() : NString(PATH_SEP_TEXT));
        FindEntry found;
        FindHandle* find = platFindFirstIn(dir, dirPath.c_str(), &found);
        if (find == nullptr) whole = false;
        if (find != nullptr) {
            do {
                if (isDotName(found.name)) continue;
                TreeEntry entry;
                NString entryPath = dirPath + found.name;
                FileData data;
                if (!platGetIdentityAt(dir, found.name, entryPath.c_str(), &data, &entry.identity)) {
                    whole = false;
                    continue;
                }
                entry.path = relative.empty() ? NString(found.name) : relative + PATH_SEP_TEXT + found.name;
                entry.kind = kindOf(data);
                entry.size = entry.kind == KIND_FILE ? data.size : 0;
                entry.lastWrite = data.lastWriteTime.seconds;
                entry.data = data;
                if (entry.kind == KIND_FOLDER) pending.push_back(entry.path);
                entries->push_back(entry);
            } while (platFindNext(find, &found));
            if (!platFindClose(find)) whole = false;
        }
        if (dir != snapshot) platCloseDir(dir);
    }
    platCloseDir(snapshot);
    std::sort(entries->begin(), entries->end(),
              [](const TreeEntry& a, const TreeEntry& b) { return a.path < b.path; });
    return whole;
}
