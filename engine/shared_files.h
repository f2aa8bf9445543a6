// Files of the source with several names (hard links): one file in the
// snapshot with as many names, not as many copies.
//
// The first name met of such a file is copied, and the copy is kept open
// (never by its path); every later name of the same file is linked to it.
// Only files with more than one name are remembered, at most a bound of
// them per run (each holds a descriptor of its copy on POSIX); past it,
// further such files are copied name by name, said once at the end.
//
// Which name counts as copied and which as linked is the decision of the
// walk in one-thread order: with workers, the copier leaves a record in
// its part of the output, and the one emitter, which reads every part in
// that order, decides the line and the counts when it reaches it. So the
// output and the counts are those of one thread whatever the number of
// workers (up to the bound), while whichever worker meets a file first
// makes its data: names of one file are alike.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "report/ordered_output.h"

// The most files with several names remembered in one run.
const size_t SHARED_FILES_MAX = 100000;

// Starts a walk's bookkeeping: at most bound files are remembered.
void startSharedFiles(size_t bound);

// Ends it: drops the kept copies, adds the counts decided to the calling
// thread's counters, and says once (standard output and log) when files
// were left apart because the bound was reached.
void endSharedFiles();

enum SharedStep {
    SHARED_LINKED,        // linked to this run's copy of the file
    SHARED_COPY_AND_KEEP, // first of its file: copy, then keepSharedCopy or dropSharedCopy
    SHARED_COPY_APART,    // copy, not remembered (the bound, a failed link)
};

// For a regular file of the source with more than one name, opened as
// identity: links newName within newDir to this run's copy of it where
// there is one, or says how to copy it. Waits while another thread copies
// the file: a SHARED_COPY_AND_KEEP copier must settle it (keep or drop)
// before it writes any output.
SharedStep joinSharedFile(const FileIdentity& identity, DirHandle* newDir, const NChar* newName,
                          const NChar* newPath);

// The copy of a SHARED_COPY_AND_KEEP file is whole: later names link to it.
void keepSharedCopy(const FileIdentity& identity, FileHandle* copy);
// It failed: a later name is copied again.
void dropSharedCopy(const FileIdentity& identity);

// Reports one name of a file with several names as the one-thread walk
// reports it (the first name joined to the file: "copy" with its bytes;
// later ones: "link"). joined: the name is one of the file's names in the
// snapshot (copied and kept, or linked); a name copied apart is a copy.
void reportSharedFile(const FileIdentity& identity, bool joined, uint64_t bytes, const NChar* path);

// The emitter's writer for a walk on workers: decides the records of
// reportSharedFile and writes everything else as writeCapturedOutput does.
void writeWalkOutput(OutputChannel channel, const NChar* text, size_t length);
