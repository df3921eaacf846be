#include "engine/catalogue.h"

#include "engine/installed.h"
#include "engine/search_common.h"
#include "util/log.h"

#include <cstring>
#include <algorithm>
#include <map>
#include <unordered_set>
#include <utility>

namespace qpm {

using namespace search_detail;

QpiList qpc_cache;

namespace {

const char *c_str_or_null(const std::optional<std::string> &text) { return text ? text->c_str() : nullptr; }

} // namespace

QpiList qpm_qpc_cache_fill(QpcConnection connection)
{
    QpiList all;
    if (pqpm_qpc_indexed && pqpm_qpc_indexed(connection)) {
        qlog(LL_DEBUG, "the catalogue answers each name from its index: nothing cached");
        return all;
    }
    const int count = pqpm_qpc_findpkg
                          ? pqpm_qpc_findpkg(connection, nullptr, nullptr, nullptr, QPM_SELECTOR, nullptr, &all)
                          : 0;
    qlog(LL_DEBUG, "Number of packages cached: %d", count);
    if (count <= 0)
        all.clear();
    return all;
}

void qpm_cache_free(QpiList *cache)
{
    if (!cache)
        return;
    qlog(LL_DEBUG, "Freeing cached qpis...");
    const auto freed = std::count_if(cache->begin(), cache->end(), [](const QpiPtr &qpi) { return qpi != nullptr; });
    cache->clear();
    qlog(LL_DEBUG, "%d cached qpis freed.", static_cast<int>(freed));
}

int qpm_findpkg(QpcConnection connection, const std::optional<std::string> &pattern,
                const std::optional<std::string> &variant, const std::optional<std::string> &version,
                int selector, const Ekva *attributes, QpiList &out)
{
    out.clear();
    if (!connection) {
        qlog(LL_ERROR, "qpc-http: Not connected");
        return 0;
    }
    if (qpc_cache.empty()) {
        if (!pqpm_qpc_findpkg)
            return 0;
        const int count = pqpm_qpc_findpkg(connection, c_str_or_null(pattern), c_str_or_null(variant),
                                           c_str_or_null(version), selector, attributes, &out);
        if (count <= 0)
            out.clear();
        return count;
    }

    if (variant)
        qlog(LL_DEBUG, "qpm_findpkg: Looking for package %s, variant <%s>", text_or_null(pattern), variant->c_str());
    else
        qlog(LL_DEBUG, "qpm_findpkg: Looking for package %s", text_or_null(pattern));

    Growth growth(50);
    for (const QpiPtr &qpi : qpc_cache) {
        if (!qpi || !qpm_qpi_match(qpi.get(), QPK_KIND_CATALOGUE, pattern, variant, version, attributes))
            continue;
        switch (growth.before_store(static_cast<int>(out.size()))) {
        case 1:
            qlog(LL_DEBUG, "qpm_findpkg: allocating space for %d entries", growth.capacity());
            break;
        case 2:
            qlog(LL_DEBUG, "qpm_findpkg: reallocation space for %d entries", growth.capacity());
            break;
        default:
            break;
        }
        out.push_back(qpk_info_copy(qpi.get()));
        qlog(LL_DEBUG, "qpm_findpkg: Storing %s, matches %s", qpi->name.c_str(), text_or_null(pattern));
    }
    if (out.size() > 1)
        qpm_qpi_list_sort(out);
    qlog(LL_DEBUG, "qpm_findpkg: Stored %d qpis", static_cast<int>(out.size()));
    return static_cast<int>(out.size());
}

int qpm_findone(const std::string &name, const std::optional<std::string> &variant, const QpiList &list)
{
    const bool named = variant && !is_default_request(variant);
    bool fallback_allowed = false;
    if (!variant) {
        qlog(LL_DEBUG, "qpm_findone: Checking for %s (no variant specified).", name.c_str());
        fallback_allowed = true;
    } else if (!named) {
        qlog(LL_DEBUG, "qpm_findone: Checking for %s (default variant specified).", name.c_str());
    } else {
        qlog(LL_DEBUG, "qpm_findone: Checking for %s (%s variant specified).", name.c_str(), variant->c_str());
    }
    if (list.empty())
        return -1;

    int selected = -1;
    std::optional<std::string> fallback_variant;
    for (size_t i = 0; i < list.size(); ++i) {
        const qpk_info *qpi = list[i].get();
        if (!qpi || qpi->name != name)
            continue;
        const std::string cand = qpk_puname(*qpi);
        const int index = static_cast<int>(i);

        if (selected < 0) {
            if (named) {
                if (has_variant(*qpi) && *qpi->variant == *variant) {
                    selected = index;
                    qlog(LL_DEBUG, "qpm_findone: Initiallly selecting %s variant for %s", variant->c_str(), cand.c_str());
                } else {
                    qlog(LL_DEBUG, "qpm_findone: Initiallly skipping %s due to variant mismatch", cand.c_str());
                }
            } else if (!has_variant(*qpi)) {
                selected = index;
                fallback_allowed = false;
                qlog(LL_DEBUG, "qpm_findone: Initiallly selecting default variant for %s", cand.c_str());
            } else if (fallback_allowed) {
                selected = index;
                fallback_variant = qpi->variant;
                qlog(LL_DEBUG, "qpm_findone: Initiallly selecting fallback variant %s for %s", qpi->variant->c_str(),
                     cand.c_str());
            } else {
                qlog(LL_DEBUG, "qpm_findone: Initiallly skipping %s due to variant mismatch", cand.c_str());
            }
            continue;
        }

        const qpk_info &current = *list[static_cast<size_t>(selected)];
        const std::string cur = qpk_puname(current);
        const int order = strverscmp(qpi->version.c_str(), current.version.c_str());

        if (named) {
            const char *wanted = variant->c_str();
            if (!has_variant(*qpi)) {
                qlog(LL_DEBUG, "qpm_findone: Skipping %s of default variant, as %s was in the relevant %s variant",
                     cand.c_str(), cur.c_str(), wanted);
            } else if (*qpi->variant != *variant) {
                qlog(LL_DEBUG, "qpm_findone: Skipping %s of %s variant, as %s was in the relevant %s variant",
                     cand.c_str(), qpi->variant->c_str(), cur.c_str(), wanted);
            } else if (order > 0) {
                qlog(LL_DEBUG, "qpm_findone: Replacing %s with %s in the %s variant, as this is newer", cand.c_str(),
                     cur.c_str(), wanted);
                selected = index;
            } else if (order == 0) {
                qlog(LL_DEBUG, "qpm_findone: Keeping %s instead of %s in the %s variant, first is first", cur.c_str(),
                     cand.c_str(), wanted);
            } else {
                qlog(LL_DEBUG, "qpm_findone: Keeping %s instead of %s in the %s variant, as this is older", cur.c_str(),
                     cand.c_str(), wanted);
            }
            continue;
        }

        if (!has_variant(*qpi)) {
            if (fallback_variant) {
                qlog(LL_DEBUG, "qpm_findone: Default variant found: %s, overriding fallback variant %s: %s",
                     cand.c_str(), fallback_variant->c_str(), cur.c_str());
                selected = index;
                fallback_allowed = false;
                fallback_variant.reset();
            } else if (order > 0) {
                qlog(LL_DEBUG, "qpm_findone: Replacing %s with %s in the default variant, as this is newer",
                     cand.c_str(), cur.c_str());
                selected = index;
            } else if (order == 0) {
                qlog(LL_DEBUG, "qpm_findone: Keeping %s instead of %s in the default variant, first is first",
                     cur.c_str(), cand.c_str());
            } else {
                qlog(LL_DEBUG, "qpm_findone: Keeping %s instead of %s in the default variant, as this is older",
                     cur.c_str(), cand.c_str());
            }
            continue;
        }

        const char *its_variant = qpi->variant->c_str();
        if (!fallback_allowed) {
            qlog(LL_DEBUG, "qpm_findone: Keeping %s instead of %s of variant %s, no fallback allowed (anymore)",
                 cur.c_str(), cand.c_str(), its_variant);
        } else if (!has_variant(current)) {
            qlog(LL_DEBUG, "qpm_findone: Skipping %s of %s variant, as %s was the relevant default variant",
                 cand.c_str(), its_variant, cur.c_str());
        } else if (*current.variant != *qpi->variant) {
            qlog(LL_DEBUG,
                 "qpm_findone: Skipping both %s and %s and set no fallback allowed, as only one fallback can exist",
                 cand.c_str(), cur.c_str());
            selected = -1;
            fallback_allowed = false;
            fallback_variant.reset();
        } else if (order > 0) {
            qlog(LL_DEBUG, "qpm_findone: Replacing %s with %s in the fallback variant %s, as this is newer",
                 cand.c_str(), cur.c_str(), its_variant);
            selected = index;
        } else if (order == 0) {
            qlog(LL_DEBUG, "qpm_findone: Keeping %s instead of %s in the fallback variant %s, first is first",
                 cur.c_str(), cand.c_str(), its_variant);
        } else {
            qlog(LL_DEBUG, "qpm_findone: Keeping %s instead of %s in the fallback variant %s, as this is older",
                 cur.c_str(), cand.c_str(), its_variant);
        }
    }
    return selected;
}

QpiPtr qpm_findone_qpc(const qpm_handle *qpm, const std::string &name, const std::optional<std::string> &variant,
                       const std::optional<std::string> &version, QpcConnection connection)
{
    QpiList found;
    const int count = qpm_findpkg(connection, name, variant, version, QPM_SELECTOR, nullptr, found);
    qlog(LL_DEBUG, "Number of packages returned for %s: %d", name.c_str(), count);
    // A build for another architecture must never shadow the one this
    // inventory can install, whatever its version.
    for (QpiPtr &qpi : found) {
        if (qpi && !arch_acceptable(qpm, *qpi)) {
            qlog(LL_DEBUG, "Package arch %s doesn't match local arch %s, skipping", arch_text(qpi->architecture),
                 arch_text(local_arch(qpm)));
            qpi.reset();
        }
    }
    std::erase(found, nullptr);
    const int chosen = qpm_findone(name, variant, found);
    if (chosen < 0)
        return nullptr;
    return std::move(found[static_cast<size_t>(chosen)]);
}

int qpm_findpkg_new(const qpm_handle *qpm, QpcConnection connection, const std::optional<std::string> &pattern,
                    const std::optional<std::string> &variant, const Ekva *attributes, int newest, QpiList &out)
{
    out.clear();
    QpiList found;
    const int count = qpm_findpkg(connection, pattern, variant, std::nullopt, QPM_SELECTOR, attributes, found);
    qlog(LL_DEBUG, "qpm_findpkg_new: %04d entries found in catalogue", count);
    const StrArr names = qpm_list_arr(qpm, 0);
    const std::unordered_set<std::string> installed(names.begin(), names.end());

    // One choice per name and variant, however many builds share them.
    std::map<std::pair<std::string, std::optional<std::string>>, int> chosen_for;
    for (size_t i = 0; i < found.size(); ++i) {
        const qpk_info *qpi = found[i].get();
        if (!qpi)
            continue;
        if (installed.contains(qpi->name)) {
            qlog(LL_DEBUG, "qpm_findpkg_new: %s already installed, skipping", qpi->name.c_str());
            continue;
        }
        if (!newest) {
            qlog(LL_DEBUG, "qpm_findpkg_new: %s not installed, copying", qpi->name.c_str());
            out.push_back(qpk_info_copy(qpi));
            continue;
        }
        const auto key = std::make_pair(qpi->name, qpi->variant);
        auto it = chosen_for.find(key);
        if (it == chosen_for.end())
            it = chosen_for.emplace(key, qpm_findone(qpi->name, qpi->variant, found)).first;
        if (it->second == static_cast<int>(i)) {
            qlog(LL_DEBUG, "qpm_findpkg_new: %s not installed and %s is the newest version, copying", qpi->name.c_str(),
                 qpi->version.c_str());
            out.push_back(qpk_info_copy(qpi));
        } else {
            const char *newest_version =
                it->second >= 0 ? found[static_cast<size_t>(it->second)]->version.c_str() : "(null)";
            qlog(LL_DEBUG, "qpm_findpkg_new: %s not installed, but %s is older than the newest version %s, skipping",
                 qpi->name.c_str(), qpi->version.c_str(), newest_version);
        }
    }
    return static_cast<int>(out.size());
}

const char *qpk_stat_desc(char status)
{
    switch (status) {
    case 'I':
        return "installed";
    case 'R':
        return "available remotely";
    case 'L':
        return "available locally";
    default:
        return "unavailable";
    }
}

} // namespace qpm
