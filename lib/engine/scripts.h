#pragma once
// The package scripts: the QPK_* environment they receive, the pre- and
// post-install scripts run from the stage, the deferred configure scripts
// and hook commands of a transaction, and the library cache refresh.
#include "util/strarr.h"

#include <string>

namespace qpm {

struct qpm_handle;
struct qpk_info;
struct qpt;
struct PackagePaths;
struct PackageFiles;
struct StagedPackage;
enum class StageFor;

// Room of the script environment.
constexpr int QPM_SCRIPTENV_MAX = 29;

// Puts the QPK_* variables of the old and/or new package into the process
// environment (children inherit them) and returns them as NAME=value
// entries; empty when both records are null.
StrArr qpm_scriptenv_add(const qpk_info *old_qpi, const qpk_info *new_qpi);

// Removes the variables of `env` from the environment and empties it.
void qpm_scriptenv_del(StrArr &env);

// Runs the stage script `script` ("00-add.sh" or "99-add.sh") of the
// staged package, confined under a system root, with the script environment
// of the installed package (an update's) and the new one set for its
// length. The script's status.
int run_stage_script(const qpm_handle *qpm, const StagedPackage &staged, const char *script,
                     const qpk_info *old_qpi, const qpk_info &new_qpi, StageFor who, bool talk);

// Refreshes the library cache when a verified file was a shared library,
// and clears the flag. True when it ran.
bool refresh_library_cache();

// The package's configure script ("99-cfg.sh") and the hook commands of the
// "99-cfg" moment that match its files (`data_files`: the data files
// written), in the order they are to run.
StrArr configure_commands(const qpm_handle *qpm, const qpk_info &qpi, const StagedPackage &staged,
                          const StrArr &data_files, StageFor who);

// Queues the `commands` of package `name` in `record.scripts`; they run when
// the request ends.
void queue_configure(qpt &record, const std::string &name, const StrArr &commands);

// Runs the configure script `script` of the installed package `name`
// confined to the system root, with the package's script environment. The
// script's status.
int run_configure_script(qpm_handle *qpm, const std::string &name, const std::string &script);

// Runs the configure scripts collected in `record.scripts` (each counted
// done in the pending journal once it ran) and files its hook commands in
// `record.qpm_hookcmds`. 0.
int qpm_scripts_exe(qpm_handle *qpm, qpt &record);

} // namespace qpm
