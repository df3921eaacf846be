#include "index_cache.h"

#include "package/signature.h"
#include "plog.h"
#include "transfer.h"
#include "util/files.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace qpm::http {
namespace {

// A compressed index larger than this is not taken from a mirror.
constexpr size_t MAX_COMPRESSED_INDEX = 64u << 20;

struct Meta {
    std::string url;
    std::string etag;
    std::string last_modified;
};

std::string index_path(const Repository &r) { return cache_dir(r) + "/" + QPK_INDEX_NAME; }
std::string meta_path(const Repository &r) { return index_path(r) + ".meta"; }

Meta read_meta(const Repository &r)
{
    Meta meta;
    for (const std::string &line : read_file_lines(meta_path(r))) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        if (key == "url")
            meta.url = std::move(value);
        else if (key == "etag")
            meta.etag = std::move(value);
        else if (key == "last_modified")
            meta.last_modified = std::move(value);
    }
    return meta;
}

// Header values end at the line: nothing of them can add a line here.
bool write_replace(const std::string &path, const std::string &content)
{
    SiblingFile out;
    return out.create(path, 0644) && write_all(out.fd(), content) && out.close() == 0 && out.commit() == 0;
}

std::string one_line(const std::string &text) { return text.substr(0, text.find_first_of("\r\n")); }

// An index file checked through: unpacked, signed by a trusted signer,
// parsed. nullopt with the reason in `error`.
std::optional<QpkIndex> checked_index(std::string_view bytes, const std::string &origin,
                                      const std::string &certstore, std::string &error)
{
    std::optional<QpkIndexFile> file = qpk_index_unpack(bytes, error);
    if (!file)
        return std::nullopt;
    const int status = qpk_index_verify(*file, certstore);
    if (status != QPS_VERIFIED) {
        error = strprintf("signature %s", qpk_index_status_text(status));
        return std::nullopt;
    }
    return qpk_index_parse(file->body, origin, error);
}

} // namespace

std::string cache_dir(const Repository &repository)
{
    return root_path(syspath::cache_dir) + "/qpc-http/" + repository.name;
}

std::string partial_path(const Repository &repository, const std::string &file_name)
{
    return cache_dir(repository) + "/partial/" + file_name + ".part";
}

bool make_cache_dirs(const Repository &repository, std::string &error)
{
    std::error_code ec;
    std::filesystem::create_directories(cache_dir(repository) + "/partial", ec);
    if (ec) {
        error = strprintf("cannot make %s: %s", cache_dir(repository).c_str(), ec.message().c_str());
        return false;
    }
    return true;
}

bool refresh_repository(const Repository &repository, const Settings &settings, const std::string &certstore)
{
    std::string error;
    if (!make_cache_dirs(repository, error)) {
        log_to(plugin_log, LL_ERROR, "qpc-http: [%s] %s", repository.name.c_str(), error.c_str());
        return false;
    }
    const std::string cached_path = index_path(repository);
    std::optional<int64_t> cached_created;
    if (const std::optional<std::string> bytes = _read_file(cached_path)) {
        std::string why;
        if (const std::optional<QpkIndex> cached = checked_index(*bytes, cached_path, certstore, why))
            cached_created = cached->created;
        else
            log_to(plugin_log, LL_WARNING, "qpc-http: [%s] the cached index is not usable: %s", repository.name.c_str(), why.c_str());
    }
    const Meta meta = read_meta(repository);

    for (const std::string &mirror : repository.mirrors) {
        const std::string url = mirror + "/" + QPK_INDEX_NAME;
        // Validators belong to the mirror that gave them.
        const bool conditional = cached_created && meta.url == mirror;
        const Fetched got = fetch_to_memory(url, settings, repository, conditional ? meta.etag : "",
                                            conditional ? meta.last_modified : "", MAX_COMPRESSED_INDEX);
        if (!got.ok) {
            log_to(plugin_log, LL_WARNING, "qpc-http: %s: %s, trying the next mirror", url.c_str(), got.error.c_str());
            continue;
        }
        if (got.status == 304) {
            log_to(plugin_log, LL_INFO, "qpc-http: [%s] index not modified at %s", repository.name.c_str(), url.c_str());
            return true;
        }
        std::optional<QpkIndex> index = checked_index(got.body, url, certstore, error);
        if (!index) {
            log_to(plugin_log, LL_ERROR, "qpc-http: %s: index refused: %s", url.c_str(), error.c_str());
            continue;
        }
        if (cached_created && index->created < *cached_created) {
            log_to(plugin_log, LL_ERROR, "qpc-http: %s: index refused: made at %lld, before the cached one (%lld)", url.c_str(),
                 static_cast<long long>(index->created), static_cast<long long>(*cached_created));
            continue;
        }
        if (!write_replace(cached_path, got.body) ||
            !write_replace(meta_path(repository), "url=" + one_line(mirror) + "\netag=" + one_line(got.etag) +
                                                      "\nlast_modified=" + one_line(got.last_modified) + "\n")) {
            const int err = errno;
            log_to(plugin_log, LL_ERROR, "qpc-http: [%s] cannot write %s: %s", repository.name.c_str(), cached_path.c_str(),
                 std::strerror(err));
            return false;
        }
        log_to(plugin_log, LL_INFO, "qpc-http: [%s] index of %lld from %s: %zu packages", repository.name.c_str(),
             static_cast<long long>(index->created), url.c_str(), index->packages.size());
        return true;
    }
    log_to(plugin_log, LL_ERROR, "qpc-http: [%s] no mirror served a usable index%s", repository.name.c_str(),
         cached_created ? ", keeping the cached one" : "");
    return false;
}

CachedIndex::CachedIndex(std::string body, QpkIndexEntries split, std::string origin)
    : m_body(std::move(body)), m_origin(std::move(origin)), m_entries(std::move(split.entries)),
      m_parsed(m_entries.size()), m_tried(m_entries.size(), false)
{
    m_by_name.reserve(m_entries.size());
    for (size_t i = 0; i < m_entries.size(); ++i) {
        const std::string_view name = qpk_index_entry_name(m_entries[i]);
        if (name.empty())
            m_unnamed.push_back(i);
        else
            m_by_name.emplace(name, i);
    }
}

const qpk_info *CachedIndex::record(size_t i)
{
    if (!m_tried[i]) {
        m_tried[i] = true;
        m_parsed[i] = qpk_index_parse_entry(m_entries[i], m_origin);
    }
    return m_parsed[i].get();
}

std::unique_ptr<CachedIndex> load_index(const Repository &repository, const std::string &certstore,
                                        std::string &error)
{
    const std::string path = index_path(repository);
    const std::optional<std::string> bytes = _read_file(path);
    if (!bytes) {
        error = strprintf("no index at %s, refresh the catalogue first", path.c_str());
        return nullptr;
    }
    std::optional<QpkIndexFile> file = qpk_index_unpack(*bytes, error);
    if (!file)
        return nullptr;
    const int status = qpk_index_verify(*file, certstore);
    if (status != QPS_VERIFIED) {
        error = strprintf("signature %s", qpk_index_status_text(status));
        return nullptr;
    }
    std::optional<QpkIndexEntries> split = qpk_index_split(file->body, error);
    if (!split)
        return nullptr;
    // Moving the body keeps its buffer, and with it the entries' views.
    return std::make_unique<CachedIndex>(std::move(file->body), std::move(*split), path);
}

} // namespace qpm::http
