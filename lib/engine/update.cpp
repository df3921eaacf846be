#include "engine/update.h"

#include "engine/actionlog.h"
#include "engine/apply.h"
#include "engine/checks.h"
#include "engine/deps.h"
#include "engine/pending.h"
#include "engine/register.h"
#include "engine/scripts.h"
#include "engine/search.h"
#include "engine/stage.h"
#include "engine/transaction.h"
#include "package/qpk_info.h"
#include "ui/progress.h"
#include "util/faultpoint.h"
#include "util/globals.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/rootfs.h"

#include <utility>

namespace qpm {

int qpm_update_qpk(qpm_handle *qpm, qpt &record, const qpk_info *installed_info, const qpk_info *new_info,
                   int verbose)
{
    have_so = 0;
    if (!qpm || !installed_info || !new_info)
        return -1;
    const ProgressPackage progress(new_info->name, new_info->version, new_info->data_size);
    const bool talk = verbose > 0;
    StagedPackage staged;
    if (const int rc = stage_package(qpm, *new_info, StageFor::Update, talk, staged); rc != 0)
        return rc;
    StageDirectory stage(staged.paths.stage_dir);
    const StrArr old_files = qpm_qpl_file_list(qpm, installed_info);

    if (in_array(staged.files.init, "/00-add.sh")) {
        qlog(LL_DEBUG, "qpm_update_qpk: Found pre-install script, will execute");
        if (const int rc = run_stage_script(qpm, staged, "00-add.sh", installed_info, *new_info, StageFor::Update, talk); rc != 0) {
            qlog(LL_ERROR, "Pre-Install script ended with errors, aborting update");
            return rc;
        }
        qlog(LL_DEBUG, "qpm_update_qpk: pre-install script successfully executed");
    }

    StrArr delete_files;
    StrArr add_files;
    RootDirs system; // looked through once: by the check, then by the writes
    if (const int rc = qpm_chk_local_update(qpm, old_files, staged.files.data, delete_files, add_files, system);
        rc != 0) {
        qlog(LL_ERROR, "Failure processing update, rc=%d", rc);
        return rc;
    }
    if (talk)
        qlog(LL_INFO, "updating %s", staged.paths.puname.c_str());

    FileTransaction files(staged.paths.backup, std::move(system));
    if (apply_update(qpm, *new_info, staged, delete_files, add_files, files, talk) != 0 ||
        fault_point("update:apply"))
        return -1;

    qlog(LL_DEBUG, "qpm_update_qpk: Looking for post-install script");
    if (in_array(staged.files.init, "/99-add.sh")) {
        qlog(LL_DEBUG, "qpm_update_qpk: Found post-install script, will execute");
        if (run_stage_script(qpm, staged, "99-add.sh", installed_info, *new_info, StageFor::Update, talk) != 0) {
            qlog(LL_ERROR, "Post-Install script ended with errors, aborting update");
            return -1;
        }
    }

    const StrArr configure = configure_commands(qpm, *new_info, staged, add_files, StageFor::Update);
    const std::vector<PendingStep> owed = steps_after_registration(
        *new_info, qpm_log_sentence(QPM_LOG_UPDATE, qpk_puname(*installed_info), staged.paths.puname, std::nullopt),
        configure);
    if (!pending_add(qpm, owed))
        return -1;
    ScopeGuard unowe([&] { pending_done_all(qpm, owed); });
    if (register_update(*installed_info, staged, add_files, files) != 0)
        return -1;
    files.commit();
    unowe.dismiss();
    finish_update_record(staged, add_files);
    if (fault_point("update:registered") || !sync_registered(qpm, SyncWhen::BatchFull))
        return -1;

    if (have_so) {
        qlog(LL_DEBUG, "qpm_update_qpk: calling ldconfig");
        refresh_library_cache();
        pending_done(qpm, {PendingKind::Ldconfig, new_info->name, "", ""});
    }
    queue_configure(record, new_info->name, configure);
    return 0;
}

} // namespace qpm
