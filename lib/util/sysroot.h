#pragma once
// The system root. Every fixed system path (/etc/qpm.conf, /var/lib/qpm, ...)
// and every installed file path is resolved here, under the root read once
// from QPM_ROOT. Unset, empty or "/" means the real root and the paths
// exactly as written. Nothing else reads QPM_ROOT.
#include <string>
#include <string_view>

namespace qpm {

// The root prefix without a trailing slash; "" for the real root.
const std::string &system_root();

// `path` (absolute, as the system knows it) as seen from this process.
std::string root_path(std::string_view path);

// True when a system root other than "/" is in force.
bool have_system_root();

// A set-user-id run must not let the user choose where root reads its
// configuration, keys and plug-in: pin the real root, whatever QPM_ROOT says.
void system_root_pin_real();

// Tests only: forget the cached value so the next call reads QPM_ROOT again.
void system_root_reset_for_tests();

} // namespace qpm
