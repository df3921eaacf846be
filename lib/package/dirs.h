#pragma once
// Making, removing and measuring directories. Paths are paths as this
// process sees them.
#include <string>
#include <sys/types.h>

namespace qpm {

// Makes `path` and its missing parents (the parents with 0755). 0, or -1
// when the last mkdir fails (an existing directory included).
int qpm_qpf_mkdir(const std::string &path, mode_t mode);

// Removes a file or a whole directory tree; 0 also when nothing is there.
int qpm_qpf_rmdir(const std::string &path);

// Removes everything in the directory `path`, which stays (never through a
// link). 0, or -1 when it is no directory or something could not go.
int qpm_qpf_empty_dir(const std::string &path);

// Adds to `total` the sizes of every non-directory entry below `path`.
int qpm_qpf_dudir(const std::string &path, long long &total);

// The address of the last character of `text` when it is `c`, else null.
const char *last_char_is(const char *text, int c);

} // namespace qpm
