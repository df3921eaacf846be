#include "util/sysroot.h"

#include <cstdlib>
#include <deque>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

std::optional<std::string> root_resolve(std::string_view path)
{
    std::deque<std::string> todo;
    const auto push_front_parts = [&todo](std::string_view text) {
        std::vector<std::string> parts;
        size_t start = 0;
        while (start <= text.size()) {
            const size_t end = std::min(text.find('/', start), text.size());
            if (end > start)
                parts.emplace_back(text.substr(start, end - start));
            start = end + 1;
        }
        todo.insert(todo.begin(), parts.begin(), parts.end());
    };
    push_front_parts(path);

    std::string done; // the resolved prefix, "" for the root
    int links = 0;
    while (!todo.empty()) {
        std::string part = std::move(todo.front());
        todo.pop_front();
        if (part == ".")
            continue;
        if (part == "..") {
            done.erase(done.empty() ? 0 : done.rfind('/'));
            continue;
        }
        const std::string next = done + "/" + part;
        const std::string host = root_path(next);
        struct stat st {};
        if (::lstat(host.c_str(), &st) != 0)
            return std::nullopt;
        if (!S_ISLNK(st.st_mode)) {
            if (!todo.empty() && !S_ISDIR(st.st_mode))
                return std::nullopt;
            done = next;
            continue;
        }
        if (++links > 40)
            return std::nullopt;
        std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
        const ssize_t n = ::readlink(host.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<size_t>(n) >= target.size())
            return std::nullopt;
        target.resize(static_cast<size_t>(n));
        if (!target.empty() && target.front() == '/')
            done.clear();
        push_front_parts(target);
    }
    return done.empty() ? std::string("/") : done;
}

bool root_exists(std::string_view path) { return root_resolve(path).has_value(); }

bool RootLookup::exists(const std::string &path)
{
    if (!have_system_root()) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0;
    }
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size())
        return root_exists(path);
    const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    auto it = m_dirs.find(dir);
    if (it == m_dirs.end())
        it = m_dirs.emplace(dir, root_resolve(dir)).first;
    if (!it->second)
        return false;
    const std::string inside = (*it->second == "/" ? std::string() : *it->second) + path.substr(slash);
    struct stat st {};
    if (::lstat(root_path(inside).c_str(), &st) != 0)
        return false;
    // A link is followed inside the root, like every other.
    return !S_ISLNK(st.st_mode) || root_exists(inside);
}

bool have_system_root() { return !system_root().empty(); }

void system_root_pin_real() { g_root = std::string(); }

void system_root_reset_for_tests() { g_root.reset(); }

} // namespace qpm
