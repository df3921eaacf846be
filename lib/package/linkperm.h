#pragma once
// The permissions list (info/perm.txt) and the links list (info/link.txt) of
// an unpacked package, applied to the system. The lists are read at paths as
// this process sees them; their entries are system paths and are put under
// the system root here. Under a system root nothing they name may lead out
// of it.
#include <string>

namespace qpm {

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

} // namespace qpm
