#pragma once
// Unpacked package trees: the per-tree hash lists, hashing a tree on disk,
// the permissions and links lists, copying or moving one file with a
// backup, the data tree of a package file, and making, measuring and
// removing directories.
//
// Paths handed to these functions are paths as this process sees them: a
// caller installing a package file at PATH passes root_path(PATH). The
// entries of the permissions and links lists are system paths and are put
// under the system root here.
#include "record/ekva.h"
#include "util/strarr.h"

#include <optional>
#include <string>
#include <sys/types.h>

namespace qpm {

struct qpm_handle;

// Hash lists in memory: an ekva (capacity 100, kind 3) whose keys are the
// 40-digit SHA-1 texts and whose values are the paths within the tree, each
// with a leading '/'.
constexpr int QPF_HASHES_CAPACITY = 100;
constexpr int QPF_HASHES_KIND = 3;

// Reads DIRECTORY/hash/TREE.txt into a new `list`. 0, also for a missing
// file (then `list` is left alone); -1 for a file that cannot be read or at
// the first malformed line (the entries before it stay in `list`).
int qpm_qpf_qpk_hashes(const std::string &directory, const std::string &tree, EkvaPtr &list);

// Hashes every file below ROOT/SUBPATH into `list` (made when null).
// `subpath` is "" on the first call. Only regular files and directories may
// be in a tree: a symbolic link, FIFO, socket or device fails the walk.
// 0, or -1.
int qpm_qpf_hash_files(const std::string &root, const std::string &subpath, EkvaPtr &list);

// Applies the permissions list at `path`. -1 when it cannot be opened,
// otherwise the result of the last mode change made (0 when none was made).
// A symbolic link is never followed, modes above 07777 are refused, and
// under a system root a path that leads out of it is refused.
int qpm_qpf_perms(const std::string &path);

// Applies the links list at `path`: `remove` removes the symbolic links it
// names, `create` makes them. The working directory is changed while it
// runs and restored before it returns. Lines before the first one naming a
// directory, names that are paths, and (under a system root) directories
// that lead out of the root are skipped. -1 when the working directory cannot
// be read or restored or the list cannot be opened; otherwise the result of
// the last file-system step.
int qpm_qpf_links(const std::string &path, int remove, int create);

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

// Puts `source` at `target` by renaming it: the target then has the
// source's permission bits, as a copy with `mode` 1 gives them, and the
// source is gone. The backup contract is qpm_qpf_copy's (BASE+TARGET,
// listed in BASE/index.txt, a first backup kept), but the saved target is a
// hard link to it where one can be made. When the rename cannot be made
// (another file system, ...), and for a source that is not a regular file
// of one name, the source is copied instead and stays. The byte count, or -1.
long long qpm_qpf_move(const std::string &target, const std::string &source,
                       const std::optional<std::string> &backup_base);

// The payload paths of a package file that begin with "data/", without the
// leading "data", in archive order; nothing when the file or its payload
// cannot be read to the end. The handle is not consulted.
std::optional<StrArr> qpm_qpf_index(const qpm_handle *qpm, const std::string &path);

// Saves the regular file or symbolic link at `target` as BASE+TARGET (a
// hard link where one can be made, else a copy; a link as a link) and lists
// it in BASE/index.txt, both complete before it returns; a target saved
// before keeps its first backup. 0, or -1 once logged (no backup listed).
int qpm_qpf_backup(const std::string &target, const std::string &backup_base);

// Makes `path` and its missing parents (the parents with 0755). 0, or -1
// when the last mkdir fails (an existing directory included).
int qpm_qpf_mkdir(const std::string &path, mode_t mode);

// Removes a file or a whole directory tree; 0 also when nothing is there.
int qpm_qpf_rmdir(const std::string &path);

// Adds to `total` the sizes of every non-directory entry below `path`.
int qpm_qpf_dudir(const std::string &path, long long &total);

// The address of the last character of `text` when it is `c`, else null.
const char *last_char_is(const char *text, int c);

} // namespace qpm
