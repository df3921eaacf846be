#include "package/dirs.h"

#include "util/files.h"
#include "util/log.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

std::string child_path(const std::string &parent, std::string_view name)
{
    while (!name.empty() && name.front() == '/')
        name.remove_prefix(1);
    std::string child = parent;
    if (!last_char_is(parent.c_str(), '/'))
        child += '/';
    child += name;
    return child;
}

} // namespace

int qpm_qpf_mkdir(const std::string &path, mode_t mode)
{
    std::string dir = path;
    while (!dir.empty() && dir.back() == '/')
        dir.pop_back();
    if (::mkdir(dir.c_str(), mode) == 0)
        return 0;
    const size_t slash = dir.rfind('/');
    if (slash == std::string::npos)
        return 0;
    // Only a missing parent can be mended; any other failure would repeat.
    if (errno != ENOENT)
        return -1;
    qpm_qpf_mkdir(dir.substr(0, slash), 0755);
    return ::mkdir(dir.c_str(), mode) == 0 ? 0 : -1;
}

int qpm_qpf_rmdir(const std::string &path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return 0;
        qlog(LL_ERROR, "can't stat '%s'", path.c_str());
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::unlink(path.c_str()) != 0) {
            qlog(LL_ERROR, "can't remove '%s'", path.c_str());
            return -1;
        }
        return 0;
    }
    // Read whole before any entry is changed.
    const std::optional<DirNames> entries = list_directory(path);
    if (!entries)
        return -1;
    int rc = 0;
    for (const DirName &entry : entries->entries) {
        if (qpm_qpf_rmdir(child_path(path, entry.name)) != 0)
            rc = -1;
    }
    if (entries->close_error) {
        qlog(LL_ERROR, "can't close '%s'", path.c_str());
        rc = -1;
    }
    if (::rmdir(path.c_str()) != 0) {
        qlog(LL_ERROR, "can't remove '%s'", path.c_str());
        return -1;
    }
    return rc;
}

int qpm_qpf_dudir(const std::string &path, long long &total)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return 0;
        qlog(LL_ERROR, "can't stat '%s'", path.c_str());
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        total += st.st_size;
        return 0;
    }
    // Read whole before any entry is changed.
    const std::optional<DirNames> entries = list_directory(path);
    if (!entries)
        return -1;
    int rc = 0;
    for (const DirName &entry : entries->entries) {
        if (qpm_qpf_dudir(child_path(path, entry.name), total) != 0)
            rc = -1;
    }
    if (entries->close_error) {
        qlog(LL_ERROR, "can't close '%s'", path.c_str());
        rc = -1;
    }
    return rc;
}

const char *last_char_is(const char *text, int c)
{
    if (!text || !*text)
        return nullptr;
    const char *last = text + std::strlen(text) - 1;
    return *last == static_cast<char>(c) ? last : nullptr;
}

} // namespace qpm
