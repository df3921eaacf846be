#include "engine/checks.h"

#include "engine/inventory.h"
#include "engine/owners.h"
#include "package/signature.h"
#include "package/hashlist.h"
#include "package/sha1.h"
#include "record/ekva.h"
#include "ui/ui.h"
#include "util/globals.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/rootfs.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <optional>
#include <sys/stat.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace qpm {
namespace {

// Whether a system path exists on the target system, its links followed
// inside the system root: an absolute link in an image leads to the image's
// file, never to the host's.
bool on_system(const std::string &path)
{
    return RootLookup().exists(path);
}

enum class Existing { Leave, Replace, Abort };

// The user's choice for files on disk that belong to no package; an answer
// in capitals is remembered for the rest of the check.
class ExistingChoice {
public:
    Existing decide(const std::string &path)
    {
        if (m_remembered)
            return *m_remembered;
        if (!m_options)
            m_options = str2ekva(QPM_CHK_EXISTING_OPTIONS, ',');
        const std::string question =
            strprintf("The file %s already exists on the filesystem. Choose your action", path.c_str());
        const char *answer = qpmui_select(qpmui.get(), question.c_str(), m_options.get(), "r", 0);
        switch (answer ? answer[0] : '\0') {
        case 'L':
            m_remembered = Existing::Leave;
            [[fallthrough]];
        case 'l':
            return Existing::Leave;
        case 'R':
            m_remembered = Existing::Replace;
            [[fallthrough]];
        case 'r':
            return Existing::Replace;
        default:
            return Existing::Abort;
        }
    }

private:
    EkvaPtr m_options;
    std::optional<Existing> m_remembered;
};

std::unordered_set<std::string> as_set(const StrArr &files)
{
    std::unordered_set<std::string> set;
    set.reserve(files.size());
    set.insert(files.begin(), files.end());
    return set;
}

} // namespace

int qpm_chk_sub_files(const std::string &new_tree, const std::string &tree, StrArr &files,
                      const UnpackedFiles *unpacked)
{
    files.clear();
    const std::string tree_dir = strprintf("%s/%s", new_tree.c_str(), tree.c_str());
    EkvaPtr hashed;
    int rc = unpacked ? qpm_qpf_hash_unpacked(new_tree, tree, *unpacked, hashed)
                      : qpm_qpf_hash_files(tree_dir, "", hashed);
    if (rc != 0) {
        qlog(LL_WARNING, "qpm_chk_sub_files: Failure hashing %s files", tree.c_str());
        return rc;
    }

    EkvaPtr shipped;
    if (ekva_nument(hashed.get()) == 0) {
        qlog(LL_DEBUG, "qpm_chk_sub_files: No files were found in %s", tree.c_str());
        // A tree that ships nothing passes; one whose files all went missing
        // does not.
        if (qpm_qpf_qpk_hashes(new_tree, tree, shipped) != 0 || ekva_nument(shipped.get()) == 0)
            return 0;
    } else {
        rc = qpm_qpf_qpk_hashes(new_tree, tree, shipped);
        if (rc != 0 || ekva_nument(shipped.get()) == 0) {
            qlog(LL_ERROR, "qpm_chk_sub_files: Failure reading hash values for %s in package", tree.c_str());
            return rc != 0 ? rc : -1;
        }
    }

    // digest -> every path shipped with that content
    std::unordered_map<std::string, std::unordered_set<std::string>> by_digest;
    for (const auto &entry : shipped->entries())
        by_digest[entry.key].insert(entry.value.value_or(""));

    int errors = 0;
    std::unordered_set<std::string> present;
    static const std::vector<EkvaEntry> no_entries;
    const std::vector<EkvaEntry> &hashed_entries = hashed ? std::as_const(*hashed).entries() : no_entries;
    present.reserve(hashed_entries.size());
    for (const auto &entry : hashed_entries) {
        const std::string &digest = entry.key;
        const std::string path = entry.value.value_or("");
        present.insert(path);
        qlog(LL_DEBUG, "qpm_chk_sub_files: checking real file <%s>", path.c_str());
        if (have_so == 0 && fnmatch("*.so.*", path.c_str(), 0) == 0)
            have_so = 1;
        const auto found = by_digest.find(digest);
        if (found == by_digest.end()) {
            qlog(LL_ERROR, "qpm_chk_files: verify of %s%s failed: file not found in %s.txt or hashes do not match",
                 tree.c_str(), path.c_str(), tree.c_str());
            ++errors;
        } else if (found->second.count(path) != 0) {
            qlog(LL_DEBUG, "qpm_chk_sub_files: verify of %s%s succeeded: hash %s matches", tree.c_str(),
                 path.c_str(), digest.c_str());
            if (errors == 0)
                files.push_back(path);
        } else {
            qlog(LL_ERROR, "qpm_chk_sub_files: verify of %s / %s failed: file not found in %s.txt", tree.c_str(),
                 path.c_str(), tree.c_str());
            ++errors;
        }
    }

    // A listed file the payload lacks would leave the package half
    // installed: it fails the tree as a changed file does.
    for (const auto &entry : shipped->entries()) {
        const std::string path = entry.value.value_or("");
        if (present.insert(path).second) {
            qlog(LL_ERROR, "qpm_chk_sub_files: verify of %s%s failed: file listed in %s.txt is missing",
                 tree.c_str(), path.c_str(), tree.c_str());
            ++errors;
        }
    }

    if (errors > 0) {
        qlog(LL_DEBUG, "qpm_chk_sub_files: verify of all files in %s failed. %d errors found", tree.c_str(), errors);
        files.clear();
        return errors;
    }
    qlog(LL_DEBUG, "qpm_chk_sub_files: verify of %d files in %s succeeded", static_cast<int>(files.size()),
         tree.c_str());
    return 0;
}

int qpm_chk_all_files(const std::string &new_tree, StrArr &data_files, StrArr &info_files,
                      StrArr &init_files, StrArr &conf_files, StrArr &dump_files, const UnpackedFiles *unpacked)
{
    struct Step {
        const char *tree;
        StrArr *files;
    };
    const Step steps[] = {
        {"data", &data_files}, {"info", &info_files}, {"init", &init_files},
        {"conf", &conf_files}, {"dump", &dump_files},
    };
    for (const Step &step : steps)
        step.files->clear();
    for (const Step &step : steps) {
        qlog(LL_DEBUG, "qpm_chk_all_files: checking %s files in %s", step.tree, new_tree.c_str());
        const int rc = qpm_chk_sub_files(new_tree, step.tree, *step.files, unpacked);
        if (rc != 0) {
            qlog(LL_ERROR, "qpm_chk_all_files: Failure checking %s files in %s", step.tree, new_tree.c_str());
            for (const Step &done : steps)
                done.files->clear();
            return rc;
        }
    }
    return 0;
}

int qpm_chk_local_insert(const qpm_handle *qpm, const StrArr &new_files, StrArr &add_files)
{
    RootDirs dirs;
    return qpm_chk_local_insert(qpm, new_files, add_files, dirs);
}

int qpm_chk_local_insert(const qpm_handle *qpm, const StrArr &new_files, StrArr &add_files, RootDirs &dirs)
{
    add_files.clear();
    ExistingChoice choice;
    RootLookup system(dirs);
    for (const std::string &path : new_files) {
        if (!system.exists(path)) {
            add_files.push_back(path);
            continue;
        }
        // Answered from one index of every file index, read once: checking
        // thousands of files stays linear.
        if (const auto owner = qpm_file_owner(qpm, path)) {
            qlog(LL_ERROR, "aborting installation, %s exists and belongs to package %s", path.c_str(),
                 owner->c_str());
            add_files.clear();
            return -1;
        }
        switch (choice.decide(path)) {
        case Existing::Replace:
            qlog(LL_ERROR, "Ok, will overwrite %s", path.c_str());
            add_files.push_back(path);
            break;
        case Existing::Leave:
            qlog(LL_ERROR, "Ok, will skip writing %s to disk", path.c_str());
            break;
        case Existing::Abort:
            qlog(LL_ERROR, "aborting installation due to user request");
            add_files.clear();
            return -1;
        }
    }
    return 0;
}

int qpm_chk_local_update(const qpm_handle *qpm, const StrArr &old_files, const StrArr &new_files,
                         StrArr &del_files, StrArr &add_files)
{
    RootDirs dirs;
    return qpm_chk_local_update(qpm, old_files, new_files, del_files, add_files, dirs);
}

int qpm_chk_local_update(const qpm_handle *qpm, const StrArr &old_files, const StrArr &new_files,
                         StrArr &del_files, StrArr &add_files, RootDirs &dirs)
{
    del_files.clear();
    add_files.clear();
    if (old_files.empty() && new_files.empty())
        return 0;

    const std::unordered_set<std::string> old_set = as_set(old_files);
    ExistingChoice choice;
    RootLookup system(dirs);
    const auto fail = [&] {
        del_files.clear();
        add_files.clear();
        return -1;
    };

    for (const std::string &path : new_files) {
        qlog(LL_DEBUG, "qpm_chk_local_update: Checking for local existence of %s", path.c_str());
        if (!system.exists(path)) {
            add_files.push_back(path);
            qlog(LL_DEBUG, "qpm_chk_local_update: %s is not on disk, adding it to add_files", path.c_str());
            continue;
        }
        if (old_set.count(path) != 0) {
            add_files.push_back(path);
            qlog(LL_DEBUG, "qpm_chk_local_update: %s is on disk and belongs to the old package, adding it to add_files",
                 path.c_str());
            continue;
        }
        if (const auto owner = qpm_file_owner(qpm, path)) {
            qlog(LL_ERROR, "qpm_chk_local_update: %s is on disk and belongs to package %s, aborting", path.c_str(),
                 owner->c_str());
            return fail();
        }
        switch (choice.decide(path)) {
        case Existing::Replace:
            add_files.push_back(path);
            qlog(LL_DEBUG, "qpm_chk_local_update: %s is on disk, but does not belong to any package, will overwrite",
                 path.c_str());
            break;
        case Existing::Leave:
            qlog(LL_DEBUG, "qpm_chk_local_update: %s is on disk, but does not belong to any package, skipping",
                 path.c_str());
            break;
        case Existing::Abort:
            qlog(LL_ERROR, "aborting installation on already existing file not belonging to any package");
            return fail();
        }
    }

    const std::unordered_set<std::string> new_set = as_set(new_files);
    for (const std::string &path : old_files) {
        if (new_set.count(path) != 0 || !system.exists(path))
            continue;
        del_files.push_back(path);
        qlog(LL_DEBUG, "qpm_chk_local_update: %s is not in new files, adding it to del_files", path.c_str());
    }
    return 0;
}

ConfFileAction qpm_chk_conf_file(const qpm_handle *qpm, const std::string &name, const std::string &path,
                                 bool update)
{
    if (!on_system(path))
        return ConfFileAction::InstallMissing;
    if (!update)
        return ConfFileAction::KeepExisting;
    if (!qpm || qpm->dirs.installed.empty())
        return ConfFileAction::KeepExisting;
    const std::string shipped =
        strprintf("%.1000s/%.1000s/conf%s", qpm->dirs.installed.c_str(), name.c_str(), path.c_str());
    const std::optional<std::string> shipped_hash = qps_sha1_file(shipped, 'x');
    if (!shipped_hash)
        return ConfFileAction::KeepExisting;
    // The file itself, its directories resolved inside the system root. One
    // that the administrator made a link is theirs: it is kept.
    const std::optional<ParentDir> dir = ParentDir::open(path);
    const UniqueFd file(dir ? ::openat(dir->fd(), dir->name().c_str(),
                                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                            : -1);
    struct stat st {};
    if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return ConfFileAction::KeepModified;
    Sha1Stream sha;
    const std::optional<Sha1::Digest> digest = sha.update_from(file.get()) ? sha.final() : std::nullopt;
    // A file that cannot be read cannot be shown to be unchanged.
    if (!digest || sha1_format(*digest, 'x') != *shipped_hash)
        return ConfFileAction::KeepModified;
    return ConfFileAction::OverwriteUnmodified;
}

} // namespace qpm
