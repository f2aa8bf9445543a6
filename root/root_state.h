// The process-wide state of the backup root's files, set back as one.
#pragma once

// Gives back the root's lock and forgets the paths read from the state
// file. Part of each program's one reset.
void resetRoot();
