// pqpm: the privileged front end.
#include "cmdline.h"
#include "install.h"
#include "startup.h"
#include "upgrade.h"

#include <cstdio>
#include <exception>
#include <sys/stat.h>
#include <unistd.h>

using namespace qpm;

namespace {

int run(int argc, char **argv)
{
    umask(022);
    pqpm_ensure_std_fds();
    if (argc < 2) {
        pqpm_usage();
        return 1;
    }
    const int mode = pqpm_mode(argv[1]);
    if (mode < 0) {
        pqpm_usage();
        return 1;
    }
    if (!pqpm_allowed())
        return 1;
    if (getuid() != 0)
        pqpm_sanitize_environment();
    if (mode == PQPM_ALLOWED)
        return 0;

    const PqpmArgs args = pqpm_parse_args(mode, argc, argv);
    EkvaPtr hook_commands = pqpm_hookcmds_new();
    PqpmRun run;
    if (const int status = pqpm_startup(run, args); status >= 0)
        return status;
    if (mode == PQPM_REFRESH) {
        pqpm_recover_only();
        return pqpm_refresh(run);
    }
    if (mode == PQPM_INSTALL)
        return pqpm_install(run, hook_commands);
    if (mode == PQPM_UPGRADE)
        return pqpm_upgrade(run, hook_commands);
    return pqpm_cleanup(run);
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "pqpm: %s\n", e.what());
        return 1;
    }
}
