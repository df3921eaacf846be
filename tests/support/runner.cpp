#include "support/runner.h"

#include "support/test_support.h"

#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(in_path.c_str(), O_RDONLY);
        const int out = open(out_path.c_str(), O_WRONLY);
        const int err = open(err_path.c_str(), O_WRONLY);
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
    if (pid > 0 && waitpid(pid, &wstatus, 0) == pid)
        result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    unlink(in_path.c_str());
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    return result;
}

} // namespace qpm::test
