#include "engine/engine_state.h"

#include "engine/copier.h"
#include "engine/filter_lists.h"
#include "engine/resume.h"
#include "engine/walker.h"

void resetEngine()
{
    releaseList(&excludedFolders);
    releaseList(&excludedTypes);
    releaseList(&includedTypes);
    releaseCopyBuffer();
    resetWalker();
    resumingSnapshot = false;
}
