#include "prune/prune_state.h"

PruneState pruneState;

void resetPrune()
{
    pruneState = PruneState();
}
