#include "engine/confine.h"

#include "engine/inventory.h"
#include "util/cmd.h"
#include "util/log.h"
#include "util/sysroot.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qpm {
namespace {

// The inventory's ash as seen from inside the root.
std::string inside_ash(const qpm_handle *qpm)
{
    if (qpm && !qpm->dirs.scriptdir.empty())
        return root_view(qpm->dirs.scriptdir) + "/ash";
    return root_view(root_path(syspath::inventory) + "/scriptdir") + "/ash";
}

// Runs `line` with `ash -c` inside the system root; a wait status.
int run_in_root(const std::string &ash, const std::string &line)
{
    const std::string &root = system_root();
    struct stat st {};
    if (stat((root + ash).c_str(), &st) != 0) {
        qlog(LL_ERROR, "cannot run command inside %s: no shell %s", root.c_str(), ash.c_str());
        return CONFINE_FAILED_STATUS;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (chroot(root.c_str()) != 0 || chdir("/") != 0) {
            std::fprintf(stderr, "cannot run command inside %s: %s\n", root.c_str(), std::strerror(errno));
            _exit(127);
        }
        execl(ash.c_str(), "ash", "-c", line.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

// Captured output is written to the root's /tmp, which an image being built
// may not have yet.
void ensure_root_tmp()
{
    const std::string tmp = system_root() + "/tmp";
    if (mkdir(tmp.c_str(), 01777) == 0)
        chmod(tmp.c_str(), 01777); // mkdir's mode passes through the umask
}

} // namespace

std::string root_view(std::string_view host_path)
{
    const std::string &root = system_root();
    if (root.empty() || !host_path.starts_with(root))
        return std::string(host_path);
    std::string_view inside = host_path.substr(root.size());
    if (inside.empty())
        return "/";
    if (inside.front() != '/')
        return std::string(host_path); // a sibling like ROOT2/x, not inside
    return std::string(inside);
}

int qpm_run_script(const qpm_handle *qpm, const char *label, const std::string &command)
{
    if (!have_system_root())
        return qpm_system(label, command);
    const std::string ash = inside_ash(qpm);
    ensure_root_tmp();
    return qpm_system_with(label, command, [&ash](const std::string &line) { return run_in_root(ash, line); },
                           system_root());
}

int qpm_run_command(const qpm_handle *qpm, const std::string &command)
{
    if (!have_system_root()) {
        std::fflush(nullptr);
        return std::system(command.c_str());
    }
    return run_in_root(inside_ash(qpm), command);
}

void qpm_run_ldconfig()
{
    std::fflush(nullptr);
    if (!have_system_root()) {
        [[maybe_unused]] const int status = std::system("/sbin/ldconfig 2>/dev/null");
        return;
    }
    // ldconfig -r needs the root's /etc for its cache.
    const std::string etc = system_root() + "/etc";
    mkdir(etc.c_str(), 0755);
    const pid_t pid = fork();
    if (pid == 0) {
        const int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0)
            dup2(devnull, 2);
        execl(syspath::ldconfig, "ldconfig", "-r", system_root().c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (pid > 0)
        waitpid(pid, &status, 0);
}

} // namespace qpm
