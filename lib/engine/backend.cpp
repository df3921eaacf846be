#include "engine/backend.h"

#include "util/sysroot.h"

#include <cstdio>

namespace qpm {

qpc_connect_fn pqpm_qpc_connect = nullptr;
qpc_refresh_fn pqpm_qpc_refresh = nullptr;
qpc_findpkg_fn pqpm_qpc_findpkg = nullptr;
qpc_readpkg_fn pqpm_qpc_readpkg = nullptr;
qpc_release_fn pqpm_qpc_release = nullptr;
qpc_fetchpkgs_fn pqpm_qpc_fetchpkgs = nullptr;
qpc_indexed_fn pqpm_qpc_indexed = nullptr;

namespace {

// Resolves `symbol` into `slot`; on failure prints "Failure resolving
// qpm_<symbol>: <dlerror>", named after the host's pointer.
template <class Fn>
bool bind(void *library, const char *symbol, Fn &slot)
{
    dlerror();
    void *address = dlsym(library, symbol);
    if (const char *error = dlerror()) {
        std::fprintf(stderr, "Failure resolving qpm_%s: %s\n", symbol, error);
        return false;
    }
    slot = reinterpret_cast<Fn>(address);
    return true;
}

} // namespace

SharedLibrary qpm_qpc_load(const std::string &path)
{
    pqpm_qpc_fetchpkgs = nullptr;
    pqpm_qpc_indexed = nullptr;
    SharedLibrary library(dlopen(path.c_str(), RTLD_LAZY));
    if (!library) {
        std::fprintf(stderr, "Failed to load backend %s: %s\n", path.c_str(), dlerror());
        return nullptr;
    }
    dlerror();
    void *handle = library.get();
    if (!bind(handle, "qpc_connect", pqpm_qpc_connect) ||
        !bind(handle, "qpc_refresh", pqpm_qpc_refresh) ||
        !bind(handle, "qpc_findpkg", pqpm_qpc_findpkg) ||
        !bind(handle, "qpc_readpkg", pqpm_qpc_readpkg) ||
        !bind(handle, "qpc_release", pqpm_qpc_release))
        return nullptr;
    pqpm_qpc_fetchpkgs = reinterpret_cast<qpc_fetchpkgs_fn>(dlsym(handle, "qpc_fetchpkgs"));
    pqpm_qpc_indexed = reinterpret_cast<qpc_indexed_fn>(dlsym(handle, "qpc_indexed"));
    dlerror();
    return library;
}

void qpm_qpc_close(SharedLibrary &library)
{
    // Nothing may call into a library that is gone.
    pqpm_qpc_connect = nullptr;
    pqpm_qpc_refresh = nullptr;
    pqpm_qpc_findpkg = nullptr;
    pqpm_qpc_readpkg = nullptr;
    pqpm_qpc_release = nullptr;
    pqpm_qpc_fetchpkgs = nullptr;
    pqpm_qpc_indexed = nullptr;
    library.reset();
}

CatalogueSession::~CatalogueSession() { close(); }

bool CatalogueSession::connect(const Ekva *configuration, LogHandle *log)
{
    m_connection = m_library && pqpm_qpc_connect ? pqpm_qpc_connect(configuration, log) : nullptr;
    return m_connection != nullptr;
}

void CatalogueSession::close()
{
    if (m_connection && pqpm_qpc_release)
        pqpm_qpc_release(m_connection);
    m_connection = nullptr;
    if (m_library)
        qpm_qpc_close(m_library);
}

std::string qpm_qpc_path(const Ekva *configuration)
{
    std::string name;
    if (const char *backend = ekva_getval(configuration, "qpc_backend")) {
        name = backend;
        if (const size_t slash = name.rfind('/'); slash != std::string::npos)
            name.erase(0, slash + 1);
        qlog(LL_DEBUG, "%s specified as catalogue backend", name.c_str());
    } else {
        name = "qpc-dirs.so";
        qlog(LL_DEBUG, "no catalogue backend speficied, using %.1900s", name.c_str());
    }
    std::string path = root_path(syspath::plugin_dir) + "/" + name;
    qlog(LL_DEBUG, "loading qpm backend %s", path.c_str());
    return path;
}

} // namespace qpm
