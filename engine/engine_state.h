// The process-wide state of the snapshot engine, set back as one.
#pragma once

// Sets every process-wide variable of the engine back to its start and
// releases what it holds: the three filter lists, the calling thread's
// copy buffer, the walker's excluded root and backup-disk traits, and the
// flag of a continued snapshot. Part of the program's one reset.
void resetEngine();
