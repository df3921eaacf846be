#include "engine/transaction.h"

#include "engine/install.h"
#include "package/filecopy.h"
#include "package/tree.h"
#include "package/dirs.h"
#include "util/files.h"
#include "util/log.h"
#include "util/rootfs.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

bool exists_nofollow(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool exists_at(int dir, const std::string &name)
{
    struct stat st {};
    return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

constexpr size_t MAX_SOURCE_DIRS = 64;

// Makes the directory `dir` below the existing directory `base` one
// component at a time from the top ("x/y/z": x, x/y, x/y/z). False with
// errno when one cannot be made.
bool make_below(const std::string &base, std::string_view dir)
{
    size_t pos = 0;
    while (pos < dir.size()) {
        const size_t end = std::min(dir.find('/', pos + 1), dir.size());
        if (end > pos + 1) {
            const std::string made = base + std::string(dir.substr(0, end));
            if (::mkdir(made.c_str(), 0755) != 0 && errno != EEXIST)
                return false;
        }
        pos = end;
    }
    return true;
}

} // namespace

FileTransaction::FileTransaction(std::string backup_tree) : m_backup(std::move(backup_tree)) {}

FileTransaction::FileTransaction(std::string backup_tree, RootDirs system)
    : m_backup(std::move(backup_tree)), m_dirs(std::move(system))
{
}

FileTransaction::~FileTransaction()
{
    if (!m_committed)
        rollback();
}

long long FileTransaction::put(const std::string &path, const std::string &source, How how)
{
    const std::string target = root_path(path);
    const std::optional<RootDirs::Found> seen = m_dirs.seen(path);
    m_dirs.changed(path);
    // The directory is opened inside the system root, made where it is
    // missing; what it took to make it goes with a rollback.
    const std::optional<RootDirs::Parent> parent = m_dirs.parent(path, true, &m_new_dirs);
    if (!parent) {
        qlog(LL_ERROR, "Failed to open %s for writing: %s\n", target.c_str(), std::strerror(errno));
        return -1;
    }
    const FileAt at{parent->fd, parent->name, target};
    std::optional<long long> copied;
    if (how == How::Move)
        copied = move_quickly(*parent, path, target, source, seen);
    if (!copied)
        copied = how == How::Move ? qpm_qpf_move(at, source, m_backup) : qpm_qpf_copy(at, source, m_backup, 1);
    // A failed copy or move never replaces the target: whatever it left goes
    // with the rollback, and a file that was there before is removed only
    // when its backup can bring it back.
    if (*copied >= 0 || !exists_at(at.dir, at.name) || exists_nofollow(m_backup + path))
        m_written.push_back(target);
    return *copied;
}

std::optional<long long> FileTransaction::move_quickly(const RootDirs::Parent &at, const std::string &path,
                                                       const std::string &target,
                                                       const std::string &source,
                                                       std::optional<RootDirs::Found> seen)
{
    const int from = source_dir(source);
    if (from < 0)
        return std::nullopt;
    const std::string name = source.substr(source.rfind('/') + 1);
    struct stat st {};
    // A file the payload holds under two names, and a link, are copied.
    if (::fstatat(from, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
        return std::nullopt;
    if (!seen || *seen == RootDirs::Found::Missing) {
        // Nothing is there, or the check did not look: the kernel tells,
        // and never replaces a file that came meanwhile.
        if (m_no_noreplace)
            return std::nullopt;
        if (::renameat2(from, name.c_str(), at.fd, at.name.c_str(), RENAME_NOREPLACE) == 0) {
            qlog(LL_DEBUG, "Moving %s to %s\n", source.c_str(), target.c_str());
            return st.st_size;
        }
        if (errno == EINVAL)
            m_no_noreplace = true;
        return std::nullopt;
    }
    if (*seen != RootDirs::Found::Regular && *seen != RootDirs::Found::Link)
        return std::nullopt;
    const std::optional<int> saved = link_backup(path, at, target);
    if (!saved)
        return std::nullopt;
    if (*saved < 0)
        return -1;
    if (*seen == RootDirs::Found::Link)
        qlog(LL_INFO, "Removing existing symbolic link %s", target.c_str());
    qlog(LL_DEBUG, "Moving %s to %s\n", source.c_str(), target.c_str());
    if (::renameat(from, name.c_str(), at.fd, at.name.c_str()) == 0)
        return st.st_size;
    // The backup is listed: the general way finds it and keeps it.
    return std::nullopt;
}

std::optional<int> FileTransaction::link_backup(const std::string &path, const RootDirs::Parent &at,
                                                const std::string &target)
{
    if (target.find('\n') != std::string::npos)
        return std::nullopt;
    const int dir = backup_dir(path);
    if (dir < 0)
        return std::nullopt;
    if (::linkat(at.fd, at.name.c_str(), dir, at.name.c_str(), 0) != 0) {
        if (errno != EEXIST)
            return std::nullopt; // gone, a directory, another file system: looked at closer
        qlog(LL_DEBUG, "qpm_qpf_copy: %s was backed up before, keeping that backup", target.c_str());
        return 1;
    }
    qlog(LL_DEBUG, "Backing up %s to %s%s\n", target.c_str(), m_backup.c_str(), path.c_str());
    // A backup that is not listed would never be restored: it goes again.
    if (!list_backup(path)) {
        ::unlinkat(dir, at.name.c_str(), 0);
        return -1;
    }
    return 0;
}

int FileTransaction::backup_dir(const std::string &path)
{
    const std::string dir(split_system_path(path).first);
    if (const auto it = m_backup_dirs.find(dir); it != m_backup_dirs.end())
        return it->second.get();
    const std::string where = m_backup + dir;
    UniqueFd fd(::open(where.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd && errno == ENOENT) {
        if (!make_below(m_backup, dir))
            qpm_qpf_mkdir(where, 0755);
        fd = UniqueFd(::open(where.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!fd)
        return -1;
    return m_backup_dirs.emplace(dir, std::move(fd)).first->second.get();
}

int FileTransaction::source_dir(const std::string &source)
{
    const size_t slash = source.rfind('/');
    if (slash == std::string::npos || slash + 1 == source.size())
        return -1;
    const std::string dir = source.substr(0, slash);
    if (const auto it = m_source_dirs.find(dir); it != m_source_dirs.end())
        return it->second.get();
    UniqueFd fd(::open(dir.empty() ? "/" : dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return -1;
    if (m_source_dirs.size() >= MAX_SOURCE_DIRS)
        m_source_dirs.clear();
    return m_source_dirs.emplace(dir, std::move(fd)).first->second.get();
}

bool FileTransaction::list_backup(const std::string &path)
{
    const std::string index = strprintf("%s/index.txt", m_backup.c_str());
    if (!m_index) {
        m_index = UniqueFd(::open(index.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
        if (!m_index) {
            qlog(LL_ERROR, "Failed to open %s for writing: %s\n", index.c_str(), std::strerror(errno));
            return false;
        }
    }
    if (!write_all(m_index.get(), path + "\n")) {
        qlog(LL_ERROR, "Failed to write %s: %s\n", index.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

int FileTransaction::remove(const std::string &path, int *unlink_error)
{
    const std::optional<RootDirs::Found> seen = m_dirs.seen(path);
    m_dirs.changed(path);
    const std::optional<RootDirs::Parent> parent = m_dirs.parent(path);
    if (!parent)
        return 1;
    const std::string target = root_path(path);
    std::optional<int> saved;
    // What the check saw there is saved by a link without a look of its own.
    if (seen && (*seen == RootDirs::Found::Regular || *seen == RootDirs::Found::Link))
        saved = link_backup(path, *parent, target);
    if (!saved) {
        if (!exists_at(parent->fd, parent->name))
            return 1;
        saved = qpm_qpf_backup(FileAt{parent->fd, parent->name, target}, m_backup);
    }
    if (*saved < 0)
        return -1;
    if (::unlinkat(parent->fd, parent->name.c_str(), 0) != 0 && unlink_error)
        *unlink_error = errno;
    return 0;
}

int FileTransaction::make_links(const std::string &link_list)
{
    m_undo.push_back({Kind::Links, link_list, {}});
    const int rc = qpm_qpf_links(link_list, 1, 1);
    m_dirs.forget(); // the links may lead a directory elsewhere now
    return rc;
}

void FileTransaction::created(const std::string &path) { m_undo.push_back({Kind::Created, path, {}}); }

int FileTransaction::exchange(const std::string &a, const std::string &b)
{
    if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0)
        return -1;
    m_undo.push_back({Kind::Exchanged, a, b});
    return 0;
}

int FileTransaction::rollback()
{
    if (m_committed)
        return 0;
    m_committed = true; // once
    for (auto it = m_undo.rbegin(); it != m_undo.rend(); ++it) {
        switch (it->kind) {
        case Kind::Exchanged:
            if (::renameat2(AT_FDCWD, it->a.c_str(), AT_FDCWD, it->b.c_str(), RENAME_EXCHANGE) != 0)
                qlog(LL_ERROR, "Failed to exchange %s and %s back: %s", it->a.c_str(), it->b.c_str(),
                     std::strerror(errno));
            break;
        case Kind::Created:
            qpm_qpf_rmdir(it->a);
            break;
        case Kind::Links:
            qpm_qpf_links(it->a, 1, 0);
            break;
        }
    }
    const int result = qpm_install_rollback(m_written, m_backup);
    // Directories made for the new files go when nothing else came into them.
    m_dirs.forget();
    for (auto it = m_new_dirs.rbegin(); it != m_new_dirs.rend(); ++it) {
        if (const std::optional<ParentDir> parent = ParentDir::open(*it))
            ::unlinkat(parent->fd(), parent->name().c_str(), AT_REMOVEDIR);
    }
    return result;
}

} // namespace qpm
