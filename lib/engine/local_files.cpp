#include "engine/local_files.h"

#include "engine/catalogue.h"
#include "engine/search_common.h"
#include "package/qpf.h"
#include "util/files.h"
#include "util/log.h"
#include "util/strfmt.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

namespace qpm {

using namespace search_detail;

QpiList qpm_findall_dirs(const qpm_handle *qpm, const std::string &name, const std::optional<std::string> &variant,
                         const StrArr &directories)
{
    if (variant)
        qlog(LL_DEBUG, "Looking for package %s, variant %s", name.c_str(), variant->c_str());
    else
        qlog(LL_DEBUG, "Looking for package %s", name.c_str());
    QpiList found;
    if (directories.empty())
        return found;

    for (const std::string &directory : directories) {
        qlog(LL_DEBUG, "Scanning directory %s", directory.c_str());
        const std::optional<DirNames> listing = list_directory(directory);
        if (!listing) {
            qlog(LL_INFO, "Failure opening <%s> for reading: %s", directory.c_str(), std::strerror(errno));
            continue;
        }
        // Name order, so that "first is first" among equal versions does not
        // depend on the file system.
        StrArr names;
        for (const DirName &entry : listing->entries)
            names.push_back(entry.name);
        std::sort(names.begin(), names.end());
        for (const std::string &entry : names) {
            const std::string path = strprintf("%s/%s", directory.c_str(), entry.c_str());
            if (path.size() >= QPM_PATH_MAX + 1) {
                qlog(LL_DEBUG, "Filename <%s> too long, skipping entry", path.c_str());
                continue;
            }
            if (!is_regular(path))
                continue;
            if (!qpk_file_is_qpk(path)) {
                qlog(LL_DEBUG, "Found file %s, skipping", path.c_str());
                continue;
            }
            QpiPtr qpi = qpm_qpf_info(qpm, path, 0);
            if (!qpi) {
                qlog(LL_DEBUG, "Skipping %s, failed to read info", path.c_str());
                continue;
            }
            if (qpi->name != name)
                continue;
            if (!arch_acceptable(qpm, *qpi)) {
                qlog(LL_DEBUG, "Package arch %s doesn't match local arch %s, skipping", arch_text(qpi->architecture),
                     arch_text(local_arch(qpm)));
                continue;
            }
            qlog(LL_DEBUG, "Package arch %s matches local arch %s", arch_text(qpi->architecture),
                 arch_text(local_arch(qpm)));
            if (variant) {
                const bool pass = is_default_request(variant) ? !has_variant(*qpi) : qpi->variant == *variant;
                if (!pass)
                    continue;
            }
            qlog(LL_DEBUG, "Storing %s, package name %s matches %s", path.c_str(), qpi->name.c_str(), name.c_str());
            qpi->relative_uri = path;
            std::error_code ec;
            const std::filesystem::path canonical = std::filesystem::canonical(path, ec);
            if (!ec)
                qpi->absolute_uri = canonical.string();
            found.push_back(std::move(qpi));
        }
    }
    std::fprintf(stderr, "Stored %d qpis\n", static_cast<int>(found.size()));
    return found;
}

QpiPtr qpm_findone_dirs(const qpm_handle *qpm, const std::string &name, const std::optional<std::string> &variant,
                        const std::optional<std::string> & /*version*/, const StrArr &directories)
{
    QpiList found = qpm_findall_dirs(qpm, name, variant, directories);
    const int chosen = qpm_findone(name, variant, found);
    if (chosen < 0)
        return nullptr;
    return std::move(found[static_cast<size_t>(chosen)]);
}

} // namespace qpm
