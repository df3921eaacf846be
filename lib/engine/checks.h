#pragma once
// The checks that run on an unpacked package before anything on the system
// changes: every unpacked file against the package's hash lists, and the
// files the package will write against the files already on disk (owned by
// another package: stop; owned by none: leave or replace, as the user says).
//
// File lists hold paths relative to their tree, beginning with "/", which are
// also the paths on the target system (found under the system root). An
// empty list plays the part of "no list".
#include "package/stage_writer.h"
#include "util/strarr.h"

#include <string>

namespace qpm {

struct qpm_handle;
class RootDirs;

// The answers offered when a file that belongs to no package is in the way;
// an answer in capitals holds for the rest of the check.
constexpr const char *QPM_CHK_EXISTING_OPTIONS =
    "l=leave existing file,L=Leave all existing files,r=replace existing file,"
    "R=Replace all existing files,a=abort installation";

// Verifies the five trees of the unpacked package at `new_tree` (data, info,
// init, conf, dump, in that order) and yields each tree's verified paths.
// 0, or the result of the first tree that failed (all outputs then empty).
// With `unpacked` (the record of the unpacking into `new_tree`) the files
// are not read again: their digests come from the record.
int qpm_chk_all_files(const std::string &new_tree, StrArr &data_files, StrArr &info_files,
                      StrArr &init_files, StrArr &conf_files, StrArr &dump_files,
                      const UnpackedFiles *unpacked = nullptr);

// Verifies the tree NEW_TREE/TREE against NEW_TREE/hash/TREE.txt: every file
// must be listed under its path with its exact SHA-1, and every listed file
// must be there. Sets `have_so` for a path matching "*.so.*". 0 with the
// verified paths in `files` (empty for a tree without files); the number of
// files that failed; or the failing hashing or hash-list step's result.
int qpm_chk_sub_files(const std::string &new_tree, const std::string &tree, StrArr &files,
                      const UnpackedFiles *unpacked = nullptr);

// Decides for a fresh install which of `new_files` (the data files) are
// written: missing ones are; one owned by an installed package aborts; one
// owned by no package is left or replaced as the user chooses (default:
// replace). 0 with the paths to write in `add_files`, or -1 (then empty).
int qpm_chk_local_insert(const qpm_handle *qpm, const StrArr &new_files, StrArr &add_files);
// The same, looking through `system`: what it saw stays there for the
// transaction that writes the files.
int qpm_chk_local_insert(const qpm_handle *qpm, const StrArr &new_files, StrArr &add_files, RootDirs &system);

// The same for an update from `old_files` (the installed file index) to
// `new_files`: files of the old version are simply replaced, and
// `del_files` receives the old files still on disk that the new version no
// longer ships. 0, or -1 (both outputs then empty). Both outputs keep the
// order of their input lists.
int qpm_chk_local_update(const qpm_handle *qpm, const StrArr &old_files, const StrArr &new_files,
                         StrArr &del_files, StrArr &add_files);
int qpm_chk_local_update(const qpm_handle *qpm, const StrArr &old_files, const StrArr &new_files,
                         StrArr &del_files, StrArr &add_files, RootDirs &system);

// What becomes of one configuration file of a package.
enum class ConfFileAction {
    InstallMissing,      // not on the system: install it
    KeepExisting,        // on the system (fresh install, or no copy of the old version to compare)
    KeepModified,        // changed since the installed version shipped it: keep
    OverwriteUnmodified, // as the installed version shipped it: overwrite
};

// The rule for the configuration file `path` of package `name`: a fresh
// install (`update` false) never touches an existing file; an update
// replaces it only when it is byte for byte the copy that the installed
// version shipped (kept under installed/NAME/conf).
ConfFileAction qpm_chk_conf_file(const qpm_handle *qpm, const std::string &name, const std::string &path,
                                 bool update);

} // namespace qpm
