#pragma once
// The inventory handle: target architecture, distribution identity, the paths
// of the inventory's sub-directories and the hook definitions. A front end
// opens it once, locks it for a transaction and closes it.
#include "record/ekva.h"
#include "util/raii.h"

#include <memory>
#include <optional>
#include <string>

namespace qpm {

// Fixed system paths, put under the system root when used as defaults.
constexpr const char *QPM_DEFAULT_ROOT = "/var/lib/qpm";
constexpr const char *QPM_DEFAULT_CONF = "/etc/qpm.conf";

struct qpm_handle {
    int arch = 0;
    int locked = 0;
    std::string root;
    std::string conf_path;
    std::optional<std::string> dist_name;
    std::optional<std::string> dist_vers;
    EkvaPtr dirs;   // "installed", "stagearea", "fileindex", "certstore", "scriptdir"
    EkvaList hooks; // hook definitions; empty when there are none
    UniqueFd lock_fd; // held while locked

    qpm_handle() = default;
    qpm_handle(const qpm_handle &) = delete;
    qpm_handle &operator=(const qpm_handle &) = delete;
    // A handle that goes away without qpm_close still gives its lock up.
    ~qpm_handle();
};

using QpmPtr = std::unique_ptr<qpm_handle>;

// A new handle for the inventory at `root` with the configuration at
// `conf_path`; null (after a message on standard error) on failure. A null
// argument takes the default, "/var/lib/qpm" or "/etc/qpm.conf", under the
// system root; a given one is used as it is. Hooks come from the hook
// directory under the system root.
QpmPtr qpm_open(const char *root, const char *conf_path);

// Gives the lock up when the handle holds it and frees the handle; 0.
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
