// The process-wide state of the reporting layer, set back as one.
#pragma once

// Sets the run's settings and counters, the log (closed) and the texts of
// the summary back to their start. Part of the program's one reset.
void resetReport();
