#include "package/hashlist.h"

#include "package/sha1.h"
#include "package/signature.h"
#include "package/tree_common.h"
#include "util/files.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strfmt.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <optional>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace qpm {

using tree_detail::open_list;

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

// The digest of what the symbolic link ROOT+RELATIVE leads to, when that
// is a regular file inside the tree ROOT: the link is resolved beneath the
// tree's directory, so an absolute target, a ".." past the tree's top or a
// link through /proc fails, and so does a target that is a FIFO, a device
// or a directory. Nothing in those cases.
std::optional<std::string> hash_link_in_tree(const std::string &root, const std::string &relative)
{
    const UniqueFd dir(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        return std::nullopt;
    open_how how{};
    how.flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const std::string inside = relative.substr(relative.find_first_not_of('/'));
    const UniqueFd fd(static_cast<int>(::syscall(SYS_openat2, dir.get(), inside.c_str(), &how, sizeof how)));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    Sha1Stream sha;
    if (!sha.update_from(fd.get()))
        return std::nullopt;
    const std::optional<Sha1::Digest> digest = sha.final();
    return digest ? std::optional<std::string>(sha1_format(*digest, 'x')) : std::nullopt;
}

// The digest of a file of the tree ROOT read from the disk: a regular file's
// own, or a link's target's as above; nothing for anything else.
std::optional<std::string> hash_on_disk(const std::string &root, const std::string &relative)
{
    struct stat st {};
    const std::string full = root + relative;
    if (::lstat(full.c_str(), &st) != 0)
        return std::nullopt;
    if (S_ISREG(st.st_mode))
        return qps_sha1_file(full, 'x');
    if (S_ISLNK(st.st_mode))
        return hash_link_in_tree(root, relative);
    return std::nullopt;
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

int qpm_qpf_hash_unpacked(const std::string &directory, const std::string &tree, const UnpackedFiles &files,
                          EkvaPtr &list)
{
    if (!list)
        list = ekva_new(QPF_HASHES_CAPACITY, QPF_HASHES_KIND);
    const std::string root = directory + "/" + tree;
    for (const UnpackedFile &file : files) {
        if (file.path == tree) {
            qlog(LL_ERROR, "%s is not a directory", root.c_str());
            return -1;
        }
        if (!file.path.starts_with(tree) || file.path[tree.size()] != '/')
            continue;
        std::string relative = file.path.substr(tree.size());
        std::optional<std::string> hash = file.digest;
        if (hash->empty())
            hash = hash_on_disk(root, relative);
        if (!hash) {
            qlog(LL_ERROR, "failed to generate sha1 of %s", (root + relative).c_str());
            return -1;
        }
        qlog(LL_DEBUG, "Adding hash %s for file %s", hash->c_str(), relative.c_str());
        append_entry(list, std::move(*hash), std::move(relative));
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
    const std::optional<DirNames> listing = list_directory(dir_path);
    if (!listing) {
        qlog(LL_ERROR, "can't open '%s'", dir_path.c_str());
        return -1;
    }
    for (const DirName &entry : listing->entries) {
        std::string relative = strprintf("%s/%s", subpath.c_str(), entry.name.c_str());
        const std::string full = root + relative;
        unsigned char type = entry.type;
        if (type == DT_UNKNOWN) {
            struct stat entry_st {};
            if (::lstat(full.c_str(), &entry_st) != 0) {
                qlog(LL_ERROR, "can't stat '%s'", full.c_str());
                return -1;
            }
            type = S_ISDIR(entry_st.st_mode)   ? DT_DIR
                   : S_ISREG(entry_st.st_mode) ? DT_REG
                   : S_ISLNK(entry_st.st_mode) ? DT_LNK
                                               : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
            const int rc = qpm_qpf_hash_files(root, relative, list);
            if (rc != 0) {
                qlog(LL_DEBUG, "qpm_qpf_hash_files on %s got rc=%d\n", full.c_str(), rc);
                return rc;
            }
            continue;
        }
        // Regular files are digested, and links to regular files of the same
        // tree (under the link's path); a link leading out of the tree, a FIFO
        // or a device is not read and fails the tree.
        std::optional<std::string> hash;
        if (type == DT_REG)
            hash = qps_sha1_file(full, 'x');
        else if (type == DT_LNK)
            hash = hash_link_in_tree(root, relative);
        if (!hash) {
            qlog(LL_ERROR, "failed to generate sha1 of %s", full.c_str());
            return -1;
        }
        qlog(LL_DEBUG, "Adding hash %s for file %s", hash->c_str(), relative.c_str());
        append_entry(list, std::move(*hash), std::move(relative));
    }
    if (listing->close_error) {
        qlog(LL_ERROR, "can't close '%s'", dir_path.c_str());
        return -1;
    }
    return 0;
}

} // namespace qpm
