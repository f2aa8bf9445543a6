#include "root/root_state.h"

#include "root/root_lock.h"
#include "root/state_file.h"

void resetRoot()
{
    releaseBackupRoot();
    storedSourcePath[0] = 0;
    previousSnapshotPath[0] = 0;
}
