#pragma once
// A set-user-id run (real user id not 0) becomes root completely, and the
// caller steers nothing of it: not its resource limits, not its groups, and
// not which files it reads for the caller. A run by root changes nothing here.
#include "util/raii.h"
#include "util/strarr.h"

#include <optional>

namespace qpm {

// True while the real user id is not 0 (before pqpm_become_root).
bool pqpm_setuid_run();

// Resets the resource limits the caller chose to root's own: no bound on
// file size, CPU time, address space and data, an 8 MiB stack at least, a
// sane number of open files, no core files. A limit that must be lifted
// and cannot be stops the run before it changes anything (false, with a
// message on standard error).
bool pqpm_reset_limits();

// Once nothing more is read with the caller's rights (~/.qpmrc): the
// effective group 0, so that files made before the lock (the log) are not
// the caller's group's. False, with a message, when it fails.
bool pqpm_root_group_for_new_files();

// After the lock: no supplementary groups, group 0, user 0, each checked.
// False, with a message on standard error, when one of them fails. Nothing
// to do in a run by root.
bool pqpm_become_root();

// In a set-user-id run, package files named on the command line (names
// ending in ".qpk") are opened with the caller's rights and copied, from
// that descriptor, into `copies` (a directory only root can read, made on
// first use); the copies are the requests to hand to the engine. A file
// the caller cannot open, or that is not a regular file, gets an empty
// request: missing or root-only, it is refused in the same words (see
// pqpm_refuse_unread), so the answer never tells what root could read.
// Other names, and every name in a run by root, are passed on unchanged.
StrArr pqpm_admit_package_files(const StrArr &packages, std::optional<TempDir> &copies);

// Reports a package file that was not admitted; false when `request` was.
bool pqpm_refuse_unread(const std::string &name, const std::string &request);

} // namespace qpm
