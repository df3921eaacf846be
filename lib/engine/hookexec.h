#pragma once
// Hook matching and execution: after a package's files are in place, every
// hook of the wanted type whose condition holds for the package yields one
// command (its template filled from the package's attributes). The commands
// travel with the transaction, are gathered by the front end for the whole
// run and run once at its very end, after the inventory was closed.
#include "record/ekva.h"
#include "util/cmd.h"
#include "util/strarr.h"

#include <string>
#include <string_view>

namespace qpm {

struct qpm_handle;
struct qpk_info;
struct qpt;

// The only hook type the engine asks for.
constexpr const char *QPM_HOOK_TYPE_CFG = "99-cfg";

// The expanded commands of every hook of `type` in the handle's hook set
// whose condition matches the package `info` (attributes of its description;
// data, conf and dump files as installed, each list may be empty). One
// command per matching hook, in hook order; empty when none matched.
StrArr qpm_hooks_parse(const qpm_handle *qpm, const qpk_info *info, std::string_view type,
                       const StrArr &data_files, const StrArr &conf_files, const StrArr &dump_files);

// 1 when the condition NAME=GLOB (expanded from `attrs` first) holds for a
// value of NAME in `attrs`, else 0.
int qpm_hook_match_attr(const Ekva *attrs, std::string_view cond);

// 1 when a file of `files` matches the shell pattern `cond` (expanded from
// `attrs` first; '*' also matches '/'), else 0.
int qpm_hook_match_file(const Ekva *attrs, std::string_view cond, const StrArr &files);

// Appends every entry (package name, command) of `cmds` to the run list,
// which is made (capacity 20, kind 3) when null. Returns how many were
// appended; 0 for null `cmds`.
int add_hookcmds(EkvaPtr &run_list, const Ekva *cmds);

// Runs every command of the run list in order, each waited for; a failing
// one does not stop the others. Returns 0.
int qpm_exe_hooks(const Ekva *run_list);

// Releases the transaction's hook commands and leaves them null. Returns 0.
int qpm_hookcmds_del(const qpm_handle *qpm, qpt &record);

// How one hook command is run; a wait status as system() reports it. By
// default the host's shell. A confined runner takes its place with
// qpm_hook_runner_set, which returns the runner it replaced (an empty runner
// restores the default).
int qpm_hook_run(const std::string &command);
CmdRunner qpm_hook_runner_set(CmdRunner runner);

} // namespace qpm
