#include "install.h"

#include "cmdline.h"
#include "privilege.h"
#include "engine/backend.h"
#include "engine/confine.h"
#include "engine/deps.h"
#include "engine/hookexec.h"
#include "engine/install_run.h"
#include "engine/inventory.h"
#include "engine/pending.h"
#include "engine/search.h"
#include "util/globals.h"
#include "util/log.h"
#include "util/sysroot.h"
#include "util/text.h"

#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace qpm {
EkvaPtr pqpm_hookcmds_new() { return ekva_new(20, 3); }

QpmPtr pqpm_open_locked()
{
    QpmPtr qpm = qpm_open(nullptr, nullptr);
    if (!qpm) {
        qlog(LL_ERROR, "failed to open local package inventory");
        return nullptr;
    }
    if (qpm_lock(qpm.get()) != 0) {
        qlog(LL_ERROR, "failed to lock inventory");
        qpm_close(std::move(qpm));
        return nullptr;
    }
    // Root entirely from here on, package scripts included: root's groups
    // only, so nothing installed or recorded belongs to the caller's group.
    if (!pqpm_become_root())
        return nullptr;
    qpm_recover(qpm.get());
    return qpm;
}

void pqpm_recover_only()
{
    // Only a journal left by a stopped run is worth taking the lock for.
    if (::access((root_path(syspath::inventory) + "/pending").c_str(), F_OK) != 0)
        return;
    if (QpmPtr qpm = pqpm_open_locked())
        qpm_close(std::move(qpm));
}

void pqpm_request_options(const PqpmRun &run, std::optional<std::string> &variant,
                          std::optional<std::string> &version)
{
    // Variant and version speak of one package only.
    if (run.packages.size() == 1) {
        variant = optional_text(qpm_get_variant(run.options.get()));
        version = optional_text(qpm_get_version(run.options.get()));
    }
}

void pqpm_collect_hooks(EkvaPtr &hook_commands, const qpt &transaction, const std::string &name)
{
    if (!transaction.qpm_hookcmds)
        return;
    const int added = add_hookcmds(hook_commands, transaction.qpm_hookcmds.get());
    if (added > 0)
        pqpm_say("added %d hooks for %s\n", added, name.c_str());
}

void pqpm_finish(EkvaPtr &hook_commands)
{
    // Hook commands run after the inventory was closed, confined to the
    // system root like the packages' own scripts.
    const int hooks = hook_commands ? ekva_nument(hook_commands.get()) : 0;
    if (hooks > 0) {
        pqpm_say("executing %d hooks\n", hooks);
        const CmdRunner previous =
            qpm_hook_runner_set([](const std::string &command) { return qpm_run_command(nullptr, command); });
        qpm_exe_hooks(hook_commands.get());
        qpm_hook_runner_set(previous);
        // They are done: out of the journal, under the lock again. Should
        // another run hold it now, that run completes them (once more).
        std::vector<PendingStep> done;
        for (const EkvaEntry &entry : hook_commands->entries())
            if (entry.value)
                done.push_back({PendingKind::Hook, entry.key, *entry.value, ""});
        QpmPtr qpm = qpm_open(nullptr, nullptr);
        if (qpm && qpm_lock(qpm.get()) == 0)
            pending_done_all(qpm.get(), done);
        qpm_close(std::move(qpm));
    }
    ekva_free(hook_commands);
    qpm_cache_free(&qpc_cache);
}

int pqpm_install(PqpmRun &run, EkvaPtr &hook_commands)
{
    CatalogueSession catalogue(std::move(run.backend));
    if (run.packages.empty()) {
        qlog(LL_ERROR, "no package specified");
        return 1;
    }
    if (!catalogue.connect(run.configuration.get(), llog.get())) {
        qlog(LL_ERROR, "failed to connect to catalogue");
        return 1;
    }
    QpmPtr qpm = pqpm_open_locked();
    if (!qpm)
        return 1;
    std::optional<std::string> variant;
    std::optional<std::string> version;
    pqpm_request_options(run, variant, version);

    // A package that cannot be installed is reported and the run goes on
    // with the next; the run's status then says that not all went in.
    int status = 0;
    qpc_cache = qpm_qpc_cache_fill(catalogue.connection());
    for (size_t i = 0; i < run.packages.size(); ++i) {
        const std::string &name = run.packages[i];
        if (qpm_qpl_info(qpm.get(), name)) {
            pqpm_say("%s is already installed\n", name.c_str());
            continue;
        }
        QptPtr transaction;
        if (pqpm_refuse_unread(name, run.requests[i]) ||
            !qpm_pre_install(qpm.get(), catalogue.connection(), run.requests[i], variant, version, {}, transaction)) {
            pqpm_say("%s cannot be installed\n", name.c_str());
            status = 1;
            continue;
        }
        qlog(LL_INFO, "pqpm: installing %s", name.c_str());
        const int rc = qpm_exe_install(qpm.get(), *transaction, catalogue.connection(), verbose, run.fastclean);
        if (rc != 0) {
            pqpm_say("pqpm: failure installing %s, rc: %d\n", name.c_str(), rc);
            status = 1;
        } else {
            pqpm_say("pqpm: %s successfully installed\n", name.c_str());
        }
        pqpm_collect_hooks(hook_commands, *transaction, name);
        qpt_free(transaction);
    }

    catalogue.close();
    if (qpm_close(std::move(qpm)) != 0)
        status = 1;
    pqpm_finish(hook_commands);
    return status;
}

} // namespace qpm
