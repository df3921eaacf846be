#include "engine/stage.h"

#include "engine/checks.h"
#include "engine/inventory.h"
#include "package/dirs.h"
#include "package/qpf.h"
#include "package/qpk_info.h"
#include "package/tree.h"
#include "util/files.h"
#include "util/log.h"
#include "util/strfmt.h"

#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <strings.h>
#include <unistd.h>

namespace qpm {
namespace {

// A stage emptied down to its fixed directories, kept in the stage area
// for the next package of the run: making and removing them for every
// package is most of what a stage costs the file system beyond the files.
constexpr const char *SPARE_STAGE = ".stage.spare";

std::string spare_beside(const std::string &stage_dir)
{
    return stage_dir.substr(0, stage_dir.rfind('/') + 1) + SPARE_STAGE;
}

// The directories below "new" that every unpacking makes.
bool kept_in_new(std::string_view name) { return name == "data" || name == "info" || name == "hash"; }

// Empties the stage `path` down to "new" (with its fixed directories) and
// "old". False when anything else is left or one of the two is missing.
bool empty_stage(const std::string &path)
{
    const std::optional<DirNames> top = list_directory(path);
    if (!top)
        return false;
    bool emptied = true;
    int kept = 0;
    for (const DirName &entry : top->entries) {
        const std::string child = path + "/" + entry.name;
        if (entry.name == "old") {
            emptied &= qpm_qpf_empty_dir(child) == 0;
            ++kept;
            continue;
        }
        if (entry.name != "new") {
            emptied &= qpm_qpf_rmdir(child) == 0;
            continue;
        }
        const std::optional<DirNames> inside = list_directory(child);
        if (!inside)
            return false;
        for (const DirName &sub : inside->entries) {
            const std::string below = child + "/" + sub.name;
            if (!kept_in_new(sub.name) || qpm_qpf_empty_dir(below) != 0)
                emptied &= qpm_qpf_rmdir(below) == 0;
        }
        ++kept;
    }
    return emptied && kept == 2;
}

// Keeps the emptied stage `path` as the spare; removes it whole when it
// cannot be emptied or a spare is there already.
void retire_stage(const std::string &path)
{
    if (!empty_stage(path) ||
        ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, spare_beside(path).c_str(), RENAME_NOREPLACE) != 0)
        qpm_qpf_rmdir(path);
}

// The stage directory `stage_dir` with its "new" and "old", taken from
// the spare where there is one. False when they could not be made.
bool make_stage(const PackagePaths &p)
{
    if (::renameat2(AT_FDCWD, spare_beside(p.stage_dir).c_str(), AT_FDCWD, p.stage_dir.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    return qpm_qpf_mkdir(p.new_tree, 0755) == 0 && qpm_qpf_mkdir(p.backup, 0755) == 0;
}

bool same_identity(const qpk_info &a, const qpk_info &b)
{
    return a.name == b.name && a.variant == b.variant && a.version == b.version &&
           a.architecture == b.architecture;
}

const char *who_name(StageFor who) { return who == StageFor::Install ? "qpm_install_qpk" : "qpm_update_qpk"; }

// The first description attribute in which two package records differ;
// null when they agree in every field a description carries (the signature
// attributes are not part of the signed copy).
const char *first_difference(const qpk_info &a, const qpk_info &b)
{
    if (a.name != b.name)
        return "eqpkName";
    if (a.variant != b.variant)
        return "eqpkVariant";
    if (a.version != b.version)
        return "eqpkVersion";
    if (a.architecture != b.architecture)
        return "eqpkArchitecture";
    if (a.creator != b.creator)
        return "eqpkCreator";
    if (a.description != b.description)
        return "eqpkDescription";
    if (a.dependencies != b.dependencies)
        return "eqpkDependency";
    if (a.data_size != b.data_size)
        return "eqpkDataSize";
    if (a.file_hash != b.file_hash)
        return "eqpkFileHash";
    return nullptr;
}

// The header description of the staged file, checked against the signed
// copy in the payload (info/desc.txt), which decides: every field they
// share must agree, and the package chosen (whose dependencies were
// resolved) must be the one signed. A package without the signed copy is
// taken only when the configuration allows unsigned headers. Returns the
// header's LDIF text, or nullopt when the package is refused.
std::optional<std::string> checked_description(const qpm_handle *qpm, const qpk_info &qpi, const PackagePaths &p,
                                               const StrArr &info, StageFor who, QpfHeader &header)
{
    const char *fn = who_name(who);
    if (!header.qpi)
        return std::nullopt;
    if (!same_identity(*header.qpi, qpi)) {
        qlog(LL_ERROR, "%s: %s is not the package %s that was chosen", fn, p.staged.c_str(), p.puname.c_str());
        return std::nullopt;
    }
    if (!in_array(info, "/desc.txt")) {
        if (qpm->unsigned_header) {
            qlog(LL_WARNING, "%s: %s has no signed description, taking its header (qpm_unsigned_header=yes)", fn,
                 p.staged.c_str());
            return std::move(header.description);
        }
        qlog(LL_ERROR, "%s: %s has no signed description (info/desc.txt), refusing it; "
             "qpm_unsigned_header=yes in qpm.conf accepts such packages", fn, p.staged.c_str());
        return std::nullopt;
    }

    const std::string signed_path = p.new_tree + "/info/desc.txt";
    const std::optional<std::string> text = _read_file(signed_path);
    QpiPtr signed_qpi = text ? qpk_info_parse(signed_path, QPK_KIND_FILE, *text) : nullptr;
    if (!signed_qpi) {
        qlog(LL_ERROR, "%s: The signed description of %s cannot be read, refusing it", fn, p.staged.c_str());
        return std::nullopt;
    }
    // The signed copy carries no signature attributes: compare without them.
    header.qpi->signer_subject.reset();
    header.qpi->signature.clear();
    const char *field = first_difference(*header.qpi, *signed_qpi);
    if (!field && qpi.dependencies != signed_qpi->dependencies)
        field = "eqpkDependency"; // the dependencies resolved were not the signed ones
    if (field) {
        qlog(LL_ERROR, "%s: %s of %s differs from its signed description (info/desc.txt), refusing it", fn, field,
             p.staged.c_str());
        return std::nullopt;
    }
    return std::move(header.description);
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
    if (qpm_qpf_rmdir(p.stage_dir) != 0 || !make_stage(p)) {
        qlog(LL_ERROR, "%s: Failed to prepare %s", fn, p.stage_dir.c_str());
        qpm_qpf_rmdir(p.stage_dir);
        return -1;
    }
    // A package that fails to unpack or verify leaves nothing behind: a
    // partial tree could fill the disk for every later run.
    StageDirectory unstaged(p.stage_dir);

    if (talk)
        qlog(LL_INFO, "unpacking %s.qpk", p.puname.c_str());
    QpfUnpacked unpacked;
    const int rc = qpm_qpf_unpack(qpm, p.staged, p.new_tree, 1, unpacked);
    if (rc != 0) {
        if (who == StageFor::Install)
            qlog(LL_ERROR, "qpm_install_qpk: Failure unpacking %s to %s", p.staged.c_str(), p.new_tree.c_str());
        else
            qlog(LL_ERROR, "qpm_update_qpk: Failure unpacking %s to %s", p.staged.c_str(), p.new_tree.c_str());
    }
    // The catalogue's (or the command line's) reading of the file decided
    // what to install: the file unpacked must be that one.
    const bool changed = !unpacked.file_hash.empty() && qpi.file_hash && !qpi.file_hash->empty() &&
                         strcasecmp(qpi.file_hash->c_str(), unpacked.file_hash.c_str()) != 0;
    if (changed) {
        qlog(LL_ERROR, "%s: %s changed since it was read, refusing it", fn,
             qpi.absolute_uri.value_or(p.staged).c_str());
        ::unlink(p.staged.c_str()); // of no use to a later run either
    }
    if (rc != 0 || changed)
        return rc != 0 ? rc : -1;

    if (talk)
        qlog(LL_INFO, "verifying %s", p.puname.c_str());
    PackageFiles &f = out.files;
    if (const int rc = qpm_chk_all_files(p.new_tree, f.data, f.info, f.init, f.conf, f.dump, &unpacked.files);
        rc != 0) {
        if (who == StageFor::Install)
            qlog(LL_ERROR, "qpm_install_qpk: Failure checking info files for %s in %s", p.staged.c_str(),
                 p.new_tree.c_str());
        else
            qlog(LL_ERROR, "qpm_update_qpk: Failure checking files for %s in %s", p.staged.c_str(),
                 p.new_tree.c_str());
        return rc;
    }
    std::optional<std::string> description = checked_description(qpm, qpi, p, f.info, who, unpacked.header);
    if (!description)
        return -1;
    out.description = std::move(*description);
    unstaged.keep();
    return 0;
}

StageDirectory::~StageDirectory()
{
    if (!m_keep)
        retire_stage(m_path);
}

void drop_spare_stage(const qpm_handle *qpm)
{
    if (!qpm->dirs.stagearea.empty())
        qpm_qpf_rmdir(qpm->dirs.stagearea + "/" + SPARE_STAGE);
}

} // namespace qpm
