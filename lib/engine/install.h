#pragma once
// Installing one package file from the stage area, in four phases: stage
// (unpack with the signature checked, verify every file against the
// package's hash lists), scripts (pre-install), apply (data and
// configuration files, links, modes: through one file transaction) and
// register (record and file index), then the post-install script, the
// library cache and the queued configure script and hooks. Anything that
// fails after the first file was written is undone by the transaction.
#include "engine/scripts.h"
#include "util/strarr.h"

#include <string>

namespace qpm {

struct qpm_handle;
struct qpk_info;
struct qpt;

// Installs the package of `qpi` (the transaction's own package or one of its
// dependencies) from its staged file "<stagearea>/<puname>.qpk". `head` is
// the package that required it, or its own name when the user asked for it.
// Configure scripts and hook commands are collected in `record.scripts`.
// 0; the non-zero result of the unpacking, checking or script step that
// failed; or -1.
int qpm_install_qpk(qpm_handle *qpm, qpt &record, const qpk_info *qpi, const std::string &head, int verbose);

// Removes the `files` (paths as this process sees them, under the system
// root) and copies back every file listed in BACKUP_TREE/index.txt, each
// reached inside the system root. 0, or -1 when a backup could not be
// restored (the others still are).
int qpm_install_rollback(const StrArr &files, const std::string &backup_tree);

} // namespace qpm
