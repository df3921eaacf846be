#pragma once
// The catalogue backend: a shared library loaded at run time that tells the
// engine which packages exist and delivers their files. The host binds five
// entry points into process-wide pointers; engine code calls through them.
#include "record/ekva.h"
#include "util/log.h"
#include "util/raii.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace qpm {

struct qpk_info;
using QpiPtr = std::unique_ptr<qpk_info>;
using QpiList = std::vector<QpiPtr>;

// The backend's connection handle is opaque to the host.
using QpcConnection = void *;

using qpc_connect_fn = QpcConnection (*)(const Ekva *configuration, LogHandle *log);
using qpc_refresh_fn = int (*)(QpcConnection connection);
// Fills `out` (sorted by name) and returns how many packages matched.
using qpc_findpkg_fn = int (*)(QpcConnection connection, const char *pattern, const char *variant,
                               const char *version, int selector, const Ekva *attributes, QpiList *out);
// Bytes written to `out`, or -1. 64-bit so package files over 2 GiB count right.
using qpc_readpkg_fn = long (*)(QpcConnection connection, const qpk_info *qpi, FILE *out);
using qpc_release_fn = int (*)(QpcConnection connection);
// Optional: fetches `count` package files side by side, each into its path
// (whole and checked, or not at all); returns how many it fetched.
using qpc_fetchpkgs_fn = int (*)(QpcConnection connection, const qpk_info *const *qpis, const char *const *paths,
                                 int count);

extern qpc_connect_fn pqpm_qpc_connect;
extern qpc_refresh_fn pqpm_qpc_refresh;
extern qpc_findpkg_fn pqpm_qpc_findpkg;
extern qpc_readpkg_fn pqpm_qpc_readpkg;
// Optional: non-zero when findpkg answers a plain name from an index of its
// own, at a cost that does not grow with the catalogue. The engine then asks
// for each name as it needs it instead of copying the whole catalogue first.
using qpc_indexed_fn = int (*)(QpcConnection connection);

extern qpc_release_fn pqpm_qpc_release;
// Null unless the loaded backend offers "qpc_fetchpkgs".
extern qpc_fetchpkgs_fn pqpm_qpc_fetchpkgs;
// Null unless the loaded backend offers "qpc_indexed".
extern qpc_indexed_fn pqpm_qpc_indexed;

// Loads the library at `path` and binds all five entry points (and the
// optional parallel fetch and name index when it has them); null (with a message on standard
// error) when it cannot be loaded or lacks one of the five.
SharedLibrary qpm_qpc_load(const std::string &path);
void qpm_qpc_close(SharedLibrary &library);

// A loaded backend and its connection, with one owner: on destruction (or
// close()) the connection is released, the library unloaded and the entry
// points cleared.
class CatalogueSession {
public:
    explicit CatalogueSession(SharedLibrary library) : m_library(std::move(library)) {}
    CatalogueSession(const CatalogueSession &) = delete;
    CatalogueSession &operator=(const CatalogueSession &) = delete;
    ~CatalogueSession();

    // Connects with the host's configuration and log; false when the
    // backend gives no connection.
    bool connect(const Ekva *configuration, LogHandle *log);
    QpcConnection connection() const { return m_connection; }
    // Releases the connection and unloads the backend now.
    void close();

private:
    SharedLibrary m_library;
    QpcConnection m_connection = nullptr;
};

// The full path of the backend named by the configuration key `qpc_backend`
// (its last path component only) in the backend directory, logging the
// choice as the front ends do.
std::string qpm_qpc_path(const Ekva *configuration);

} // namespace qpm
