#include "package/stage_writer.h"

#include "package/sha1.h"
#include "util/strfmt.h"

#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include <archive_entry.h>

namespace qpm {
namespace {

constexpr int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The components of an entry path, without "." and empty ones (none for the
// directory itself); nothing for an absolute path or one that climbs with
// "..", `why` then says which.
std::optional<std::vector<std::string_view>> components_of(std::string_view path, const char *&why)
{
    if (path.starts_with('/')) {
        why = "Path is absolute";
        return std::nullopt;
    }
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            why = "Path contains '..'";
            return std::nullopt;
        }
        parts.push_back(part);
    }
    return parts;
}

// The first `count` components as a path.
std::string joined(const std::vector<std::string_view> &parts, size_t count = SIZE_MAX)
{
    std::string path;
    for (size_t i = 0; i < parts.size() && i < count; ++i) {
        if (i > 0)
            path += '/';
        path += parts[i];
    }
    return path;
}

bool write_all(int fd, const char *data, size_t size, int64_t offset)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

} // namespace

StageWriter::StageWriter(UniqueFd directory) : m_root(std::move(directory))
{
    m_umask = ::umask(0);
    ::umask(m_umask);
}

StageWriter::~StageWriter() = default;

bool StageWriter::fail(std::string text, int err)
{
    if (err != 0)
        text += std::string(": ") + std::strerror(err);
    m_error = std::move(text);
    return false;
}

// Set-user and set-group bits are kept only for the owner this process
// makes files with, as the payload cannot give files away.
mode_t StageWriter::kept_mode(archive_entry *entry) const
{
    mode_t mode = archive_entry_perm(entry) & 07777;
    if ((mode & S_ISUID) && static_cast<uid_t>(archive_entry_uid(entry)) != ::geteuid())
        mode &= ~S_ISUID;
    if ((mode & S_ISGID) && static_cast<gid_t>(archive_entry_gid(entry)) != ::getegid())
        mode &= ~S_ISGID;
    return mode;
}

// The directory `parts[i]` below `up`, made when missing. Invalid after
// fail(): a link or a file stands in the way, or it cannot be opened.
UniqueFd StageWriter::enter(int up, const std::vector<std::string_view> &parts, size_t i)
{
    const std::string name(parts[i]);
    UniqueFd fd(::openat(up, name.c_str(), DIR_FLAGS));
    if (!fd && errno == ENOENT && ::mkdirat(up, name.c_str(), 0755) == 0) {
        m_made.push_back(joined(parts, i + 1) + "/");
        fd.reset(::openat(up, name.c_str(), DIR_FLAGS));
    }
    if (!fd) {
        const int err = errno;
        if (err == ELOOP || err == ENOTDIR)
            fail(strprintf("Cannot extract through symlink %s", joined(parts, i + 1).c_str()));
        else
            fail(strprintf("Cannot open directory %s", joined(parts, i + 1).c_str()), err);
    }
    return fd;
}

// The first `count` directories of `parts` opened afresh from the root.
UniqueFd StageWriter::walk(const std::vector<std::string_view> &parts, size_t count)
{
    UniqueFd dir(::fcntl(m_root.get(), F_DUPFD_CLOEXEC, 0));
    for (size_t i = 0; dir && i < count; ++i)
        dir = enter(dir.get(), parts, i);
    return dir;
}

// The descriptor of the directory holding the last component; the
// directories of the previous entry are reused (payloads list a directory's
// files together). -1 after fail().
int StageWriter::parent_of(const std::vector<std::string_view> &parts)
{
    const size_t depth = parts.size() - 1;
    size_t common = 0;
    while (common < m_chain.size() && common < depth && m_chain[common].name == parts[common])
        ++common;
    m_chain.resize(common);
    for (size_t i = common; i < depth; ++i) {
        UniqueFd fd = enter(i == 0 ? m_root.get() : m_chain[i - 1].fd.get(), parts, i);
        if (!fd) {
            m_chain.clear();
            return -1;
        }
        m_chain.push_back({std::string(parts[i]), std::move(fd)});
    }
    return depth == 0 ? m_root.get() : m_chain.back().fd.get();
}

// An entry written again replaces what an earlier one left, except a
// directory; a link is replaced, never followed.
bool StageWriter::make_room(int parent, const std::string &leaf, const std::string &path)
{
    struct stat st {};
    if (::fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT || fail(strprintf("Cannot stat %s", path.c_str()), errno);
    if (S_ISDIR(st.st_mode))
        return fail(strprintf("Cannot replace the directory %s", path.c_str()));
    if (::unlinkat(parent, leaf.c_str(), 0) != 0)
        return fail(strprintf("Cannot remove %s", path.c_str()), errno);
    return true;
}

void StageWriter::record(const std::string &path, std::string digest)
{
    const auto [at, added] = m_index.emplace(path, m_files.size());
    if (added) {
        m_files.push_back({path, std::move(digest)});
        m_made.push_back(path);
    } else {
        m_files[at->second].digest = std::move(digest);
    }
}

void StageWriter::forget_digest(const std::string &path)
{
    if (const auto at = m_index.find(path); at != m_index.end())
        m_files[at->second].digest.clear();
}

bool StageWriter::begin(archive_entry *entry)
{
    m_error.clear();
    const char *name = archive_entry_pathname(entry);
    const char *why = nullptr;
    const std::optional<std::vector<std::string_view>> parts = components_of(name ? name : "", why);
    if (!parts)
        return fail(why);
    if (parts->empty()) // the stage directory itself: nothing to make
        return archive_entry_filetype(entry) == AE_IFDIR || fail("Invalid empty pathname");
    const int parent = parent_of(*parts);
    if (parent < 0)
        return false;
    const std::string leaf(parts->back());
    const std::string path = joined(*parts);

    if (archive_entry_hardlink(entry))
        return begin_hardlink(entry, parent, leaf, path);
    switch (archive_entry_filetype(entry)) {
    case AE_IFREG:
        return begin_file(entry, parent, leaf, path);
    case AE_IFDIR: {
        if (::mkdirat(parent, leaf.c_str(), 0755) == 0) {
            m_made.push_back(path + "/");
        } else {
            const int err = errno;
            struct stat st {};
            const bool is_dir = err == EEXIST && ::fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                                S_ISDIR(st.st_mode);
            if (!is_dir)
                return fail(strprintf("Cannot make the directory %s", path.c_str()), err);
        }
        m_fixups.push_back({path, kept_mode(entry), archive_entry_mtime(entry)});
        return true;
    }
    case AE_IFLNK: {
        const char *target = archive_entry_symlink(entry);
        if (!make_room(parent, leaf, path))
            return false;
        if (::symlinkat(target ? target : "", parent, leaf.c_str()) != 0)
            return fail(strprintf("Cannot make the symbolic link %s", path.c_str()), errno);
        record(path, std::string());
        return true;
    }
    default:
        return fail(strprintf("Cannot extract %s: not a regular file, directory or symbolic link", path.c_str()));
    }
}

bool StageWriter::begin_file(archive_entry *entry, int parent, const std::string &leaf, const std::string &path)
{
    m_file_mode = kept_mode(entry);
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    m_file.reset(::openat(parent, leaf.c_str(), flags, m_file_mode & 0777));
    if (!m_file && errno == EEXIST) {
        if (!make_room(parent, leaf, path))
            return false;
        m_file.reset(::openat(parent, leaf.c_str(), flags, m_file_mode & 0777));
    }
    if (!m_file)
        return fail(strprintf("Cannot create %s", path.c_str()), errno);
    m_file_path = path;
    m_file_mtime = archive_entry_mtime(entry);
    m_file_pos = 0;
    m_file_in_order = true;
    m_sha = std::make_unique<Sha1Stream>();
    record(path, std::string());
    return true;
}

// A hard link to an earlier entry of the same payload; its data, if any,
// goes into the file both names share.
bool StageWriter::begin_hardlink(archive_entry *entry, int parent, const std::string &leaf, const std::string &path)
{
    const char *why = nullptr;
    const std::optional<std::vector<std::string_view>> target = components_of(archive_entry_hardlink(entry), why);
    if (!target || target->empty())
        return fail(strprintf("Hard link to %s refused: %s", archive_entry_hardlink(entry),
                              why ? why : "Invalid empty pathname"));
    const UniqueFd target_dir = walk(*target, target->size() - 1);
    if (!target_dir)
        return false;
    const std::string target_leaf(target->back());
    struct stat st {};
    if (::fstatat(target_dir.get(), target_leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return fail(strprintf("Hard link to %s refused: not a file of this package", joined(*target).c_str()));
    if (!make_room(parent, leaf, path))
        return false;
    if (::linkat(target_dir.get(), target_leaf.c_str(), parent, leaf.c_str(), 0) != 0)
        return fail(strprintf("Cannot link %s", path.c_str()), errno);
    record(path, std::string());
    forget_digest(joined(*target));
    if (archive_entry_size(entry) > 0) {
        m_file.reset(::openat(parent, leaf.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC));
        if (!m_file)
            return fail(strprintf("Cannot open %s", path.c_str()), errno);
        m_file_path = path;
        m_file_mode = kept_mode(entry);
        m_file_mtime = archive_entry_mtime(entry);
        m_file_pos = 0;
        m_file_in_order = false; // its digest is read from the disk
        m_sha.reset();
    }
    return true;
}

bool StageWriter::write(const void *data, size_t size, int64_t offset)
{
    if (!m_file)
        return true; // a directory or link: nothing to write
    if (!write_all(m_file.get(), static_cast<const char *>(data), size, offset))
        return fail("Write failed", errno);
    if (offset != m_file_pos)
        m_file_in_order = false;
    if (m_file_in_order && m_sha && !m_sha->update(data, size))
        m_file_in_order = false;
    m_file_pos = offset + static_cast<int64_t>(size);
    return true;
}

bool StageWriter::finish()
{
    if (!m_file)
        return true;
    bool ok = true;
    // The mode asked for, where the creation mask took bits away or special
    // bits are wanted.
    if ((m_file_mode & ~0777) != 0 || (m_file_mode & m_umask) != 0)
        ok = ::fchmod(m_file.get(), m_file_mode) == 0 || fail(strprintf("Cannot set the mode of %s", m_file_path.c_str()), errno);
    const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(m_file_mtime), 0}};
    if (ok && ::futimens(m_file.get(), times) != 0)
        ok = fail(strprintf("Cannot set the time of %s", m_file_path.c_str()), errno);
    if (m_file.close() != 0 && ok)
        ok = fail("Write failed", errno);
    std::string digest;
    if (ok && m_file_in_order && m_sha) {
        if (const std::optional<Sha1::Digest> d = m_sha->final())
            digest = sha1_format(*d, 'x');
    }
    if (const auto at = m_index.find(m_file_path); at != m_index.end())
        m_files[at->second].digest = std::move(digest);
    m_sha.reset();
    return ok;
}

bool StageWriter::close()
{
    m_chain.clear();
    // Innermost first: a parent's mode must not stop its children's.
    std::sort(m_fixups.begin(), m_fixups.end(),
              [](const DirFixup &a, const DirFixup &b) { return a.path.size() > b.path.size(); });
    bool ok = true;
    for (const DirFixup &fix : m_fixups) {
        const char *why = nullptr;
        const std::optional<std::vector<std::string_view>> parts = components_of(fix.path, why);
        const UniqueFd dir = parts ? walk(*parts, parts->size()) : UniqueFd();
        if (!dir) {
            ok = false; // walk() said why
            continue;
        }
        const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(fix.mtime), 0}};
        if (::fchmod(dir.get(), fix.mode) != 0 || ::futimens(dir.get(), times) != 0)
            ok = fail(strprintf("Cannot set the mode of %s", fix.path.c_str()), errno);
    }
    m_fixups.clear();
    return ok;
}

void StageWriter::remove_all()
{
    m_file.reset();
    m_chain.clear();
    for (auto it = m_made.rbegin(); it != m_made.rend(); ++it) {
        if (it->ends_with('/'))
            ::unlinkat(m_root.get(), it->substr(0, it->size() - 1).c_str(), AT_REMOVEDIR);
        else
            ::unlinkat(m_root.get(), it->c_str(), 0);
    }
    m_made.clear();
    m_files.clear();
    m_index.clear();
}

} // namespace qpm
