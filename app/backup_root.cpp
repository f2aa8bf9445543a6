#include "app/backup_root.h"

#include <cstdlib>

#include "app/app_state.h"
#include "cmdline/cmdline_state.h"
#include "engine/filter_lists.h"
#include "engine/walker.h"
#include "platform/platform.h"
#include "report/output.h"
#include "root/root_lock.h"
#include "root/root_state.h"
#include "root/snapshots.h"
#include "root/state_file.h"

// Room the paths built from the root need behind it: the snapshot folder
// "yyyy_mm_dd" and its separator is the longest ("log.txt", "_dir.new").
const size_t ROOT_SUFFIX_CHARS = 11;


NChar* storePathSlot(const NChar* path)
{
    if (appState.pathSlots.counter >= 2) return nullptr;
    NChar* slot = appState.pathSlots.slots[appState.pathSlots.counter++];
    if (!copyText(slot, PATH_CHARS, path)) return nullptr;
    if (!endsWithSeparator(slot) && !appendText(slot, PATH_CHARS, PATH_SEP_TEXT)) {
        slot[0] = 0;
        return nullptr;
    }
    return slot;
}

// ---- paths of the run ----------------------------------------------------------

static bool holdsLineBreak(const NChar* text)
{
    for (; *text != 0; ++text)
        if (*text == N('\n') || *text == N('\r')) return true;
    return false;
}

// The absolute directory path of path in full (PATH_CHARS): a relative
// path would name another folder when a later run starts elsewhere. False,
// with the message printed, when it cannot be had or stored.
static bool absoluteDirectory(const NChar* path, NChar* full)
{
    FullPathResult result = platFullPath(path, full, PATH_CHARS);
    if (result == FULLPATH_FAILED) {
        printTo(stderr, N("no absolute path for: %s\n"), path);
        return false;
    }
    // The state file holds one path a line: a path with a line break in it
    // would come back as another path, or as a filter, in the next run.
    if (result == FULLPATH_OK && holdsLineBreak(full)) {
        printTo(stderr, N("path holds a line break: %s\n"), full);
        return false;
    }
    if (result != FULLPATH_OK ||
        (!endsWithSeparator(full) && !appendText(full, PATH_CHARS, PATH_SEP_TEXT))) {
        printTo(stderr, N("path too long: %s\n"), path);
        return false;
    }
    return true;
}

static const NChar* storeArgument(const NChar* argument)
{
    NChar full[PATH_CHARS];
    if (!absoluteDirectory(argument, full)) return nullptr;
    const NChar* slot = storePathSlot(full);
    if (slot == nullptr) printTo(stderr, N("path too long: %s\n"), argument);
    return slot;
}

static bool isFolder(const NChar* path)
{
    uint32_t attributes = platGetAttributes(path);
    return attributes != INVALID_ATTRIBUTES && (attributes & ATTR_DIRECTORY);
}

// The reason line under a lock message, as under a per-file failure.
static void printLockReason()
{
    NChar reason[512];
    platFailureText(reason, 512);
    if (reason[0] != 0) printTo(stderr, N("    %s\n"), reason);
}

// The lock comes before anything else is read or written in the root; a
// dry run writes nothing and takes none. Only another run holding the root
// refuses this one: a lock file that cannot be had at all (no rights in
// the root) is reported and the run goes on unlocked, as the backup is
// worth more than the guard.
static bool lockRoot(const NChar* root)
{
    if (cmdlineState.runSettings.noExec) return true;
    NChar lockPath[PATH_CHARS];
    LockResult result = lockBackupRoot(root, lockPath);
    if (result == LOCK_TAKEN) return true;
    if (result == LOCK_BUSY) {
        printTo(stderr, N("backup root %s is in use by another run.\n"), root);
        printLockReason();
        return false;
    }
    if (result == LOCK_NOT_REGULAR) {
        printTo(stderr, N("%s is not a regular file: remove it.\n"), lockPath);
    } else {
        printTo(stderr, N("cannot lock %s\n"), lockPath);
        printLockReason();
    }
    return true;
}

void adviseOnRootAccess(const NChar* root)
{
    if (platOthersMayEnter(root))
        printTo(stderr, N("backup root %s may be entered by other users: chmod 700 %s\n"), root, root);
}

// Once an existing root is locked: its own files are kept from other users
// (they hold paths and names of every user's files).
static void guardRoot(const NChar* root)
{
    if (cmdlineState.runSettings.noExec) return;
    static const NChar* const OWN_FILES[] = {N("_dir"), N("log.txt"), N("_lock")};
    for (const NChar* name : OWN_FILES) {
        NChar path[PATH_CHARS];
        if (formatText(path, PATH_CHARS, N("%s%s"), root, name)) platKeepPrivate(path);
    }
}

// A source stored relative (by an earlier version) is taken from the
// working folder, as that version did, and is stored absolute from now on.
static bool makeStoredSourceAbsolute()
{
    if (rootState.storedSourcePath[0] == 0) return true;
    NChar full[PATH_CHARS];
    if (!absoluteDirectory(rootState.storedSourcePath, full)) return false;
    return copyText(rootState.storedSourcePath, PATH_CHARS, full);
}

// An earlier version took the first character of a root given relative as
// the one that '$' stands for ("bk/" wrote "$k/2022_05_28/"), which the root,
// now absolute, cannot give back. When the snapshot so read is no folder,
// the folder of the same name in the root is taken, provided its path ends
// with the stored text after the '$'.
static void findSnapshotOfRelativeRoot(const NChar* root)
{
    // The previous snapshot as the state file named it; set here to the one found.
    NChar* previous = rootState.previousSnapshotPath;
    size_t length = textLength(previous);
    if (length < 2 || previous[0] != root[0]) return;
    uint32_t attributes = platGetAttributes(previous);
    if (attributes != INVALID_ATTRIBUTES && (attributes & ATTR_DIRECTORY)) return;
    size_t name = length - 1;
    while (name > 0 && previous[name - 1] != PATH_SEP) --name;
    NChar candidate[PATH_CHARS];
    if (!formatText(candidate, PATH_CHARS, N("%s%s"), root, previous + name)) return;
    size_t candidateLength = textLength(candidate);
    if (candidateLength < length - 1 ||
        compareText(candidate + candidateLength - (length - 1), previous + 1) != 0)
        return;
    attributes = platGetAttributes(candidate);
    if (attributes != INVALID_ATTRIBUTES && (attributes & ATTR_DIRECTORY))
        copyText(previous, PATH_CHARS, candidate);
}

// A root copied whole to another place (cp -a, a new disk) keeps a state
// file that names the snapshot by its old full path: linking there would
// tie the new root to the old one, or fail once the old one is gone. A
// snapshot named outside the root gives way to the folder of its name
// inside the root, where there is one.
static void findSnapshotInsideRoot(const NChar* root)
{
    // The previous snapshot as the state file named it; set here to the one found.
    NChar* previous = rootState.previousSnapshotPath;
    size_t rootLength = textLength(root);
    size_t length = textLength(previous);
    if (length == 0 || (length > rootLength && compareTextN(previous, root, rootLength) == 0))
        return;
    size_t end = length;
    while (end > 0 && previous[end - 1] == PATH_SEP) --end;
    size_t name = end;
    while (name > 0 && previous[name - 1] != PATH_SEP) --name;
    if (name == end || end - name >= NAME_CHARS) return;
    NChar lastName[NAME_CHARS];
    memcpy(lastName, previous + name, (end - name) * sizeof(NChar));
    lastName[end - name] = 0;
    NChar candidate[PATH_CHARS];
    if (!formatText(candidate, PATH_CHARS, N("%s%s%s"), root, lastName, PATH_SEP_TEXT)) return;
    uint32_t attributes = platGetAttributes(candidate);
    if (attributes != INVALID_ATTRIBUTES && (attributes & ATTR_DIRECTORY) && !(attributes & ATTR_REPARSE_POINT))
        copyText(previous, PATH_CHARS, candidate);
}

bool resolveRunPaths(int count, NChar** args, const NChar** sourcePath, const NChar** backupRoot)
{
    if (count == 1) {
        const NChar* root = storeArgument(args[0]);
        if (root == nullptr || !rootFits(root, ROOT_SUFFIX_CHARS)) return false;
        // A folder without a state file is no backup root, and gets no lock
        // file: the run ends at its source test, as the source is unknown.
        if (hasStateFile(root)) {
            if (!lockRoot(root)) return false;
            guardRoot(root);
        }
        const NChar* stored = readStateFile(root);
        if (stored == nullptr || !makeStoredSourceAbsolute()) return false;
        if (stored[0] == 0) {
            // No state file (a first run stopped before its end): the
            // source is unknown.
            NChar statePath[PATH_CHARS];
            stateFilePath(root, statePath);
            printTo(stderr, N("no state file %s: give the source folder as well.\n"), statePath);
            return false;
        }
        findSnapshotOfRelativeRoot(root);
        findSnapshotInsideRoot(root);
        *sourcePath = stored;
        *backupRoot = root;
        return true;
    }
    const NChar* source = storeArgument(args[0]);
    if (source == nullptr) return false;
    const NChar* root = storeArgument(args[1]);
    if (root == nullptr || !rootFits(root, ROOT_SUFFIX_CHARS)) return false;
    if (isFolder(root)) {
        if (!lockRoot(root)) return false;
        guardRoot(root);
        const NChar* stored = readStateFile(root);
        if (stored == nullptr || !makeStoredSourceAbsolute()) return false;
        findSnapshotOfRelativeRoot(root);
        findSnapshotInsideRoot(root);
        if (stored[0] != 0 && compareText(stored, source) != 0) {
            printTo(stderr, N("different sources, expected %s\n"), stored);
            return false;
        }
    } else {
        if (!cmdlineState.runSettings.noExec && makeDirectoryPath(root) != 0) {
            printTo(stderr, N("cannot create: %s\n"), root);
            return false;
        }
        if (!lockRoot(root)) return false;
        findLatestSnapshot(root, N(""), SnapshotFilter(), rootState.previousSnapshotPath);
    }
    *sourcePath = source;
    *backupRoot = root;
    return true;
}

// ---- creating the root -----------------------------------------------------------

// ownerOnly: the folder itself (the backup root) is made open to its
// owner alone; folders above it are made as any would be.
static MakeDirResult makeDirectoryTree(const NChar* path, bool ownerOnly)
{
    MakeDirResult made = platMakeDir(path, ownerOnly);
    if (made != MAKEDIR_FAILED) return made;
    // Cut at the last separator that is not the final character: the parent.
    size_t length = textLength(path);
    size_t end = length > 0 ? length - 1 : 0;
    size_t cut = end;
    while (cut > 0 && path[cut - 1] != PATH_SEP) --cut;
    if (cut <= 1) return MAKEDIR_FAILED; // no parent left to create
    NChar* parent = static_cast<NChar*>(malloc(cut * sizeof(NChar)));
    if (parent == nullptr) return MAKEDIR_FAILED;
    memcpy(parent, path, (cut - 1) * sizeof(NChar));
    parent[cut - 1] = 0;
    MakeDirResult parentMade = makeDirectoryTree(parent, false);
    free(parent);
    if (parentMade == MAKEDIR_FAILED) return MAKEDIR_FAILED;
    return platMakeDir(path, ownerOnly);
}

int makeDirectoryPath(const NChar* path)
{
    // A root made here is its owner's alone: owners are kept in snapshots,
    // and a user who may enter the root may write her files in them all.
    return makeDirectoryTree(path, true) == MAKEDIR_OK ? 0 : -1;
}
