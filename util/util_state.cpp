#include "util/util_state.h"

UtilState utilState;

void resetUtil()
{
    utilState = UtilState();
}
