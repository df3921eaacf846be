// qpc-http: a catalogue backend for repositories served over HTTP(S) or from
// file:// URLs. /etc/qpc-http.conf lists the repositories and their mirrors;
// refresh fetches each repository's signed index into the cache, findpkg
// answers from the cached indexes alone, and readpkg downloads a package
// file, failing over from mirror to mirror, and hands it over only with the
// size and SHA-1 its index gives.
#include "engine/backend.h"
#include "engine/inventory.h"
#include "http_conf.h"
#include "index_cache.h"
#include "package/qpk_info.h"
#include "plog.h"
#include "progress.h"
#include "transfer.h"
#include "util/files.h"
#include "util/raii.h"
#include "util/strfmt.h"
#include "util/sysroot.h"
#include "util/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>
#include <fcntl.h>
#include <unistd.h>

#include <curl/curl.h>

#define QPC_EXPORT extern "C" __attribute__((visibility("default")))

namespace qpm::http {

LogHandle *plugin_log = nullptr;

namespace {

constexpr const char *CONF_PATH = syspath::qpc_http_config;

struct Connection {
    Config config;
    std::string certstore;
    // Packages a parallel fetch could not get, with the reason: the
    // one-by-one fetch that follows reports them without trying again.
    std::unordered_map<std::string, std::string> failed;
    // The cached indexes, read once per connection on the first query (one
    // per repository, null where there is none usable).
    std::vector<std::unique_ptr<CachedIndex>> indexes;
    bool indexes_read = false;
};

std::vector<std::unique_ptr<Connection>> connections;

Connection *find_connection(void *handle)
{
    for (const auto &c : connections)
        if (c.get() == handle)
            return c.get();
    return nullptr;
}


// The repository a record came from: the one whose first mirror its
// absolute URI names.
const Repository *repository_of(const Connection &c, const qpk_info &qpi)
{
    if (!qpi.absolute_uri || !qpi.relative_uri)
        return nullptr;
    for (const Repository &r : c.config.repositories)
        if (*qpi.absolute_uri == r.mirrors.front() + "/" + *qpi.relative_uri)
            return &r;
    return nullptr;
}

// The records of every cached index that `query` selects, as copies the
// caller owns. A plain name (no wildcard, no attribute patterns) is looked
// up; anything else reads every entry. A repository without a usable index
// adds nothing.
QpiList read_indexes(Connection &c, const QpiQuery &query)
{
    if (!c.indexes_read) {
        c.indexes_read = true;
        for (const Repository &r : c.config.repositories) {
            std::string error;
            std::unique_ptr<CachedIndex> index = load_index(r, c.certstore, error);
            if (index)
                log_to(plugin_log, LL_DEBUG, "qpc-http: [%s] %zu packages in the cached index", r.name.c_str(), index->size());
            else
                log_to(plugin_log, LL_WARNING, "qpc-http: [%s] %s", r.name.c_str(), error.c_str());
            c.indexes.push_back(std::move(index));
        }
    }
    const std::string *name = query.plain_name();
    QpiList found;
    for (size_t i = 0; i < c.indexes.size(); ++i) {
        if (!c.indexes[i])
            continue;
        const Repository &r = c.config.repositories[i];
        const auto take = [&](const qpk_info &qpi) {
            if (!query.matches(qpi))
                return;
            QpiPtr copy = qpk_info_copy(&qpi);
            copy->absolute_uri = r.mirrors.front() + "/" + *qpi.relative_uri;
            found.push_back(std::move(copy));
        };
        if (name)
            c.indexes[i]->for_name(*name, take);
        else
            c.indexes[i]->for_all(take);
    }
    return found;
}

// Copies the verified partial file to `out`; the bytes, or -1.
long copy_to(const std::string &path, FILE *out)
{
    FilePtr in = fopen_cloexec(path, "rb");
    if (!in)
        return -1;
    char buffer[65536];
    long written = 0;
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in.get())) > 0) {
        if (std::fwrite(buffer, 1, got, out) != got)
            return -1;
        written += static_cast<long>(got);
    }
    if (std::ferror(in.get()) || std::fflush(out) != 0)
        return -1;
    return written;
}

// Whether the record can be fetched at all; the message when it cannot.
std::optional<std::string> unfetchable(const Connection &c, const qpk_info *qpi, const Repository *&repository)
{
    if (!qpi)
        return std::string("no package given");
    repository = repository_of(c, *qpi);
    if (!repository)
        return strprintf("%s is not in a configured repository", qpk_puname(*qpi).c_str());
    if (!qpi->file_hash || qpi->file_size <= 0)
        return strprintf("%s has no size or SHA-1 in its index", qpk_puname(*qpi).c_str());
    return std::nullopt;
}

} // namespace

QPC_EXPORT void *qpc_connect(const Ekva *configuration, LogHandle *log)
{
    static_cast<void>(configuration);
    plugin_log = log;
    const std::string path = root_path(CONF_PATH);
    const std::optional<std::string> text = _read_file(path);
    if (!text) {
        log_to(plugin_log, LL_ERROR, "qpc-http: Failed to open configuration file %s", path.c_str());
        return nullptr;
    }
    auto connection = std::make_unique<Connection>();
    connection->config = parse_config(*text, path);
    for (const std::string &problem : connection->config.problems)
        log_to(plugin_log, LL_ERROR, "qpc-http: %s", problem.c_str());
    if (connection->config.repositories.empty()) {
        log_to(plugin_log, LL_ERROR, "qpc-http: no repository with a mirror in %s", path.c_str());
        return nullptr;
    }
    connection->certstore = root_path(syspath::inventory) + "/certstore";
    // libcurl is opened by the first transfer (curl_lazy.cpp), not here: a
    // run that answers from the cached index never needs it.
    log_to(plugin_log, LL_DEBUG, "qpc-http: %zu repositories", connection->config.repositories.size());
    connections.push_back(std::move(connection));
    return connections.back().get();
}

QPC_EXPORT int qpc_refresh(void *handle)
{
    Connection *c = find_connection(handle);
    if (!c) {
        log_to(plugin_log, LL_ERROR, "qpc-http: Not connected");
        return -1;
    }
    c->indexes.clear();
    c->indexes_read = false;
    int failures = 0;
    for (const Repository &r : c->config.repositories)
        if (!refresh_repository(r, c->config.settings, c->certstore))
            ++failures;
    return failures == 0 ? 0 : -1;
}

QPC_EXPORT int qpc_release(void *handle)
{
    std::erase_if(connections, [handle](const auto &c) { return c.get() == handle; });
    if (connections.empty())
        plugin_log = nullptr;
    return 0;
}

QPC_EXPORT int qpc_findpkg(void *handle, const char *pattern, const char *variant, const char *version,
                           int selector, const Ekva *attributes, QpiList *out)
{
    if (out)
        out->clear();
    Connection *c = find_connection(handle);
    if (!c) {
        log_to(plugin_log, LL_ERROR, "qpc-http: Not connected");
        return 0;
    }
    if (variant)
        log_to(plugin_log, LL_DEBUG, "qpc-http: Looking for package %s, variant <%s>", text_or_null(pattern), variant);
    else
        log_to(plugin_log, LL_DEBUG, "qpc-http: Looking for package %s", text_or_null(pattern));
    if (!out)
        return 0;
    const QpiQuery query(pattern, variant, version, selector, attributes);
    QpiList found = read_indexes(*c, query);
    if (found.size() >= 2)
        qpm_qpi_list_sort(found);
    const int count = static_cast<int>(found.size());
    log_to(plugin_log, LL_DEBUG, "qpc-http: Stored %d qpis", count);
    *out = std::move(found);
    return count;
}

QPC_EXPORT long qpc_readpkg(void *handle, const qpk_info *qpi, FILE *out)
{
    Connection *c = find_connection(handle);
    if (!c) {
        log_to(plugin_log, LL_ERROR, "qpc-http: Not connected");
        return -1;
    }
    const Repository *repository = nullptr;
    if (const std::optional<std::string> why = unfetchable(*c, qpi, repository); why || !out) {
        log_to(plugin_log, LL_ERROR, "qpc-http: cannot fetch: %s", why ? why->c_str() : "no output");
        return -1;
    }
    const std::string &file_name = *qpi->relative_uri;
    if (const auto earlier = c->failed.find(file_name); earlier != c->failed.end()) {
        log_to(plugin_log, LL_ERROR, "qpc-http: failed to fetch %s: %s", file_name.c_str(), earlier->second.c_str());
        return -1;
    }
    std::string error;
    if (!make_cache_dirs(*repository, error)) {
        log_to(plugin_log, LL_ERROR, "qpc-http: failed to fetch %s: %s", file_name.c_str(), error.c_str());
        return -1;
    }
    log_to(plugin_log, LL_DEBUG, "qpc-http: Reading %s", qpi->absolute_uri->c_str());
    Download download(*repository, file_name, qpi->file_size, *qpi->file_hash, partial_path(*repository, file_name),
                      c->config.settings);
    Download::State state;
    {
        Progress progress(1, qpi->file_size);
        state = run_one(download, &progress);
    }
    if (state != Download::State::Done) {
        log_to(plugin_log, LL_ERROR, "qpc-http: failed to fetch %s: %s", file_name.c_str(), download.error().c_str());
        return -1;
    }
    const long written = copy_to(download.part_path(), out);
    ::unlink(download.part_path().c_str());
    log_to(plugin_log, LL_DEBUG, "qpc-http: Read %ld bytes", written);
    return written;
}

// Optional entry point: findpkg looks a plain name up in the cached indexes
// (parsing only that name's entries), so the host need not cache the
// catalogue.
QPC_EXPORT int qpc_indexed(void *handle)
{
    return find_connection(handle) ? 1 : 0;
}

// Optional entry point: fetches `count` package files side by side, each into
// its path in `paths` (whole and verified, or not at all). Returns how many
// were fetched; the rest are left to qpc_readpkg.
QPC_EXPORT int qpc_fetchpkgs(void *handle, const qpk_info *const *qpis, const char *const *paths, int count)
{
    Connection *c = find_connection(handle);
    if (!c || !qpis || !paths || count <= 0)
        return 0;
    std::vector<std::unique_ptr<Download>> downloads;
    std::vector<Download *> queue;
    std::vector<const char *> targets;
    int64_t total = 0;
    for (int i = 0; i < count; ++i) {
        const Repository *repository = nullptr;
        std::string error;
        if (unfetchable(*c, qpis[i], repository) || !paths[i] || !make_cache_dirs(*repository, error))
            continue;
        const std::string &file_name = *qpis[i]->relative_uri;
        downloads.push_back(std::make_unique<Download>(*repository, file_name, qpis[i]->file_size,
                                                       *qpis[i]->file_hash, partial_path(*repository, file_name),
                                                       c->config.settings));
        queue.push_back(downloads.back().get());
        targets.push_back(paths[i]);
        total += qpis[i]->file_size;
    }
    log_to(plugin_log, LL_INFO, "qpc-http: fetching %zu packages, %d at a time", queue.size(), c->config.settings.parallel);
    {
        Progress progress(static_cast<int>(queue.size()), total);
        run_many(queue, &progress, c->config.settings);
    }
    int placed = 0;
    for (size_t i = 0; i < queue.size(); ++i) {
        Download &d = *queue[i];
        if (!d.done()) {
            if (!d.error().empty())
                c->failed.emplace(d.file_name(), d.error());
            continue;
        }
        SiblingFile staged;
        if (!staged.create(targets[i], 0644))
            continue;
        UniqueFd in(::open(d.part_path().c_str(), O_RDONLY | O_CLOEXEC));
        if (in && copy_fd(in.get(), staged.fd()) == d.size() && staged.commit() == 0) {
            ::unlink(d.part_path().c_str());
            ++placed;
        }
    }
    return placed;
}

// The host binds these through its pointer types; keep them in step.
static_assert(std::is_same_v<decltype(&qpc_connect), qpc_connect_fn>);
static_assert(std::is_same_v<decltype(&qpc_refresh), qpc_refresh_fn>);
static_assert(std::is_same_v<decltype(&qpc_findpkg), qpc_findpkg_fn>);
static_assert(std::is_same_v<decltype(&qpc_readpkg), qpc_readpkg_fn>);
static_assert(std::is_same_v<decltype(&qpc_release), qpc_release_fn>);
static_assert(std::is_same_v<decltype(&qpc_fetchpkgs), qpc_fetchpkgs_fn>);
static_assert(std::is_same_v<decltype(&qpc_indexed), qpc_indexed_fn>);

} // namespace qpm::http
