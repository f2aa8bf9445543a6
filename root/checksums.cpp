#include "root/checksums.h"

#include <cstring>
#include <mutex>
#include <new>

#include "root/root_state.h"

#define XXH_INLINE_ALL
#include "xxhash.h"

static const unsigned char MAGIC[4] = {'L', 'S', 'C', 'K'};
static const uint16_t VERSION = 1;

static void put16(unsigned char* p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

static void put32(unsigned char* p, uint32_t v)
{
    for (int k = 0; k < 4; ++k) p[k] = static_cast<unsigned char>(v >> (8 * k));
}

static void put64(unsigned char* p, uint64_t v)
{
    for (int k = 0; k < 8; ++k) p[k] = static_cast<unsigned char>(v >> (8 * k));
}

static uint16_t get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

static uint32_t get32(const unsigned char* p)
{
    uint32_t v = 0;
    for (int k = 3; k >= 0; --k) v = (v << 8) | p[k];
    return v;
}

static uint64_t get64(const unsigned char* p)
{
    uint64_t v = 0;
    for (int k = 7; k >= 0; --k) v = (v << 8) | p[k];
    return v;
}

ChecksumKey checksumKeyOf(const FileIdentity& identity, const FileData& data)
{
    ChecksumKey key;
    key.index = identity.index;
    key.size = data.size;
    key.seconds = data.lastWriteTime.seconds;
    // Nanoseconds on every platform, so that one disk serves both builds.
    int64_t nanoseconds = static_cast<int64_t>(data.lastWriteTime.fraction) * (1000000000 / FILE_TIME_FRACTIONS);
    key.nanoseconds = static_cast<uint32_t>(nanoseconds);
    return key;
}

void encodeChecksumRecord(const ChecksumRecord& record, unsigned char* bytes)
{
    memset(bytes, 0, CHECKSUM_RECORD_BYTES);
    memcpy(bytes, MAGIC, 4);
    put16(bytes + 4, VERSION);
    put16(bytes + 6, record.flags);
    put64(bytes + 8, record.key.index);
    put64(bytes + 16, record.key.size);
    put64(bytes + 24, static_cast<uint64_t>(record.key.seconds));
    put32(bytes + 32, record.key.nanoseconds);
    memcpy(bytes + 40, record.hash, 16);
    put32(bytes + 60, XXH32(bytes, 60, 0));
}

bool decodeChecksumRecord(const unsigned char* bytes, ChecksumRecord* record)
{
    if (memcmp(bytes, MAGIC, 4) != 0 || get16(bytes + 4) != VERSION) return false;
    if (get32(bytes + 60) != XXH32(bytes, 60, 0)) return false;
    uint32_t nanoseconds = get32(bytes + 32);
    if (nanoseconds >= 1000000000u) return false;
    record->flags = get16(bytes + 6);
    record->key.index = get64(bytes + 8);
    record->key.size = get64(bytes + 16);
    record->key.seconds = static_cast<int64_t>(get64(bytes + 24));
    record->key.nanoseconds = nanoseconds;
    memcpy(record->hash, bytes + 40, 16);
    return true;
}

size_t scanChecksumRecords(const unsigned char* data, size_t length, ChecksumVisitor take, void* context)
{
    size_t at = 0;
    while (length - at >= CHECKSUM_RECORD_BYTES) {
        ChecksumRecord record;
        if (decodeChecksumRecord(data + at, &record)) {
            take(record, context);
            at += CHECKSUM_RECORD_BYTES;
            continue;
        }
        // Garbage or a torn record: the next record begins at the next magic.
        const void* next = memchr(data + at + 1, MAGIC[0], length - at - 1);
        if (next == nullptr) return length;
        at = static_cast<size_t>(static_cast<const unsigned char*>(next) - data);
    }
    return at;
}

void addChecksumRecord(ChecksumTable* table, const ChecksumRecord& record)
{
    auto found = table->find(record.key);
    if (found == table->end()) {
        table->emplace(record.key, record);
        return;
    }
    uint16_t bad = found->second.flags & CHECKSUM_BAD;
    found->second = record;
    found->second.flags |= bad;
}

static bool checksumsPath(const NChar* backupRoot, const NChar* suffix, NChar* path)
{
    return formatText(path, PATH_CHARS, N("%s_checksums%s"), backupRoot, suffix);
}

ChecksumsReadResult readChecksums(const NChar* backupRoot, ChecksumVisitor take, void* context)
{
    NChar path[PATH_CHARS];
    if (!checksumsPath(backupRoot, N(""), path)) return CHECKSUMS_UNREADABLE;
    if (platGetAttributes(path) == INVALID_ATTRIBUTES) return CHECKSUMS_ABSENT;
    FILE* stream = platOpenStream(path, "rb");
    if (stream == nullptr) return CHECKSUMS_UNREADABLE;
    const size_t PIECE = 64 * 1024;
    std::vector<unsigned char> buffer(PIECE + CHECKSUM_RECORD_BYTES);
    size_t held = 0;
    bool failed = false;
    for (;;) {
        size_t got = fread(buffer.data() + held, 1, buffer.size() - held, stream);
        if (got == 0) {
            failed = ferror(stream) != 0;
            break;
        }
        held += got;
        size_t used = scanChecksumRecords(buffer.data(), held, take, context);
        memmove(buffer.data(), buffer.data() + used, held - used);
        held -= used;
    }
    fclose(stream);
    return failed ? CHECKSUMS_UNREADABLE : CHECKSUMS_READ;
}

static void takeIntoTable(const ChecksumRecord& record, void* context)
{
    addChecksumRecord(static_cast<ChecksumTable*>(context), record);
}

ChecksumsReadResult readChecksumTable(const NChar* backupRoot, ChecksumTable* table)
{
    table->clear();
    return readChecksums(backupRoot, takeIntoTable, table);
}

// ---- the run's appender --------------------------------------------------------

bool openChecksumLog(const NChar* backupRoot)
{
    ChecksumLogState& checksumLog = rootState.checksumLog;
    closeChecksumLog();
    NChar path[PATH_CHARS];
    if (!checksumsPath(backupRoot, N(""), path)) return false;
    FILE* stream = platOpenStream(path, "ab");
    if (stream == nullptr) return false;
    std::lock_guard<std::mutex> hold(checksumLog.logMutex);
    checksumLog.logStream = stream;
    return true;
}

bool checksumLogOpen()
{
    ChecksumLogState& checksumLog = rootState.checksumLog;
    std::lock_guard<std::mutex> hold(checksumLog.logMutex);
    return checksumLog.logStream != nullptr;
}

void appendChecksum(const ChecksumRecord& record)
{
    ChecksumLogState& checksumLog = rootState.checksumLog;
    unsigned char bytes[CHECKSUM_RECORD_BYTES];
    encodeChecksumRecord(record, bytes);
    std::lock_guard<std::mutex> hold(checksumLog.logMutex);
    if (checksumLog.logStream == nullptr) return;
    // One record, one write: a killed run tears at most the record being
    // written, which readers skip.
    fwrite(bytes, 1, sizeof bytes, checksumLog.logStream);
    fflush(checksumLog.logStream);
}

void closeChecksumLog()
{
    ChecksumLogState& checksumLog = rootState.checksumLog;
    std::lock_guard<std::mutex> hold(checksumLog.logMutex);
    if (checksumLog.logStream != nullptr) fclose(checksumLog.logStream);
    checksumLog.logStream = nullptr;
}

static bool writeAll(FILE* stream, const std::vector<ChecksumRecord>& records)
{
    unsigned char bytes[CHECKSUM_RECORD_BYTES];
    for (const ChecksumRecord& record : records) {
        encodeChecksumRecord(record, bytes);
        if (fwrite(bytes, 1, sizeof bytes, stream) != sizeof bytes) return false;
    }
    return true;
}

bool appendChecksums(const NChar* backupRoot, const std::vector<ChecksumRecord>& records)
{
    NChar path[PATH_CHARS];
    if (!checksumsPath(backupRoot, N(""), path)) return false;
    FILE* stream = platOpenStream(path, "ab");
    if (stream == nullptr) return false;
    bool written = writeAll(stream, records);
    return fclose(stream) == 0 && written;
}

bool rewriteChecksums(const NChar* backupRoot, const std::vector<ChecksumRecord>& records)
{
    NChar path[PATH_CHARS];
    NChar newPath[PATH_CHARS];
    if (!checksumsPath(backupRoot, N(""), path) || !checksumsPath(backupRoot, N(".new"), newPath))
        return false;
    // A file left by a prune that was stopped: the lock is held, so it is ours.
    platRemoveFile(newPath);
    FILE* stream = platOpenStream(newPath, "wb");
    if (stream == nullptr) return false;
    bool written = writeAll(stream, records) && platSyncStream(stream);
    if (fclose(stream) != 0) written = false;
    if (!written || !platReplaceFile(newPath, path)) {
        platRemoveFile(newPath);
        return false;
    }
    return true;
}

// ---- hashing -----------------------------------------------------------------------

struct ContentHasher {
    XXH3_state_t* state;
};

ContentHasher* createHasher()
{
    ContentHasher* hasher = new (std::nothrow) ContentHasher;
    if (hasher == nullptr) return nullptr;
    hasher->state = XXH3_createState();
    if (hasher->state == nullptr) {
        delete hasher;
        return nullptr;
    }
    XXH3_128bits_reset(hasher->state);
    return hasher;
}

void resetHasher(ContentHasher* hasher) { XXH3_128bits_reset(hasher->state); }

void updateHasher(ContentHasher* hasher, const void* data, size_t length)
{
    XXH3_128bits_update(hasher->state, data, length);
}

void finishHasher(ContentHasher* hasher, unsigned char* hash)
{
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(hasher->state));
    memcpy(hash, canonical.digest, 16);
}

void freeHasher(ContentHasher* hasher)
{
    if (hasher == nullptr) return;
    XXH3_freeState(hasher->state);
    delete hasher;
}
