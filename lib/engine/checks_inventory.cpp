#include "engine/checks_inventory.h"

#include "engine/deps.h"
#include "engine/register.h"
#include "engine/search.h"
#include "engine/stage.h"
#include "package/hashlist.h"
#include "package/qpk_info.h"
#include "package/signature.h"
#include "package/tree.h"
#include "record/ekva.h"
#include "record/ldif.h"
#include "ui/ui.h"
#include "util/files.h"
#include "util/globals.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strfmt.h"
#include "util/sysroot.h"
#include "util/text.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sys/stat.h>

namespace qpm {
namespace {

// Pressing Enter at the head check's question takes this answer. ("l" would
// match only "L" and only without regard to case, so it could never be
// taken.)
constexpr const char *CHKHEAD_DEFAULT = "k";

enum class Fork { Dump, Init, Data, Conf };

struct ForkCheck {
    Fork fork;
    const char *name;
    const char *read_error;
    int stored = 0;
    int problems = 0;
};

bool is_dir(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A path on the target system as this process reaches it, its links
// followed inside the system root; nothing when it is not there.
std::optional<std::string> on_system(const std::string &path)
{
    const std::optional<std::string> resolved = root_resolve(path);
    if (!resolved)
        return std::nullopt;
    return root_path(*resolved);
}

std::optional<std::string> digest_of(const std::optional<std::string> &file)
{
    return file ? qps_sha1_file(*file, 'x') : std::nullopt;
}

void say(const std::string &text) { qpmui_write(qpmui.get(), text); }

// The remembered or asked answer of one question; 0 for no answer.
char choose(char &remembered, const char *question, Ekva *options, const char *def, char keep_all, char change_all,
            char keep, char change)
{
    if (remembered)
        return remembered;
    const char *answer = qpmui_select(qpmui.get(), question, options, def, 0);
    if (!answer || !*answer)
        return 0;
    if (answer[0] == keep_all)
        return remembered = keep;
    if (answer[0] == change_all)
        return remembered = change;
    return answer[0];
}

bool write_install_record(const std::string &path, const qpk_info &info, char install_type,
                          const std::optional<std::string> &head)
{
    FilePtr file = fopen_cloexec(path, "w");
    if (!file)
        return false;
    FILE *out = file.get();
    bool written =
        ldif_fwrite(out, "eqpkInstallTime", strprintf("%ld", static_cast<long>(info.install_time)), LDIF_TEXT) > 0;
    written = written && ldif_fwrite(out, "eqpkInstallType", strprintf("%c", install_type), LDIF_TEXT) > 0;
    if (head)
        written = written && ldif_fwrite(out, "eqpkInstallHead", *head, LDIF_TEXT) > 0;
    for (const int64_t when : info.update_times)
        written = written && ldif_fwrite(out, "eqpkUpdateTime", strprintf("%ld", static_cast<long>(when)), LDIF_TEXT) > 0;
    written = written &&
              ldif_fwrite(out, "eqpkUpdateTime", strprintf("%ld", static_cast<long>(std::time(nullptr))), LDIF_TEXT) > 0;
    written = written && std::ferror(out) == 0;
    return std::fclose(file.release()) == 0 && written;
}

// The lock rule and the listing both inventory scans start with: 1 with
// `listing` filled; -1 without the lock (unless in a dry run), 0 when the
// installed directory cannot be read, each after its message.
int open_installed(const qpm_handle *qpm, const char *who, std::optional<DirNames> &listing)
{
    if (!qpm || (!dry_run && qpm->locked != 1)) {
        qlog(LL_ERROR, "%s: no lock on local repository", who);
        return -1;
    }
    listing = list_directory(qpm->dirs.installed);
    if (!listing) {
        qlog(LL_WARNING, "Failure opening <%s> for reading: %s", qpm->dirs.installed.c_str(), std::strerror(errno));
        return 0;
    }
    return 1;
}

} // namespace

int qpm_chkhash(const qpm_handle *qpm, const std::string &name, int show)
{
    return qpm_chkhash(qpm, name, show ? HashReport::Every : HashReport::Summary);
}

int qpm_chkhash(const qpm_handle *qpm, const std::string &name, HashReport report)
{
    const bool show = report == HashReport::Every;
    const QpiPtr info = qpm ? qpm_qpl_info(qpm, name) : nullptr;
    if (!info) {
        qlog(LL_ERROR, "qpm_chkhash: %s is not installed", name.c_str());
        return -1;
    }
    const std::string record = strprintf("%s/%s", qpm->dirs.installed.c_str(), name.c_str());
    ForkCheck forks[] = {
        {Fork::Dump, "dump", "qpm_chkhash: insternal error reading hases on fork: dump"},
        {Fork::Init, "init", "qpm_chkhash: internal error reading hases on fork: init"},
        {Fork::Data, "data", "qpm_chkhash: internal error reading hases on fork: data"},
        {Fork::Conf, "conf", "qpm_chkhash: internal error reading hases on fork: conf"},
    };
    for (ForkCheck &fork : forks) {
        EkvaPtr list;
        if (qpm_qpf_qpk_hashes(record, fork.name, list) != 0) {
            qlog(LL_ERROR, "%s", fork.read_error);
            return -1;
        }
        if (!list || list->entries().empty()) {
            if (show)
                say(strprintf("No hashes stored for fork: %s\n", fork.name));
            continue;
        }
        fork.stored = static_cast<int>(list->entries().size());
        if (show)
            say(strprintf("Found %d hashes stored for fork: %s\n", fork.stored, fork.name));
        for (const EkvaEntry &entry : list->entries()) {
            const std::string &stored = entry.key;
            const std::string path = entry.value.value_or("");
            qlog(LL_DEBUG, "qpm_chkhash: found %s: %s\n", stored.c_str(), path.c_str());
            // The file the digest speaks of: a copy in the record, or for
            // data files the file on the system.
            std::optional<std::string> file;
            std::string shown;
            if (fork.fork == Fork::Data) {
                file = on_system(path);
                shown = path;
            } else {
                shown = strprintf("%s/%s%s", record.c_str(), fork.name, path.c_str());
                file = shown;
            }
            const std::optional<std::string> found = digest_of(file);
            if (!found) {
                qlog(LL_ERROR, "qpm_chkhash: %s not found", shown.c_str());
                ++fork.problems;
            } else if (*found != stored) {
                qlog(LL_ERROR, "qpm_chkhash: mismatch on %s: expected: %s, found: %s", shown.c_str(), stored.c_str(),
                     found->c_str());
                ++fork.problems;
            } else if (show) {
                say(strprintf("%s verfied ok.\n", shown.c_str()));
            }
            if (fork.fork != Fork::Conf)
                continue;
            // The live configuration file may differ: the administrator's.
            const std::optional<std::string> live = digest_of(on_system(path));
            if (!live) {
                qlog(LL_ERROR, "%s was not found on fs, this can happen.\n", path.c_str());
                ++fork.problems;
            } else if (*live != stored) {
                if (report != HashReport::Quiet)
                    say(strprintf("%s is not the same on fs, this is normal.\n", path.c_str()));
            } else if (show) {
                say(strprintf("%s verfied ok.\n", path.c_str()));
            }
        }
    }
    const ForkCheck &dump = forks[0], &init = forks[1], &data = forks[2], &conf = forks[3];
    if (report != HashReport::Quiet)
        say(strprintf("%s summary: dump: (%d/%d) conf: (%d/%d) data: (%d/%d) init: (%d/%d)\n", name.c_str(),
                      dump.stored, dump.problems, conf.stored, conf.problems, data.stored, data.problems, init.stored,
                      init.problems));
    return dump.problems + init.problems + data.problems + conf.problems;
}

int qpm_chkinst(qpm_handle *qpm, int show)
{
    std::optional<DirNames> listing;
    if (const int refused = open_installed(qpm, "qpm_chkinst", listing); refused <= 0)
        return refused;
    const std::string &installed = qpm->dirs.installed;
    EkvaPtr options = str2ekva(QPM_CHKINST_OPTIONS, ',');
    char remembered = vote_mode == 1 ? 0 : 'k';
    int checked = 0, valid = 0, invalid = 0;
    for (const DirName &entry : listing->entries) {
        const std::string path = strprintf("%s/%s", installed.c_str(), entry.name.c_str());
        if (!is_dir(path)) {
            qlog(LL_DEBUG, "Omitting non-directory %s", path.c_str());
            continue;
        }
        if (entry.name.front() == '.')
            continue;
        ++checked;
        if (qpm_qpl_info(qpm, entry.name)) {
            qlog(LL_DEBUG, "%s is a valid package dir", entry.name.c_str());
            ++valid;
            continue;
        }
        ++invalid;
        qpmui_write_info(qpmui.get(), strprintf("%s is not a valid package dir\n", entry.name.c_str()), 0);
        if (dry_run)
            continue;
        const std::string question = strprintf("remove directory %.1000s", path.c_str());
        const char choice = choose(remembered, question.c_str(), options.get(), "k", 'L', 'R', 'k', 'd');
        if (!choice || choice == 'a') {
            qlog(LL_ERROR, "aborting chkinst");
            return -1;
        }
        if (choice == 'k') {
            qlog(LL_INFO, "keeping %s", path.c_str());
        } else if (choice == 'd') {
            qlog(LL_INFO, "removing %s", path.c_str());
            if (qpm_qpf_rmdir(path) != 0)
                qlog(LL_ERROR, "failed to remove %.1000s", path.c_str());
        }
    }
    qlog(LL_DEBUG, "Found %d packages", checked);
    if (show)
        qpmui_write_info(qpmui.get(), strprintf("checked %d entries, %d valid , %d invalid\n", checked, valid, invalid),
                         0);
    if (listing->close_error != 0)
        qlog(LL_WARNING, "Failure closing <%s>: %s", installed.c_str(), std::strerror(listing->close_error));
    return invalid;
}

int qpm_chkhead(qpm_handle *qpm)
{
    std::optional<DirNames> listing;
    if (const int refused = open_installed(qpm, "qpm_chkhead", listing); refused <= 0)
        return refused;
    const std::string &installed = qpm->dirs.installed;
    EkvaPtr options = str2ekva(QPM_CHKHEAD_OPTIONS, ',');
    char remembered = vote_mode == 1 ? 0 : 'l';
    int checked = 0, found = 0;
    for (const DirName &entry : listing->entries) {
        const std::string path = strprintf("%s/%s", installed.c_str(), entry.name.c_str());
        if (!is_dir(path)) {
            qlog(LL_DEBUG, "Omitting non-directory %s", path.c_str());
            continue;
        }
        if (entry.name.front() == '.')
            continue;
        ++checked;
        const QpiPtr info = qpm_qpl_info(qpm, entry.name);
        if (!info) {
            qlog(LL_DEBUG, "%s is not a valid package, skipping", entry.name.c_str());
            continue;
        }
        if (info->install_type != QPK_INSTALL_DEPENDENCY)
            continue;
        const char *name = info->name.c_str();
        const char *head = text_or_null(info->install_head);
        const QpiPtr head_info = info->install_head ? qpm_qpl_info(qpm, *info->install_head) : nullptr;
        if (head_info) {
            qlog(LL_DEBUG, "qpm_chkhead: %s has %d dependencies", head,
                 static_cast<int>(head_info->dependencies.size()));
            if (in_array(head_info->dependencies, info->name)) {
                qlog(LL_DEBUG, "qpm_chkhead: %s is still needed by %s", name, head);
                continue;
            }
            qpmui_write_info(
                qpmui.get(),
                strprintf("%s was installed as a dependency of %s, but %s no longer needs it\n", name, head, head), 0);
        } else {
            qpmui_write_info(
                qpmui.get(),
                strprintf("%s was installed as a dependency of %s, but %s is no longer installed\n", name, head, head),
                0);
        }
        for (const std::string &dependent : qpm_dependson(qpm, info->name))
            qpmui_write_info(qpmui.get(), strprintf("qpm_chkhead: %s is still needed by %s\n", name, dependent.c_str()),
                             0);
        ++found;
        if (dry_run)
            continue;
        const char choice = choose(remembered, "fix install info", options.get(), CHKHEAD_DEFAULT, 'L', 'F', 'l', 'f');
        if (!choice || choice == 'a') {
            qlog(LL_ERROR, "aborting chkhead");
            return -1;
        }
        if (choice == 'k' || choice == 'l')
            qlog(LL_INFO, "leaving %s", name);
        else if (choice == 'f')
            qlog(LL_INFO, "fixing %s not yet implemented", name);
    }
    qlog(LL_DEBUG, "Found %d packages", checked);
    if (listing->close_error != 0)
        qlog(LL_WARNING, "Failure closing <%s>: %s", installed.c_str(), std::strerror(listing->close_error));
    return found;
}

int qpm_fixinst_qpk(qpm_handle *qpm, const qpk_info &info, char install_type, const std::optional<std::string> &head)
{
    qlog(LL_DEBUG, "fixing installation info for %s ", info.name.c_str());
    PackagePaths p;
    if (!qpm || !package_paths(qpm, info, p))
        return -1;
    const char *puname = p.puname.c_str();
    if (info.install_type != install_type)
        qlog(LL_ERROR, "qpm_fixinst_qpk: change install_type from %c to %c for package %s", info.install_type,
             install_type, puname);

    // The new record is the live one with another install record; it
    // takes the live one's place in one exchange.
    qpm_qpf_rmdir(p.new_record);
    ScopeGuard drop_new([&] { qpm_qpf_rmdir(p.new_record); });
    std::error_code ec;
    std::filesystem::copy(p.package_dir, p.new_record,
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks, ec);
    if (ec || !write_install_record(p.new_record + "/inst.txt", info, install_type, head)) {
        qlog(LL_ERROR, "qpm_fixinst_qpk: Failed to write new install info for package %s", puname);
        return -1;
    }
    if (swap_in_record(p.new_record, p.package_dir, p.old_record) != 0) {
        qlog(LL_ERROR, "qpm_fixinst_qpk: Failed to swap in the new record of %s: %s", puname, std::strerror(errno));
        return -1;
    }
    drop_new.dismiss();
    return 0;
}

} // namespace qpm
