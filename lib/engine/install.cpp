#include "engine/install.h"

#include "engine/checks.h"
#include "engine/confine.h"
#include "engine/deps.h"
#include "engine/hookexec.h"
#include "engine/inventory.h"
#include "engine/search.h"
#include "package/qpf.h"
#include "package/qpk_info.h"
#include "package/tree.h"
#include "record/ldif.h"
#include "ui/progress.h"
#include "util/files.h"
#include "util/globals.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

constexpr size_t SCRIPTENV_NAME_MAX = 32;

// The working paths of one package (see the inventory layout).
struct InstallPaths {
    std::string puname;
    std::string staged;     // STAGEAREA/PUNAME.qpk
    std::string stage_dir;  // STAGEAREA/PUNAME
    std::string new_tree;   // STAGEAREA/PUNAME/new
    std::string backup;     // STAGEAREA/PUNAME/old
    std::string scriptdir;
    std::string package_dir; // INSTALLED/NAME
    std::string file_index;  // FILEINDEX/NAME
};

std::optional<InstallPaths> install_paths(const qpm_handle *qpm, const qpk_info &qpi)
{
    const Ekva *dirs = qpm->dirs.get();
    const char *stagearea = ekva_getval(dirs, "stagearea");
    const char *installed = ekva_getval(dirs, "installed");
    const char *fileindex = ekva_getval(dirs, "fileindex");
    const char *scriptdir = ekva_getval(dirs, "scriptdir");
    if (!stagearea || !installed || !fileindex || !scriptdir)
        return std::nullopt;
    InstallPaths p;
    p.puname = qpk_puname(qpi);
    p.staged = strprintf("%s/%s.qpk", stagearea, p.puname.c_str());
    p.stage_dir = strprintf("%s/%s", stagearea, p.puname.c_str());
    p.new_tree = p.stage_dir + "/new";
    p.backup = p.stage_dir + "/old";
    p.scriptdir = scriptdir;
    p.package_dir = strprintf("%s/%s", installed, qpi.name.c_str());
    p.file_index = strprintf("%s/%s", fileindex, qpi.name.c_str());
    return p;
}

bool same_identity(const qpk_info &a, const qpk_info &b)
{
    return a.name == b.name && a.variant == b.variant && a.version == b.version &&
           a.architecture == b.architecture;
}

// The header description of the staged file. Its name, variant, version and
// architecture are not signed: they must be those of the package that was
// chosen and those of the signed copy in the payload (info/desc.txt).
// Returns the header's LDIF text, or nullopt when the package is refused.
std::optional<std::string> checked_description(const qpk_info &qpi, const InstallPaths &p, const StrArr &info)
{
    FilePtr file = fopen_cloexec(p.staged, "rb");
    if (!file) {
        qlog(LL_ERROR, "qpm_install_qpk: Failed to open %s for reading: %s", p.staged.c_str(), std::strerror(errno));
        return std::nullopt;
    }
    std::optional<QpfHeader> header = qpm_qpf_read_header(file.get(), p.staged);
    if (!header || !header->qpi)
        return std::nullopt;
    if (!same_identity(*header->qpi, qpi)) {
        qlog(LL_ERROR, "qpm_install_qpk: %s is not the package %s that was chosen", p.staged.c_str(),
             p.puname.c_str());
        return std::nullopt;
    }
    if (!in_array(info, "/desc.txt"))
        return std::move(header->description);

    const std::string signed_path = p.new_tree + "/info/desc.txt";
    const std::optional<std::string> text = _read_file(signed_path);
    QpiPtr signed_qpi = text ? qpk_info_parse(signed_path, QPK_KIND_FILE, *text) : nullptr;
    if (!signed_qpi || !same_identity(*signed_qpi, *header->qpi)) {
        qlog(LL_ERROR, "qpm_install_qpk: The description of %s differs from its signed copy, refusing it",
             p.staged.c_str());
        return std::nullopt;
    }
    return std::move(header->description);
}

std::string scripted_line(const InstallPaths &p, const char *script)
{
    const std::string sv = root_view(p.scriptdir);
    const std::string nv = root_view(p.new_tree);
    return strprintf("cd %s && PATH=%s QPM_MODE=INSTALL QPK_STAGE_NEW=%s %s/ash %s/init/%s", sv.c_str(), sv.c_str(),
                     nv.c_str(), sv.c_str(), nv.c_str(), script);
}

bool exists_nofollow(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Copies the files of one tree of the new package into the package
// directory (TREE/<path> -> DEST/<path>).
bool copy_tree_files(const std::string &new_tree, const char *tree, const StrArr &files, const std::string &dest,
                     int mode)
{
    const std::string source_root = strprintf("%s/%s", new_tree.c_str(), tree);
    for (const std::string &file : files) {
        if (qpm_qpf_copy(dest + file, source_root + file, std::nullopt, mode) < 0)
            return false;
    }
    return true;
}

bool copy_hash_list(const InstallPaths &p, const char *tree)
{
    return qpm_qpf_copy(strprintf("%s/hash/%s.txt", p.package_dir.c_str(), tree),
                        strprintf("%s/hash/%s.txt", p.new_tree.c_str(), tree), std::nullopt, 0755) >= 0;
}

bool write_text(const std::string &path, const std::string &text)
{
    FilePtr file = fopen_cloexec(path, "w");
    if (!file)
        return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    return std::fclose(file.release()) == 0 && written;
}

bool write_file_index(const std::string &path, const StrArr &files)
{
    size_t size = 0;
    for (const std::string &file : files)
        size += file.size() + 1;
    std::string text;
    text.reserve(size);
    for (const std::string &file : files) {
        text += file;
        text += '\n';
    }
    return write_text(path, text);
}

bool write_install_record(const std::string &path, const std::string &name, const std::string &head)
{
    FilePtr file = fopen_cloexec(path, "w");
    if (!file)
        return false;
    bool written = ldif_fwrite(file.get(), "eqpkInstallTime", strprintf("%ld", static_cast<long>(std::time(nullptr))),
                               LDIF_TEXT) > 0;
    if (name != head) {
        written = written && ldif_fwrite(file.get(), "eqpkInstallType", "D", LDIF_TEXT) > 0;
        written = written && ldif_fwrite(file.get(), "eqpkInstallHead", head, LDIF_TEXT) > 0;
    } else {
        written = written && ldif_fwrite(file.get(), "eqpkInstallType", "X", LDIF_TEXT) > 0;
    }
    written = written && std::ferror(file.get()) == 0;
    return std::fclose(file.release()) == 0 && written;
}

// An installed package's value of one script variable, if it has one.
using ScriptValue = std::optional<std::string> (*)(const qpk_info &);

struct ScriptVariable {
    const char *name;
    ScriptValue value;
};

const ScriptVariable SCRIPT_VARIABLES[] = {
    {"QPK_VARIANT", [](const qpk_info &q) { return q.variant; }},
    {"QPK_VERSION", [](const qpk_info &q) { return std::optional<std::string>(q.version); }},
    {"QPK_ARCHITECTURE",
     [](const qpk_info &q) {
         const char *arch = qpm_arch_getname(q.architecture);
         return arch ? std::optional<std::string>(arch) : std::nullopt;
     }},
    {"QPK_CREATOR", [](const qpk_info &q) { return q.creator; }},
    {"QPK_DESCRIPTION", [](const qpk_info &q) { return std::optional<std::string>(q.description); }},
    {"QPK_DEPENDENCIES",
     [](const qpk_info &q) {
         return q.dependencies.empty() ? std::nullopt : std::optional<std::string>(arr2str(q.dependencies, ' '));
     }},
};

} // namespace

StrArr qpm_scriptenv_add(const qpk_info *old_qpi, const qpk_info *new_qpi)
{
    StrArr env;
    if (!old_qpi && !new_qpi)
        return env;
    env.reserve(QPM_SCRIPTENV_MAX);
    auto put = [&env](const std::string &name, const std::string &value) {
        std::string entry = strprintf("%s=%.1950s", name.c_str(), value.c_str());
        ::setenv(name.c_str(), entry.c_str() + name.size() + 1, 1);
        env.push_back(std::move(entry));
    };

    put("QPK_NAME", old_qpi ? old_qpi->name : new_qpi->name);
    qlog(LL_DEBUG, "qpm_scriptenv_add: putting %s to environment", env.back().c_str());
    for (const ScriptVariable &variable : SCRIPT_VARIABLES) {
        const std::string name = variable.name;
        auto set = [&](const std::string &full_name, const std::optional<std::string> &value) {
            if (!value)
                return;
            put(full_name, *value);
            qlog(LL_DEBUG, "qpm_scriptenv_add: set %s in env", env.back().c_str());
        };
        if (old_qpi)
            set(name + "_OLD", variable.value(*old_qpi));
        if (new_qpi) {
            const std::optional<std::string> value = variable.value(*new_qpi);
            set(name, value);
            set(name + "_NEW", value);
        } else {
            set(name, variable.value(*old_qpi));
        }
    }
    return env;
}

void qpm_scriptenv_del(StrArr &env)
{
    for (size_t i = 0; i < env.size(); ++i) {
        const std::string &entry = env[i];
        const std::string name = entry.substr(0, entry.find('='));
        if (name.size() > SCRIPTENV_NAME_MAX) {
            qlog(LL_WARNING, "qpm_scriptenv_del: Overlong env variable name, skipping entry %d", static_cast<int>(i));
            continue;
        }
        qlog(LL_DEBUG, "qpm_scriptenv_del: removing %s from env", name.c_str());
        ::unsetenv(name.c_str());
    }
    env.clear();
}

int qpm_install_rollback(const StrArr &files, const std::string &backup_tree)
{
    for (const std::string &file : files) {
        qlog(LL_DEBUG, "qpm_install_rollback: removing %s", file.c_str());
        ::unlink(file.c_str());
    }
    FilePtr index = fopen_cloexec(strprintf("%s/index.txt", backup_tree.c_str()), "r");
    if (!index) {
        qlog(LL_INFO, "qpm_install_rollback: no files to restore registered");
        return 0;
    }
    int result = 0;
    std::string path;
    while (fgets_line(index.get(), path)) {
        if (path.empty())
            continue;
        qlog(LL_DEBUG, "qpm_install_rollback: Found %s to restore", path.c_str());
        // The backup of PATH is BASE+PATH, whole: no truncated name.
        const std::string saved = backup_tree + path;
        qlog(LL_DEBUG, "qpm_install_rollback: Copying %s to %s", saved.c_str(), path.c_str());
        if (qpm_qpf_copy(path, saved, std::nullopt, 1) < 0) {
            qlog(LL_ERROR,
                 "qpm_install_rollback: Failure restoring %s, you're in deep shit. We still try to do the rest.",
                 path.c_str());
            result = -1;
        }
    }
    qlog(LL_ERROR, "qpm_install_rollback: finished");
    return result;
}

int qpm_install_qpk(qpm_handle *qpm, qpt &record, const qpk_info *qpi, const std::string &head, int verbose)
{
    have_so = 0;
    if (!qpm || !qpi)
        return -1;
    const ProgressPackage progress(qpi->name, qpi->version, qpi->data_size);
    const std::optional<InstallPaths> paths = install_paths(qpm, *qpi);
    if (!paths) {
        qlog(LL_ERROR, "qpm_install_qpk: inventory directories are not set");
        return -1;
    }
    const InstallPaths &p = *paths;
    const bool talk = verbose > 0;
    const char *puname = p.puname.c_str();

    qlog(LL_DEBUG, "qpm_install_qpk: Will unpack %s to %s", p.staged.c_str(), p.new_tree.c_str());
    // What an earlier, interrupted run left here must not be taken for
    // part of this package.
    if (qpm_qpf_rmdir(p.stage_dir) != 0 || qpm_qpf_mkdir(p.new_tree, 0755) != 0 ||
        qpm_qpf_mkdir(p.backup, 0755) != 0) {
        qlog(LL_ERROR, "qpm_install_qpk: Failed to prepare %s", p.stage_dir.c_str());
        return -1;
    }
    auto remove_stage = [&p] { qpm_qpf_rmdir(p.stage_dir); };

    if (talk)
        qlog(LL_INFO, "unpacking %s.qpk", puname);
    if (const int rc = qpm_qpf_extract(qpm, p.staged, p.new_tree, 1); rc != 0) {
        qlog(LL_ERROR, "qpm_install_qpk: Failure unpacking %s to %s", p.staged.c_str(), p.new_tree.c_str());
        return rc;
    }

    if (talk)
        qlog(LL_INFO, "verifying %s", puname);
    StrArr data_files, info_files, init_files, conf_files, dump_files;
    if (const int rc = qpm_chk_all_files(p.new_tree, data_files, info_files, init_files, conf_files, dump_files);
        rc != 0) {
        qlog(LL_ERROR, "qpm_install_qpk: Failure checking info files for %s in %s", p.staged.c_str(),
             p.new_tree.c_str());
        return rc;
    }
    const std::optional<std::string> description = checked_description(*qpi, p, info_files);
    if (!description)
        return -1;

    qlog(LL_DEBUG, "qpm_install_qpk: Looking for pre-install script");
    if (in_array(init_files, "/00-add.sh")) {
        qlog(LL_DEBUG, "qpm_install_qpk: Found pre-install script, will execute");
        const std::string command = scripted_line(p, "00-add.sh");
        qlog(LL_DEBUG, "qpm_install_qpk: cmdline: %s", command.c_str());
        StrArr env = qpm_scriptenv_add(nullptr, qpi);
        if (talk)
            qlog(LL_INFO, "executing pre-install script for %s", puname);
        const int rc = qpm_run_script(qpm, "00-add.sh", command);
        qpm_scriptenv_del(env);
        if (rc != 0) {
            qlog(LL_ERROR, "qpm_install_qpk: pre-install script got an error, aborting");
            remove_stage();
            return rc;
        }
        qlog(LL_DEBUG, "qpm_install_qpk: pre-install script successfully executed");
    }

    StrArr final_files;
    if (!data_files.empty()) {
        if (const int rc = qpm_chk_local_insert(qpm, data_files, final_files); rc != 0) {
            qlog(LL_ERROR, "qpm_install_qpk: Aborting");
            remove_stage();
            return rc;
        }
    }
    if (talk)
        qlog(LL_INFO, "installing %s", puname);

    // Everything written on the system, as this process sees it: the
    // rollback removes these and restores what the backup tree holds.
    StrArr written;
    written.reserve(final_files.size() + conf_files.size());
    const std::string link_list = p.new_tree + "/info/link.txt";
    bool links_made = false;
    auto undo = [&] {
        if (links_made)
            qpm_qpf_links(link_list, 1, 0);
        qpm_install_rollback(written, p.backup);
    };
    // One file onto the system; false after the rollback.
    auto put_file = [&](const std::string &path, const char *tree) {
        const std::string source = strprintf("%s/%s%s", p.new_tree.c_str(), tree, path.c_str());
        const std::string target = root_path(path);
        qlog(LL_DEBUG, "qpm_install_qpk: copying %s to %s with backup of %s", source.c_str(), target.c_str(),
             p.backup.c_str());
        // Data files are moved out of the stage (the stage goes anyway);
        // configuration files are copied.
        const long long copied = std::strcmp(tree, "data") == 0 ? qpm_qpf_move(target, source, p.backup)
                                                                : qpm_qpf_copy(target, source, p.backup, 1);
        if (copied < 0) {
            qlog(LL_ERROR, "qpm_install_qpk: Failed to install %s to %s", source.c_str(), target.c_str());
            // Whatever the failed copy left goes too; a file that was there
            // before is removed only when its backup can bring it back. A
            // failed copy or move never replaces the target, so what is
            // there now is what was there before.
            if (!exists_nofollow(target) || exists_nofollow(p.backup + target))
                written.push_back(target);
            undo();
            remove_stage();
            return false;
        }
        written.push_back(target);
        qlog(LL_DEBUG, "qpm_install_qpk: Copied %lld bytes from %s to %s", copied, source.c_str(), target.c_str());
        return true;
    };

    for (const std::string &path : final_files) {
        if (!put_file(path, "data"))
            return -1;
    }
    for (const std::string &path : conf_files) {
        qlog(LL_DEBUG, "qpm_install_qpk: checking for existence of %s", path.c_str());
        if (qpm_chk_conf_file(qpm, qpi->name, path, false) == ConfFileAction::InstallMissing) {
            if (talk)
                qlog(LL_INFO, "installing new config file %s", path.c_str());
            if (!put_file(path, "conf"))
                return -1;
        } else if (talk) {
            qlog(LL_INFO, "keeping existing config file %s", path.c_str());
        }
    }

    for (const std::string &file : info_files) {
        if (file == "/link.txt") {
            qlog(LL_DEBUG, "qpm_install_qpk: Found link.txt, calling qpm_qpf_links");
            links_made = true;
            const int rc = qpm_qpf_links(link_list, 1, 1);
            qlog(LL_DEBUG, "qpm_install_qpk: rc of qpm_qpf_links: %d", rc);
        } else if (file == "/perm.txt") {
            qlog(LL_DEBUG, "qpm_install_qpk: Found perm.txt, calling qpm_qpf_perms");
            const int rc = qpm_qpf_perms(p.new_tree + "/info/perm.txt");
            qlog(LL_DEBUG, "qpm_install_qpk: rc of qpm_qpf_perms: %d", rc);
        }
    }

    qlog(LL_DEBUG, "qpm_install_qpk: Looking for post-install script");
    if (in_array(init_files, "/99-add.sh")) {
        qlog(LL_DEBUG, "qpm_install_qpk: Found post-install script, will execute");
        const std::string command = scripted_line(p, "99-add.sh");
        qlog(LL_DEBUG, "qpm_install_qpk: cmdline: %s", command.c_str());
        StrArr env = qpm_scriptenv_add(nullptr, qpi);
        if (talk)
            qlog(LL_INFO, "executing post-install script for %s", puname);
        const int rc = qpm_run_script(qpm, "99-add.sh", command);
        qpm_scriptenv_del(env);
        if (rc != 0) {
            qlog(LL_ERROR, "qpm_install_qpk: post-install script got an error, aborting");
            undo();
            remove_stage();
            return rc;
        }
        qlog(LL_DEBUG, "qpm_install_qpk: post-install script successfully executed");
    }

    // Registration. The install record is written last: until it exists
    // the package does not count as installed.
    qlog(LL_DEBUG, "qpm_install_qpk: registering %s for candidate %s", qpi->name.c_str(), head.c_str());
    bool index_written = false;
    auto unregister = [&] {
        undo();
        qpm_qpf_rmdir(p.package_dir);
        if (index_written) {
            ::unlink(p.file_index.c_str());
            qpm_file_owner_forget();
        }
        remove_stage();
        return -1;
    };
    // A directory left by an interrupted registration is no installed package.
    qpm_qpf_rmdir(p.package_dir);
    if (qpm_qpf_mkdir(p.package_dir + "/hash", 0755) != 0) {
        qlog(LL_ERROR, "qpm_install_qpk: Failed to copy info files for package %s", puname);
        return unregister();
    }
    if (!copy_tree_files(p.new_tree, "info", info_files, p.package_dir, 0755) ||
        (!in_array(info_files, "/desc.txt") && !write_text(p.package_dir + "/desc.txt", *description))) {
        qlog(LL_ERROR, "qpm_install_qpk: Failed to copy info files for package %s", puname);
        return unregister();
    }
    if (!data_files.empty() && !copy_hash_list(p, "data")) {
        qlog(LL_ERROR, "qpm_install_qpk: Failed to copy data hash file for package %s", puname);
        return unregister();
    }
    if (!init_files.empty()) {
        if (!copy_tree_files(p.new_tree, "init", init_files, p.package_dir + "/init", 0755)) {
            qlog(LL_ERROR, "qpm_install_qpk: Failed to copy init files for package %s", puname);
            return unregister();
        }
        if (!copy_hash_list(p, "init")) {
            qlog(LL_ERROR, "qpm_install_qpk: Failed to copy init hash file for package %s", puname);
            return unregister();
        }
    }
    if (!conf_files.empty()) {
        if (!copy_tree_files(p.new_tree, "conf", conf_files, p.package_dir + "/conf", 1)) {
            qlog(LL_ERROR, "qpm_install_qpk: Failed to copy conf files for package %s", puname);
            return unregister();
        }
        if (!copy_hash_list(p, "conf")) {
            qlog(LL_ERROR, "qpm_install_qpk: Failed to copy conf hash file for package %s", puname);
            return unregister();
        }
    }
    if (!dump_files.empty()) {
        if (!copy_tree_files(p.new_tree, "dump", dump_files, p.package_dir + "/dump", 1)) {
            qlog(LL_ERROR, "qpm_install_qpk: Failed to copy dump files for package %s", puname);
            return unregister();
        }
        if (!copy_hash_list(p, "dump")) {
            qlog(LL_ERROR, "qpm_install_qpk: Failed to copy dump hash file for package %s", puname);
            return unregister();
        }
    }
    if (!final_files.empty()) {
        const char *fileindex = ekva_getval(qpm->dirs.get(), "fileindex");
        qlog(LL_DEBUG, "qpm_install_qpk: Writing fileindex for <%s> to <%s/%s>", qpi->name.c_str(), fileindex,
             qpi->name.c_str());
        index_written = true;
        if (!write_file_index(p.file_index, final_files)) {
            qlog(LL_ERROR, "qpm_install_qpk: Failed to write fileindex for package %s", puname);
            return unregister();
        }
    } else {
        // No index of an earlier package of this name may speak for this one.
        ::unlink(p.file_index.c_str());
    }
    qpm_file_owner_forget();
    if (!write_install_record(p.package_dir + "/inst.txt", qpi->name, head)) {
        qlog(LL_ERROR, "qpm_install_qpk: Failed to write install info for package %s", puname);
        return unregister();
    }

    if (have_so) {
        qlog(LL_DEBUG, "qpm_install_qpk: calling ldconfig");
        qpm_run_ldconfig();
        have_so = 0;
    }

    if (!record.scripts)
        record.scripts = ekva_new(10, 3);
    if (in_array(init_files, "/99-cfg.sh")) {
        ekva_addval(record.scripts, qpi->name, "99-cfg.sh", EKVA_APPEND);
        qlog(LL_DEBUG, "qpm_install_qpk: Found 99-cfg, registered");
    }
    for (const std::string &command :
         qpm_hooks_parse(qpm, qpi, QPM_HOOK_TYPE_CFG, final_files, conf_files, dump_files)) {
        ekva_addval(record.scripts, qpi->name, command, EKVA_APPEND);
        qlog(LL_DEBUG, "qpm_install_qpk: Adding hook command: <%s>", command.c_str());
    }

    remove_stage();
    return 0;
}

int qpm_scripts_exe(qpm_handle *qpm, qpt &record)
{
    if (!record.scripts) {
        qlog(LL_DEBUG, "qpm_scripts_exe: no scripts to configure");
        return 0;
    }
    qlog(LL_DEBUG, "qpm_scripts_exe: found %d scripts to configure", ekva_nument(record.scripts.get()));
    const char *installed = ekva_getval(qpm->dirs.get(), "installed");
    const char *scriptdir = ekva_getval(qpm->dirs.get(), "scriptdir");
    if (!installed || !scriptdir)
        return 0;
    const std::string sv = root_view(scriptdir);
    for (const EkvaEntry &entry : record.scripts->entries()) {
        if (!entry.value || entry.value->empty())
            continue;
        const std::string &name = entry.key;
        const std::string &command = *entry.value;
        if (command.front() == '/') {
            qlog(LL_DEBUG, "qpm_scripts_exe: Found hook command %s for qpk %s to execute", command.c_str(),
                 name.c_str());
            if (!record.qpm_hookcmds)
                record.qpm_hookcmds = ekva_new(10, 3);
            ekva_addval(record.qpm_hookcmds, name, command, EKVA_APPEND);
            qlog(LL_DEBUG, "qpm_scripts_exe: Added hook command to qpm_hookcmds");
            continue;
        }
        qlog(LL_DEBUG, "qpm_scripts_exe: Found script %s for qpk %s to execute", command.c_str(), name.c_str());
        const std::string package_dir = strprintf("%s/%s", installed, name.c_str());
        const std::string pv = root_view(package_dir);
        const std::string line = strprintf("cd %s && PATH=%s QPM_QPKDIR=%s %s/ash %s/init/%s", sv.c_str(), sv.c_str(),
                                           pv.c_str(), sv.c_str(), pv.c_str(), command.c_str());
        const std::string desc_path = strprintf("%s/%s/%s", installed, name.c_str(), "desc.txt");
        StrArr env;
        if (const std::optional<std::string> text = _read_file(desc_path); !text) {
            qlog(LL_WARNING, "qpm_scripts_exe: failed to read package description for %s", name.c_str());
        } else if (QpiPtr info = qpk_info_parse(desc_path, QPK_KIND_FILE, *text); !info) {
            qlog(LL_WARNING, "qpm_scripts_exe: failed to read package info for %s", name.c_str());
        } else {
            env = qpm_scriptenv_add(nullptr, info.get());
        }
        qlog(LL_DEBUG, "qpm_scripts_exe: cmdline: %s", line.c_str());
        const int rc = qpm_run_command(qpm, line);
        qlog(LL_INFO, "Configured %s, rc = %d", name.c_str(), rc);
        qpm_scriptenv_del(env);
    }
    return 0;
}

} // namespace qpm
