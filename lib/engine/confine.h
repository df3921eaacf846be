#pragma once
// Commands of packages and hooks under a system root. Without a system root
// they run through the host's shell exactly as written. With one, they run
// confined to it: in their own mount, PID, IPC and UTS namespaces, with the
// root as `/` (pivot_root, the host's tree detached), a /proc of their own,
// a minimal read-only /dev, no_new_privs and a reduced capability set; the
// line runs with the inventory's own ash, and every path in the line is the
// path as seen from inside. The root's own tree stays as it was: mounts end
// with the run. When the confinement cannot be made (not root, no ash in the
// inventory, the kernel refuses) the command is not run on the host at all:
// it fails.
#include <string>
#include <string_view>

namespace qpm {

struct qpm_handle;

// `host_path` as the commands see it: unchanged without a system root, the
// root prefix removed with one.
std::string root_view(std::string_view host_path);

// A package script: captured, logged and passed on as qpm_system does.
int qpm_run_script(const qpm_handle *qpm, const char *label, const std::string &command);

// A command whose output goes straight to our terminal (configure scripts,
// hook commands). Returns a wait status as system() does.
int qpm_run_command(const qpm_handle *qpm, const std::string &command);

// Refreshes the shared library cache: "/sbin/ldconfig 2>/dev/null" on the
// host; for a system root the host's (static) ldconfig runs confined to it,
// its errors dropped. Returns a wait status.
int qpm_run_ldconfig();

// Where a run notes, while it stands, a mount point NAME ("proc", "dev") it
// made in the system root for its commands; a marker found by a later run
// means the directory is a leftover of a stopped one.
std::string qpm_confine_made_marker(const std::string &name);

// The status a command gets when it could not be confined (as a shell
// reports a command that could not be executed).
constexpr int CONFINE_FAILED_STATUS = 127 << 8;

} // namespace qpm
