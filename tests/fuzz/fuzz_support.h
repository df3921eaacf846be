#pragma once
// What the fuzz harnesses share: a check that stops the run with a message
// (libFuzzer keeps the input that broke it), the input as text, and files
// made from the input for readers that take a path.
#include "util/raii.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace qpm::fuzz {

// A property every input must keep; a broken one aborts, so the input is
// saved as a crash like any memory error.
#define FUZZ_CHECK(cond)                                                                                 \
    do {                                                                                                 \
        if (!(cond))                                                                                     \
            ::qpm::fuzz::check_failed(__FILE__, __LINE__, #cond);                                        \
    } while (0)

// Says which check failed (also where libFuzzer keeps its reports when the
// program's standard error is closed) and aborts.
[[noreturn]] void check_failed(const char *file, int line, const char *condition);

inline std::string_view as_text(const uint8_t *data, size_t size)
{
    return {reinterpret_cast<const char *>(data), size};
}

// The input as an anonymous in-memory file, named by a /proc/self/fd path
// for readers that open a path. Closed (and gone) with the owner.
class MemFile {
public:
    explicit MemFile(std::string_view bytes);
    explicit operator bool() const { return static_cast<bool>(m_fd); }
    const std::string &path() const { return m_path; }

private:
    UniqueFd m_fd;
    std::string m_path;
};

// A directory for the whole run, made once and removed at exit.
const std::string &scratch_dir();

// Writes `bytes` to `path` (created or truncated, mode 0644); false on failure.
bool write_file(const std::string &path, std::string_view bytes);

} // namespace qpm::fuzz
