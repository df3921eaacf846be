#pragma once
// Installing one package file from the stage area: unpack with the signature
// checked, verify every file against the package's hash lists, run the
// pre-install script, copy data and configuration files with backups, apply
// links and modes, run the post-install script and register the package.
// A failure after the first file was written is undone from the backups.
// Also the package scripts' environment, the deferred configure scripts and
// the rollback, which the update engine shares.
#include "util/strarr.h"

#include <string>

namespace qpm {

struct qpm_handle;
struct qpk_info;
struct qpt;

// Room of the script environment.
constexpr int QPM_SCRIPTENV_MAX = 29;

// Installs the package of `qpi` (the transaction's own package or one of its
// dependencies) from its staged file "<stagearea>/<puname>.qpk". `head` is
// the package that required it, or its own name when the user asked for it.
// Configure scripts and hook commands are collected in `record.scripts`.
// 0; the non-zero result of the unpacking, checking or script step that
// failed; or -1.
int qpm_install_qpk(qpm_handle *qpm, qpt &record, const qpk_info *qpi, const std::string &head, int verbose);

// Removes the `files` (paths as this process sees them) and copies back every
// file listed in BACKUP_TREE/index.txt. 0, or -1 when a backup could not be
// restored (the others still are).
int qpm_install_rollback(const StrArr &files, const std::string &backup_tree);

// Puts the QPK_* variables of the old and/or new package into the process
// environment (children inherit them) and returns them as NAME=value
// entries; empty when both records are null.
StrArr qpm_scriptenv_add(const qpk_info *old_qpi, const qpk_info *new_qpi);

// Removes the variables of `env` from the environment and empties it.
void qpm_scriptenv_del(StrArr &env);

// Runs the configure scripts collected in `record.scripts` and files its
// hook commands in `record.qpm_hookcmds`. 0.
int qpm_scripts_exe(qpm_handle *qpm, qpt &record);

} // namespace qpm
