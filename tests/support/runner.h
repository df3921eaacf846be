#pragma once
// Runs a real program the way a user would: argv, environment and standard
// input chosen by the test, standard output and error captured separately.
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qpm::test {

struct RunOptions {
    // The whole environment of the child (nothing is inherited).
    std::vector<std::string> env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C"};
    // Added to `env` (a sandbox sets `env` itself): "QPM_FAULT=install:apply".
    std::vector<std::string> extra_env;
    std::string stdin_text;
    // Run as this user (requires root); the supplementary groups are the user's.
    std::optional<uid_t> uid;
    std::optional<gid_t> gid;
    // Start the child with descriptor 1 closed.
    bool close_stdout = false;
    std::string cwd;
    // Standard error is a pseudo-terminal (raw: no line-feed translation)
    // instead of a file; what the child writes there is still captured.
    bool stderr_terminal = false;
};

struct RunResult {
    std::string out;
    std::string err;
    int status = -1; // exit status, or 128 + signal
};

RunResult run_program(const std::vector<std::string> &argv, const RunOptions &options = {});

} // namespace qpm::test
