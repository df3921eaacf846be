#pragma once
// The system root. Every fixed system path (/etc/qpm.conf, /var/lib/qpm, ...)
// and every installed file path is resolved here, under the root read once
// from QPM_ROOT. Unset, empty or "/" means the real root and the paths
// exactly as written. Nothing else reads QPM_ROOT.
#include "util/rootfs.h"

#include <optional>
#include <string>
#include <string_view>

namespace qpm {

// The fixed system paths, each written once here; callers put them under
// the system root with root_path().
namespace syspath {
inline constexpr const char *config = "/etc/qpm.conf";
inline constexpr const char *qpc_dirs_config = "/etc/qpc-dirs.conf";
inline constexpr const char *qpc_http_config = "/etc/qpc-http.conf";
inline constexpr const char *cache_dir = "/var/cache/qpm";
inline constexpr const char *hooks_dir = "/etc/qpm/hooks.d";
inline constexpr const char *inventory = "/var/lib/qpm";
inline constexpr const char *action_log_name = "install.log"; // in the inventory
inline constexpr const char *log_file = "/var/log/qpm.log";
inline constexpr const char *plugin_dir = "/usr/lib/qpm";
inline constexpr const char *ldconfig = "/sbin/ldconfig";
} // namespace syspath

// The root prefix without a trailing slash; "" for the real root.
const std::string &system_root();

// `path` (absolute, as the system knows it) as seen from this process.
std::string root_path(std::string_view path);

// The system path of `seen`, a path under the system root as this process
// sees it (root_path's inverse); nullopt when it does not lie under the root.
std::optional<std::string> system_path_of(std::string_view seen);

// `path` (a path on the target system) with every symbolic link followed
// inside the system root, as realpath does on the real root: an absolute
// link target starts again at the root and ".." never leaves it. The result
// is a system path; nullopt when a component is missing or links loop.
std::optional<std::string> root_resolve(std::string_view path);

// True when `path` exists on the target system, its links followed inside
// the system root (never on the host). A dangling link does not exist.
bool root_exists(std::string_view path);

// root_exists for many paths of a tree that does not change meanwhile: each
// directory is opened once (a check of thousands of files stays at about
// one fstatat per file, none in a directory that is missing). Given the
// directories of the transaction that follows, what it saw stays there for
// the writes.
class RootLookup {
public:
    RootLookup() : m_dirs(m_own) {}
    explicit RootLookup(RootDirs &dirs) : m_dirs(dirs) {}
    RootLookup(const RootLookup &) = delete;
    RootLookup &operator=(const RootLookup &) = delete;

    bool exists(const std::string &path);

private:
    RootDirs m_own;
    RootDirs &m_dirs;
};

// True when a system root other than "/" is in force.
bool have_system_root();

// A set-user-id run must not let the user choose where root reads its
// configuration, keys and plug-in: pin the real root, whatever QPM_ROOT says.
void system_root_pin_real();

// Tests only: forget the cached value so the next call reads QPM_ROOT again.
void system_root_reset_for_tests();

} // namespace qpm
