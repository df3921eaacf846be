#include "engine/installed.h"

#include "engine/search_common.h"
#include "util/files.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strfmt.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace qpm {

using namespace search_detail;

namespace {

void log_installed_growth(Growth &growth, int count)
{
    switch (growth.before_store(count)) {
    case 1:
        qlog(LL_DEBUG, "Allocating space for %d entries", growth.capacity());
        break;
    case 2:
        qlog(LL_DEBUG, "Reallocation space for %d entries", growth.capacity());
        break;
    default:
        break;
    }
}

// Walks the installed directory as qpm_list_arr and qpm_list_qpi do: one
// call of `take` per package directory; false when it cannot be read.
template <class Take>
bool walk_installed(const qpm_handle *qpm, Take take)
{
    const std::string installed = dirs_of(qpm).installed;
    const std::optional<DirNames> listing = list_directory(installed);
    if (!listing) {
        qlog(LL_WARNING, "Failure opening <%s> for reading: %s", installed.c_str(), std::strerror(errno));
        return false;
    }
    for (const DirName &entry : listing->entries) {
        const std::string &name = entry.name;
        if (name.front() == '.')
            continue;
        if (!is_directory(installed + "/" + name)) {
            qlog(LL_DEBUG, "Omitting non-directory %s", name.c_str());
            continue;
        }
        take(name);
    }
    if (listing->close_error)
        qlog(LL_WARNING, "Failure closing <%s>: %s", installed.c_str(), std::strerror(listing->close_error));
    return true;
}

} // namespace

QpiPtr qpm_qpl_info(const qpm_handle *qpm, const std::string &name)
{
    // The name becomes a path below the inventory: nothing that could leave it.
    if (!qpk_ident_valid(name))
        return nullptr;
    const std::string installed = dirs_of(qpm).installed;
    const std::string desc_path = strprintf("%s/%s/%s", installed.c_str(), name.c_str(), "desc.txt");
    const std::string inst_path = strprintf("%s/%s/%s", installed.c_str(), name.c_str(), "inst.txt");
    for (const std::string *path : {&desc_path, &inst_path}) {
        if (path->size() > QPM_PATH_MAX) {
            qlog(LL_DEBUG, "Filename <%s> too long, skipping entry %s", path->c_str(), name.c_str());
            return nullptr;
        }
    }
    const std::optional<std::string> desc = _read_file(desc_path);
    if (!desc)
        return nullptr;
    const std::optional<std::string> inst = _read_file(inst_path);
    if (!inst)
        return nullptr;
    return qpk_info_parse(name, QPK_KIND_INSTALLED, *desc, *inst);
}

StrArr qpm_list_arr(const qpm_handle *qpm, int sort)
{
    StrArr names;
    Growth growth(300);
    const bool readable = walk_installed(qpm, [&](const std::string &name) {
        if (!qpm_qpl_info(qpm, name)) {
            qlog(LL_WARNING, "Failure parsing info for %s, skipping entry", name.c_str());
            return;
        }
        log_installed_growth(growth, static_cast<int>(names.size()));
        names.push_back(name);
    });
    if (!readable)
        return {};
    qlog(LL_DEBUG, "Found %d packages", static_cast<int>(names.size()));
    if (sort && names.size() >= 2) {
        qlog(LL_DEBUG, "Sorting packages");
        std::stable_sort(names.begin(), names.end(),
                         [](const std::string &a, const std::string &b) { return std::strcmp(a.c_str(), b.c_str()) < 0; });
    }
    return names;
}

int qpm_list_qpi(const qpm_handle *qpm, const std::optional<std::string> &pattern, int sort, QpiList &out)
{
    out.clear();
    EkvaPtr attributes;
    if (pattern) {
        attributes = ekva_new(2, 1);
        ekva_addval(attributes, "eqpkDescription", *pattern, EKVA_APPEND);
    }
    Growth growth(300);
    walk_installed(qpm, [&](const std::string &name) {
        QpiPtr qpi = qpm_qpl_info(qpm, name);
        if (!qpi) {
            qlog(LL_WARNING, "Failure parsing info for <%s>, skipping entry", name.c_str());
            return;
        }
        if (!qpm_qpi_match(qpi.get(), QPK_KIND_INSTALLED, pattern, std::nullopt, std::nullopt, attributes.get())) {
            qlog(LL_DEBUG, "Local package %s does not match wildcard %s", name.c_str(), text_or_null(pattern));
            return;
        }
        log_installed_growth(growth, static_cast<int>(out.size()));
        out.push_back(std::move(qpi));
    });
    if (sort && out.size() >= 2)
        qpm_qpi_list_sort(out);
    return static_cast<int>(out.size());
}

StrArr qpm_qpl_file_list(const qpm_handle *qpm, const qpk_info *qpi)
{
    if (!qpi)
        return {};
    const std::string path = strprintf("%s/%s", dirs_of(qpm).fileindex.c_str(), qpi->name.c_str());
    FilePtr file = qpk_ident_valid(qpi->name) ? fopen_cloexec(path, "r") : FilePtr();
    if (!file) {
        qlog(LL_DEBUG, "qpm_qpl_file_list: %s contains no files", path.c_str());
        return {};
    }
    StrArr files;
    for (std::string &line : read_lines(file.get())) {
        if (line.empty())
            continue;
        qlog(LL_DEBUG, "qpm_qpl_file_list: Found %s", line.c_str());
        files.push_back(std::move(line));
    }
    return files;
}

StrArr qpm_qpl_index(const qpm_handle *qpm, const std::string &name)
{
    const QpiPtr qpi = qpm_qpl_info(qpm, name);
    return qpi ? qpm_qpl_file_list(qpm, qpi.get()) : StrArr{};
}

} // namespace qpm
