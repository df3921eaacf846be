#pragma once
// The inventory handle: target architecture, distribution identity, the paths
// of the inventory's sub-directories and the hook definitions. A front end
// opens it once, locks it for a transaction and closes it.
#include "package/handle.h"

#include <string>

namespace qpm {

// A new handle for the inventory at `root` with the configuration at
// `conf_path`; null (after a message on standard error) on failure. A null
// argument takes the default (the inventory or the configuration file of the
// system path table) under the system root; a given one is used as it is.
// Hooks come from the hook directory under the system root.
QpmPtr qpm_open(const char *root, const char *conf_path);

// Gives the lock up when the handle holds it and frees the handle. Under
// the lock, what the run registered is synced first (sync_registered): 0,
// or -1 after a message when that failed (the lock is given up all the
// same).
int qpm_close(QpmPtr handle);

// The lock file, "%.245s/lock" on the root.
std::string qpm_lock_path(const qpm_handle *qpm);

// Takes the inventory lock without waiting: 0, or -1 after a message on
// standard error. A handle that holds the lock already gets 0.
int qpm_lock(qpm_handle *qpm);

// Removes the lock file and gives the lock up: 0, also when the handle did
// not hold it; -1 when the file could not be removed (the lock is kept).
int qpm_unlock(qpm_handle *qpm);

} // namespace qpm
