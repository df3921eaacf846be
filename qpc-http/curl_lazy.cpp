// libcurl, opened on the first transfer rather than with the plug-in.
//
// Loading libcurl brings two dozen libraries with it (TLS, Kerberos, LDAP,
// SSH, IDN...) and curl_global_init loads the OpenSSL configuration: about
// ten milliseconds that a run answering from the cached index alone (most
// installs of a package already fetched, every query) never needs. So the
// plug-in is not linked with libcurl: the curl_* functions it calls are
// defined here, hidden inside the plug-in, and each forwards to the real one,
// which is bound (and curl_global_init run) on the first call that needs
// libcurl. Functions that take a handle can only be reached once a handle was
// made, so only the constructors and curl_easy_strerror may meet a library
// that could not be loaded.
#include "plog.h"
#include "util/raii.h"

#include <cstdarg>
#include <dlfcn.h>
#include <string>

#include <curl/curl.h>

#ifndef QPC_HTTP_CURL_SONAME
#error "QPC_HTTP_CURL_SONAME names the libcurl to open (set by CMake)"
#endif

namespace qpm::http {
namespace {

#define QPC_CURL_FUNCTIONS(X)                                                                                          \
    X(curl_global_init)                                                                                                \
    X(curl_global_cleanup)                                                                                             \
    X(curl_easy_init)                                                                                                  \
    X(curl_easy_cleanup)                                                                                               \
    X(curl_easy_reset)                                                                                                 \
    X(curl_easy_setopt)                                                                                                \
    X(curl_easy_getinfo)                                                                                               \
    X(curl_easy_perform)                                                                                               \
    X(curl_easy_strerror)                                                                                              \
    X(curl_multi_init)                                                                                                 \
    X(curl_multi_cleanup)                                                                                              \
    X(curl_multi_setopt)                                                                                               \
    X(curl_multi_add_handle)                                                                                           \
    X(curl_multi_remove_handle)                                                                                        \
    X(curl_multi_perform)                                                                                              \
    X(curl_multi_poll)                                                                                                 \
    X(curl_multi_info_read)                                                                                            \
    X(curl_slist_append)                                                                                               \
    X(curl_slist_free_all)

struct CurlApi {
#define QPC_CURL_SLOT(name) decltype(&::name) name = nullptr;
    QPC_CURL_FUNCTIONS(QPC_CURL_SLOT)
#undef QPC_CURL_SLOT
};

struct Loaded {
    bool tried = false;
    bool started = false; // curl_global_init succeeded: curl_global_cleanup owed
    CurlApi api;
    SharedLibrary library; // declared last: closed after the rest is gone
    ~Loaded()
    {
        if (started)
            api.curl_global_cleanup();
    }
};

Loaded loaded;

// The bound functions, opening libcurl on the first call; null (reported
// once) when it cannot be opened or started.
const CurlApi *curl_api()
{
    if (loaded.tried)
        return loaded.started ? &loaded.api : nullptr;
    loaded.tried = true;
    loaded.library.reset(dlopen(QPC_HTTP_CURL_SONAME, RTLD_LAZY | RTLD_LOCAL));
    if (!loaded.library) {
        const char *why = dlerror();
        log_to(plugin_log, LL_ERROR, "qpc-http: cannot load %s: %s", QPC_HTTP_CURL_SONAME, why ? why : "unknown error");
        return nullptr;
    }
    dlerror();
#define QPC_CURL_BIND(name)                                                                                            \
    loaded.api.name = reinterpret_cast<decltype(&::name)>(dlsym(loaded.library.get(), #name));                       \
    if (!loaded.api.name) {                                                                                            \
        log_to(plugin_log, LL_ERROR, "qpc-http: %s lacks %s", QPC_HTTP_CURL_SONAME, #name);                           \
        return nullptr;                                                                                                \
    }
    QPC_CURL_FUNCTIONS(QPC_CURL_BIND)
#undef QPC_CURL_BIND
    if (loaded.api.curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        log_to(plugin_log, LL_ERROR, "qpc-http: cannot start libcurl");
        return nullptr;
    }
    loaded.started = true;
    return &loaded.api;
}

// For functions given a handle, which only a loaded libcurl hands out.
const CurlApi &bound() { return loaded.api; }

// The argument of a variadic setopt, passed on as the type the option
// number says it has (libcurl reads it the same way).
template <class Fn, class Handle, class Option>
auto forward_option(Fn fn, Handle *handle, Option option, va_list args) -> decltype(fn(handle, option, 0L))
{
    const long number = static_cast<long>(option);
    if (number < CURLOPTTYPE_OBJECTPOINT)
        return fn(handle, option, va_arg(args, long));
    if (number >= CURLOPTTYPE_OFF_T && number < CURLOPTTYPE_BLOB)
        return fn(handle, option, va_arg(args, curl_off_t));
    // Object, string, list, callback and blob pointers alike.
    return fn(handle, option, va_arg(args, void *));
}

} // namespace
} // namespace qpm::http

using qpm::http::bound;
using qpm::http::curl_api;

#define QPC_HIDDEN __attribute__((visibility("hidden")))

extern "C" {

QPC_HIDDEN CURL *curl_easy_init()
{
    const qpm::http::CurlApi *api = curl_api();
    return api ? api->curl_easy_init() : nullptr;
}

QPC_HIDDEN void curl_easy_cleanup(CURL *easy) { bound().curl_easy_cleanup(easy); }

QPC_HIDDEN void curl_easy_reset(CURL *easy) { bound().curl_easy_reset(easy); }

QPC_HIDDEN CURLcode curl_easy_setopt(CURL *easy, CURLoption option, ...)
{
    va_list args;
    va_start(args, option);
    const CURLcode code = qpm::http::forward_option(bound().curl_easy_setopt, easy, option, args);
    va_end(args);
    return code;
}

QPC_HIDDEN CURLcode curl_easy_getinfo(CURL *easy, CURLINFO info, ...)
{
    va_list args;
    va_start(args, info);
    // Every kind of information is written through a pointer.
    void *out = va_arg(args, void *);
    va_end(args);
    return bound().curl_easy_getinfo(easy, info, out);
}

QPC_HIDDEN CURLcode curl_easy_perform(CURL *easy) { return bound().curl_easy_perform(easy); }

QPC_HIDDEN const char *curl_easy_strerror(CURLcode code)
{
    const qpm::http::CurlApi *api = curl_api();
    return api ? api->curl_easy_strerror(code) : "libcurl is not available";
}

QPC_HIDDEN CURLM *curl_multi_init()
{
    const qpm::http::CurlApi *api = curl_api();
    return api ? api->curl_multi_init() : nullptr;
}

QPC_HIDDEN CURLMcode curl_multi_cleanup(CURLM *multi) { return bound().curl_multi_cleanup(multi); }

QPC_HIDDEN CURLMcode curl_multi_setopt(CURLM *multi, CURLMoption option, ...)
{
    va_list args;
    va_start(args, option);
    const CURLMcode code = qpm::http::forward_option(bound().curl_multi_setopt, multi, option, args);
    va_end(args);
    return code;
}

QPC_HIDDEN CURLMcode curl_multi_add_handle(CURLM *multi, CURL *easy)
{
    return bound().curl_multi_add_handle(multi, easy);
}

QPC_HIDDEN CURLMcode curl_multi_remove_handle(CURLM *multi, CURL *easy)
{
    return bound().curl_multi_remove_handle(multi, easy);
}

QPC_HIDDEN CURLMcode curl_multi_perform(CURLM *multi, int *running)
{
    return bound().curl_multi_perform(multi, running);
}

QPC_HIDDEN CURLMcode curl_multi_poll(CURLM *multi, curl_waitfd extra[], unsigned int count, int timeout_ms,
                                     int *ready)
{
    return bound().curl_multi_poll(multi, extra, count, timeout_ms, ready);
}

QPC_HIDDEN CURLMsg *curl_multi_info_read(CURLM *multi, int *queued)
{
    return bound().curl_multi_info_read(multi, queued);
}

// A list may be started before any transfer (the headers of the first one).
QPC_HIDDEN curl_slist *curl_slist_append(curl_slist *list, const char *text)
{
    const qpm::http::CurlApi *api = curl_api();
    return api ? api->curl_slist_append(list, text) : nullptr;
}

QPC_HIDDEN void curl_slist_free_all(curl_slist *list) { bound().curl_slist_free_all(list); }

} // extern "C"
