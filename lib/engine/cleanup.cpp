#include "engine/cleanup.h"

#include "engine/inventory.h"
#include "package/tree.h"
#include "record/ekva.h"
#include "ui/ui.h"
#include "util/globals.h"
#include "util/ldef.h"
#include "util/log.h"
#include "util/files.h"
#include "util/strfmt.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string_view>
#include <sys/stat.h>

namespace qpm {
namespace {

enum class Section { Installed, FileIndex, StageArea };

// The first occurrence of `suffix` is at the very end of `name`.
bool first_at_end(std::string_view name, std::string_view suffix)
{
    const size_t at = name.find(suffix);
    return at != std::string_view::npos && at + suffix.size() == name.size();
}

bool taken(Section section, std::string_view name, unsigned char type)
{
    switch (section) {
    case Section::Installed:
        return type == DT_DIR && name.front() == '.' && first_at_end(name, ".old");
    case Section::FileIndex:
        return type == DT_REG && name.front() == '.' && first_at_end(name, ".old");
    case Section::StageArea:
        return type == DT_REG && first_at_end(name, ".qpk");
    }
    return false;
}

// The type of an entry, from lstat where readdir gives none.
unsigned char entry_type(const std::string &dir, const DirName &entry)
{
    if (entry.type != DT_UNKNOWN)
        return entry.type;
    struct stat st {};
    const std::string path = dir + "/" + entry.name;
    if (::lstat(path.c_str(), &st) != 0)
        return DT_UNKNOWN;
    return S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
}

// A previous record or index whose live NAME is gone is all that is left of
// the package: it is kept for the administrator, not deleted.
bool orphaned(Section section, const std::string &dir, const std::string &name)
{
    if (section == Section::StageArea)
        return false;
    const std::string live = dir + "/" + name.substr(1, name.size() - 1 - 4);
    struct stat st {};
    return ::lstat(live.c_str(), &st) != 0;
}

} // namespace

int qpm_cleanup(qpm_handle *qpm)
{
    if (!qpm)
        return -1;
    if (!dry_run && qpm->locked != 1) {
        qlog(LL_ERROR, "qpm_cleanup: no lock on local repository");
        return -1;
    }
    EkvaPtr options = str2ekva(QPM_CLEANUP_OPTIONS, ',');
    int count = 0;
    long long total = 0;
    const struct {
        Section section;
        const std::string &dir;
    } sections[] = {{Section::Installed, qpm->dirs.installed},
                    {Section::FileIndex, qpm->dirs.fileindex},
                    {Section::StageArea, qpm->dirs.stagearea}};

    for (const auto &[section, dir] : sections) {
        char remembered = vote_mode == 1 ? 0 : 'd';
        const std::optional<DirNames> listing = list_directory(dir);
        if (!listing) {
            qlog(LL_INFO, "failure opening <%s> for reading: %s", dir.c_str(), std::strerror(errno));
            return -1;
        }
        for (const DirName &entry : listing->entries) {
            if (!taken(section, entry.name, entry_type(dir, entry)))
                continue;
            const std::string path = strprintf("%s/%s", dir.c_str(), entry.name.c_str());
            const char *name = entry.name.c_str();
            long long size = 0;
            if (section == Section::Installed) {
                if (qpm_qpf_dudir(path, size) != 0) {
                    qlog(LL_ERROR, "failed to dudir %s", path.c_str());
                    continue;
                }
            } else {
                struct stat st {};
                if (::stat(path.c_str(), &st) != 0) {
                    qlog(LL_ERROR, "failed to stat %s", path.c_str());
                    continue;
                }
                size = st.st_size;
            }
            const long shown = static_cast<long>(size);
            if (dry_run) {
                if (section == Section::Installed)
                    qlog(LL_INFO, "installed: found %s of size %ld", name, shown);
                else if (section == Section::FileIndex)
                    qlog(LL_INFO, "fileindex: found %s of size %ld", name, shown);
                else
                    qlog(LL_INFO, "stagearea: found %s of size %ld", name, shown);
                ++count;
                total += size;
                continue;
            }

            char choice = remembered;
            if (!choice) {
                const std::string question =
                    section == Section::Installed   ? strprintf("installed: delete directory %s with size %ld", name, shown)
                    : section == Section::FileIndex ? strprintf("fileindex: delete file %s with size %ld", name, shown)
                                                    : strprintf("stagearea: delete file %s with size %ld", name, shown);
                const char *answer = qpmui_select(qpmui.get(), question.c_str(), options.get(), "d", 0);
                if (!answer || !*answer) {
                    qlog(LL_ERROR, "aborting cleanup");
                    return -1;
                }
                choice = answer[0];
                if (choice == 'L')
                    remembered = choice = 'k';
                else if (choice == 'R')
                    remembered = choice = 'd';
            }
            if (choice == 'd' && orphaned(section, dir, entry.name))
                choice = 'k';
            if (choice == 'a') {
                qlog(LL_ERROR, "aborting cleanup");
                return -1;
            }
            if (choice == 'k') {
                if (section == Section::Installed)
                    qlog(LL_INFO, "installed: keeping %s", name);
                else if (section == Section::FileIndex)
                    qlog(LL_INFO, "fileindex: keeping %s", name);
                else
                    qlog(LL_INFO, "stagearea: keeping %s", name);
                continue;
            }
            if (choice != 'd')
                continue;
            if (section == Section::Installed) {
                qlog(LL_INFO, "installed: removing %s", name);
                if (qpm_qpf_rmdir(path) != 0) {
                    qlog(LL_ERROR, "installed: failed to remove %s", name);
                    continue;
                }
            } else {
                if (section == Section::FileIndex)
                    qlog(LL_INFO, "fileindex: removing %s", name);
                else
                    qlog(LL_INFO, "stagearea: removing %s", name);
                // Only what is really gone counts.
                if (std::remove(path.c_str()) != 0) {
                    qlog(LL_ERROR, "failed to remove %s: %s", path.c_str(), std::strerror(errno));
                    continue;
                }
            }
            ++count;
            total += size;
        }
    }
    qlog(LL_INFO, "cleanup deleted: %s", ldef_nice_byte(static_cast<double>(total)).c_str());
    return count;
}

} // namespace qpm
