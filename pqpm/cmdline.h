#pragma once
// pqpm's command line: action words, argument layout, option help and the
// rights check. Nothing here reads a file of the system.
#include "record/ekva.h"
#include "util/strarr.h"

#include <string>

namespace qpm {

// Mode numbers; the same numbers select the option help.
constexpr int PQPM_ALLOWED = 0;
constexpr int PQPM_INSTALL = 1;
constexpr int PQPM_UPGRADE = 2;
constexpr int PQPM_REFRESH = 3;
constexpr int PQPM_CLEANUP = 4;

constexpr size_t PQPM_OPTION_MAX = 1024;

struct PqpmArgs {
    int mode = -1;
    std::string option_text; // at most PQPM_OPTION_MAX characters
    StrArr packages;         // install and upgrade only
    StrArr requests;         // what the engine gets for each of `packages`
};

// The mode of an action word (exact, case-sensitive), or -1.
int pqpm_mode(const char *action);
// Option text and package names by the layout rules; argv[1] is the action.
PqpmArgs pqpm_parse_args(int mode, int argc, const char *const *argv);

void pqpm_usage();
void qpm_opt_help(int mode);
// 1 when the caller may use pqpm, 0 when refused (message on stderr).
int pqpm_allowed();

// A set-user-id run (real user id not 0): keep only harmless environment
// variables, a fixed PATH, and the real system root.
void pqpm_sanitize_environment();
// Descriptors 0-2 open (else /dev/null), so nothing we open becomes one.
void pqpm_ensure_std_fds();

// The keys of `options` that the action of `mode` does not know (compared
// without regard to case), in their order; each is named once.
StrArr pqpm_unknown_options(int mode, const Ekva *options);
// Warns on standard error, one line per key, of the keys above; the run goes on.
void pqpm_warn_unknown_options(int mode, const Ekva *options);

const char *qpm_get_variant(const Ekva *options);
const char *qpm_get_version(const Ekva *options);
int qpm_get_outform(const Ekva *options);

} // namespace qpm
