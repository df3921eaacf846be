// pqpm: the privileged front end.
#include "cmdline.h"
#include "install.h"
#include "privilege.h"
#include "startup.h"
#include "upgrade.h"

#include <cstdio>
#include <malloc.h>
#include <exception>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

using namespace qpm;

namespace {

int run(int argc, char **argv)
{
    // Every package takes the same buffers again (blocks of the file, the
    // inflater's state): keep freed memory in the heap instead of giving it
    // back and faulting it in anew for the next package.
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
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
    // A set-user-id run: the caller's environment and limits must not steer
    // root (a file size limit would kill the transaction halfway).
    if (pqpm_setuid_run()) {
        pqpm_sanitize_environment();
        if (!pqpm_reset_limits())
            return 1;
    }
    if (mode == PQPM_ALLOWED)
        return 0;

    PqpmArgs args = pqpm_parse_args(mode, argc, argv);
    // Package files are read with the caller's rights, before anything else.
    std::optional<TempDir> copies;
    args.requests = pqpm_admit_package_files(args.packages, copies);
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
