#include "engine/scripts.h"

#include "engine/confine.h"
#include "engine/deps.h"
#include "engine/hookexec.h"
#include "engine/inventory.h"
#include "engine/pending.h"
#include "engine/stage.h"
#include "package/qpk_info.h"
#include "util/files.h"
#include "util/globals.h"
#include "util/log.h"
#include "util/strfmt.h"

#include <cstdlib>
#include <optional>
#include <string_view>

namespace qpm {
namespace {

constexpr size_t SCRIPTENV_NAME_MAX = 32;

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

namespace {

// The command line of the stage script, as the confined shell sees its paths.
std::string stage_script_line(const PackagePaths &p, StageFor who, const char *script)
{
    const std::string sv = root_view(p.scriptdir);
    const std::string nv = root_view(p.new_tree);
    if (who == StageFor::Install)
        return strprintf("cd %s && PATH=%s QPM_MODE=INSTALL QPK_STAGE_NEW=%s %s/ash %s/init/%s", sv.c_str(),
                         sv.c_str(), nv.c_str(), sv.c_str(), nv.c_str(), script);
    if (script == std::string_view("00-add.sh"))
        return strprintf("cd %s && PATH=%s QPM_MODE=UPDATE QPK_STAGE_NEW=%s %s/ash %s/init/%s", sv.c_str(),
                         sv.c_str(), nv.c_str(), sv.c_str(), nv.c_str(), script);
    return strprintf("cd %s && PATH=%s QPM_MODE=UPDATE QPM_QPKDIR=%s QPK_STAGE_NEW=%s %s/ash %s/init/%s",
                     sv.c_str(), sv.c_str(), nv.c_str(), nv.c_str(), sv.c_str(), nv.c_str(), script);
}

} // namespace

int run_stage_script(const qpm_handle *qpm, const StagedPackage &staged, const char *script,
                     const qpk_info *old_qpi, const qpk_info &new_qpi, StageFor who, bool talk)
{
    const std::string command = stage_script_line(staged.paths, who, script);
    if (who == StageFor::Install)
        qlog(LL_DEBUG, "qpm_install_qpk: cmdline: %s", command.c_str());
    else
        qlog(LL_DEBUG, "qpm_update_qpk: cmdline: %s", command.c_str());
    if (talk && script == std::string_view("00-add.sh"))
        qlog(LL_INFO, "executing pre-install script for %s", staged.paths.puname.c_str());
    else if (talk)
        qlog(LL_INFO, "executing post-install script for %s", staged.paths.puname.c_str());
    StrArr env = qpm_scriptenv_add(old_qpi, &new_qpi);
    const int rc = qpm_run_script(qpm, script, command);
    qpm_scriptenv_del(env);
    return rc;
}

bool refresh_library_cache()
{
    if (!have_so)
        return false;
    qpm_run_ldconfig();
    have_so = 0;
    return true;
}

StrArr configure_commands(const qpm_handle *qpm, const qpk_info &qpi, const StagedPackage &staged,
                          const StrArr &data_files, StageFor who)
{
    const bool install = who == StageFor::Install;
    StrArr commands;
    if (in_array(staged.files.init, "/99-cfg.sh")) {
        commands.push_back("99-cfg.sh");
        if (install)
            qlog(LL_DEBUG, "qpm_install_qpk: Found 99-cfg, registered");
        else
            qlog(LL_DEBUG, "qpm_update_qpk: Found 99-cfg, registered");
    }
    for (std::string &command :
         qpm_hooks_parse(qpm, &qpi, QPM_HOOK_TYPE_CFG, data_files, staged.files.conf, staged.files.dump)) {
        if (install)
            qlog(LL_DEBUG, "qpm_install_qpk: Adding hook command: <%s>", command.c_str());
        else
            qlog(LL_DEBUG, "qpm_update_qpk: Adding hook command: <%s>", command.c_str());
        commands.push_back(std::move(command));
    }
    return commands;
}

void queue_configure(qpt &record, const std::string &name, const StrArr &commands)
{
    if (!record.scripts)
        record.scripts = ekva_new(10, 3);
    for (const std::string &command : commands)
        ekva_addval(record.scripts, name, command, EKVA_APPEND);
}

int run_configure_script(qpm_handle *qpm, const std::string &name, const std::string &script)
{
    const char *installed = qpm->dirs.installed.c_str();
    const std::string sv = root_view(qpm->dirs.scriptdir);
    const std::string package_dir = strprintf("%s/%s", installed, name.c_str());
    const std::string pv = root_view(package_dir);
    const std::string line = strprintf("cd %s && PATH=%s QPM_QPKDIR=%s %s/ash %s/init/%s", sv.c_str(), sv.c_str(),
                                       pv.c_str(), sv.c_str(), pv.c_str(), script.c_str());
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
    return rc;
}

int qpm_scripts_exe(qpm_handle *qpm, qpt &record)
{
    if (!record.scripts) {
        qlog(LL_DEBUG, "qpm_scripts_exe: no scripts to configure");
        return 0;
    }
    qlog(LL_DEBUG, "qpm_scripts_exe: found %d scripts to configure", ekva_nument(record.scripts.get()));
    if (qpm->dirs.installed.empty() || qpm->dirs.scriptdir.empty())
        return 0;
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
        run_configure_script(qpm, name, command);
        pending_done(qpm, {PendingKind::Configure, name, command, ""});
    }
    return 0;
}

} // namespace qpm
