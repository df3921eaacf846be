#include "util/sysroot.h"

#include "util/rootfs.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>

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

std::optional<std::string> system_path_of(std::string_view seen)
{
    const std::string &root = system_root();
    if (root.empty())
        return std::string(seen);
    if (seen.size() <= root.size() || seen.compare(0, root.size(), root) != 0 || seen[root.size()] != '/')
        return std::nullopt;
    return std::string(seen.substr(root.size()));
}

std::optional<std::string> root_resolve(std::string_view path) { return root_walk(path); }

bool root_exists(std::string_view path) { return static_cast<bool>(root_open(path, O_PATH)); }

bool RootLookup::exists(const std::string &path)
{
    const std::optional<RootDirs::Found> found = m_dirs.find(path);
    if (!found)
        return root_exists(path); // "/", or a directory that cannot be reached
    // A link is followed inside the root, like every other.
    return *found == RootDirs::Found::Link ? root_exists(path) : *found != RootDirs::Found::Missing;
}

bool have_system_root() { return !system_root().empty(); }

void system_root_pin_real() { g_root = std::string(); }

void system_root_reset_for_tests() { g_root.reset(); }

} // namespace qpm
