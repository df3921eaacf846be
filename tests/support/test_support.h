#pragma once
// Test support shared by every test executable: temporary directories, file
// helpers, a program runner and savers of process-wide state (environment,
// system root, time zone, log).
#include "util/log.h"

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qpm::test {

// A fresh temporary directory removed (with its contents) at destruction.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return m_path; }
    std::string operator/(const std::string &name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void write_file(const std::string &path, const std::string &content);

// Every entry below `root` by its path relative to it, with its type, mode
// and content or link target; entries whose relative path begins with one
// of `skip` are left out. Two equal snapshots are the same tree.
std::map<std::string, std::string> tree_snapshot(const std::string &root, const std::vector<std::string> &skip = {});
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
// All that a stream holds, from its start (written data flushed first).
std::string stream_text(FILE *file);

// Captures what a callable writes to stdout or stderr (file descriptor level).
class CaptureFd {
public:
    explicit CaptureFd(int fd);
    ~CaptureFd();
    CaptureFd(const CaptureFd &) = delete;
    CaptureFd &operator=(const CaptureFd &) = delete;
    // Stops capturing and returns what was written.
    std::string finish();

private:
    int m_fd;
    int m_saved = -1;
    std::string m_file;
    bool m_done = false;
};

// Sets (or, with nullopt, unsets) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const std::optional<std::string> &value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_saved;
};

// Puts the process under a system root (QPM_ROOT) for one scope.
class ScopedSystemRoot {
public:
    explicit ScopedSystemRoot(const std::string &root);
    ~ScopedSystemRoot();
    ScopedSystemRoot(const ScopedSystemRoot &) = delete;
    ScopedSystemRoot &operator=(const ScopedSystemRoot &) = delete;

private:
    ScopedEnv m_env;
};

// Sets TZ for one scope; the C library reads it again on entry and on exit.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const std::string &tz);
    ~ScopedTimeZone();
    ScopedTimeZone(const ScopedTimeZone &) = delete;
    ScopedTimeZone &operator=(const ScopedTimeZone &) = delete;

private:
    std::optional<ScopedEnv> m_env;
};

// Sends the whole log (every level; no syslog, no standard error) to a file
// for one scope, then puts the previous log handle back. The file appears
// with the first message: in a directory of its own, or at `path`.
class LogFile {
public:
    LogFile();
    explicit LogFile(std::string path);
    ~LogFile();
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

    const std::string &path() const { return m_path; }
    // What was logged; empty before the first message.
    std::string text() const;
    bool has(const std::string &part) const { return text().find(part) != std::string::npos; }

private:
    std::optional<ScratchDir> m_dir;
    std::string m_path;
    LogPtr m_saved;
};

} // namespace qpm::test
