#include "cmdline/settings.h"

// Apart from the run sequence, so that every program built on these layers
// (linksnap-prune too) has them without the backup run.
RunSettings runSettings;
