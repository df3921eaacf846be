// qpm: a stand-in dispatcher for the change commands until the full front
// end arrives.
#include "commands.h"

#include "ui/ui.h"
#include "util/log.h"
#include "util/sysroot.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <sys/stat.h>
#include <unistd.h>

using namespace qpm;

namespace {

int run(int argc, char **argv)
{
    ::umask(022);
    if (argc < 2) {
        std::fputs("usage: qpm remove|check|fix ...\n", stderr);
        return 2;
    }
    qpmui = qpmui_init("qpm", 7);
    const std::string log_path = root_path(syspath::log_file);
    llog = log_init(::geteuid() == 0 ? log_path.c_str() : nullptr, 7, 0, LL_ERROR | LL_WARNING, "qpm");
    const char *command = argv[1];
    if (std::strcmp(command, "remove") == 0)
        return qpm_cmd_remove(argc - 1, argv + 1);
    if (std::strcmp(command, "check") == 0)
        return qpm_cmd_check(argc - 1, argv + 1);
    if (std::strcmp(command, "fix") == 0)
        return qpm_cmd_fix(argc - 1, argv + 1);
    std::fprintf(stderr, "qpm: unknown command %s\n", command);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "qpm: %s\n", e.what());
        return 1;
    }
}
