#include "engine/register.h"

#include "engine/search.h"
#include "engine/stage.h"
#include "engine/transaction.h"
#include "package/qpk_info.h"
#include "package/tree.h"
#include "record/ldif.h"
#include "util/faultpoint.h"
#include "util/files.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strfmt.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

// Puts the stage's `source` at `target` in the record with the bits of
// `mode` (as qpm_qpf_copy takes it). The stage goes once the package is
// registered: a regular file of one name is renamed into the record, unless
// a rollback may still read it from the stage (`keep`); anything else is
// copied. False once logged.
bool place_record_file(const std::string &target, const std::string &source, int mode, bool keep = false)
{
    struct stat st {};
    if (!keep && mode >= 1 && ::lstat(source.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
        ::rename(source.c_str(), target.c_str()) == 0) {
        if (mode > 1 && (st.st_mode & 07777) != static_cast<mode_t>(mode & 07777) &&
            ::chmod(target.c_str(), static_cast<mode_t>(mode & 07777)) != 0)
            qlog(LL_WARNING, "Failed to set permission on %s: %s\n", target.c_str(), std::strerror(errno));
        qlog(LL_DEBUG, "Wrote %lld bytes to %s\n", static_cast<long long>(st.st_size), target.c_str());
        return true;
    }
    return qpm_qpf_copy(target, source, std::nullopt, mode) >= 0;
}

// Puts the files of one tree of the new package into the record directory
// (TREE/<path> -> DEST/<path>).
bool copy_tree_files(const std::string &new_tree, const char *tree, const StrArr &files, const std::string &dest,
                     int mode)
{
    const std::string source_root = strprintf("%s/%s", new_tree.c_str(), tree);
    for (const std::string &file : files) {
        // The links of the package are taken away again on rollback by
        // their list in the stage.
        const bool keep = std::string_view(tree) == "info" && file == "/link.txt";
        if (!place_record_file(dest + file, source_root + file, mode, keep))
            return false;
    }
    return true;
}

bool copy_hash_list(const std::string &new_tree, const std::string &dir, const char *tree)
{
    return place_record_file(strprintf("%.1900s/hash/%s.txt", dir.c_str(), tree),
                             strprintf("%s/hash/%s.txt", new_tree.c_str(), tree), 0755);
}

// Writes `text` to `path` whole or not at all (by way of a hidden file
// beside it): a run stopped meanwhile leaves no half record.
bool write_text(const std::string &path, const std::string &text)
{
    SiblingFile out;
    return out.create(path, 0644) && write_all(out.fd(), text) && out.commit() == 0;
}

bool write_install_record(const std::string &path, const std::string &name, const std::string &head)
{
    std::string text;
    bool written = ldif_write(text, "eqpkInstallTime", strprintf("%ld", static_cast<long>(std::time(nullptr))),
                              LDIF_TEXT) > 0;
    if (name != head) {
        written = written && ldif_write(text, "eqpkInstallType", "D", LDIF_TEXT) > 0;
        written = written && ldif_write(text, "eqpkInstallHead", head, LDIF_TEXT) > 0;
    } else {
        written = written && ldif_write(text, "eqpkInstallType", "X", LDIF_TEXT) > 0;
    }
    return written && write_text(path, text);
}

bool write_update_record(const std::string &path, const qpk_info &old_qpi)
{
    std::string text;
    bool written = ldif_write(text, "eqpkInstallTime", strprintf("%ld", static_cast<long>(old_qpi.install_time)),
                              LDIF_TEXT) > 0;
    written = written && ldif_write(text, "eqpkInstallType", strprintf("%c", old_qpi.install_type), LDIF_TEXT) > 0;
    if (old_qpi.install_head)
        written = written && ldif_write(text, "eqpkInstallHead", *old_qpi.install_head, LDIF_TEXT) > 0;
    for (const int64_t when : old_qpi.update_times)
        written = written && ldif_write(text, "eqpkUpdateTime", strprintf("%ld", static_cast<long>(when)), LDIF_TEXT) > 0;
    written = written &&
              ldif_write(text, "eqpkUpdateTime", strprintf("%ld", static_cast<long>(std::time(nullptr))), LDIF_TEXT) > 0;
    return written && write_text(path, text);
}

bool exists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

// A previous record, at `next` after its exchange, leaves by way of `old`.
void retire_record(const std::string &next, const std::string &old)
{
    qpm_qpf_rmdir(old);
    if (::rename(next.c_str(), old.c_str()) == 0)
        qpm_qpf_rmdir(old);
}

} // namespace

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

int swap_in_record(const std::string &next, const std::string &record, const std::string &old)
{
    if (::renameat2(AT_FDCWD, next.c_str(), AT_FDCWD, record.c_str(), RENAME_EXCHANGE) != 0)
        return -1;
    retire_record(next, old);
    qpm_file_owner_forget();
    return 0;
}

RecordStep write_record_files(const StagedPackage &staged, const std::string &dir)
{
    const std::string &tree = staged.paths.new_tree;
    const PackageFiles &f = staged.files;
    if (!copy_tree_files(tree, "info", f.info, dir, 0755) ||
        (!in_array(f.info, "/desc.txt") && !write_text(dir + "/desc.txt", staged.description)))
        return RecordStep::Info;
    if (!f.data.empty() && !copy_hash_list(tree, dir, "data"))
        return RecordStep::DataHash;
    if (!f.init.empty()) {
        if (!copy_tree_files(tree, "init", f.init, dir + "/init", 0755))
            return RecordStep::Init;
        if (!copy_hash_list(tree, dir, "init"))
            return RecordStep::InitHash;
    }
    if (!f.conf.empty()) {
        if (!copy_tree_files(tree, "conf", f.conf, dir + "/conf", 1))
            return RecordStep::Conf;
        if (!copy_hash_list(tree, dir, "conf"))
            return RecordStep::ConfHash;
    }
    if (!f.dump.empty()) {
        if (!copy_tree_files(tree, "dump", f.dump, dir + "/dump", 1))
            return RecordStep::Dump;
        if (!copy_hash_list(tree, dir, "dump"))
            return RecordStep::DumpHash;
    }
    return RecordStep::Done;
}

int register_update(const qpk_info &old_qpi, const StagedPackage &staged, const StrArr &add_files,
                    FileTransaction &files)
{
    const PackagePaths &p = staged.paths;
    const char *puname = p.puname.c_str();
    qlog(LL_DEBUG, "Registering %s ", p.name.c_str());
    // What an interrupted earlier run left at the new paths is no part of
    // this update.
    qpm_qpf_rmdir(p.new_record);
    ::unlink(p.new_index.c_str());
    files.created(p.new_record);
    if (qpm_qpf_mkdir(p.new_record, 0755) != 0 || qpm_qpf_mkdir(p.new_record + "/hash", 0755) != 0) {
        qlog(LL_ERROR, "Failed to register package %s in local inventory", puname);
        return -1;
    }
    switch (write_record_files(staged, p.new_record)) {
    case RecordStep::Done:
        break;
    case RecordStep::Info:
        qlog(LL_ERROR, "Failed to register package %s in local inventory", puname);
        return -1;
    case RecordStep::DataHash:
        qlog(LL_ERROR, "qpm_update_qpk: Failed to copy data hash file for package %s", puname);
        qlog(LL_ERROR, "Failed to register package %s in local inventory", puname);
        return -1;
    case RecordStep::Init:
        qlog(LL_ERROR, "qpm_update_qpk: Failed to copy init files for package %s", puname);
        return -1;
    case RecordStep::InitHash:
        qlog(LL_ERROR, "qpm_update_qpk: Failed to copy init hash file for package %s", puname);
        return -1;
    case RecordStep::Conf:
        qlog(LL_ERROR, "qpm_update_qpk: Failed to copy conf files for package %s", puname);
        return -1;
    case RecordStep::ConfHash:
        qlog(LL_ERROR, "qpm_update_qpk: Failed to copy conf hash file for package %s", puname);
        return -1;
    case RecordStep::Dump:
        qlog(LL_ERROR, "qpm_update_qpk: Failed to copy dump files for package %s", puname);
        return -1;
    case RecordStep::DumpHash:
        qlog(LL_ERROR, "qpm_update_qpk: Failed to copy dump hash file for package %s", puname);
        return -1;
    }
    if (!write_update_record(p.new_record + "/inst.txt", old_qpi)) {
        qlog(LL_ERROR, "qpm_update_qpk: Failed to write install info for package %s", puname);
        return -1;
    }

    qlog(LL_DEBUG, "Cur fileindex name: <%s>", p.file_index.c_str());
    qlog(LL_DEBUG, "Old fileindex name: <%s>", p.old_index.c_str());
    qlog(LL_DEBUG, "New fileindex name: <%s>", p.new_index.c_str());
    // Always a new index, empty when the new version has no data files: it
    // is swapped in like the record, and an empty one is removed once the
    // update is committed.
    files.created(p.new_index);
    if (!write_file_index(p.new_index, add_files)) {
        qlog(LL_ERROR, "qpm_update_qpk: Failed to write fileindex for package %s", puname);
        return -1;
    }
    if (fault_point("update:record"))
        return -1;

    // The index first: a crash between the two exchanges leaves the old
    // record with the new index, and the next update of the package
    // replaces the files that index names as its own.
    int rc = 0;
    if (exists(p.file_index)) {
        rc = files.exchange(p.new_index, p.file_index);
    } else if ((rc = ::rename(p.new_index.c_str(), p.file_index.c_str())) == 0) {
        files.created(p.file_index);
    }
    if (rc != 0) {
        qlog(LL_ERROR, "qpm_update_qpk: Failed to swap in the file index of %s: %s", puname, std::strerror(errno));
        return -1;
    }
    if (fault_point("update:swap-index"))
        return -1;
    if (files.exchange(p.new_record, p.package_dir) != 0) {
        qlog(LL_ERROR, "qpm_update_qpk: Failed to swap in the record of %s: %s", puname, std::strerror(errno));
        return -1;
    }
    qpm_file_owner_forget();
    return fault_point("update:swap-record") ? -1 : 0;
}

void finish_update_record(const StagedPackage &staged, const StrArr &add_files)
{
    const PackagePaths &p = staged.paths;
    // The previous record and index are at the .new paths now. They pass
    // through the .old names, which a cleanup recognises, on their way out.
    retire_record(p.new_record, p.old_record);
    ::unlink(p.old_index.c_str());
    if (::rename(p.new_index.c_str(), p.old_index.c_str()) == 0)
        ::unlink(p.old_index.c_str());
    if (add_files.empty())
        ::unlink(p.file_index.c_str());
    qpm_file_owner_forget();
}

int register_install(const qpk_info &qpi, const StagedPackage &staged, const std::string &head,
                     const StrArr &final_files, FileTransaction &files)
{
    const PackagePaths &p = staged.paths;
    const char *puname = p.puname.c_str();
    qlog(LL_DEBUG, "qpm_install_qpk: registering %s for candidate %s", qpi.name.c_str(), head.c_str());
    // A directory left by an interrupted registration is no installed package.
    qpm_qpf_rmdir(p.package_dir);
    files.created(p.package_dir);
    if (qpm_qpf_mkdir(p.package_dir, 0755) != 0 || qpm_qpf_mkdir(p.package_dir + "/hash", 0755) != 0) {
        qlog(LL_ERROR, "qpm_install_qpk: Failed to copy info files for package %s", puname);
        return -1;
    }
    switch (write_record_files(staged, p.package_dir)) {
    case RecordStep::Done:
        break;
    case RecordStep::Info:
        qlog(LL_ERROR, "qpm_install_qpk: Failed to copy info files for package %s", puname);
        return -1;
    case RecordStep::DataHash:
        qlog(LL_ERROR, "qpm_install_qpk: Failed to copy data hash file for package %s", puname);
        return -1;
    case RecordStep::Init:
        qlog(LL_ERROR, "qpm_install_qpk: Failed to copy init files for package %s", puname);
        return -1;
    case RecordStep::InitHash:
        qlog(LL_ERROR, "qpm_install_qpk: Failed to copy init hash file for package %s", puname);
        return -1;
    case RecordStep::Conf:
        qlog(LL_ERROR, "qpm_install_qpk: Failed to copy conf files for package %s", puname);
        return -1;
    case RecordStep::ConfHash:
        qlog(LL_ERROR, "qpm_install_qpk: Failed to copy conf hash file for package %s", puname);
        return -1;
    case RecordStep::Dump:
        qlog(LL_ERROR, "qpm_install_qpk: Failed to copy dump files for package %s", puname);
        return -1;
    case RecordStep::DumpHash:
        qlog(LL_ERROR, "qpm_install_qpk: Failed to copy dump hash file for package %s", puname);
        return -1;
    }
    if (!final_files.empty()) {
        const std::string fileindex = p.file_index.substr(0, p.file_index.rfind('/'));
        qlog(LL_DEBUG, "qpm_install_qpk: Writing fileindex for <%s> to <%s/%s>", qpi.name.c_str(), fileindex.c_str(),
             qpi.name.c_str());
        files.created(p.file_index);
        if (!write_file_index(p.file_index, final_files)) {
            qlog(LL_ERROR, "qpm_install_qpk: Failed to write fileindex for package %s", puname);
            return -1;
        }
        if (fault_point("install:index"))
            return -1;
    } else {
        // No index of an earlier package of this name may speak for this one.
        ::unlink(p.file_index.c_str());
    }
    qpm_file_owner_forget();
    // The install record is written last: until it exists the package does
    // not count as installed, and its file index (already written) owns no
    // file.
    if (!write_install_record(p.package_dir + "/inst.txt", qpi.name, head)) {
        qlog(LL_ERROR, "qpm_install_qpk: Failed to write install info for package %s", puname);
        return -1;
    }
    // The index counts from now on.
    qpm_file_owner_forget();
    return 0;
}

} // namespace qpm
