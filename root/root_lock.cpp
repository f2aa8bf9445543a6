#include "root/root_lock.h"

#include "platform/platform.h"
#include "report/run_state.h"
#include "root/root_state.h"

const size_t HOST_NAME_CHARS = 256;
const int LOCK_WAIT_MILLISECONDS = 2000;

LockResult lockBackupRoot(const NChar* backupRoot, NChar* lockPath)
{
    RootLockState& lock = rootState.lock;
    lock.lastLockText[0] = 0;
    lock.rootLock = nullptr;
    if (!formatText(lockPath, PATH_CHARS, N("%s_lock"), backupRoot)) return LOCK_FAILED;
    LockResult result = platLockFileWaiting(lockPath, &lock.rootLock, LOCK_WAIT_MILLISECONDS);
    if (result != LOCK_TAKEN) {
        lock.rootLock = nullptr;
        return result;
    }
    // A text that cannot be read names no snapshot.
    if (!platReadLockText(lock.rootLock, lock.lastLockText, LOCK_TEXT_CHARS)) lock.lastLockText[0] = 0;
    return LOCK_TAKEN;
}

bool holdsRootLock()
{
    RootLockState& lock = rootState.lock;
    return lock.rootLock != nullptr;
}

static bool isSeparator(NChar c)
{
    // Either platform's: the lock file may have been written by the other.
    return c == N('/') || c == N('\\');
}

bool lockTextNamesSnapshot(const NChar* lockText, const NChar* dateText)
{
    static const NChar KEY[] = N("snapshot ");
    const size_t keyLength = sizeof KEY / sizeof KEY[0] - 1;
    const NChar* line = lockText;
    while (*line != 0) {
        const NChar* end = line;
        while (*end != 0 && *end != N('\n')) ++end;
        if (static_cast<size_t>(end - line) > keyLength && compareTextN(line, KEY, keyLength) == 0) {
            // The last name of the path, less its final separator.
            const NChar* nameEnd = end;
            if (nameEnd > line + keyLength && nameEnd[-1] == N('\r')) --nameEnd;
            if (nameEnd > line + keyLength && isSeparator(nameEnd[-1])) --nameEnd;
            const NChar* name = nameEnd;
            while (name > line + keyLength && !isSeparator(name[-1])) --name;
            size_t length = textLength(dateText);
            return static_cast<size_t>(nameEnd - name) == length &&
                   compareTextN(name, dateText, length) == 0;
        }
        line = *end != 0 ? end + 1 : end;
    }
    return false;
}

// The value of the line "key value" of lockText, up to its line end (a
// CR before it not included); null when there is no such line.
static const NChar* lockLine(const NChar* lockText, const NChar* key, size_t* length)
{
    size_t keyLength = textLength(key);
    const NChar* line = lockText;
    while (*line != 0) {
        const NChar* end = line;
        while (*end != 0 && *end != N('\n')) ++end;
        if (static_cast<size_t>(end - line) >= keyLength && compareTextN(line, key, keyLength) == 0) {
            const NChar* valueEnd = end;
            if (valueEnd > line + keyLength && valueEnd[-1] == N('\r')) --valueEnd;
            *length = static_cast<size_t>(valueEnd - line) - keyLength;
            return line + keyLength;
        }
        line = *end != 0 ? end + 1 : end;
    }
    return nullptr;
}

// A decimal number of at most 20 digits from text; false when text holds
// anything else.
static bool readNumber(const NChar* text, size_t length, uint64_t* value)
{
    if (length == 0 || length > 20) return false;
    uint64_t number = 0;
    for (size_t k = 0; k < length; ++k) {
        if (text[k] < N('0') || text[k] > N('9')) return false;
        uint64_t digit = static_cast<uint64_t>(text[k] - N('0'));
        if (number > (UINT64_MAX - digit) / 10) return false;
        number = number * 10 + digit;
    }
    *value = number;
    return true;
}

bool lockTextIdentity(const NChar* lockText, FileIdentity* identity)
{
    size_t length = 0;
    const NChar* value = lockLine(lockText, N("identity "), &length);
    if (value == nullptr) return false;
    size_t space = 0;
    while (space < length && value[space] != N(' ')) ++space;
    if (space == length) return false;
    return readNumber(value, space, &identity->volume) &&
           readNumber(value + space + 1, length - space - 1, &identity->index);
}

bool lastHolderNamedSnapshot(const NChar* dateText)
{
    RootLockState& lock = rootState.lock;
    return lock.rootLock != nullptr && lockTextNamesSnapshot(lock.lastLockText, dateText);
}

bool lastRunMadeSnapshot(const NChar* snapshotPath, const NChar* dateText)
{
    RootLockState& lock = rootState.lock;
    if (lock.rootLock == nullptr || !lockTextNamesSnapshot(lock.lastLockText, dateText)) return false;
    // The folder that run made, by its identity: a folder of that name made
    // by anyone else, or a lock text written by hand, is not this root's
    // run's to finish. A text of an older version, which has no identity,
    // names no folder: the worst it costs is a refusal.
    FileIdentity recorded;
    FileIdentity today;
    return lockTextIdentity(lock.lastLockText, &recorded) && platGetIdentity(snapshotPath, &today) &&
           sameIdentity(recorded, today);
}

// value in decimal digits in text (room for 21 characters); returns text.
static const NChar* decimalText(uint64_t value, NChar* text)
{
    NChar digits[21];
    size_t count = 0;
    do {
        digits[count++] = static_cast<NChar>(N('0') + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t k = 0; k < count; ++k) text[k] = digits[count - 1 - k];
    text[count] = 0;
    return text;
}

// The lines every holder writes first: who holds the root and since when.
static bool formatHolderLines(NChar* text, int64_t start)
{
    NChar host[HOST_NAME_CHARS];
    if (!platHostName(host, HOST_NAME_CHARS)) copyText(host, HOST_NAME_CHARS, N("unknown"));
    LocalTime local = LocalTime();
    platLocalClock(start, &local);
    return formatText(text, LOCK_TEXT_CHARS, N("pid %lu\nhost %s\nstart %04d-%02d-%02d %02d:%02d:%02d\n"),
                      platProcessId(), host, local.year, local.month, local.day, local.hour, local.minute,
                      local.second);
}

void recordRunInLock(const NChar* snapshotPath)
{
    RootLockState& lock = rootState.lock;
    if (lock.rootLock == nullptr) return;
    NChar text[LOCK_TEXT_CHARS];
    // The snapshot path fits: it is at most PATH_CHARS long.
    if (!formatHolderLines(text, runCounters.startTime) || !appendText(text, LOCK_TEXT_CHARS, N("snapshot ")) ||
        !appendText(text, LOCK_TEXT_CHARS, snapshotPath) || !appendText(text, LOCK_TEXT_CHARS, N("\n")))
        return;
    // Once the folder is made, its identity: only that folder is continued.
    FileIdentity identity;
    uint32_t attributes = snapshotPath[0] != 0 ? platGetAttributes(snapshotPath) : INVALID_ATTRIBUTES;
    if (attributes != INVALID_ATTRIBUTES && (attributes & ATTR_DIRECTORY) &&
        !(attributes & ATTR_REPARSE_POINT) && platGetIdentity(snapshotPath, &identity)) {
        NChar volume[24];
        NChar index[24];
        if (!appendText(text, LOCK_TEXT_CHARS, N("identity ")) ||
            !appendText(text, LOCK_TEXT_CHARS, decimalText(identity.volume, volume)) ||
            !appendText(text, LOCK_TEXT_CHARS, N(" ")) ||
            !appendText(text, LOCK_TEXT_CHARS, decimalText(identity.index, index)) ||
            !appendText(text, LOCK_TEXT_CHARS, N("\n")))
            return;
    }
    // A text that cannot be stored only costs the next run the chance to
    // finish this snapshot should this run be stopped: it is then refused
    // as a folder made by hand.
    platWriteLockText(lock.rootLock, text);
}

void recordPruneInLock()
{
    RootLockState& lock = rootState.lock;
    if (lock.rootLock == nullptr) return;
    NChar old[LOCK_TEXT_CHARS];
    copyText(old, LOCK_TEXT_CHARS, lock.lastLockText);
    // What a stopped run left (the snapshot it was making and the identity
    // of its folder) stays, so that the next run still finishes it.
    NChar snapshotLine[LOCK_TEXT_CHARS] = {0};
    NChar identityLine[LOCK_TEXT_CHARS] = {0};
    for (NChar* line = old; *line != 0;) {
        NChar* end = line;
        while (*end != 0 && *end != N('\n')) ++end;
        bool last = *end == 0;
        *end = 0;
        if (compareTextN(line, N("snapshot "), 9) == 0) formatText(snapshotLine, LOCK_TEXT_CHARS, N("%s\n"), line);
        if (compareTextN(line, N("identity "), 9) == 0) formatText(identityLine, LOCK_TEXT_CHARS, N("%s\n"), line);
        if (last) break;
        line = end + 1;
    }
    NChar text[LOCK_TEXT_CHARS];
    if (formatHolderLines(text, platNow()) && appendText(text, LOCK_TEXT_CHARS, N("prune\n")) &&
        appendText(text, LOCK_TEXT_CHARS, snapshotLine) && appendText(text, LOCK_TEXT_CHARS, identityLine))
        platWriteLockText(lock.rootLock, text);
}

void releaseBackupRoot()
{
    RootLockState& lock = rootState.lock;
    platUnlockFile(lock.rootLock);
    lock.rootLock = nullptr;
    lock.lastLockText[0] = 0;
}
