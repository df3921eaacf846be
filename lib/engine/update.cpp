#include "engine/update.h"

#include "engine/apply.h"
#include "engine/checks.h"
#include "engine/deps.h"
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

#include <string_view>

namespace qpm {
namespace {

int run_update_script(qpm_handle *qpm, const StagedPackage &staged, const qpk_info &old_qpi,
                      const qpk_info &new_qpi, const char *script, bool talk)
{
    const bool pre = script == std::string_view("00-add.sh");
    const std::string command =
        stage_script_line(staged.paths, pre ? ScriptMode::Update : ScriptMode::UpdatePost, script);
    qlog(LL_DEBUG, "qpm_update_qpk: cmdline: %s", command.c_str());
    if (talk && pre)
        qlog(LL_INFO, "executing pre-install script for %s", staged.paths.puname.c_str());
    else if (talk)
        qlog(LL_INFO, "executing post-install script for %s", staged.paths.puname.c_str());
    return run_package_script(qpm, script, command, &old_qpi, &new_qpi);
}

void queue_configure(const qpm_handle *qpm, qpt &record, const qpk_info &qpi, const StagedPackage &staged,
                     const StrArr &add_files)
{
    if (!record.scripts)
        record.scripts = ekva_new(10, 3);
    if (in_array(staged.files.init, "/99-cfg.sh")) {
        ekva_addval(record.scripts, qpi.name, "99-cfg.sh", EKVA_APPEND);
        qlog(LL_DEBUG, "qpm_update_qpk: Found 99-cfg, registered");
    }
    for (const std::string &command : configure_hooks(qpm, qpi, add_files, staged.files)) {
        ekva_addval(record.scripts, qpi.name, command, EKVA_APPEND);
        qlog(LL_DEBUG, "qpm_update_qpk: Adding hook command: <%s>", command.c_str());
    }
}

} // namespace

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
        if (const int rc = run_update_script(qpm, staged, *installed_info, *new_info, "00-add.sh", talk); rc != 0) {
            qlog(LL_ERROR, "Pre-Install script ended with errors, aborting update");
            return rc;
        }
        qlog(LL_DEBUG, "qpm_update_qpk: pre-install script successfully executed");
    }

    StrArr delete_files;
    StrArr add_files;
    if (const int rc = qpm_chk_local_update(qpm, old_files, staged.files.data, delete_files, add_files); rc != 0) {
        qlog(LL_ERROR, "Failure processing update, rc=%d", rc);
        return rc;
    }
    if (talk)
        qlog(LL_INFO, "updating %s", staged.paths.puname.c_str());

    FileTransaction files(staged.paths.backup);
    if (apply_update(qpm, *new_info, staged, delete_files, add_files, files, talk) != 0 ||
        fault_point("update:apply"))
        return -1;

    qlog(LL_DEBUG, "qpm_update_qpk: Looking for post-install script");
    if (in_array(staged.files.init, "/99-add.sh")) {
        qlog(LL_DEBUG, "qpm_update_qpk: Found post-install script, will execute");
        if (run_update_script(qpm, staged, *installed_info, *new_info, "99-add.sh", talk) != 0) {
            qlog(LL_ERROR, "Post-Install script ended with errors, aborting update");
            return -1;
        }
    }

    if (register_update(*installed_info, staged, add_files, files) != 0)
        return -1;
    files.commit();
    finish_update_record(staged, add_files);

    if (have_so) {
        qlog(LL_DEBUG, "qpm_update_qpk: calling ldconfig");
        refresh_library_cache();
    }
    queue_configure(qpm, record, *new_info, staged, add_files);
    return 0;
}

} // namespace qpm
