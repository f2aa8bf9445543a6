#include "cmdline/version.h"

#include "report/output.h"

int answerHelpOrVersion(int argc, NChar** argv, const NChar* program, void (*printUsage)(FILE* stream))
{
    if (argc != 2) return -1;
    if (compareText(argv[1], N("--help")) == 0) {
        printUsage(stdout);
        return 0;
    }
    if (compareText(argv[1], N("--version")) == 0) {
        printTo(stdout, N("%s %d.%d.%d\n"), program, VERSION_MAJOR, VERSION_MINOR, VERSION_PATCH);
        return 0;
    }
    return -1;
}
