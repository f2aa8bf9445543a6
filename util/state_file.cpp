// What linksnap-util needs of the root's state file: the source it backs
// up (line 1) and the latest snapshot (line 2), read by the one reader of
// that file that the backup run uses too.
#include "root/root_state.h"
#include "root/state_file.h"
#include "util/util.h"

bool readRootState(const NChar* root, NString* source, NString* latest)
{
    const NChar* stored = readStateFile(root);
    if (stored == nullptr) return false;
    *source = stored;
    NString previous = rootState.previousSnapshotPath;
    while (!previous.empty() && previous.back() == PATH_SEP) previous.pop_back();
    size_t last = previous.rfind(PATH_SEP);
    *latest = last == NString::npos ? previous : previous.substr(last + 1);
    return !source->empty();
}
