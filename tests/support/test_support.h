#pragma once
// Test support shared by every test executable: temporary directories, file
// helpers, a program runner and a saver of process-wide state.
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
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);

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

} // namespace qpm::test
