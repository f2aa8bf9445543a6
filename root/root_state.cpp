#include "root/root_state.h"

#include "root/checksums.h"
#include "root/root_lock.h"

RootState rootState;

void resetRoot()
{
    releaseBackupRoot();
    rootState.lock = RootLockState();
    rootState.storedSourcePath[0] = 0;
    rootState.previousSnapshotPath[0] = 0;
    // The mutex cannot be assigned afresh; no thread holds it now.
    closeChecksumLog();
    rootState.checksumLog.logStream = nullptr;
}
