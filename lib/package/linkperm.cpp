#include "package/linkperm.h"

#include "package/dirs.h"
#include "package/tree_common.h"
#include "util/files.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/sysroot.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {

using tree_detail::dir_of;
using tree_detail::open_list;

namespace {

// A system path from a package list, as this process sees it.
std::string system_path(const std::string &path)
{
    return !path.empty() && path.front() == '/' ? root_path(path) : path;
}

// Mode change of `path` itself: a symbolic link there is refused (ELOOP).
int chmod_nofollow(const std::string &path, mode_t bits)
{
    if (::fchmodat(AT_FDCWD, path.c_str(), bits, AT_SYMLINK_NOFOLLOW) == 0)
        return 0;
    if (errno != EOPNOTSUPP && errno != ENOSYS)
        return -1;
    // The C library reports a link, and a missing /proc, this way.
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return -1;
    if (S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        return -1;
    }
    return ::chmod(path.c_str(), bits);
}

// Under a system root, what the permissions and links lists name must stay
// inside it: a path that leads out of it (by "..", or through a symbolic
// link with an absolute target) is refused.
class RootFence {
public:
    RootFence()
    {
        if (!have_system_root())
            return;
        m_fenced = true;
        char resolved[PATH_MAX];
        if (::realpath(system_root().c_str(), resolved))
            m_root = resolved;
    }

    bool cwd_inside() const
    {
        if (!m_fenced)
            return true;
        std::error_code ec;
        const std::string cwd = std::filesystem::current_path(ec).string();
        return !ec && contains(cwd);
    }

    // Whether the directory that holds `path` lies inside the root.
    bool parent_inside(const std::string &path) const
    {
        if (!m_fenced)
            return true;
        const std::string dir = dir_of(path);
        char resolved[PATH_MAX];
        return ::realpath(dir.empty() ? "." : dir.c_str(), resolved) && contains(resolved) &&
               path.substr(path.rfind('/') + 1) != "..";
    }

private:
    bool contains(const std::string &resolved) const
    {
        if (m_root.empty())
            return false;
        return resolved == m_root || m_root == "/" ||
               (resolved.size() > m_root.size() && resolved.compare(0, m_root.size(), m_root) == 0 &&
                resolved[m_root.size()] == '/');
    }

    bool m_fenced = false;
    std::string m_root;
};

} // namespace

int qpm_qpf_perms(const std::string &path)
{
    FilePtr file = open_list(path);
    if (!file) {
        qlog(LL_ERROR, "qpm_qpf_perms: Failed to open perm file %s", path.c_str());
        return -1;
    }
    const RootFence fence;
    int rc = 0;
    int line_no = 0;
    std::string line;
    while (fgets_line(file.get(), line)) {
        ++line_no;
        if (line.empty()) {
            qlog(LL_DEBUG, "qpm_qpf_perms: Skipping empty line no %d in %s", line_no, path.c_str());
            continue;
        }
        const size_t bar = line.find('|');
        const std::string name = line.substr(0, bar);
        const std::string mode = bar == std::string::npos ? std::string() : line.substr(bar + 1);
        qlog(LL_DEBUG, "qpm_qpf_perms: Got file %s", name.c_str());
        qlog(LL_DEBUG, "qpm_qpf_perms: Got mode %s", mode.c_str());
        qlog(LL_DEBUG, "qpm_qpf_perms: line was parsed as: file=<%s>,mode=<%s>", name.c_str(), mode.c_str());
        if (name.empty() || mode.empty()) {
            qlog(LL_DEBUG, "qpm_qpf_perms: Skipping entry, file or mode not properly specified");
            continue;
        }
        qlog(LL_DEBUG, "qpm_qpf_perms: Will set mode of %s to %s", name.c_str(), mode.c_str());
        unsigned long bits = 0;
        const auto [end, ec] = std::from_chars(mode.data(), mode.data() + mode.size(), bits, 8);
        int conversion_error = 0;
        if (ec == std::errc::result_out_of_range)
            conversion_error = ERANGE;
        else if (ec != std::errc() || end != mode.data() + mode.size())
            conversion_error = EINVAL;
        else if (bits > 07777)
            conversion_error = ERANGE; // not permission bits: would reach the file type
        if (conversion_error) {
            qlog(LL_ERROR, "qpm_qpf_perms: Failed to convert mode %s for %s to something meaningful: %s",
                 mode.c_str(), name.c_str(), std::strerror(conversion_error));
            continue;
        }
        const std::string target = system_path(name);
        if (!fence.parent_inside(target)) {
            qlog(LL_ERROR, "qpm_qpf_perms: Refusing %s, it lies outside the system root", target.c_str());
            rc = -1;
            continue;
        }
        rc = chmod_nofollow(target, static_cast<mode_t>(bits));
        if (rc != 0)
            qlog(LL_ERROR, "qpm_qpf_perms: Failed to set mode of %s to %s: %s", target.c_str(), mode.c_str(),
                 std::strerror(errno));
    }
    return rc;
}

int qpm_qpf_links(const std::string &path, int remove, int create)
{
    std::error_code ec;
    const std::string start_dir = std::filesystem::current_path(ec).string();
    UniqueFd start_fd(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (ec || !start_fd) {
        qlog(LL_ERROR, "qpm_qpf_links: Failed to read pwd");
        return -1;
    }
    FilePtr file = open_list(path);
    if (!file) {
        qlog(LL_ERROR, "qpm_qpf_links: Failed to open link file %s", path.c_str());
        return -1;
    }
    const RootFence fence;
    int rc = 0;
    // No line may act in the caller's working directory: until a line names
    // a directory, there is none to act in.
    bool unreachable = true;
    int line_no = 0;
    std::string line;
    while (fgets_line(file.get(), line)) {
        ++line_no;
        if (line.empty()) {
            qlog(LL_DEBUG, "qpm_qpf_links: Skipping empty line no %d in %s", line_no, path.c_str());
            continue;
        }
        const size_t bar1 = line.find('|');
        const size_t bar2 = bar1 == std::string::npos ? std::string::npos : line.find('|', bar1 + 1);
        const std::string dir = line.substr(0, bar1);
        const std::string target =
            bar1 == std::string::npos ? std::string() : line.substr(bar1 + 1, bar2 - bar1 - 1);
        const std::string name = bar2 == std::string::npos ? std::string() : line.substr(bar2 + 1);
        if (!dir.empty())
            qlog(LL_DEBUG, "qpm_qpf_links: Got directory %s, will change to that", dir.c_str());
        qlog(LL_DEBUG, "qpm_qpf_links: Got link target %s", target.c_str());
        qlog(LL_DEBUG, "qpm_qpf_links: Got link name %s", name.c_str());
        qlog(LL_DEBUG, "qpm_qpf_links: line was parse as: dir=<%s>,ent=<%s>,lnk=<%s>", dir.c_str(),
             target.c_str(), name.c_str());

        if (!dir.empty()) {
            const std::string where = system_path(dir);
            struct stat st {};
            if (::stat(where.c_str(), &st) != 0)
                qpm_qpf_mkdir(where, 0755);
            if (::chdir(where.c_str()) == 0 && fence.cwd_inside()) {
                qlog(LL_DEBUG, "qpm_qpf_links: Changed to directory %s.", where.c_str());
                unreachable = false;
                rc = 0;
            } else {
                qlog(LL_ERROR,
                     "qpm_qpf_links: Failed to change to directory %s, skipping everything until the next "
                     "directory entry",
                     where.c_str());
                unreachable = true;
                rc = -1;
            }
        }
        if (target.empty() || name.empty())
            continue;
        if (unreachable) {
            qlog(LL_DEBUG, "qpm_qpf_links: Skipping entry, as directory could not be reached");
            continue;
        }
        // NAME is a name within DIR; a path here could reach anywhere.
        if (name.find('/') != std::string::npos || name == "." || name == "..") {
            qlog(LL_ERROR, "qpm_qpf_links: Refusing link name %s, it is not a name within the directory",
                 name.c_str());
            rc = -1;
            continue;
        }
        if (remove) {
            qlog(LL_DEBUG, "qpm_qpf_links: Will remove symbolic link named %s", name.c_str());
            struct stat st {};
            if (::lstat(name.c_str(), &st) != 0) {
                rc = -1;
                qlog(LL_DEBUG, "qpm_qpf_links: %s does not exist, or is not accessible: %s", name.c_str(),
                     std::strerror(errno));
            } else if (S_ISLNK(st.st_mode)) {
                rc = ::unlink(name.c_str());
                if (rc != 0)
                    qlog(LL_DEBUG, "qpm_qpf_links: Failed to remove symbolic link named %s: %s", name.c_str(),
                         std::strerror(errno));
            } else {
                rc = -1;
                qlog(LL_DEBUG, "qpm_qpf_links: %s exists, but is not a symbolic link, refusing to delete",
                     name.c_str());
            }
        }
        if (create) {
            qlog(LL_DEBUG, "qpm_qpf_links: Will create symbolic link named %s pointing to %s", name.c_str(),
                 target.c_str());
            rc = ::symlink(target.c_str(), name.c_str());
            if (rc != 0)
                qlog(LL_ERROR, "qpm_qpf_links: Failed to create symbolic link named %s pointing to %s: %s",
                     name.c_str(), target.c_str(), std::strerror(errno));
        }
    }
    file.reset();
    if (::fchdir(start_fd.get()) != 0) {
        qlog(LL_ERROR, "Failed to change to initial directory %s", start_dir.c_str());
        return -1;
    }
    return rc;
}

} // namespace qpm
