#pragma once
// Bootstrapping a new inventory: its configuration file, its directories, a
// check of the chosen catalogue backend, and busybox in the script directory
// (package scripts run with that busybox's ash).
#include "record/ekva.h"

#include <string>

namespace qpm {

// Boot option keys and their defaults.
constexpr const char *BOOT_DIST_NAME = "QGL";
constexpr const char *BOOT_DIST_VERS = "2.7";
constexpr const char *BOOT_BUSYBOX = "/bin/busybox";
// Catalogue set-up, beyond the inventory itself: the plug-in file copied into
// /usr/lib/qpm under the backend's name, and the directories (':'-separated)
// written to /etc/qpc-dirs.conf.
constexpr const char *BOOT_QPC_PLUGIN = "qpc_plugin";
constexpr const char *BOOT_QPC_DIRS = "qpc_dirs";
constexpr const char *BOOT_DEFAULT_BACKEND = "qpc-dirs.so";

struct BootFlags {
    bool force = false;   // no confirmation
    bool verbose = false;
};

// Makes the inventory at `root` described by the configuration file
// `conf_path` (neither may exist yet). `options` (may be null) holds the boot
// options. Under a system root the root's /etc and /var/log are made too;
// with qpc_plugin / qpc_dirs the catalogue plug-in and its directory list
// (neither may exist yet). 0 on success or when the user declines; -1 on
// failure, after which nothing that boot made is left behind.
int qpm_boot(const std::string &root, const std::string &conf_path, const Ekva *options,
             const BootFlags &flags);

} // namespace qpm
