#pragma once
// Progress of an install or upgrade on a terminal: one line per package on
// standard error, redrawn in place while the package is unpacked and ended
// with a line feed when the package is done:
//
//   [2/3] hello 1.0: 1.2 MiB of 4.0 MiB, 120 files
//
// Only the files of the data and configuration trees count, the trees whose
// size the package declares (eqpkDataSize). Nothing at all is written unless
// a front end enabled progress and standard error is a terminal, so logs and
// pipes see exactly the designed output. Log lines written to standard
// error meanwhile clear the line first; the next update draws it again.
#include <cstdint>
#include <string>
#include <string_view>

namespace qpm {

// Turns progress on when `wanted` and standard error is a terminal; off
// otherwise. Returns whether it is on.
bool progress_enable(bool wanted);

// One run of `packages` package installs (package n of N). Runs do not
// nest; without a run the line carries no count.
class ProgressRun {
public:
    explicit ProgressRun(long packages);
    ~ProgressRun();
    ProgressRun(const ProgressRun &) = delete;
    ProgressRun &operator=(const ProgressRun &) = delete;
};

// One package being installed; its line is ended when this goes.
class ProgressPackage {
public:
    ProgressPackage(std::string_view name, std::string_view version, int64_t declared_size);
    ~ProgressPackage();
    ProgressPackage(const ProgressPackage &) = delete;
    ProgressPackage &operator=(const ProgressPackage &) = delete;
};

// Payload unpacking reports here: `bytes` more of the entry `path` (as the
// archive names it, e.g. "data/usr/bin/x"), and `file_done` once the entry
// is complete. Entries outside data/ and conf/ are not counted.
void progress_unpacked(std::string_view path, uint64_t bytes, bool file_done);

// The text of a package's line: "[n/N] NAME VERSION: DONE of SIZE, F files"
// (without "[n/N] " when `total` is 0). Exposed for tests.
std::string progress_line(long n, long total, std::string_view name, std::string_view version, uint64_t bytes,
                          int64_t declared_size, long files);

// Sizes for people: "512 B", "1.5 KiB", "200.0 MiB".
std::string progress_size(uint64_t bytes);

} // namespace qpm
