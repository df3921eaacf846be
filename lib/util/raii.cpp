#include "util/raii.h"

#include <cerrno>
#include <filesystem>
#include <unistd.h>
#include <vector>

namespace qpm {

FilePtr fopen_cloexec(const std::string &path, const char *mode)
{
    std::string m = mode;
    m += 'e';
    return FilePtr(std::fopen(path.c_str(), m.c_str()));
}

void UniqueFd::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

int UniqueFd::close()
{
    if (m_fd < 0)
        return 0;
    const int rc = ::close(std::exchange(m_fd, -1));
    return rc;
}

TempDir::TempDir(const std::string &tmpl_prefix)
{
    std::vector<char> buf(tmpl_prefix.begin(), tmpl_prefix.end());
    for (char c : std::string("XXXXXX"))
        buf.push_back(c);
    buf.push_back('\0');
    if (mkdtemp(buf.data()))
        m_path = buf.data();
}

TempDir::~TempDir()
{
    if (m_path.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

} // namespace qpm
