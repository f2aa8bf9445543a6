// linksnap-util verify: reads every distinct file of the snapshots once and
// compares its content with the checksum recorded when it was copied; with
// --record gives a checksum to files that have none; with --source compares
// the newest complete snapshot with the source byte for byte. It writes in
// the root (records, bad marks) only under the root's lock.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "report/output.h"
#include "root/checksums.h"
#include "util/tree.h"
#include "util/util.h"

namespace {

const size_t READ_BYTES = 1 << 20;

// One file of the backup disk and every name it has in the snapshots.
struct DistinctFile {
    ChecksumKey key;
    NString snapshot; // where it is read: its first name
    NString relative;
    std::vector<NString> paths; // "snapshot/relative", each name
};

struct Totals {
    long long checked = 0;
    unsigned long long bytes = 0;
    long long mismatches = 0;
    long long withoutRecord = 0;
    long long unreadable = 0;
    long long recorded = 0;
};

// The folder of the file last read stays open for the next, which is
// mostly its neighbour in the sorted list.
struct FolderCache {
    NString snapshot;
    NString folder; // relative, no separator at either end
    NString snapshotPath;
    DirHandle* snapshotDir = nullptr;
    DirHandle* dir = nullptr;

    void close()
    {
        if (dir != nullptr && dir != snapshotDir) platCloseDir(dir);
        if (snapshotDir != nullptr) platCloseDir(snapshotDir);
        dir = snapshotDir = nullptr;
        snapshot.clear();
        folder.clear();
    }

    // The open folder of relative's parent; name gets the last name.
    DirHandle* open(const NChar* root, const NString& snap, const NString& relative, NString* name)
    {
        size_t cut = relative.rfind(PATH_SEP);
        NString parent = cut == NString::npos ? NString() : relative.substr(0, cut);
        *name = cut == NString::npos ? relative : relative.substr(cut + 1);
        if (snapshotDir != nullptr && snap == snapshot && parent == folder) return dir;
        if (snap != snapshot || snapshotDir == nullptr) {
            close();
            snapshotDir = openSnapshot(root, snap, &snapshotPath);
            if (snapshotDir == nullptr) return nullptr;
            snapshot = snap;
        } else if (dir != snapshotDir && dir != nullptr) {
            platCloseDir(dir);
        }
        folder = parent;
        dir = parent.empty() ? snapshotDir : openBelow(snapshotDir, snapshotPath, parent);
        return dir;
    }

    ~FolderCache() { close(); }
};

// Progress on standard error, only where a person watches it.
struct Progress {
    bool shown = platIsTerminal(stderr);
    size_t total = 0;

    void step(size_t done)
    {
        if (shown && (done % 64 == 0 || done == total))
            printTo(stderr, N("\r%llu of %llu files"), static_cast<unsigned long long>(done),
                    static_cast<unsigned long long>(total));
    }
    void end()
    {
        if (shown && total > 0) printTo(stderr, N("\r%40s\r"), N(""));
    }
};

void printReason()
{
    NChar reason[512];
    platFailureText(reason, 512);
    if (reason[0] != 0) printTo(stderr, N("    %s\n"), reason);
}

// Hashes the content of file into hash; false when it cannot be read
// whole. The key is taken again from the file that is read.
bool hashFile(const NChar* root, FolderCache* folders, const DistinctFile& file, ContentHasher* hasher,
              unsigned char* buffer, Totals* totals, ChecksumKey* key)
{
    NString name;
    DirHandle* dir = folders->open(root, file.snapshot, file.relative, &name);
    if (dir == nullptr) return false;
    NString path = NString(root) + file.snapshot + PATH_SEP_TEXT + file.relative;
    FileHandle* handle = nullptr;
    FileData data;
    if (platOpenReadAt(dir, name.c_str(), path.c_str(), &handle, &data) != OPEN_OK) return false;
    resetHasher(hasher);
    uint64_t total = 0;
    bool whole = true;
    for (;;) {
        int64_t got = platRead(handle, buffer, static_cast<int64_t>(READ_BYTES));
        if (got < 0) {
            whole = false;
            break;
        }
        if (got == 0) break;
        updateHasher(hasher, buffer, static_cast<size_t>(got));
        total += static_cast<uint64_t>(got);
    }
    platClose(handle);
    totals->bytes += total;
    FileIdentity identity = {0, file.key.index};
    *key = checksumKeyOf(identity, data);
    return whole && total == data.size;
}

// The distinct regular files of the named snapshots, sorted by where they
// are read. False when some folder could not be read.
bool collectFiles(const NChar* root, const std::vector<NString>& names, std::vector<DistinctFile>* files)
{
    bool whole = true;
    std::unordered_map<ChecksumKey, size_t, ChecksumKeyHash> seen;
    for (const NString& name : names) {
        std::vector<TreeEntry> entries;
        if (!collectSnapshot(root, name, &entries)) {
            printTo(stderr, N("some folders of %s could not be read\n"), name.c_str());
            whole = false;
        }
        for (const TreeEntry& entry : entries) {
            if (entry.kind != KIND_FILE) continue;
            ChecksumKey key = checksumKeyOf(entry.identity, entry.data);
            NString shown = name + PATH_SEP_TEXT + entry.path;
            auto found = seen.find(key);
            if (found != seen.end()) {
                (*files)[found->second].paths.push_back(shown);
                continue;
            }
            seen.emplace(key, files->size());
            files->push_back(DistinctFile{key, name, entry.path, std::vector<NString>(1, shown)});
        }
    }
    return whole;
}

// Appends records under the root's lock; false, said, when the lock or
// the file cannot be had.
bool writeRecords(const NChar* root, const std::vector<ChecksumRecord>& records)
{
    if (records.empty()) return true;
    NChar lockPath[PATH_CHARS];
    formatText(lockPath, PATH_CHARS, N("%s_lock"), root);
    LockHandle* lock = nullptr;
    LockResult locked = platLockFileWaiting(lockPath, &lock, 2000);
    if (locked != LOCK_TAKEN) {
        printTo(stderr, N("cannot lock backup root %s: nothing recorded\n"), root);
        return false;
    }
    bool written = appendChecksums(root, records);
    if (!written) {
        printTo(stderr, N("cannot write %s_checksums\n"), root);
        printReason();
    }
    platUnlockFile(lock);
    return written;
}

void printMismatch(const DistinctFile& file)
{
    printTo(stdout, N("mismatch, %llu bytes:\n"), static_cast<unsigned long long>(file.key.size));
    for (const NString& path : file.paths) printTo(stdout, N("    %s\n"), path.c_str());
}

int verifySnapshots(const NChar* root, const std::vector<NString>& names, bool record)
{
    std::vector<DistinctFile> files;
    bool whole = collectFiles(root, names, &files);
    ChecksumTable table;
    if (readChecksumTable(root, &table) == CHECKSUMS_UNREADABLE) {
        printTo(stderr, N("cannot read %s_checksums\n"), root);
        printReason();
        return 2;
    }
    std::sort(files.begin(), files.end(), [](const DistinctFile& a, const DistinctFile& b) {
        return a.snapshot != b.snapshot ? a.snapshot < b.snapshot : a.relative < b.relative;
    });
    ContentHasher* hasher = createHasher();
    unsigned char* buffer = static_cast<unsigned char*>(malloc(READ_BYTES));
    if (hasher == nullptr || buffer == nullptr) {
        freeHasher(hasher);
        free(buffer);
        printTo(stderr, N("out of memory\n"));
        return 2;
    }
    Totals totals;
    std::vector<ChecksumRecord> toWrite;
    FolderCache folders;
    Progress progress;
    progress.total = files.size();
    size_t done = 0;
    for (const DistinctFile& file : files) {
        progress.step(++done);
        auto found = table.find(file.key);
        bool known = found != table.end();
        if (!known) ++totals.withoutRecord;
        // Without --record, a file without a record has nothing to be
        // compared with; with it, a file that has one is left alone.
        if (known == record) continue;
        ChecksumKey key;
        bool read = hashFile(root, &folders, file, hasher, buffer, &totals, &key);
        if (!read || !(key == file.key)) {
            // Gone or changed since the listing, or a read error.
            progress.end();
            printTo(stderr, N("unreadable: %s%s\n"), root, file.paths.front().c_str());
            if (!read) printReason();
            ++totals.unreadable;
            continue;
        }
        ++totals.checked;
        ChecksumRecord now;
        now.key = file.key;
        now.flags = 0;
        finishHasher(hasher, now.hash);
        if (record) {
            toWrite.push_back(now);
            ++totals.recorded;
            continue;
        }
        if (memcmp(now.hash, found->second.hash, 16) == 0) continue;
        progress.end();
        printMismatch(file);
        ++totals.mismatches;
        if (!(found->second.flags & CHECKSUM_BAD)) {
            // The mark keeps the recorded hash: the content it should have.
            ChecksumRecord mark = found->second;
            mark.flags |= CHECKSUM_BAD;
            toWrite.push_back(mark);
        }
    }
    progress.end();
    freeHasher(hasher);
    free(buffer);
    folders.close();
    bool written = writeRecords(root, toWrite);
    if (!written) totals.recorded = 0;

    printTo(stdout, N("%lld files checked, %llu bytes read, %lld mismatches, %lld without record"),
            totals.checked, totals.bytes, totals.mismatches, totals.withoutRecord - totals.recorded);
    if (totals.unreadable > 0) printTo(stdout, N(", %lld unreadable"), totals.unreadable);
    if (record) printTo(stdout, N(", %lld recorded"), totals.recorded);
    printTo(stdout, N("\n"));
    if (totals.mismatches > 0 || totals.unreadable > 0 || !whole) return 2;
    return written ? 0 : 1;
}

// Reads two open files to their ends; 0 equal, 1 different, -1 when one
// cannot be read.
int compareContent(FileHandle* a, FileHandle* b, unsigned char* bufferA, unsigned char* bufferB, Totals* totals)
{
    for (;;) {
        int64_t gotA = platRead(a, bufferA, static_cast<int64_t>(READ_BYTES));
        if (gotA < 0) return -1;
        // Fill the same count from b (a read may return less than asked).
        int64_t gotB = 0;
        while (gotB < gotA) {
            int64_t got = platRead(b, bufferB + gotB, gotA - gotB);
            if (got < 0) return -1;
            if (got == 0) break;
            gotB += got;
        }
        totals->bytes += static_cast<uint64_t>(gotA + gotB);
        if (gotA != gotB || memcmp(bufferA, bufferB, static_cast<size_t>(gotA)) != 0) return 1;
        if (gotA == 0) return 0;
    }
}

// The newest complete snapshot against the source now, for the files the
// unchanged test passes: content that changed behind an equal size and time.
int verifySource(const NChar* root)
{
    NString source, latest;
    if (!readRootState(root, &source, &latest)) return 1;
    NString newest;
    for (const SnapshotInfo& info : readSnapshots(root))
        if (info.state == SNAPSHOT_COMPLETE) newest = info.name;
    if (newest.empty()) {
        printTo(stderr, N("no complete snapshot in %s\n"), root);
        return 1;
    }
    std::vector<TreeEntry> entries;
    bool whole = collectSnapshot(root, newest, &entries);
    if (!whole) printTo(stderr, N("some folders of %s could not be read\n"), newest.c_str());
    DirHandle* sourceDir = platOpenDir(nullptr, source.c_str(), source.c_str(), DIR_FOLLOW | DIR_SOURCE);
    if (sourceDir == nullptr) {
        printTo(stderr, N("cannot open the source %s\n"), source.c_str());
        printReason();
        return 2;
    }
    unsigned char* bufferA = static_cast<unsigned char*>(malloc(READ_BYTES));
    unsigned char* bufferB = static_cast<unsigned char*>(malloc(READ_BYTES));
    if (bufferA == nullptr || bufferB == nullptr) {
        free(bufferA);
        free(bufferB);
        platCloseDir(sourceDir);
        printTo(stderr, N("out of memory\n"));
        return 2;
    }
    Totals totals;
    long long differ = 0;
    FolderCache folders;
    Progress progress;
    progress.total = entries.size();
    size_t done = 0;
    NString openFolder;
    DirHandle* sourceFolder = nullptr;
    bool sourceFolderOpen = false;
    for (const TreeEntry& entry : entries) {
        progress.step(++done);
        if (entry.kind != KIND_FILE) continue;
        size_t cut = entry.path.rfind(PATH_SEP);
        NString parent = cut == NString::npos ? NString() : entry.path.substr(0, cut);
        NString name = cut == NString::npos ? entry.path : entry.path.substr(cut + 1);
        if (!sourceFolderOpen || parent != openFolder) {
            if (sourceFolder != nullptr && sourceFolder != sourceDir) platCloseDir(sourceFolder);
            sourceFolder = parent.empty() ? sourceDir : openBelow(sourceDir, source, parent);
            openFolder = parent;
            sourceFolderOpen = true;
        }
        if (sourceFolder == nullptr) continue; // gone from the source: nothing to compare
        NString sourcePath = source + entry.path;
        FileData now;
        if (!platGetFileDataAt(sourceFolder, name.c_str(), sourcePath.c_str(), &now) || now.isSymbolicLink ||
            now.isSpecialFile || (now.attributes & ATTR_DIRECTORY))
            continue;
        // Only what a run would link: the same size and last-write time.
        if (now.size != entry.data.size || !sameFileTime(now.lastWriteTime, entry.data.lastWriteTime)) continue;
        NString snapshotName;
        DirHandle* dir = folders.open(root, newest, entry.path, &snapshotName);
        NString copyPath = NString(root) + newest + PATH_SEP_TEXT + entry.path;
        FileHandle* copy = nullptr;
        FileHandle* original = nullptr;
        FileData ignored;
        bool opened = dir != nullptr &&
                      platOpenReadAt(dir, snapshotName.c_str(), copyPath.c_str(), &copy, &ignored) == OPEN_OK &&
                      platOpenReadAt(sourceFolder, name.c_str(), sourcePath.c_str(), &original, &ignored) == OPEN_OK;
        int result = opened ? compareContent(copy, original, bufferA, bufferB, &totals) : -1;
        if (copy != nullptr) platClose(copy);
        if (original != nullptr) platClose(original);
        progress.end();
        if (result < 0) {
            printTo(stderr, N("unreadable: %s\n"), sourcePath.c_str());
            printReason();
            ++totals.unreadable;
            continue;
        }
        ++totals.checked;
        if (result == 1) {
            printTo(stdout, N("differs: %s\n"), sourcePath.c_str());
            ++differ;
        }
    }
    progress.end();
    if (sourceFolder != nullptr && sourceFolder != sourceDir) platCloseDir(sourceFolder);
    platCloseDir(sourceDir);
    free(bufferA);
    free(bufferB);
    printTo(stdout, N("%lld files compared with %s, %llu bytes read, %lld differ"), totals.checked, newest.c_str(),
            totals.bytes, differ);
    if (totals.unreadable > 0) printTo(stdout, N(", %lld unreadable"), totals.unreadable);
    printTo(stdout, N("\n"));
    return differ > 0 || totals.unreadable > 0 || !whole ? 2 : 0;
}

void printVerifyUsage()
{
    printTo(stderr, N("usage: linksnap-util verify <backupdir> [--record | --source] [<snapshot>...]\n"));
}

} // namespace

int verifyCommand(int count, NChar** args)
{
    bool record = false;
    bool source = false;
    std::vector<NChar*> positional;
    for (int i = 0; i < count; ++i) {
        if (compareText(args[i], N("--record")) == 0)
            record = true;
        else if (compareText(args[i], N("--source")) == 0)
            source = true;
        else if (args[i][0] == N('-') && args[i][1] == N('-')) {
            printVerifyUsage();
            return 1;
        } else
            positional.push_back(args[i]);
    }
    if (positional.empty() || (record && source) || (source && positional.size() != 1)) {
        printVerifyUsage();
        return 1;
    }
    NChar root[PATH_CHARS];
    if (!openBackupRoot(positional[0], root, false)) return 1;
    if (source) return verifySource(root);
    std::vector<NString> all = listSnapshotNames(root);
    std::vector<NString> names;
    for (size_t i = 1; i < positional.size(); ++i) {
        NString name(positional[i]);
        if (std::find(all.begin(), all.end(), name) == all.end()) {
            printTo(stderr, N("no snapshot %s in %s\n"), positional[i], root);
            return 1;
        }
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    if (names.empty()) names = all;
    return verifySnapshots(root, names, record);
}
