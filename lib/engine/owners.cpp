#include "engine/owners.h"

#include "engine/search_common.h"
#include "util/files.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/rootfs.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unordered_map>
#include <utility>

namespace qpm {

using namespace search_detail;

namespace {

// Who owns which file: every line of every file index, read once. It is
// read again when the file index directory changes, and when the directory
// changed in the same clock tick in which it was read (a later change in
// that tick would leave its time stamps as they are).
struct OwnerIndex {
    bool valid = false;
    bool racy = false;
    std::string dir;
    struct stat dir_stat {};
    std::unordered_map<std::string, std::string> owners; // path -> package
    // The owned paths whose directory is reached through a link, by the path
    // they lead to; made on the first look-up that needs it.
    std::optional<std::unordered_map<std::string, std::string>> through_links;
};

// The paths of `index` that a link on their way leads elsewhere, by where
// they lead inside the system root: each directory is resolved once.
void index_through_links(OwnerIndex &index)
{
    index.through_links.emplace();
    std::unordered_map<std::string, std::optional<std::string>> resolved_dirs;
    for (const auto &[path, owner] : index.owners) {
        const auto [dir, name] = split_system_path(path);
        if (dir.empty() || name.empty())
            continue;
        auto it = resolved_dirs.find(std::string(dir));
        if (it == resolved_dirs.end())
            it = resolved_dirs.emplace(std::string(dir), root_resolve(dir)).first;
        if (!it->second || *it->second == dir)
            continue;
        const std::string leads_to = (*it->second == "/" ? std::string() : *it->second) + "/" + std::string(name);
        index.through_links->emplace(leads_to, owner);
    }
}

OwnerIndex g_owner_index;

bool same_state(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool before(const timespec &a, const timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

bool build_owner_index(const std::string &dir, const std::string &installed, OwnerIndex &index)
{
    index = OwnerIndex{};
    timespec started {};
    clock_gettime(CLOCK_REALTIME_COARSE, &started);
    struct stat dir_stat {};
    const std::optional<DirNames> listing =
        stat(dir.c_str(), &dir_stat) == 0 ? list_directory(dir) : std::nullopt;
    if (!listing) {
        qlog(LL_ERROR, "Failure opening <%s> for reading: %s", dir.c_str(), std::strerror(errno));
        return false;
    }
    StrArr names;
    for (const DirName &entry : listing->entries)
        names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        const std::string index_path = strprintf("%s/%s", dir.c_str(), name.c_str());
        if (!is_regular(index_path)) {
            qlog(LL_DEBUG, "Omitting non-file %s", name.c_str());
            continue;
        }
        if (name.front() == '.') {
            qlog(LL_DEBUG, "Omitting backup file %s", name.c_str());
            continue;
        }
        // An index is written before its install record: without the
        // record, the registration never finished and the index speaks
        // for no package.
        if (!is_regular(strprintf("%s/%s/inst.txt", installed.c_str(), name.c_str()))) {
            qlog(LL_DEBUG, "Omitting index %s of no installed package", name.c_str());
            continue;
        }
        qlog(LL_DEBUG, "Checking in <%s>", index_path.c_str());
        FilePtr file = fopen_cloexec(index_path, "r");
        if (!file) {
            qlog(LL_ERROR, "Failure opening <%s> for reading: %s", index_path.c_str(), std::strerror(errno));
            continue;
        }
        for (std::string &line : read_lines(file.get()))
            index.owners.emplace(std::move(line), name); // the first index listing a path owns it
    }
    index.valid = true;
    index.dir = dir;
    index.dir_stat = dir_stat;
    index.racy = !before(dir_stat.st_mtim, started) || !before(dir_stat.st_ctim, started);
    return true;
}

OwnerIndex *owner_index(const std::string &dir, const std::string &installed)
{
    OwnerIndex &index = g_owner_index;
    struct stat now {};
    const bool fresh = index.valid && !index.racy && index.dir == dir && stat(dir.c_str(), &now) == 0 &&
                       same_state(now, index.dir_stat);
    if (fresh)
        return &index;
    return build_owner_index(dir, installed, index) ? &index : nullptr;
}

} // namespace

std::optional<std::string> qpm_file_owner(const qpm_handle *qpm, const std::string &path)
{
    // Links, of the file or of a directory on its way, lead where they lead
    // inside the system root, never onto the host.
    const std::optional<std::string> resolved = root_resolve(path);
    if (!resolved) {
        const int err = errno;
        struct stat st {};
        if (lstat(root_path(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            qlog(LL_ERROR, "%s is a symbolic link, but cannot be resolved", path.c_str());
        else
            qlog(LL_ERROR, "Failure opening <%s>: %s", path.c_str(), std::strerror(err));
        return std::nullopt;
    }
    if (*resolved != path)
        qlog(LL_INFO, "%s is a symbolic link to %s", path.c_str(), resolved->c_str());

    const std::string dir = dirs_of(qpm).fileindex;
    OwnerIndex *index = owner_index(dir, dirs_of(qpm).installed);
    if (!index)
        return std::nullopt;
    // The path as a package listed it, or the file it leads to.
    const std::string *wanted = &path;
    auto it = index->owners.find(path);
    if (it == index->owners.end()) {
        wanted = &*resolved;
        it = index->owners.find(*resolved);
    }
    if (it == index->owners.end()) {
        // Another package may have named the same file through a linked
        // directory.
        if (!index->through_links)
            index_through_links(*index);
        const auto through = index->through_links->find(*resolved);
        if (through == index->through_links->end())
            return std::nullopt;
        qlog(LL_DEBUG, "Found <%s> in <%s>", resolved->c_str(),
             strprintf("%s/%s", dir.c_str(), through->second.c_str()).c_str());
        return through->second;
    }
    qlog(LL_DEBUG, "Found <%s> in <%s>", wanted->c_str(), strprintf("%s/%s", dir.c_str(), it->second.c_str()).c_str());
    return it->second;
}

void qpm_file_owner_forget() { g_owner_index = OwnerIndex{}; }

} // namespace qpm
