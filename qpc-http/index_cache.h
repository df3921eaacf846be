#pragma once
// The cached indexes below /var/cache/qpm/qpc-http (under the system root),
// one directory per repository: QPKINDEX as the mirror served it, its
// validators for the next conditional request, and partial package files.
#include "http_conf.h"
#include "package/qpk_index.h"

#include <algorithm>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qpm::http {

// "<root>/var/cache/qpm/qpc-http/<repository>"
std::string cache_dir(const Repository &repository);
// Where a package file of the repository is downloaded to before it is used.
std::string partial_path(const Repository &repository, const std::string &file_name);
// Makes the cache directory of the repository and its partial/ directory.
bool make_cache_dirs(const Repository &repository, std::string &error);

// Fetches the index of `repository` from the first mirror that serves one we
// can use: signed by a certificate of `certstore`, well formed, and not older
// than the cached one. Only such an index replaces the cached one. false
// (with the reasons logged) when no mirror served one.
bool refresh_repository(const Repository &repository, const Settings &settings, const std::string &certstore);

// A cached index whose signature has been checked, its entries parsed only
// when a query reaches them: asking for one name parses that name's entries,
// not the catalogue.
class CachedIndex {
public:
    CachedIndex(std::string body, QpkIndexEntries split, std::string origin);
    CachedIndex(const CachedIndex &) = delete;
    CachedIndex &operator=(const CachedIndex &) = delete;

    size_t size() const { return m_entries.size(); }

    // Calls `take` with every sound record that may be named `name` (the
    // caller still matches it), in index order.
    template <class Take>
    void for_name(std::string_view name, Take take)
    {
        std::vector<size_t> hits = m_unnamed;
        const auto [from, to] = m_by_name.equal_range(name);
        for (auto it = from; it != to; ++it)
            hits.push_back(it->second);
        std::sort(hits.begin(), hits.end());
        for (const size_t i : hits)
            if (const qpk_info *qpi = record(i))
                take(*qpi);
    }

    // Calls `take` with every sound record, in index order.
    template <class Take>
    void for_all(Take take)
    {
        for (size_t i = 0; i < m_entries.size(); ++i)
            if (const qpk_info *qpi = record(i))
                take(*qpi);
    }

private:
    const qpk_info *record(size_t i);

    std::string m_body; // the entries are views into it
    std::string m_origin;
    std::vector<std::string_view> m_entries;
    std::unordered_multimap<std::string_view, size_t> m_by_name;
    std::vector<size_t> m_unnamed; // entries whose name needs a parse to be known
    std::vector<QpiPtr> m_parsed;
    std::vector<bool> m_tried;
};

// The cached index, its signature checked again; null with the reason in
// `error` when there is none or it does not verify.
std::unique_ptr<CachedIndex> load_index(const Repository &repository, const std::string &certstore,
                                        std::string &error);

} // namespace qpm::http
