// linksnap-util: reads a backup root and tells what it holds (list,
// status, history, diff, verify). It never writes in the root (not even the
// lock file is created), except verify's records and bad marks, written
// under the root's lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

typedef std::basic_string<NChar> NString;

// Process entry: the exit code (status: 0 to 3 as monitors read them;
// the others: 0 done, 1 bad input or a root that cannot be read).
int utilEntry(int argc, NChar** argv);

// Sets every run-wide variable of linksnap-util and of the layers below it
// to its start value, releasing what they hold: the program's one reset.
void resetUtilRun();

// ---- the backup root, read only ------------------------------------------------

// Length of a snapshot folder's name, yyyy_mm_dd.
const int SNAPSHOT_NAME_CHARS = 10;

// True when name has the form of a snapshot folder's name.
bool isSnapshotName(const NChar* name);

// The absolute directory path of a root the user gave, in full
// (PATH_CHARS); false, with the message printed, when it cannot be had or
// is no backup root (a folder holding the state file or a snapshot).
bool openBackupRoot(const NChar* given, NChar* full, bool quiet);

// The names of the root's snapshot folders, oldest first. A link or
// junction with such a name is no snapshot.
std::vector<NString> listSnapshotNames(const NChar* root);

// The source folder (a directory path) and the name of the latest
// snapshot that the root's state file remembers; false, with the message
// printed, when it cannot be read.
bool readRootState(const NChar* root, NString* source, NString* latest);

enum SnapshotState { SNAPSHOT_COMPLETE, SNAPSHOT_UNFINISHED, SNAPSHOT_RUNNING };

// What the root knows of one snapshot. Times are calendar seconds, counts
// numbers of files; -1 where no record of the run tells.
struct SnapshotInfo {
    NString name;
    SnapshotState state;
    int64_t start;
    int64_t end;
    int64_t copied;
    int64_t linked;
    int64_t failed; // write and link errors and unreadable regular files
    int64_t special; // FIFOs, sockets and devices left out: no failure
    int64_t bytesCopied;
};

// Every snapshot of the root, oldest first, with its state: running while
// a run holds the root's lock for it (tried without waiting and released
// at once), unfinished when a stopped run left it.
std::vector<SnapshotInfo> readSnapshots(const NChar* root);

// ---- output ----------------------------------------------------------------------

// A name as a JSON string, quotes included, in ASCII alone: every other
// character as \uXXXX; a byte that is not part of valid UTF-8 (POSIX) as
// \udc80 to \udcff, and an unpaired surrogate (Windows) as itself, so that
// every name comes back exactly.
std::string jsonString(const NChar* text, size_t length);
inline std::string jsonString(const NString& text) { return jsonString(text.c_str(), text.size()); }

// Writes ASCII text to standard output as it is.
void writeJsonLine(const std::string& line);

// "YYYY-MM-DD HH:MM:SS" local time (text) of a calendar time; "-" when unknown.
NString localTimeText(int64_t when);
// "YYYY-MM-DDTHH:MM:SSZ" of a calendar time.
std::string utcTimeText(int64_t when);

// The subcommands; args are what follows the subcommand's name.
int listCommand(int count, NChar** args);
int statusCommand(int count, NChar** args);
int historyCommand(int count, NChar** args);
int diffCommand(int count, NChar** args);
int verifyCommand(int count, NChar** args);

// Takes "--json" out of the arguments; true when it was there.
bool takeJsonOption(int* count, NChar** args);
