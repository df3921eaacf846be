#include "util/files.h"

#include "util/raii.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qpm {
namespace {

constexpr size_t COPY_BLOCK = 64 * 1024;
constexpr size_t COPY_RANGE_BLOCK = 16 * 1024 * 1024;

// The block buffer of this thread's reads and copies, made once: a fresh,
// zeroed 64 KiB per file showed in the profile of installs of many files.
// Nothing that holds it calls another user of it.
std::vector<char> &copy_block()
{
    thread_local std::vector<char> block(COPY_BLOCK);
    return block;
}

constexpr std::string_view SIBLING_MARK = ".qpm-";
constexpr std::string_view SIBLING_CHARS = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t SIBLING_RANDOM = 6;

// A fresh hidden name beside `target`: ".NAME.qpm-xxxxxx" in its directory.
std::string sibling_name(const std::string &target)
{
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    static unsigned long long counter = 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned long long mix = static_cast<unsigned long long>(now.tv_nsec) ^
                             (static_cast<unsigned long long>(getpid()) << 20) ^
                             (++counter * 0x9E3779B97F4A7C15ULL);
    std::string name = dir + "." + base.substr(0, 200) + std::string(SIBLING_MARK);
    for (size_t i = 0; i < SIBLING_RANDOM; ++i, mix /= SIBLING_CHARS.size())
        name += SIBLING_CHARS[mix % SIBLING_CHARS.size()];
    return name;
}

// Calls `attempt` with fresh names beside `target` until one is free; the
// name made, or nullopt with errno.
template <class Attempt>
std::optional<std::string> make_sibling(const std::string &target, Attempt attempt)
{
    for (int tries = 0; tries < 100; ++tries) {
        std::string name = sibling_name(target);
        if (attempt(name))
            return name;
        if (errno != EEXIST)
            return std::nullopt;
    }
    errno = EEXIST;
    return std::nullopt;
}

UniqueFd open_read(const std::string &path)
{
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

int mode_bits(const struct stat &st)
{
    return static_cast<int>(st.st_mode & 07777);
}

// Reports a failed step of copy_replace in the designed wording; `source`
// is the file read, `target` the file written.
void report_copy_error(const CopyError &err, const std::string &source, const std::string &target)
{
    const char *text = std::strerror(err.errnum);
    switch (err.step) {
    case CopyStep::none:
        break;
    case CopyStep::read:
        std::fprintf(stderr, "Failed to read %s: %s\n", source.c_str(), text);
        break;
    case CopyStep::create:
        std::fprintf(stderr, "Failed to open %s for writing: %s\n", target.c_str(), text);
        break;
    case CopyStep::write:
    case CopyStep::chmod:
    case CopyStep::sync:
    case CopyStep::close:
        std::fprintf(stderr, "Failed to write %s: %s\n", target.c_str(), text);
        break;
    case CopyStep::rename:
        std::fprintf(stderr, "Failed to replace %s: %s\n", target.c_str(), text);
        break;
    }
}

} // namespace

bool write_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool read_pieces(int fd, size_t piece, const std::function<bool(const char *, size_t)> &feed)
{
    std::vector<char> &block = copy_block();
    piece = std::min(piece, block.size());
    for (;;) {
        const ssize_t n = ::read(fd, block.data(), piece);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        if (!feed(block.data(), static_cast<size_t>(n)))
            return false;
    }
}

bool read_all(int fd, std::string &out)
{
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0)
        out.reserve(out.size() + static_cast<size_t>(st.st_size));
    return read_pieces(fd, COPY_BLOCK, [&out](const char *data, size_t length) {
        out.append(data, length);
        return true;
    });
}

long long copy_fd(int in, int out, bool *read_failed)
{
    // In the kernel where it can (no trip through this process; a shared
    // extent on file systems that have them), for regular files with a size
    // (pseudo files report none and must be read); from the first byte on,
    // a refusal (a pipe, an appending writer, another file system) falls
    // back to reading and writing.
    long long total = 0;
    struct stat st {};
    const bool in_kernel = ::fstat(in, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
    while (in_kernel) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, COPY_RANGE_BLOCK, 0);
        if (n > 0) {
            total += n;
            continue;
        }
        if (n == 0)
            return total;
        if (errno == EINTR)
            continue;
        if (total > 0) {
            if (read_failed)
                *read_failed = errno != ENOSPC && errno != EDQUOT && errno != EFBIG;
            return -1;
        }
        break;
    }
    bool write_failed = false;
    const bool copied = read_pieces(in, COPY_BLOCK, [&](const char *data, size_t length) {
        write_failed = !write_all(out, std::string_view(data, length));
        total += static_cast<long long>(length);
        return !write_failed;
    });
    if (copied)
        return total;
    if (read_failed)
        *read_failed = !write_failed;
    return -1;
}

bool fgets_line(FILE *file, std::string &line)
{
    line.clear();
    // One lock for the line rather than one per character, and the
    // characters gathered in blocks: file lists run to many thousand lines.
    flockfile(file);
    ScopeGuard unlock([file] { funlockfile(file); });
    char block[512];
    size_t used = 0;
    bool any = false;
    for (int c; (c = getc_unlocked(file)) != EOF;) {
        any = true;
        if (c == '\n')
            break;
        block[used++] = static_cast<char>(c);
        if (used == sizeof block) {
            line.append(block, used);
            used = 0;
        }
    }
    line.append(block, used);
    return any;
}

std::optional<std::string> fgets_text_line(FILE *file)
{
    if (!file || std::feof(file))
        return std::nullopt;
    std::string line;
    // An empty line is a bare line feed.
    if (!fgets_line(file, line) || line.empty())
        return std::nullopt;
    if (line.back() == '\r')
        line.pop_back();
    return line;
}

bool is_sibling_name(std::string_view name)
{
    if (name.size() < 1 + 1 + SIBLING_MARK.size() + SIBLING_RANDOM || name.front() != '.')
        return false;
    const std::string_view random = name.substr(name.size() - SIBLING_RANDOM);
    const std::string_view mark = name.substr(name.size() - SIBLING_RANDOM - SIBLING_MARK.size(), SIBLING_MARK.size());
    return mark == SIBLING_MARK && random.find_first_not_of(SIBLING_CHARS) == std::string_view::npos;
}

SiblingFile::~SiblingFile() { drop(); }

void SiblingFile::drop()
{
    m_fd.reset();
    if (!m_path.empty())
        ::unlinkat(m_dir, m_path.c_str(), 0);
    m_path.clear();
}

bool SiblingFile::create(const std::string &target, mode_t mode, int dir)
{
    drop();
    const auto open_new = [this, mode, dir](const std::string &name) {
        m_fd = UniqueFd(::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
        return static_cast<bool>(m_fd);
    };
    return adopt(make_sibling(target, open_new), target, dir);
}

bool SiblingFile::create_link(const std::string &target, const std::string &text, int dir)
{
    drop();
    const auto link_new = [&text, dir](const std::string &name) {
        return ::symlinkat(text.c_str(), dir, name.c_str()) == 0;
    };
    return adopt(make_sibling(target, link_new), target, dir);
}

bool SiblingFile::adopt(std::optional<std::string> made, const std::string &target, int dir)
{
    if (!made)
        return false;
    m_path = std::move(*made);
    m_target = target;
    m_dir = dir;
    return true;
}

int SiblingFile::commit()
{
    if (m_fd.close() != 0)
        return -1;
    if (::renameat(m_dir, m_path.c_str(), m_dir, m_target.c_str()) != 0)
        return -1;
    m_path.clear();
    return 0;
}

long long copy_replace(int in, const std::string &target, const ReplaceOptions &options, CopyError &err)
{
    err = CopyError{};
    SiblingFile out;
    if (!out.create(target, options.create_mode, options.dir)) {
        err.step = CopyStep::create;
        err.errnum = errno;
        return -1;
    }
    bool read_failed = false;
    const long long total = copy_fd(in, out.fd(), &read_failed);
    const auto fail = [&err](CopyStep step) {
        err.step = step;
        err.errnum = errno;
        return -1LL;
    };
    if (total < 0)
        return fail(read_failed ? CopyStep::read : CopyStep::write);
    err.copied = total;
    if (options.bits >= 0 && ::fchmod(out.fd(), static_cast<mode_t>(options.bits)) != 0) {
        if (options.bits_required)
            return fail(CopyStep::chmod);
        err.chmod_errnum = errno;
    }
    if (options.sync && ::fsync(out.fd()) != 0)
        return fail(CopyStep::sync);
    if (out.close() != 0)
        return fail(CopyStep::close);
    if (out.commit() != 0)
        return fail(CopyStep::rename);
    return total;
}

std::optional<DirNames> list_directory(const std::string &path)
{
    DirPtr dir(::opendir(path.c_str()));
    if (!dir)
        return std::nullopt;
    DirNames out;
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir.get());
        if (!entry) {
            out.read_error = errno;
            break;
        }
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            out.entries.push_back({std::string(name), entry->d_type});
    }
    if (::closedir(dir.release()) != 0)
        out.close_error = errno;
    return out;
}

std::optional<std::string> _read_file(const std::string &path)
{
    UniqueFd fd = open_read(path);
    std::string content;
    if (!fd || !read_all(fd.get(), content))
        return std::nullopt;
    return content;
}

StrArr read_file_lines(const std::string &path)
{
    StrArr lines;
    const std::optional<std::string> content = _read_file(path);
    if (!content)
        return lines;
    std::string_view rest = *content;
    while (!rest.empty()) {
        const size_t lf = rest.find('\n');
        arr_t21_add(lines, rest.substr(0, lf));
        if (lf == std::string_view::npos)
            break;
        rest.remove_prefix(lf + 1);
    }
    return lines;
}

std::optional<StrArr> fgets_words(FILE *file)
{
    const std::optional<std::string> read = fgets_text_line(file);
    if (!read)
        return std::nullopt;
    std::string_view line = *read;
    if (!line.empty() && line.front() == '#')
        return std::nullopt;
    line = line.substr(0, line.find('#'));

    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    StrArr words;
    size_t start = 0;
    size_t i = 0;
    while (i < line.size()) {
        if (!blank(line[i])) {
            ++i;
            continue;
        }
        words.emplace_back(line.substr(start, i - start));
        while (i < line.size() && blank(line[i]))
            ++i;
        start = i;
    }
    words.emplace_back(line.substr(start));
    return words;
}

long long file_copy(const std::string &destination, const std::string &source, int mode)
{
    struct stat src_st {};
    if (::stat(source.c_str(), &src_st) != 0)
        return -1;
    UniqueFd in = open_read(source);
    if (!in)
        return -1;

    int bits = -1;
    if (mode == 1)
        bits = mode_bits(src_st);
    else if (mode > 1)
        bits = mode & 07777;
    struct stat dst_st {};
    if (::lstat(destination.c_str(), &dst_st) == 0) {
        if (S_ISDIR(dst_st.st_mode) || (!S_ISREG(dst_st.st_mode) && !S_ISLNK(dst_st.st_mode)))
            return -1;
        // Truncating in place would have kept the old file's bits.
        if (mode <= 0 && S_ISREG(dst_st.st_mode))
            bits = mode_bits(dst_st);
    }
    CopyError err;
    return copy_replace(in.get(), destination, {.bits = bits}, err);
}

long long file_copy_back(const std::string &destination, const std::string &source,
                         const std::string &backup, int mode)
{
    struct stat src_st {};
    if (::stat(source.c_str(), &src_st) != 0) {
        std::fprintf(stderr, "Failed to stat %s: %s\n", source.c_str(), std::strerror(errno));
        return -1;
    }

    struct stat dst_st {};
    const bool exists = ::lstat(destination.c_str(), &dst_st) == 0;
    if (exists && !S_ISLNK(dst_st.st_mode) && !S_ISREG(dst_st.st_mode)) {
        std::fprintf(stderr, "%s is not a regular file, refusing to remove it\n",
                     destination.c_str());
        return -1;
    }
    // Opened first, so that an unreadable source leaves no stray backup.
    UniqueFd in = open_read(source);
    if (!in) {
        std::fprintf(stderr, "Failed to open %s for reading: %s\n", source.c_str(),
                     std::strerror(errno));
        return -1;
    }
    // The backup is whole and closed before the destination is touched; a
    // symbolic link there is simply replaced by the rename below.
    if (exists && S_ISREG(dst_st.st_mode) && !backup.empty()) {
        UniqueFd old = open_read(destination);
        if (!old) {
            std::fprintf(stderr, "Failed to open %s for reading: %s\n", destination.c_str(),
                         std::strerror(errno));
            return -1;
        }
        CopyError err;
        if (copy_replace(old.get(), backup, {.bits = mode_bits(dst_st)}, err) < 0) {
            report_copy_error(err, destination, backup);
            return -1;
        }
        if (err.chmod_errnum)
            std::fprintf(stderr, "Failed to set permission on %s: %s\n", backup.c_str(),
                         std::strerror(err.chmod_errnum));
    }

    int bits = -1;
    if (mode == 1)
        bits = mode_bits(src_st);
    else if (mode > 1)
        bits = mode & 07777;
    CopyError err;
    const long long copied = copy_replace(in.get(), destination, {.bits = bits}, err);
    if (copied < 0) {
        report_copy_error(err, source, destination);
        return -1;
    }
    if (err.chmod_errnum)
        std::fprintf(stderr, "Failed to set permission on %s: %s\n", destination.c_str(),
                     std::strerror(err.chmod_errnum));
    return copied;
}

std::string_view _get_filename_ext(std::string_view name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return {};
    return name.substr(dot + 1);
}

} // namespace qpm
