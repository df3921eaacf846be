#pragma once
// Small look-ups of files on disk that the package tree tests share.
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm::test {

inline mode_t mode_of(const std::string &path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

inline bool is_link(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

inline std::string link_text(const std::string &path)
{
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

} // namespace qpm::test
