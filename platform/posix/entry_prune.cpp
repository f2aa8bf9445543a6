// Process entry of linksnap-prune on POSIX: arguments arrive as native byte strings.
#include "prune/prune.h"

int main(int argc, char** argv)
{
    return pruneEntry(argc, argv);
}
