#pragma once
// Checks of the inventory after the fact: an installed package against the
// hash lists in its record, record directories that hold no readable
// package, and packages installed as a dependency that nothing needs any
// more; and the rewrite of one package's install record. Like the cleanup,
// the checks that could change something honour `dry_run` and ask through
// the interface only in interaction mode 1 (otherwise nothing is removed or
// changed).
#include <optional>
#include <string>

namespace qpm {

struct qpm_handle;
struct qpk_info;

// The answers of the record check and of the head check.
constexpr const char *QPM_CHKINST_OPTIONS =
    "k=keep entry,L=Leave all entries,d=delete entry,R=Remove all entries,a=abort chkinst";
constexpr const char *QPM_CHKHEAD_OPTIONS =
    "k=keep entry,L=Leave all entries,f=fix entry,F=Fix all entries,a=abort chkhead";

// Verifies the installed package `name`: the dump, init and configuration
// copies in its record and its data files on the system against the stored
// hash lists, and its live configuration files (a changed one is normal, a
// missing one a problem). With `show`, progress lines go to the terminal;
// the summary line always does. The number of problems, or -1 when the
// package is not installed or a hash list cannot be read.
int qpm_chkhash(const qpm_handle *qpm, const std::string &name, int show);

// What qpm_chkhash says beside its error lines: every file, the summary
// line, or nothing (for a check the user did not ask for).
enum class HashReport { Every, Summary, Quiet };
int qpm_chkhash(const qpm_handle *qpm, const std::string &name, HashReport report);

// Finds record directories without a readable package and offers to remove
// them. The number of invalid directories; 0 when the installed directory
// cannot be read; -1 without the lock (outside a dry run) or on an abort.
int qpm_chkinst(qpm_handle *qpm, int show);

// Finds packages installed as a dependency whose head is gone or no longer
// needs them, saying who else still needs each. Changes nothing. Their
// number; 0 when the installed directory cannot be read; -1 without the lock
// (outside a dry run) or on an abort.
int qpm_chkhead(qpm_handle *qpm);

// Rewrites the install record of the installed package `info` with
// `install_type` and `head` (none: no head), keeping the first install time
// and the update times and adding one for now. The record is replaced as a
// whole by one atomic exchange. 0, or -1 (nothing changed).
int qpm_fixinst_qpk(qpm_handle *qpm, const qpk_info &info, char install_type, const std::optional<std::string> &head);

} // namespace qpm
