#include "engine/apply.h"

#include "engine/checks.h"
#include "engine/stage.h"
#include "engine/transaction.h"
#include "package/qpk_info.h"
#include "package/tree.h"
#include "ui/ui.h"
#include "util/files.h"
#include "util/log.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <cstring>
#include <string>

namespace qpm {
namespace {

// The configuration file at the system path `path` holds what `source`
// (this version's shipped copy) holds.
bool same_as_shipped(const std::string &path, const std::string &source)
{
    const std::optional<std::string> resolved = root_resolve(path);
    if (!resolved)
        return false;
    const std::optional<std::string> have = _read_file(root_path(*resolved));
    const std::optional<std::string> shipped = _read_file(source);
    return have && shipped && *have == *shipped;
}

} // namespace

int apply_install(const qpm_handle *qpm, const qpk_info &qpi, const StagedPackage &staged,
                  const StrArr &final_files, FileTransaction &files, bool talk)
{
    const PackagePaths &p = staged.paths;
    // Data files are moved out of the stage (the stage goes anyway);
    // configuration files are copied, the stage keeps them for the record.
    auto put_file = [&](const std::string &path, const char *tree, FileTransaction::How how) {
        const std::string source = strprintf("%s/%s%s", p.new_tree.c_str(), tree, path.c_str());
        const std::string target = root_path(path);
        qlog(LL_DEBUG, "qpm_install_qpk: copying %s to %s with backup of %s", source.c_str(), target.c_str(),
             p.backup.c_str());
        const long long copied = files.put(path, source, how);
        if (copied < 0) {
            qlog(LL_ERROR, "qpm_install_qpk: Failed to install %s to %s", source.c_str(), target.c_str());
            return false;
        }
        qlog(LL_DEBUG, "qpm_install_qpk: Copied %lld bytes from %s to %s", copied, source.c_str(), target.c_str());
        return true;
    };

    for (const std::string &path : final_files) {
        if (!put_file(path, "data", FileTransaction::How::Move))
            return -1;
    }
    for (const std::string &path : staged.files.conf) {
        qlog(LL_DEBUG, "qpm_install_qpk: checking for existence of %s", path.c_str());
        if (qpm_chk_conf_file(qpm, qpi.name, path, false) == ConfFileAction::InstallMissing) {
            if (talk)
                qlog(LL_INFO, "installing new config file %s", path.c_str());
            if (!put_file(path, "conf", FileTransaction::How::Copy))
                return -1;
        } else if (talk) {
            qlog(LL_INFO, "keeping existing config file %s", path.c_str());
        }
    }
    apply_links_and_modes(staged, files, StageFor::Install);
    return 0;
}

int apply_update(const qpm_handle *qpm, const qpk_info &qpi, const StagedPackage &staged,
                 const StrArr &delete_files, const StrArr &add_files, FileTransaction &files, bool talk)
{
    const PackagePaths &p = staged.paths;
    for (const std::string &path : delete_files) {
        qlog(LL_DEBUG, "qpm_update_qpk: Found %s to delete", path.c_str());
        int unlink_error = 0;
        const int rc = files.remove(path, &unlink_error);
        if (rc < 0) {
            qlog(LL_ERROR, "Failure backing up previous version of %s, will rollback and abort.", path.c_str());
            return -1;
        }
        if (rc == 0 && unlink_error != 0)
            qlog(LL_WARNING, "Failed to remove old file %s: %s, continuing", path.c_str(), std::strerror(unlink_error));
    }

    for (size_t i = 0; i < add_files.size(); ++i) {
        const std::string &path = add_files[i];
        qlog(LL_DEBUG, "qpm_update_qpk: Processing add_files[%d]", static_cast<int>(i));
        const std::string source = strprintf("%s/data%s", p.new_tree.c_str(), path.c_str());
        qlog(LL_DEBUG, "qpm_update_qpk: copying %s to %s with backup of %s", source.c_str(), path.c_str(),
             p.backup.c_str());
        const long long copied = files.put(path, source, FileTransaction::How::Move);
        if (copied < 0) {
            qlog(LL_ERROR, "Failure installing %s to %s", source.c_str(), path.c_str());
            return -1;
        }
        qlog(LL_DEBUG, "qpm_update_qpk: Copied %lld bytes from %s to %s", copied, source.c_str(), path.c_str());
    }

    auto install_conf = [&](const std::string &target, const std::string &source) {
        const long long copied = files.put(target, source, FileTransaction::How::Copy);
        if (copied < 0) {
            qlog(LL_ERROR, "qpm_update_qpk: Failed to install %s to %s", source.c_str(), target.c_str());
            return false;
        }
        qlog(LL_DEBUG, "qpm_update_qpk: Copied %lld bytes from %s to %s", copied, source.c_str(), target.c_str());
        return true;
    };
    for (const std::string &path : staged.files.conf) {
        const std::string source = strprintf("%s/conf%s", p.new_tree.c_str(), path.c_str());
        qlog(LL_DEBUG, "qpm_update_qpk: checking for existence of %s", path.c_str());
        const ConfFileAction action = qpm_chk_conf_file(qpm, qpi.name, path, true);
        if (action == ConfFileAction::InstallMissing) {
            if (talk)
                qlog(LL_INFO, "installing missing config file %s", path.c_str());
            if (!install_conf(path, source))
                return -1;
            continue;
        }
        qlog(LL_DEBUG, "qpm_update_qpk: config file %s already exists", path.c_str());
        if (action == ConfFileAction::KeepExisting) {
            qlog(LL_DEBUG, "qpm_update_qpk: keeping existing config");
            continue;
        }
        qlog(LL_DEBUG, "qpm_update_qpk: %s was shipped the last time", path.c_str());
        if (action == ConfFileAction::OverwriteUnmodified) {
            if (talk)
                qlog(LL_INFO, "overwriting unmodified config file %s", path.c_str());
            if (!install_conf(path, source))
                return -1;
            continue;
        }
        if (same_as_shipped(path, source)) {
            // Already this version's file (a stopped run wrote it): no
            // change of the administrator's to keep.
            if (!install_conf(path, source))
                return -1;
            continue;
        }
        if (talk)
            qlog(LL_INFO, "keeping modified config file %s", path.c_str());
        // The administrator's file stays; the new one waits beside it.
        const std::string beside = path + QPM_CONF_NEW_SUFFIX;
        if (!install_conf(beside, source))
            return -1;
        if (qpmui)
            qpmui_write_info(qpmui.get(),
                             strprintf("%s was changed locally: kept, the new version is %s\n", path.c_str(),
                                       beside.c_str()),
                             0);
    }
    apply_links_and_modes(staged, files, StageFor::Update);
    return 0;
}

void apply_links_and_modes(const StagedPackage &staged, FileTransaction &files, StageFor who)
{
    const bool install = who == StageFor::Install;
    const std::string &tree = staged.paths.new_tree;
    for (const std::string &file : staged.files.info) {
        if (file == "/link.txt") {
            if (install)
                qlog(LL_DEBUG, "qpm_install_qpk: Found link.txt, calling qpm_qpf_links");
            else
                qlog(LL_DEBUG, "qpm_update_qpk: Found link.txt, calling qpm_qpf_links");
            const int rc = files.make_links(tree + "/info/link.txt");
            if (install)
                qlog(LL_DEBUG, "qpm_install_qpk: rc of qpm_qpf_links: %d", rc);
            else
                qlog(LL_DEBUG, "qpm_update_qpk: rc of qpm_qpf_links: %d", rc);
        } else if (file == "/perm.txt") {
            if (install)
                qlog(LL_DEBUG, "qpm_install_qpk: Found perm.txt, calling qpm_qpf_perms");
            else
                qlog(LL_DEBUG, "qpm_update_qpk: Found perm.txt, calling qpm_qpf_perms");
            const int rc = qpm_qpf_perms(tree + "/info/perm.txt");
            if (install)
                qlog(LL_DEBUG, "qpm_install_qpk: rc of qpm_qpf_perms: %d", rc);
            else
                qlog(LL_DEBUG, "qpm_update_qpk: rc of qpm_qpf_perms: %d", rc);
        }
    }
}

} // namespace qpm
