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
    QpiList find(const char *pattern, const Ekva *attributes, const QpiQuery &query, LogHandle *log);

    // Whether the cache on disk differs from what this catalogue would write.
    bool changed() const { return m_changed; }
    // Writes the cache (atomically, mode 0644); its directory is made when
    // `make_directory` is set and must be there otherwise. false with the
    // reason in `error`.
    bool save(const std::string &cache_path, bool make_directory, std::string &error);

    size_t size() const { return m_packages.size(); }

private:
    struct Cached {
        std::string path;
        FileKey key;
        std::string hash;
        std::string_view text; // the whole entry, a view into m_body
    };
    struct Package {
        std::string path;     // "directory/name": the record's relative URI
        std::string absolute; // its canonical path when known without a lookup
        FileKey key;
        const Cached *cached = nullptr; // the cache's entry, when the key matched
        std::string entry;              // the entry to write for a file read afresh
        QpiPtr qpi;                     // the record, once read or parsed
        bool tried = false;             // qpi is all there will be
    };

    void read_cache(const std::string &cache_path, LogHandle *log);
    void read_fresh(Package &package, int64_t started, LogHandle *log);
    const qpk_info *record(Package &package, LogHandle *log);

    bool m_loaded = false;
    bool m_changed = false;
    size_t m_seen = 0;        // regular files named "*.qpk"
    size_t m_read_afresh = 0; // of them, read from the file
    std::string m_body; // the cache file as read
    std::vector<Cached> m_cached;
    std::unordered_map<std::string_view, size_t> m_cached_by_path;
    std::vector<Package> m_packages;
    std::unordered_multimap<std::string_view, size_t> m_by_name;
    std::vector<size_t> m_unnamed; // records whose name takes a parse to know
};

// "<root>/var/cache/qpm/qpc-dirs/cache"
std::string cache_path();

} // namespace qpm::dirs
