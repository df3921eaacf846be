#include "engine/stage.h"

#include "engine/checks.h"
#include "engine/inventory.h"
#include "package/qpf.h"
#include "package/qpk_info.h"
#include "package/tree.h"
#include "util/files.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strfmt.h"

#include <cerrno>
#include <cstring>
#include <optional>

namespace qpm {
namespace {

bool same_identity(const qpk_info &a, const qpk_info &b)
{
    return a.name == b.name && a.variant == b.variant && a.version == b.version &&
           a.architecture == b.architecture;
}

const char *who_name(StageFor who) { return who == StageFor::Install ? "qpm_install_qpk" : "qpm_update_qpk"; }

// The header description of the staged file. Its name, variant, version and
// architecture are not signed: they must be those of the package that was
// chosen and those of the signed copy in the payload (info/desc.txt).
// Returns the header's LDIF text, or nullopt when the package is refused.
std::optional<std::string> checked_description(const qpk_info &qpi, const PackagePaths &p, const StrArr &info,
                                               StageFor who)
{
    const char *fn = who_name(who);
    FilePtr file = fopen_cloexec(p.staged, "rb");
    if (!file) {
        qlog(LL_ERROR, "%s: Failed to open %s for reading: %s", fn, p.staged.c_str(), std::strerror(errno));
        return std::nullopt;
    }
    std::optional<QpfHeader> header = qpm_qpf_read_header(file.get(), p.staged);
    if (!header || !header->qpi)
        return std::nullopt;
    if (!same_identity(*header->qpi, qpi)) {
        qlog(LL_ERROR, "%s: %s is not the package %s that was chosen", fn, p.staged.c_str(), p.puname.c_str());
        return std::nullopt;
    }
    if (!in_array(info, "/desc.txt"))
        return std::move(header->description);

    const std::string signed_path = p.new_tree + "/info/desc.txt";
    const std::optional<std::string> text = _read_file(signed_path);
    QpiPtr signed_qpi = text ? qpk_info_parse(signed_path, QPK_KIND_FILE, *text) : nullptr;
    if (!signed_qpi || !same_identity(*signed_qpi, *header->qpi)) {
        qlog(LL_ERROR, "%s: The description of %s differs from its signed copy, refusing it", fn,
             p.staged.c_str());
        return std::nullopt;
    }
    return std::move(header->description);
}

} // namespace

bool package_paths(const qpm_handle *qpm, const qpk_info &qpi, PackagePaths &p)
{
    const InventoryDirs &d = qpm->dirs;
    if (d.stagearea.empty() || d.installed.empty() || d.fileindex.empty() || d.scriptdir.empty())
        return false;
    const char *name = qpi.name.c_str();
    p.name = qpi.name;
    p.puname = qpk_puname(qpi);
    p.staged = strprintf("%s/%s.qpk", d.stagearea.c_str(), p.puname.c_str());
    p.stage_dir = strprintf("%s/%s", d.stagearea.c_str(), p.puname.c_str());
    p.new_tree = p.stage_dir + "/new";
    p.backup = p.stage_dir + "/old";
    p.scriptdir = d.scriptdir;
    p.package_dir = strprintf("%.1000s/%.1000s", d.installed.c_str(), name);
    p.file_index = strprintf("%s/%s", d.fileindex.c_str(), name);
    p.old_record = strprintf("%.1000s/.%.1000s.old", d.installed.c_str(), name);
    p.new_record = strprintf("%.1000s/.%.1000s.new", d.installed.c_str(), name);
    p.old_index = strprintf("%s/.%s.old", d.fileindex.c_str(), name);
    p.new_index = strprintf("%s/.%s.new", d.fileindex.c_str(), name);
    return true;
}

int stage_package(const qpm_handle *qpm, const qpk_info &qpi, StageFor who, bool talk, StagedPackage &out)
{
    const char *fn = who_name(who);
    if (!package_paths(qpm, qpi, out.paths)) {
        qlog(LL_ERROR, "%s: inventory directories are not set", fn);
        return -1;
    }
    const PackagePaths &p = out.paths;
    if (who == StageFor::Install)
        qlog(LL_DEBUG, "qpm_install_qpk: Will unpack %s to %s", p.staged.c_str(), p.new_tree.c_str());
    else
        qlog(LL_DEBUG, "qpm_update_qpk: Will unpack %s to %s", p.staged.c_str(), p.new_tree.c_str());
    // What an earlier, interrupted run left here must not be taken for
    // part of this package.
    if (qpm_qpf_rmdir(p.stage_dir) != 0 || qpm_qpf_mkdir(p.new_tree, 0755) != 0 ||
        qpm_qpf_mkdir(p.backup, 0755) != 0) {
        qlog(LL_ERROR, "%s: Failed to prepare %s", fn, p.stage_dir.c_str());
        return -1;
    }

    if (talk)
        qlog(LL_INFO, "unpacking %s.qpk", p.puname.c_str());
    if (const int rc = qpm_qpf_extract(qpm, p.staged, p.new_tree, 1); rc != 0) {
        if (who == StageFor::Install)
            qlog(LL_ERROR, "qpm_install_qpk: Failure unpacking %s to %s", p.staged.c_str(), p.new_tree.c_str());
        else
            qlog(LL_ERROR, "qpm_update_qpk: Failure unpacking %s to %s", p.staged.c_str(), p.new_tree.c_str());
        return rc;
    }

    if (talk)
        qlog(LL_INFO, "verifying %s", p.puname.c_str());
    PackageFiles &f = out.files;
    if (const int rc = qpm_chk_all_files(p.new_tree, f.data, f.info, f.init, f.conf, f.dump); rc != 0) {
        if (who == StageFor::Install)
            qlog(LL_ERROR, "qpm_install_qpk: Failure checking info files for %s in %s", p.staged.c_str(),
                 p.new_tree.c_str());
        else
            qlog(LL_ERROR, "qpm_update_qpk: Failure checking files for %s in %s", p.staged.c_str(),
                 p.new_tree.c_str());
        return rc;
    }
    std::optional<std::string> description = checked_description(qpi, p, f.info, who);
    if (!description)
        return -1;
    out.description = std::move(*description);
    return 0;
}

StageDirectory::~StageDirectory()
{
    if (!m_keep)
        qpm_qpf_rmdir(m_path);
}

} // namespace qpm
