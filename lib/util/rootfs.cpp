#include "util/rootfs.h"

#include "util/sysroot.h"

#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace qpm {
namespace {

constexpr int MAX_LINKS = 40;  // as the kernel allows on one path
constexpr size_t MAX_DIRS = 64; // directories a RootDirs keeps open

struct RootHandle {
    std::string opened_for;
    UniqueFd fd;
};

RootHandle g_root;
bool g_no_openat2 = false;
bool g_force_walk = false;

void push_front_parts(std::deque<std::string> &todo, std::string_view text)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find('/', start), text.size());
        if (end > start)
            parts.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    todo.insert(todo.begin(), parts.begin(), parts.end());
}


struct Walked {
    UniqueFd fd;
    std::string path; // the system path reached
};

// Resolves `path` one component at a time from the root: each directory is
// opened without following a link, a link's text is taken apart and walked
// in its place (an absolute one from the root again) and ".." stops at the
// root. The last component is opened with `flags`, followed when it is a
// link unless `flags` holds O_NOFOLLOW.
std::optional<Walked> walk(std::string_view path, int flags, mode_t mode)
{
    const int root = root_dir_fd();
    if (root < 0)
        return std::nullopt;
    std::deque<std::string> todo;
    push_front_parts(todo, path);
    std::vector<UniqueFd> dirs;    // the directories below the root on the way
    std::vector<size_t> done_size; // the length of `done` before each of them
    std::string done;
    int links = 0;
    const auto current = [&] { return dirs.empty() ? root : dirs.back().get(); };
    while (!todo.empty()) {
        const std::string part = std::move(todo.front());
        todo.pop_front();
        if (part == ".")
            continue;
        if (part == "..") {
            if (!dirs.empty()) {
                dirs.pop_back();
                done.resize(done_size.back());
                done_size.pop_back();
            }
            continue;
        }
        const bool last = todo.empty();
        struct stat st {};
        if (::fstatat(current(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (!last || errno != ENOENT || !(flags & O_CREAT))
                return std::nullopt;
            UniqueFd fd(::openat(current(), part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
            if (!fd)
                return std::nullopt;
            return Walked{std::move(fd), done + "/" + part};
        }
        if (S_ISLNK(st.st_mode) && !(last && (flags & O_NOFOLLOW))) {
            if (++links > MAX_LINKS) {
                errno = ELOOP;
                return std::nullopt;
            }
            const std::optional<std::string> target = read_link_at(current(), part);
            if (!target)
                return std::nullopt;
            if (!target->empty() && target->front() == '/') {
                dirs.clear();
                done_size.clear();
                done.clear();
            }
            push_front_parts(todo, *target);
            continue;
        }
        if (last) {
            UniqueFd fd(::openat(current(), part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
            if (!fd)
                return std::nullopt;
            return Walked{std::move(fd), done + "/" + part};
        }
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return std::nullopt;
        }
        UniqueFd fd(::openat(current(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd)
            return std::nullopt;
        done_size.push_back(done.size());
        done += "/" + part;
        dirs.push_back(std::move(fd));
    }
    // The path ended on a directory: the root itself, "." or "..".
    UniqueFd fd(::openat(current(), ".", (flags & ~(O_CREAT | O_EXCL | O_NOFOLLOW)) | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    return Walked{std::move(fd), done.empty() ? std::string("/") : done};
}

UniqueFd open_in_root(int root, std::string_view path, int flags, mode_t mode)
{
    open_how how{};
    how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    const std::string name = path.empty() ? std::string(".") : std::string(path);
    for (int tries = 0; tries < 8; ++tries) {
        const long fd = ::syscall(SYS_openat2, root, name.c_str(), &how, sizeof how);
        if (fd >= 0)
            return UniqueFd(static_cast<int>(fd));
        // A rename elsewhere during the lookup: the kernel asks to try again.
        if (errno != EAGAIN)
            break;
    }
    return UniqueFd();
}

// The directory `dir` inside the root, made with its missing parents when
// `make`.
UniqueFd open_dir(std::string_view dir, bool make, std::vector<std::string> *made, bool known_missing = false)
{
    UniqueFd fd;
    if (known_missing && make)
        errno = ENOENT;
    else
        fd = root_open(dir, O_PATH | O_DIRECTORY);
    if (fd || !make || errno != ENOENT)
        return fd;
    const auto [up, last] = split_system_path(dir);
    if (last.empty() || last == "." || last == "..") {
        errno = ENOENT;
        return UniqueFd();
    }
    const UniqueFd up_fd = open_dir(up, true, made);
    if (!up_fd)
        return UniqueFd();
    const std::string name(last);
    if (::mkdirat(up_fd.get(), name.c_str(), 0755) == 0) {
        if (made)
            made->emplace_back(dir);
        return UniqueFd(::openat(up_fd.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (errno != EEXIST)
        return UniqueFd();
    // Something came there meanwhile, or a link to nowhere is in the way.
    return root_open(dir, O_PATH | O_DIRECTORY);
}

bool is_name(std::string_view name) { return !name.empty() && name != "." && name != ".."; }

} // namespace

std::optional<std::string> read_link_at(int dir, const std::string &name)
{
    std::string text(256, '\0');
    for (;;) {
        const ssize_t n = ::readlinkat(dir, name.c_str(), text.data(), text.size());
        if (n < 0)
            return std::nullopt;
        if (static_cast<size_t>(n) < text.size()) {
            text.resize(static_cast<size_t>(n));
            return text;
        }
        text.resize(text.size() * 2);
    }
}

int root_dir_fd()
{
    const std::string &root = system_root();
    if (!g_root.fd || g_root.opened_for != root) {
        g_root.fd = UniqueFd(::open(root.empty() ? "/" : root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        g_root.opened_for = root;
    }
    return g_root.fd.get();
}

UniqueFd root_open(std::string_view path, int flags, mode_t mode)
{
    const int root = root_dir_fd();
    if (root < 0)
        return UniqueFd();
    if (!g_force_walk && !g_no_openat2) {
        UniqueFd fd = open_in_root(root, path, flags, mode);
        if (fd || errno != ENOSYS)
            return fd;
        g_no_openat2 = true;
    }
    std::optional<Walked> walked = walk(path, flags, mode);
    return walked ? std::move(walked->fd) : UniqueFd();
}

std::optional<std::string> root_walk(std::string_view path, bool follow_last)
{
    std::optional<Walked> walked = walk(path, O_PATH | (follow_last ? 0 : O_NOFOLLOW), 0);
    if (!walked)
        return std::nullopt;
    return std::move(walked->path);
}

std::pair<std::string_view, std::string_view> split_system_path(std::string_view path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return {std::string_view(), path};
    return {slash == 0 ? path.substr(0, 1) : path.substr(0, slash), path.substr(slash + 1)};
}

std::optional<ParentDir> ParentDir::open(std::string_view path, bool make, std::vector<std::string> *made)
{
    const auto [dir, name] = split_system_path(path);
    if (!is_name(name)) {
        errno = EINVAL;
        return std::nullopt;
    }
    ParentDir parent;
    parent.m_fd = open_dir(dir, make, made);
    if (!parent.m_fd)
        return std::nullopt;
    parent.m_name = name;
    return parent;
}

std::optional<RootDirs::Parent> RootDirs::parent(std::string_view path, bool make, std::vector<std::string> *made)
{
    const auto [dir, name] = split_system_path(path);
    if (!is_name(name)) {
        errno = EINVAL;
        return std::nullopt;
    }
    const std::string key(dir);
    auto it = m_dirs.find(key);
    if (it == m_dirs.end()) {
        const bool missing = m_missing.contains(key);
        if (!make && missing) {
            errno = ENOENT;
            return std::nullopt;
        }
        const size_t made_before = made ? made->size() : 0;
        UniqueFd fd = open_dir(dir, make, made, missing);
        if (!fd) {
            if (!make && (errno == ENOENT || errno == ENOTDIR))
                m_missing.insert(key);
            return std::nullopt;
        }
        // What was missing may be there now.
        if (make && (!made || made->size() != made_before))
            m_missing.clear();
        else
            m_missing.erase(key);
        if (m_dirs.size() >= MAX_DIRS)
            m_dirs.clear(); // paths come sorted by directory: the next ones need few of these
        it = m_dirs.emplace(key, std::move(fd)).first;
    }
    return Parent{it->second.get(), std::string(name)};
}

std::optional<RootDirs::Found> RootDirs::find(const std::string &path)
{
    const std::optional<Parent> at = parent(path);
    Found found = Found::Missing;
    if (!at) {
        if (errno != ENOENT && errno != ENOTDIR)
            return std::nullopt;
    } else {
        struct stat st {};
        if (::fstatat(at->fd, at->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            found = S_ISREG(st.st_mode) ? Found::Regular : S_ISLNK(st.st_mode) ? Found::Link : Found::Other;
        else if (errno != ENOENT && errno != ENOTDIR)
            return std::nullopt;
    }
    m_seen[path] = found;
    return found;
}

std::optional<RootDirs::Found> RootDirs::seen(const std::string &path) const
{
    const auto it = m_seen.find(path);
    if (it == m_seen.end())
        return std::nullopt;
    return it->second;
}

void RootDirs::forget()
{
    m_dirs.clear();
    m_missing.clear();
    m_seen.clear();
}

UniqueFd root_open_dir(std::string_view dir, bool make, std::vector<std::string> *made)
{
    return open_dir(dir, make, made);
}

void root_force_walk_for_tests(bool walk) { g_force_walk = walk; }

} // namespace qpm
