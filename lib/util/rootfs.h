#pragma once
// Reaching paths under the system root. The root directory is opened once;
// every system path is resolved from that descriptor by the kernel's
// in-root resolution (or, on a kernel without it, one component at a time
// with links resolved against the root), so no symbolic link in the image,
// absolute or relative, and no "..", leads out of it. Writes then act on
// the last component with the *at() calls, relative to the directory that
// holds it: a link in its place is replaced or removed, never written
// through. Without a system root the root is "/" and paths mean what they
// say on the host.
#include "util/raii.h"

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace qpm {

// The descriptor of the system root (O_PATH), opened once per root; -1
// with errno when it cannot be opened.
int root_dir_fd();

// Opens the system path `path` (absolute; a relative one is taken from the
// root) inside the root with openat(2) `flags` (O_CLOEXEC always added;
// `mode` for O_CREAT). Every link on the way is followed inside the root,
// the last one too unless `flags` holds O_NOFOLLOW. Empty with errno on
// failure (ELOOP for links that loop).
UniqueFd root_open(std::string_view path, int flags, mode_t mode = 0);

// `path` with every link followed inside the root, as a system path; the
// last link too when `follow_last`. nullopt with errno when a component is
// missing, is not a directory, or links loop.
std::optional<std::string> root_walk(std::string_view path, bool follow_last = true);

// The directory `dir` (a system path) opened inside the root (O_PATH);
// made with its missing parents (0755) when `make`, their system paths
// appended to `made`, outermost first. Empty with errno on failure.
UniqueFd root_open_dir(std::string_view dir, bool make = false, std::vector<std::string> *made = nullptr);

// The directory holding a system path, opened inside the root, and the
// name of the last component in it. A path whose last component is "",
// "." or ".." has no such name (EINVAL).
class ParentDir {
public:
    // Missing directories on the way are made (0755) when `make`; their
    // system paths are appended to `made`, outermost first.
    static std::optional<ParentDir> open(std::string_view path, bool make = false,
                                         std::vector<std::string> *made = nullptr);

    int fd() const { return m_fd.get(); }
    const std::string &name() const { return m_name; }

private:
    UniqueFd m_fd;
    std::string m_name;
};

// The directories of one run of many paths, each opened once: a cached
// descriptor keeps naming the directory it was opened for, so whoever
// changes links on the way (a links list, a script) calls forget().
// A bounded number stay open. What find() saw is kept too, so the writes
// that follow a check know what they will meet; it is only a guess for
// them (every write still learns the truth from its own call), and is
// dropped for a path by changed() and for all by forget().
class RootDirs {
public:
    struct Parent {
        int fd; // borrowed: valid until the next call
        std::string name;
    };

    // What is at a system path, its last component not followed.
    enum class Found { Missing, Regular, Link, Other };

    // As ParentDir::open.
    std::optional<Parent> parent(std::string_view path, bool make = false, std::vector<std::string> *made = nullptr);

    // What is at `path`, asked of its directory's descriptor: one fstatat,
    // none for the entries of a directory already found missing. nullopt
    // with errno when the directory cannot be reached for another reason
    // (a link loop, no permission) or `path` names no entry ("/").
    std::optional<Found> find(const std::string &path);

    // What find() last saw at `path`, unless it changed since.
    std::optional<Found> seen(const std::string &path) const;
    void changed(const std::string &path) { m_seen.erase(path); }

    void forget();

private:
    std::unordered_map<std::string, UniqueFd> m_dirs; // system directory -> descriptor
    std::unordered_set<std::string> m_missing;       // system directories found missing
    std::unordered_map<std::string, Found> m_seen;   // system path -> what find() saw
};

// The parts of a system path: its directory ("/" for a top-level name) and
// its last component.
std::pair<std::string_view, std::string_view> split_system_path(std::string_view path);

// Tests only: resolve one component at a time even where the kernel can do
// it (the resolution of kernels without openat2).
void root_force_walk_for_tests(bool walk);

// The text of the symbolic link `name` in the directory `dir`, whatever its
// length; nullopt when it cannot be read (not a link, gone).
std::optional<std::string> read_link_at(int dir, const std::string &name);

} // namespace qpm
