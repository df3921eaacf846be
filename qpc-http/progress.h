#pragma once
// The progress line of a download run on standard error: packages done of
// all, bytes, rate. Drawn only when standard error is a terminal, at most a
// few times a second, and wiped when the run ends.
#include <chrono>
#include <cstdint>
#include <string>

namespace qpm::http {

class Progress {
public:
    Progress(int packages, int64_t bytes);
    Progress(int packages, int64_t bytes, bool enabled);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void add_bytes(int64_t bytes);
    // A byte count given back (a download that starts over).
    void drop_bytes(int64_t bytes);
    void package_done();

    // "qpc-http: package 2 of 5, 1.5 MiB of 3.0 MiB, 512.0 KiB/s"
    static std::string line(int done, int packages, int64_t bytes, int64_t total, double rate);

private:
    void draw(bool force);

    bool m_enabled;
    int m_packages;
    int m_done = 0;
    int64_t m_total;
    int64_t m_bytes = 0;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_last_draw;
    bool m_drawn = false;
};

// "512 B", "1.5 KiB", "3.0 MiB", "1.2 GiB".
std::string human_bytes(double bytes);

} // namespace qpm::http
