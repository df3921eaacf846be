#include "fuzz_support.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

// Present when a sanitizer runtime is linked: writes to its report stream.
extern "C" __attribute__((weak)) void __sanitizer_report_error_summary(const char *error_summary);

namespace qpm::fuzz {

namespace {

bool write_whole(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

} // namespace

void check_failed(const char *file, int line, const char *condition)
{
    const std::string text = std::string(file) + ":" + std::to_string(line) + ": check failed: " + condition;
    std::fprintf(stderr, "%s\n", text.c_str());
    if (__sanitizer_report_error_summary)
        __sanitizer_report_error_summary(text.c_str());
    std::abort();
}

MemFile::MemFile(std::string_view bytes) : m_fd(memfd_create("fuzz-input", MFD_CLOEXEC))
{
    if (!m_fd || !write_whole(m_fd.get(), bytes) || ::lseek(m_fd.get(), 0, SEEK_SET) != 0) {
        m_fd.reset();
        return;
    }
    m_path = "/proc/self/fd/" + std::to_string(m_fd.get());
}

const std::string &scratch_dir()
{
    static const TempDir dir([] {
        const char *tmp = std::getenv("TMPDIR");
        return std::string(tmp && *tmp ? tmp : "/tmp") + "/qpm-fuzz.";
    }());
    if (!dir) {
        std::fprintf(stderr, "cannot make a scratch directory\n");
        std::abort();
    }
    return dir.path();
}

bool write_file(const std::string &path, std::string_view bytes)
{
    const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return fd && write_whole(fd.get(), bytes);
}

} // namespace qpm::fuzz
