#include "support/test_support.h"

#include "util/sysroot.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>
#include <unistd.h>
#include <fcntl.h>

namespace qpm::test {

ScratchDir::ScratchDir()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/qpm-test-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        std::abort();
    m_path = tmpl;
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::map<std::string, std::string> tree_snapshot(const std::string &root, const std::vector<std::string> &skip)
{
    namespace fs = std::filesystem;
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const std::string relative = "/" + fs::relative(it->path(), root).string();
        const bool skipped = std::any_of(skip.begin(), skip.end(), [&](const std::string &prefix) {
            return relative.compare(0, prefix.size(), prefix) == 0;
        });
        if (skipped) {
            if (it->is_directory(ec) && !it->is_symlink(ec))
                it.disable_recursion_pending();
            continue;
        }
        const fs::file_status st = it->symlink_status(ec);
        std::string value = std::to_string(static_cast<int>(st.permissions())) + " ";
        if (fs::is_symlink(st))
            value += "link " + fs::read_symlink(it->path(), ec).string();
        else if (fs::is_directory(st))
            value += "dir";
        else
            value += "file " + read_file(it->path().string());
        out[relative] = value;
    }
    return out;
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool file_exists(const std::string &path)
{
    std::error_code ec;
    return std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found &&
           !ec;
}

std::string stream_text(FILE *file)
{
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    return text;
}

CaptureFd::CaptureFd(int fd) : m_fd(fd)
{
    std::fflush(nullptr);
    char tmpl[] = "/tmp/qpm-capture-XXXXXX";
    const int tmp = mkstemp(tmpl);
    m_file = tmpl;
    m_saved = dup(fd);
    dup2(tmp, fd);
    close(tmp);
}

std::string CaptureFd::finish()
{
    if (m_done)
        return {};
    m_done = true;
    std::fflush(nullptr);
    dup2(m_saved, m_fd);
    close(m_saved);
    std::string text = read_file(m_file);
    unlink(m_file.c_str());
    return text;
}

CaptureFd::~CaptureFd() { finish(); }

ScopedEnv::ScopedEnv(const char *name, const std::optional<std::string> &value) : m_name(name)
{
    if (const char *old = std::getenv(name))
        m_saved = old;
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    if (m_saved)
        setenv(m_name.c_str(), m_saved->c_str(), 1);
    else
        unsetenv(m_name.c_str());
}

ScopedSystemRoot::ScopedSystemRoot(const std::string &root) : m_env("QPM_ROOT", root)
{
    system_root_reset_for_tests();
}

ScopedSystemRoot::~ScopedSystemRoot() { system_root_reset_for_tests(); }

ScopedTimeZone::ScopedTimeZone(const std::string &tz) : m_env(std::in_place, "TZ", tz) { tzset(); }

ScopedTimeZone::~ScopedTimeZone()
{
    m_env.reset();
    tzset();
}

namespace {

// A log handle that writes every level to `path` and nothing elsewhere.
LogPtr file_log(const std::string &path)
{
    auto handle = std::make_unique<LogHandle>();
    handle->path = path;
    handle->file_mask = LL_ERROR | LL_WARNING | LL_INFO | LL_DEBUG;
    handle->syslog_mask = 0;
    handle->stderr_mask = 0;
    handle->ready = 1;
    return handle;
}

} // namespace

LogFile::LogFile()
    : m_dir(std::in_place), m_path(*m_dir / "qpm.log"), m_saved(std::exchange(llog, file_log(m_path)))
{
}

LogFile::LogFile(std::string path) : m_path(std::move(path)), m_saved(std::exchange(llog, file_log(m_path))) {}

LogFile::~LogFile() { llog = std::move(m_saved); }

std::string LogFile::text() const { return file_exists(m_path) ? read_file(m_path) : ""; }

} // namespace qpm::test
