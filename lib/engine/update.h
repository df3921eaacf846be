#pragma once
// Updating one installed package in place from its staged package file, in
// the phases of an install: stage, pre-install script, file decision, apply
// (old files saved and removed, new files, configuration rules, links,
// modes), post-install script, register (new record and file index swapped
// in). Everything from the first removal to the swap is undone by the file
// transaction when a step fails.
namespace qpm {

struct qpm_handle;
struct qpk_info;
struct qpt;

// Updates the installed package `installed_info` to `new_info`. 0; -1 after
// a rollback; or the non-zero result of the step that failed before any
// file changed (unpacking, verification, pre-install script, file check).
int qpm_update_qpk(qpm_handle *qpm, qpt &record, const qpk_info *installed_info, const qpk_info *new_info,
                   int verbose);

} // namespace qpm
