#pragma once
// One update request: deciding whether an installed package has a newer
// build (in the catalogue, or a package file given whatever its version),
// resolving what the new version needs, then fetching every package file,
// installing the new dependencies, updating the package and running the
// deferred configure scripts.
#include "engine/backend.h"
#include "engine/deps.h"
#include "util/strarr.h"

#include <optional>
#include <string>

namespace qpm {

struct qpm_handle;

// The result of qpm_exe_update for a package that was not processed.
constexpr int QPM_UPDATE_SKIPPED = 99;

// Why qpm_pre_update planned nothing: only NothingToDo is no failure.
enum class UpdatePlan { Planned, NothingToDo, NotInstalled, NotFound, Unresolved, Invalid };

// Plans the update of `name` (an installed package's name, or the path of a
// package file of one): the new transaction record (action 'U'), also left
// in `out`; null (and `out` empty) when there is nothing to update or the
// update is impossible (`outcome`, when given, says which). The variant
// defaults to the installed one.
qpt *qpm_pre_update(qpm_handle *qpm, QpcConnection connection, const std::string &name,
                    const std::optional<std::string> &variant, const std::optional<std::string> &version,
                    const StrArr &local_files, QptPtr &out, UpdatePlan *outcome = nullptr);

// Carries the planned update out. Requires the inventory lock. 0 on
// success; -1 when the lock is not held or a package file could not be
// fetched; 99 when the package was skipped; else the non-zero result of
// the install or update that failed. With `fastclean`, each staged package
// file is removed once its package is in place.
int qpm_exe_update(qpm_handle *qpm, qpt &record, QpcConnection connection, int verbose, int fastclean);

} // namespace qpm
