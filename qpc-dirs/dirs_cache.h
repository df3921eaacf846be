#pragma once
// The catalogue of one qpc-dirs connection: every "*.qpk" of the configured
// directories, each known by what stat says of it. A package file whose key
// is the one the cache of an earlier run recorded is taken from the cache
// without opening it; a new or changed one is read afresh. The cache holds
// one repository-index entry per package file (its description whole, its
// size, SHA-1 and full path, then its key), so a run costs a stat per file
// plus a read of each file that changed.
#include "package/qpk_info.h"
#include "util/log.h"
#include "util/strarr.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qpm::dirs {

// What stat says of a package file. The status change time is in it
// because tools that copy with times kept (cp -p, tar, rsync -t) can give a
// new content the old modification time, but never the old change time.
struct FileKey {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modified_ns = 0;
    int64_t changed_ns = 0;
    bool operator==(const FileKey &) const = default;
};

// A file changed less than this before the scan began may still change
// within the same time stamp; it is not cached until it has been still
// this long.
constexpr int64_t SETTLE_NS = 2'000'000'000;

// A file mapped read-only (no copy of its bytes); unmapped with the object.
class MappedFile {
public:
    MappedFile(void *address, size_t size) : m_address(address), m_size(size) {}
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;
    ~MappedFile();
    std::string_view bytes() const { return {static_cast<const char *>(m_address), m_size}; }

private:
    void *m_address;
    size_t m_size;
};

class Catalogue {
public:
    // Reads the cache at `cache_path` (a missing or damaged one counts as
    // empty), then lists and stats `directories` in order, as findpkg
    // always has, with its messages.
    void load(const StrArr &directories, const std::string &cache_path, LogHandle *log);
    bool loaded() const { return m_loaded; }

    // Copies of the records `query` selects, in catalogue order (directories
    // in configuration order, file names in byte order). A plain name with
    // no attribute patterns is looked up; anything else goes through every
    // record.
    QpiList find(const QpiQuery &query, LogHandle *log);

    // Whether the cache on disk differs from what this catalogue would write.
    bool changed() const { return m_changed; }
    // Writes the cache (atomically, mode 0644); its directory is made when
    // `make_directory` is set and must be there otherwise. false with the
    // reason in `error`.
    bool save(const std::string &cache_path, bool make_directory, std::string &error);

    size_t size() const { return m_packages.size(); }

private:
    struct Cached {
        std::string_view path; // into m_body, or m_decoded when it was folded or Base64
        FileKey key;
        std::string_view text; // the whole entry
    };
    struct Package {
        std::string_view path; // "directory/name", the record's relative URI: into
                               // the cache's entry, or m_kept for a file read afresh
        uint32_t directory = 0; // index into m_directories
        bool plain = false;     // no link: it lies where its directory really is
        FileKey key;
        const Cached *cached = nullptr; // the cache's entry, when the key matched
        std::string_view entry;         // the entry to write for a file read afresh (m_kept)
        QpiPtr qpi;                     // the record, once parsed (or read, when it has no entry)
        bool tried = false;             // qpi is all there will be
    };
    struct Directory {
        std::string path;
        std::optional<std::string> real; // canonical, when it resolves
    };

    void read_cache(const std::string &cache_path, LogHandle *log);
    const Cached *cached_at(std::string_view path, size_t &cursor);
    std::string_view keep(std::string_view text);
    // Reads the package file; the record is kept only with `keep_record` or
    // when no entry could be made of it.
    void read_fresh(Package &package, int64_t started, bool keep_record, LogHandle *log);
    const qpk_info *record(Package &package, LogHandle *log);
    void index_names();

    bool m_loaded = false;
    bool m_changed = false;
    size_t m_seen = 0;        // regular files named "*.qpk"
    size_t m_read_afresh = 0; // of them, read from the file
    std::unique_ptr<MappedFile> m_body_map;  // the cache file as read
    std::string_view m_body;
    std::deque<std::string> m_decoded; // values of the cache that had to be decoded
    std::vector<Cached> m_cached;
    // Built on the first entry out of place: a cache written by the last run
    // lists the files in the order they are scanned.
    std::unordered_map<std::string_view, size_t> m_cached_by_path;
    // Paths and entries of files read afresh, in chunks that never move.
    std::deque<std::string> m_kept;
    std::vector<Directory> m_directories;
    std::vector<Package> m_packages;
    // Built on the first lookup of a name: (name, package index), sorted.
    std::vector<std::pair<std::string_view, size_t>> m_names;
    std::vector<size_t> m_unnamed; // packages whose name takes a parse to know
    bool m_names_built = false;
};

// "<root>/var/cache/qpm/qpc-dirs/cache"
std::string cache_path();

} // namespace qpm::dirs
