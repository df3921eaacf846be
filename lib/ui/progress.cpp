#include "ui/progress.h"

#include "util/log.h"
#include "util/strfmt.h"

#include <chrono>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace qpm {
namespace {

using Clock = std::chrono::steady_clock;

// A terminal is redrawn at most this often; the last state of a package is
// always drawn.
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);

struct ProgressState {
    bool on = false;
    long total = 0; // packages of the run; 0 outside a run
    long n = 0;     // the package being installed, from 1
    bool active = false;
    bool drawn = false; // the line is on the screen
    std::string name;
    std::string version;
    int64_t declared = 0;
    uint64_t bytes = 0;
    long files = 0;
    Clock::time_point last_draw;
};

ProgressState state;

// The line must fit the terminal: a wrapped line cannot be redrawn in place.
size_t terminal_width()
{
    struct winsize size {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1)
        return size.ws_col - 1;
    return 79;
}

void draw(bool force)
{
    if (!state.on || !state.active)
        return;
    const Clock::time_point now = Clock::now();
    if (!force && state.drawn && now - state.last_draw < REDRAW_INTERVAL)
        return;
    std::string text =
        progress_line(state.n, state.total, state.name, state.version, state.bytes, state.declared, state.files);
    if (const size_t width = terminal_width(); text.size() > width)
        text.resize(width);
    std::fprintf(stderr, "\r%s\033[K", text.c_str());
    std::fflush(stderr);
    state.drawn = true;
    state.last_draw = now;
}

void clear_line()
{
    if (!state.drawn)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    state.drawn = false;
}

bool counted_entry(std::string_view path)
{
    if (path.starts_with("./"))
        path.remove_prefix(2);
    return path.starts_with("data/") || path.starts_with("conf/");
}

} // namespace

bool progress_enable(bool wanted)
{
    state.on = wanted && ::isatty(STDERR_FILENO) == 1;
    log_before_stderr = state.on ? clear_line : nullptr;
    return state.on;
}

ProgressRun::ProgressRun(long packages)
{
    state.total = packages;
    state.n = 0;
}

ProgressRun::~ProgressRun()
{
    state.total = 0;
    state.n = 0;
}

ProgressPackage::ProgressPackage(std::string_view name, std::string_view version, int64_t declared_size)
{
    if (!state.on)
        return;
    ++state.n;
    state.active = true;
    state.name = name;
    state.version = version;
    state.declared = declared_size;
    state.bytes = 0;
    state.files = 0;
    draw(true);
}

ProgressPackage::~ProgressPackage()
{
    if (!state.active)
        return;
    draw(true);
    std::fputs("\n", stderr);
    std::fflush(stderr);
    state.active = false;
    state.drawn = false;
}

void progress_unpacked(std::string_view path, uint64_t bytes, bool file_done)
{
    if (!state.active || !counted_entry(path))
        return;
    state.bytes += bytes;
    if (file_done)
        ++state.files;
    draw(false);
}

std::string progress_size(uint64_t bytes)
{
    if (bytes < 1024)
        return strprintf("%llu B", static_cast<unsigned long long>(bytes));
    static constexpr const char *units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    return strprintf("%.1f %s", value, units[unit]);
}

std::string progress_line(long n, long total, std::string_view name, std::string_view version, uint64_t bytes,
                          int64_t declared_size, long files)
{
    std::string line = total > 0 ? strprintf("[%ld/%ld] ", n, total) : std::string();
    line += name;
    line += ' ';
    line += version;
    line += ": ";
    line += progress_size(bytes);
    if (declared_size > 0)
        line += " of " + progress_size(static_cast<uint64_t>(declared_size));
    line += strprintf(", %ld file%s", files, files == 1 ? "" : "s");
    return line;
}

} // namespace qpm
