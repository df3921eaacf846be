#pragma once
// Removing installed packages: planning (who still needs the package, which
// of its dependencies go along) and carrying the plan out, one package at a
// time. Each removal saves the package's files in its stage directory
// through a file transaction first, so a failing post-delete script puts
// every file back and leaves the package registered.
#include "engine/deps.h"

#include <string>

namespace qpm {

struct qpm_handle;
struct qpk_info;

// The `mode` of qpm_pre_delete that removes the package alone.
constexpr int QPM_DELETE_ALONE = 2;

// Plans the removal of the installed package `name`: refused (null, with a
// line on the terminal for each package that still needs it) when another
// installed package depends on it, unless that package was installed for
// it. Unless `mode` is QPM_DELETE_ALONE the dependencies that nothing else
// needs go along. The record (action 'D') is also left in `out`; null (and
// `out` empty) when the package is not installed or cannot be removed.
qpt *qpm_pre_delete(qpm_handle *qpm, const std::string &name, int mode, QptPtr &out);

// Removes the planned package, then its dependencies in list order, writing
// one action-log line after each. 0; -1 without the inventory lock; else the
// result of the removal that failed (those before it stay removed).
int qpm_exe_delete(qpm_handle *qpm, qpt &record);

// Removes one installed package: pre-delete script, its indexed files (each
// saved before it goes), post-delete script, its links, then its file index
// and record. 0; -1 when a file could not be saved (everything restored);
// or the status of the script that failed (after the post-delete script:
// every file restored, the record and index kept).
int qpm_one_delete(qpm_handle *qpm, const qpk_info &info);

// Every installed package whose dependency list names `info`, each once, in
// directory order; empty when there is none or the inventory cannot be read.
QpiList qpm_chk_delete_reqs(const qpm_handle *qpm, const qpk_info &info);

// Appends to `deps` the dependencies of `info` that can go with it (each
// followed by what it brings along, depth first) and keeps `count` equal to
// their number. A dependency stays when the user asked for it, when it was
// installed for a package that stays, or when a package that stays needs
// it; packages already in `deps` and `info` itself are going. 0, or 99 when
// a nested check failed.
int qpm_chk_delete_deps(const qpm_handle *qpm, const qpk_info &info, int &count, QpdList &deps);

} // namespace qpm
