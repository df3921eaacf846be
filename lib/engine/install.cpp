#include "engine/install.h"

#include "engine/actionlog.h"
#include "engine/apply.h"
#include "engine/checks.h"
#include "engine/deps.h"
#include "engine/pending.h"
#include "engine/register.h"
#include "engine/stage.h"
#include "engine/transaction.h"
#include "package/qpk_info.h"
#include "package/filecopy.h"
#include "package/tree.h"
#include "ui/progress.h"
#include "util/faultpoint.h"
#include "util/files.h"
#include "util/globals.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/rootfs.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <unistd.h>
#include <utility>

namespace qpm {

int qpm_install_qpk(qpm_handle *qpm, qpt &record, const qpk_info *qpi, const std::string &head, int verbose)
{
    have_so = 0;
    if (!qpm || !qpi)
        return -1;
    const ProgressPackage progress(qpi->name, qpi->version, qpi->data_size);
    const bool talk = verbose > 0;
    StagedPackage staged;
    if (const int rc = stage_package(qpm, *qpi, StageFor::Install, talk, staged); rc != 0)
        return rc;
    StageDirectory stage(staged.paths.stage_dir);
    if (fault_point("install:stage"))
        return -1;

    qlog(LL_DEBUG, "qpm_install_qpk: Looking for pre-install script");
    if (in_array(staged.files.init, "/00-add.sh")) {
        qlog(LL_DEBUG, "qpm_install_qpk: Found pre-install script, will execute");
        if (const int rc = run_stage_script(qpm, staged, "00-add.sh", nullptr, *qpi, StageFor::Install, talk); rc != 0) {
            qlog(LL_ERROR, "qpm_install_qpk: pre-install script got an error, aborting");
            return rc;
        }
        qlog(LL_DEBUG, "qpm_install_qpk: pre-install script successfully executed");
    }

    StrArr final_files;
    RootDirs system; // looked through once: by the check, then by the writes
    if (!staged.files.data.empty()) {
        if (const int rc = qpm_chk_local_insert(qpm, staged.files.data, final_files, system); rc != 0) {
            qlog(LL_ERROR, "qpm_install_qpk: Aborting");
            return rc;
        }
    }
    if (talk)
        qlog(LL_INFO, "installing %s", staged.paths.puname.c_str());

    FileTransaction files(staged.paths.backup, std::move(system));
    if (apply_install(qpm, *qpi, staged, final_files, files, talk) != 0 || fault_point("install:apply"))
        return -1;

    qlog(LL_DEBUG, "qpm_install_qpk: Looking for post-install script");
    if (in_array(staged.files.init, "/99-add.sh")) {
        qlog(LL_DEBUG, "qpm_install_qpk: Found post-install script, will execute");
        if (const int rc = run_stage_script(qpm, staged, "99-add.sh", nullptr, *qpi, StageFor::Install, talk); rc != 0) {
            qlog(LL_ERROR, "qpm_install_qpk: post-install script got an error, aborting");
            return rc;
        }
        qlog(LL_DEBUG, "qpm_install_qpk: post-install script successfully executed");
    }

    if (fault_point("install:scripts"))
        return -1;
    // What is owed once the package is registered goes into the journal
    // first: a run stopped after the registration leaves it to the next.
    const StrArr configure = configure_commands(qpm, *qpi, staged, final_files, StageFor::Install);
    const std::optional<std::string> needing = head != qpi->name ? std::optional<std::string>(head) : std::nullopt;
    const std::vector<PendingStep> owed = steps_after_registration(
        *qpi, qpm_log_sentence(QPM_LOG_INSTALL, std::nullopt, staged.paths.puname, needing), configure);
    if (!pending_add(qpm, owed))
        return -1;
    ScopeGuard unowe([&] { pending_done_all(qpm, owed); });
    if (register_install(*qpi, staged, head, final_files, files) != 0 || fault_point("install:register"))
        return -1;
    files.commit();
    unowe.dismiss();
    if (fault_point("install:registered") || !sync_registered(qpm, SyncWhen::BatchFull))
        return -1;

    if (have_so) {
        qlog(LL_DEBUG, "qpm_install_qpk: calling ldconfig");
        refresh_library_cache();
        pending_done(qpm, {PendingKind::Ldconfig, qpi->name, "", ""});
    }
    queue_configure(record, qpi->name, configure);
    return 0;
}

int qpm_install_rollback(const StrArr &files, const std::string &backup_tree)
{
    // Each path is reached inside the system root again: a link made since
    // the file was written leads nowhere else.
    for (const std::string &file : files) {
        qlog(LL_DEBUG, "qpm_install_rollback: removing %s", file.c_str());
        const std::optional<std::string> path = system_path_of(file);
        if (const std::optional<ParentDir> parent = path ? ParentDir::open(*path) : std::nullopt)
            ::unlinkat(parent->fd(), parent->name().c_str(), 0);
    }
    FilePtr index = fopen_cloexec(strprintf("%s/index.txt", backup_tree.c_str()), "r");
    if (!index) {
        qlog(LL_INFO, "qpm_install_rollback: no files to restore registered");
        return 0;
    }
    int result = 0;
    std::string path; // a system path
    while (fgets_line(index.get(), path)) {
        if (path.empty())
            continue;
        qlog(LL_DEBUG, "qpm_install_rollback: Found %s to restore", path.c_str());
        // The backup of PATH is BASE+PATH, whole: no truncated name.
        const std::string saved = backup_tree + path;
        qlog(LL_DEBUG, "qpm_install_rollback: Copying %s to %s", saved.c_str(), path.c_str());
        const std::optional<ParentDir> parent = path.front() == '/' ? ParentDir::open(path, true) : std::nullopt;
        if (!parent ||
            qpm_qpf_copy(FileAt{parent->fd(), parent->name(), root_path(path)}, saved, std::nullopt, 1) < 0) {
            qlog(LL_ERROR,
                 "qpm_install_rollback: Failure restoring %s, you're in deep shit. We still try to do the rest.",
                 path.c_str());
            result = -1;
        }
    }
    qlog(LL_ERROR, "qpm_install_rollback: finished");
    return result;
}

} // namespace qpm
