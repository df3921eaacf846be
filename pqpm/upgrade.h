#pragma once
// pqpm's upgrade run (the named packages, or every installed one, then a
// cleanup of the inventory) and its cleanup run.
#include "record/ekva.h"
#include "startup.h"

namespace qpm {

// Updates `run.packages` (all installed packages when none is named) and
// cleans up. The exit status: 1 when a named package could not be updated
// or the run could not start, else 0.
int pqpm_upgrade(PqpmRun &run, EkvaPtr &hook_commands);

// Cleans up the inventory; the exit status.
int pqpm_cleanup(PqpmRun &run);

} // namespace qpm
