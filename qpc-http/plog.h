#pragma once
// The plug-in's voice: every message goes through the log handle the host
// passed to qpc_connect (log_to(plugin_log, ...)), and none is written
// before it did.
#include "util/log.h"

namespace qpm::http {

extern LogHandle *plugin_log;

} // namespace qpm::http
