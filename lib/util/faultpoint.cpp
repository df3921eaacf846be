#include "util/faultpoint.h"

#include <csignal>
#include <cstdlib>

namespace qpm {

bool fault_point(std::string_view point)
{
    const char *env = std::getenv("QPM_FAULT");
    if (!env || !*env)
        return false;
    std::string_view wanted = env;
    constexpr std::string_view kill_prefix = "kill@";
    const bool kill = wanted.substr(0, kill_prefix.size()) == kill_prefix;
    if (kill)
        wanted.remove_prefix(kill_prefix.size());
    if (wanted != point)
        return false;
    if (kill)
        std::raise(SIGKILL);
    return true;
}

} // namespace qpm
