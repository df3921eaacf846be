#include "engine/transaction.h"

#include "engine/install.h"
#include "package/filecopy.h"
#include "package/tree.h"
#include "util/log.h"
#include "util/rootfs.h"
#include "util/sysroot.h"

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

} // namespace

FileTransaction::FileTransaction(std::string backup_tree) : m_backup(std::move(backup_tree)) {}

FileTransaction::~FileTransaction()
{
    if (!m_committed)
        rollback();
}

long long FileTransaction::put(const std::string &path, const std::string &source, How how)
{
    const std::string target = root_path(path);
    // The directory is opened inside the system root, made where it is
    // missing; what it took to make it goes with a rollback.
    const std::optional<RootDirs::Parent> parent = m_dirs.parent(path, true, &m_new_dirs);
    if (!parent) {
        qlog(LL_ERROR, "Failed to open %s for writing: %s\n", target.c_str(), std::strerror(errno));
        return -1;
    }
    const FileAt at{parent->fd, parent->name, target};
    const long long copied =
        how == How::Move ? qpm_qpf_move(at, source, m_backup) : qpm_qpf_copy(at, source, m_backup, 1);
    // A failed copy or move never replaces the target: whatever it left goes
    // with the rollback, and a file that was there before is removed only
    // when its backup can bring it back.
    if (copied >= 0 || !exists_at(at.dir, at.name) || exists_nofollow(m_backup + target))
        m_written.push_back(target);
    return copied;
}

int FileTransaction::remove(const std::string &path, int *unlink_error)
{
    const std::optional<RootDirs::Parent> parent = m_dirs.parent(path);
    if (!parent || !exists_at(parent->fd, parent->name))
        return 1;
    const FileAt at{parent->fd, parent->name, root_path(path)};
    if (qpm_qpf_backup(at, m_backup) != 0)
        return -1;
    if (::unlinkat(at.dir, at.name.c_str(), 0) != 0 && unlink_error)
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
