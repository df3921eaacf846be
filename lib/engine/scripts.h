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

// Room of the script environment.
constexpr int QPM_SCRIPTENV_MAX = 29;

// Puts the QPK_* variables of the old and/or new package into the process
// environment (children inherit them) and returns them as NAME=value
// entries; empty when both records are null.
StrArr qpm_scriptenv_add(const qpk_info *old_qpi, const qpk_info *new_qpi);

// Removes the variables of `env` from the environment and empties it.
void qpm_scriptenv_del(StrArr &env);

// How a script from the stage is started.
enum class ScriptMode { Install, Update, UpdatePost };

// The command line of the stage script `script` (e.g. "00-add.sh") of the
// package at `p`, as the confined shell sees its paths.
std::string stage_script_line(const PackagePaths &p, ScriptMode mode, const char *script);

// Runs `command` labelled `script` with the script environment of the old
// and/or new package set for its length. The script's status.
int run_package_script(const qpm_handle *qpm, const char *script, const std::string &command,
                       const qpk_info *old_qpi, const qpk_info *new_qpi);

// Refreshes the library cache when a verified file was a shared library,
// and clears the flag. True when it ran.
bool refresh_library_cache();

// Hook commands of the "99-cfg" moment that match the package's files.
StrArr configure_hooks(const qpm_handle *qpm, const qpk_info &qpi, const StrArr &data_files,
                       const PackageFiles &files);

// Runs the configure scripts collected in `record.scripts` and files its
// hook commands in `record.qpm_hookcmds`. 0.
int qpm_scripts_exe(qpm_handle *qpm, qpt &record);

} // namespace qpm
