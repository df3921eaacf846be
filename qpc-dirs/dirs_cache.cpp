#include "dirs_cache.h"

#include "package/qpf.h"
#include "package/qpk_index.h"
#include "package/signature.h"
#include "record/ldif.h"
#include "util/files.h"
#include "util/raii.h"
#include "util/strfmt.h"
#include "util/sysroot.h"
#include "util/text.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fnmatch.h>
#include <optional>
#include <sys/stat.h>
#include <unordered_set>

namespace qpm::dirs {
namespace {

// Longest "directory/name" path a package may have.
constexpr size_t MAX_PATH = 4096;

// The key attributes, in the order they follow the file's own.
constexpr const char *KEY_ATTRS[] = {"eqpiDevice", "eqpiInode", "eqpiModified", "eqpiChanged"};

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

std::string key_lines(const FileKey &key)
{
    return strprintf("%s: %llu\n%s: %llu\n%s: %lld\n%s: %lld\n", KEY_ATTRS[0],
                     static_cast<unsigned long long>(key.device), KEY_ATTRS[1],
                     static_cast<unsigned long long>(key.inode), KEY_ATTRS[2],
                     static_cast<long long>(key.modified_ns), KEY_ATTRS[3], static_cast<long long>(key.changed_ns));
}

template <class T>
bool to_number(std::string_view text, T &out)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// The file attributes at the head of a cache entry, read in the order they
// are written: anything else is a damaged entry, never a guess.
bool read_head(std::string_view entry, std::string &path, FileKey &key, std::string &hash)
{
    LdifLine line;
    std::optional<std::string_view> rest = ldif_parse(entry, line);
    if (!rest || line.attribute != "dn")
        return false;
    const auto next = [&](std::string_view name) -> const std::string * {
        if (rest->empty())
            return nullptr;
        rest = ldif_parse(*rest, line);
        return rest && line.attribute == name ? &line.value : nullptr;
    };
    const std::string *value = next("eqpkFileSize");
    if (!value || !to_number(*value, key.size))
        return false;
    if (!(value = next("eqpkFileHash")))
        return false;
    hash = *value;
    if (!(value = next("eqpkRelativeURI")))
        return false;
    path = *value;
    return (value = next(KEY_ATTRS[0])) && to_number(*value, key.device) && (value = next(KEY_ATTRS[1])) &&
           to_number(*value, key.inode) && (value = next(KEY_ATTRS[2])) && to_number(*value, key.modified_ns) &&
           (value = next(KEY_ATTRS[3])) && to_number(*value, key.changed_ns);
}

// The "*.qpk" entries of a directory in byte order (not the locale's
// collation, so the catalogue order is the same everywhere).
std::optional<std::vector<DirName>> list_packages(const std::string &directory)
{
    std::optional<DirNames> listing = list_directory(directory);
    if (!listing || listing->read_error)
        return std::nullopt;
    std::vector<DirName> names;
    for (DirName &entry : listing->entries)
        if (fnmatch("*.qpk", entry.name.c_str(), 0) == 0)
            names.push_back(std::move(entry));
    std::sort(names.begin(), names.end(),
              [](const DirName &a, const DirName &b) { return std::strcmp(a.name.c_str(), b.name.c_str()) < 0; });
    return names;
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

std::string cache_path() { return root_path(syspath::cache_dir) + "/qpc-dirs/cache"; }

void Catalogue::read_cache(const std::string &cache_path, LogHandle *log)
{
    std::optional<std::string> body = _read_file(cache_path);
    if (!body)
        return;
    m_body = std::move(*body);
    std::string error;
    std::optional<QpkIndexEntries> split = m_body.size() > QPK_INDEX_MAX ? std::nullopt : qpk_index_split(m_body, error);
    if (!split) {
        log_to(log, LL_DEBUG, "qpc-dirs: ignoring the cache %s: %s", cache_path.c_str(),
               error.empty() ? "too large" : error.c_str());
        m_changed = true;
        return;
    }
    // The path keys are views into m_cached: it never grows past this.
    m_cached.reserve(split->entries.size());
    size_t damaged = 0;
    for (const std::string_view text : split->entries) {
        Cached cached;
        cached.text = text;
        if (!read_head(text, cached.path, cached.key, cached.hash)) {
            ++damaged;
            continue;
        }
        m_cached.push_back(std::move(cached));
        if (!m_cached_by_path.emplace(m_cached.back().path, m_cached.size() - 1).second)
            ++damaged;
    }
    if (damaged > 0) {
        log_to(log, LL_DEBUG, "qpc-dirs: %zu damaged entries in the cache %s", damaged, cache_path.c_str());
        m_changed = true;
    }
}

void Catalogue::read_fresh(Package &package, int64_t started, LogHandle *log)
{
    ++m_read_afresh;
    std::string description;
    package.qpi = qpm_qpf_info(nullptr, package.path, 0, &description);
    package.tried = true;
    if (!package.qpi) {
        log_to(log, LL_DEBUG, "qpc-dirs: Skipping %s, failed to read info", package.path.c_str());
        return;
    }
    // Only a file that has been still for a while, and that the read saw at
    // the size stat gave, is worth remembering.
    if (package.key.modified_ns >= started - SETTLE_NS || package.qpi->file_size != package.key.size || !package.qpi->file_hash)
        return;
    const std::string extra = key_lines(package.key);
    QpkEntryForm form;
    form.full_path = true;
    form.keep_signature = true;
    form.extra = extra;
    std::optional<std::string> entry =
        qpk_index_entry(description, package.qpi->file_size, *package.qpi->file_hash, package.path, form);
    if (entry) {
        package.entry = std::move(*entry);
        m_changed = true;
    }
}

void Catalogue::load(const StrArr &directories, const std::string &cache_path, LogHandle *log)
{
    *this = Catalogue();
    m_loaded = true;
    const int64_t started = now_ns();
    read_cache(cache_path, log);
    std::vector<bool> used(m_cached.size());

    for (const std::string &directory : directories) {
        log_to(log, LL_DEBUG, "qpc-dirs: Scanning directory %s", directory.c_str());
        const std::optional<std::vector<DirName>> names = list_packages(directory);
        if (!names) {
            log_to(log, LL_WARNING, "qpc-dirs: no packages found at %s", directory.c_str());
            continue;
        }
        const UniqueFd dir_fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const std::optional<std::string> real_dir = canonical(directory);
        for (const DirName &entry : *names) {
            Package package;
            package.path = strprintf("%s/%s", directory.c_str(), entry.name.c_str());
            if (package.path.size() > MAX_PATH) {
                log_to(log, LL_DEBUG, "qpc-dirs: Filename <%s> too long, skipping entry", package.path.c_str());
                continue;
            }
            // A FIFO or device named "*.qpk" would block or feed us forever:
            // only regular files (or links to them) are read.
            struct stat st {};
            const int rc = dir_fd ? fstatat(dir_fd.get(), entry.name.c_str(), &st, 0) : stat(package.path.c_str(), &st);
            if (rc != 0 || !S_ISREG(st.st_mode)) {
                log_to(log, LL_DEBUG, "qpc-dirs: Skipping %s, failed to read info", package.path.c_str());
                continue;
            }
            ++m_seen;
            package.key = key_of(st);
            // A file that is no link lies where its directory really is.
            if (real_dir && entry.type != DT_LNK && entry.type != DT_UNKNOWN)
                package.absolute = *real_dir + (real_dir->ends_with('/') ? "" : "/") + entry.name;

            const auto hit = m_cached_by_path.find(package.path);
            if (hit != m_cached_by_path.end() && m_cached[hit->second].key == package.key) {
                package.cached = &m_cached[hit->second];
                used[hit->second] = true;
            } else {
                read_fresh(package, started, log);
                if (!package.qpi)
                    continue;
            }
            m_packages.push_back(std::move(package));
        }
    }
    if (std::count(used.begin(), used.end(), true) != static_cast<long>(m_cached.size()))
        m_changed = true; // entries of files that are gone or changed are dropped

    for (size_t i = 0; i < m_packages.size(); ++i) {
        const Package &p = m_packages[i];
        const std::string_view name = p.qpi ? std::string_view(p.qpi->name) : qpk_index_entry_name(p.cached->text);
        if (name.empty())
            m_unnamed.push_back(i);
        else
            m_by_name.emplace(name, i);
    }
    log_to(log, LL_DEBUG, "qpc-dirs: %zu of %zu package files read afresh", m_read_afresh, m_seen);
}

const qpk_info *Catalogue::record(Package &package, LogHandle *log)
{
    if (package.tried)
        return package.qpi.get();
    package.tried = true;
    const Cached &cached = *package.cached;
    package.qpi = qpk_info_parse(package.path, QPK_KIND_FILE, cached.text);
    if (!package.qpi) {
        // The entry was sound enough to be keyed but not to be read: the
        // file tells what it holds.
        log_to(log, LL_DEBUG, "qpc-dirs: the cached entry of %s does not parse", package.path.c_str());
        package.cached = nullptr;
        read_fresh(package, now_ns(), log);
        m_changed = true;
        return package.qpi.get();
    }
    // As a read of the file sets them.
    package.qpi->relative_uri = package.path;
    package.qpi->absolute_uri = package.absolute.empty() ? canonical(package.path) : package.absolute;
    package.qpi->file_size = cached.key.size;
    package.qpi->file_hash = cached.hash;
    package.qpi->signature_status = QPS_NOT_CHECKED;
    return package.qpi.get();
}

QpiList Catalogue::find(const char *pattern, const Ekva *attributes, const QpiQuery &query, LogHandle *log)
{
    std::vector<size_t> hits;
    const bool by_name = pattern && !attributes && !std::strpbrk(pattern, "*?[\\");
    if (by_name) {
        hits = m_unnamed;
        const auto [from, to] = m_by_name.equal_range(pattern);
        for (auto it = from; it != to; ++it)
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
        log_to(log, LL_DEBUG, "qpc-dirs: Storing %s, package name %s matches %s", m_packages[i].path.c_str(),
               qpi->name.c_str(), text_or_null(pattern));
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

    std::vector<std::string> entries;
    entries.reserve(m_packages.size());
    std::unordered_set<std::string_view> written;
    for (const Package &p : m_packages) {
        if (!written.insert(p.path).second)
            continue; // one directory named twice in the configuration
        if (p.cached)
            entries.emplace_back(p.cached->text);
        else if (!p.entry.empty())
            entries.push_back(p.entry);
    }
    const std::string body = qpk_index_body(now_ns() / 1'000'000'000, entries);
    SiblingFile out;
    if (!out.create(cache_path, 0644) || !write_all(out.fd(), body) || out.close() != 0 || out.commit() != 0) {
        error = std::strerror(errno);
        return false;
    }
    m_changed = false;
    return true;
}

} // namespace qpm::dirs
