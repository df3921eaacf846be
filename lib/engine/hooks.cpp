#include "engine/hooks.h"

#include "record/ldif.h"
#include "util/files.h"
#include "util/strfmt.h"

#include <cstdio>
#include <optional>
#include <sys/stat.h>

namespace qpm {
namespace {

// Longest hook path taken, as the fixed 4097-byte buffer allows.
constexpr size_t HOOK_PATH_MAX = 4096;

// The entry is a regular file itself; a symbolic link is never one.
bool is_regular_entry(const std::string &path, const DirName &entry)
{
    if (entry.type != DT_UNKNOWN)
        return entry.type == DT_REG;
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

int qpm_file_is_qph(const std::string &path)
{
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.compare(dot + 1, std::string::npos, "qph") != 0)
        return 0;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

EkvaPtr qpm_hook_read(const std::string &path)
{
    const std::optional<std::string> text = _read_file(path);
    if (!text) {
        std::fprintf(stderr, "qpm_hook_read: failure reading %s\n", path.c_str());
        std::fflush(stderr);
        return nullptr;
    }
    // Hook files name no other files: references are never followed.
    return ldif2ekva(*text, LdifRefs::Ignore);
}

EkvaList qpm_hooks_read(const std::string &dir)
{
    EkvaList hooks;
    const std::optional<DirNames> listing = list_directory(dir);
    if (!listing)
        return hooks;
    for (const DirName &entry : listing->entries) {
        const std::string path = strprintf("%s/%s", dir.c_str(), entry.name.c_str());
        if (!is_regular_entry(path, entry))
            continue;
        if (path.size() > HOOK_PATH_MAX) {
            std::fprintf(stderr, "qpm_hooks_read: Filename <%s> too long, skipping entry", path.c_str());
            continue;
        }
        if (!qpm_file_is_qph(path))
            continue;
        EkvaPtr hook = qpm_hook_read(path);
        if (!hook) {
            std::fprintf(stderr, "qpm_hooks_read: error reading hook from <%s>\n", path.c_str());
            continue;
        }
        hooks.push_back(std::move(hook));
    }
    return hooks;
}

} // namespace qpm
