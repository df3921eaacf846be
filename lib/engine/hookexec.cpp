#include "engine/hookexec.h"

#include "engine/deps.h"
#include "engine/inventory.h"
#include "package/qpk_info.h"
#include "record/cmdmask.h"
#include "util/log.h"

#include <cstdio>
#include <fnmatch.h>
#include <utility>
#include <vector>

namespace qpm {
namespace {

CmdRunner &hook_runner()
{
    static CmdRunner runner;
    return runner;
}

// The hook's type is `type` (any eqphType entry of it, compared exactly).
bool hook_has_type(const Ekva *hook, std::string_view type)
{
    if (!hook)
        return false;
    for (const auto &entry : hook->entries()) {
        if (entry.key == "eqphType" && entry.value && *entry.value == type)
            return true;
    }
    return false;
}

// Whether one hook's condition holds for the package.
bool hook_matches(const Ekva *attrs, const std::string &cond, const StrArr &data_files,
                  const StrArr &conf_files, const StrArr &dump_files)
{
    if (cond.size() < 6) {
        qlog(LL_INFO, "qpm_hooks_parse: invalid cond");
        return false;
    }
    if (cond[4] != ':') {
        qlog(LL_INFO, "qpm_hooks_parse: invalid cond <%s>", cond.c_str());
        return false;
    }
    const std::string kind = cond.substr(0, 4);
    const std::string pattern = cond.substr(5);
    if (kind == "data") {
        qlog(LL_DEBUG, "qpm_hooks_parse: got data cond: <%s>", pattern.c_str());
        return qpm_hook_match_file(attrs, pattern, data_files) == 1;
    }
    if (kind == "dump") {
        qlog(LL_DEBUG, "qpm_hooks_parse: got dump cond: <%s>", pattern.c_str());
        return qpm_hook_match_file(attrs, pattern, dump_files) == 1;
    }
    if (kind == "attr") {
        qlog(LL_DEBUG, "qpm_hooks_parse: got attr cond: <%s>", pattern.c_str());
        return qpm_hook_match_attr(attrs, pattern) == 1;
    }
    if (kind == "conf") {
        qlog(LL_DEBUG, "qpm_hooks_parse: got conf cond: <%s>", pattern.c_str());
        return qpm_hook_match_file(attrs, pattern, conf_files) == 1;
    }
    if (kind == "info") {
        qlog(LL_DEBUG, "qpm_hooks_parse: got info cond: <%s>", pattern.c_str());
        return false;
    }
    qlog(LL_INFO, "qpm_hooks_parse: unknown cond type: <%s>", kind.c_str());
    return false;
}

} // namespace

StrArr qpm_hooks_parse(const qpm_handle *qpm, const qpk_info *info, std::string_view type,
                       const StrArr &data_files, const StrArr &conf_files, const StrArr &dump_files)
{
    StrArr commands;
    qlog(LL_DEBUG, "qpm_hooks_parse: starting");
    if (!qpm || qpm->hooks.empty()) {
        qlog(LL_DEBUG, "qpm_hooks_parse: no hooks.");
        return commands;
    }
    const EkvaPtr attrs = qpk_info_ekva(info, QPK_KIND_FILE);
    const std::string type_text(type);

    // A hook counts once even if it names the type twice.
    int found = 0;
    for (const auto &hook : qpm->hooks)
        found += hook_has_type(hook.get(), type) ? 1 : 0;
    qlog(LL_DEBUG, "qpm_hooks_parse: found %d hook(-s) of type %s", found, type_text.c_str());
    if (found == 0)
        return commands;

    for (const auto &hook_ptr : qpm->hooks) {
        const Ekva *hook = hook_ptr.get();
        if (!hook_has_type(hook, type))
            continue;
        const char *name = ekva_getval(hook, "eqphName");
        qlog(LL_DEBUG, "qpm_hooks_parse: found hook named %s", name ? name : "");
        const char *cond = ekva_getval(hook, "eqphCond");
        if (!cond) {
            qlog(LL_INFO, "qpm_hooks_parse: no hook cond");
            continue;
        }
        const char *exec = ekva_getval(hook, "eqphExec");
        if (!exec) {
            qlog(LL_INFO, "qpm_hooks_parse: no hook exec");
            continue;
        }
        if (!hook_matches(attrs.get(), cond, data_files, conf_files, dump_files))
            continue;
        std::optional<std::string> command = cmd_mask_parse(exec, attrs.get());
        if (!command)
            continue;
        qlog(LL_DEBUG, "qpm_hooks_parse: we got a match, will add command: <%s>", command->c_str());
        commands.push_back(std::move(*command));
    }
    return commands;
}

int qpm_hook_match_file(const Ekva *attrs, std::string_view cond, const StrArr &files)
{
    if (files.empty())
        return 0;
    const std::string cond_text(cond);
    const std::string pattern = cmd_mask_parse(cond, attrs).value_or("");
    qlog(LL_DEBUG, "qpm_hook_match_file: parsed cond: <%s> = <%s>", cond_text.c_str(), pattern.c_str());
    for (const std::string &file : files) {
        qlog(LL_DEBUG, "qpm_hook_match_file: checking <%s> for match on <%s>", file.c_str(), pattern.c_str());
        if (fnmatch(pattern.c_str(), file.c_str(), 0) == 0) {
            qlog(LL_DEBUG, "qpm_hook_match_file: bingo, <%s> matches <%s>", file.c_str(), pattern.c_str());
            return 1;
        }
    }
    return 0;
}

int qpm_hook_match_attr(const Ekva *attrs, std::string_view cond)
{
    const std::string cond_text(cond);
    const std::string parsed = cmd_mask_parse(cond, attrs).value_or("");
    qlog(LL_DEBUG, "qpm_hook_match_attr: parsed cond: <%s> = <%s>", cond_text.c_str(), parsed.c_str());
    const size_t equals = parsed.find('=');
    if (parsed.empty() || equals == std::string::npos) {
        qlog(LL_ERROR, "qpm_hook_match_attr: parsed cond: <%s> is not a valid attribute condition",
             parsed.c_str());
        return 0;
    }
    const std::string name = parsed.substr(0, equals);
    const std::string glob = parsed.substr(equals + 1);
    qlog(LL_DEBUG, "qpm_hook_match_attr: got attr_name: <%s>", name.c_str());
    qlog(LL_DEBUG, "qpm_hook_match_attr: got attr_chck: <%s>", glob.c_str());
    qlog(LL_DEBUG, "qpm_hook_match_attr: found %d values for: <%s>", ekva_cntval(attrs, name), name.c_str());
    if (!attrs)
        return 0;
    for (const auto &entry : attrs->entries()) {
        if (!equals_nocase(entry.key, name) || !entry.value)
            continue;
        const std::string &value = *entry.value;
        if (fnmatch(glob.c_str(), value.c_str(), 0) == 0) {
            qlog(LL_DEBUG, "qpm_hook_match_attr: bingo, <%s> matches <%s>", value.c_str(), glob.c_str());
            return 1;
        }
        qlog(LL_DEBUG, "qpm_hook_match_attr: bongo, <%s> does not match <%s>", value.c_str(), glob.c_str());
    }
    return 0;
}

int add_hookcmds(EkvaPtr &run_list, const Ekva *cmds)
{
    if (!cmds)
        return 0;
    if (!run_list)
        run_list = ekva_new(20, 3);
    // Appending a list to itself must not walk entries that move as it grows.
    std::vector<EkvaEntry> own_copy;
    if (cmds == run_list.get())
        own_copy = cmds->entries();
    const std::vector<EkvaEntry> &entries = cmds == run_list.get() ? own_copy : cmds->entries();
    int added = 0;
    for (const auto &entry : entries) {
        ekva_addval(run_list, entry.key, entry.value, EKVA_APPEND);
        ++added;
    }
    return added;
}

int qpm_exe_hooks(const Ekva *run_list)
{
    if (!run_list) {
        qlog(LL_DEBUG, "qpm_exe_hooks: no hooks to execute");
        return 0;
    }
    qlog(LL_DEBUG, "qpm_exe_hooks: found %d hooks to execute", ekva_nument(run_list));
    for (const auto &entry : run_list->entries()) {
        // An entry without a command has nothing to run.
        if (!entry.value)
            continue;
        const std::string &command = *entry.value;
        qlog(LL_DEBUG, "qpm_exe_hooks: Found hook command %s for qpk %s to execute", command.c_str(),
             entry.key.c_str());
        qlog(LL_DEBUG, "qpm_exe_hooks: cmdline: %s", command.c_str());
        const int rc = qpm_hook_run(command);
        qlog(LL_INFO, "Configured %s, rc = %d", entry.key.c_str(), rc);
    }
    return 0;
}

int qpm_hookcmds_del(const qpm_handle * /*qpm*/, qpt &record)
{
    qlog(LL_DEBUG, "qpm_hookcmds_del: found %d scripts to delete", ekva_nument(record.qpm_hookcmds.get()));
    record.qpm_hookcmds.reset();
    return 0;
}

int qpm_hook_run(const std::string &command)
{
    // Our buffered output goes first, so it stays ahead of the command's.
    std::fflush(nullptr);
    const CmdRunner &runner = hook_runner();
    if (runner)
        return runner(command);
    return cmd_run_system(command);
}

CmdRunner qpm_hook_runner_set(CmdRunner runner) { return std::exchange(hook_runner(), std::move(runner)); }

} // namespace qpm
