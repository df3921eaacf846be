#include "engine/search.h"

#include "package/qpf.h"
#include "util/files.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace qpm {

QpiList qpc_cache;

namespace {

constexpr size_t QPM_PATH_MAX = 4096;

const char *text_or_null(const std::optional<std::string> &text) { return text ? text->c_str() : "(null)"; }
const char *c_str_or_null(const std::optional<std::string> &text) { return text ? text->c_str() : nullptr; }

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

// A build the inventory can take: "any" or the inventory's own architecture.
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

struct DirListing {
    StrArr names;         // readdir order, "." and ".." left out
    int open_error = 0;   // errno of opendir, 0 when it opened
    int close_error = 0;  // errno of closedir
};

DirListing list_dir(const std::string &path)
{
    DirListing out;
    DirPtr dir(opendir(path.c_str()));
    if (!dir) {
        out.open_error = errno ? errno : ENOENT;
        return out;
    }
    while (const dirent *entry = readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            out.names.emplace_back(name);
    }
    if (closedir(dir.release()) != 0)
        out.close_error = errno;
    return out;
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

// Lines of a stream without their line feeds, whatever their length.
StrArr read_lines(FILE *stream)
{
    StrArr lines;
    for (std::string line; fgets_line(stream, line);)
        lines.push_back(std::move(line));
    return lines;
}

// The designed arrays get room for a first number of entries and double it
// when full; the log tells when. Returns 1 when the room was just made, 2 when
// it was just doubled, else 0.
class Growth {
public:
    explicit Growth(int first) : m_first(first) {}
    int before_store(int count)
    {
        if (m_capacity == 0) {
            m_capacity = m_first;
            return 1;
        }
        if (count >= m_capacity) {
            m_capacity *= 2;
            return 2;
        }
        return 0;
    }
    int capacity() const { return m_capacity; }

private:
    int m_first;
    int m_capacity = 0;
};

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
    const DirListing listing = list_dir(installed);
    if (listing.open_error) {
        qlog(LL_WARNING, "Failure opening <%s> for reading: %s", installed.c_str(), std::strerror(listing.open_error));
        return false;
    }
    for (const std::string &name : listing.names) {
        if (name.front() == '.')
            continue;
        if (!is_directory(installed + "/" + name)) {
            qlog(LL_DEBUG, "Omitting non-directory %s", name.c_str());
            continue;
        }
        take(name);
    }
    if (listing.close_error)
        qlog(LL_WARNING, "Failure closing <%s>: %s", installed.c_str(), std::strerror(listing.close_error));
    return true;
}

// Who owns which file: every line of every file index, read once. It is
// read again when the file index directory changes, and when the directory
// changed in the same clock tick in which it was read (a later change in
// that tick would leave its time stamps as they are).
struct OwnerIndex {
    bool valid = false;
    bool racy = false;
    std::string dir;
    struct stat dir_stat {};
    std::unordered_map<std::string, std::string> owners; // path -> package
};

OwnerIndex g_owner_index;

bool same_state(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool before(const timespec &a, const timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

bool build_owner_index(const std::string &dir, OwnerIndex &index)
{
    index = OwnerIndex{};
    timespec started {};
    clock_gettime(CLOCK_REALTIME_COARSE, &started);
    struct stat dir_stat {};
    const DirListing listing = stat(dir.c_str(), &dir_stat) == 0 ? list_dir(dir) : DirListing{{}, errno, 0};
    if (listing.open_error) {
        qlog(LL_ERROR, "Failure opening <%s> for reading: %s", dir.c_str(), std::strerror(listing.open_error));
        return false;
    }
    StrArr names = listing.names;
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        const std::string index_path = strprintf("%s/%s", dir.c_str(), name.c_str());
        if (!is_regular(index_path)) {
            qlog(LL_DEBUG, "Omitting non-file %s", name.c_str());
            continue;
        }
        if (name.front() == '.') {
            qlog(LL_DEBUG, "Omitting backup file %s", name.c_str());
            continue;
        }
        qlog(LL_DEBUG, "Checking in <%s>", index_path.c_str());
        FilePtr file = fopen_cloexec(index_path, "r");
        if (!file) {
            qlog(LL_ERROR, "Failure opening <%s> for reading: %s", index_path.c_str(), std::strerror(errno));
            continue;
        }
        for (std::string &line : read_lines(file.get()))
            index.owners.emplace(std::move(line), name); // the first index listing a path owns it
    }
    index.valid = true;
    index.dir = dir;
    index.dir_stat = dir_stat;
    index.racy = !before(dir_stat.st_mtim, started) || !before(dir_stat.st_ctim, started);
    return true;
}

const OwnerIndex *owner_index(const std::string &dir)
{
    OwnerIndex &index = g_owner_index;
    struct stat now {};
    const bool fresh = index.valid && !index.racy && index.dir == dir && stat(dir.c_str(), &now) == 0 &&
                       same_state(now, index.dir_stat);
    if (fresh)
        return &index;
    return build_owner_index(dir, index) ? &index : nullptr;
}

} // namespace

QpiList qpm_qpc_cache_fill(QpcConnection connection)
{
    QpiList all;
    const int count = pqpm_qpc_findpkg
                          ? pqpm_qpc_findpkg(connection, nullptr, nullptr, nullptr, QPM_SELECTOR, nullptr, &all)
                          : 0;
    qlog(LL_DEBUG, "Number of packages cached: %d", count);
    if (count <= 0)
        all.clear();
    return all;
}

void qpm_cache_free(QpiList *cache)
{
    if (!cache)
        return;
    qlog(LL_DEBUG, "Freeing cached qpis...");
    const auto freed = std::count_if(cache->begin(), cache->end(), [](const QpiPtr &qpi) { return qpi != nullptr; });
    cache->clear();
    qlog(LL_DEBUG, "%d cached qpis freed.", static_cast<int>(freed));
}

int qpm_findpkg(QpcConnection connection, const std::optional<std::string> &pattern,
                const std::optional<std::string> &variant, const std::optional<std::string> &version,
                int selector, const Ekva *attributes, QpiList &out)
{
    out.clear();
    if (!connection) {
        qlog(LL_ERROR, "qpc-http: Not connected");
        return 0;
    }
    if (qpc_cache.empty()) {
        if (!pqpm_qpc_findpkg)
            return 0;
        const int count = pqpm_qpc_findpkg(connection, c_str_or_null(pattern), c_str_or_null(variant),
                                           c_str_or_null(version), selector, attributes, &out);
        if (count <= 0)
            out.clear();
        return count;
    }

    if (variant)
        qlog(LL_DEBUG, "qpm_findpkg: Looking for package %s, variant <%s>", text_or_null(pattern), variant->c_str());
    else
        qlog(LL_DEBUG, "qpm_findpkg: Looking for package %s", text_or_null(pattern));

    Growth growth(50);
    for (const QpiPtr &qpi : qpc_cache) {
        if (!qpi || !qpm_qpi_match(qpi.get(), QPK_KIND_CATALOGUE, pattern, variant, version, attributes))
            continue;
        switch (growth.before_store(static_cast<int>(out.size()))) {
        case 1:
            qlog(LL_DEBUG, "qpm_findpkg: allocating space for %d entries", growth.capacity());
            break;
        case 2:
            qlog(LL_DEBUG, "qpm_findpkg: reallocation space for %d entries", growth.capacity());
            break;
        default:
            break;
        }
        out.push_back(qpk_info_copy(qpi.get()));
        qlog(LL_DEBUG, "qpm_findpkg: Storing %s, matches %s", qpi->name.c_str(), text_or_null(pattern));
    }
    if (out.size() > 1)
        qpm_qpi_list_sort(out);
    qlog(LL_DEBUG, "qpm_findpkg: Stored %d qpis", static_cast<int>(out.size()));
    return static_cast<int>(out.size());
}

int qpm_findone(const std::string &name, const std::optional<std::string> &variant, const QpiList &list)
{
    const bool named = variant && !is_default_request(variant);
    bool fallback_allowed = false;
    if (!variant) {
        qlog(LL_DEBUG, "qpm_findone: Checking for %s (no variant specified).", name.c_str());
        fallback_allowed = true;
    } else if (!named) {
        qlog(LL_DEBUG, "qpm_findone: Checking for %s (default variant specified).", name.c_str());
    } else {
        qlog(LL_DEBUG, "qpm_findone: Checking for %s (%s variant specified).", name.c_str(), variant->c_str());
    }
    if (list.empty())
        return -1;

    int selected = -1;
    std::optional<std::string> fallback_variant;
    for (size_t i = 0; i < list.size(); ++i) {
        const qpk_info *qpi = list[i].get();
        if (!qpi || qpi->name != name)
            continue;
        const std::string cand = qpk_puname(*qpi);
        const int index = static_cast<int>(i);

        if (selected < 0) {
            if (named) {
                if (has_variant(*qpi) && *qpi->variant == *variant) {
                    selected = index;
                    qlog(LL_DEBUG, "qpm_findone: Initiallly selecting %s variant for %s", variant->c_str(), cand.c_str());
                } else {
                    qlog(LL_DEBUG, "qpm_findone: Initiallly skipping %s due to variant mismatch", cand.c_str());
                }
            } else if (!has_variant(*qpi)) {
                selected = index;
                fallback_allowed = false;
                qlog(LL_DEBUG, "qpm_findone: Initiallly selecting default variant for %s", cand.c_str());
            } else if (fallback_allowed) {
                selected = index;
                fallback_variant = qpi->variant;
                qlog(LL_DEBUG, "qpm_findone: Initiallly selecting fallback variant %s for %s", qpi->variant->c_str(),
                     cand.c_str());
            } else {
                qlog(LL_DEBUG, "qpm_findone: Initiallly skipping %s due to variant mismatch", cand.c_str());
            }
            continue;
        }

        const qpk_info &current = *list[static_cast<size_t>(selected)];
        const std::string cur = qpk_puname(current);
        const int order = strverscmp(qpi->version.c_str(), current.version.c_str());

        if (named) {
            const char *wanted = variant->c_str();
            if (!has_variant(*qpi)) {
                qlog(LL_DEBUG, "qpm_findone: Skipping %s of default variant, as %s was in the relevant %s variant",
                     cand.c_str(), cur.c_str(), wanted);
            } else if (*qpi->variant != *variant) {
                qlog(LL_DEBUG, "qpm_findone: Skipping %s of %s variant, as %s was in the relevant %s variant",
                     cand.c_str(), qpi->variant->c_str(), cur.c_str(), wanted);
            } else if (order > 0) {
                qlog(LL_DEBUG, "qpm_findone: Replacing %s with %s in the %s variant, as this is newer", cand.c_str(),
                     cur.c_str(), wanted);
                selected = index;
            } else if (order == 0) {
                qlog(LL_DEBUG, "qpm_findone: Keeping %s instead of %s in the %s variant, first is first", cur.c_str(),
                     cand.c_str(), wanted);
            } else {
                qlog(LL_DEBUG, "qpm_findone: Keeping %s instead of %s in the %s variant, as this is older", cur.c_str(),
                     cand.c_str(), wanted);
            }
            continue;
        }

        if (!has_variant(*qpi)) {
            if (fallback_variant) {
                qlog(LL_DEBUG, "qpm_findone: Default variant found: %s, overriding fallback variant %s: %s",
                     cand.c_str(), fallback_variant->c_str(), cur.c_str());
                selected = index;
                fallback_allowed = false;
                fallback_variant.reset();
            } else if (order > 0) {
                qlog(LL_DEBUG, "qpm_findone: Replacing %s with %s in the default variant, as this is newer",
                     cand.c_str(), cur.c_str());
                selected = index;
            } else if (order == 0) {
                qlog(LL_DEBUG, "qpm_findone: Keeping %s instead of %s in the default variant, first is first",
                     cur.c_str(), cand.c_str());
            } else {
                qlog(LL_DEBUG, "qpm_findone: Keeping %s instead of %s in the default variant, as this is older",
                     cur.c_str(), cand.c_str());
            }
            continue;
        }

        const char *its_variant = qpi->variant->c_str();
        if (!fallback_allowed) {
            qlog(LL_DEBUG, "qpm_findone: Keeping %s instead of %s of variant %s, no fallback allowed (anymore)",
                 cur.c_str(), cand.c_str(), its_variant);
        } else if (!has_variant(current)) {
            qlog(LL_DEBUG, "qpm_findone: Skipping %s of %s variant, as %s was the relevant default variant",
                 cand.c_str(), its_variant, cur.c_str());
        } else if (*current.variant != *qpi->variant) {
            qlog(LL_DEBUG,
                 "qpm_findone: Skipping both %s and %s and set no fallback allowed, as only one fallback can exist",
                 cand.c_str(), cur.c_str());
            selected = -1;
            fallback_allowed = false;
            fallback_variant.reset();
        } else if (order > 0) {
            qlog(LL_DEBUG, "qpm_findone: Replacing %s with %s in the fallback variant %s, as this is newer",
                 cand.c_str(), cur.c_str(), its_variant);
            selected = index;
        } else if (order == 0) {
            qlog(LL_DEBUG, "qpm_findone: Keeping %s instead of %s in the fallback variant %s, first is first",
                 cur.c_str(), cand.c_str(), its_variant);
        } else {
            qlog(LL_DEBUG, "qpm_findone: Keeping %s instead of %s in the fallback variant %s, as this is older",
                 cur.c_str(), cand.c_str(), its_variant);
        }
    }
    return selected;
}

QpiPtr qpm_findone_qpc(const qpm_handle *qpm, const std::string &name, const std::optional<std::string> &variant,
                       const std::optional<std::string> &version, QpcConnection connection)
{
    QpiList found;
    const int count = qpm_findpkg(connection, name, variant, version, QPM_SELECTOR, nullptr, found);
    qlog(LL_DEBUG, "Number of packages returned for %s: %d", name.c_str(), count);
    // A build for another architecture must never shadow the one this
    // inventory can install, whatever its version.
    for (QpiPtr &qpi : found) {
        if (qpi && !arch_acceptable(qpm, *qpi)) {
            qlog(LL_DEBUG, "Package arch %s doesn't match local arch %s, skipping", arch_text(qpi->architecture),
                 arch_text(local_arch(qpm)));
            qpi.reset();
        }
    }
    std::erase(found, nullptr);
    const int chosen = qpm_findone(name, variant, found);
    if (chosen < 0)
        return nullptr;
    return std::move(found[static_cast<size_t>(chosen)]);
}

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
        const DirListing listing = list_dir(directory);
        if (listing.open_error) {
            qlog(LL_INFO, "Failure opening <%s> for reading: %s", directory.c_str(), std::strerror(listing.open_error));
            continue;
        }
        // Name order, so that "first is first" among equal versions does not
        // depend on the file system.
        StrArr names = listing.names;
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

int qpm_findpkg_new(const qpm_handle *qpm, QpcConnection connection, const std::optional<std::string> &pattern,
                    const std::optional<std::string> &variant, const Ekva *attributes, int newest, QpiList &out)
{
    out.clear();
    QpiList found;
    const int count = qpm_findpkg(connection, pattern, variant, std::nullopt, QPM_SELECTOR, attributes, found);
    qlog(LL_DEBUG, "qpm_findpkg_new: %04d entries found in catalogue", count);
    const StrArr names = qpm_list_arr(qpm, 0);
    const std::unordered_set<std::string> installed(names.begin(), names.end());

    // One choice per name and variant, however many builds share them.
    std::map<std::pair<std::string, std::optional<std::string>>, int> chosen_for;
    for (size_t i = 0; i < found.size(); ++i) {
        const qpk_info *qpi = found[i].get();
        if (!qpi)
            continue;
        if (installed.contains(qpi->name)) {
            qlog(LL_DEBUG, "qpm_findpkg_new: %s already installed, skipping", qpi->name.c_str());
            continue;
        }
        if (!newest) {
            qlog(LL_DEBUG, "qpm_findpkg_new: %s not installed, copying", qpi->name.c_str());
            out.push_back(qpk_info_copy(qpi));
            continue;
        }
        const auto key = std::make_pair(qpi->name, qpi->variant);
        auto it = chosen_for.find(key);
        if (it == chosen_for.end())
            it = chosen_for.emplace(key, qpm_findone(qpi->name, qpi->variant, found)).first;
        if (it->second == static_cast<int>(i)) {
            qlog(LL_DEBUG, "qpm_findpkg_new: %s not installed and %s is the newest version, copying", qpi->name.c_str(),
                 qpi->version.c_str());
            out.push_back(qpk_info_copy(qpi));
        } else {
            const char *newest_version =
                it->second >= 0 ? found[static_cast<size_t>(it->second)]->version.c_str() : "(null)";
            qlog(LL_DEBUG, "qpm_findpkg_new: %s not installed, but %s is older than the newest version %s, skipping",
                 qpi->name.c_str(), qpi->version.c_str(), newest_version);
        }
    }
    return static_cast<int>(out.size());
}

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

std::optional<std::string> qpm_file_owner(const qpm_handle *qpm, const std::string &path)
{
    struct stat st {};
    if (lstat(root_path(path).c_str(), &st) != 0) {
        qlog(LL_ERROR, "Failure opening <%s>: %s", path.c_str(), std::strerror(errno));
        return std::nullopt;
    }
    std::string wanted = path;
    if (S_ISLNK(st.st_mode)) {
        const std::optional<std::string> resolved = root_resolve(path);
        if (!resolved) {
            qlog(LL_ERROR, "%s is a symbolic link, but cannot be resolved", path.c_str());
            return std::nullopt;
        }
        qlog(LL_INFO, "%s is a symbolic link to %s", path.c_str(), resolved->c_str());
        wanted = *resolved;
    }

    const std::string dir = dirs_of(qpm).fileindex;
    const OwnerIndex *index = owner_index(dir);
    if (!index)
        return std::nullopt;
    const auto it = index->owners.find(wanted);
    if (it == index->owners.end())
        return std::nullopt;
    qlog(LL_DEBUG, "Found <%s> in <%s>", wanted.c_str(), strprintf("%s/%s", dir.c_str(), it->second.c_str()).c_str());
    return it->second;
}

void qpm_file_owner_forget() { g_owner_index = OwnerIndex{}; }

const char *qpk_stat_desc(char status)
{
    switch (status) {
    case 'I':
        return "installed";
    case 'R':
        return "available remotely";
    case 'L':
        return "available locally";
    default:
        return "unavailable";
    }
}

} // namespace qpm
