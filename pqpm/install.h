#pragma once
// pqpm's install run: every package named on the command line with its
// dependencies, one transaction each, and the hook commands they gathered
// run once the inventory is closed.
#include "record/ekva.h"
#include "startup.h"

namespace qpm {

// The run-wide hook-command record, made right after the command line was
// taken apart (before start-up).
EkvaPtr pqpm_hookcmds_new();

// Installs `run.packages`; returns the exit status. `hook_commands` gathers
// the hook commands of every transaction and is released at the end.
int pqpm_install(PqpmRun &run, EkvaPtr &hook_commands);

} // namespace qpm
