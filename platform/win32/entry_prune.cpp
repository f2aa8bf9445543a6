// Process entry of linksnap-prune.exe: arguments arrive as wide strings
// (linked with -municode, so the C runtime calls wmain).
#include "prune/prune.h"

int wmain(int argc, wchar_t** argv)
{
    return pruneEntry(argc, argv);
}
