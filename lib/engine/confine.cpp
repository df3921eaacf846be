#include "engine/confine.h"

#include "engine/inventory.h"
#include "util/cmd.h"
#include "util/files.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/close_range.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace qpm {
namespace {

// The inventory's ash as seen from inside the root.
std::string inside_ash(const qpm_handle *qpm)
{
    if (qpm && !qpm->dirs.scriptdir.empty())
        return root_view(qpm->dirs.scriptdir) + "/ash";
    return root_view(root_path(syspath::inventory) + "/scriptdir") + "/ash";
}

// What runs confined: a program inside the root, or a host binary opened
// beforehand (a static one: nothing of the host is reachable once inside).
struct ConfinedProgram {
    std::string path; // inside the root; used when `host_fd` is -1
    int host_fd = -1; // executed with execveat(AT_EMPTY_PATH)
    std::vector<std::string> argv;
    bool quiet_stderr = false;
};

// A directory the root needs as a mount point but does not have. It is made
// for the run and removed afterwards, so the image keeps its own tree. A
// marker in the inventory names it while it stands: a run stopped in
// between leaves the marker, and the next run removes both
// (qpm_confine_made_marker).
class MountPoint {
public:
    bool prepare(const std::string &path, const std::string &name, std::string &error)
    {
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode))
                return true;
            error = path + " is not a directory";
            return false;
        }
        if (errno != ENOENT) {
            error = strprintf("cannot make %s: %s", path.c_str(), std::strerror(errno));
            return false;
        }
        m_marker = qpm_confine_made_marker(name);
        const UniqueFd marker(open(m_marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (mkdir(path.c_str(), 0755) != 0) {
            error = strprintf("cannot make %s: %s", path.c_str(), std::strerror(errno));
            unlink(m_marker.c_str());
            m_marker.clear();
            return false;
        }
        m_made = path;
        return true;
    }
    MountPoint() = default;
    MountPoint(const MountPoint &) = delete;
    MountPoint &operator=(const MountPoint &) = delete;
    ~MountPoint()
    {
        if (!m_made.empty())
            rmdir(m_made.c_str()); // left alone when the program put something in it
        if (!m_marker.empty())
            unlink(m_marker.c_str());
    }

private:
    std::string m_made;
    std::string m_marker;
};

// Capabilities a package script keeps: owners, modes and ids of the files
// it manages, signals to its own processes, low ports and file
// capabilities. Everything reaching past the root is gone: mounts and
// namespaces (SYS_ADMIN), modules, ptrace, raw I/O, reboot, device nodes,
// chroot, open_by_handle_at (DAC_READ_SEARCH), the clock, the network
// configuration and the kernel log among them.
constexpr int KEPT_CAPABILITIES[] = {
    CAP_CHOWN, CAP_DAC_OVERRIDE, CAP_FOWNER,  CAP_FSETID,           CAP_KILL,
    CAP_SETGID, CAP_SETUID,      CAP_SETPCAP, CAP_NET_BIND_SERVICE, CAP_SETFCAP,
};

bool kept_capability(int cap)
{
    for (const int kept : KEPT_CAPABILITIES) {
        if (kept == cap)
            return true;
    }
    return false;
}

// The error of a failed step: "STEP: strerror(errno)".
std::string failed(const std::string &step) { return step + ": " + std::strerror(errno); }

bool drop_capabilities(std::string &error)
{
    std::array<__u32, 2> keep{};
    for (int cap = 0; prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; ++cap) {
        if (kept_capability(cap)) {
            keep[static_cast<size_t>(cap / 32)] |= 1U << (cap % 32);
            continue;
        }
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
            error = failed(strprintf("cannot drop capability %d", cap));
            return false;
        }
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, 2> data{};
    if (syscall(SYS_capget, &header, data.data()) != 0) {
        error = failed("capget");
        return false;
    }
    for (size_t i = 0; i < data.size(); ++i) {
        data[i].effective &= keep[i];
        data[i].permitted &= keep[i];
        data[i].inheritable &= keep[i];
    }
    if (syscall(SYS_capset, &header, data.data()) != 0) {
        error = failed("capset");
        return false;
    }
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
        error = failed("clearing ambient capabilities");
        return false;
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        error = failed("no_new_privs");
        return false;
    }
    return true;
}

// Bind-mounts `path` onto itself read-only (parts of /proc that reach the
// whole machine). A path the kernel does not have is skipped.
bool read_only(const std::string &path, std::string &error)
{
    if (access(path.c_str(), F_OK) != 0)
        return true;
    if (mount(path.c_str(), path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
        mount(nullptr, path.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC,
              nullptr) != 0) {
        error = failed("cannot make " + path + " read-only");
        return false;
    }
    return true;
}

// A /dev of our own: a small tmpfs with the harmless devices bound from the
// host (no device node is made) and the usual links, then read-only.
bool make_dev(const std::string &dev, std::string &error)
{
    constexpr const char *options = "mode=0755,size=64k";
    if (mount("tmpfs", dev.c_str(), "tmpfs", MS_NOSUID | MS_NOEXEC, options) != 0) {
        error = failed("cannot mount a tmpfs on " + dev);
        return false;
    }
    for (const char *name : {"null", "zero", "full", "random", "urandom"}) {
        const std::string node = dev + "/" + name;
        const UniqueFd made(open(node.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        const std::string host = std::string("/dev/") + name;
        if (!made || mount(host.c_str(), node.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            error = failed("cannot provide " + host);
            return false;
        }
    }
    const std::pair<const char *, const char *> links[] = {
        {"fd", "/proc/self/fd"},
        {"stdin", "/proc/self/fd/0"},
        {"stdout", "/proc/self/fd/1"},
        {"stderr", "/proc/self/fd/2"},
    };
    for (const auto &[name, target] : links) {
        if (symlink(target, (dev + "/" + name).c_str()) != 0) {
            error = failed(strprintf("cannot link %s/%s", dev.c_str(), name));
            return false;
        }
    }
    if (mount(nullptr, dev.c_str(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NOEXEC, options) != 0) {
        error = failed("cannot make " + dev + " read-only");
        return false;
    }
    return true;
}

// In the new namespaces: the root becomes `/` with its own /proc and /dev,
// the host's tree is detached and the capabilities are reduced.
bool enter_root(const std::string &root, std::string &error)
{
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        error = failed("cannot make the mounts private");
        return false;
    }
    if (mount(root.c_str(), root.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        error = failed("cannot bind " + root);
        return false;
    }
    const std::string proc = root + "/proc";
    if (mount("proc", proc.c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        error = failed("cannot mount proc on " + proc);
        return false;
    }
    for (const char *part : {"/sys", "/sysrq-trigger", "/irq", "/bus"}) {
        if (!read_only(proc + part, error))
            return false;
    }
    if (!make_dev(root + "/dev", error))
        return false;
    // pivot_root with both arguments the same stacks the old root on top of
    // the new one; detaching it leaves the root alone, no directory needed.
    if (chdir(root.c_str()) != 0 || syscall(SYS_pivot_root, ".", ".") != 0) {
        error = failed("cannot make " + root + " the root");
        return false;
    }
    if (umount2(".", MNT_DETACH) != 0 || chdir("/") != 0) {
        error = failed("cannot detach the host's root");
        return false;
    }
    return drop_capabilities(error);
}

// Sends the report of the first process to the caller: "E" and a message
// when the confinement failed, "S" and the program's wait status.
void report(int fd, char kind, std::string_view text)
{
    std::string message(1, kind);
    message.append(text);
    write_all(fd, message);
}

[[noreturn]] void run_program(const ConfinedProgram &program, int report_fd)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (program.quiet_stderr) {
        const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (devnull >= 0)
            dup2(devnull, 2);
    }
    std::vector<char *> argv;
    for (const std::string &arg : program.argv)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    if (program.host_fd >= 0)
        syscall(SYS_execveat, program.host_fd, "", argv.data(), environ, AT_EMPTY_PATH);
    else
        execve(program.path.c_str(), argv.data(), environ);
    report(report_fd, 'E', failed("cannot execute " + program.argv.front()));
    _exit(127);
}

// The first process of the new PID namespace: enters the root, starts the
// program and reaps everything until the program ends. When it ends the
// namespace ends, and whatever the program left running with it.
[[noreturn]] void first_process(const std::string &root, const ConfinedProgram &program, int report_fd)
{
    // Nothing confined outlives us, and nothing confined reaches our terminal.
    prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    setsid();
    // A descriptor of the host handed to us without close-on-exec would be
    // a way out of the root.
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd < 1024; ++fd)
            fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    std::string error;
    if (!enter_root(root, error)) {
        report(report_fd, 'E', error);
        _exit(127);
    }
    const pid_t pid = fork();
    if (pid < 0) {
        report(report_fd, 'E', failed("fork"));
        _exit(127);
    }
    if (pid == 0)
        run_program(program, report_fd);
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(-1, &status, 0);
        if (ended == pid) {
            report(report_fd, 'S', std::string_view(reinterpret_cast<const char *>(&status), sizeof status));
            _exit(0);
        }
        if (ended < 0 && errno != EINTR)
            _exit(127);
    }
}

constexpr unsigned long NAMESPACES = CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWIPC | CLONE_NEWUTS;

// Runs `program` confined to the system root; a wait status, or
// CONFINE_FAILED_STATUS (with an error logged) when it could not be confined.
int run_confined(const ConfinedProgram &program)
{
    const std::string &root = system_root();
    auto refuse = [&root](const std::string &why) {
        qlog(LL_ERROR, "cannot run command inside %s: %s", root.c_str(), why.c_str());
        return CONFINE_FAILED_STATUS;
    };
    if (geteuid() != 0)
        return refuse("confinement needs root");
    std::string error;
    MountPoint proc;
    MountPoint dev;
    if (!proc.prepare(root + "/proc", "proc", error) || !dev.prepare(root + "/dev", "dev", error))
        return refuse(error);
    std::array<int, 2> fds{};
    if (pipe2(fds.data(), O_CLOEXEC) != 0)
        return refuse(failed("pipe"));
    UniqueFd report_in(fds[0]);
    UniqueFd report_out(fds[1]);

    std::fflush(nullptr);
    // A fork into new namespaces: the child is PID 1 of its own.
    const long pid = syscall(SYS_clone, NAMESPACES | SIGCHLD, nullptr, nullptr, nullptr, nullptr);
    if (pid < 0)
        return refuse(failed("cannot make namespaces"));
    if (pid == 0) {
        report_in.reset();
        first_process(root, program, report_out.get());
    }
    report_out.reset();
    std::string reply;
    read_all(report_in.get(), reply);
    int first_status = 0;
    while (waitpid(static_cast<pid_t>(pid), &first_status, 0) < 0) {
        if (errno != EINTR)
            break;
    }
    if (reply.starts_with('E'))
        return refuse(reply.substr(1));
    int status = 0;
    if (!reply.starts_with('S') || reply.size() != 1 + sizeof status)
        return refuse("the confined process ended without a status");
    std::memcpy(&status, reply.data() + 1, sizeof status);
    return status;
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
    ConfinedProgram program;
    program.path = ash;
    program.argv = {"ash", "-c", line};
    return run_confined(program);
}

// Captured output is written to the root's /tmp, which an image being built
// may not have yet. A /tmp that is not a directory of the root (a link
// somewhere else) is refused: the capture files would be made through it.
bool ensure_root_tmp()
{
    const std::string tmp = system_root() + "/tmp";
    if (mkdir(tmp.c_str(), 01777) == 0)
        chmod(tmp.c_str(), 01777); // mkdir's mode passes through the umask
    struct stat st {};
    if (lstat(tmp.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        qlog(LL_ERROR, "cannot run command inside %s: %s is not a directory", system_root().c_str(), tmp.c_str());
        return false;
    }
    return true;
}

} // namespace

std::string qpm_confine_made_marker(const std::string &name)
{
    return root_path(syspath::inventory) + "/.made-" + name;
}

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
    if (!ensure_root_tmp())
        return CONFINE_FAILED_STATUS;
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

int qpm_run_ldconfig()
{
    std::fflush(nullptr);
    if (!have_system_root())
        return std::system("/sbin/ldconfig 2>/dev/null");
    // ldconfig needs the root's /etc for its cache.
    const std::string etc = system_root() + "/etc";
    mkdir(etc.c_str(), 0755);
    const UniqueFd binary(open(syspath::ldconfig, O_RDONLY | O_CLOEXEC));
    if (!binary) {
        qlog(LL_ERROR, "cannot run %s: %s", syspath::ldconfig, std::strerror(errno));
        return CONFINE_FAILED_STATUS;
    }
    ConfinedProgram program;
    program.host_fd = binary.get();
    program.argv = {"ldconfig"};
    program.quiet_stderr = true;
    return run_confined(program);
}

} // namespace qpm
