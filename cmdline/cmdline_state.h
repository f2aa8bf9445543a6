// The run-wide state of the command-line layer, in one object with one
// reset.
#pragma once

#include "cmdline/settings.h"
#include "platform/text.h"

// Everything the layer keeps between calls. resetCmdline sets it back to
// these start values.
struct CmdlineState {
    // The parsers' private, writable copy of the argument vector, made on
    // their first call: one heap block, the pointer array, then the
    // argument strings.
    NChar** argumentCopy = nullptr;
    // The settings the command line gives the one run a process performs,
    // read by every layer that acts on them.
    RunSettings runSettings = RunSettings();
    // What splitList gives the items past the last one: an empty text.
    NChar emptyItem[1] = {0};
};

extern CmdlineState cmdlineState;

// Gives back the argument copy and sets the settings back to their start.
// Part of each program's one reset.
void resetCmdline();
