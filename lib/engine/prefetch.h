#pragma once
// Fetching the package files of a transaction side by side, before the one-
// by-one fetch of the install run, when the backend offers it.
#include "engine/backend.h"

#include <string>

namespace qpm {

struct qpt;

// Hands every catalogue package of `record` that is not staged in
// `stagearea` yet to the backend's parallel fetch. Nothing when the backend
// has none. What it cannot fetch is left for the install run's own fetch,
// which reports it; returns the number fetched.
int qpm_prefetch(const qpt &record, const std::string &stagearea, QpcConnection connection);

} // namespace qpm
