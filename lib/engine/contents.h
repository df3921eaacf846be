#pragma once
// What an installed package holds on the system: its data files (the file
// index), its configuration files (the record's configuration hash list) and
// its symbolic links (the record's links list), and which package holds a
// given path.
#include "package/handle.h"

#include <optional>
#include <string>
#include <vector>

namespace qpm {

// Kinds of entry, as the front end marks them.
constexpr char QPM_ENTRY_DATA = 'd';
constexpr char QPM_ENTRY_CONF = 'c';
constexpr char QPM_ENTRY_LINK = 'l';

struct PackageEntry {
    char kind = QPM_ENTRY_DATA;
    std::string path;   // a path on the target system
    std::string target; // links only: what the link holds
};

// The entries of the installed package `name`: data files in index order,
// then configuration files, then links, each in list order. Empty when the
// package is not installed or holds nothing.
std::vector<PackageEntry> qpm_qpl_contents(const qpm_handle *qpm, const std::string &name);

struct PathOwner {
    std::string package;
    PackageEntry entry;
};

// The installed package that holds `path` (a path on the target system) as
// a data file, configuration file or link, exactly as listed (the file need
// not exist); failing that, the package holding what the path leads to
// inside the system root. nullopt when none does.
std::optional<PathOwner> qpm_path_owner(const qpm_handle *qpm, const std::string &path);

} // namespace qpm
