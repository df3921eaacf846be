// qpm-key: adds, removes and lists the signer certificates that package
// signatures are verified against.
#include "keystore.h"

#include "engine/inventory.h"
#include "util/getopts.h"
#include "util/globals.h"

#include <cstdio>
#include <exception>
#include <optional>
#include <string>

namespace {

using namespace qpm;

constexpr const char *PROGRAM = "qpm-key";
constexpr const char *VERSION = "2.0.121";

enum Option { OPT_ADD = 2, OPT_DELETE = 3, OPT_LIST = 4, OPT_FORCE = 5, OPT_VERBOSE = 6, OPT_VERSION = 7 };

constexpr GetoptsOption OPTIONS[] = {
    {OPT_ADD, "add", "add a key to keystore", "A", 1},
    {OPT_DELETE, "delete", "delete a key from keystore", "D", 1},
    {OPT_LIST, "list", "list installed keys", "L", 0},
    {OPT_FORCE, "force", "force action without question", "f", 0},
    {OPT_VERBOSE, "verbose", "show verbose output", "v", 0},
    {OPT_VERSION, "version", "show version information", "V", 0},
    {0, nullptr, nullptr, nullptr, 0},
};

int run(int argc, char *argv[])
{
    // The tool's confirmations are its only safeguard: always ask them.
    vote_mode = 1;

    int actions = 0;
    int mode = 0;
    std::string target;
    bool force = false;
    std::optional<std::string> arg;
    for (int code; (code = getopts(argc, argv, OPTIONS, arg)) != GETOPTS_END;) {
        switch (code) {
        case GETOPTS_NOMEM:
            std::fputs("Unable to allocate memory.\n", stdout);
            return 1;
        case GETOPTS_HELP: // the usage text answered the request
            return 0;
        case OPT_ADD:
        case OPT_DELETE:
            target = arg.value_or("");
            [[fallthrough]];
        case OPT_LIST:
            mode = code;
            ++actions;
            break;
        case OPT_FORCE:
            force = true;
            break;
        case OPT_VERBOSE:
            verbose = 1;
            break;
        case OPT_VERSION:
            std::fprintf(stderr, "qpm-key %s\n", VERSION);
            return 0;
        default: // unrecognised options are ignored
            break;
        }
    }

    if (actions != 1) {
        std::fputs(actions > 1 ? "More than one action specified\n" : "No action specified\n", stderr);
        getopts_usage(PROGRAM, OPTIONS);
        return 1;
    }

    QpmPtr qpm = qpm_open(nullptr, nullptr);
    if (!qpm) {
        std::fputs("Failed to open local package inventory\n", stderr);
        return 1;
    }
    int status = 0;
    switch (mode) {
    case OPT_ADD:
        status = qpm_key_add(qpm.get(), target, force);
        break;
    case OPT_DELETE:
        status = qpm_key_del(qpm.get(), target, force);
        break;
    default:
        status = qpm_key_lst(qpm.get(), verbose > 0) < 0 ? 1 : 0;
        break;
    }
    // Closing also drops the lock an add or delete took.
    qpm_close(std::move(qpm));
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", PROGRAM, e.what());
        return 1;
    }
}
