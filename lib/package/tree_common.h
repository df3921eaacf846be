#pragma once
// What the hash lists, the permissions and links lists and the file copies
// share. Internal to lib/package.
#include "util/raii.h"

#include <string>

namespace qpm::tree_detail {

// Opens a list file of a package tree for reading. Only a regular file is
// read: a FIFO planted in a package would otherwise block us for ever. Null
// with errno (EISDIR for a directory, EINVAL for anything else not regular).
FilePtr open_list(const std::string &path);

// The part of `path` before its last '/'; empty when there is none.
std::string dir_of(const std::string &path);

} // namespace qpm::tree_detail
