#pragma once
// The file-owner index: which installed package's file index lists a path.
#include "package/handle.h"

#include <optional>
#include <string>

namespace qpm {

// The installed package whose file index lists `path` (a path on the target
// system; a symbolic link counts as the file it leads to), or nullopt.
// Looks up an index of every file index, read once and read again when the
// file index directory changes.
std::optional<std::string> qpm_file_owner(const qpm_handle *qpm, const std::string &path);

// Drops the index of `qpm_file_owner`. Code that rewrites a file index in
// place calls it, so the next look-up reads the indexes again.
void qpm_file_owner_forget();

} // namespace qpm
