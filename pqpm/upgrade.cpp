#include "upgrade.h"

#include "install.h"
#include "privilege.h"
#include "engine/backend.h"
#include "engine/cleanup.h"
#include "engine/pending.h"
#include "engine/search.h"
#include "engine/update_run.h"
#include "util/globals.h"
#include "util/log.h"

#include <unistd.h>

namespace qpm {

int pqpm_upgrade(PqpmRun &run, EkvaPtr &hook_commands)
{
    CatalogueSession catalogue(std::move(run.backend));
    QpmPtr qpm = qpm_open(nullptr, nullptr);
    if (!qpm) {
        qlog(LL_ERROR, "failed to open local package inventory");
        return 1;
    }
    if (!catalogue.connect(run.configuration.get(), llog.get())) {
        qlog(LL_ERROR, "failed to connect to catalogue");
        return 1;
    }
    // Named packages must be updated when there is something newer; the
    // whole system is looked through quietly.
    const bool named = !run.packages.empty();
    StrArr names = run.packages;
    StrArr requests = run.requests;
    if (!named) {
        qlog(LL_INFO, "pqpm: no packages specified, checking all installed packages");
        names = qpm_list_arr(qpm.get(), 1);
        requests = names;
    }
    if (qpm_lock(qpm.get()) != 0) {
        qlog(LL_ERROR, "failed to lock inventory");
        return 1;
    }
    if (!pqpm_become_root())
        return 1;
    qpm_recover(qpm.get());
    std::optional<std::string> variant;
    std::optional<std::string> version;
    pqpm_request_options(run, variant, version);

    int status = 0;
    qpc_cache = qpm_qpc_cache_fill(catalogue.connection());
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string &name = names[i];
        QptPtr transaction;
        UpdatePlan plan = UpdatePlan::Planned;
        if (pqpm_refuse_unread(name, requests[i]) ||
            !qpm_pre_update(qpm.get(), catalogue.connection(), requests[i], variant, version, {}, transaction,
                            &plan)) {
            // Nothing newer, or no update possible: silent as designed. A
            // named package that could not be updated fails the run.
            if (named && plan != UpdatePlan::NothingToDo)
                status = 1;
            continue;
        }
        qlog(LL_INFO, "pqpm: updating %s", name.c_str());
        const int rc = qpm_exe_update(qpm.get(), *transaction, catalogue.connection(), verbose, run.fastclean);
        if (rc != 0) {
            pqpm_say("pqpm: failure updating %s, rc: %d\n", name.c_str(), rc);
            status = 1;
        } else {
            pqpm_say("pqpm: %s successfully updated\n", name.c_str());
        }
        pqpm_collect_hooks(hook_commands, *transaction, name);
        qpt_free(transaction);
    }

    // The updates are on disk before the cleanup drops the records they
    // replaced: without that, the old records stay for a later cleanup.
    if (!sync_registered(qpm.get(), SyncWhen::Now))
        status = 1;
    else if (const int deleted = qpm_cleanup(qpm.get()); deleted >= 0)
        pqpm_say("%d items have been deleted\n", deleted);

    catalogue.close();
    if (qpm_close(std::move(qpm)) != 0)
        status = 1;
    pqpm_finish(hook_commands);
    return status;
}

int pqpm_cleanup(PqpmRun &run)
{
    CatalogueSession catalogue(std::move(run.backend));
    QpmPtr qpm = qpm_open(nullptr, nullptr);
    if (!qpm) {
        qlog(LL_ERROR, "failed to open local package inventory");
        return 1;
    }
    if (qpm_lock(qpm.get()) != 0) {
        qlog(LL_ERROR, "failed to lock inventory");
        return 1;
    }
    if (!pqpm_become_root())
        return 1;
    qpm_recover(qpm.get());
    const int deleted = qpm_cleanup(qpm.get());
    if (deleted < 0) {
        pqpm_say("internal error on cleanup\n");
        return 1;
    }
    if (verbose > 0)
        pqpm_say("%d items have been deleted\n", deleted);
    qpm_close(std::move(qpm));
    return 0;
}

} // namespace qpm
