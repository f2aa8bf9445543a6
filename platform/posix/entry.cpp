// Process entry of the POSIX build: arguments arrive as native byte strings.
#include "app/run.h"

int main(int argc, char** argv)
{
    return programEntry(argc, argv);
}
