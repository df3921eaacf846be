#include "engine/install_run.h"

#include "engine/actionlog.h"
#include "engine/fetch.h"
#include "engine/install.h"
#include "engine/inventory.h"
#include "engine/pending.h"
#include "engine/prefetch.h"
#include "engine/search.h"
#include "package/qpf.h"
#include "package/qpk_info.h"
#include "package/tree.h"
#include "ui/progress.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strfmt.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace qpm {
namespace {

bool needs_install(const qpd &d) { return d.qpi && d.status != QPD_INSTALLED && d.status != QPD_UNRESOLVED; }

} // namespace

qpt *qpm_pre_install(qpm_handle *qpm, QpcConnection connection, const std::string &request,
                     const std::optional<std::string> &variant, const std::optional<std::string> &version,
                     const StrArr &directories, QptPtr &out)
{
    out.reset();
    QpiPtr qpi;
    char source = QPD_REMOTE;
    if (qpk_file_is_qpk(request)) {
        source = QPD_LOCAL;
        qpi = qpm_qpf_info(qpm, request, 1);
        if (!qpi) {
            qlog(LL_INFO, "%s is not a valid package file, skipping", request.c_str());
            return nullptr;
        }
    } else {
        qpi = qpm_findone_qpc(qpm, request, variant, version, connection);
        if (!qpi) {
            qlog(LL_INFO, "%s was not found in the package catalogue", request.c_str());
            return nullptr;
        }
    }
    if (qpm_qpl_info(qpm, qpi->name)) {
        qlog(LL_INFO, "%s is already installed", qpi->name.c_str());
        return nullptr;
    }

    int counter = 0;
    QpdList walk;
    if (qpm_chk_install(qpm, qpi.get(), connection, directories, counter, walk) != 0) {
        qlog(LL_DEBUG, "%s cannot be installed", request.c_str());
        for (const qpd &d : walk) {
            if (d.qpi)
                qlog(LL_DEBUG, "Found dep %s for cand %s, status: %c", d.name.c_str(), d.head.c_str(), d.status);
        }
        return nullptr;
    }

    QptPtr t = qpt_new(request, source, QPM_ACTION_INSTALL, std::move(qpi));
    if (!t)
        return nullptr;
    t->scripts = ekva_new(counter + 1, 3);
    t->qpm_hookcmds = ekva_new(counter + 1, 3);
    qpm_qpt_add_deps(*t, walk, 0);
    out = std::move(t);
    return out.get();
}

int qpm_exe_install(qpm_handle *qpm, qpt &record, QpcConnection connection, int verbose, int fastclean)
{
    if (!qpm || qpm->locked != 1) {
        qlog(LL_ERROR, "qpm_exe_install: no lock on local repository");
        return -1;
    }
    if (!record.qpi)
        return -1;
    const std::string &stagearea = qpm->dirs.stagearea;
    if (stagearea.empty())
        return -1;
    const bool talk = verbose > 0;

    // Every package file is staged before anything is installed.
    qpm_prefetch(record, stagearea, connection);
    if (fetch_package(*record.qpi, record.source, stagearea, connection, FetchFor::Install, talk) != 0)
        return -1;
    for (const qpd &d : record.deps) {
        if (!needs_install(d))
            continue;
        qlog(LL_DEBUG, "-  %-25s Status: %c, URI: %s\n", qpk_puname(*d.qpi).c_str(), d.status,
             d.qpi->absolute_uri.value_or("").c_str());
        if (fetch_package(*d.qpi, d.status, stagearea, connection, FetchFor::Install, talk) != 0)
            return -1;
    }
    qlog(LL_DEBUG, "qpm_exe_install: Number of deps: %d", record.ndeps);

    const ProgressRun progress(1 + std::count_if(record.deps.begin(), record.deps.end(), needs_install));
    // Dependencies from the end of the list: what is needed first comes last.
    for (auto it = record.deps.rbegin(); it != record.deps.rend(); ++it) {
        const qpd &d = *it;
        if (!needs_install(d))
            continue;
        if (qpm_qpl_info(qpm, d.name)) {
            qlog(LL_DEBUG, "skipping installation of %s, was already installed", d.name.c_str());
            continue;
        }
        const int rc = qpm_install_qpk(qpm, record, d.qpi.get(), d.head, verbose);
        if (rc != 0) {
            qlog(LL_ERROR, "Installation of %s failed with rc=%d\n", d.name.c_str(), rc);
            qpm_scripts_exe(qpm, record);
            return rc;
        }
        pending_log(qpm, d.name);
        qlog(LL_INFO, "installation of %s succeeded", d.name.c_str());
        if (fastclean > 0)
            clean_staged(stagearea, *d.qpi);
    }

    const qpk_info &own = *record.qpi;
    if (qpm_qpl_info(qpm, own.name)) {
        qlog(LL_DEBUG, "skipping installation of %s, was already installed", own.name.c_str());
        qpm_scripts_exe(qpm, record);
        return 0;
    }
    const int rc = qpm_install_qpk(qpm, record, &own, own.name, verbose);
    qlog(LL_DEBUG, "rc of qpm_install_qpk for %s: %d\n", own.name.c_str(), rc);
    if (rc != 0) {
        qlog(LL_ERROR, "installation of %s failed with rc=%d\n", own.name.c_str(), rc);
        qpm_scripts_exe(qpm, record);
        return rc;
    }
    pending_log(qpm, own.name);
    qlog(LL_INFO, "installation of %s succeeded\n", own.name.c_str());
    if (fastclean > 0)
        clean_staged(stagearea, own);
    qpm_scripts_exe(qpm, record);
    return 0;
}

} // namespace qpm
