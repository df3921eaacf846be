#pragma once
// The file transaction of one package change (install, update, removal).
// Every change it makes on the system is first backed up into the backup
// tree (BACKUP + PATH, PATH inside the system root, listed in
// BACKUP/index.txt) or noted as new; unless commit() is called, the
// destructor undoes all of it, newest first: record exchanges are exchanged
// back, directories and files it made are removed, the links it made go,
// written files are removed and every backed-up file is restored. A crash leaves the backup tree for the next run to see.
//
// Paths named "system path" are paths on the target system (/usr/bin/x);
// the transaction reaches them inside the system root (util/rootfs.h): no
// link in the image leads a write or a removal out of it. Other paths are
// taken as this process sees them (inventory paths are already under the
// root).
#include "util/rootfs.h"
#include "util/strarr.h"

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace qpm {

class FileTransaction {
public:
    explicit FileTransaction(std::string backup_tree);
    // With the directories a check looked through: what it saw there spares
    // the writes a look of their own.
    FileTransaction(std::string backup_tree, RootDirs system);
    FileTransaction(const FileTransaction &) = delete;
    FileTransaction &operator=(const FileTransaction &) = delete;
    ~FileTransaction();

    enum class How { Move, Copy };

    // Puts `source` at the system path `path`, saving what was there first.
    // Move renames the source into place where it can (the stage goes
    // anyway); Copy leaves it. The new file gets the source's mode. The byte
    // count, or -1 (what was there before is still there).
    long long put(const std::string &path, const std::string &source, How how);

    // Saves the file or link at the system path `path` into the backup tree
    // (listed in its index) and only then unlinks it. 0 when removed, 1 when
    // nothing was there, -1 when it could not be saved (nothing changed);
    // a failing unlink after the save is 0 with the file still there and a
    // warning (`unlink_error` set to its errno).
    int remove(const std::string &path, int *unlink_error = nullptr);

    // Applies a package's link list; on rollback its links are removed.
    // The list's result (links never fail a transaction).
    int make_links(const std::string &link_list);

    // Something this transaction made (a directory tree or a file, as this
    // process sees it): removed on rollback.
    void created(const std::string &path);

    // Exchanges `a` and `b` atomically (both must exist): exchanged back on
    // rollback. 0, or -1 with errno (nothing changed).
    int exchange(const std::string &a, const std::string &b);

    // Keeps everything: the destructor then changes nothing.
    void commit() { m_committed = true; }
    bool committed() const { return m_committed; }

    // Undoes everything now (the destructor then does nothing more).
    // 0, or -1 when some backup could not be restored.
    int rollback();

    // The files written on the system so far, as this process sees them.
    const StrArr &written() const { return m_written; }
    const std::string &backup_tree() const { return m_backup; }

private:
    enum class Kind { Created, Exchanged, Links };
    // The common case of put() by Move in a few calls: a single regular
    // file renamed from the stage, onto nothing (no backup needed) or onto
    // a file or link the check saw (saved by a hard link first). nullopt
    // when it does not apply and nothing changed: the general way then
    // takes it from the start.
    std::optional<long long> move_quickly(const RootDirs::Parent &at, const std::string &path, const std::string &target,
                                          const std::string &source, std::optional<RootDirs::Found> seen);
    // Saves the file or link `at` as BACKUP+TARGET by a hard link and lists
    // it: 0, 1 when it was saved before (that backup stays), -1 once logged
    // (nothing saved), or nullopt when no link can be made here.
    std::optional<int> link_backup(const std::string &path, const RootDirs::Parent &at, const std::string &target);
    // The directory BACKUP+DIR of the system directory holding `path`, made
    // when missing; -1 when it cannot be.
    int backup_dir(const std::string &path);
    // The stage directory holding `source`; -1 when it cannot be opened.
    int source_dir(const std::string &source);
    // Appends the system path `path` to BACKUP/index.txt; false once logged.
    bool list_backup(const std::string &path);
    struct Undo {
        Kind kind;
        std::string a;
        std::string b;
    };

    std::string m_backup;
    StrArr m_written;
    std::vector<Undo> m_undo;
    std::vector<std::string> m_new_dirs; // system paths of parents made for written files, outermost first
    RootDirs m_dirs;                     // the directories written into, opened inside the system root
    std::unordered_map<std::string, UniqueFd> m_backup_dirs; // system directory -> its backup directory
    std::unordered_map<std::string, UniqueFd> m_source_dirs; // stage directory -> descriptor
    UniqueFd m_index;                                         // BACKUP/index.txt, appended to
    bool m_no_noreplace = false;                              // the file system cannot rename without replacing
    bool m_committed = false;
};

} // namespace qpm
