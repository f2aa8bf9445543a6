#include "app/root_lock.h"

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
        return false;
    }
    if (result != LOCK_TAKEN) {
        rootLock = nullptr;
        printTo(stderr, N("cannot lock %s\n"), lockPath);
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

bool lastRunMadeSnapshot(const NChar* dateText)
{
    return rootLock != nullptr && lockTextNamesSnapshot(lastLockText, dateText);
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
