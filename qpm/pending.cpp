// Stand-ins for the change commands until they are part of this build.
#include "commands.h"

#include <cstdio>

namespace {

int not_available(const char *name)
{
    std::fprintf(stderr, "qpm %s: not available in this build yet\n", name);
    return 1;
}

} // namespace

int qpm_cmd_remove(int, char **) { return not_available("remove"); }
int qpm_cmd_check(int, char **) { return not_available("check"); }
int qpm_cmd_fix(int, char **) { return not_available("fix"); }
