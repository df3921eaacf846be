#pragma once
// Copying or moving one file into place with a backup first: the backup
// area is BASE+TARGET for every saved target, listed in BASE/index.txt, from
// which a rollback copies them back. Paths are paths as this process sees
// them: a caller installing a package file at PATH passes root_path(PATH).
// Under a system root the backup is named, and listed, by the target's
// path inside the root (its system path), so the backup tree does not
// repeat the root's own prefix.
#include <fcntl.h>
#include <optional>
#include <string>

namespace qpm {

// A file to write: the name `name` in the directory `dir` (a descriptor,
// or AT_FDCWD with `name` a whole path), shown as `shown` in messages and
// saved as BASE+SHOWN. Only the last component is acted on: a directory
// opened inside the system root keeps every write inside it.
struct FileAt {
    int dir = AT_FDCWD; // borrowed
    std::string name;
    std::string shown;

    static FileAt path(const std::string &path) { return {AT_FDCWD, path, path}; }
};

// Copies `source` to `target` and returns the byte count, or -1.
// `mode` 1 gives the copy the source's permission bits, above 1 is the bits
// themselves, 0 or less leaves the bits of a newly created file.
// With a `backup_base`, an existing regular file or symbolic link at
// `target` is first saved whole as BASE+TARGET and TARGET is appended to
// BASE/index.txt; a target saved before keeps its first backup. The copy is
// written beside the target and renamed over it. A source that is a
// symbolic link is copied as a link (0 bytes), so a rollback that copies
// BASE+TARGET back to TARGET restores a link as a link.
long long qpm_qpf_copy(const std::string &target, const std::string &source,
                       const std::optional<std::string> &backup_base, int mode);
long long qpm_qpf_copy(const FileAt &target, const std::string &source,
                       const std::optional<std::string> &backup_base, int mode);

// Puts `source` at `target` by renaming it: the target then has the
// source's permission bits, as a copy with `mode` 1 gives them, and the
// source is gone. The backup contract is qpm_qpf_copy's (BASE+TARGET,
// listed in BASE/index.txt, a first backup kept), but the saved target is a
// hard link to it where one can be made. When the rename cannot be made
// (another file system, ...), and for a source that is not a regular file
// of one name, the source is copied instead and stays. The byte count, or -1.
long long qpm_qpf_move(const std::string &target, const std::string &source,
                       const std::optional<std::string> &backup_base);
long long qpm_qpf_move(const FileAt &target, const std::string &source,
                       const std::optional<std::string> &backup_base);

// Saves the regular file or symbolic link at `target` as BASE+TARGET (a
// hard link where one can be made, else a copy; a link as a link) and lists
// it in BASE/index.txt, both complete before it returns; a target saved
// before keeps its first backup. 0, or -1 once logged (no backup listed).
int qpm_qpf_backup(const std::string &target, const std::string &backup_base);
int qpm_qpf_backup(const FileAt &target, const std::string &backup_base);

} // namespace qpm
