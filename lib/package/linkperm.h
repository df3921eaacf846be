#pragma once
// The permissions list (info/perm.txt) and the links list (info/link.txt) of
// an unpacked package, applied to the system. The lists are read at paths as
// this process sees them; their entries are system paths, reached inside
// the system root: no link or ".." on the way leads out of it.
#include <string>

namespace qpm {

// Applies the permissions list at `path`. -1 when it cannot be opened,
// otherwise the result of the last mode change made (0 when none was made).
// A symbolic link in the entry's place is never followed, and modes above
// 07777 are refused.
int qpm_qpf_perms(const std::string &path);

// Applies the links list at `path`: `remove` removes the symbolic links it
// names, `create` makes them, in the directory named last (made when it is
// missing; a relative one is taken from the one before). Lines before the
// first one naming a directory, and names that are paths, are skipped. -1
// when the list cannot be opened; otherwise the result of the last
// file-system step.
int qpm_qpf_links(const std::string &path, int remove, int create);

} // namespace qpm
