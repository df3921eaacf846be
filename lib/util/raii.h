#pragma once
// One place for the owners of C resources. Every resource is wrapped on the
// line that creates it; writers still close explicitly and check the result,
// the destructors here are only the safety net.
#include <cstdio>
#include <dirent.h>
#include <dlfcn.h>
#include <memory>
#include <string>
#include <utility>

#include <archive.h>
#include <archive_entry.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace qpm {

template <auto F>
struct Deleter {
    template <class T>
    void operator()(T *p) const
    {
        if (p)
            F(p);
    }
};

using FilePtr = std::unique_ptr<FILE, Deleter<&std::fclose>>;
using DirPtr = std::unique_ptr<DIR, Deleter<&closedir>>;

// A dlopen handle; closed with dlclose.
inline void close_shared_library(void *handle) { dlclose(handle); }
using SharedLibrary = std::unique_ptr<void, Deleter<&close_shared_library>>;

// fopen with close-on-exec always added: package scripts run as our children
// and must not inherit our descriptors.
FilePtr fopen_cloexec(const std::string &path, const char *mode);

// A move-only file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    int release() { return std::exchange(m_fd, -1); }
    void reset(int fd = -1);
    // Closes now and reports the result (a writer's close must be checked).
    int close();

private:
    int m_fd = -1;
};

// Runs a function at scope exit unless dismissed: "undo unless done".
template <class F>
class ScopeGuard {
public:
    explicit ScopeGuard(F f) : m_f(std::move(f)) {}
    ScopeGuard(const ScopeGuard &) = delete;
    ScopeGuard &operator=(const ScopeGuard &) = delete;
    ~ScopeGuard()
    {
        if (m_active)
            m_f();
    }
    void dismiss() { m_active = false; }

private:
    F m_f;
    bool m_active = true;
};

// A directory made with mkdtemp and removed with everything in it when the
// owner goes away.
class TempDir {
public:
    // `tmpl_prefix` is a path prefix; "XXXXXX" is appended. Empty path on failure.
    explicit TempDir(const std::string &tmpl_prefix);
    TempDir(TempDir &&other) noexcept : m_path(std::exchange(other.m_path, {})) {}
    TempDir &operator=(TempDir &&) = delete;
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    ~TempDir();

    const std::string &path() const { return m_path; }
    explicit operator bool() const { return !m_path.empty(); }
    // Keeps the directory on disk.
    std::string release() { return std::exchange(m_path, {}); }

private:
    std::string m_path;
};

// OpenSSL objects. Functions that hand out memory from OPENSSL_malloc
// (X509_NAME_oneline with no buffer, ...) are owned by OsslCharPtr.
inline void ossl_free_chars(char *p) { OPENSSL_free(p); }

using X509Ptr = std::unique_ptr<X509, Deleter<&X509_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, Deleter<&X509_NAME_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<&EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<&EVP_PKEY_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<&EVP_MD_CTX_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<&BIO_free_all>>;
using Asn1TimePtr = std::unique_ptr<ASN1_TIME, Deleter<&ASN1_TIME_free>>;
using OsslCharPtr = std::unique_ptr<char, Deleter<&ossl_free_chars>>;
// The e-mail list of X509_get1_email.
using EmailStackPtr = std::unique_ptr<STACK_OF(OPENSSL_STRING), Deleter<&X509_email_free>>;

// OpenSSL calls report success as 1 (some as any positive value); anything
// else is failure and leaves entries in the thread's error queue.
inline bool ossl_ok(int rc) { return rc > 0; }

// Empties OpenSSL's error queue and returns the text of the most recent entry
// ("" when the queue was empty), so one failure cannot be blamed on a later call.
std::string ossl_take_error();

// libarchive objects. Disk writers (archive_write_disk_new) are freed like
// any writer, disk readers like any reader. Entries handed out by
// archive_read_next_header belong to their archive and are never wrapped.
using ArchiveReadPtr = std::unique_ptr<archive, Deleter<&archive_read_free>>;
using ArchiveWritePtr = std::unique_ptr<archive, Deleter<&archive_write_free>>;
using ArchiveEntryPtr = std::unique_ptr<archive_entry, Deleter<&archive_entry_free>>;

} // namespace qpm
