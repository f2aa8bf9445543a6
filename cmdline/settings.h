// The settings the command line gives the one run a process performs,
// read by every layer that acts on them (cmdlineState.runSettings).
#pragma once

struct RunSettings {
    int noExec;           // -n: a dry run that writes nothing
    int silent;           // -s: no progress lines and no console summary
    int shutdownWhenDone; // -S: shut the machine down after a good run
    int logErrors;        // per-file failure lines go to the log file
};
