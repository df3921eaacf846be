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

// Queues in `record.scripts` the package's configure script ("99-cfg.sh")
// and the hook commands of the "99-cfg" moment that match its files
// (`data_files`: the data files written). They run when the request ends.
void queue_configure(const qpm_handle *qpm, qpt &record, const qpk_info &qpi, const StagedPackage &staged,
                     const StrArr &data_files, StageFor who);

// Runs the configure scripts collected in `record.scripts` and files its
// hook commands in `record.qpm_hookcmds`. 0.
int qpm_scripts_exe(qpm_handle *qpm, qpt &record);

} // namespace qpm
