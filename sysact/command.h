// Running an external command line, and the shutdown after a good run.
#pragma once

#include <cstdint>

#include "platform/text.h"

// The child's exit code; -1 when it cannot be started, -2 when the wait
// fails. commandLine may be changed in place.
int32_t runCommand(NChar* commandLine, int inheritHandles, int hideWindow);

// Formats the command line from format and values, then runs it with no
// inherited handles and no hidden window.
int32_t runFormattedCommand(const NChar* format, ...);
