#pragma once
// The repository index of a directory of package files: every "*.qpk" in it
// described in one signed QPKINDEX file beside them, which clients fetch
// instead of reading the packages.
#include "builder.h"

#include <cstdint>
#include <optional>
#include <string>

namespace qpm {

struct IndexOptions {
    std::string repo_dir;
    // The repository signer (key and certificate paths or texts, or no_sign).
    PackOptions signer;
    // The creation time; by default now, or one second after the time of the
    // index the directory holds when that is not older (clients refuse an
    // index older than theirs, so times only move forward).
    std::optional<int64_t> created;
};

struct IndexResult {
    std::string path;  // "<repo_dir>/QPKINDEX"
    int packages = 0;
    int64_t created = 0;
    std::string error; // one line saying why nothing was written; empty on success

    bool ok() const { return error.empty(); }
};

// Writes the index. A file that is not a package file is an error: nothing is
// written then, and the previous index stays.
IndexResult qpm_pack_index(const IndexOptions &options);

} // namespace qpm
