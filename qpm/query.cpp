// The inventory queries: list, info, files, owner and log. None takes the
// lock and none writes anything.
#include "commands.h"
#include "front.h"

#include "engine/actionlog.h"
#include "engine/contents.h"
#include "engine/installed.h"
#include "engine/report.h"
#include "ui/ftable.h"
#include "ui/ui.h"
#include "util/csv.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fnmatch.h>
#include <unistd.h>

using namespace qpm;

namespace {

const CommandSpec LIST = {
    "list", "[-o OPTIONS] [PATTERN]",
    "Lists the installed packages, all of them or those whose name matches the\n"
    "shell pattern PATTERN (quote it: 'lib*'). Exit status 1 when a PATTERN\n"
    "matches no package.\n",
    {}, {"outform"}, 0, 1};

const CommandSpec INFO = {
    "info", "[-o OPTIONS] NAME",
    "Shows the details of the installed package NAME: labelled lines, with\n"
    "outform=l one LDIF entry, with outform=c one colon-separated line.\n",
    {}, {"outform"}, 1, 1};

const CommandSpec FILES = {
    "files", "[-o OPTIONS] NAME",
    "Lists what the installed package NAME put on the system, one line each:\n"
    "\"d PATH\" a data file, \"c PATH\" a configuration file, \"l PATH -> TARGET\" a\n"
    "symbolic link; each kind sorted by path. With outform=c CSV rows of kind,\n"
    "path and target.\n",
    {}, {"outform"}, 1, 1};

const CommandSpec OWNER = {
    "owner", "[-o OPTIONS] PATH...",
    "Tells which installed package holds each PATH, as a data file, a\n"
    "configuration file or a symbolic link (\"PATH: NAME\"); a link it does not\n"
    "list counts as the file it leads to. Exit status 1 when a PATH belongs to\n"
    "no package.\n",
    {}, {}, 1, -1};

enum LogFlag { LOG_REVERSE = 1, LOG_RAW = 2 };
constexpr GetoptsOption LOG_FLAGS[] = {
    {LOG_REVERSE, "reverse", "newest entries first", nullptr, 0},
    {LOG_RAW, "raw", "the log's own lines, unparsed", nullptr, 0},
};

const CommandSpec LOG = {
    "log", "[-o OPTIONS] [--reverse] [--raw]",
    "Lists the action log, one entry per package installed, updated or removed,\n"
    "oldest first: as labelled text, with outform=l as LDIF, with outform=c as\n"
    "CSV rows under a header, with --raw as the lines themselves.\n",
    LOG_FLAGS, {"outform"}, 0, 0};

// The package-list form of an outform: text columns, LDIF or CSV.
int list_form(int outform) { return outform == QPM_FORM_LDIF || outform == QPM_FORM_CSV ? outform : QPM_FORM_TEXT; }

// A path as the target system knows it: relative ones start at the current
// directory (under a system root, its place inside the root).
std::string system_path_of(const std::string &path)
{
    if (!path.empty() && path.front() == '/')
        return std::filesystem::path(path).lexically_normal().string();
    std::error_code ec;
    std::string absolute = (std::filesystem::current_path(ec) / path).lexically_normal().string();
    const std::string &root = system_root();
    if (!root.empty() && absolute.starts_with(root + "/"))
        absolute.erase(0, root.size());
    return absolute;
}

} // namespace

int qpm_cmd_list(int argc, char **argv)
{
    CommandLine line;
    if (const int status = qpm_command_start(LIST, argc, argv, line); status >= 0)
        return status;
    QpmPtr qpm = qpm_open_for_reading(LIST);
    if (!qpm)
        return QPM_EXIT_FAILURE;
    QpiList all;
    qpm_list_qpi(qpm.get(), std::nullopt, 1, all);
    QpiList shown;
    for (QpiPtr &qpi : all) {
        if (line.words.empty() || fnmatch(line.words[0].c_str(), qpi->name.c_str(), 0) == 0)
            shown.push_back(std::move(qpi));
    }
    if (qpm_qpk_list_write(nullptr, shown, static_cast<int>(shown.size()), QPM_LIST_INSTALLED,
                           list_form(line.outform), 0) != 0)
        return QPM_EXIT_FAILURE;
    if (!line.words.empty() && shown.empty()) {
        qpm_say_error(LIST, "no installed package matches %s", line.words[0].c_str());
        return QPM_EXIT_FAILURE;
    }
    return QPM_EXIT_OK;
}

int qpm_cmd_info(int argc, char **argv)
{
    CommandLine line;
    if (const int status = qpm_command_start(INFO, argc, argv, line); status >= 0)
        return status;
    QpmPtr qpm = qpm_open_for_reading(INFO);
    if (!qpm)
        return QPM_EXIT_FAILURE;
    const QpiPtr qpi = qpm_qpl_info(qpm.get(), line.words[0]);
    if (!qpi) {
        qpm_say_error(INFO, "%s is not installed", line.words[0].c_str());
        return QPM_EXIT_FAILURE;
    }
    const int form = line.outform == QPM_FORM_LDIF  ? QPM_INFO_LDIF
                     : line.outform == QPM_FORM_CSV ? QPM_INFO_LINE
                                                    : QPM_INFO_TEXT;
    return qpm_qpk_info_write(qpi.get(), nullptr, QPM_INFO_INSTALLED, form) == 0 ? QPM_EXIT_OK : QPM_EXIT_FAILURE;
}

int qpm_cmd_files(int argc, char **argv)
{
    CommandLine line;
    if (const int status = qpm_command_start(FILES, argc, argv, line); status >= 0)
        return status;
    QpmPtr qpm = qpm_open_for_reading(FILES);
    if (!qpm)
        return QPM_EXIT_FAILURE;
    const std::string &name = line.words[0];
    if (!qpm_qpl_info(qpm.get(), name)) {
        qpm_say_error(FILES, "%s is not installed", name.c_str());
        return QPM_EXIT_FAILURE;
    }
    const bool csv = line.outform == QPM_FORM_CSV;
    std::string text = csv ? "kind,path,target\n" : "";
    // Data files, configuration files, links; each kind by path.
    std::vector<PackageEntry> entries = qpm_qpl_contents(qpm.get(), name);
    const auto rank = [](char kind) { return kind == QPM_ENTRY_DATA ? 0 : kind == QPM_ENTRY_CONF ? 1 : 2; };
    std::stable_sort(entries.begin(), entries.end(), [&](const PackageEntry &a, const PackageEntry &b) {
        return rank(a.kind) != rank(b.kind) ? rank(a.kind) < rank(b.kind) : a.path < b.path;
    });
    for (const PackageEntry &entry : entries) {
        if (csv)
            text += arr2csv({std::string(1, entry.kind), entry.path, entry.target}, ',', 0) + "\n";
        else if (entry.kind == QPM_ENTRY_LINK)
            text += strprintf("%c %s -> %s\n", entry.kind, entry.path.c_str(), entry.target.c_str());
        else
            text += strprintf("%c %s\n", entry.kind, entry.path.c_str());
    }
    qpmui_write(qpmui.get(), text);
    return QPM_EXIT_OK;
}

int qpm_cmd_owner(int argc, char **argv)
{
    CommandLine line;
    if (const int status = qpm_command_start(OWNER, argc, argv, line); status >= 0)
        return status;
    QpmPtr qpm = qpm_open_for_reading(OWNER);
    if (!qpm)
        return QPM_EXIT_FAILURE;
    int status = QPM_EXIT_OK;
    for (const std::string &word : line.words) {
        const std::string path = system_path_of(word);
        if (const std::optional<PathOwner> owner = qpm_path_owner(qpm.get(), path)) {
            qpmui_write(qpmui.get(), strprintf("%s: %s\n", word.c_str(), owner->package.c_str()));
        } else {
            qpm_say_error(OWNER, "%s is not owned by any installed package", word.c_str());
            status = QPM_EXIT_FAILURE;
        }
    }
    return status;
}

int qpm_cmd_log(int argc, char **argv)
{
    CommandLine line;
    if (const int status = qpm_command_start(LOG, argc, argv, line); status >= 0)
        return status;
    int form = line.outform == QPM_FORM_LDIF || line.outform == QPM_FORM_CSV ? line.outform : QPM_LOGFORM_TEXT;
    if (line.has(LOG_RAW))
        form = QPM_LOGFORM_RAW;
    // A missing log is a system where nothing happened yet. The listing
    // reads another file only for the real root (see qpm_showlog).
    const char *debug_file = getuid() == 0 ? std::getenv(QPM_SHOWLOG_DEBUG_LOGFILE) : nullptr;
    const std::string path = debug_file && *debug_file ? std::string(debug_file) : qpm_log_path();
    if (access(path.c_str(), F_OK) != 0 && errno == ENOENT)
        return QPM_EXIT_OK;
    if (access(path.c_str(), R_OK) != 0) {
        qpm_say_error(LOG, "cannot read %s: %s", path.c_str(), std::strerror(errno));
        return QPM_EXIT_FAILURE;
    }
    qpm_showlog(nullptr, form, line.has(LOG_REVERSE) ? 2 : 1);
    return QPM_EXIT_OK;
}
