#pragma once
// One install request: planning it (which packages, from where, in which
// order) without touching the system, then fetching every package file into
// the stage area, installing the dependencies and the package, logging each
// success and running the deferred configure scripts.
#include "engine/backend.h"
#include "engine/deps.h"
#include "util/strarr.h"

#include <optional>
#include <string>

namespace qpm {

struct qpm_handle;

// Plans the install of `request` (a package name, or the path of a package
// file): the new transaction record, also left in `out`; null (and `out`
// empty) when it is installed already, not found, or cannot be installed.
// `directories` are searched for package files of dependencies.
qpt *qpm_pre_install(qpm_handle *qpm, QpcConnection connection, const std::string &request,
                     const std::optional<std::string> &variant, const std::optional<std::string> &version,
                     const StrArr &directories, QptPtr &out);

// Carries the planned transaction out. Requires the inventory lock. 0 when
// the package is installed (or was already); -1 when the lock is not held
// or a package file could not be fetched; else the non-zero result of the
// install that failed (the dependencies installed before it stay).
// With `fastclean`, each staged package file is removed once installed.
int qpm_exe_install(qpm_handle *qpm, qpt &record, QpcConnection connection, int verbose, int fastclean);

} // namespace qpm
