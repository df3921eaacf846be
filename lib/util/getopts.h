#pragma once
// The table-driven option parser of the command-line tools (qpm-key and
// qpm-adm). Each call hands back one option code; the process-wide cursor
// `option_index` remembers where the next call looks.
#include <cstdio>
#include <optional>
#include <span>
#include <string>

namespace qpm {

struct GetoptsOption {
    int code;               // returned when met; never 0 nor negative
    const char *long_name;  // matched as --<long_name>; null: none
    const char *help;       // one line of usage text; null (with code 0) ends a table
    const char *short_name; // matched as -<short_name>; null: none
    int has_arg;            // 1: the next word is the option's argument
};

// Results of getopts besides an option's code.
constexpr int GETOPTS_END = 0;     // line exhausted, or the next word is not an option
constexpr int GETOPTS_NOMEM = -1;  // the argument could not be copied
constexpr int GETOPTS_UNKNOWN = -2; // unrecognised "-..." word, stored in `arg`
constexpr int GETOPTS_HELP = -3;    // the usage text was printed: the caller stops with status 0

// Index of the next command-line word to look at; starts at 1.
extern int option_index;
// Rewinds the cursor to the first argument (for a second parse, and tests).
void getopts_reset();

// One step of the parse. `arg` receives the option's argument (or the
// unrecognised word), else nullopt. A "-h" or "--help" anywhere on the line,
// a missing argument, or an argument that is itself an option prints the
// usage text (program name argv[0]) to standard output and returns
// GETOPTS_HELP; the caller then ends with status 0 without parsing on.
int getopts(int argc, char *const argv[], std::span<const GetoptsOption> table,
            std::optional<std::string> &arg);

// Prints the usage text (to `out`, standard output by default); returns 1.
int getopts_usage(const char *program, std::span<const GetoptsOption> table, FILE *out = stdout);

} // namespace qpm
