// The checksum records of a backup root: the file "_checksums", which holds
// an XXH3-128 hash of the content of each file a run copied, keyed by the
// file's identity on the backup disk. Every snapshot that later links the
// file shares its record; a link costs nothing.
//
// Format: binary, a sequence of records of 64 bytes each, appended (never
// rewritten in place) right after each copy is whole. Integers are little
// endian:
//
//   offset  bytes  field
//        0      4  "LSCK"
//        4      2  version, 1
//        6      2  flags: bit 0 "bad" (verify found the content no longer
//                  matches the hash); other bits 0, ignored by a reader
//        8      8  file index (POSIX: inode number; Windows: file index)
//       16      8  size in bytes
//       24      8  last-write time, seconds since 1970 (signed)
//       32      4  last-write time, nanoseconds (0 to 999999999)
//       36      4  0 (reserved)
//       40     16  XXH3-128 of the content, in its canonical (big-endian) form
//       56      4  0 (reserved)
//       60      4  XXH32 (seed 0) of bytes 0 to 59
//
// The key (index, size, last-write time) survives a remount: no device
// number. A record whose magic or check does not match is ignored, and a
// reader that meets one looks for the next "LSCK" byte by byte, so a torn
// record left by a killed run or a crash costs only itself. Of several
// records of one key the last one counts, except that a bad mark stays.
// The file is made 0600. linksnap-prune rewrites it under the root's lock
// (a new file, flushed, renamed over the old one), keeping the records of
// files that live on in the kept snapshots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"

const size_t CHECKSUM_RECORD_BYTES = 64;
const uint16_t CHECKSUM_BAD = 1;

struct ChecksumKey {
    uint64_t index;
    uint64_t size;
    int64_t seconds;
    uint32_t nanoseconds;
};

inline bool operator==(const ChecksumKey& a, const ChecksumKey& b)
{
    return a.index == b.index && a.size == b.size && a.seconds == b.seconds &&
           a.nanoseconds == b.nanoseconds;
}

struct ChecksumKeyHash {
    size_t operator()(const ChecksumKey& key) const
    {
        uint64_t h = key.index * 0x9E3779B97F4A7C15ull ^ key.size * 0xC2B2AE3D27D4EB4Full ^
                     static_cast<uint64_t>(key.seconds) * 0x165667B19E3779F9ull ^ key.nanoseconds;
        return static_cast<size_t>(h ^ (h >> 29));
    }
};

struct ChecksumRecord {
    ChecksumKey key;
    uint16_t flags;
    unsigned char hash[16];
};

typedef std::unordered_map<ChecksumKey, ChecksumRecord, ChecksumKeyHash> ChecksumTable;

// The key of a file of the backup disk from its identity and attribute data.
ChecksumKey checksumKeyOf(const FileIdentity& identity, const FileData& data);

// The 64 bytes of record; decode: false when bytes hold no valid record.
void encodeChecksumRecord(const ChecksumRecord& record, unsigned char* bytes);
bool decodeChecksumRecord(const unsigned char* bytes, ChecksumRecord* record);

// Calls take for each valid record in data, in order, skipping garbage.
// Returns how many bytes were looked at: the rest (fewer than a record)
// may be the start of a record that more data completes.
typedef void (*ChecksumVisitor)(const ChecksumRecord& record, void* context);
size_t scanChecksumRecords(const unsigned char* data, size_t length, ChecksumVisitor take, void* context);

// Adds record to table: the last record of a key counts, a bad mark stays.
void addChecksumRecord(ChecksumTable* table, const ChecksumRecord& record);

enum ChecksumsReadResult { CHECKSUMS_READ, CHECKSUMS_ABSENT, CHECKSUMS_UNREADABLE };

// Reads the records of backupRoot (a directory path), in bounded pieces,
// calling take for each valid one.
ChecksumsReadResult readChecksums(const NChar* backupRoot, ChecksumVisitor take, void* context);
ChecksumsReadResult readChecksumTable(const NChar* backupRoot, ChecksumTable* table);

// The appender of a run: opened once, used by every copying thread (each
// record is one write, under a mutex), closed at the end.
bool openChecksumLog(const NChar* backupRoot);
bool checksumLogOpen();
void appendChecksum(const ChecksumRecord& record);
void closeChecksumLog();

// Appends records to backupRoot's file at once (the caller holds the lock).
bool appendChecksums(const NChar* backupRoot, const std::vector<ChecksumRecord>& records);

// Replaces backupRoot's records by records, atomically (under the lock).
bool rewriteChecksums(const NChar* backupRoot, const std::vector<ChecksumRecord>& records);

// XXH3-128 over content given in pieces.
struct ContentHasher;
ContentHasher* createHasher();
void resetHasher(ContentHasher* hasher);
void updateHasher(ContentHasher* hasher, const void* data, size_t length);
void finishHasher(ContentHasher* hasher, unsigned char* hash); // 16 bytes, canonical
void freeHasher(ContentHasher* hasher);
