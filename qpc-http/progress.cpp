#include "progress.h"

#include "util/strfmt.h"

#include <cstdio>
#include <unistd.h>

namespace qpm::http {
namespace {

constexpr auto REDRAW = std::chrono::milliseconds(200);

} // namespace

std::string human_bytes(double bytes)
{
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    return unit == 0 ? strprintf("%.0f B", bytes) : strprintf("%.1f %s", bytes, units[unit]);
}

std::string Progress::line(int done, int packages, int64_t bytes, int64_t total, double rate)
{
    return strprintf("qpc-http: package %d of %d, %s of %s, %s/s", done, packages,
                     human_bytes(static_cast<double>(bytes)).c_str(), human_bytes(static_cast<double>(total)).c_str(),
                     human_bytes(rate).c_str());
}

Progress::Progress(int packages, int64_t bytes) : Progress(packages, bytes, isatty(STDERR_FILENO) == 1) {}

Progress::Progress(int packages, int64_t bytes, bool enabled)
    : m_enabled(enabled), m_packages(packages), m_total(bytes), m_start(std::chrono::steady_clock::now()),
      m_last_draw(m_start)
{
}

Progress::~Progress()
{
    if (m_enabled && m_drawn) {
        // Wipe the line: what follows is the run's own output.
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
}

void Progress::add_bytes(int64_t bytes)
{
    m_bytes += bytes;
    draw(false);
}

void Progress::drop_bytes(int64_t bytes) { m_bytes -= bytes; }

void Progress::package_done()
{
    ++m_done;
    draw(true);
}

void Progress::draw(bool force)
{
    if (!m_enabled)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - m_last_draw < REDRAW)
        return;
    m_last_draw = now;
    const double seconds = std::chrono::duration<double>(now - m_start).count();
    const double rate = seconds > 0 ? static_cast<double>(m_bytes) / seconds : 0;
    std::fprintf(stderr, "\r%s\033[K", line(m_done + (m_done < m_packages ? 1 : 0), m_packages, m_bytes, m_total, rate).c_str());
    std::fflush(stderr);
    m_drawn = true;
}

} // namespace qpm::http
