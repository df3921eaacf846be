#pragma once
// Cleaning up what transactions leave in the inventory: previous records
// (installed/.NAME.old), previous file indexes (fileindex/.NAME.old) and the
// package files fetched into the stage area (PUNAME.qpk). Live records,
// live indexes and stage directories are never touched.
namespace qpm {

struct qpm_handle;

// The options of the cleanup question, in display order.
constexpr const char *QPM_CLEANUP_OPTIONS =
    "k=keep entry,L=Leave all entries,d=delete entry,R=Remove all entries,a=abort cleanup";

// Removes the leftovers (asking first in interaction mode 1; in a dry run
// only reporting them). The number of entries removed (or found, in a dry
// run), or -1 without the lock (outside a dry run), for a section directory
// that cannot be opened, or on an abort.
int qpm_cleanup(qpm_handle *qpm);

} // namespace qpm
