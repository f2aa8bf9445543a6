#include "root/root_lock.h"

#include "platform/platform.h"
#include "report/output.h"
#include "report/run_state.h"

// The lock file's text: a few short lines and one path.
const size_t LOCK_TEXT_CHARS = 2048;
const size_t HOST_NAME_CHARS = 256;
const int LOCK_WAIT_MILLISECONDS = 2000;

static LockHandle* rootLock = nullptr;
// What the last holder wrote, read when the lock was taken.
static NChar lastLockText[LOCK_TEXT_CHARS];

// The reason line under a lock message, as under a per-file failure.
static void printLockReason()
{
    NChar reason[512];
    platFailureText(reason, 512);
    if (reason[0] != 0) printTo(stderr, N("    %s\n"), reason);
}

bool lockBackupRoot(const NChar* backupRoot)
{
    NChar lockPath[PATH_CHARS];
    lastLockText[0] = 0;
    if (!formatText(lockPath, PATH_CHARS, N("%s_lock"), backupRoot)) return true;
    // A monitor that looks at the lock holds it for an instant: wait a
    // little before refusing.
    LockResult result = platLockFileWaiting(lockPath, &rootLock, LOCK_WAIT_MILLISECONDS);
    if (result == LOCK_BUSY) {
        printTo(stderr, N("backup root %s is in use by another run.\n"), backupRoot);
        printLockReason();
        return false;
    }
    if (result != LOCK_TAKEN) {
        rootLock = nullptr;
        // Unlocked, as when the lock cannot be taken, but told what to do.
        if (result == LOCK_NOT_REGULAR) {
            printTo(stderr, N("%s is not a regular file: remove it.\n"), lockPath);
        } else {
            printTo(stderr, N("cannot lock %s\n"), lockPath);
            printLockReason();
        }
        return true;
    }
    // A text that cannot be read names no snapshot.
    if (!platReadLockText(rootLock, lastLockText, LOCK_TEXT_CHARS)) lastLockText[0] = 0;
    return true;
}

bool holdsRootLock()
{
    return rootLock != nullptr;
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

bool lastRunMadeSnapshot(const NChar* snapshotPath, const NChar* dateText)
{
    if (rootLock == nullptr || !lockTextNamesSnapshot(lastLockText, dateText)) return false;
    // The folder that run made, by its identity: a folder of that name made
    // by anyone else, or a lock text written by hand, is not this root's
    // run's to finish. A text of an older version, which has no identity,
    // names no folder: the worst it costs is a refusal.
    FileIdentity recorded;
    FileIdentity today;
    return lockTextIdentity(lastLockText, &recorded) && platGetIdentity(snapshotPath, &today) &&
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

void recordRunInLock(const NChar* snapshotPath)
{
    if (rootLock == nullptr) return;
    NChar host[HOST_NAME_CHARS];
    if (!platHostName(host, HOST_NAME_CHARS)) copyText(host, HOST_NAME_CHARS, N("unknown"));
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    platLocalDate(runCounters.startTime, &year, &month, &day);
    platLocalClock(runCounters.startTime, &hour, &minute, &second);
    NChar text[LOCK_TEXT_CHARS];
    // The snapshot path fits: it is at most PATH_CHARS long.
    if (!formatText(text, LOCK_TEXT_CHARS,
                    N("pid %lu\nhost %s\nstart %04d-%02d-%02d %02d:%02d:%02d\nsnapshot %s\n"),
                    platProcessId(), host, year, month, day, hour, minute, second, snapshotPath))
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
    platWriteLockText(rootLock, text);
}

void releaseBackupRoot()
{
    platUnlockFile(rootLock);
    rootLock = nullptr;
    lastLockText[0] = 0;
}
