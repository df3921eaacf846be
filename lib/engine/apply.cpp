#include "engine/apply.h"

#include "engine/checks.h"
#include "engine/stage.h"
#include "engine/transaction.h"
#include "package/qpk_info.h"
#include "package/tree.h"
#include "util/log.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <cstring>

namespace qpm {

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
    apply_links_and_modes(staged, files, "qpm_install_qpk");
    return 0;
}

void apply_links_and_modes(const StagedPackage &staged, FileTransaction &files, const char *who)
{
    const std::string &tree = staged.paths.new_tree;
    for (const std::string &file : staged.files.info) {
        if (file == "/link.txt") {
            qlog(LL_DEBUG, "%s: Found link.txt, calling qpm_qpf_links", who);
            const int rc = files.make_links(tree + "/info/link.txt");
            qlog(LL_DEBUG, "%s: rc of qpm_qpf_links: %d", who, rc);
        } else if (file == "/perm.txt") {
            qlog(LL_DEBUG, "%s: Found perm.txt, calling qpm_qpf_perms", who);
            const int rc = qpm_qpf_perms(tree + "/info/perm.txt");
            qlog(LL_DEBUG, "%s: rc of qpm_qpf_perms: %d", who, rc);
        }
    }
}

} // namespace qpm
