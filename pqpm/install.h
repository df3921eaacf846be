#pragma once
// pqpm's install run: every package named on the command line with its
// dependencies, one transaction each, and the hook commands they gathered
// run once the inventory is closed. The pieces the upgrade run shares.
#include "engine/deps.h"
#include "engine/inventory.h"
#include "record/ekva.h"
#include "startup.h"

#include <optional>
#include <string>

namespace qpm {

// The run-wide hook-command record, made right after the command line was
// taken apart (before start-up).
EkvaPtr pqpm_hookcmds_new();

// Installs `run.packages`; returns the exit status: 0 when every named
// package is installed (or was already), 1 when one could not be, or the
// run could not start. `hook_commands` gathers the hook commands of every
// transaction and is released at the end.
int pqpm_install(PqpmRun &run, EkvaPtr &hook_commands);

// Opens and locks the inventory, becomes root entirely and completes what a
// stopped run left (qpm_recover); null after the designed message.
QpmPtr pqpm_open_locked();

// Completes what a stopped run left in the pending journal, for an action
// that does not otherwise lock the inventory; nothing when there is none.
void pqpm_recover_only();

// The variant and version options, when exactly one package is named.
void pqpm_request_options(const PqpmRun &run, std::optional<std::string> &variant,
                          std::optional<std::string> &version);

// Adds the transaction's hook commands to the run's, saying how many.
void pqpm_collect_hooks(EkvaPtr &hook_commands, const qpt &transaction, const std::string &name);

// The end of a run, after the inventory was closed: the hook commands run,
// then the record and the catalogue cache go.
void pqpm_finish(EkvaPtr &hook_commands);

} // namespace qpm
