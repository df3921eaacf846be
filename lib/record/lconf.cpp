#include "record/lconf.h"

#include "util/files.h"
#include "util/kv.h"
#include "util/raii.h"
#include "util/strarr.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

struct FileId {
    dev_t dev;
    ino_t ino;
    bool operator==(const FileId &) const = default;
};

struct FileText {
    std::string text;
    FileId id;
    mode_t mode;
};

// Reads a whole file; nothing when it cannot be opened or read. With
// `regular_only` anything but a regular file counts as unreadable, and
// opening never blocks on a FIFO.
std::optional<FileText> read_whole(const char *path, bool regular_only, int *error = nullptr)
{
    auto fail = [error](int err) {
        if (error)
            *error = err;
        return std::nullopt;
    };
    const int flags = O_RDONLY | O_CLOEXEC | (regular_only ? O_NONBLOCK : 0);
    UniqueFd fd(::open(path, flags));
    if (!fd)
        return fail(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return fail(errno);
    if (regular_only && !S_ISREG(st.st_mode))
        return fail(EINVAL);

    FileText file{{}, {st.st_dev, st.st_ino}, st.st_mode};
    if (!read_all(fd.get(), file.text))
        return fail(errno);
    return file;
}

// Calls `fn` for each line of `text`, its line feed removed; a last line
// without a line feed counts.
template <class F>
void for_each_line(std::string_view text, F fn)
{
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        fn(text.substr(0, nl));
        if (nl == std::string_view::npos)
            break;
        text.remove_prefix(nl + 1);
    }
}

bool is_include(std::string_view line)
{
    return line.size() >= 8 && equals_nocase(line.substr(0, 8), "include ");
}

struct ConfReader {
    int mode;
    bool regular_only;
    std::vector<FileId> reading; // the chain of files open through includes

    EkvaPtr read(EkvaPtr record, const char *path, int depth);
    void read_lines(EkvaPtr &record, std::string_view text, int depth);
};

EkvaPtr ConfReader::read(EkvaPtr record, const char *path, int depth)
{
    if (!path) {
        std::fprintf(stderr, "No config file specified\n");
        return record;
    }
    if (depth > LCONF_INCLUDE_MAX_DEPTH) {
        std::fprintf(stderr, "Include of <%s> skipped: nested more than %d deep\n", path,
                     LCONF_INCLUDE_MAX_DEPTH);
        return record;
    }
    const std::optional<FileText> file = read_whole(path, regular_only);
    if (!file)
        return record;
    if (file->text.empty()) {
        std::fprintf(stderr, "Failed to open <%s>: is empty\n", path);
        return record;
    }
    if (std::find(reading.begin(), reading.end(), file->id) != reading.end()) {
        std::fprintf(stderr, "Include of <%s> skipped: include loop\n", path);
        return record;
    }
    if (!record) {
        record = ekva_new(1024, mode);
        if (!record)
            return nullptr;
    }
    reading.push_back(file->id);
    read_lines(record, file->text, depth);
    reading.pop_back();
    return record;
}

void ConfReader::read_lines(EkvaPtr &record, std::string_view text, int depth)
{
    for_each_line(text, [&](std::string_view line) {
        if (line.empty() || line.front() == '#')
            return;
        const KeyValue kv = _split_line(line);
        if (!kv.key.empty()) {
            if (ekva_addval(record, kv.key, kv.value, mode) <= 0)
                std::fprintf(stderr, "Failed to add value <%s> for key <%s>\n", kv.value.c_str(),
                             kv.key.c_str());
            return;
        }
        if (is_include(line)) {
            const std::string included = _clean_val(line.substr(8));
            record = read(std::move(record), included.c_str(), depth + 1);
        }
    });
}

// A decimal integer at the start of `text` (an optional sign, then digits).
std::optional<int> leading_int(std::string_view text)
{
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc())
        return std::nullopt;
    return value;
}

} // namespace

uid_t qpm_rc_uid()
{
    const uid_t ruid = ::getuid();
    if (ruid != 0)
        return ruid;
    const char *sudo_uid = std::getenv("SUDO_UID");
    if (!sudo_uid || !*sudo_uid)
        return ruid;
    const std::string_view text(sudo_uid);
    unsigned long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() ||
        value >= std::numeric_limits<uid_t>::max())
        return ruid;
    return static_cast<uid_t>(value);
}

namespace {

// While alive, files are opened with the real user's rights: a set-user-id
// run must not read for the user what the user could not read.
class RealUserRights {
public:
    RealUserRights() : m_saved(::geteuid())
    {
        const uid_t ruid = ::getuid();
        if (ruid == m_saved)
            return;
        if (::seteuid(ruid) != 0) {
            std::fprintf(stderr, "Cannot take the rights of user %u: %s\n", static_cast<unsigned>(ruid),
                         std::strerror(errno));
            m_failed = true;
            return;
        }
        m_switched = true;
    }
    ~RealUserRights()
    {
        if (m_switched && ::seteuid(m_saved) != 0)
            std::fprintf(stderr, "Cannot return to user %u: %s\n", static_cast<unsigned>(m_saved),
                         std::strerror(errno));
    }
    RealUserRights(const RealUserRights &) = delete;
    RealUserRights &operator=(const RealUserRights &) = delete;

    bool failed() const { return m_failed; }

private:
    uid_t m_saved;
    bool m_switched = false;
    bool m_failed = false;
};

struct WriteResult {
    enum Stage { done, create, open, write } stage = done;
    int error = 0;
};

// Makes `path` afresh with exactly `mode` and puts `text` on disk, every
// step checked. The caller removes the file when this fails.
WriteResult write_new_file(const std::string &path, std::string_view text, mode_t mode)
{
    auto fail = [](WriteResult::Stage stage) { return WriteResult{stage, errno}; };
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return fail(WriteResult::create);
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd)
        return fail(WriteResult::create);
    if (::fchmod(fd.get(), mode) != 0)
        return fail(WriteResult::create);
    FilePtr out(::fdopen(fd.get(), "w"));
    if (!out)
        return fail(WriteResult::open);
    fd.release();
    if (std::fwrite(text.data(), 1, text.size(), out.get()) != text.size() || std::fflush(out.get()) != 0)
        return fail(WriteResult::write);
    if (::fsync(::fileno(out.get())) != 0)
        return fail(WriteResult::write);
    if (std::fclose(out.release()) != 0)
        return fail(WriteResult::write);
    return {};
}

void sync_parent_dir(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd)
        ::fsync(fd.get());
}

} // namespace

EkvaPtr lconf_read_ext(EkvaPtr record, const char *path, int mode)
{
    ConfReader reader{mode, false, {}};
    return reader.read(std::move(record), path, 0);
}

EkvaPtr lconf_read(EkvaPtr record, const char *path)
{
    return lconf_read_ext(std::move(record), path, EKVA_REPLACE);
}

EkvaPtr lconf_read_dups(EkvaPtr record, const char *path)
{
    return lconf_read_ext(std::move(record), path, EKVA_DUPS);
}

ValNumList lconf_gen_vnlist(std::string_view map_text)
{
    ValNumList map;
    int number = 0;
    for (const std::string &item : str2arr(map_text, ',')) {
        KeyValue kv = _split_line(item);
        if (const auto n = leading_int(kv.value))
            number = *n;
        map.push_back({std::move(kv.key), number});
    }
    return map;
}

int lconf_getvalnum(const ValNumList &map, const char *name)
{
    if (!name)
        return -1;
    for (const ValNum &entry : map) {
        if (entry.name == name)
            return entry.number;
    }
    return -1;
}

const char *lconf_getnumval(const ValNumList &map, int number)
{
    for (const ValNum &entry : map) {
        if (entry.number == number)
            return entry.name.c_str();
    }
    return nullptr;
}

int lconf_get_optval_vl(std::string_view key, const ValNumList &map, const Ekva *record, int def, int preset)
{
    if (map.empty())
        return def;
    // -1 is "no preset" even when the map has a word for "no value".
    if (preset != -1) {
        for (const ValNum &entry : map) {
            if (entry.number == preset)
                return preset;
        }
    }
    const char *value = ekva_getval(record, key);
    if (!value)
        return def;
    const int number = lconf_getvalnum(map, value);
    return number == -1 ? def : number;
}

int lconf_get_optval(std::string_view key, std::string_view map_text, const Ekva *record, int def, int preset)
{
    return lconf_get_optval_vl(key, lconf_gen_vnlist(map_text), record, def, preset);
}

int lconf_get_bool(std::string_view key, const Ekva *record, int def, int preset)
{
    return lconf_get_optval(key, LCONF_BOOL_MAP, record, def, preset);
}

int lconf_replace(const char *path, const Ekva *record, int keep_previous)
{
    if (!path) {
        std::fprintf(stderr, "No config file specified\n");
        return -1;
    }
    int error = 0;
    const std::optional<FileText> old = read_whole(path, false, &error);
    if (!old) {
        std::fprintf(stderr, "Failed to open <%s>: %s\n", path, std::strerror(error));
        return -1;
    }
    const std::string target = path;
    const std::string next = target + ".next";
    const std::string prev = target + ".prev";
    if (old->text.empty()) {
        std::fprintf(stderr, "Failed to create new config as <%s>: %s\n", next.c_str(),
                     std::strerror(ENODATA));
        return -1;
    }

    std::string text;
    text.reserve(old->text.size() + 64);
    bool refused = false;
    for_each_line(old->text, [&](std::string_view line) {
        if (!line.empty() && line.front() != '#') {
            const KeyValue kv = _split_line(line);
            const char *value = kv.key.empty() ? nullptr : ekva_getval(record, kv.key);
            if (value) {
                // A line break would smuggle further keys into the file.
                if (std::strchr(value, '\n')) {
                    std::fprintf(stderr, "Refusing value with a line break for key <%s>\n", kv.key.c_str());
                    refused = true;
                }
                // Written as "key=value"; a key beginning with '#' keeps the
                // indentation that makes it a key (at the start of a line it
                // would read back as a comment, and be lost).
                if (kv.key.front() == '#')
                    text += line.substr(0, line.find_first_not_of(" \t"));
                text += kv.key;
                text += '=';
                text += value;
                text += '\n';
                return;
            }
        }
        text += line;
        text += '\n';
    });
    if (refused)
        return -1;

    ScopeGuard drop_next([&] { ::unlink(next.c_str()); });
    const WriteResult written = write_new_file(next, text, old->mode & 07777);
    switch (written.stage) {
    case WriteResult::done:
        break;
    case WriteResult::create:
        std::fprintf(stderr, "Failed to create new config as <%s>: %s\n", next.c_str(),
                     std::strerror(written.error));
        return -1;
    case WriteResult::open:
        std::fprintf(stderr, "Failed to open <%s> for reading: %s\n", next.c_str(),
                     std::strerror(written.error));
        return -1;
    case WriteResult::write:
        std::fprintf(stderr, "Failed to write new config as <%s>: %s\n", next.c_str(),
                     std::strerror(written.error));
        return -1;
    }

    if (::unlink(prev.c_str()) != 0 && errno != ENOENT) {
        std::fprintf(stderr, "Failed to remove old backup <%s>: %s\n", prev.c_str(), std::strerror(errno));
        return -1;
    }
    if (keep_previous && ::link(target.c_str(), prev.c_str()) != 0) {
        const WriteResult copied = write_new_file(prev, old->text, old->mode & 07777);
        if (copied.stage != WriteResult::done) {
            ::unlink(prev.c_str());
            std::fprintf(stderr, "Failed to keep previous config as <%s>: %s\n", prev.c_str(),
                         std::strerror(copied.error));
            return -1;
        }
    }
    if (::rename(next.c_str(), target.c_str()) != 0) {
        std::fprintf(stderr, "Failed to replace <%s> with <%s>: %s\n", target.c_str(), next.c_str(),
                     std::strerror(errno));
        return -1;
    }
    drop_next.dismiss();
    sync_parent_dir(target);
    return 0;
}

EkvaPtr qpm_read_rc_file(const std::string &path)
{
    RealUserRights rights;
    if (rights.failed())
        return nullptr;
    ConfReader reader{EKVA_REPLACE, true, {}};
    return reader.read(nullptr, path.c_str(), 0);
}

EkvaPtr qpm_read_rc()
{
    const struct passwd *pw = ::getpwuid(qpm_rc_uid());
    if (!pw || !pw->pw_dir)
        return nullptr;
    return qpm_read_rc_file(std::string(pw->pw_dir) + "/.qpmrc");
}

int qpm_merge_opts(EkvaPtr &options, const Ekva *source, std::string_view key_list)
{
    int count = 0;
    for (const std::string &key : str2arr(key_list, ',')) {
        const char *value = ekva_getval(source, key);
        if (!value)
            continue;
        if (!options) {
            options = ekva_new(20, EKVA_KEEP);
            if (!options)
                return count;
        }
        ekva_addval(options, key, value, EKVA_KEEP);
        ++count;
    }
    return count;
}

} // namespace qpm
