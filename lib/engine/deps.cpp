#include "engine/deps.h"

#include "engine/search_common.h"

#include "package/qpf.h"
#include "package/signature.h"
#include "ui/ui.h"
#include "util/log.h"
#include "util/strfmt.h"

#include <algorithm>
#include <sys/stat.h>
#include <unordered_map>
#include <unordered_set>

namespace qpm {
namespace {

// One walk over a package's dependency tree. The two public walks differ
// only in their messages and in whether installed packages are descended
// into.
class DependencyWalk {
public:
    DependencyWalk(const qpm_handle *qpm, QpcConnection connection, const StrArr &directories, bool into_installed,
                   int &counter, QpdList &deps)
        : m_qpm(qpm), m_connection(connection), m_directories(directories), m_walk(into_installed),
          m_counter(counter), m_deps(deps)
    {
        for (size_t i = 0; i < deps.size(); ++i)
            m_by_name[deps[i].name].push_back(i);
    }

    int walk(const qpk_info &qpi)
    {
        qlog(LL_DEBUG, m_walk ? "qpm_chk_walk: Checking candidate <%s>" : "qpm_chk_install: Checking candidate <%s>",
             qpi.name.c_str());
        const int local = m_qpm ? m_qpm->arch : 0;
        if (qpi.architecture != QPM_ARCH_ANY && qpi.architecture != local) {
            qlog(LL_INFO,
                 m_walk ? "qpm_chk_walk: Package arch %s doesn't match local arch %s, bye"
                        : "qpm_chk_install: Package arch %s doesn't match local arch %s, bye",
                 search_detail::arch_text(qpi.architecture), search_detail::arch_text(local));
            return QPM_DEPS_UNRESOLVED;
        }
        if (qpi.dependencies.empty()) {
            qlog(LL_DEBUG,
                 m_walk ? "qpm_chk_walk: ok, canidate <%s> has no new dependencies, total of deps: %d"
                        : "qpm_chk_install: ok, canidate <%s> has no new dependencies, total of deps: %d",
                 qpi.name.c_str(), m_counter);
            return 0;
        }

        const int count = static_cast<int>(qpi.dependencies.size());
        qlog(LL_DEBUG,
             m_walk ? "qpm_chk_walk: ok, canidate <%s> has %02d dependencies"
                    : "qpm_chk_install: ok, canidate <%s> has %02d dependencies",
             qpi.name.c_str(), count);
        if (m_deps.empty()) {
            m_counter = count;
            qlog(LL_DEBUG,
                 m_walk ? "qpm_chk_walk: Initially allocating space for %d qpds, setting counter to %d"
                        : "qpm_chk_install: Initially allocating space for %d qpds, setting counter to %d",
                 count, 0);
        } else {
            m_counter += count;
            qlog(LL_DEBUG,
                 m_walk ? "qpm_chk_walk Reallocating space for %d qpds, setting counter to %d"
                        : "qpm_chk_install: Reallocating space for %d qpds, setting counter to %d",
                 m_counter, static_cast<int>(m_deps.size()));
        }
        m_deps.reserve(static_cast<size_t>(m_counter) + 1);

        m_path.push_back(qpi.name);
        const int rc = walk_dependencies(qpi);
        m_path.pop_back();
        return rc;
    }

private:
    int walk_dependencies(const qpk_info &qpi)
    {
        for (const std::string &name : qpi.dependencies) {
            qlog(LL_DEBUG, m_walk ? "qpm_chk_walk: Got dependency %s" : "qpm_chk_install: Got dependency %s",
                 name.c_str());
            std::vector<size_t> &same_name = m_by_name[name];
            const bool met_before = !same_name.empty();
            // Only a real cycle, the name on the path that led here, frees the
            // records met before from waiting on their own dependencies; a
            // name merely reached twice (a diamond) keeps them in order.
            if (met_before && std::find(m_path.begin(), m_path.end(), name) != m_path.end()) {
                for (size_t i : same_name)
                    m_deps[i].circular = 1;
            }

            qpd dep;
            qpm_get_dependency(m_qpm, qpi.name, name, m_connection, m_directories, dep);
            const size_t index = m_deps.size();
            qlog(LL_DEBUG,
                 m_walk ? "qpm_chk_walk: Storing dependency %s with index %d"
                        : "qpm_chk_install: Storing dependency %s with index %d",
                 name.c_str(), static_cast<int>(index));
            const char status = dep.status;
            const qpk_info *record = dep.qpi.get(); // owned by the heap record, stable while m_deps grows
            m_deps.push_back(std::move(dep));
            same_name.push_back(index);

            if (met_before) {
                qlog(LL_DEBUG,
                     m_walk ? "qpm_chk_walk: Found circular dependency %s" : "qpm_chk_install: Found circular dependency %s",
                     name.c_str());
                continue;
            }
            if (status == QPD_UNRESOLVED) {
                qlog(LL_INFO,
                     m_walk ? "qpm_chk_walk: Failed to resovle dependency %s for %s"
                            : "qpm_chk_install: Failed to resovle dependency %s for %s",
                     name.c_str(), qpi.name.c_str());
                return QPM_DEPS_UNRESOLVED;
            }
            if (status == QPD_INSTALLED) {
                qlog(LL_DEBUG,
                     m_walk ? "qpm_chk_walk: Resolved dependeny internally" : "qpm_chk_install: Resolved dependeny internally");
                if (m_walk && record && walk(*record) != 0)
                    return QPM_DEPS_UNRESOLVED;
                continue;
            }
            if (m_walk)
                qlog(LL_DEBUG, "qpm_chk_walk: Resolved depeneny, status = %c", status);
            else
                qlog(LL_DEBUG, "qpm_chk_install: Resolved depeneny externally, status = %c", status);
            if (record && walk(*record) != 0)
                return QPM_DEPS_UNRESOLVED;
        }
        return 0;
    }

    const qpm_handle *m_qpm;
    QpcConnection m_connection;
    const StrArr &m_directories;
    bool m_walk;
    int &m_counter;
    QpdList &m_deps;
    std::unordered_map<std::string, std::vector<size_t>> m_by_name;
    StrArr m_path; // names from the requested package down to the one being walked
};

int run_walk(const qpm_handle *qpm, const qpk_info *qpi, QpcConnection connection, const StrArr &directories,
             bool into_installed, int &counter, QpdList &deps)
{
    if (!qpi)
        return QPM_DEPS_UNRESOLVED;
    DependencyWalk walk(qpm, connection, directories, into_installed, counter, deps);
    return walk.walk(*qpi);
}

std::string action_code(char first, char second)
{
    std::string code;
    if (first)
        code += first;
    if (second)
        code += second;
    return code;
}

} // namespace

qpd &qpm_get_dependency(const qpm_handle *qpm, const std::string &candidate, const std::string &dependency,
                        QpcConnection connection, const StrArr &directories, qpd &out)
{
    qlog(LL_DEBUG, "Checking dep %s for canditate %s\n", dependency.c_str(), candidate.c_str());
    out = qpd{};
    out.status = QPD_UNRESOLVED;
    out.name = dependency;
    out.head = candidate;
    qlog(LL_DEBUG, "Setting status of dep %s for canditate %s to %c", dependency.c_str(), candidate.c_str(),
         out.status);

    if ((out.qpi = qpm_qpl_info(qpm, dependency))) {
        out.status = QPD_INSTALLED;
        out.action = QPM_ACTION_NOTHING;
        qlog(LL_DEBUG, "ok, dependency %s was found already installed", dependency.c_str());
        return out;
    }
    qlog(LL_DEBUG, "ok, dependency %s in not yet installed", dependency.c_str());

    if (!directories.empty()) {
        if ((out.qpi = qpm_findone_dirs(qpm, dependency, std::nullopt, std::nullopt, directories))) {
            out.status = QPD_LOCAL;
            out.action = QPM_ACTION_INSTALL;
            qlog(LL_DEBUG, "ok, dependency %s was found locally", dependency.c_str());
            return out;
        }
        qlog(LL_DEBUG, "No package for %s in directories found", dependency.c_str());
    } else {
        qlog(LL_DEBUG, "ok, no directories to search in specified");
    }

    if ((out.qpi = qpm_findone_qpc(qpm, dependency, std::nullopt, std::nullopt, connection))) {
        out.status = QPD_REMOTE;
        out.action = QPM_ACTION_INSTALL;
        qlog(LL_DEBUG, "ok, dependency %s was found in catalogue", dependency.c_str());
        return out;
    }
    qlog(LL_DEBUG, "No package for %s in catalogue found", dependency.c_str());
    return out;
}

int qpm_chk_install(const qpm_handle *qpm, const qpk_info *qpi, QpcConnection connection, const StrArr &directories,
                    int &counter, QpdList &deps)
{
    return run_walk(qpm, qpi, connection, directories, false, counter, deps);
}

int qpm_chk_walk(const qpm_handle *qpm, const qpk_info *qpi, QpcConnection connection, const StrArr &directories,
                 int &counter, QpdList &deps)
{
    return run_walk(qpm, qpi, connection, directories, true, counter, deps);
}

void qpds_sort(QpdList &deps)
{
    if (deps.empty())
        return;
    std::unordered_set<std::string> resolved;
    for (qpd &dep : deps) {
        if (dep.status == QPD_INSTALLED) {
            dep.level = 0;
            resolved.insert(dep.name);
        } else {
            dep.level = 1;
        }
    }

    // A name taken in a pass counts as resolved from the next pass on, so a
    // package never shares a level with something it depends on.
    bool deferred = true;
    while (deferred) {
        deferred = false;
        StrArr taken;
        for (qpd &dep : deps) {
            if (resolved.contains(dep.name))
                continue;
            const bool waits = !dep.circular && dep.qpi &&
                               std::any_of(dep.qpi->dependencies.begin(), dep.qpi->dependencies.end(),
                                           [&](const std::string &name) { return !resolved.contains(name); });
            if (waits) {
                ++dep.level;
                deferred = true;
            } else {
                taken.push_back(dep.name);
            }
        }
        if (taken.empty())
            break; // nothing can move any more
        resolved.insert(taken.begin(), taken.end());
    }

    std::stable_sort(deps.begin(), deps.end(), [](const qpd &a, const qpd &b) { return a.level > b.level; });
}

QptPtr qpt_new(const std::string &request, char source, char action, QpiPtr qpi)
{
    auto t = std::make_unique<qpt>();
    t->request = request;
    t->source = source;
    t->action = action;
    t->state = QPM_ACTION_NOTHING;
    if (qpi) {
        t->tot_file_size = static_cast<long>(qpi->file_size);
        t->tot_data_size = static_cast<long>(qpi->data_size);
    }
    t->qpi = std::move(qpi);
    return t;
}

int qpm_qpt_add_deps(qpt &t, QpdList &walk, int keep_installed)
{
    qpds_sort(walk);
    // Names already taken, with the package they were taken for. The package
    // itself is taken by the user under its own name (the request may be
    // the path of a package file).
    std::unordered_map<std::string, std::string> taken;
    taken.emplace(t.qpi ? t.qpi->name : t.request, "User");

    for (qpd &dep : walk) {
        if (dep.status == QPD_INSTALLED && !keep_installed) {
            qlog(LL_DEBUG, "Skipping %s for %s, locally installed", dep.name.c_str(), dep.head.c_str());
            continue;
        }
        qlog(LL_DEBUG, "Found dep %s for cand %s, status: %c", dep.name.c_str(), dep.head.c_str(), dep.status);
        if (!dep.qpi)
            continue;
        const auto [it, fresh] = taken.emplace(dep.name, dep.head);
        if (!fresh) {
            qlog(LL_DEBUG, "Skipping %s for %s, already processed for %s", dep.name.c_str(), dep.head.c_str(),
                 it->second.c_str());
            continue;
        }
        qlog(LL_DEBUG, "Adding %lu to tot_file_size", static_cast<unsigned long>(dep.qpi->file_size));
        t.tot_file_size += static_cast<long>(dep.qpi->file_size);
        qlog(LL_DEBUG, "Adding %lu to tot_data_size", static_cast<unsigned long>(dep.qpi->data_size));
        t.tot_data_size += static_cast<long>(dep.qpi->data_size);
        t.deps.push_back(std::move(dep));
    }
    walk.clear();
    t.ndeps = static_cast<int>(t.deps.size());
    return t.ndeps;
}

QptPtr qpm_walk(const qpm_handle *qpm, QpcConnection connection, const std::string &request,
                const std::optional<std::string> &variant, const StrArr &directories)
{
    QpiPtr qpi;
    char source = 0;
    if (qpk_file_is_qpk(request)) {
        source = QPD_LOCAL;
        qpi = qpm_qpf_info(qpm, request, 1);
        if (!qpi) {
            qpmui_write(qpmui.get(), strprintf("%s is not a valid package file\n", request.c_str()));
            return nullptr;
        }
    } else {
        source = QPD_REMOTE;
        qpi = qpm_findone_qpc(qpm, request, variant, std::nullopt, connection);
        if (!qpi) {
            qpmui_write(qpmui.get(), strprintf("%s was not found in the package catalogue\n", request.c_str()));
            return nullptr;
        }
    }

    int counter = 0;
    QpdList walk;
    if (qpm_chk_walk(qpm, qpi.get(), connection, directories, counter, walk) != 0) {
        qlog(LL_DEBUG, "%s cannot be installed", request.c_str());
        for (const qpd &dep : walk) {
            if (dep.qpi)
                qlog(LL_DEBUG, "Found dep %s for cand %s, status: %c", dep.name.c_str(), dep.head.c_str(), dep.status);
        }
        return nullptr;
    }
    QptPtr t = qpt_new(request, source, 0, std::move(qpi));
    qpm_qpt_add_deps(*t, walk, 1);
    return t;
}

StrArr qpm_dependson(const qpm_handle *qpm, const std::string &name)
{
    QpiList installed;
    qpm_list_qpi(qpm, std::nullopt, 1, installed);
    StrArr dependents;
    for (const QpiPtr &qpi : installed) {
        if (qpi && std::find(qpi->dependencies.begin(), qpi->dependencies.end(), name) != qpi->dependencies.end())
            dependents.push_back(qpi->name);
    }
    return dependents;
}

int qpm_stage_have_qpk(const std::string &path, const qpk_info *qpi)
{
    if (!qpi || !qpi->file_hash || qpi->file_size == 0)
        return 0;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != qpi->file_size)
        return 0;
    const std::optional<std::string> digest = qps_sha1_file(path, 'x');
    return digest && *digest == *qpi->file_hash ? 1 : 0;
}

int qpm_qpa_list_new_qpi(const QpaList &list, const qpk_info *qpi)
{
    if (!qpi)
        return 0;
    qlog(LL_DEBUG, "checking if %s is already in the qpa", qpi->name.c_str());
    for (const qpa_entry &entry : list) {
        if (entry.name == qpi->name) {
            qlog(LL_DEBUG, "%s is already in the qpa (%s)", qpi->name.c_str(), entry.code.c_str());
            return 0;
        }
    }
    return 1;
}

int qpm_qpa_list_add_qpt(const qpt &t, QpaList &list)
{
    const int position = static_cast<int>(list.size());
    const auto wanted = [](const qpd &dep) { return dep.qpi && dep.action != QPM_ACTION_NOTHING; };

    int additions = 0;
    if (t.qpi && qpm_qpa_list_new_qpi(list, t.qpi.get())) {
        qlog(LL_DEBUG, "%s can be added qpa", t.qpi->name.c_str());
        ++additions;
    }
    for (const qpd &dep : t.deps) {
        if (wanted(dep) && qpm_qpa_list_new_qpi(list, dep.qpi.get())) {
            qlog(LL_DEBUG, "%s can be added qpa", dep.qpi->name.c_str());
            ++additions;
        }
    }
    if (additions == 0) {
        qlog(LL_DEBUG, "No new additions");
        return position;
    }

    if (list.empty())
        qlog(LL_DEBUG, "Allocating list for %d entries", additions);
    else
        qlog(LL_DEBUG, "Reallocating list for %d entries", position + additions);
    list.reserve(static_cast<size_t>(position + additions));

    if (t.qpi && qpm_qpa_list_new_qpi(list, t.qpi.get())) {
        qlog(LL_DEBUG, "Adding %s to qpa at pos %d", t.qpi->name.c_str(), static_cast<int>(list.size()));
        list.push_back({action_code(t.action, t.state), t.qpi->name, qpk_info_copy(t.qpi.get())});
    }
    for (const qpd &dep : t.deps) {
        if (!wanted(dep) || !qpm_qpa_list_new_qpi(list, dep.qpi.get()))
            continue;
        qlog(LL_DEBUG, "Adding %s to qpa", dep.qpi->name.c_str());
        list.push_back({action_code(dep.action, dep.status), dep.qpi->name, qpk_info_copy(dep.qpi.get())});
    }
    const int final_position = static_cast<int>(list.size());
    qlog(LL_DEBUG, "Added %d entries to qpa_list, new size: %d (%d)", additions, position + additions, final_position);
    return final_position;
}

} // namespace qpm
