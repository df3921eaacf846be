#include "util/cmd.h"

#include "util/files.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strfmt.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace qpm {

namespace {

// A temporary file that is removed when its owner goes away.
class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile()
    {
        if (!m_path.empty())
            ::unlink(m_path.c_str());
    }

    // Creates the file from `tmpl` (ending in "XXXXXX"); false with errno set.
    bool create(std::string tmpl)
    {
        UniqueFd fd(mkostemp(tmpl.data(), O_CLOEXEC));
        if (!fd)
            return false;
        m_path = std::move(tmpl);
        fd.close();
        return true;
    }

    const std::string &path() const { return m_path; }

private:
    std::string m_path;
};

} // namespace

std::string cmd_exec_line(std::string_view command, std::string_view out_path,
                          std::string_view err_path)
{
    return strprintf("%.65000s 1>%.50s 2>%.50s", std::string(command).c_str(),
                     std::string(out_path).c_str(), std::string(err_path).c_str());
}

int cmd_run_system(const std::string &line) { return std::system(line.c_str()); }

int cmd_exec_with(std::string_view command, std::optional<std::string> &out,
                  std::optional<std::string> &err, const CmdRunner &runner, std::string_view root)
{
    out.reset();
    err.reset();
    while (!root.empty() && root.back() == '/')
        root.remove_suffix(1);
    const std::string host_tmp = std::string(root) + "/tmp";

    TempFile out_file;
    if (!out_file.create(host_tmp + "/out.cmd_execXXXXXX")) {
        const int saved = errno;
        std::fprintf(stderr, "cmd_exec: failed to create outfile: %s\n", std::strerror(saved));
        return -1;
    }
    TempFile err_file;
    if (!err_file.create(host_tmp + "/err.cmd_execXXXXXX")) {
        const int saved = errno;
        std::fprintf(stderr, "cmd_exec: failed to create errfile: %s\n", std::strerror(saved));
        return -1;
    }

    // The command sees the files without the root prefix.
    const std::string line = cmd_exec_line(command, out_file.path().substr(root.size()),
                                           err_file.path().substr(root.size()));
    std::fflush(nullptr); // what we printed comes before anything the command prints itself
    const int status = runner(line);

    out = _read_file(out_file.path());
    err = _read_file(err_file.path());
    return status;
}

int cmd_exec(std::string_view command, std::optional<std::string> &out,
             std::optional<std::string> &err)
{
    return cmd_exec_with(command, out, err, cmd_run_system);
}

int cmd_exec_user(std::string_view command, [[maybe_unused]] const char *user,
                  std::optional<std::string> &out, std::optional<std::string> &err)
{
    return cmd_exec(command, out, err);
}

int qpm_system(const char *label, std::string_view command)
{
    return qpm_system_with(label, command, cmd_run_system);
}

int qpm_system_with([[maybe_unused]] const char *label, std::string_view command, const CmdRunner &runner,
                    std::string_view root)
{
    std::optional<std::string> out;
    std::optional<std::string> err;
    const int status = cmd_exec_with(command, out, err, runner, root);

    const bool to_log = llog && llog->file_enabled && llog->ready;
    const std::pair<const std::optional<std::string> *, FILE *> texts[] = {{&out, stdout},
                                                                          {&err, stderr}};
    for (const auto &[text, stream] : texts) {
        if (!*text || (*text)->empty())
            continue;
        if (to_log)
            log_write(llog.get(), LL_INFO, (*text)->c_str());
        std::fwrite((*text)->data(), 1, (*text)->size(), stream);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    return status;
}

} // namespace qpm
