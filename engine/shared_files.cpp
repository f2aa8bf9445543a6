#include "engine/shared_files.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "cmdline/cmdline_state.h"
#include "report/output.h"
#include "report/run_state.h"

namespace {

struct IdentityHash {
    size_t operator()(const FileIdentity& identity) const
    {
        return std::hash<uint64_t>()(identity.index * 0x9E3779B97F4A7C15ull ^ identity.volume);
    }
};

struct IdentityEqual {
    bool operator()(const FileIdentity& a, const FileIdentity& b) const { return sameIdentity(a, b); }
};

// What the copiers made: each remembered file's kept copy, null while its
// first copy is under way. Shared by the workers.
std::mutex madeLock;
std::condition_variable madeSettled; // a copy under way was kept or dropped
std::unordered_map<FileIdentity, LinkSource*, IdentityHash, IdentityEqual> made;
size_t bound = 0;
bool boundReached = false;

// What the report has said so far, in one-thread order: the files whose
// first name was reported as copied. Used by the emitter, or by the one
// thread of a walk alone; a producer writes through it only when memory
// runs out (its record then goes straight out).
std::mutex reportedLock;
std::unordered_set<FileIdentity, IdentityHash, IdentityEqual> reported;
RunCounters reportedCounts;

} // namespace

void startSharedFiles(size_t limit)
{
    {
        std::lock_guard<std::mutex> hold(madeLock);
        for (auto& entry : made) platDropLinkSource(entry.second);
        made.clear();
        bound = limit;
        boundReached = false;
    }
    std::lock_guard<std::mutex> hold(reportedLock);
    reported.clear();
    reportedCounts = RunCounters();
}

void endSharedFiles()
{
    bool said;
    {
        std::lock_guard<std::mutex> hold(madeLock);
        for (auto& entry : made) platDropLinkSource(entry.second);
        made.clear();
        said = boundReached;
        boundReached = false;
    }
    {
        std::lock_guard<std::mutex> hold(reportedLock);
        reported.clear();
        addRunCounts(&runCounters, reportedCounts);
        reportedCounts = RunCounters();
    }
    if (said) {
        printOut(N("more than %d files with several names: the rest are copied name by name.\n"),
                 static_cast<int>(bound));
        if (!cmdlineState.runSettings.noExec) logMessage(N("more than %d files with several names: the rest are copied name by name.\n"),
                                            static_cast<int>(bound));
    }
}

// A name whose file another worker is copying right now waits for that
// copy to be kept or dropped. That wait cannot close a cycle: the copier
// writes no output and takes no lock of the walk between taking the file
// and settling it (the copier settles it before its first message), so it
// needs nothing the waiting thread holds.
SharedStep joinSharedFile(const FileIdentity& identity, DirHandle* newDir, const NChar* newName,
                          const NChar* newPath)
{
    LinkSource* source = nullptr;
    {
        std::unique_lock<std::mutex> hold(madeLock);
        auto found = made.find(identity);
        while (found != made.end() && found->second == nullptr) {
            madeSettled.wait(hold);
            found = made.find(identity);
        }
        if (found == made.end()) {
            if (made.size() >= bound) {
                boundReached = true;
                return SHARED_COPY_APART;
            }
            try {
                made.emplace(identity, nullptr);
            } catch (const std::bad_alloc&) {
                boundReached = true;
                return SHARED_COPY_APART;
            }
            return SHARED_COPY_AND_KEEP;
        }
        // Linked outside the lock: the kept copy stays until the walk ends.
        source = found->second;
    }
    CreateResult linked = platHardLinkFrom(source, newDir, newName, newPath);
    if (linked == CREATE_OK) return SHARED_LINKED;
    if (linked != CREATE_TOO_MANY_LINKS) return SHARED_COPY_APART;
    // The copy has all the names its file system allows: this name's copy
    // takes its place for the names still to come.
    std::lock_guard<std::mutex> hold(madeLock);
    auto found = made.find(identity);
    if (found == made.end() || found->second != source) return SHARED_COPY_APART;
    platDropLinkSource(found->second);
    found->second = nullptr;
    return SHARED_COPY_AND_KEEP;
}

void keepSharedCopy(const FileIdentity& identity, FileHandle* copy)
{
    LinkSource* source = platKeepLinkSource(copy);
    std::lock_guard<std::mutex> hold(madeLock);
    madeSettled.notify_all();
    auto found = made.find(identity);
    if (source == nullptr) {
        // No way to link to it (no descriptor left): a later name copies.
        if (found != made.end() && found->second == nullptr) made.erase(found);
        return;
    }
    if (found == made.end() || found->second != nullptr) {
        platDropLinkSource(source);
        return;
    }
    found->second = source;
}

void dropSharedCopy(const FileIdentity& identity)
{
    std::lock_guard<std::mutex> hold(madeLock);
    madeSettled.notify_all();
    auto found = made.find(identity);
    if (found == made.end()) return;
    platDropLinkSource(found->second);
    made.erase(found);
}

// ---- the report in one-thread order -------------------------------------------

// Decides the line and the counts of one name; true for "link". With the
// set full (or memory short) the name counts as a copy.
static bool decide(const FileIdentity& identity, bool joined, uint64_t bytes)
{
    std::lock_guard<std::mutex> hold(reportedLock);
    bool link = false;
    if (joined) {
        if (reported.count(identity) != 0) {
            link = true;
        } else if (reported.size() < bound) {
            try {
                reported.insert(identity);
            } catch (const std::bad_alloc&) {
            }
        }
    }
    if (link) {
        ++reportedCounts.filesLinked;
    } else {
        ++reportedCounts.filesCopied;
        reportedCounts.bytesCopied += bytes;
    }
    return link;
}

// A record: three numbers of 16 hex digits (volume, index, bytes), the
// joined flag ('0' or '1'), the path's length in 16 hex digits, the path.
const size_t NUMBER_CHARS = 16;
const size_t RECORD_HEAD = 4 * NUMBER_CHARS + 1;

static void putNumber(NChar* at, uint64_t value)
{
    static const char DIGITS[] = "0123456789abcdef";
    for (size_t i = NUMBER_CHARS; i-- > 0; value >>= 4) at[i] = static_cast<NChar>(DIGITS[value & 15]);
}

static uint64_t getNumber(const NChar* at)
{
    uint64_t value = 0;
    for (size_t i = 0; i < NUMBER_CHARS; ++i) {
        unsigned long c = static_cast<unsigned long>(at[i]);
        value = value << 4 | (c <= '9' ? c - '0' : c - 'a' + 10);
    }
    return value;
}

void reportSharedFile(const FileIdentity& identity, bool joined, uint64_t bytes, const NChar* path)
{
    if (!capturingOutput()) {
        // The walk on one thread: this is the one-thread order.
        showProgress(decide(identity, joined, bytes) ? PROGRESS_LINK : PROGRESS_COPY, path);
        return;
    }
    size_t length = textLength(path);
    NChar head[RECORD_HEAD];
    putNumber(head, identity.volume);
    putNumber(head + NUMBER_CHARS, identity.index);
    putNumber(head + 2 * NUMBER_CHARS, bytes);
    head[3 * NUMBER_CHARS] = joined ? N('1') : N('0');
    putNumber(head + 3 * NUMBER_CHARS + 1, length);
    // Both parts in one go: a record is never split between the texts the
    // emitter is given.
    try {
        std::basic_string<NChar> record(head, RECORD_HEAD);
        record.append(path, length);
        captureOutput(CHANNEL_RECORD, record.data(), record.size());
    } catch (const std::bad_alloc&) {
        // No memory for the record: decided here, out of order.
        decide(identity, joined, bytes);
    }
}

void writeWalkOutput(OutputChannel channel, const NChar* text, size_t length)
{
    if (channel != CHANNEL_RECORD) {
        writeCapturedOutput(channel, text, length);
        return;
    }
    const bool onEmitter = !capturingOutput();
    size_t at = 0;
    while (length - at >= RECORD_HEAD) {
        FileIdentity identity;
        identity.volume = getNumber(text + at);
        identity.index = getNumber(text + at + NUMBER_CHARS);
        uint64_t bytes = getNumber(text + at + 2 * NUMBER_CHARS);
        bool joined = text[at + 3 * NUMBER_CHARS] == N('1');
        uint64_t pathLength = getNumber(text + at + 3 * NUMBER_CHARS + 1);
        at += RECORD_HEAD;
        if (pathLength > length - at) return;
        bool link = decide(identity, joined, bytes);
        std::basic_string<NChar> path(text + at, static_cast<size_t>(pathLength));
        at += static_cast<size_t>(pathLength);
        // No name may break a line or forge one.
        for (NChar& c : path)
            if (static_cast<unsigned long>(c) < 0x20) c = N('?');
        if (onEmitter) {
            showProgress(link ? PROGRESS_LINK : PROGRESS_COPY, path.c_str());
        } else if (!cmdlineState.runSettings.silent) {
            // Written straight out by a producer that ran out of memory,
            // which holds the output's lock: no progress rule here.
            const NChar* word = link ? N("link ") : N("copy ");
            writeCapturedOutput(CHANNEL_STDOUT, word, textLength(word));
            writeCapturedOutput(CHANNEL_STDOUT, path.c_str(), path.size());
            writeCapturedOutput(CHANNEL_STDOUT, N("\n"), 1);
        }
    }
}
