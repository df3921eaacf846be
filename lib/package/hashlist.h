#pragma once
// The per-tree hash lists of an unpacked package (hash/TREE.txt) and the
// hashing of a tree on disk. Paths are paths as this process sees them.
#include "package/stage_writer.h"
#include "record/ekva.h"

#include <string>

namespace qpm {

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
// `subpath` is "" on the first call. A tree holds regular files,
// directories, and symbolic links that lead to a regular file inside ROOT
// (hashed as that file, under the link's path); a link leading out of ROOT
// or to anything else, a FIFO, socket or device fails the walk. 0, or -1.
int qpm_qpf_hash_files(const std::string &root, const std::string &subpath, EkvaPtr &list);

// The same list for the tree DIRECTORY/TREE from the record of what was
// unpacked there (archive order): the digests taken while writing, read
// from the disk only where the record has none (links, hard links).
int qpm_qpf_hash_unpacked(const std::string &directory, const std::string &tree, const UnpackedFiles &files,
                          EkvaPtr &list);

} // namespace qpm
