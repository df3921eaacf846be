#include "engine/pending.h"

#include "engine/actionlog.h"
#include "engine/checks_inventory.h"
#include "engine/confine.h"
#include "engine/scripts.h"
#include "engine/search.h"
#include "engine/stage.h"
#include "package/dirs.h"
#include "package/handle.h"
#include "package/qpk_info.h"
#include "record/ldif.h"
#include "util/faultpoint.h"
#include "util/files.h"
#include "util/globals.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <future>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <utility>
#include <vector>

namespace qpm {
namespace {

constexpr const char *JOURNAL_NAME = "pending";

struct KindName {
    PendingKind kind;
    const char *name;
};

constexpr KindName KIND_NAMES[] = {{PendingKind::Sync, "sync"},
                                   {PendingKind::Log, "log"},
                                   {PendingKind::Ldconfig, "ldconfig"},
                                   {PendingKind::Configure, "configure"},
                                   {PendingKind::Hook, "hook"}};

const char *kind_name(PendingKind kind)
{
    for (const KindName &k : KIND_NAMES)
        if (k.kind == kind)
            return k.name;
    return "";
}

std::optional<PendingKind> kind_of(std::string_view name)
{
    for (const KindName &k : KIND_NAMES)
        if (name == k.name)
            return k.kind;
    return std::nullopt;
}

bool same_step(const PendingStep &a, const PendingStep &b)
{
    return a.kind == b.kind && a.package == b.package && a.value == b.value;
}

std::string journal_text(const std::vector<PendingStep> &steps)
{
    std::string text;
    int n = 0;
    for (const PendingStep &step : steps) {
        ldif_write(text, "dn", strprintf("eqpkPending=%d,dc=quendari,dc=org", ++n), LDIF_TEXT);
        ldif_write(text, "eqpkPendingStep", kind_name(step.kind), LDIF_TEXT);
        ldif_write(text, "eqpkName", step.package, LDIF_TEXT);
        ldif_write(text, "eqpkPuname", step.puname, LDIF_TEXT);
        if (!step.value.empty())
            ldif_write(text, "eqpkPendingValue", step.value, LDIF_TEXT);
        ldif_write(text, "", "", LDIF_TEXT);
    }
    return text;
}

// The journal as this process last read or wrote it, with what identifies
// that version of the file: a run reads it several times per package, and
// one stat tells whether the steps kept here are still what it holds
// (every write makes a new file; none when it is missing). The change time
// is no part of it: the rename that puts a new journal in place sets it.
struct KnownJournal {
    std::string path;
    bool missing = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    std::vector<PendingStep> steps;
};

KnownJournal g_known;

void forget_journal() { g_known.path.clear(); }

// Remembers `steps` as the journal at `path`, the file `st` (null: none).
void know_journal(const std::string &path, const struct stat *st, std::vector<PendingStep> steps)
{
    g_known.path = path;
    g_known.missing = st == nullptr;
    if (st) {
        g_known.dev = st->st_dev;
        g_known.ino = st->st_ino;
        g_known.size = st->st_size;
        g_known.mtime = st->st_mtim;
    }
    g_known.steps = std::move(steps);
}

bool same_time(const timespec &a, const timespec &b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// The steps kept for `path` when the file is still the one they were read
// from or written as.
std::optional<std::vector<PendingStep>> known_journal(const std::string &path)
{
    if (g_known.path != path)
        return std::nullopt;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT && g_known.missing ? std::optional(g_known.steps) : std::nullopt;
    if (g_known.missing || st.st_dev != g_known.dev || st.st_ino != g_known.ino || st.st_size != g_known.size ||
        !same_time(st.st_mtim, g_known.mtime))
        return std::nullopt;
    return g_known.steps;
}

// Replaces the journal by `steps` (removes it when there are none).
bool write_journal(const qpm_handle *qpm, const std::vector<PendingStep> &steps)
{
    const std::string path = pending_path(qpm);
    // A journal made where there was none reaches the disk before the
    // records it speaks for; later versions replace it by a rename.
    struct stat old {};
    const bool fresh = g_known.path == path ? g_known.missing : ::stat(path.c_str(), &old) != 0;
    forget_journal();
    if (steps.empty()) {
        if (::unlink(path.c_str()) == 0 || errno == ENOENT) {
            know_journal(path, nullptr, {});
            return true;
        }
        qlog(LL_ERROR, "failed to remove %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    SiblingFile out;
    if (!out.create(path, 0644) || !write_all(out.fd(), journal_text(steps)) || (fresh && ::fsync(out.fd()) != 0)) {
        qlog(LL_ERROR, "failed to write %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    // Identified by the descriptor before it goes: the renamed file is the
    // same one.
    struct stat st {};
    const bool known = ::fstat(out.fd(), &st) == 0;
    if (out.commit() != 0) {
        qlog(LL_ERROR, "failed to write %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    if (known)
        know_journal(path, &st, steps);
    return true;
}

// The step is owed: its package's record is the one it was written for.
bool step_due(const qpm_handle *qpm, const PendingStep &step)
{
    const QpiPtr live = qpm_qpl_info(qpm, step.package);
    return live && qpk_puname(*live) == step.puname;
}

std::string describe(const std::vector<PendingStep> &steps)
{
    std::string text;
    bool cache = false;
    for (const PendingStep &step : steps) {
        std::string part;
        switch (step.kind) {
        case PendingKind::Sync:
            continue; // said only when the check finds something
        case PendingKind::Log:
            part = "action log of " + step.package;
            break;
        case PendingKind::Ldconfig:
            if (cache)
                continue;
            cache = true;
            part = "library cache";
            break;
        case PendingKind::Configure:
            part = step.value + " of " + step.package;
            break;
        case PendingKind::Hook:
            part = "hook of " + step.package;
            break;
        }
        text += text.empty() ? part : ", " + part;
    }
    return text;
}

// Removes every hidden replacement file in the directory `dir`.
void remove_siblings_in(const std::string &dir)
{
    const std::optional<DirNames> listing = list_directory(dir);
    if (!listing)
        return;
    for (const DirName &entry : listing->entries) {
        if (!is_sibling_name(entry.name))
            continue;
        const std::string path = dir + "/" + entry.name;
        if (::unlink(path.c_str()) == 0)
            qlog(LL_DEBUG, "removed the leftover %s", path.c_str());
    }
}

// For every directory of the tree `tree` (a stage's data or conf tree),
// the hidden replacement files in the same directory on the system.
void remove_system_siblings(const std::string &tree, const std::string &system_dir)
{
    const std::optional<DirNames> listing = list_directory(tree + system_dir);
    if (!listing)
        return;
    if (const std::optional<std::string> resolved = root_resolve(system_dir.empty() ? "/" : system_dir))
        remove_siblings_in(root_path(*resolved));
    for (const DirName &entry : listing->entries) {
        const std::string child = system_dir + "/" + entry.name;
        struct stat st {};
        if (::lstat((tree + child).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            remove_system_siblings(tree, child);
    }
}

// A stage directory holds nothing but its "new" and "old" trees.
bool is_stage_directory(const std::string &path, std::string_view name)
{
    struct stat st {};
    if (name.front() == '.' || name.ends_with(".qpk") || ::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    const std::optional<DirNames> listing = list_directory(path);
    return listing && std::all_of(listing->entries.begin(), listing->entries.end(),
                                  [](const DirName &e) { return e.name == "new" || e.name == "old"; });
}

// ".NAME.new": the half of a record swap an interrupted update left.
bool is_swap_leftover(std::string_view name)
{
    return name.size() > 5 && name.front() == '.' && name.ends_with(".new") && name.find('/') == std::string_view::npos;
}

int remove_leftovers(const qpm_handle *qpm)
{
    int removed = 0;
    drop_spare_stage(qpm);
    const std::string &stagearea = qpm->dirs.stagearea;
    if (const std::optional<DirNames> listing = list_directory(stagearea)) {
        for (const DirName &entry : listing->entries) {
            const std::string path = stagearea + "/" + entry.name;
            if (is_sibling_name(entry.name)) {
                removed += ::unlink(path.c_str()) == 0 ? 1 : 0;
            } else if (is_stage_directory(path, entry.name)) {
                // Files it was putting in place may have a hidden
                // replacement beside them.
                remove_system_siblings(path + "/new/data", "");
                remove_system_siblings(path + "/new/conf", "");
                removed += qpm_qpf_rmdir(path) == 0 ? 1 : 0;
            }
        }
    }
    for (const std::string *dir : {&qpm->dirs.installed, &qpm->dirs.fileindex, &qpm->root}) {
        const std::optional<DirNames> listing = list_directory(*dir);
        if (!listing)
            continue;
        for (const DirName &entry : listing->entries) {
            const std::string path = *dir + "/" + entry.name;
            if (is_sibling_name(entry.name)) {
                removed += ::unlink(path.c_str()) == 0 ? 1 : 0;
            } else if (dir != &qpm->root && is_swap_leftover(entry.name)) {
                removed += (dir == &qpm->dirs.installed ? qpm_qpf_rmdir(path) : ::unlink(path.c_str())) == 0 ? 1 : 0;
            }
        }
    }
    if (!have_system_root())
        return removed;
    // A /tmp made in the system root by a run stopped between its mkdir
    // (the umask took 022 off) and its chmod.
    const std::string tmp = system_root() + "/tmp";
    struct stat st {};
    if (::lstat(tmp.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 07777) == 01755 &&
        ::chmod(tmp.c_str(), 01777) == 0)
        ++removed;
    // Mount points a stopped run made for its commands (empty unless a
    // script put something there, and then they stay).
    for (const char *name : {"proc", "dev"}) {
        const std::string marker = qpm_confine_made_marker(name);
        if (::access(marker.c_str(), F_OK) != 0)
            continue;
        if (::rmdir((system_root() + "/" + name).c_str()) == 0)
            ++removed;
        ::unlink(marker.c_str());
    }
    // The captured output of a script whose run was stopped.
    if (const std::optional<DirNames> listing = list_directory(tmp)) {
        for (const DirName &entry : listing->entries) {
            const std::string_view name = entry.name;
            if ((name.starts_with("out.cmd_exec") || name.starts_with("err.cmd_exec")) && name.size() == 18)
                removed += ::unlink((tmp + "/" + entry.name).c_str()) == 0 ? 1 : 0;
        }
    }
    return removed;
}

} // namespace

std::string pending_path(const qpm_handle *qpm) { return qpm->root + "/" + JOURNAL_NAME; }

std::vector<PendingStep> pending_read(const qpm_handle *qpm)
{
    const std::string path = pending_path(qpm);
    if (std::optional<std::vector<PendingStep>> known = known_journal(path))
        return std::move(*known);
    std::vector<PendingStep> steps;
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT)
            know_journal(path, nullptr, steps);
        return steps;
    }
    struct stat st {};
    std::optional<std::string> text(std::in_place);
    if (::fstat(fd.get(), &st) != 0 || !read_all(fd.get(), *text))
        return steps;
    std::optional<std::string_view> rest = std::string_view(*text);
    while (rest) {
        std::optional<std::string> entry;
        rest = ldif_get_entry(*rest, entry);
        if (!entry)
            continue;
        // Values come back decoded: a command may hold any byte.
        const auto attr = [&entry](const char *name) { return ldif_entry_get_attr(*entry, name, 1); };
        const std::optional<std::string> kind = attr("eqpkPendingStep");
        const std::optional<std::string> package = attr("eqpkName");
        const std::optional<std::string> puname = attr("eqpkPuname");
        const std::optional<PendingKind> known = kind ? kind_of(*kind) : std::nullopt;
        if (!known || !package || !puname) {
            qlog(LL_WARNING, "skipping an unreadable entry of %s", pending_path(qpm).c_str());
            continue;
        }
        steps.push_back({*known, *package, attr("eqpkPendingValue").value_or(""), *puname});
    }
    know_journal(path, &st, steps);
    return steps;
}

bool pending_add(const qpm_handle *qpm, const std::vector<PendingStep> &steps)
{
    if (steps.empty())
        return true;
    std::vector<PendingStep> all = pending_read(qpm);
    all.insert(all.end(), steps.begin(), steps.end());
    return write_journal(qpm, all);
}

void pending_done_all(const qpm_handle *qpm, const std::vector<PendingStep> &steps)
{
    if (steps.empty())
        return;
    std::vector<PendingStep> all = pending_read(qpm);
    bool changed = false;
    for (const PendingStep &done : steps) {
        const auto it = std::find_if(all.begin(), all.end(), [&](const PendingStep &s) { return same_step(s, done); });
        if (it != all.end()) {
            all.erase(it);
            changed = true;
        }
    }
    if (changed)
        write_journal(qpm, all);
}

void pending_done(const qpm_handle *qpm, const PendingStep &step) { pending_done_all(qpm, {step}); }

std::vector<PendingStep> steps_after_registration(const qpk_info &qpi, const std::optional<std::string> &sentence,
                                                  const StrArr &configure)
{
    const std::string puname = qpk_puname(qpi);
    std::vector<PendingStep> steps{{PendingKind::Sync, qpi.name, "", puname}};
    if (sentence)
        steps.push_back({PendingKind::Log, qpi.name, *sentence, puname});
    if (have_so)
        steps.push_back({PendingKind::Ldconfig, qpi.name, "", puname});
    for (const std::string &command : configure)
        steps.push_back({command.front() == '/' ? PendingKind::Hook : PendingKind::Configure, qpi.name, command, puname});
    return steps;
}

bool pending_log(const qpm_handle *qpm, const std::string &name)
{
    for (const PendingStep &step : pending_read(qpm)) {
        if (step.kind != PendingKind::Log || step.package != name)
            continue;
        qpm_log_append(step.value, qpm);
        pending_done(qpm, step);
        return true;
    }
    return false;
}

namespace {

// One file system to sync, by a directory on it.
struct SyncTarget {
    std::string shown;
    UniqueFd fd;
};

struct SyncFailure {
    std::string shown;
    int errnum = 0;
};

// The system root and the inventory, one descriptor per file system;
// nullopt after a message when one cannot be opened.
std::optional<std::vector<SyncTarget>> sync_targets(const qpm_handle *qpm)
{
    const std::string root = have_system_root() ? system_root() : "/";
    std::vector<SyncTarget> targets;
    std::unordered_set<dev_t> devices;
    for (const std::string *path : {&root, &qpm->root}) {
        UniqueFd fd(::open(path->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat st {};
        if (!fd || ::fstat(fd.get(), &st) != 0) {
            qlog(LL_ERROR, "failed to sync %s: %s", path->c_str(), std::strerror(errno));
            return std::nullopt;
        }
        if (devices.insert(st.st_dev).second)
            targets.push_back({*path, std::move(fd)});
    }
    return targets;
}

// Syncs every target; the first that failed. Says nothing: it may run
// beside the run.
std::optional<SyncFailure> sync_all(const std::vector<SyncTarget> &targets)
{
    for (const SyncTarget &target : targets) {
        // The fault point stands for a disk that reports a write error.
        if (fault_point("sync"))
            return SyncFailure{target.shown, EIO};
        if (::syncfs(target.fd.get()) != 0)
            return SyncFailure{target.shown, errno};
    }
    return std::nullopt;
}

bool said(const std::optional<SyncFailure> &failure)
{
    if (failure)
        qlog(LL_ERROR, "failed to sync %s: %s", failure->shown.c_str(), std::strerror(failure->errnum));
    return !failure;
}

// The sync of a full batch runs beside the next packages; its steps leave
// the journal once it has returned without error.
struct BackgroundSync {
    std::future<std::optional<SyncFailure>> result;
    std::vector<PendingStep> steps;
};

BackgroundSync g_background;

bool in_flight(const PendingStep &step)
{
    return std::any_of(g_background.steps.begin(), g_background.steps.end(),
                       [&](const PendingStep &s) { return same_step(s, step) && s.puname == step.puname; });
}

// Takes the background sync's result when it is there (or waits for it
// with `wait`): its steps leave the journal. False after a message when it
// failed (its steps stay for the next run).
bool settle_background(const qpm_handle *qpm, bool wait)
{
    if (!g_background.result.valid())
        return true;
    if (!wait && g_background.result.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return true;
    const std::optional<SyncFailure> failure = g_background.result.get();
    std::vector<PendingStep> steps = std::move(g_background.steps);
    g_background.steps.clear();
    if (!said(failure))
        return false;
    pending_done_all(qpm, steps);
    return true;
}

} // namespace

bool sync_system(const qpm_handle *qpm)
{
    const std::optional<std::vector<SyncTarget>> targets = sync_targets(qpm);
    return targets && said(sync_all(*targets));
}

bool sync_registered(const qpm_handle *qpm, SyncWhen when)
{
    if (!settle_background(qpm, when == SyncWhen::Now))
        return false;
    std::vector<PendingStep> waiting;
    for (PendingStep &step : pending_read(qpm))
        if (step.kind == PendingKind::Sync && !in_flight(step))
            waiting.push_back(std::move(step));
    if (waiting.empty() || (when == SyncWhen::BatchFull && waiting.size() < SYNC_BATCH))
        return true;
    if (when == SyncWhen::Now) {
        if (!sync_system(qpm))
            return false;
        pending_done_all(qpm, waiting);
        return true;
    }
    // One batch at a time: a second full batch waits for the first.
    if (!settle_background(qpm, true))
        return false;
    std::optional<std::vector<SyncTarget>> targets = sync_targets(qpm);
    if (!targets)
        return false;
    g_background.steps = std::move(waiting);
    g_background.result = std::async(std::launch::async, [targets = std::move(*targets)] { return sync_all(targets); });
    return true;
}

int qpm_recover(qpm_handle *qpm)
{
    if (!qpm || qpm->locked != 1 || dry_run)
        return 0;
    std::vector<PendingStep> due;
    std::vector<PendingStep> stale;
    for (PendingStep &step : pending_read(qpm))
        (step_due(qpm, step) ? due : stale).push_back(std::move(step));
    for (const PendingStep &step : stale)
        qlog(LL_DEBUG, "dropping a pending %s step of %s: %s was never registered", kind_name(step.kind),
             step.package.c_str(), step.puname.c_str());
    if (const std::string owed = describe(due); !owed.empty())
        qlog(LL_INFO, "completing an interrupted run: %s", owed.c_str());
    // In the order a run takes them: the sync first (what a killed run left
    // in memory goes to the disk; what a power cut lost shows in the
    // check), log lines as packages are done, the library cache, configure
    // scripts when the request ends, hooks last.
    std::stable_sort(due.begin(), due.end(),
                     [](const PendingStep &a, const PendingStep &b) { return a.kind < b.kind; });
    if (!stale.empty())
        pending_done_all(qpm, stale);
    bool cache_done = false;
    bool synced = false;
    for (const PendingStep &step : due) {
        switch (step.kind) {
        case PendingKind::Sync:
            // A failed sync has said so; the check still tells what is there.
            if (!synced)
                sync_system(qpm);
            synced = true;
            if (const int problems = qpm_chkhash(qpm, step.package, HashReport::Quiet); problems != 0)
                qlog(LL_ERROR,
                     "%s was registered by an interrupted run before it was on disk and %s: "
                     "remove it and install it again",
                     step.puname.c_str(), problems < 0 ? "cannot be checked" : "its files differ from its record");
            break;
        case PendingKind::Log:
            // The line may have gone in just before the run was stopped.
            if (!qpm_log_has(step.value, qpm))
                qpm_log_append(step.value, qpm);
            break;
        case PendingKind::Ldconfig:
            if (!cache_done)
                qpm_run_ldconfig();
            cache_done = true;
            break;
        case PendingKind::Configure:
            run_configure_script(qpm, step.package, step.value);
            break;
        case PendingKind::Hook:
            std::fflush(nullptr);
            qlog(LL_INFO, "Configured %s, rc = %d", step.package.c_str(), qpm_run_command(nullptr, step.value));
            break;
        }
        pending_done(qpm, step);
    }
    if (const int removed = remove_leftovers(qpm); removed > 0)
        qlog(LL_INFO, "removed %d leftovers of an interrupted run", removed);
    return static_cast<int>(due.size());
}

} // namespace qpm
