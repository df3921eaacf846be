#include "engine/transaction.h"

#include "engine/install.h"
#include "package/tree.h"
#include "util/log.h"
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

std::string parent_of(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

} // namespace

FileTransaction::FileTransaction(std::string backup_tree) : m_backup(std::move(backup_tree)) {}

FileTransaction::~FileTransaction()
{
    if (!m_committed)
        rollback();
}

void FileTransaction::note_new_parents(const std::string &target)
{
    // The directories a copy will make for `target`, outermost first; each
    // directory is looked at once per transaction.
    std::vector<std::string> missing;
    for (std::string dir = parent_of(target); !dir.empty(); dir = parent_of(dir)) {
        if (m_known_dirs.count(dir))
            break;
        if (exists_nofollow(dir)) {
            m_known_dirs.insert(dir);
            break;
        }
        missing.push_back(dir);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        m_new_dirs.push_back(*it);
        m_known_dirs.insert(*it);
    }
}

long long FileTransaction::put(const std::string &path, const std::string &source, How how)
{
    const std::string target = root_path(path);
    note_new_parents(target);
    const long long copied =
        how == How::Move ? qpm_qpf_move(target, source, m_backup) : qpm_qpf_copy(target, source, m_backup, 1);
    // A failed copy or move never replaces the target: whatever it left goes
    // with the rollback, and a file that was there before is removed only
    // when its backup can bring it back.
    if (copied >= 0 || !exists_nofollow(target) || exists_nofollow(m_backup + target))
        m_written.push_back(target);
    return copied;
}

int FileTransaction::remove(const std::string &path, int *unlink_error)
{
    const std::string target = root_path(path);
    if (!exists_nofollow(target))
        return 1;
    if (qpm_qpf_backup(target, m_backup) != 0)
        return -1;
    if (::unlink(target.c_str()) != 0 && unlink_error)
        *unlink_error = errno;
    return 0;
}

int FileTransaction::make_links(const std::string &link_list)
{
    m_undo.push_back({Kind::Links, link_list, {}});
    return qpm_qpf_links(link_list, 1, 1);
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
    for (auto it = m_new_dirs.rbegin(); it != m_new_dirs.rend(); ++it)
        ::rmdir(it->c_str());
    return result;
}

} // namespace qpm
