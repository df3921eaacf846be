#include "engine/search_common.h"

#include "util/files.h"

#include <sys/stat.h>
#include <utility>

namespace qpm::search_detail {


const char *arch_text(int id)
{
    const char *name = qpm_arch_getname(id);
    return name ? name : "(null)";
}

bool has_variant(const qpk_info &qpi) { return qpi.variant && !qpi.variant->empty(); }

bool is_default_request(const std::optional<std::string> &variant)
{
    return variant && (variant->empty() || *variant == "default");
}

bool arch_acceptable(const qpm_handle *qpm, const qpk_info &qpi)
{
    return qpi.architecture == QPM_ARCH_ANY || (qpm && qpi.architecture == qpm->arch);
}

int local_arch(const qpm_handle *qpm) { return qpm ? qpm->arch : 0; }

const InventoryDirs &dirs_of(const qpm_handle *qpm)
{
    static const InventoryDirs none;
    return qpm ? qpm->dirs : none;
}

bool is_directory(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_regular(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

StrArr read_lines(FILE *stream)
{
    StrArr lines;
    for (std::string line; fgets_line(stream, line);)
        lines.push_back(std::move(line));
    return lines;
}

} // namespace qpm::search_detail
