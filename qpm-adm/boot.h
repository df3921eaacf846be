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

struct BootFlags {
    bool force = false;   // no confirmation
    bool verbose = false;
};

// Makes the inventory at `root` described by the configuration file
// `conf_path` (neither may exist yet). `options` (may be null) holds the boot
// options. 0 on success or when the user declines; -1 on failure, after
// which neither the configuration file nor the root is left behind.
int qpm_boot(const std::string &root, const std::string &conf_path, const Ekva *options,
             const BootFlags &flags);

} // namespace qpm
