#pragma once
// One place for the owners of C resources. Every resource is wrapped on the
// line that creates it; writers still close explicitly and check the result,
// the destructors here are only the safety net. The owners of OpenSSL objects
// are in util/raii_openssl.h, those of libarchive objects in
// util/raii_archive.h, so that their headers reach only the files using them.
#include <cstdio>
#include <dirent.h>
#include <dlfcn.h>
#include <memory>
#include <string>
#include <utility>

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

} // namespace qpm
