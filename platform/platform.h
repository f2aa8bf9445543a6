// The one interface between linksnap and its operating system.
//
// Everything above this layer speaks in the program's own terms: paths of
// native characters that end with the platform separator, an attribute word
// with the Windows bits, file times, a hard link, an enumeration of one
// folder. platform/posix and platform/win32 each implement every function
// here; nothing outside platform/ includes a system header of either side.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/text.h"

// Attribute word bits, as the Windows file system defines them. The POSIX
// build maps its file types onto them (a FIFO, socket or device is a system
// file, a symbolic link is a reparse point); it has no hidden files.
const uint32_t ATTR_HIDDEN = 0x2;
const uint32_t ATTR_SYSTEM = 0x4;
const uint32_t ATTR_DIRECTORY = 0x10;
const uint32_t ATTR_REPARSE_POINT = 0x400;
const uint32_t INVALID_ATTRIBUTES = 0xFFFFFFFFu;

// A point in time of a file, exact to the file system's resolution:
// fraction counts nanoseconds on POSIX and 100-nanosecond ticks on Windows.
struct FileTime {
    int64_t seconds;
    int32_t fraction;
};

#ifdef _WIN32
const int32_t FILE_TIME_FRACTIONS = 10000000; // 100-nanosecond ticks a second
#else
const int32_t FILE_TIME_FRACTIONS = 1000000000; // nanoseconds a second
#endif

inline bool sameFileTime(const FileTime& a, const FileTime& b)
{
    return a.seconds == b.seconds && a.fraction == b.fraction;
}

// The standard attribute data of one file. permissions, owner and group are
// what the POSIX build carries to a copy besides the attribute word; the
// Windows build leaves them 0, and only the POSIX build stores symbolic
// links as links and knows special files.
struct FileData {
    uint32_t attributes;
    FileTime creationTime;
    FileTime lastAccessTime;
    FileTime lastWriteTime;
    uint64_t size;
    uint32_t permissions;
    uint32_t owner;
    uint32_t group;
    bool isSymbolicLink;
    bool isSpecialFile; // a FIFO, socket or device: never opened for reading
};

// Identity of a file or folder, independent of the path that names it.
struct FileIdentity {
    uint64_t volume;
    uint64_t index;
};

// ---- start-up --------------------------------------------------------------

// What the process needs before a run; false when the module handle of the
// program cannot be had (the caller prints the start-up failure line). On
// POSIX it also raises the process's limit on open descriptors to the most
// it may have (the hard limit), for the walk's folders and the copies.
bool platStartup();

// How many files and folders the process may hold open at once; the walk
// divides it among its threads.
long platOpenFileLimit();

// ---- paths -----------------------------------------------------------------

// True when path (a directory path) is the root of a drive or of the file
// system, where hidden and system files are left out of a snapshot.
bool platIsDriveRoot(const NChar* path);

// ---- file system -----------------------------------------------------------

// The attribute word of path, without following a final symbolic link;
// INVALID_ATTRIBUTES when it cannot be read.
uint32_t platGetAttributes(const NChar* path);

// The standard attribute data of path, without following a final symbolic
// link. False when it cannot be read.
bool platGetFileData(const NChar* path, FileData* data);

// The identity of an existing file or folder (following symbolic links, as a
// path given by the user may be one). False when it cannot be read.
bool platGetIdentity(const NChar* path, FileIdentity* identity);

inline bool sameIdentity(const FileIdentity& a, const FileIdentity& b)
{
    return a.volume == b.volume && a.index == b.index;
}

// Gives path the creation, last-access and last-write times of data, without
// following a final symbolic link. False on failure.
bool platSetTimes(const NChar* path, const FileData* data);

enum MakeDirResult { MAKEDIR_OK = 0, MAKEDIR_EXISTS = 1, MAKEDIR_FAILED = 2 };

// Creates one folder. MAKEDIR_EXISTS when something of that name exists.
// ownerOnly: open to its owner alone until it gets its final access (a
// snapshot folder; on POSIX mode 0700), so that nothing in it is visible
// to others before it is whole, also after a crash.
MakeDirResult platMakeDir(const NChar* path, bool ownerOnly = false);

// CREATE_TOO_MANY_LINKS: the file to link has as many names as its file
// system allows (ext4 65,000, NTFS 1,023 under Windows, 8,189 through
// ntfs-3g). CREATE_UNSUPPORTED: the file system makes no hard links at all
// (FAT, exFAT, some network shares).
enum CreateResult {
    CREATE_OK = 0,
    CREATE_EXISTS = 1,
    CREATE_FAILED = 2,
    CREATE_TOO_MANY_LINKS = 3,
    CREATE_UNSUPPORTED = 4,
};

// Replaces target by source in one step: after the call target holds either
// its old content or the whole of source. False on failure; target is
// unchanged then.
bool platReplaceFile(const NChar* source, const NChar* target);

// Removes a file; used only for the program's own temporary files.
bool platRemoveFile(const NChar* path);

// ---- enumeration of one folder ---------------------------------------------

struct FindHandle;

struct FindEntry {
    const NChar* name;   // valid until the next platFindNext or platFindClose
    uint32_t attributes;
};

// Opens the enumeration of the folder dirPath (a directory path) and reads
// its first entry (platFindFirstIn lists an open folder). Null when the
// folder cannot be enumerated, or when it has no entry at all, which only a drive root can have: every other
// folder lists "." and ".." (the walker relies on this to report a folder
// it cannot list).
FindHandle* platFindFirst(const NChar* dirPath, FindEntry* entry);

// Reads the next entry; false when there is none, or when the listing
// failed (platFindClose tells which).
bool platFindNext(FindHandle* handle, FindEntry* entry);

// Ends the enumeration; false when it ended by a failure rather than at
// the end of the folder (a listing cut short is no complete listing).
bool platFindClose(FindHandle* handle);

// ---- file content for the copier -------------------------------------------

struct FileHandle;

// Reads up to size bytes; the count read, 0 at the end of the file, -1 on a
// read error.
int64_t platRead(FileHandle* handle, void* buffer, int64_t size);

// Writes size bytes; returns the count stored, less than size on failure.
int64_t platWrite(FileHandle* handle, const void* buffer, int64_t size);

enum ContentResult {
    CONTENT_OK = 0,
    CONTENT_READ_FAILED = 1,
    CONTENT_WRITE_FAILED = 2,
    CONTENT_NO_MEMORY = 3,
    CONTENT_UNSUPPORTED = 4, // the caller moves the content through its own buffer
};

// Moves the whole content of source into the new, empty destination: in
// the kernel where the system can (POSIX: copy_file_range, a reflink where
// the file system shares blocks), holes kept as holes, and through a
// bounded buffer of the layer's own where the kernel cannot. moved counts
// the bytes the copy holds, up to the first failure. CONTENT_UNSUPPORTED,
// with nothing done, where the layer leaves the content to the caller
// (Windows, which copies through the program's transfer buffer).
ContentResult platCopyContent(FileHandle* source, FileHandle* destination, uint64_t* moved);

// True where platCopyContent moves the content (the caller needs no buffer).
extern const bool platMovesContent;

// Reads up to size bytes at offset of a copy still open from
// platCreateWriteAt (to hash what it holds right after the platform wrote
// it); the count read, 0 at the end, -1 on failure. Only where
// platMovesContent: elsewhere the caller sees the content as it writes it.
int64_t platReadCopyAt(FileHandle* handle, void* buffer, int64_t size, uint64_t offset);

// True when the copy still open from platCreateWriteAt holds a hole (the
// platform kept the source's holes); false where it cannot tell.
bool platCopyHasHoles(FileHandle* handle);

// Closes the handle; false when the close reports an error (for a file
// written to, a delayed write failure).
bool platClose(FileHandle* handle);

// ---- working through open folders --------------------------------------------
//
// The walk opens each folder once and does everything in it relative to
// that open folder: on POSIX through its descriptor, so that a folder or
// link another user swaps in meanwhile is never followed and no path is
// looked up twice. Each call gets the entry's name within the folder and
// its full path (for the Windows build, which works by path, and for
// messages). A null folder stands for one that could not be opened or
// made: every call in it fails.

struct DirHandle;

enum DirOpen {
    DIR_FOLLOW = 1, // with no parent: the path may be a link to a folder (a path the user gave)
    DIR_SOURCE = 2, // a source folder: read without updating its access time where permitted
};

// Opens the folder name within parent, never through a symbolic link; with
// a null parent, the folder path itself. Null on failure (gone, no longer
// a folder, no rights).
DirHandle* platOpenDir(DirHandle* parent, const NChar* name, const NChar* path, int how);

void platCloseDir(DirHandle* dir);

// Opens the folder name within parent again, as platOpenDir does, and only
// when it is still the folder of identity (what platGetDirData gave while
// it was first open): a folder that another user swapped in meanwhile is
// closed again and refused. Null on failure (platFailureText tells why).
DirHandle* platReopenDir(DirHandle* parent, const NChar* name, const NChar* path, int how,
                         const FileIdentity* identity);

// Makes the folder name within parent, at first open to its owner alone,
// and opens it; *made is null unless MAKEDIR_OK.
MakeDirResult platMakeDirAt(DirHandle* parent, const NChar* name, const NChar* path,
                            DirHandle** made);

// The standard attribute data of an open folder, and its identity where
// identity is not null.
bool platGetDirData(DirHandle* dir, FileData* data, FileIdentity* identity);

// Gives an open folder the access (POSIX: permissions, and owner and group
// where the process may set them) and the times of data.
void platSetDirAccess(DirHandle* dir, const FileData* data);
bool platSetDirTimes(DirHandle* dir, const FileData* data);

// What the file system of an open folder keeps of what the program gives
// a copy: permission bits, and owner and group (only asked when the
// process may give files away). Found by trying them on a folder made for
// the purpose inside it and removed again. The Windows build carries
// neither.
void platProbeAccess(DirHandle* dir, bool* keepsModes, bool* keepsOwners);

// Lists an open folder; it can be listed once.
FindHandle* platFindFirstIn(DirHandle* dir, const NChar* dirPath, FindEntry* entry);

// The standard attribute data of name within dir, without following a
// symbolic link. False when it cannot be read.
bool platGetFileDataAt(DirHandle* dir, const NChar* name, const NChar* path, FileData* data);

enum OpenResult { OPEN_OK = 0, OPEN_FAILED = 1, OPEN_NOT_REGULAR = 2 };

// Opens the regular file name within dir for reading, never through a
// symbolic link; data gets the file's attribute data as read from the open
// file. A FIFO, socket or device is never read from (it could block
// forever): OPEN_NOT_REGULAR.
OpenResult platOpenReadAt(DirHandle* dir, const NChar* name, const NChar* path,
                          FileHandle** handle, FileData* data);

// Creates name within dir for writing, readable by its owner alone until
// platCloseCopy. An existing entry of that name is left alone
// (CREATE_EXISTS) unless replace is set; then a file is replaced by a new
// one, never written through (it may be a link into an older snapshot).
CreateResult platCreateWriteAt(DirHandle* dir, const NChar* name, const NChar* path, bool replace,
                               FileHandle** handle);

// What the backup disk holds of a whole copy once it has its times: its
// attribute data (times at the disk's precision) and identity, read from
// the copy itself. known is false when they could not be read.
struct StoredCopy {
    bool known;
    FileData data;
    FileIdentity identity;
};

// Closes a copy made by platCreateWriteAt; when data is not null (the
// content is whole) the copy first gets its attributes and times, and
// stored, when not null, what the disk then holds. False when the close
// reports an error (a delayed write failure).
bool platCloseCopy(FileHandle* handle, const FileData* data, StoredCopy* stored);

// Removes the file name within dir (a copy of this run that failed); never
// follows a symbolic link. False on failure.
bool platRemoveFileAt(DirHandle* dir, const NChar* name, const NChar* path);

// Makes newName within newDir a second name of twinName within twinDir;
// never follows a symbolic link and never replaces (CREATE_EXISTS).
CreateResult platHardLinkAt(DirHandle* twinDir, const NChar* twinName, const NChar* twinPath,
                            DirHandle* newDir, const NChar* newName, const NChar* newPath);

// True when giving a symbolic link in the open folder dir its owner and
// times leaves the file it points to alone. A share through sshfs follows
// the link there (the server sets its target's), so links made there keep
// what they were made with. Tried on a link and file made for the purpose.
bool platProbeLinkAttributes(DirHandle* dir);

// False only when the file system of the open folder dir makes no hard
// links at all: tried once on a file made for the purpose inside it and
// removed again. A probe that fails for another reason (a full disk)
// answers true, and each link then says what went wrong.
bool platProbeHardLinks(DirHandle* dir);

// The identity of an open file and how many names it has on its volume
// (POSIX: device, inode, st_nlink; Windows: volume serial, file index and
// link count of the open handle). False when they cannot be read.
bool platGetHandleIdentity(FileHandle* handle, FileIdentity* identity, uint64_t* linkCount);

// A copy of this run that later names of the same source file are linked
// to, kept by what the copy was written through, never by its path (POSIX:
// a descriptor of its own; the Windows build, which works by path, keeps
// the path). Null when it cannot be had. Taken before platCloseCopy.
struct LinkSource;
LinkSource* platKeepLinkSource(FileHandle* copy);
void platDropLinkSource(LinkSource* source);

// Makes newName within newDir another name of the file source; never
// replaces (CREATE_EXISTS).
CreateResult platHardLinkFrom(LinkSource* source, DirHandle* newDir, const NChar* newName,
                              const NChar* newPath);

// The standard attribute data and the identity of name within dir, without
// following a symbolic link (POSIX: device and inode; Windows: volume
// serial and file index, read from a handle opened on the entry itself).
// False when it cannot be read.
bool platGetIdentityAt(DirHandle* dir, const NChar* name, const NChar* path, FileData* data,
                       FileIdentity* identity);

// True when two symbolic links hold the same target text (the Windows
// build stores no links: always true there).
bool platSameLinkTargetAt(DirHandle* dirA, const NChar* nameA, const NChar* pathA,
                          DirHandle* dirB, const NChar* nameB, const NChar* pathB);

// Stores the symbolic link sourceName as a link destinationName with the
// same target text, then gives it the owner and times of data (none when
// data is null); an existing
// destination is kept (CREATE_EXISTS) unless replace is set. Only the POSIX
// build stores links.
CreateResult platCopySymbolicLinkAt(DirHandle* sourceDir, const NChar* sourceName,
                                    const NChar* sourcePath, DirHandle* destinationDir,
                                    const NChar* destinationName, const NChar* destinationPath,
                                    bool replace, const FileData* data);

// ---- the reason of a failure ----------------------------------------------------
//
// Every function of this layer that fails keeps, for the calling thread
// alone (the copier runs on worker threads), the call that failed and the
// system's code, taken at the moment of the failure, not read later.

// The reason of the last failure of this layer on this thread as
// "call: reason" (the system's text of the code; on Windows its system
// message), cut to fit capacity; empty when nothing has failed.
void platFailureText(NChar* text, size_t capacity);

// Sets the layer's run-wide state back to its start: the machine no longer
// kept awake, and no reason of a failed call kept for the calling thread.
// Part of each program's one reset; never called while other threads run.
void platResetState();

// ---- text streams ----------------------------------------------------------

// Opens a stream with a C runtime mode ("a", "rb", "w", "wb"); null on
// failure. "wb" only creates a new file (the program's own temporary
// files, on POSIX mode 0600): an existing one fails. The stream is never
// inherited by a child process. On POSIX a symbolic link is never followed and only a regular
// file is used (a FIFO named like the program's file must not hang it).
FILE* platOpenStream(const NChar* path, const char* mode);

// True when stream is a terminal (a console), where progress is shown.
bool platIsTerminal(FILE* stream);

// Flushes a stream written to and hands its data to the storage device.
// False on failure.
bool platSyncStream(FILE* stream);

// Writes count native characters of a message to stream, a line feed as
// the platform's line end. On Windows a console (standard output or error
// not redirected) gets every character as itself; a file or a pipe gets
// one byte per character up to U+00FF and '?' for each character above
// (text never cut there). text never ends inside a surrogate pair. False
// when the write fails.
bool platWriteText(FILE* stream, const NChar* text, size_t count);

// ---- time ------------------------------------------------------------------

// Calendar seconds now.
int64_t platNow();

// A calendar time as the local clock shows it.
struct LocalTime {
    int year;
    int month;  // 1 to 12
    int day;    // 1 to 31
    int hour;   // 0 to 23
    int minute;
    int second; // 0 to 60 (a leap second)
};

// The local date and time of day of a calendar time, read in one go so
// that the two always agree. False when it cannot be converted.
bool platLocalClock(int64_t time, LocalTime* local);

// ---- power -----------------------------------------------------------------

// Asks the system to stay awake (on) or ends the request (off). Silently
// does nothing where the system offers no way to ask.
void platKeepAwake(bool on);

// ---- child processes -------------------------------------------------------

// Runs commandLine (the program is its first word, found on the search
// path), waits for its end without a time limit and returns its exit code:
// -1 when it cannot be started, -2 when the wait fails. The child inherits
// no handles unless inheritHandles is non-zero; hideWindow asks for a hidden
// window where windows exist. commandLine may be changed in place.
int32_t platRunCommand(NChar* commandLine, int inheritHandles, int hideWindow);

// The command line that shuts the machine down at once, closing running
// programs: "shutdown -t 0 -s -f" on Windows.
extern const NChar platShutdownCommand[];

// ---- lock of a backup root ---------------------------------------------------

struct LockHandle;

enum LockResult { LOCK_TAKEN = 0, LOCK_BUSY = 1, LOCK_FAILED = 2, LOCK_NOT_REGULAR = 3, LOCK_MISSING = 4 };

// Opens path (created when missing; never through a symbolic link, and only
// when it is a regular file) and takes an exclusive lock on it without
// waiting. The lock holds until platUnlockFile or the end of the process,
// whichever comes first: a lock left by a dead process is no obstacle.
// LOCK_BUSY when another process holds it; LOCK_NOT_REGULAR when path is
// something else than a regular file (a folder, a link, a FIFO). The file itself is never
// removed, so that no race on its name can lose a lock.
LockResult platLockFile(const NChar* path, LockHandle** handle);

// As platLockFile, but while another process holds the lock, tries again
// for up to waitMilliseconds before it answers LOCK_BUSY (a reader that
// looks at the lock holds it only for an instant).
LockResult platLockFileWaiting(const NChar* path, LockHandle** handle, int waitMilliseconds);

// As platLockFile, for a reader that must not write in the root: opens
// path only when it exists (LOCK_MISSING otherwise; nothing is created),
// for reading, and takes the lock without waiting. The caller releases it
// at once with platUnlockFile.
LockResult platTryLockExisting(const NChar* path, LockHandle** handle);

// The text stored in the lock file (what the last holder wrote), at most
// capacity - 1 characters; false when it cannot be read or does not fit.
bool platReadLockText(LockHandle* handle, NChar* text, size_t capacity);

// Replaces the text stored in the lock file and hands it to the storage
// device. False on failure.
bool platWriteLockText(LockHandle* handle, const NChar* text);

// Releases the lock and closes the file.
void platUnlockFile(LockHandle* handle);

// ---- whole trees of a backup root ------------------------------------------------

// One entry below a folder that platScanTree visits: anything but a folder.
struct TreeFile {
    FileIdentity identity;
    uint64_t size;      // bytes of a regular file; 0 for a link or special file
    uint64_t linkCount; // names the file has on its volume, this one included
};

typedef void (*TreeFileVisitor)(const TreeFile* file, void* context);

// Calls visit for every entry below the folder path that is not a folder,
// going down into subfolders but never through a symbolic link or junction
// (such an entry is visited as a file itself). False when some part of the
// tree could not be read; what could be read has been visited.
// Neither this nor the removal below recurses: any depth is walked with a
// bounded number of open folders and memory of a name per level.
bool platScanTree(const NChar* path, TreeFileVisitor visit, void* context);
// The same for the folder name within the open folder parent (path: its
// path, for the Windows build, which works by path).
bool platScanTreeAt(DirHandle* parent, const NChar* name, const NChar* path, TreeFileVisitor visit,
                    void* context);

// Gives the folder from within the open folder dir the name to there;
// never follows a symbolic link and never replaces a non-empty folder.
// The paths are the two names' full paths (the Windows build uses them).
// False on failure (platFailureText tells why).
bool platRenameFolderAt(DirHandle* dir, const NChar* from, const NChar* fromPath, const NChar* to,
                        const NChar* toPath);

// Told about each entry that platRemoveTreeReporting could not remove: its
// path and the reason (the failing call and the system's text).
typedef void (*RemoveFailureReport)(const NChar* path, const NChar* reason, void* context);

// Removes path (with or without a final separator): a file, or a folder
// with everything in it. A symbolic link
// or junction met inside is removed itself, never followed, so nothing
// outside the tree is touched whatever is swapped in meanwhile; read-only
// files and folders are removed all the same. Goes on past an entry it
// cannot remove. False when anything is left.
bool platRemoveTree(const NChar* path);
bool platRemoveTreeReporting(const NChar* path, RemoveFailureReport report, void* context);
// The same for name within the open folder parent (path: its full path,
// for messages and the Windows build). On POSIX nothing is resolved by
// path: a folder swapped for a link while the removal runs below it is
// never followed, nor is another file system mounted inside the tree.
bool platRemoveTreeAt(DirHandle* parent, const NChar* name, const NChar* path, RemoveFailureReport report,
                      void* context);

// Lets the owner of the open folder dir create and remove entries in it
// again. The folder's final access is given later, as for any folder of a
// run. Nothing to do on Windows, where a folder's access does not come
// from its source.
bool platMakeDirWritable(DirHandle* dir);


// Takes away what others may do with the program's own file path (POSIX:
// group and other bits), never through a link; nothing when it is missing
// or not a regular file. Windows keeps the access the system gave.
void platKeepPrivate(const NChar* path);

// True when the process runs as the administrator (POSIX: root) and users
// other than the folder's owner may enter the folder path (POSIX: a search
// bit for group or others). Always false on Windows, whose folders take
// their access from the system.
bool platOthersMayEnter(const NChar* path);

// ---- this process and this machine -------------------------------------------

// The number of this process.
unsigned long platProcessId();

// The name of this machine; false when it cannot be had or does not fit
// capacity characters with its terminator.
bool platHostName(NChar* name, size_t capacity);

// ---- absolute paths ----------------------------------------------------------

enum FullPathResult { FULLPATH_OK = 0, FULLPATH_TOO_LONG = 1, FULLPATH_FAILED = 2 };

// The absolute form of path in buffer (capacity characters, terminator
// included), so that a path means the same folder whatever the working
// folder of a later run: a relative path is taken from the working folder,
// and "." and ".." are resolved by the text alone (the folder need not
// exist yet). FULLPATH_TOO_LONG when it does not fit, FULLPATH_FAILED when
// the working folder cannot be had; the buffer is empty then.
FullPathResult platFullPath(const NChar* path, NChar* buffer, size_t capacity);

// ---- the walk's workers --------------------------------------------------------

// How many cores the process may run on; 1 when it cannot be told.
int platCoreCount();
