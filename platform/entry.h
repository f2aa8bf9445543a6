// The process entry in the platform's own form. A program owns its main
// file and names its entry function there; this macro gives it the form
// in which the system hands over the arguments: native byte strings on
// POSIX, wide strings on Windows (linked with -municode, so that the C
// runtime calls wmain).
#pragma once

#ifdef _WIN32
#define PROGRAM_MAIN(entry)                                                                   \
    int wmain(int argc, wchar_t** argv)                                                       \
    {                                                                                         \
        return entry(argc, argv);                                                             \
    }
#else
#define PROGRAM_MAIN(entry)                                                                   \
    int main(int argc, char** argv)                                                           \
    {                                                                                         \
        return entry(argc, argv);                                                             \
    }
#endif
