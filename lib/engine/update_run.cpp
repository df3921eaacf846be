#include "engine/update_run.h"

#include "engine/actionlog.h"
#include "engine/fetch.h"
#include "engine/install.h"
#include "engine/inventory.h"
#include "engine/pending.h"
#include "engine/search.h"
#include "engine/update.h"
#include "package/qpf.h"
#include "package/qpk_info.h"
#include "ui/progress.h"
#include "util/log.h"
#include "util/text.h"

#include <algorithm>

#include <cstring>

namespace qpm {
qpt *qpm_pre_update(qpm_handle *qpm, QpcConnection connection, const std::string &name,
                    const std::optional<std::string> &variant, const std::optional<std::string> &version,
                    const StrArr &local_files, QptPtr &out, UpdatePlan *outcome)
{
    out.reset();
    UpdatePlan ignored;
    UpdatePlan &why = outcome ? *outcome : ignored;
    why = UpdatePlan::Planned;
    QpiPtr candidate;
    QpiPtr installed;
    char source = QPD_REMOTE;
    std::optional<std::string> wanted = variant;
    auto default_variant = [&] {
        if (!wanted)
            wanted = installed->variant && !installed->variant->empty() ? *installed->variant : "default";
    };
    if (qpk_file_is_qpk(name)) {
        candidate = qpm_qpf_info(qpm, name, 1);
        if (!candidate) {
            qlog(LL_INFO, "%s is not a valid package file", name.c_str());
            why = UpdatePlan::Invalid;
            return nullptr;
        }
        installed = qpm_qpl_info(qpm, candidate->name);
        if (!installed) {
            qlog(LL_INFO, "%s is not installed", candidate->name.c_str());
            why = UpdatePlan::NotInstalled;
            return nullptr;
        }
        source = QPD_LOCAL;
        default_variant();
    } else {
        installed = qpm_qpl_info(qpm, name);
        if (!installed) {
            qlog(LL_INFO, "%s is not installed", name.c_str());
            why = UpdatePlan::NotInstalled;
            return nullptr;
        }
        default_variant();
        candidate = qpm_findone_qpc(qpm, name, wanted, version, connection);
        if (!candidate) {
            qlog(LL_DEBUG, "%s, variant %s was not found in the package catalogue", name.c_str(), text_or_null(wanted));
            why = UpdatePlan::NotFound;
            return nullptr;
        }
    }

    const std::string installed_puname = qpk_puname(*installed);
    const std::string candidate_puname = qpk_puname(*candidate);
    qlog(LL_DEBUG, "installed version: %s, available version: %s", installed_puname.c_str(),
         candidate_puname.c_str());
    if (installed_puname == candidate_puname) {
        qlog(LL_DEBUG, "Nothing to do, keeping %s", installed_puname.c_str());
        why = UpdatePlan::NothingToDo;
        return nullptr;
    }
    if (source == QPD_REMOTE) {
        // The candidate must win against the installed build by the
        // selection rules (a tie keeps the installed one).
        QpiList pair;
        if (!version)
            pair.push_back(qpk_info_copy(installed.get()));
        pair.push_back(qpk_info_copy(candidate.get()));
        const int chosen = qpm_findone(candidate->name, wanted, pair);
        if (chosen != static_cast<int>(pair.size()) - 1) {
            qlog(LL_DEBUG, "Nothing to do, keeping %s", installed_puname.c_str());
            why = UpdatePlan::NothingToDo;
            return nullptr;
        }
    } else {
        const int order = strverscmp(candidate->version.c_str(), installed->version.c_str());
        qlog(LL_DEBUG, "check of installed version %s to new version %s : %d", installed->version.c_str(),
             candidate->version.c_str(), order);
        if (order > 0)
            qlog(LL_DEBUG, "%s is newer than installed version: %s %s", candidate->version.c_str(),
                 candidate->name.c_str(), installed->version.c_str());
    }
    qlog(LL_DEBUG, "Ok, we'll try to upgrade %s to %s", installed_puname.c_str(), candidate_puname.c_str());
    installed.reset();

    int counter = 0;
    QpdList walk;
    if (qpm_chk_install(qpm, candidate.get(), connection, local_files, counter, walk) != 0) {
        qlog(LL_DEBUG, "%s cannot be updated", candidate->name.c_str());
        for (const qpd &d : walk) {
            if (d.qpi)
                qlog(LL_DEBUG, "found dep %s for cand %s, status: %c", d.name.c_str(), d.head.c_str(), d.status);
        }
        why = UpdatePlan::Unresolved;
        return nullptr;
    }

    QptPtr t = qpt_new(name, source, QPM_ACTION_UPDATE, std::move(candidate));
    if (!t) {
        why = UpdatePlan::Invalid;
        return nullptr;
    }
    // Every record of the walk stays (installed ones pass over when the
    // update runs), in the order an install takes: read from the end, each
    // package comes after what it needs.
    qpds_sort(walk);
    for (qpd &d : walk) {
        qlog(LL_DEBUG, "found dep %s for cand %s, status: %c", d.name.c_str(), d.head.c_str(), d.status);
        if (d.qpi) {
            qlog(LL_DEBUG, "Adding %lu to tot_file_size", static_cast<unsigned long>(d.qpi->file_size));
            qlog(LL_DEBUG, "Adding %lu to tot_data_size", static_cast<unsigned long>(d.qpi->data_size));
            t->tot_file_size += d.qpi->file_size;
            t->tot_data_size += d.qpi->data_size;
        }
    }
    t->ndeps = static_cast<int>(walk.size());
    t->deps = std::move(walk);
    t->scripts = ekva_new(t->ndeps + 1, 1);
    t->qpm_hookcmds = ekva_new(t->ndeps + 1, 3);
    out = std::move(t);
    return out.get();
}

int qpm_exe_update(qpm_handle *qpm, qpt &record, QpcConnection connection, int verbose, int fastclean)
{
    if (!qpm || qpm->locked != 1) {
        qlog(LL_ERROR, "qpm_exe_update: no lock on local repository");
        return -1;
    }
    if (!record.qpi || qpm->dirs.stagearea.empty())
        return -1;
    const std::string &stagearea = qpm->dirs.stagearea;
    const bool talk = verbose > 0;
    const ProgressRun progress(1 + std::count_if(record.deps.begin(), record.deps.end(), [](const qpd &d) {
                                   return d.qpi && d.action == QPM_ACTION_INSTALL;
                               }));

    // Every package file is staged before anything changes.
    if (fetch_package(*record.qpi, record.source, stagearea, connection, FetchFor::Update, talk) != 0)
        return -1;
    for (const qpd &d : record.deps) {
        if (!d.qpi || d.status == QPD_INSTALLED)
            continue;
        if (fetch_package(*d.qpi, d.status, stagearea, connection, FetchFor::UpdateDependency, talk) != 0)
            return -1;
    }

    if (record.ndeps > 0)
        qlog(LL_DEBUG, "qpm_exe_update: Number of deps: %d", record.ndeps);
    for (auto it = record.deps.rbegin(); it != record.deps.rend(); ++it) {
        const qpd &d = *it;
        if (!d.qpi || d.action != QPM_ACTION_INSTALL)
            continue;
        const std::string puname = qpk_puname(*d.qpi);
        if (qpm_qpl_info(qpm, d.name)) {
            qlog(LL_DEBUG, "skipping installation of %s, was already installed", puname.c_str());
            continue;
        }
        if (const int rc = qpm_install_qpk(qpm, record, d.qpi.get(), d.head, verbose); rc != 0) {
            qlog(LL_ERROR, "installation of %s failed with rc=%d\n", puname.c_str(), rc);
            qpm_scripts_exe(qpm, record);
            return rc;
        }
        pending_log(qpm, d.name);
        qlog(LL_INFO, "installation of %s succeeded", puname.c_str());
        if (fastclean > 0)
            clean_staged(stagearea, *d.qpi);
    }

    const qpk_info &candidate = *record.qpi;
    const QpiPtr installed = qpm_qpl_info(qpm, candidate.name);
    if (!installed) {
        qlog(LL_DEBUG, "skipping update of %s, is not installed", candidate.name.c_str());
        qpm_scripts_exe(qpm, record);
        return QPM_UPDATE_SKIPPED;
    }
    const int rc = qpm_update_qpk(qpm, record, installed.get(), &candidate, verbose);
    if (rc == 0) {
        pending_log(qpm, candidate.name);
        qlog(LL_INFO, "update of %s succeeded", candidate.name.c_str());
        if (fastclean > 0)
            clean_staged(stagearea, candidate);
    } else {
        qlog(LL_ERROR, "update of %s failed with rc=%d\n", candidate.name.c_str(), rc);
    }
    qlog(LL_DEBUG, "rc of qpm_update_qpk for %s: %d\n", candidate.name.c_str(), rc);
    qpm_scripts_exe(qpm, record);
    return rc;
}

} // namespace qpm
