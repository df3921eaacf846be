#pragma once
// Fault points for the tests of crash and failure handling. The variable
// QPM_FAULT names one point ("install:apply"): a step that passes it fails
// there as if its own work had failed; "kill@install:apply" ends the process
// with SIGKILL there instead, as a crash or power cut would. A set-user-id
// run never sees the variable (its environment is cleared first).
#include <string_view>

namespace qpm {

// True when the run is to fail at `point`; does not return when it is to
// be killed there.
bool fault_point(std::string_view point);

} // namespace qpm
