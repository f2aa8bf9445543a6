// Process entry of the Windows build: arguments arrive as wide strings
// (linked with -municode, so the C runtime calls wmain).
#include "app/run.h"

int wmain(int argc, wchar_t** argv)
{
    return programEntry(argc, argv);
}
