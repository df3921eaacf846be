#pragma once
// The plug-in's voice: every message goes through the log handle the host
// passed to qpc_connect, and none is written before it did.
#include "util/log.h"

namespace qpm::http {

extern LogHandle *plugin_log;

void plog(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

} // namespace qpm::http
