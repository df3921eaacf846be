#include "package/dirs.h"

#include "util/files.h"
#include "util/log.h"
#include "util/raii.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qpm {
namespace {

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

// The path-by-path removal, for trees deeper than the descriptors allow.
int remove_by_path(const std::string &path)
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
    // Read whole before any entry is changed.
    const std::optional<DirNames> entries = list_directory(path);
    if (!entries)
        return -1;
    int rc = 0;
    for (const DirName &entry : entries->entries) {
        if (remove_by_path(child_path(path, entry.name)) != 0)
            rc = -1;
    }
    if (entries->close_error) {
        qlog(LL_ERROR, "can't close '%s'", path.c_str());
        rc = -1;
    }
    if (::rmdir(path.c_str()) != 0) {
        qlog(LL_ERROR, "can't remove '%s'", path.c_str());
        return -1;
    }
    return rc;
}

// Directories below this many levels are removed by path: each level
// holds a descriptor while its entries go.
constexpr int MAX_DEPTH_BY_DESCRIPTOR = 128;

// The entries of the open directory `dir`, read whole before any is
// changed; nullopt with errno when reading fails.
std::optional<std::vector<DirName>> read_entries(int dir)
{
    std::vector<DirName> entries;
    std::vector<char> buffer(32768); // aligned for any type, dirent64 included
    for (;;) {
        const ssize_t n = ::getdents64(dir, buffer.data(), buffer.size());
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            return entries;
        for (ssize_t at = 0; at < n;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer.data() + at);
            const std::string_view name = entry->d_name;
            if (name != "." && name != "..")
                entries.push_back({std::string(name), entry->d_type});
            at += entry->d_reclen;
        }
    }
}

int empty_directory(int dir, const std::string &path, int depth);

// Removes the entry `name` of the open directory `dir` (`path` in
// messages), a whole tree when it is a directory. 0, also when it is gone.
int remove_entry(int dir, const DirName &entry, const std::string &path, int depth)
{
    const char *name = entry.name.c_str();
    bool is_dir = entry.type == DT_DIR;
    if (entry.type == DT_UNKNOWN) {
        struct stat st {};
        if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                return 0;
            qlog(LL_ERROR, "can't stat '%s'", path.c_str());
            return -1;
        }
        is_dir = S_ISDIR(st.st_mode);
    }
    if (!is_dir) {
        if (::unlinkat(dir, name, 0) == 0 || errno == ENOENT)
            return 0;
        qlog(LL_ERROR, "can't remove '%s'", path.c_str());
        return -1;
    }
    // An empty directory goes at once (most in a stage whose files moved out).
    if (::unlinkat(dir, name, AT_REMOVEDIR) == 0 || errno == ENOENT)
        return 0;
    if (depth >= MAX_DEPTH_BY_DESCRIPTOR)
        return remove_by_path(path);
    UniqueFd sub(::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!sub)
        return errno == ENOENT ? 0 : remove_by_path(path);
    int rc = empty_directory(sub.get(), path, depth + 1);
    if (sub.close() != 0) {
        qlog(LL_ERROR, "can't close '%s'", path.c_str());
        rc = -1;
    }
    if (::unlinkat(dir, name, AT_REMOVEDIR) != 0) {
        qlog(LL_ERROR, "can't remove '%s'", path.c_str());
        return -1;
    }
    return rc;
}

// Removes every entry of the open directory `dir` (`path` in messages).
int empty_directory(int dir, const std::string &path, int depth)
{
    const std::optional<std::vector<DirName>> entries = read_entries(dir);
    if (!entries)
        return -1;
    int rc = 0;
    for (const DirName &entry : *entries) {
        if (remove_entry(dir, entry, child_path(path, entry.name), depth) != 0)
            rc = -1;
    }
    return rc;
}

} // namespace

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
    UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!dir) {
        if (errno == ENOENT)
            return 0;
        if (errno != ENOTDIR && errno != ELOOP)
            return remove_by_path(path); // says what is wrong
        if (::unlink(path.c_str()) != 0) {
            qlog(LL_ERROR, "can't remove '%s'", path.c_str());
            return -1;
        }
        return 0;
    }
    int rc = empty_directory(dir.get(), path, 0);
    if (dir.close() != 0) {
        qlog(LL_ERROR, "can't close '%s'", path.c_str());
        rc = -1;
    }
    if (::rmdir(path.c_str()) != 0) {
        qlog(LL_ERROR, "can't remove '%s'", path.c_str());
        return -1;
    }
    return rc;
}

int qpm_qpf_empty_dir(const std::string &path)
{
    UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return dir ? empty_directory(dir.get(), path, 0) : -1;
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
    // Read whole before any entry is changed.
    const std::optional<DirNames> entries = list_directory(path);
    if (!entries)
        return -1;
    int rc = 0;
    for (const DirName &entry : entries->entries) {
        if (qpm_qpf_dudir(child_path(path, entry.name), total) != 0)
            rc = -1;
    }
    if (entries->close_error) {
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

} // namespace qpm
