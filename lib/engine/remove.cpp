#include "engine/remove.h"

#include "engine/actionlog.h"
#include "engine/confine.h"
#include "engine/install.h"
#include "engine/inventory.h"
#include "engine/owners.h"
#include "engine/scripts.h"
#include "engine/search.h"
#include "engine/stage.h"
#include "engine/transaction.h"
#include "package/qpk_info.h"
#include "package/tree.h"
#include "ui/ui.h"
#include "util/files.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strfmt.h"
#include "util/sysroot.h"
#include "util/text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

bool is_dir(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool in_deps(const QpdList &deps, const std::string &name)
{
    return std::any_of(deps.begin(), deps.end(), [&](const qpd &d) { return d.name == name; });
}

// A package that goes with this removal: the one asked for or one already
// on the list.
bool going(const std::string &root, const QpdList &deps, const std::string &name)
{
    return name == root || in_deps(deps, name);
}

// A script of the package's record (INSTALLED/NAME/init/SCRIPT), run
// confined with the package's variables in the environment. Its status.
int run_delete_script(const qpm_handle *qpm, const qpk_info &info, const char *script, const std::string &command)
{
    StrArr env = qpm_scriptenv_add(&info, nullptr);
    const int rc = qpm_run_script(qpm, script, command);
    qpm_scriptenv_del(env);
    return rc;
}

// `path` (a system path from a file index) with the links of its directory
// followed inside the system root; the last component is never followed,
// so a link registered as a file is removed as a link. Nothing when the
// directory is gone.
std::optional<std::string> removal_path(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return path;
    const std::optional<std::string> dir = root_resolve(std::string_view(path).substr(0, slash));
    if (!dir)
        return std::nullopt;
    return *dir == "/" ? path.substr(slash) : *dir + path.substr(slash);
}

int chk_delete_deps(const qpm_handle *qpm, const qpk_info &info, const std::string &root, int &count,
                    QpdList &deps)
{
    const char *name = info.name.c_str();
    qlog(LL_DEBUG, "qpm_chk_delete_deps: checking candidate <%s>", name);
    const int ndeps = static_cast<int>(info.dependencies.size());
    if (ndeps == 0) {
        qlog(LL_DEBUG, "qpm_chk_delete_deps: ok, canidate <%s> has no new dependencies, total of deps: %d", name,
             count);
        return 0;
    }
    qlog(LL_DEBUG, "qpm_chk_delete_deps: ok, candidate <%s> has %02d dependencies", name, ndeps);

    // Room for what is on the list, this package's dependencies and the end.
    const int needed = count + ndeps + 1;
    const int room = static_cast<int>(deps.capacity());
    if (room == 0) {
        qlog(LL_DEBUG, "qpm_chk_delete_deps: initially allocating space for %d qpds, setting counter to %d", ndeps + 1,
             0);
        deps.reserve(static_cast<size_t>(ndeps + 1));
    } else if (room >= needed) {
        qlog(LL_DEBUG, "qpm_chk_delete_deps: not reallocating space, as we already have %d and this run could only go to %d",
             room, needed);
    } else {
        qlog(LL_DEBUG, "qpm_chk_delete_deps: reallocating space for %d qpds, setting counter to %d", needed, count);
        deps.reserve(static_cast<size_t>(needed));
    }

    for (const std::string &dependency : info.dependencies) {
        const char *dep = dependency.c_str();
        qlog(LL_DEBUG, "qpm_chk_delete_deps: Got dependency %s", dep);
        if (in_deps(deps, dependency)) {
            qlog(LL_DEBUG, "qpm_chk_delete_deps: found circular dependency on %s", dep);
            continue;
        }
        QpiPtr dep_info = qpm_qpl_info(qpm, dependency);
        if (!dep_info) {
            qlog(LL_WARNING,
                 "qpm_chk_delete_deps: dependency %s has already ben deleted, this should not really happen", dep);
            continue;
        }
        if (dep_info->install_type != QPK_INSTALL_DEPENDENCY) {
            qlog(LL_DEBUG, "qpm_chk_delete_deps: nope, %s WAS installed explicitely", dep);
            continue;
        }
        const std::string head = dep_info->install_head.value_or("");
        if (going(root, deps, head) || head == info.name) {
            qlog(LL_DEBUG, "qpm_chk_delete_deps: ok, %s WAS installed as dependency of %s", dep, head.c_str());
        } else if (qpm_qpl_info(qpm, head)) {
            qlog(LL_DEBUG, "qpm_chk_delete_deps: nope, %s was installed as a dependency of %s, which is still installed",
                 dep, head.c_str());
            continue;
        } else {
            qlog(LL_DEBUG,
                 "qpm_chk_delete_deps: ok, %s was installed as a dependency of %s, which is not installed anymore", dep,
                 text_or_null(dep_info->install_head));
        }
        // Packages that go with this removal do not keep it.
        bool needed_elsewhere = false;
        for (const QpiPtr &other : qpm_chk_delete_reqs(qpm, *dep_info)) {
            if (other->name == info.name || going(root, deps, other->name))
                continue;
            qlog(LL_DEBUG, "qpm_chk_delete_deps: skipping dependency %s, %s also depends on it", dep,
                 other->name.c_str());
            needed_elsewhere = true;
        }
        if (needed_elsewhere)
            continue;

        qlog(LL_DEBUG, "qpm_chk_delete_deps: %s seems not to be required by anybody else, adding it", dep);
        qpd record;
        record.status = QPD_INSTALLED;
        record.action = QPM_ACTION_DELETE;
        record.name = dependency;
        record.head = info.name;
        record.qpi = std::move(dep_info);
        deps.push_back(std::move(record));
        ++count;
        qlog(LL_DEBUG, "qpm_chk_delete_deps: we now have a total of %d deps", count);
        if (chk_delete_deps(qpm, *deps.back().qpi, root, count, deps) != 0)
            return QPM_DEPS_UNRESOLVED;
    }
    return 0;
}

} // namespace

QpiList qpm_chk_delete_reqs(const qpm_handle *qpm, const qpk_info &info)
{
    QpiList dependents;
    if (!qpm)
        return dependents;
    const std::string &installed = qpm->dirs.installed;
    const std::optional<DirNames> listing = list_directory(installed);
    if (!listing) {
        qlog(LL_WARNING, "Failure opening <%s> for reading: %s", installed.c_str(), std::strerror(errno));
        return dependents;
    }
    // Every dependent, each once: a package still needed must never be
    // removed because a third one went unseen.
    for (const DirName &entry : listing->entries) {
        const std::string path = installed + "/" + entry.name;
        if (!is_dir(path)) {
            qlog(LL_DEBUG, "Omitting non-directory %s", path.c_str());
            continue;
        }
        if (entry.name.front() == '.')
            continue;
        QpiPtr other = qpm_qpl_info(qpm, entry.name);
        if (!other) {
            qlog(LL_DEBUG, "Failure parsing info for %s, skipping entry", entry.name.c_str());
            continue;
        }
        if (in_array(other->dependencies, info.name))
            dependents.push_back(std::move(other));
    }
    if (listing->close_error != 0)
        qlog(LL_WARNING, "qpm_chk_delete_reqs: Failure closing directory %s", installed.c_str());
    return dependents;
}

int qpm_chk_delete_deps(const qpm_handle *qpm, const qpk_info &info, int &count, QpdList &deps)
{
    return chk_delete_deps(qpm, info, info.name, count, deps);
}

qpt *qpm_pre_delete(qpm_handle *qpm, const std::string &name, int mode, QptPtr &out)
{
    out.reset();
    QpiPtr info = qpm_qpl_info(qpm, name);
    if (!info) {
        qpmui_write(qpmui.get(), strprintf("%s is not installed, skipping\n", name.c_str()));
        return nullptr;
    }
    const QpiList dependents = qpm_chk_delete_reqs(qpm, *info);
    if (!dependents.empty()) {
        qlog(LL_DEBUG, "qpm_pre_delete: found dependent packages for %s", name.c_str());
        bool refused = false;
        for (const QpiPtr &dependent : dependents) {
            if (dependent->install_head && *dependent->install_head == name) {
                qlog(LL_DEBUG, "%s is a circular dependency of %s, allowing", dependent->name.c_str(), name.c_str());
                continue;
            }
            const std::string line =
                strprintf("%s cannot be deleted, %s depends on it\n", name.c_str(), dependent->name.c_str());
            qlog(LL_DEBUG, "%s", line.c_str());
            qpmui_write(qpmui.get(), line);
            refused = true;
        }
        if (refused)
            return nullptr;
    }
    qpmui_write(qpmui.get(), strprintf("%s can be deleted, nothing depends on it\n", name.c_str()));

    int count = 0;
    QpdList deps;
    if (mode != QPM_DELETE_ALONE) {
        if (qpm_chk_delete_deps(qpm, *info, count, deps) != 0) {
            qlog(LL_INFO, "%s cannot be removed", name.c_str());
            return nullptr;
        }
        qlog(LL_DEBUG, "%s can be removed along with %d deps", name.c_str(), count);
    }

    QptPtr t = qpt_new(name, QPD_LOCAL, QPM_ACTION_DELETE, std::move(info));
    if (!t)
        return nullptr;
    for (const qpd &d : deps) {
        if (d.qpi) {
            t->tot_file_size += d.qpi->file_size;
            t->tot_data_size += d.qpi->data_size;
        }
    }
    t->ndeps = count;
    t->deps = std::move(deps);
    t->scripts = ekva_new(t->ndeps + 1, 1);
    t->qpm_hookcmds = ekva_new(t->ndeps + 1, 3);
    out = std::move(t);
    return out.get();
}

int qpm_exe_delete(qpm_handle *qpm, qpt &record)
{
    if (!qpm || qpm->locked != 1) {
        qlog(LL_ERROR, "qpm_exe_delete: no lock on local repository");
        return -1;
    }
    if (!record.qpi)
        return -1;
    const std::string puname = qpk_puname(*record.qpi);
    if (const int rc = qpm_one_delete(qpm, *record.qpi); rc != 0) {
        qlog(LL_ERROR, "qpm_exe_delete: Removal of %s failed with rc=%d\n", puname.c_str(), rc);
        return rc;
    }
    qpm_log_action(QPM_LOG_DELETE, std::nullopt, puname, std::nullopt, qpm);
    qlog(LL_INFO, "removal of %s succeeded", puname.c_str());

    if (record.deps.empty())
        return 0;
    qlog(LL_DEBUG, "qpm_exe_delete: Number of deps: %d", record.ndeps);
    for (const qpd &d : record.deps) {
        if (!d.qpi)
            continue;
        const std::string dep_puname = qpk_puname(*d.qpi);
        if (const int rc = qpm_one_delete(qpm, *d.qpi); rc != 0) {
            qlog(LL_ERROR, "qpm_exe_delete: Removal of %s failed with rc=%d\n", dep_puname.c_str(), rc);
            return rc;
        }
        qpm_log_action(QPM_LOG_DELETE, std::nullopt, dep_puname, d.head, qpm);
        qlog(LL_INFO, "removal of %s succeeded", dep_puname.c_str());
    }
    return 0;
}

int qpm_one_delete(qpm_handle *qpm, const qpk_info &info)
{
    PackagePaths p;
    if (!qpm || !package_paths(qpm, info, p)) {
        qlog(LL_ERROR, "qpm_one_delete: inventory directories are not set");
        return -1;
    }
    const std::string installed = qpm->dirs.installed;
    const std::string sv = root_view(p.scriptdir);

    const std::string pre_script = strprintf("%s/%s/init/00-del.sh", installed.c_str(), p.name.c_str());
    qlog(LL_DEBUG, "qpm_one_delete: looking for pre-delete script %s\n", pre_script.c_str());
    if (exists(pre_script)) {
        const std::string command =
            strprintf("cd %s && PATH=%s %s/ash %s", sv.c_str(), sv.c_str(), sv.c_str(), root_view(pre_script).c_str());
        qlog(LL_DEBUG, "qpm_one_delete_qpk: cmdline: %s", command.c_str());
        if (const int rc = run_delete_script(qpm, info, "00-del.sh", command); rc != 0) {
            qlog(LL_ERROR, "qpm_one_delete: pre-delete got an error, aborting");
            return rc;
        }
        qlog(LL_DEBUG, "qpm_one_delete: pre-delete script successfully executed");
    } else {
        qlog(LL_DEBUG, "qpm_one_delete: no pre-delete script found");
    }

    // The stage directory goes whatever happens; the transaction, gone
    // first, puts every saved file back unless committed.
    qpm_qpf_rmdir(p.stage_dir);
    StageDirectory stage(p.stage_dir);
    if (qpm_qpf_mkdir(p.backup, 0755) != 0) {
        qlog(LL_ERROR, "qpm_one_delete: Failed to backup %s, not good. We try a rollback and leave.",
             p.backup.c_str());
        return -1;
    }
    FileTransaction files(p.backup);

    FilePtr index = fopen_cloexec(p.file_index, "r");
    if (!index) {
        qlog(LL_DEBUG, "qpm_one_delete: no fileindex. This is ok");
    } else {
        std::string path;
        while (fgets_line(index.get(), path)) {
            if (path.empty())
                continue;
            qlog(LL_DEBUG, "qpm_one_delete: Found %s to delete", path.c_str());
            const std::optional<std::string> system_path = removal_path(path);
            struct stat st {};
            if (!system_path || ::lstat(root_path(*system_path).c_str(), &st) != 0) {
                const int error = system_path ? errno : ENOENT;
                qlog(LL_WARNING, "qpm_one_delete: Failed to access registered file %s: %s, skipping", path.c_str(),
                     std::strerror(error));
                continue;
            }
            int unlink_error = 0;
            if (files.remove(*system_path, &unlink_error) < 0) {
                qlog(LL_ERROR, "qpm_one_delete: Failed to backup %s, not good. We try a rollback and leave.",
                     path.c_str());
                return -1;
            }
            if (unlink_error != 0)
                qlog(LL_WARNING, "qpm_one_delete: Failed to remove registered file %s: %s, but we go on", path.c_str(),
                     std::strerror(unlink_error));
        }
        qlog(LL_DEBUG, "qpm_one_delete: processed fileindex %s\n", p.file_index.c_str());
    }

    const std::string post_script = strprintf("%s/%s/init/99-del.sh", installed.c_str(), p.name.c_str());
    qlog(LL_DEBUG, "qpm_one_delete: looking for post-delete script %s\n", post_script.c_str());
    if (exists(post_script)) {
        // The saved files lie below the backup tree at their system paths.
        const std::string saved = root_view(p.backup);
        const std::string command = strprintf("cd %s && PATH=%s QPK_STAGE_OLD=%s QPM_QPKDIR=%s/%s %s/ash %s",
                                              sv.c_str(), sv.c_str(), saved.c_str(),
                                              root_view(installed).c_str(), p.name.c_str(), sv.c_str(),
                                              root_view(post_script).c_str());
        qlog(LL_DEBUG, "qpm_one_delete: cmdline: %s", command.c_str());
        if (const int rc = run_delete_script(qpm, info, "99-del.sh", command); rc != 0) {
            qlog(LL_ERROR, "qpm_one_delete: post-delete got an error, aborting");
            files.rollback();
            return rc;
        }
        qlog(LL_DEBUG, "qpm_one_delete: post-delete script successfully executed");
    } else {
        qlog(LL_DEBUG, "qpm_one_delete: no post-delete script found");
    }
    files.commit();

    const std::string link_list = strprintf("%s/%s/link.txt", installed.c_str(), p.name.c_str());
    qlog(LL_DEBUG, "qpm_one_delete: looking for link script %s\n", link_list.c_str());
    if (exists(link_list)) {
        qlog(LL_DEBUG, "qpm_one_delete: Found link.txt, calling qpm_qpf_links");
        const int rc = qpm_qpf_links(link_list, 1, 0);
        qlog(LL_DEBUG, "qpm_one_delete: rc of qpm_qpf_links: %d", rc);
    } else {
        qlog(LL_DEBUG, "qpm_one_delete: no link script found");
    }

    // The install record goes first: without it the package no longer
    // counts as installed, whatever an interruption leaves of the rest.
    ::unlink(p.file_index.c_str());
    ::unlink((p.package_dir + "/inst.txt").c_str());
    qpm_qpf_rmdir(p.package_dir);
    qpm_file_owner_forget();
    return 0;
}

} // namespace qpm
