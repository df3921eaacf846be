#include "util/sysroot.h"

#include <cstdlib>
#include <optional>

namespace qpm {
namespace {

std::optional<std::string> g_root;

std::string read_root_from_environment()
{
    const char *env = std::getenv("QPM_ROOT");
    std::string root = env ? env : "";
    while (!root.empty() && root.back() == '/')
        root.pop_back();
    return root; // "/" collapses to "": the real root
}

} // namespace

const std::string &system_root()
{
    if (!g_root)
        g_root = read_root_from_environment();
    return *g_root;
}

std::string root_path(std::string_view path)
{
    std::string out = system_root();
    if (!out.empty() && !path.empty() && path.front() != '/')
        out += '/';
    out += path;
    return out;
}

bool have_system_root() { return !system_root().empty(); }

void system_root_pin_real() { g_root = std::string(); }

void system_root_reset_for_tests() { g_root.reset(); }

} // namespace qpm
