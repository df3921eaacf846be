#include "package/linkperm.h"

#include "package/dirs.h"
#include "package/tree_common.h"
#include "util/files.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/rootfs.h"
#include "util/sysroot.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {

using tree_detail::dir_of;
using tree_detail::open_list;

namespace {

// A system path from a package list; a relative one is taken from `base`.
std::string system_path(const std::string &path, const std::string &base = "/")
{
    if (!path.empty() && path.front() == '/')
        return path;
    return base == "/" ? "/" + path : base + "/" + path;
}

// Mode change of `name` in `dir` itself: a symbolic link there is refused
// (ELOOP).
int chmod_nofollow(int dir, const std::string &name, mode_t bits)
{
    if (::fchmodat(dir, name.c_str(), bits, AT_SYMLINK_NOFOLLOW) == 0)
        return 0;
    if (errno != EOPNOTSUPP && errno != ENOSYS)
        return -1;
    // The C library reports a link, and a missing /proc, this way.
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    if (S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        return -1;
    }
    return ::fchmodat(dir, name.c_str(), bits, 0);
}

} // namespace

int qpm_qpf_perms(const std::string &path)
{
    FilePtr file = open_list(path);
    if (!file) {
        qlog(LL_ERROR, "qpm_qpf_perms: Failed to open perm file %s", path.c_str());
        return -1;
    }
    RootDirs dirs;
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
        const std::string system = system_path(name);
        const std::string target = root_path(system);
        const std::optional<RootDirs::Parent> parent = dirs.parent(system);
        rc = parent ? chmod_nofollow(parent->fd, parent->name, static_cast<mode_t>(bits)) : -1;
        if (rc != 0)
            qlog(LL_ERROR, "qpm_qpf_perms: Failed to set mode of %s to %s: %s", target.c_str(), mode.c_str(),
                 std::strerror(errno));
    }
    return rc;
}

int qpm_qpf_links(const std::string &path, int remove, int create)
{
    FilePtr file = open_list(path);
    if (!file) {
        qlog(LL_ERROR, "qpm_qpf_links: Failed to open link file %s", path.c_str());
        return -1;
    }
    int rc = 0;
    // No line may act in the caller's working directory: until a line names
    // a directory, there is none to act in.
    UniqueFd here;        // the directory named last, opened inside the system root
    std::string here_dir; // its system path
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
            const std::string system = system_path(dir, here_dir.empty() ? "/" : here_dir);
            const std::string where = root_path(system);
            here = root_open_dir(system, true);
            if (here) {
                qlog(LL_DEBUG, "qpm_qpf_links: Changed to directory %s.", where.c_str());
                here_dir = system;
                rc = 0;
            } else {
                qlog(LL_ERROR,
                     "qpm_qpf_links: Failed to change to directory %s, skipping everything until the next "
                     "directory entry",
                     where.c_str());
                here_dir.clear();
                rc = -1;
            }
        }
        if (target.empty() || name.empty())
            continue;
        if (!here) {
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
            if (::fstatat(here.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                rc = -1;
                qlog(LL_DEBUG, "qpm_qpf_links: %s does not exist, or is not accessible: %s", name.c_str(),
                     std::strerror(errno));
            } else if (S_ISLNK(st.st_mode)) {
                rc = ::unlinkat(here.get(), name.c_str(), 0);
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
            rc = ::symlinkat(target.c_str(), here.get(), name.c_str());
            if (rc != 0)
                qlog(LL_ERROR, "qpm_qpf_links: Failed to create symbolic link named %s pointing to %s: %s",
                     name.c_str(), target.c_str(), std::strerror(errno));
        }
    }
    return rc;
}

} // namespace qpm
