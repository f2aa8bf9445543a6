// Stand-in for the Windows "shutdown" command in the end-to-end tests of
// the Windows build: appends its arguments, joined by blanks, as one line
// to the file named by LINKSNAP_SHUTDOWN_RECORD and exits 0. It shuts
// nothing down. The test runs linksnap.exe in the folder that holds it,
// which CreateProcessW searches before the system folder.
#include <cstdio>
#include <cstdlib>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* record = _wgetenv(L"LINKSNAP_SHUTDOWN_RECORD");
    if (record == nullptr) return 2;
    FILE* file = _wfopen(record, L"ab");
    if (file == nullptr) return 3;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) fputc(' ', file);
        for (const wchar_t* c = argv[i]; *c != 0; ++c) fputc(*c < 0x80 ? static_cast<int>(*c) : '?', file);
    }
    fputc('\n', file);
    return fclose(file) == 0 ? 0 : 4;
}
