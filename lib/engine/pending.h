#pragma once
// The pending journal: what a run still owes for packages it registered.
// The action-log line, the library cache, configure scripts and hook
// commands come after a package's record; they are written to
// INVENTORY/pending (LDIF, one entry per step) before the record is
// written, and each is taken out once done. A run stopped in between (a
// crash, a kill, a power cut) leaves them there, and the next run
// completes them first (qpm_recover).
//
// The journal also says which registered packages may not be on the disk
// yet: a run syncs the file systems once for many packages (sync_registered)
// rather than once per package, and until then each package has a sync
// step. The next run after an interruption syncs and checks the files of
// those packages against their records.
//
// qpm_recover also removes what an interrupted run leaves by name: stage
// directories, hidden replacement files beside the files it wrote
// (is_sibling_name), half-swapped .NAME.new records and indexes, and the
// mode 1755 of a /tmp it had just made in the system root.
#include "util/strarr.h"

#include <optional>
#include <string>
#include <vector>

namespace qpm {

struct qpm_handle;
struct qpk_info;

enum class PendingKind { Sync, Log, Ldconfig, Configure, Hook };

struct PendingStep {
    PendingKind kind = PendingKind::Log;
    std::string package; // the package name
    std::string value;   // Log: the sentence; Configure: the script; Hook: the command; Sync, Ldconfig: ""
    std::string puname;  // the step is due while the package's record has this unique name
};

// The journal's path: "pending" in the inventory.
std::string pending_path(const qpm_handle *qpm);

// The steps of the journal in order; empty when there is none. Entries that
// do not parse are skipped.
std::vector<PendingStep> pending_read(const qpm_handle *qpm);

// Appends `steps` to the journal (replaced whole by a rename). False after
// a message when it could not be written; the journal is then as it was.
bool pending_add(const qpm_handle *qpm, const std::vector<PendingStep> &steps);

// Takes the first step equal to `step` (kind, package and value; the
// unique name is not compared) out of the journal; the journal goes when it
// is empty. A step not found changes nothing.
void pending_done(const qpm_handle *qpm, const PendingStep &step);

// Takes every step of `steps` out, one each (as pending_done).
void pending_done_all(const qpm_handle *qpm, const std::vector<PendingStep> &steps);

// The steps owed once `qpi` is registered: its sync, its action-log line
// (when there is a `sentence`), the library cache (when a shared library
// was written), then its configure script and hook commands (`configure`,
// in order).
std::vector<PendingStep> steps_after_registration(const qpk_info &qpi, const std::optional<std::string> &sentence,
                                                  const StrArr &configure);

// Appends the action-log line the journal holds for the package `name`,
// then takes it out. False when it holds none.
bool pending_log(const qpm_handle *qpm, const std::string &name);

// Syncs the file systems of the system root and of the inventory (one
// syncfs(2) each): what the run wrote is on disk once it returns.
// False after a message on failure.
bool sync_system(const qpm_handle *qpm);

// Registered packages waiting for their sync; past this many, the run
// syncs before it goes on.
constexpr size_t SYNC_BATCH = 64;

enum class SyncWhen {
    BatchFull, // only when SYNC_BATCH packages wait
    Now,       // whenever one waits (the end of a run)
};

// Syncs the file systems (sync_system) when packages registered by this
// run wait for it, as `when` says, and takes their sync steps out of the
// journal. False after a message when the sync failed: the steps stay for
// the next run.
bool sync_registered(const qpm_handle *qpm, SyncWhen when);

// Under the lock, before a run changes anything: completes the steps the
// journal holds for packages whose record has the step's unique name (one
// line "completing an interrupted run: ..." on the log and standard error
// says which), drops steps of registrations that never finished, and
// removes the leftovers of an interrupted run. Packages it finds waiting
// for their sync are synced and checked against their records; one that
// differs is named with the advice to remove and install it again. The number of steps
// completed.
int qpm_recover(qpm_handle *qpm);

} // namespace qpm
