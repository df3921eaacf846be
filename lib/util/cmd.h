#pragma once
// Shell command lines: running a command line with its outputs captured in
// memory, and running a package script with its outputs passed on to terminal
// and log. Masks filled from a record are in record/cmdmask.h.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qpm {

// The longest command cmd_exec passes to the shell; longer ones are cut.
constexpr size_t CMD_EXEC_MAX = 65000;

// Runs `command` through the shell with standard output and standard error
// captured whole. Returns the wait status from system(), or -1 (with a message
// on standard error) when a temporary file cannot be made; then nothing runs.
// An output that cannot be read back is nullopt.
int cmd_exec(std::string_view command, std::optional<std::string> &out,
             std::optional<std::string> &err);
// As cmd_exec: the command runs as the current user whatever `user` says.
int cmd_exec_user(std::string_view command, const char *user, std::optional<std::string> &out,
                  std::optional<std::string> &err);

// Runs a package script with cmd_exec and passes what it printed on: logged
// at INFO (when the log file is in use) and then written to our own standard
// output and standard error. `label` names the script and changes nothing.
int qpm_system(const char *label, std::string_view command);

// The two steps of cmd_exec, kept apart so that a command can also be run
// somewhere else than through the host's shell (confined to a system root).

// The shell line: the command cut at CMD_EXEC_MAX characters, standard output
// redirected to `out_path` and standard error to `err_path` (as the shell that
// runs the line sees them).
std::string cmd_exec_line(std::string_view command, std::string_view out_path,
                          std::string_view err_path);

// Runs one shell line and returns a wait status, as system() does.
using CmdRunner = std::function<int(const std::string &line)>;

// The host shell: system().
int cmd_run_system(const std::string &line);

// cmd_exec with the line run by `runner`. The temporary files are made in
// `root` + "/tmp" and named in the line without `root` ("" = the host's /tmp),
// so a runner that enters `root` first finds them at the names it was given.
int cmd_exec_with(std::string_view command, std::optional<std::string> &out,
                  std::optional<std::string> &err, const CmdRunner &runner,
                  std::string_view root = {});

// qpm_system with the line run by `runner` (see cmd_exec_with for `root`).
int qpm_system_with(const char *label, std::string_view command, const CmdRunner &runner,
                    std::string_view root = {});

} // namespace qpm
