#include "engine/shared_files.h"

#include <mutex>
#include <new>

#include "cmdline/cmdline_state.h"
#include "engine/engine_state.h"
#include "report/output.h"
#include "report/run_state.h"

void startSharedFiles(size_t limit)
{
    SharedFilesState& shared = engineState.sharedFiles;
    {
        std::lock_guard<std::mutex> hold(shared.madeLock);
        for (auto& entry : shared.made) platDropLinkSource(entry.second);
        shared.made.clear();
        shared.bound = limit;
        shared.boundReached = false;
    }
    std::lock_guard<std::mutex> hold(shared.reportedLock);
    shared.reported.clear();
    shared.reportedCounts = RunCounters();
}

void endSharedFiles()
{
    SharedFilesState& shared = engineState.sharedFiles;
    bool said;
    {
        std::lock_guard<std::mutex> hold(shared.madeLock);
        for (auto& entry : shared.made) platDropLinkSource(entry.second);
        shared.made.clear();
        said = shared.boundReached;
        shared.boundReached = false;
    }
    {
        std::lock_guard<std::mutex> hold(shared.reportedLock);
        shared.reported.clear();
        addRunCounts(&runCounters, shared.reportedCounts);
        shared.reportedCounts = RunCounters();
    }
    if (said) {
        printOut(N("more than %d files with several names: the rest are copied name by name.\n"),
                 static_cast<int>(shared.bound));
        if (!cmdlineState.runSettings.noExec)
            logMessage(N("more than %d files with several names: the rest are copied name by name.\n"),
                       static_cast<int>(shared.bound));
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
    SharedFilesState& shared = engineState.sharedFiles;
    LinkSource* source = nullptr;
    {
        std::unique_lock<std::mutex> hold(shared.madeLock);
        auto found = shared.made.find(identity);
        while (found != shared.made.end() && found->second == nullptr) {
            shared.madeSettled.wait(hold);
            found = shared.made.find(identity);
        }
        if (found == shared.made.end()) {
            if (shared.made.size() >= shared.bound) {
                shared.boundReached = true;
                return SHARED_COPY_APART;
            }
            try {
                shared.made.emplace(identity, nullptr);
            } catch (const std::bad_alloc&) {
                shared.boundReached = true;
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
    std::lock_guard<std::mutex> hold(shared.madeLock);
    auto found = shared.made.find(identity);
    if (found == shared.made.end() || found->second != source) return SHARED_COPY_APART;
    platDropLinkSource(found->second);
    found->second = nullptr;
    return SHARED_COPY_AND_KEEP;
}

void keepSharedCopy(const FileIdentity& identity, FileHandle* copy)
{
    SharedFilesState& shared = engineState.sharedFiles;
    LinkSource* source = platKeepLinkSource(copy);
    std::lock_guard<std::mutex> hold(shared.madeLock);
    shared.madeSettled.notify_all();
    auto found = shared.made.find(identity);
    if (source == nullptr) {
        // No way to link to it (no descriptor left): a later name copies.
        if (found != shared.made.end() && found->second == nullptr) shared.made.erase(found);
        return;
    }
    if (found == shared.made.end() || found->second != nullptr) {
        platDropLinkSource(source);
        return;
    }
    found->second = source;
}

void dropSharedCopy(const FileIdentity& identity)
{
    SharedFilesState& shared = engineState.sharedFiles;
    std::lock_guard<std::mutex> hold(shared.madeLock);
    shared.madeSettled.notify_all();
    auto found = shared.made.find(identity);
    if (found == shared.made.end()) return;
    platDropLinkSource(found->second);
    shared.made.erase(found);
}

// ---- the report in one-thread order -------------------------------------------

// Decides the line and the counts of one name; true for "link". With the
// set full (or memory short) the name counts as a copy.
static bool decide(const FileIdentity& identity, bool joined, uint64_t bytes)
{
    SharedFilesState& shared = engineState.sharedFiles;
    std::lock_guard<std::mutex> hold(shared.reportedLock);
    bool link = false;
    if (joined) {
        if (shared.reported.count(identity) != 0) {
            link = true;
        } else if (shared.reported.size() < shared.bound) {
            try {
                shared.reported.insert(identity);
            } catch (const std::bad_alloc&) {
            }
        }
    }
    if (link) {
        ++shared.reportedCounts.filesLinked;
    } else {
        ++shared.reportedCounts.filesCopied;
        shared.reportedCounts.bytesCopied += bytes;
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
