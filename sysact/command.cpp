#include "sysact/command.h"

#include <cstdarg>
#include <cstdlib>

#include "platform/platform.h"

// Longest command line the runner formats (the Windows limit).
const size_t COMMAND_LINE_CHARS = 32768;

int32_t runCommand(NChar* commandLine, int inheritHandles, int hideWindow)
{
    // What the program printed so far comes before anything of the child.
    fflush(stdout);
    fflush(stderr);
    return platRunCommand(commandLine, inheritHandles, hideWindow);
}

int32_t runFormattedCommand(const NChar* format, ...)
{
    NChar* commandLine = static_cast<NChar*>(malloc(COMMAND_LINE_CHARS * sizeof(NChar)));
    if (commandLine == nullptr) return -1;
    va_list values;
    va_start(values, format);
    int written = formatTextV(commandLine, COMMAND_LINE_CHARS, format, values);
    va_end(values);
    int32_t result = -1;
    if (written >= 0 && static_cast<size_t>(written) < COMMAND_LINE_CHARS)
        result = runCommand(commandLine, 0, 0);
    free(commandLine);
    return result;
}
