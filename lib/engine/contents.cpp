#include "engine/contents.h"

#include "engine/installed.h"
#include "engine/owners.h"
#include "package/hashlist.h"
#include "util/files.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <utility>

namespace qpm {
namespace {

// The links list of a record: "DIR|TARGET|NAME" lines, an empty DIR keeping
// the one before; lines before the first DIR and names that are paths are
// skipped, as when the links are made.
void add_links(const std::string &list_path, std::vector<PackageEntry> &out)
{
    std::string dir;
    for (const std::string &line : read_file_lines(list_path)) {
        const size_t first = line.find('|');
        const size_t second = first == std::string::npos ? first : line.find('|', first + 1);
        if (second == std::string::npos)
            continue;
        if (first > 0)
            dir = line.substr(0, first);
        const std::string target = line.substr(first + 1, second - first - 1);
        const std::string name = line.substr(second + 1);
        if (dir.empty() || name.empty() || name.find('/') != std::string::npos)
            continue;
        const std::string path = dir.back() == '/' ? dir + name : strprintf("%s/%s", dir.c_str(), name.c_str());
        out.push_back({QPM_ENTRY_LINK, path, target});
    }
}

const PackageEntry *find_entry(const std::vector<PackageEntry> &entries, const std::string &path)
{
    for (const PackageEntry &entry : entries) {
        if (entry.path == path)
            return &entry;
    }
    return nullptr;
}

} // namespace

std::vector<PackageEntry> qpm_qpl_contents(const qpm_handle *qpm, const std::string &name)
{
    std::vector<PackageEntry> out;
    const QpiPtr qpi = qpm_qpl_info(qpm, name);
    if (!qpi)
        return out;
    for (std::string &path : qpm_qpl_file_list(qpm, qpi.get()))
        out.push_back({QPM_ENTRY_DATA, std::move(path), {}});
    const std::string record = strprintf("%s/%s", qpm->dirs.installed.c_str(), name.c_str());
    EkvaPtr conf;
    if (qpm_qpf_qpk_hashes(record, "conf", conf) == 0 && conf) {
        for (const EkvaEntry &entry : conf->entries()) {
            if (entry.value)
                out.push_back({QPM_ENTRY_CONF, *entry.value, {}});
        }
    }
    add_links(record + "/link.txt", out);
    return out;
}

std::optional<PathOwner> qpm_path_owner(const qpm_handle *qpm, const std::string &path)
{
    std::vector<std::pair<std::string, std::vector<PackageEntry>>> contents;
    for (const std::string &name : qpm_list_arr(qpm, 1)) {
        std::vector<PackageEntry> entries = qpm_qpl_contents(qpm, name);
        if (const PackageEntry *entry = find_entry(entries, path))
            return PathOwner{name, *entry};
        contents.emplace_back(name, std::move(entries));
    }
    // Not listed as such: what the path leads to, if it exists.
    const std::optional<std::string> resolved = root_resolve(path);
    if (!resolved || *resolved == path)
        return std::nullopt;
    if (const std::optional<std::string> owner = qpm_file_owner(qpm, path))
        return PathOwner{*owner, {QPM_ENTRY_DATA, *resolved, {}}};
    for (const auto &[name, entries] : contents) {
        if (const PackageEntry *entry = find_entry(entries, *resolved))
            return PathOwner{name, *entry};
    }
    return std::nullopt;
}

} // namespace qpm
