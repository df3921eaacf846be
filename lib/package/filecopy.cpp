#include "package/filecopy.h"

#include "package/dirs.h"
#include "package/tree_common.h"
#include "util/files.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/rootfs.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {

using tree_detail::dir_of;

namespace {

std::optional<std::string> read_link(const FileAt &at) { return read_link_at(at.dir, at.name); }

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

// How a failed rename of a new file over its path is reported: a backup is
// not yet written, a target is not replaced.
enum class RenameText { write, replace };

void log_rename_failure(const std::string &path, RenameText text, int err)
{
    if (text == RenameText::replace)
        qlog(LL_ERROR, "Failed to replace %s: %s\n", path.c_str(), std::strerror(err));
    else
        qlog(LL_ERROR, "Failed to write %s: %s\n", path.c_str(), std::strerror(err));
}

// Replaces `path` by a copy of everything readable from `in` (copy_replace;
// a missing directory is made first), given `bits` when >= 0. The byte
// count, or -1 once the failure is logged.
long long copy_over(int in, const FileAt &at, int bits, RenameText on_rename)
{
    const std::string &path = at.shown;
    CopyError err;
    long long copied = copy_replace(in, at.name, {.bits = bits, .dir = at.dir}, err);
    // Nothing was read from `in` before the new file was made. A directory
    // given by descriptor is there already.
    if (copied < 0 && err.step == CopyStep::create && err.errnum == ENOENT && at.dir == AT_FDCWD &&
        !dir_of(at.name).empty()) {
        qpm_qpf_mkdir(dir_of(at.name), 0755);
        copied = copy_replace(in, at.name, {.bits = bits, .dir = at.dir}, err);
    }
    switch (err.step) {
    case CopyStep::create:
        qlog(LL_ERROR, "Failed to open %s for writing: %s\n", path.c_str(), std::strerror(err.errnum));
        return -1;
    case CopyStep::read:
    case CopyStep::write:
        qlog(LL_ERROR, "Failed to write %s: %s\n", path.c_str(), std::strerror(err.errnum));
        return -1;
    default:
        break;
    }
    qlog(LL_DEBUG, "Wrote %lld bytes to %s\n", err.copied, path.c_str());
    if (err.chmod_errnum)
        qlog(LL_WARNING, "Failed to set permission on %s: %s\n", path.c_str(), std::strerror(err.chmod_errnum));
    if (err.step == CopyStep::rename) {
        log_rename_failure(path, on_rename, err.errnum);
        return -1;
    }
    if (err.step != CopyStep::none) {
        qlog(LL_ERROR, "Failed to write %s: %s\n", path.c_str(), std::strerror(err.errnum));
        return -1;
    }
    return copied;
}

// Replaces `path` by a new symbolic link holding `text`, made beside it (a
// missing directory first) and renamed over it. 0, or -1 once logged.
int link_over(const FileAt &at, const std::string &text, RenameText on_rename)
{
    const std::string &path = at.shown;
    SiblingFile out;
    if (!with_directory_of(at.name, [&] { return out.create_link(at.name, text, at.dir); })) {
        qlog(LL_ERROR, "Failed to open %s for writing: %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    if (out.commit() != 0) {
        log_rename_failure(path, on_rename, errno);
        return -1;
    }
    return 0;
}

// Opens `path` for reading only when it is a regular file.
UniqueFd open_regular(const FileAt &at, struct stat &st)
{
    UniqueFd fd(::openat(at.dir, at.name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
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

// How the target `shown` (as this process sees it) is named in a backup
// tree and its index: its path inside the system root.
std::string backup_listing(const std::string &shown) { return system_path_of(shown).value_or(shown); }

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

// Saves `target` as `backup` by a hard link: the file itself stays, under a
// second name, once the target is renamed over. False when no link can be
// made (another file system, no right to link): a copy is made then.
bool link_backup(const FileAt &target, const std::string &backup)
{
    return with_directory_of(
        backup, [&] { return ::linkat(target.dir, target.name.c_str(), AT_FDCWD, backup.c_str(), 0) == 0; });
}

// Saves the regular file or symbolic link at `target` as BASE+TARGET and
// lists it in BASE/index.txt. Both are complete before the caller touches
// the target; a target saved before in this transaction keeps that backup.
int backup_target(const std::string &base, const FileAt &at, const struct stat &target_st, bool by_link = false)
{
    const std::string &target = at.shown;
    if (target.find('\n') != std::string::npos) {
        qlog(LL_ERROR, "qpm_qpf_copy: %s can not be listed in a backup index", target.c_str());
        return -1;
    }
    const std::string listed = backup_listing(target);
    const std::string backup = base + listed;
    struct stat st {};
    if (::lstat(backup.c_str(), &st) == 0) {
        qlog(LL_DEBUG, "qpm_qpf_copy: %s was backed up before, keeping that backup", target.c_str());
        return 0;
    }
    qlog(LL_DEBUG, "Backing up %s to %s\n", target.c_str(), backup.c_str());
    if (by_link && link_backup(at, backup)) {
        if (append_backup_index(base, listed) != 0) {
            ::unlink(backup.c_str());
            return -1;
        }
        return 0;
    }
    if (S_ISLNK(target_st.st_mode)) {
        const std::optional<std::string> text = read_link(at);
        if (!text) {
            qlog(LL_ERROR, "Failed to open %s for reading: %s\n", target.c_str(), std::strerror(errno));
            return -1;
        }
        if (link_over(FileAt::path(backup), *text, RenameText::write) != 0)
            return -1;
    } else {
        struct stat in_st {};
        UniqueFd in = open_regular(at, in_st);
        if (!in) {
            qlog(LL_ERROR, "Failed to open %s for reading: %s\n", target.c_str(), std::strerror(errno));
            return -1;
        }
        if (copy_over(in.get(), FileAt::path(backup), static_cast<int>(in_st.st_mode & 07777), RenameText::write) < 0)
            return -1;
    }
    // A backup that is not listed would never be restored, and would hide
    // this target from a later copy: it goes again.
    if (append_backup_index(base, listed) != 0) {
        ::unlink(backup.c_str());
        return -1;
    }
    return 0;
}

// Checks what is at `target` before it is replaced and saves it under
// `backup_base` (by a hard link when `by_link` and one can be made): 0, or
// -1 once the failure is logged.
int prepare_target(const FileAt &at, const std::optional<std::string> &backup_base, bool by_link)
{
    const std::string &target = at.shown;
    qlog(LL_DEBUG, "qpm_qpf_copy: checking existence of %s", target.c_str());
    struct stat dst_st {};
    if (::fstatat(at.dir, at.name.c_str(), &dst_st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            qlog(LL_ERROR, "Failed to stat %s: %s\n", target.c_str(), std::strerror(errno));
            return -1;
        }
        qlog(LL_DEBUG, "qpm_qpf_copy: %s does not exist, no backup necessary", target.c_str());
    } else if (S_ISLNK(dst_st.st_mode) || S_ISREG(dst_st.st_mode)) {
        qlog(LL_DEBUG, "qpm_qpf_copy: %s exists", target.c_str());
        if (S_ISLNK(dst_st.st_mode))
            qlog(LL_INFO, "Removing existing symbolic link %s", target.c_str());
        if (backup_base && backup_target(*backup_base, at, dst_st, by_link) != 0)
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
long long write_over(const FileAt &target, const std::string &source, const struct stat &src_st, int in,
                     const std::optional<std::string> &link_text, int mode)
{
    qlog(LL_DEBUG, "Copying %s to %s\n", source.c_str(), target.shown.c_str());
    if (link_text)
        return link_over(target, *link_text, RenameText::replace) == 0 ? 0 : -1;
    int bits = -1;
    if (mode == 1)
        bits = static_cast<int>(src_st.st_mode & 07777);
    else if (mode > 1)
        bits = mode & 07777;
    return copy_over(in, target, bits, RenameText::replace);
}

// rename(2) of `source` over `target`, making a missing directory of the
// target first. 0, or -1 with errno.
int rename_into(const std::string &source, const FileAt &target)
{
    const auto attempt = [&] { return ::renameat(AT_FDCWD, source.c_str(), target.dir, target.name.c_str()) == 0; };
    if (target.dir != AT_FDCWD)
        return attempt() ? 0 : -1;
    return with_directory_of(target.name, attempt) ? 0 : -1;
}

} // namespace

long long qpm_qpf_copy(const std::string &target, const std::string &source,
                       const std::optional<std::string> &backup_base, int mode)
{
    return qpm_qpf_copy(FileAt::path(target), source, backup_base, mode);
}

long long qpm_qpf_copy(const FileAt &target, const std::string &source,
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
        link_text = read_link(FileAt::path(source));
        if (!link_text) {
            qlog(LL_ERROR, "Failed to open %s for reading: %s\n", source.c_str(), std::strerror(errno));
            return -1;
        }
    } else {
        in = open_regular(FileAt::path(source), src_st);
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
    return qpm_qpf_move(FileAt::path(target), source, backup_base);
}

long long qpm_qpf_move(const FileAt &target, const std::string &source,
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
    qlog(LL_DEBUG, "Moving %s to %s\n", source.c_str(), target.shown.c_str());
    if (rename_into(source, target) == 0)
        return src_st.st_size;

    qlog(LL_DEBUG, "qpm_qpf_move: cannot rename %s to %s (%s), copying it", source.c_str(), target.shown.c_str(),
         std::strerror(errno));
    UniqueFd in = open_regular(FileAt::path(source), src_st);
    if (!in) {
        qlog(LL_ERROR, "Failed to open %s for reading: %s\n", source.c_str(), std::strerror(errno));
        return -1;
    }
    return write_over(target, source, src_st, in.get(), std::nullopt, 1);
}

int qpm_qpf_backup(const std::string &target, const std::string &backup_base)
{
    return qpm_qpf_backup(FileAt::path(target), backup_base);
}

int qpm_qpf_backup(const FileAt &at, const std::string &backup_base)
{
    const std::string &target = at.shown;
    struct stat st {};
    if (::fstatat(at.dir, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        qlog(LL_ERROR, "Failed to stat %s: %s\n", target.c_str(), std::strerror(errno));
        return -1;
    }
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        qlog(LL_ERROR, "%s is not a regular file, refusing to remove it", target.c_str());
        return -1;
    }
    return backup_target(backup_base, at, st, true);
}

} // namespace qpm
