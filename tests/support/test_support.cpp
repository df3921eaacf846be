#include "support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
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

} // namespace qpm::test
