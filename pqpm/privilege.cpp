#include "privilege.h"

#include "util/files.h"
#include "util/log.h"
#include "util/strfmt.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

constexpr rlim_t STACK_SIZE = 8 * 1024 * 1024;
constexpr rlim_t OPEN_FILES = 1024;

struct Limit {
    int resource;
    const char *name;
    rlim_t soft;    // wanted
    rlim_t minimum; // a soft limit below this stops the run
};

const Limit LIMITS[] = {
    {RLIMIT_FSIZE, "file size", RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_CPU, "CPU time", RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_AS, "address space", RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_DATA, "data size", RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_STACK, "stack size", STACK_SIZE, STACK_SIZE},
    {RLIMIT_NOFILE, "open files", OPEN_FILES, 256},
    {RLIMIT_NPROC, "processes", RLIM_INFINITY, 0},
    {RLIMIT_LOCKS, "file locks", RLIM_INFINITY, 0},
    {RLIMIT_CORE, "core file size", 0, 0},
};

// Sets one limit: the wanted soft limit with a hard limit at least as high
// (raising the hard limit needs CAP_SYS_RESOURCE); failing that, the soft
// limit up to the hard one when that still reaches the minimum.
bool reset_limit(const Limit &limit)
{
    rlimit current {};
    if (getrlimit(limit.resource, &current) != 0)
        return false;
    rlimit wanted {limit.soft, current.rlim_max};
    if (wanted.rlim_max != RLIM_INFINITY && (limit.soft == RLIM_INFINITY || wanted.rlim_max < limit.soft))
        wanted.rlim_max = limit.soft;
    if (setrlimit(limit.resource, &wanted) == 0)
        return true;
    const int error = errno;
    if (current.rlim_max != RLIM_INFINITY && current.rlim_max < limit.minimum) {
        std::fprintf(stderr, "pqpm: cannot lift the limit on %s: %s\n", limit.name, std::strerror(error));
        return false;
    }
    current.rlim_cur = current.rlim_max;
    if (setrlimit(limit.resource, &current) != 0) {
        std::fprintf(stderr, "pqpm: cannot reset the limit on %s: %s\n", limit.name, std::strerror(errno));
        return false;
    }
    return true;
}

// Opens `path` with the caller's rights: the effective user id is the real
// one for the open only. The caller's groups are still ours at this point.
UniqueFd open_as_caller(const std::string &path, bool &failed_back)
{
    const uid_t saved = geteuid();
    if (seteuid(getuid()) != 0)
        return UniqueFd();
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    failed_back = seteuid(saved) != 0;
    return fd;
}

std::string base_name(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

bool pqpm_setuid_run() { return getuid() != 0; }

bool pqpm_reset_limits()
{
    for (const Limit &limit : LIMITS) {
        if (!reset_limit(limit))
            return false;
    }
    return true;
}

bool pqpm_root_group_for_new_files()
{
    if (!pqpm_setuid_run() || setegid(0) == 0)
        return true;
    std::fprintf(stderr, "pqpm: cannot set the effective group id to 0: %s\n", std::strerror(errno));
    return false;
}

bool pqpm_become_root()
{
    if (!pqpm_setuid_run())
        return true;
    if (setgroups(0, nullptr) != 0) {
        std::fprintf(stderr, "pqpm: cannot drop the supplementary groups: %s\n", std::strerror(errno));
        return false;
    }
    if (setgid(0) != 0) {
        std::fprintf(stderr, "pqpm: cannot set the group id to 0: %s\n", std::strerror(errno));
        return false;
    }
    if (setuid(0) != 0) {
        std::fprintf(stderr, "pqpm: cannot set the user id to 0: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

StrArr pqpm_admit_package_files(const StrArr &packages, std::optional<TempDir> &copies)
{
    StrArr requests;
    for (size_t i = 0; i < packages.size(); ++i) {
        const std::string &name = packages[i];
        if (!pqpm_setuid_run() || _get_filename_ext(name) != "qpk") {
            requests.push_back(name);
            continue;
        }
        if (!copies)
            copies.emplace("/tmp/pqpm.");
        if (!*copies)
            throw std::runtime_error(strprintf("cannot make a directory in /tmp: %s", std::strerror(errno)));
        // One directory per argument: two files of one name from two places.
        const std::string dir = strprintf("%s/%zu", copies->path().c_str(), i);
        const std::string copy = dir + "/" + base_name(name);
        requests.emplace_back();
        if (mkdir(dir.c_str(), 0700) != 0)
            throw std::runtime_error(strprintf("cannot make %s: %s", dir.c_str(), std::strerror(errno)));

        bool failed_back = false;
        const UniqueFd in = open_as_caller(name, failed_back);
        if (failed_back)
            throw std::runtime_error(strprintf("cannot return to user 0: %s", std::strerror(errno)));
        struct stat st {};
        if (!in || fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode))
            continue; // refused as a missing file is
        const int flags = fcntl(in.get(), F_GETFL);
        if (flags >= 0)
            fcntl(in.get(), F_SETFL, flags & ~O_NONBLOCK);
        UniqueFd out(open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
        bool read_failed = false;
        if (!out || copy_fd(in.get(), out.get(), &read_failed) < 0 || out.close() != 0) {
            if (read_failed) {
                unlink(copy.c_str());
                continue;
            }
            throw std::runtime_error(strprintf("cannot copy %s to %s: %s", name.c_str(), copy.c_str(),
                                               std::strerror(errno)));
        }
        requests.back() = copy;
    }
    return requests;
}

bool pqpm_refuse_unread(const std::string &name, const std::string &request)
{
    if (!request.empty())
        return false;
    qlog(LL_INFO, "cannot read package file %s", name.c_str());
    return true;
}

} // namespace qpm
