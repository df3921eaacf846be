// qpc-dirs: the catalogue backend delivered with the system. Its catalogue is
// a list of local directories read from /etc/qpc-dirs.conf; every "*.qpk"
// file in one of them is an available package. What it learnt of each file
// is kept in a cache below /var/cache/qpm, so a run reads only the package
// files that changed (dirs_cache.h).
#include "dirs_cache.h"
#include "engine/backend.h"
#include "package/qpk_info.h"
#include "record/ekva.h"
#include "util/files.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strarr.h"
#include "util/strfmt.h"
#include "util/sysroot.h"
#include "util/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>
#include <vector>

#define QPC_EXPORT extern "C" __attribute__((visibility("default")))

namespace qpm {

QPC_EXPORT int qpc_match_file(const char *name, const char *pattern);

namespace {

constexpr size_t MAX_DIRS = 100;
// A configuration line longer than this is split into several entries.
constexpr size_t MAX_LINE = 4095;
constexpr size_t COPY_CHUNK = 8192;

struct Connection {
    std::optional<std::string> dist_name;
    std::optional<std::string> dist_vers;
    int arch = 0;
    // The host asked that nothing be written (a query front end).
    bool read_only = false;
    // Read on the first query or refresh, then kept for the connection.
    dirs::Catalogue catalogue;
};

// The package directories, in configuration order. Read by every connect and
// kept for the life of the process, also after a failed connect or a release.
StrArr qpk_dirs;
// The host's configuration record and log handle, borrowed until release.
const Ekva *qpm_conf = nullptr;
LogHandle *plugin_log = nullptr;
// Open connections; the host only ever sees their addresses.
std::vector<std::unique_ptr<Connection>> connections;


Connection *find_connection(void *handle)
{
    for (const auto &connection : connections)
        if (connection.get() == handle)
            return connection.get();
    return nullptr;
}

// Reads /etc/qpc-dirs.conf into qpk_dirs. Lines are taken whole, without
// their line feed (the last line need not have one); only a line longer than
// MAX_LINE is split into several entries. Blank lines and lines starting
// with '#' are skipped.
bool read_dirs_conf()
{
    const std::string path = root_path(syspath::qpc_dirs_config);
    FilePtr file = fopen_cloexec(path, "r");
    if (!file) {
        log_to(plugin_log, LL_ERROR, "qpc-dirs: Failed to open configuration file %s\n", path.c_str());
        return false;
    }
    struct stat st {};
    const long size = fstat(fileno(file.get()), &st) == 0 ? static_cast<long>(st.st_size) : 0;
    log_to(plugin_log, LL_DEBUG, "qpc-dirs: Setting linesize to %d\n", size <= 4096 ? static_cast<int>(size) + 2 : 4098);

    std::string content;
    char buffer[COPY_CHUNK];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
        content.append(buffer, got);

    qpk_dirs.clear();
    const auto store = [](std::string_view entry) {
        if (qpk_dirs.size() >= MAX_DIRS) {
            log_to(plugin_log, LL_INFO, "qpc-dirs: Maximum of 100 directories reached, skipping the rest");
            return;
        }
        if (entry.empty())
            return;
        qpk_dirs.emplace_back(entry);
        log_to(plugin_log, LL_DEBUG, "qpc-dirs: Read line <%s> of length %d", qpk_dirs.back().c_str(),
             static_cast<int>(entry.size()));
    };
    std::string_view rest(content);
    while (!rest.empty()) {
        const size_t feed = rest.find('\n');
        std::string_view line = rest.substr(0, feed);
        rest.remove_prefix(feed == std::string_view::npos ? rest.size() : feed + 1);
        // A comment ('#' in the first column) or a line of blanks names no directory.
        if (line.starts_with('#') || line.find_first_not_of(" \t") == std::string_view::npos)
            continue;
        do {
            store(line.substr(0, MAX_LINE));
            line.remove_prefix(std::min(line.size(), MAX_LINE));
        } while (!line.empty());
    }
    log_to(plugin_log, LL_DEBUG, "qpc-dirs: Number of dirs read: %d", static_cast<int>(qpk_dirs.size()));
    return true;
}

// Package files are the entries named "*.qpk".
int is_package_name(const char *name) { return qpc_match_file(name, "*.qpk"); }

// The cache is written back only by a process that owns it (root), only
// when the host allows writes, and on use only where a refresh has made its
// directory: a root that was never refreshed stays as it is, whatever runs
// in it.
void write_back(Connection &connection, bool refreshing)
{
    if (!connection.catalogue.loaded() || !connection.catalogue.changed() || connection.read_only || geteuid() != 0)
        return;
    const std::string path = dirs::cache_path();
    std::string error;
    if (connection.catalogue.save(path, refreshing, error))
        log_to(plugin_log, LL_DEBUG, "qpc-dirs: wrote the cache %s, %zu packages", path.c_str(),
               connection.catalogue.size());
    else if (refreshing)
        log_to(plugin_log, LL_INFO, "qpc-dirs: cannot write the cache %s: %s", path.c_str(), error.c_str());
    else
        log_to(plugin_log, LL_DEBUG, "qpc-dirs: cache not written: %s", error.c_str());
}

} // namespace

// 1 when `name` matches the shell wildcard `pattern`.
QPC_EXPORT int qpc_match_file(const char *name, const char *pattern)
{
    return fnmatch(pattern, name, 0) == 0 ? 1 : 0;
}

// Directory-scan filter: package files are the entries named "*.qpk".
QPC_EXPORT int qpc_qpk_filter(const struct dirent *entry)
{
    return is_package_name(entry->d_name);
}

QPC_EXPORT void *qpc_connect(const Ekva *configuration, LogHandle *log)
{
    plugin_log = log;
    if (!read_dirs_conf())
        return nullptr;

    auto connection = std::make_unique<Connection>();
    qpm_conf = configuration;
    connection->dist_name = optional_text(ekva_getval(configuration, "dist_name"));
    connection->dist_vers = optional_text(ekva_getval(configuration, "dist_vers"));
    const char *read_only = ekva_getval(configuration, "qpc_readonly");
    connection->read_only = read_only && std::strcmp(read_only, "yes") == 0;

    const char *arch_name = ekva_getval(configuration, "arch_name");
    if (!arch_name) {
        log_to(plugin_log, LL_ERROR, "qpc-dirs: Failed to get arch_name from config");
        return nullptr;
    }
    connection->arch = qpm_arch_getid(arch_name);
    if (connection->arch == QPM_ARCH_UNSUPPORTED) {
        log_to(plugin_log, LL_ERROR, "qpc-dirs:Invalid architecture specified: %s", arch_name);
        return nullptr;
    }
    log_to(plugin_log, LL_DEBUG, "qpc-dirs: Loaded catalogue for distribution %s-%s",
         text_or_null(connection->dist_name), text_or_null(connection->dist_vers));
    connections.push_back(std::move(connection));
    return connections.back().get();
}

// The directories are read anew by every connect; a refresh brings the
// cache up to date with them.
QPC_EXPORT int qpc_refresh(void *handle)
{
    if (Connection *connection = find_connection(handle)) {
        connection->catalogue.load(qpk_dirs, dirs::cache_path(), plugin_log);
        write_back(*connection, true);
    }
    return 0;
}

QPC_EXPORT int qpc_release(void *handle)
{
    if (Connection *connection = find_connection(handle))
        write_back(*connection, false);
    std::erase_if(connections, [handle](const auto &connection) { return connection.get() == handle; });
    // The host's record and log handle are borrowed only until release: a
    // later call must not write through a handle the host has freed.
    if (connections.empty()) {
        qpm_conf = nullptr;
        plugin_log = nullptr;
    }
    return 0;
}

QPC_EXPORT int qpc_findpkg(void *handle, const char *pattern, const char *variant, const char *version,
                           int selector, const Ekva *attributes, QpiList *out)
{
    if (out)
        out->clear();
    Connection *connection = find_connection(handle);
    if (!connection) {
        log_to(plugin_log, LL_ERROR, "qpc-dirs: Not connected");
        return 0;
    }
    if (variant)
        log_to(plugin_log, LL_DEBUG, "qpc-dirs: Looking for package %s, variant <%s>", text_or_null(pattern), variant);
    else
        log_to(plugin_log, LL_DEBUG, "qpc-dirs: Looking for package %s", text_or_null(pattern));
    if (qpk_dirs.empty() || !out)
        return 0;

    const QpiQuery query(pattern, variant, version, selector, attributes);
    if (!connection->catalogue.loaded())
        connection->catalogue.load(qpk_dirs, dirs::cache_path(), plugin_log);
    QpiList found = connection->catalogue.find(query, plugin_log);
    if (found.size() >= 2)
        qpm_qpi_list_sort(found);
    const int count = static_cast<int>(found.size());
    log_to(plugin_log, LL_DEBUG, "qpc-dirs: Stored %d qpis", count);
    *out = std::move(found);
    return count;
}

// Copies the package file to `out`; the bytes written, or -1 when the file
// cannot be read or `out` does not take every byte.
QPC_EXPORT long qpc_readpkg(void *handle, const qpk_info *qpi, FILE *out)
{
    if (!find_connection(handle)) {
        log_to(plugin_log, LL_ERROR, "qpc-dirs: Not connected");
        return -1;
    }
    if (!qpi || !qpi->absolute_uri || !out)
        return -1;
    log_to(plugin_log, LL_DEBUG, "qpc-dirs: Reading %s", qpi->absolute_uri->c_str());
    const UniqueFd in(open(qpi->absolute_uri->c_str(), O_RDONLY | O_CLOEXEC));
    if (!in)
        return -1;
    // Whatever the host wrote into `out` goes first; then the file is copied
    // below the stream (in the kernel where it can be).
    if (std::fflush(out) != 0)
        return -1;
    const long long copied = copy_fd(in.get(), fileno(out));
    if (copied < 0)
        return -1;
    const long written = static_cast<long>(copied);
    log_to(plugin_log, LL_DEBUG, "qpc-dirs: Read %ld bytes", written);
    return written;
}

// Optional entry point: findpkg looks a plain name up in the connection's
// catalogue, so the host need not copy the whole catalogue first.
QPC_EXPORT int qpc_indexed(void *handle)
{
    return find_connection(handle) ? 1 : 0;
}

// The host binds these through its pointer types; keep them in step.
static_assert(std::is_same_v<decltype(&qpc_connect), qpc_connect_fn>);
static_assert(std::is_same_v<decltype(&qpc_refresh), qpc_refresh_fn>);
static_assert(std::is_same_v<decltype(&qpc_findpkg), qpc_findpkg_fn>);
static_assert(std::is_same_v<decltype(&qpc_readpkg), qpc_readpkg_fn>);
static_assert(std::is_same_v<decltype(&qpc_release), qpc_release_fn>);
static_assert(std::is_same_v<decltype(&qpc_indexed), qpc_indexed_fn>);

} // namespace qpm
