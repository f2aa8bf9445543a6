// The catalog of a backup root: the file "_catalog", which records for each
// snapshot whether the run that made it completed it, when it ran and what
// failed in it. Read by every program that looks at a root; written by
// linksnap alone, under the root's lock.
//
// Format: text, one line per snapshot, each line ended by CR LF (a reader
// also takes LF, and a last line without an end), fields separated by one
// tab, lines in ascending order of name:
//
//   name  state  start  end  write-errors  link-errors  unreadable  special
//   copied  linked  bytes
//
//   name        the snapshot folder's name, "yyyy_mm_dd"
//   state       "unfinished" (a run began it and none completed it) or
//               "complete"
//   start, end  UTC, ISO 8601 ("2026-12-08T17:36:22Z"); end is empty while
//               unfinished; both are empty for a snapshot no run recorded
//               (one the state file names, whose line was repaired)
//   counts      decimal: copies that could not be written, links that could
//               not be made, regular files that could not be read, and
//               FIFOs, sockets and devices (never read, counted apart);
//               empty when not known
//   copied, linked, bytes
//               decimal: files copied, files linked and bytes copied by the
//               run that completed it, as its summary says; empty when not
//               known (a line of eight fields has none of the three)
//
// Never a path. Fields after the eleventh are ignored (room for later
// versions); a line that is not of this form is ignored, never fatal. The
// file is replaced as a whole: written as "_catalog.new" (0600 on POSIX),
// flushed to the disk, renamed over the old one.
//
// What is unfinished: a dated folder of the root whose line says
// "unfinished", unless the state file "_dir" names it (then it is complete:
// _dir is written right before the completion is recorded); and a dated
// folder that has no line at all only when the lock names it as the
// snapshot its last holder was making and _dir does not name it (a root of
// an earlier version, whose run was stopped). Every other dated folder is
// complete, whether or not a run recorded it. A line whose folder is gone
// means nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/text.h"

// A snapshot name "yyyy_mm_dd" and its terminator.
const int CATALOG_NAME_CHARS = 11;

// A time or count that no run recorded.
const int64_t CATALOG_UNKNOWN = -1;

enum CatalogState { CATALOG_UNFINISHED, CATALOG_COMPLETE };

struct CatalogCounts {
    int64_t writeErrors;
    int64_t linkErrors;
    int64_t unreadableFiles; // regular files (and folders) that could not be read
    int64_t specialFiles;    // FIFOs, sockets and devices
    int64_t filesCopied;
    int64_t filesLinked;
    int64_t bytesCopied;
};

struct CatalogEntry {
    NChar name[CATALOG_NAME_CHARS];
    CatalogState state;
    int64_t startTime; // calendar seconds; CATALOG_UNKNOWN when not recorded
    int64_t endTime;   // CATALOG_UNKNOWN while unfinished or not recorded
    CatalogCounts counts;
};

struct Catalog {
    std::vector<CatalogEntry> entries; // ascending by name, one per name
};

enum CatalogReadResult { CATALOG_READ, CATALOG_ABSENT, CATALOG_UNREADABLE };

// True when name has the form of a snapshot folder's name, "dddd_dd_dd".
bool isSnapshotFolderName(const NChar* name);

// Reads backupRoot's catalog into catalog (emptied first). CATALOG_ABSENT
// when the root has none; CATALOG_UNREADABLE when it exists but cannot be
// read (the failure record says why). Lines not of the form are skipped.
CatalogReadResult readCatalog(const NChar* backupRoot, Catalog* catalog);

// Replaces backupRoot's catalog by catalog, atomically. False when it
// could not be written, with reason ("call: reason", capacity chars); the
// old file is then unchanged.
bool writeCatalog(const NChar* backupRoot, const Catalog& catalog, NChar* reason, size_t capacity);

// One line's bytes (without its line end) into entry; false when the line
// is not of the form.
bool parseCatalogLine(const char* line, size_t length, CatalogEntry* entry);

// The line of entry, CR LF included.
std::string formatCatalogLine(const CatalogEntry& entry);

// "2026-12-08T17:36:22Z" for a calendar time; parse: false when text is not
// exactly that form or no real time.
std::string formatUtcTime(int64_t time);
bool parseUtcTime(const char* text, size_t length, int64_t* time);

// The entry of name, or null.
CatalogEntry* findCatalogEntry(Catalog* catalog, const NChar* name);
const CatalogEntry* findCatalogEntry(const Catalog& catalog, const NChar* name);

// Records that a run begins (or continues) the snapshot name at time: its
// line becomes unfinished, with no end and no counts. A continued
// snapshot keeps its first start.
void recordSnapshotBegun(Catalog* catalog, const NChar* name, int64_t time);

// Records that the snapshot name is complete at time with counts.
void recordSnapshotCompleted(Catalog* catalog, const NChar* name, int64_t time, const CatalogCounts& counts);

// Whether the dated folder name of a root is unfinished (see above).
// stateName: the snapshot _dir names (empty for none); lockNames: whether
// the lock names name as the snapshot its last holder was making (null:
// the lock is not known).
typedef bool (*LockNamesSnapshot)(const NChar* name);
bool isUnfinishedSnapshot(const Catalog& catalog, const NChar* name, const NChar* stateName,
                          LockNamesSnapshot lockNames);

// Brings catalog in step with the dated folders of backupRoot: lines whose
// folder is gone are dropped; the snapshot _dir names is complete (its line
// added or repaired); a folder without a line that the lock names as left
// unfinished gets an unfinished line. True when anything changed.
bool reconcileCatalog(Catalog* catalog, const NChar* backupRoot, const NChar* stateName,
                      LockNamesSnapshot lockNames);

// The last name of a folder path, without its final separator, into name
// (capacity chars); empty when it does not fit.
void lastNameOf(const NChar* path, NChar* name, size_t capacity);
