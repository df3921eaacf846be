#include "package/tree.h"

#include "package/qpf.h"
#include "package/signature.h"
#include "util/files.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/raii_archive.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

// ekva_addval with rule 0 scans every entry first; a hash list of thousands
// of files is appended to directly, with the same capacity doubling.
void append_entry(EkvaPtr &list, std::string key, std::string value)
{
    auto &entries = list->entries();
    while (static_cast<size_t>(list->capacity()) <= entries.size())
        list->grow();
    entries.push_back({std::move(key), std::move(value)});
}

// Opens a list file of a package tree for reading. Only a regular file is
// read: a FIFO planted in a package would otherwise block us for ever.
FilePtr open_list(const std::string &path)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd)
        return nullptr;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return nullptr;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return nullptr;
    }
    FilePtr file(::fdopen(fd.get(), "re"));
    if (file)
        fd.release();
    return file;
}

// A system path from a package list, as this process sees it.
std::string system_path(const std::string &path)
{
    return !path.empty() && path.front() == '/' ? root_path(path) : path;
}

std::string dir_of(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::optional<std::string> read_link(const std::string &path)
{
    std::string text(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink(path.c_str(), text.data(), text.size());
        if (n < 0)
            return std::nullopt;
        if (static_cast<size_t>(n) < text.size()) {
            text.resize(static_cast<size_t>(n));
            return text;
        }
        text.resize(text.size() * 2);
    }
}

// Runs `attempt` (true on success, errno set otherwise); when it failed for a
// missing directory, makes the directory of `path` (0755) and tries once more.
template <class Attempt>
bool with_directory_of(const std::string &path, Attempt attempt)
{
    if (attempt())
        return true;
    if (errno != ENOENT)
        return false;
    const std::string dir = dir_of(path);
    if (dir.empty())
        return false;
    qpm_qpf_mkdir(dir, 0755);
    return attempt();
}

// Makes `out` beside `path`: a symbolic link holding `link` when given, else
// a regular file. A missing directory is made first.
bool create_beside(SiblingFile &out, const std::string &path, const std::optional<std::string> &link = std::nullopt)
{
    return with_directory_of(path, [&] { return link ? out.create_link(path, *link) : out.create(path); });
}

// Copies `in` into `out`, a new file beside `path`, gives it `bits` (when
// >= 0) and closes it: the byte count, or -1 once the failure is logged.
long long copy_into(SiblingFile &out, int in, const std::string &path, int bits)
{
    if (!create_beside(out, path)) {
        qlog(LL_ERROR, "Failed to open %s for writing: %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    const long long copied = copy_fd(in, out.fd());
    if (copied < 0) {
        qlog(LL_ERROR, "Failed to write %s: %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    qlog(LL_DEBUG, "Wrote %lld bytes to %s\n", copied, path.c_str());
    if (bits >= 0 && ::fchmod(out.fd(), static_cast<mode_t>(bits)) != 0)
        qlog(LL_WARNING, "Failed to set permission on %s: %s\n", path.c_str(), std::strerror(errno));
    if (out.close() != 0) {
        qlog(LL_ERROR, "Failed to write %s: %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    return copied;
}

// Opens `path` for reading only when it is a regular file.
UniqueFd open_regular(const std::string &path, struct stat &st)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (!fd)
        return fd;
    if (::fstat(fd.get(), &st) != 0)
        return UniqueFd();
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return UniqueFd();
    }
    return fd;
}

int append_backup_index(const std::string &base, const std::string &target)
{
    const std::string index = strprintf("%s/index.txt", base.c_str());
    FilePtr file = fopen_cloexec(index, "a");
    if (!file) {
        qlog(LL_ERROR, "Failed to open %s for writing: %s\n", index.c_str(), std::strerror(errno));
        return -1;
    }
    const bool written = std::fprintf(file.get(), "%s\n", target.c_str()) >= 0;
    if (std::fclose(file.release()) != 0 || !written) {
        qlog(LL_ERROR, "Failed to write %s: %s\n", index.c_str(), std::strerror(errno));
        return -1;
    }
    return 0;
}

// Saves the regular file or symbolic link at `target` as BASE+TARGET and
// lists it in BASE/index.txt. Both are complete before the caller touches
// the target; a target saved before in this transaction keeps that backup.
// Saves `target` as `backup` by a hard link: the file itself stays, under a
// second name, once the target is renamed over. False when no link can be
// made (another file system, no right to link): a copy is made then.
bool link_backup(const std::string &target, const std::string &backup)
{
    return with_directory_of(
        backup, [&] { return ::linkat(AT_FDCWD, target.c_str(), AT_FDCWD, backup.c_str(), 0) == 0; });
}

int backup_target(const std::string &base, const std::string &target, const struct stat &target_st,
                  bool by_link = false)
{
    if (target.find('\n') != std::string::npos) {
        qlog(LL_ERROR, "qpm_qpf_copy: %s can not be listed in a backup index", target.c_str());
        return -1;
    }
    const std::string backup = base + target;
    struct stat st {};
    if (::lstat(backup.c_str(), &st) == 0) {
        qlog(LL_DEBUG, "qpm_qpf_copy: %s was backed up before, keeping that backup", target.c_str());
        return 0;
    }
    qlog(LL_DEBUG, "Backing up %s to %s\n", target.c_str(), backup.c_str());
    SiblingFile saved;
    if (by_link && link_backup(target, backup)) {
        if (append_backup_index(base, target) != 0) {
            ::unlink(backup.c_str());
            return -1;
        }
        return 0;
    }
    if (S_ISLNK(target_st.st_mode)) {
        const std::optional<std::string> text = read_link(target);
        if (!text) {
            qlog(LL_ERROR, "Failed to open %s for reading: %s\n", target.c_str(), std::strerror(errno));
            return -1;
        }
        if (!create_beside(saved, backup, text)) {
            qlog(LL_ERROR, "Failed to open %s for writing: %s\n", backup.c_str(), std::strerror(errno));
            return -1;
        }
    } else {
        struct stat in_st {};
        UniqueFd in = open_regular(target, in_st);
        if (!in) {
            qlog(LL_ERROR, "Failed to open %s for reading: %s\n", target.c_str(), std::strerror(errno));
            return -1;
        }
        if (copy_into(saved, in.get(), backup, static_cast<int>(in_st.st_mode & 07777)) < 0)
            return -1;
    }
    if (saved.commit() != 0) {
        qlog(LL_ERROR, "Failed to write %s: %s\n", backup.c_str(), std::strerror(errno));
        return -1;
    }
    // A backup that is not listed would never be restored, and would hide
    // this target from a later copy: it goes again.
    if (append_backup_index(base, target) != 0) {
        ::unlink(backup.c_str());
        return -1;
    }
    return 0;
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

struct DirEntryNames {
    std::vector<std::string> names;
    bool opened = false;
    bool closed = false;
};

// The entries of a directory without "." and "..", read before any of them
// is changed.
DirEntryNames list_dir(const std::string &path)
{
    DirEntryNames out;
    DirPtr dir(::opendir(path.c_str()));
    if (!dir)
        return out;
    out.opened = true;
    while (const dirent *entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        out.names.emplace_back(name);
    }
    out.closed = ::closedir(dir.release()) == 0;
    return out;
}

std::string child_path(const std::string &parent, std::string_view name)
{
    while (!name.empty() && name.front() == '/')
        name.remove_prefix(1);
    std::string child = parent;
    if (!last_char_is(parent.c_str(), '/'))
        child += '/';
    child += name;
    return child;
}

} // namespace

int qpm_qpf_qpk_hashes(const std::string &directory, const std::string &tree, EkvaPtr &list)
{
    const std::string path = strprintf("%s/hash/%s.txt", directory.c_str(), tree.c_str());
    FilePtr file = open_list(path);
    if (!file) {
        if (errno == ENOENT) {
            qlog(LL_DEBUG, "qpm_qpf_qpk_hashes: no file: %s, exiting", path.c_str());
            return 0;
        }
        // A hash list that is there but unreadable must not pass for none.
        qlog(LL_ERROR, "Failed to open %s for reading: %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    list = ekva_new(QPF_HASHES_CAPACITY, QPF_HASHES_KIND);
    std::string line;
    while (fgets_line(file.get(), line)) {
        if (line.empty())
            continue;
        if (line.size() < 42 || line[40] != ':') {
            qlog(LL_ERROR, "Line is smaller than 42 bytes, bye");
            return -1;
        }
        std::string key = line.substr(0, 40);
        std::string value = "/" + line.substr(41);
        qlog(LL_DEBUG, "Adding hash %s for file %s", key.c_str(), value.c_str());
        append_entry(list, std::move(key), std::move(value));
    }
    if (std::ferror(file.get())) {
        qlog(LL_ERROR, "Failed to read %s: %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    return 0;
}

int qpm_qpf_hash_files(const std::string &root, const std::string &subpath, EkvaPtr &list)
{
    if (!list)
        list = ekva_new(QPF_HASHES_CAPACITY, QPF_HASHES_KIND);
    const std::string dir_path = root + subpath;
    struct stat st {};
    if (::lstat(dir_path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            qlog(LL_DEBUG, "no directory %s under %s", root.c_str(), subpath.c_str());
            return 0;
        }
        qlog(LL_ERROR, "can't stat '%s'", dir_path.c_str());
        return -1;
    }
    if (!S_ISDIR(st.st_mode))
        return -1;
    DirPtr dir(::opendir(dir_path.c_str()));
    if (!dir) {
        qlog(LL_ERROR, "can't open '%s'", dir_path.c_str());
        return -1;
    }
    while (const dirent *entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        std::string relative = strprintf("%s/%s", subpath.c_str(), entry->d_name);
        const std::string full = root + relative;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat entry_st {};
            if (::lstat(full.c_str(), &entry_st) != 0) {
                qlog(LL_ERROR, "can't stat '%s'", full.c_str());
                return -1;
            }
            type = S_ISDIR(entry_st.st_mode) ? DT_DIR : S_ISREG(entry_st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
            const int rc = qpm_qpf_hash_files(root, relative, list);
            if (rc != 0) {
                qlog(LL_DEBUG, "qpm_qpf_hash_files on %s got rc=%d\n", full.c_str(), rc);
                return rc;
            }
            continue;
        }
        // Only regular files are digested: a link is not followed and a FIFO
        // or device is not read, each fails the tree.
        std::optional<std::string> hash;
        if (type == DT_REG)
            hash = qps_sha1_file(full, 'x');
        if (!hash) {
            qlog(LL_ERROR, "failed to generate sha1 of %s", full.c_str());
            return -1;
        }
        qlog(LL_DEBUG, "Adding hash %s for file %s", hash->c_str(), relative.c_str());
        append_entry(list, std::move(*hash), std::move(relative));
    }
    if (::closedir(dir.release()) != 0) {
        qlog(LL_ERROR, "can't close '%s'", dir_path.c_str());
        return -1;
    }
    return 0;
}

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

namespace {

// Checks what is at `target` before it is replaced and saves it under
// `backup_base` (by a hard link when `by_link` and one can be made): 0, or
// -1 once the failure is logged.
int prepare_target(const std::string &target, const std::optional<std::string> &backup_base, bool by_link)
{
    qlog(LL_DEBUG, "qpm_qpf_copy: checking existence of %s", target.c_str());
    struct stat dst_st {};
    if (::lstat(target.c_str(), &dst_st) != 0) {
        if (errno != ENOENT) {
            qlog(LL_ERROR, "Failed to stat %s: %s\n", target.c_str(), std::strerror(errno));
            return -1;
        }
        qlog(LL_DEBUG, "qpm_qpf_copy: %s does not exist, no backup necessary", target.c_str());
    } else if (S_ISLNK(dst_st.st_mode) || S_ISREG(dst_st.st_mode)) {
        qlog(LL_DEBUG, "qpm_qpf_copy: %s exists", target.c_str());
        if (S_ISLNK(dst_st.st_mode))
            qlog(LL_INFO, "Removing existing symbolic link %s", target.c_str());
        if (backup_base && backup_target(*backup_base, target, dst_st, by_link) != 0)
            return -1;
    } else {
        qlog(LL_ERROR, "%s is not a regular file, refusing to remove it", target.c_str());
        return -1;
    }
    return 0;
}

// Writes the opened source (`in`, or the link text) beside `target` and
// renames it over: the path always names either the old or the complete
// new file. The byte count, or -1 once logged.
long long write_over(const std::string &target, const std::string &source, const struct stat &src_st, int in,
                     const std::optional<std::string> &link_text, int mode)
{
    qlog(LL_DEBUG, "Copying %s to %s\n", source.c_str(), target.c_str());
    SiblingFile out;
    long long copied = 0;
    if (link_text) {
        if (!create_beside(out, target, link_text)) {
            qlog(LL_ERROR, "Failed to open %s for writing: %s\n", target.c_str(), std::strerror(errno));
            return -1;
        }
    } else {
        int bits = -1;
        if (mode == 1)
            bits = static_cast<int>(src_st.st_mode & 07777);
        else if (mode > 1)
            bits = mode & 07777;
        copied = copy_into(out, in, target, bits);
        if (copied < 0)
            return -1;
    }
    if (out.commit() != 0) {
        qlog(LL_ERROR, "Failed to replace %s: %s\n", target.c_str(), std::strerror(errno));
        return -1;
    }
    return copied;
}

// rename(2) of `source` over `target`, making a missing directory of the
// target first. 0, or -1 with errno.
int rename_into(const std::string &source, const std::string &target)
{
    return with_directory_of(target, [&] { return ::rename(source.c_str(), target.c_str()) == 0; }) ? 0 : -1;
}

} // namespace

long long qpm_qpf_copy(const std::string &target, const std::string &source,
                       const std::optional<std::string> &backup_base, int mode)
{
    if (backup_base)
        qlog(LL_DEBUG, "qpm_qpf_copy: backup base is %s, will backup target", backup_base->c_str());
    else
        qlog(LL_DEBUG, "qpm_qpf_copy: backup base is NULL, will not backup target");

    struct stat src_st {};
    if (::lstat(source.c_str(), &src_st) != 0) {
        qlog(LL_ERROR, "Failed to stat %s: %s\n", source.c_str(), std::strerror(errno));
        return -1;
    }
    // Opened before anything is changed, so that an unreadable source leaves
    // no backup and no half-made target behind.
    std::optional<std::string> link_text;
    UniqueFd in;
    if (S_ISLNK(src_st.st_mode)) {
        link_text = read_link(source);
        if (!link_text) {
            qlog(LL_ERROR, "Failed to open %s for reading: %s\n", source.c_str(), std::strerror(errno));
            return -1;
        }
    } else {
        in = open_regular(source, src_st);
        if (!in) {
            qlog(LL_ERROR, "Failed to open %s for reading: %s\n", source.c_str(), std::strerror(errno));
            return -1;
        }
    }
    if (prepare_target(target, backup_base, false) != 0)
        return -1;
    return write_over(target, source, src_st, in.get(), link_text, mode);
}

long long qpm_qpf_move(const std::string &target, const std::string &source,
                       const std::optional<std::string> &backup_base)
{
    struct stat src_st {};
    if (::lstat(source.c_str(), &src_st) != 0) {
        qlog(LL_ERROR, "Failed to stat %s: %s\n", source.c_str(), std::strerror(errno));
        return -1;
    }
    // A file the payload holds under two names would become one file on
    // the system when moved: that, and a link, is copied.
    if (!S_ISREG(src_st.st_mode) || src_st.st_nlink != 1)
        return qpm_qpf_copy(target, source, backup_base, 1);

    if (backup_base)
        qlog(LL_DEBUG, "qpm_qpf_move: backup base is %s, will backup target", backup_base->c_str());
    if (prepare_target(target, backup_base, true) != 0)
        return -1;
    qlog(LL_DEBUG, "Moving %s to %s\n", source.c_str(), target.c_str());
    if (rename_into(source, target) == 0)
        return src_st.st_size;

    qlog(LL_DEBUG, "qpm_qpf_move: cannot rename %s to %s (%s), copying it", source.c_str(), target.c_str(),
         std::strerror(errno));
    UniqueFd in = open_regular(source, src_st);
    if (!in) {
        qlog(LL_ERROR, "Failed to open %s for reading: %s\n", source.c_str(), std::strerror(errno));
        return -1;
    }
    return write_over(target, source, src_st, in.get(), std::nullopt, 1);
}

int qpm_qpf_backup(const std::string &target, const std::string &backup_base)
{
    struct stat st {};
    if (::lstat(target.c_str(), &st) != 0) {
        qlog(LL_ERROR, "Failed to stat %s: %s\n", target.c_str(), std::strerror(errno));
        return -1;
    }
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        qlog(LL_ERROR, "%s is not a regular file, refusing to remove it", target.c_str());
        return -1;
    }
    return backup_target(backup_base, target, st, true);
}

int qpm_qpf_mkdir(const std::string &path, mode_t mode)
{
    std::string dir = path;
    while (!dir.empty() && dir.back() == '/')
        dir.pop_back();
    if (::mkdir(dir.c_str(), mode) == 0)
        return 0;
    const size_t slash = dir.rfind('/');
    if (slash == std::string::npos)
        return 0;
    // Only a missing parent can be mended; any other failure would repeat.
    if (errno != ENOENT)
        return -1;
    qpm_qpf_mkdir(dir.substr(0, slash), 0755);
    return ::mkdir(dir.c_str(), mode) == 0 ? 0 : -1;
}

int qpm_qpf_rmdir(const std::string &path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return 0;
        qlog(LL_ERROR, "can't stat '%s'", path.c_str());
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::unlink(path.c_str()) != 0) {
            qlog(LL_ERROR, "can't remove '%s'", path.c_str());
            return -1;
        }
        return 0;
    }
    const DirEntryNames entries = list_dir(path);
    if (!entries.opened)
        return -1;
    int rc = 0;
    for (const std::string &name : entries.names) {
        if (qpm_qpf_rmdir(child_path(path, name)) != 0)
            rc = -1;
    }
    if (!entries.closed) {
        qlog(LL_ERROR, "can't close '%s'", path.c_str());
        rc = -1;
    }
    if (::rmdir(path.c_str()) != 0) {
        qlog(LL_ERROR, "can't remove '%s'", path.c_str());
        return -1;
    }
    return rc;
}

int qpm_qpf_dudir(const std::string &path, long long &total)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return 0;
        qlog(LL_ERROR, "can't stat '%s'", path.c_str());
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        total += st.st_size;
        return 0;
    }
    const DirEntryNames entries = list_dir(path);
    if (!entries.opened)
        return -1;
    int rc = 0;
    for (const std::string &name : entries.names) {
        if (qpm_qpf_dudir(child_path(path, name), total) != 0)
            rc = -1;
    }
    if (!entries.closed) {
        qlog(LL_ERROR, "can't close '%s'", path.c_str());
        rc = -1;
    }
    return rc;
}

const char *last_char_is(const char *text, int c)
{
    if (!text || !*text)
        return nullptr;
    const char *last = text + std::strlen(text) - 1;
    return *last == static_cast<char>(c) ? last : nullptr;
}

std::optional<StrArr> qpm_qpf_index(const qpm_handle *, const std::string &path)
{
    FilePtr file = fopen_cloexec(path, "rb");
    if (!file) {
        qlog(LL_ERROR, "Failed to open %s for reading", path.c_str());
        return std::nullopt;
    }
    if (!qpm_qpf_read_header(file.get(), path))
        return std::nullopt;

    ArchiveReadPtr reader(archive_read_new());
    if (!reader || archive_read_support_filter_gzip(reader.get()) != ARCHIVE_OK ||
        archive_read_support_format_cpio(reader.get()) != ARCHIVE_OK ||
        archive_read_open_FILE(reader.get(), file.get()) != ARCHIVE_OK) {
        qlog(LL_ERROR, "Failed to read archive by archive_read_open_FILE");
        return std::nullopt;
    }
    size_t room = 20;
    qlog(LL_DEBUG, "Allocating space for %d entries", static_cast<int>(room));
    StrArr paths;
    paths.reserve(room);
    // Only the end of the archive ends the list well: a payload that breaks
    // off or cannot be read gives no list rather than part of one.
    for (;;) {
        archive_entry *entry = nullptr;
        const int rc = archive_read_next_header(reader.get(), &entry);
        if (rc == ARCHIVE_EOF)
            break;
        if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) {
            qlog(LL_ERROR, "Failed to parse archive by archive_read_open_FILE");
            return std::nullopt;
        }
        const char *name = archive_entry_pathname(entry);
        if (name && std::strncmp(name, "data/", 5) == 0) {
            if (paths.size() == room) {
                room *= 2;
                qlog(LL_DEBUG, "Reallocation space for %d entries", static_cast<int>(room));
                paths.reserve(room);
            }
            paths.emplace_back(name + 4);
        }
        if (archive_read_data_skip(reader.get()) != ARCHIVE_OK) {
            qlog(LL_ERROR, "Failed to parse archive by archive_read_open_FILE");
            return std::nullopt;
        }
    }
    return paths;
}

} // namespace qpm
