#pragma once
// Which packages are there and which one is taken: the catalogue (through the
// backend, or the cache filled from it once per run), directories of package
// files, and the inventory of installed packages. `qpm_findone` holds the
// rules that pick one build among all builds of a name.
#include "engine/backend.h"
#include "engine/inventory.h"
#include "package/qpk_info.h"
#include "util/strarr.h"

#include <optional>
#include <string>

namespace qpm {

// The selector every engine search hands to the backend.
constexpr int QPM_SELECTOR = 5;

// The catalogue cache: every package the backend offers, sorted by name,
// filled once per run by the front end. Empty means "not filled": searches
// then go to the backend.
extern QpiList qpc_cache;

// The full catalogue, as the backend gives it (empty when it offers nothing).
QpiList qpm_qpc_cache_fill(QpcConnection connection);

// Releases every record of `cache` and empties it; a null pointer is ignored.
void qpm_cache_free(QpiList *cache);

// Catalogue records passing `qpm_qpi_match` (kind 1), as copies sorted by
// name, into `out`; returns their number. Searches the cache when it is
// filled, the backend otherwise; a null connection finds nothing.
int qpm_findpkg(QpcConnection connection, const std::optional<std::string> &pattern,
                const std::optional<std::string> &variant, const std::optional<std::string> &version,
                int selector, const Ekva *attributes, QpiList &out);

// Among the records of `list` named exactly `name`, the index of the one the
// variant and version rules choose, or -1. `variant`: nullopt asks for none
// (the default variant, or failing that one single other variant), "" or
// "default" for the default variant only, anything else for that variant.
int qpm_findone(const std::string &name, const std::optional<std::string> &variant, const QpiList &list);

// The catalogue build of `name` that `qpm_findone` chooses among those of an
// architecture the inventory accepts ("any" or the handle's), or null.
QpiPtr qpm_findone_qpc(const qpm_handle *qpm, const std::string &name, const std::optional<std::string> &variant,
                       const std::optional<std::string> &version, QpcConnection connection);

// Package files named `name` of an acceptable architecture and variant in
// the directories (files in name order), with their URIs set; empty when
// there is none or no directory is given.
QpiList qpm_findall_dirs(const qpm_handle *qpm, const std::string &name, const std::optional<std::string> &variant,
                         const StrArr &directories);

// The record `qpm_findone` chooses among `qpm_findall_dirs`; `version` is not
// used.
QpiPtr qpm_findone_dirs(const qpm_handle *qpm, const std::string &name, const std::optional<std::string> &variant,
                        const std::optional<std::string> &version, const StrArr &directories);

// Catalogue records whose name is not installed (with `newest`, only the
// build `qpm_findone` would choose for its name and variant), copied into
// `out`; returns their number.
int qpm_findpkg_new(const qpm_handle *qpm, QpcConnection connection, const std::optional<std::string> &pattern,
                    const std::optional<std::string> &variant, const Ekva *attributes, int newest, QpiList &out);

// The installed package `name` with its install record, or null when it is
// not installed (a name that could leave the inventory directory never is).
QpiPtr qpm_qpl_info(const qpm_handle *qpm, const std::string &name);

// Names of the installed packages (sorted by strcmp with `sort`); empty when
// there are none or the inventory cannot be read.
StrArr qpm_list_arr(const qpm_handle *qpm, int sort);

// Installed packages whose name, or failing that description, matches the
// shell wildcard `pattern` (all when nullopt), into `out`; returns their
// number.
int qpm_list_qpi(const qpm_handle *qpm, const std::optional<std::string> &pattern, int sort, QpiList &out);

// The paths listed in the package's file index, in order; empty when it has
// none.
StrArr qpm_qpl_file_list(const qpm_handle *qpm, const qpk_info *qpi);
StrArr qpm_qpl_index(const qpm_handle *qpm, const std::string &name);

// The installed package whose file index lists `path` (a path on the target
// system; a symbolic link counts as the file it leads to), or nullopt.
// Looks up an index of every file index, read once and read again when the
// file index directory changes.
std::optional<std::string> qpm_file_owner(const qpm_handle *qpm, const std::string &path);

// Drops the index of `qpm_file_owner`. Code that rewrites a file index in
// place calls it, so the next look-up reads the indexes again.
void qpm_file_owner_forget();

// "installed", "available remotely", "available locally" for 'I', 'R', 'L';
// "unavailable" for anything else.
const char *qpk_stat_desc(char status);

} // namespace qpm
