#include "support/runner.h"

#include "support/test_support.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace qpm::test {
namespace {

std::string temp_file(const char *tag)
{
    std::string tmpl = std::string("/tmp/qpm-run-") + tag + "-XXXXXX";
    const int fd = mkstemp(tmpl.data());
    if (fd < 0)
        std::abort();
    close(fd);
    return tmpl;
}

std::vector<char *> c_strings(const std::vector<std::string> &items)
{
    std::vector<char *> out;
    for (const auto &s : items)
        out.push_back(const_cast<char *>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

// A raw pseudo-terminal (no line-feed translation). The parent keeps a
// slave descriptor until the child is gone, so the master never reads EIO
// before the child has opened its end.
struct Terminal {
    int master = -1;
    int slave = -1;
    std::string slave_path;
};

Terminal open_terminal()
{
    Terminal t;
    t.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (t.master < 0 || grantpt(t.master) != 0 || unlockpt(t.master) != 0)
        std::abort();
    t.slave_path = ptsname(t.master);
    t.slave = open(t.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios mode {};
    if (t.slave < 0 || tcgetattr(t.slave, &mode) != 0)
        std::abort();
    cfmakeraw(&mode);
    tcsetattr(t.slave, TCSANOW, &mode);
    const winsize size{24, 200, 0, 0};
    ioctl(t.slave, TIOCSWINSZ, &size);
    return t;
}

// Reads what is waiting on the master, waiting at most `timeout_ms`: 1 when
// something was read, 0 when nothing came, -1 once no slave end is open.
int read_terminal(int master, std::string &text, int timeout_ms)
{
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return 0;
    char block[4096];
    const ssize_t got = read(master, block, sizeof block);
    if (got > 0)
        text.append(block, static_cast<size_t>(got));
    return got > 0 ? 1 : got < 0 && errno == EINTR ? 0 : -1;
}

} // namespace

RunResult run_program(const std::vector<std::string> &argv, const RunOptions &options)
{
    const std::string in_path = temp_file("in");
    const std::string out_path = temp_file("out");
    const std::string err_path = temp_file("err");
    write_file(in_path, options.stdin_text);
    // The child may run as another user: let it write its capture files.
    chmod(out_path.c_str(), 0666);
    chmod(err_path.c_str(), 0666);
    chmod(in_path.c_str(), 0644);

    auto args = c_strings(argv);
    std::vector<std::string> all_env = options.env;
    all_env.insert(all_env.end(), options.extra_env.begin(), options.extra_env.end());
    auto env = c_strings(all_env);

    const Terminal terminal = options.stderr_terminal ? open_terminal() : Terminal{};
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(in_path.c_str(), O_RDONLY);
        const int out = open(out_path.c_str(), O_WRONLY);
        const int err = open(terminal.master >= 0 ? terminal.slave_path.c_str() : err_path.c_str(), O_WRONLY | O_NOCTTY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        close(in);
        close(out);
        close(err);
        if (options.close_stdout)
            close(1);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(126);
        if (options.uid) {
            const passwd *pw = getpwuid(*options.uid);
            const gid_t gid = options.gid ? *options.gid : (pw ? pw->pw_gid : *options.uid);
            if ((pw ? initgroups(pw->pw_name, gid) : setgroups(0, nullptr)) != 0 || setgid(gid) != 0 ||
                setuid(*options.uid) != 0)
                _exit(125);
        }
        execve(args[0], args.data(), env.data());
        _exit(127);
    }

    RunResult result;
    int wstatus = 0;
    bool reaped = false;
    if (terminal.master >= 0) {
        // Read while the child runs (a full terminal would stop it), then
        // what is left once the last slave end has closed.
        while (pid > 0 && !reaped) {
            read_terminal(terminal.master, result.err, 20);
            reaped = waitpid(pid, &wstatus, WNOHANG) == pid;
        }
        close(terminal.slave);
        while (read_terminal(terminal.master, result.err, 1000) > 0) {
        }
        close(terminal.master);
    }
    if (pid > 0 && (reaped || waitpid(pid, &wstatus, 0) == pid))
        result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = read_file(out_path);
    if (terminal.master < 0)
        result.err = read_file(err_path);
    unlink(in_path.c_str());
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    return result;
}

} // namespace qpm::test
