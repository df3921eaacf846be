#include "dirs_cache.h"

#include "package/qpf.h"
#include "package/qpk_index.h"
#include "package/signature.h"
#include "record/base64.h"
#include "util/files.h"
#include "util/raii.h"
#include "util/strfmt.h"
#include "util/sysroot.h"
#include "util/text.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fnmatch.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unordered_set>

namespace qpm::dirs {
namespace {

// Longest "directory/name" path a package may have.
constexpr size_t MAX_PATH = 4096;
constexpr size_t IOV_BATCH = 512;
// Entries and paths of files read afresh are kept in chunks of this size.
constexpr size_t KEPT_CHUNK = 1 << 20;

// The key attributes, in the order they follow the file's own.
constexpr std::string_view KEY_ATTRS[] = {"eqpiDevice", "eqpiInode", "eqpiModified", "eqpiChanged"};

int64_t ns_of(const timespec &t) { return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

FileKey key_of(const struct stat &st)
{
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_size),
            ns_of(st.st_mtim), ns_of(st.st_ctim)};
}

int64_t now_ns()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return ns_of(now);
}

// The key as LDIF lines. Written without printf: a first run writes one
// for every package file.
std::string key_lines(const FileKey &key)
{
    std::string out;
    out.reserve(128);
    const auto line = [&out](std::string_view name, auto value) {
        char digits[24];
        const auto result = std::to_chars(digits, digits + sizeof digits, value);
        out.append(name).append(": ").append(digits, result.ptr).append("\n");
    };
    line(KEY_ATTRS[0], key.device);
    line(KEY_ATTRS[1], key.inode);
    line(KEY_ATTRS[2], key.modified_ns);
    line(KEY_ATTRS[3], key.changed_ns);
    return out;
}

template <class T>
bool to_number(std::string_view text, T &out)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// The next logical line of an entry as attribute and value, read in place;
// a folded or Base64 value is decoded into `storage`, which keeps it where
// it is. false at the end or for a line that is no "name: value".
bool next_attribute(std::string_view &rest, std::string_view &name, std::string_view &value,
                    std::deque<std::string> &storage)
{
    if (rest.empty())
        return false;
    const size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    size_t next = end == std::string_view::npos ? rest.size() : end + 1;
    if (next < rest.size() && rest[next] == ' ') {
        std::string &joined = storage.emplace_back(line);
        while (next < rest.size() && rest[next] == ' ') {
            const size_t stop = rest.find('\n', next);
            joined += rest.substr(next + 1, stop == std::string_view::npos ? std::string_view::npos : stop - next - 1);
            next = stop == std::string_view::npos ? rest.size() : stop + 1;
        }
        line = joined;
    }
    rest.remove_prefix(next);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    name = line.substr(0, colon);
    value = line.substr(colon + 1);
    const bool base64 = value.starts_with(':');
    if (base64)
        value.remove_prefix(1);
    while (value.starts_with(' '))
        value.remove_prefix(1);
    if (base64) {
        std::optional<std::string> decoded = lutil_b64_pton(value);
        if (!decoded)
            return false;
        value = storage.emplace_back(std::move(*decoded));
    }
    return true;
}

// The file attributes at the head of a cache entry, read in the order they
// are written: anything else is a damaged entry, never a guess.
bool read_head(std::string_view entry, std::string_view &path, FileKey &key, std::deque<std::string> &storage)
{
    std::string_view name, value;
    const auto next = [&](std::string_view wanted) {
        return next_attribute(entry, name, value, storage) && name == wanted;
    };
    if (!next("dn") || !next("eqpkFileSize") || !to_number(value, key.size) || !next("eqpkFileHash") ||
        value.size() != 40 || !next("eqpkRelativeURI"))
        return false;
    path = value;
    return next(KEY_ATTRS[0]) && to_number(value, key.device) && next(KEY_ATTRS[1]) && to_number(value, key.inode) &&
           next(KEY_ATTRS[2]) && to_number(value, key.modified_ns) && next(KEY_ATTRS[3]) &&
           to_number(value, key.changed_ns);
}

// The "*.qpk" entries of a directory in byte order (not the locale's
// collation, so the catalogue order is the same everywhere).
std::optional<std::vector<DirName>> list_packages(const std::string &directory)
{
    std::optional<DirNames> listing = list_directory(directory);
    if (!listing || listing->read_error)
        return std::nullopt;
    std::vector<DirName> names;
    names.reserve(listing->entries.size());
    for (DirName &entry : listing->entries)
        if (fnmatch("*.qpk", entry.name.c_str(), 0) == 0)
            names.push_back(std::move(entry));
    std::sort(names.begin(), names.end(),
              [](const DirName &a, const DirName &b) { return std::strcmp(a.name.c_str(), b.name.c_str()) < 0; });
    return names;
}

// Writes the pieces in order, many to a system call.
bool write_pieces(int fd, const std::vector<std::string_view> &pieces)
{
    std::vector<iovec> batch;
    for (size_t at = 0; at < pieces.size();) {
        batch.clear();
        for (; at < pieces.size() && batch.size() < IOV_BATCH; ++at)
            if (!pieces[at].empty())
                batch.push_back({const_cast<char *>(pieces[at].data()), pieces[at].size()});
        size_t first = 0;
        while (first < batch.size()) {
            const ssize_t n = writev(fd, batch.data() + first, static_cast<int>(batch.size() - first));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            // Skip what went out; a piece cut short goes on from where it stopped.
            auto left = static_cast<size_t>(n);
            while (first < batch.size() && left >= batch[first].iov_len)
                left -= batch[first++].iov_len;
            if (first < batch.size()) {
                batch[first].iov_base = static_cast<char *>(batch[first].iov_base) + left;
                batch[first].iov_len -= left;
            }
        }
    }
    return true;
}

std::optional<std::string> canonical(const std::string &path)
{
    std::error_code ec;
    std::filesystem::path resolved = std::filesystem::canonical(path, ec);
    if (ec)
        return std::nullopt;
    return resolved.string();
}

} // namespace

MappedFile::~MappedFile()
{
    if (m_address)
        munmap(m_address, m_size);
}

std::string cache_path() { return root_path(syspath::cache_dir) + "/qpc-dirs/cache"; }

void Catalogue::read_cache(const std::string &cache_path, LogHandle *log)
{
    const UniqueFd fd(open(cache_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return;
    // Mapped, not read: the entries of unchanged files are only looked at
    // where their head and name are, and written back from where they lie.
    struct stat st {};
    std::string error = "not a file of index entries";
    if (fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        static_cast<uint64_t>(st.st_size) <= QPK_INDEX_MAX) {
        const auto size = static_cast<size_t>(st.st_size);
        void *address = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd.get(), 0);
        if (address != MAP_FAILED) {
            m_body_map = std::make_unique<MappedFile>(address, size);
            m_body = m_body_map->bytes();
        }
    }
    std::optional<QpkIndexEntries> split = m_body.empty() ? std::nullopt : qpk_index_split(m_body, error);
    if (!split) {
        log_to(log, LL_DEBUG, "qpc-dirs: ignoring the cache %s: %s", cache_path.c_str(), error.c_str());
        m_changed = true;
        return;
    }
    m_cached.reserve(split->entries.size());
    size_t damaged = 0;
    for (const std::string_view text : split->entries) {
        Cached cached;
        cached.text = text;
        if (read_head(text, cached.path, cached.key, m_decoded))
            m_cached.push_back(cached);
        else
            ++damaged;
    }
    if (damaged > 0) {
        log_to(log, LL_DEBUG, "qpc-dirs: %zu damaged entries in the cache %s", damaged, cache_path.c_str());
        m_changed = true;
    }
}

std::string_view Catalogue::keep(std::string_view text)
{
    if (m_kept.empty() || m_kept.back().capacity() - m_kept.back().size() < text.size())
        m_kept.emplace_back().reserve(std::max(KEPT_CHUNK, text.size()));
    std::string &chunk = m_kept.back();
    const size_t at = chunk.size();
    chunk += text;
    return std::string_view(chunk).substr(at);
}

const Catalogue::Cached *Catalogue::cached_at(std::string_view path, size_t &cursor)
{
    if (cursor < m_cached.size() && m_cached[cursor].path == path)
        return &m_cached[cursor++];
    if (m_cached_by_path.empty() && !m_cached.empty()) {
        m_cached_by_path.reserve(m_cached.size());
        for (size_t i = 0; i < m_cached.size(); ++i)
            m_cached_by_path.emplace(m_cached[i].path, i);
    }
    const auto hit = m_cached_by_path.find(path);
    if (hit == m_cached_by_path.end())
        return nullptr;
    cursor = hit->second + 1;
    return &m_cached[hit->second];
}

void Catalogue::read_fresh(Package &package, int64_t started, bool keep_record, LogHandle *log)
{
    ++m_read_afresh;
    const std::string path(package.path);
    std::string description;
    package.qpi = qpm_qpf_info(nullptr, path, 0, &description);
    package.tried = true;
    if (!package.qpi) {
        log_to(log, LL_DEBUG, "qpc-dirs: Skipping %s, failed to read info", path.c_str());
        return;
    }
    // Entries leave the signature out, as a repository index does (the
    // installer checks the staged file's own): every record goes without it,
    // whichever way it was read.
    package.qpi->signature.clear();
    // Only a file that has been still for a while, and that the read saw at
    // the size stat gave, is worth remembering.
    if (package.key.modified_ns >= started - SETTLE_NS || package.qpi->file_size != package.key.size ||
        !package.qpi->file_hash)
        return;
    const std::string extra = key_lines(package.key);
    QpkEntryForm form;
    form.full_path = true;
    form.extra = extra;
    std::optional<std::string> entry =
        qpk_index_entry(description, package.qpi->file_size, *package.qpi->file_hash, path, form);
    if (entry) {
        package.entry = keep(*entry);
        m_changed = true;
        // The entry tells all the record does: parsed again only if a query
        // reaches it, so a first run does not hold the whole catalogue twice.
        if (!keep_record) {
            package.qpi.reset();
            package.tried = false;
        }
    }
}

void Catalogue::load(const StrArr &directories, const std::string &cache_path, LogHandle *log)
{
    *this = Catalogue();
    m_loaded = true;
    const int64_t started = now_ns();
    read_cache(cache_path, log);
    m_packages.reserve(m_cached.size() + 16);
    std::vector<bool> used(m_cached.size());
    size_t cursor = 0;
    std::string path;

    for (const std::string &directory : directories) {
        log_to(log, LL_DEBUG, "qpc-dirs: Scanning directory %s", directory.c_str());
        const std::optional<std::vector<DirName>> names = list_packages(directory);
        if (!names) {
            log_to(log, LL_WARNING, "qpc-dirs: no packages found at %s", directory.c_str());
            continue;
        }
        const UniqueFd dir_fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (m_packages.capacity() < m_packages.size() + names->size())
            m_packages.reserve(std::max(m_packages.size() + names->size(), 2 * m_packages.capacity()));
        const auto directory_index = static_cast<uint32_t>(m_directories.size());
        m_directories.push_back({directory, canonical(directory)});
        for (const DirName &entry : *names) {
            path.assign(directory).append("/").append(entry.name);
            if (path.size() > MAX_PATH) {
                log_to(log, LL_DEBUG, "qpc-dirs: Filename <%s> too long, skipping entry", path.c_str());
                continue;
            }
            // A FIFO or device named "*.qpk" would block or feed us forever:
            // only regular files (or links to them) are read.
            struct stat st {};
            const int rc = dir_fd ? fstatat(dir_fd.get(), entry.name.c_str(), &st, 0) : stat(path.c_str(), &st);
            if (rc != 0 || !S_ISREG(st.st_mode)) {
                log_to(log, LL_DEBUG, "qpc-dirs: Skipping %s, failed to read info", path.c_str());
                continue;
            }
            ++m_seen;
            Package package;
            package.key = key_of(st);
            package.directory = directory_index;
            package.plain = entry.type != DT_LNK && entry.type != DT_UNKNOWN;
            const Cached *cached = cached_at(path, cursor);
            if (cached && cached->key == package.key) {
                package.path = cached->path;
                package.cached = cached;
                used[static_cast<size_t>(cached - m_cached.data())] = true;
            } else {
                package.path = keep(path);
                read_fresh(package, started, false, log);
                if (!package.qpi && package.entry.empty())
                    continue;
            }
            m_packages.push_back(std::move(package));
        }
    }
    // Entries of files that are gone or changed are dropped.
    if (static_cast<size_t>(std::count(used.begin(), used.end(), true)) != m_cached.size())
        m_changed = true;
    log_to(log, LL_DEBUG, "qpc-dirs: %zu of %zu package files read afresh", m_read_afresh, m_seen);
}

void Catalogue::index_names()
{
    m_names_built = true;
    m_names.reserve(m_packages.size());
    for (size_t i = 0; i < m_packages.size(); ++i) {
        const Package &p = m_packages[i];
        const std::string_view name =
            p.qpi ? std::string_view(p.qpi->name) : qpk_index_entry_name(p.cached ? p.cached->text : p.entry);
        if (name.empty())
            m_unnamed.push_back(i);
        else
            m_names.emplace_back(name, i);
    }
    std::sort(m_names.begin(), m_names.end());
}

const qpk_info *Catalogue::record(Package &package, LogHandle *log)
{
    if (package.tried)
        return package.qpi.get();
    package.tried = true;
    const std::string path(package.path);
    // The file's size and SHA-1 head the entry: the parser takes them first.
    package.qpi = qpk_info_parse(path, QPK_KIND_FILE, package.cached ? package.cached->text : package.entry);
    if (!package.qpi) {
        // The entry was sound enough to be keyed but not to be read: the
        // file tells what it holds.
        log_to(log, LL_DEBUG, "qpc-dirs: the cached entry of %s does not parse", path.c_str());
        package.cached = nullptr;
        package.entry = {};
        read_fresh(package, now_ns(), true, log);
        m_changed = true;
        return package.qpi.get();
    }
    // As a read of the file sets them.
    const Directory &directory = m_directories[package.directory];
    package.qpi->relative_uri = path;
    if (package.plain && directory.real)
        package.qpi->absolute_uri = *directory.real + (directory.real->ends_with('/') ? "" : "/") +
                                    path.substr(directory.path.size() + 1);
    else
        package.qpi->absolute_uri = canonical(path);
    package.qpi->file_size = package.key.size;
    package.qpi->signature_status = QPS_NOT_CHECKED;
    return package.qpi.get();
}

QpiList Catalogue::find(const QpiQuery &query, LogHandle *log)
{
    std::vector<size_t> hits;
    if (const std::string *name = query.plain_name()) {
        if (!m_names_built)
            index_names();
        hits = m_unnamed;
        const auto first = std::lower_bound(m_names.begin(), m_names.end(), std::string_view(*name),
                                            [](const auto &entry, std::string_view n) { return entry.first < n; });
        for (auto it = first; it != m_names.end() && it->first == *name; ++it)
            hits.push_back(it->second);
        std::sort(hits.begin(), hits.end());
    } else {
        hits.resize(m_packages.size());
        for (size_t i = 0; i < hits.size(); ++i)
            hits[i] = i;
    }
    QpiList found;
    for (const size_t i : hits) {
        const qpk_info *qpi = record(m_packages[i], log);
        if (!qpi || !query.matches(*qpi))
            continue;
        log_to(log, LL_DEBUG, "qpc-dirs: Storing %s, package name %s matches %s", qpi->relative_uri->c_str(),
               qpi->name.c_str(), text_or_null(query.pattern()));
        found.push_back(qpk_info_copy(qpi));
    }
    return found;
}

bool Catalogue::save(const std::string &cache_path, bool make_directory, std::string &error)
{
    const std::filesystem::path directory = std::filesystem::path(cache_path).parent_path();
    std::error_code ec;
    if (make_directory)
        std::filesystem::create_directories(directory, ec);
    else if (!std::filesystem::is_directory(directory, ec))
        ec = std::make_error_code(std::errc::no_such_file_or_directory);
    if (ec) {
        error = directory.string() + ": " + ec.message();
        return false;
    }
    // The entries of unchanged files go out from the old cache's mapping,
    // the others from where they were made: nothing is gathered first.
    std::vector<std::string_view> pieces;
    pieces.reserve(2 * m_packages.size() + 1);
    const std::string head = qpk_index_head(now_ns() / 1'000'000'000, 0);
    pieces.push_back(head);
    std::unordered_set<std::string_view> written;
    const bool repeated = std::any_of(m_directories.begin(), m_directories.end(), [&](const Directory &d) {
        return std::count_if(m_directories.begin(), m_directories.end(),
                             [&](const Directory &e) { return e.path == d.path; }) > 1;
    });
    size_t count = 0;
    for (const Package &p : m_packages) {
        // A directory named twice in the configuration lists its files twice.
        if (repeated && !written.insert(p.path).second)
            continue;
        const std::string_view entry = p.cached ? p.cached->text : p.entry;
        if (entry.empty())
            continue;
        pieces.push_back("\n");
        pieces.push_back(entry);
        ++count;
    }
    const std::string counted = qpk_index_head(now_ns() / 1'000'000'000, count);
    pieces.front() = counted;
    SiblingFile out;
    if (!out.create(cache_path, 0644) || !write_pieces(out.fd(), pieces) || out.close() != 0 ||
        out.commit() != 0) {
        error = std::strerror(errno);
        return false;
    }
    m_changed = false;
    return true;
}

} // namespace qpm::dirs
