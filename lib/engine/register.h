#pragma once
// The last phase: the package enters the inventory. Its record directory
// (description, lists, scripts, shipped configuration and dump files, hash
// lists, install record) and its file index are written through the file
// transaction, so a failure leaves the inventory as it was.
#include "util/strarr.h"

#include <string>

namespace qpm {

struct qpk_info;
struct StagedPackage;
class FileTransaction;

// Registers a newly installed package: INSTALLED/NAME with the install
// record written last (type "X" when `head` is the package itself, else "D"
// with the head), and the file index of `final_files`. 0, or -1 after the
// designed message.
int register_install(const qpk_info &qpi, const StagedPackage &staged, const std::string &head,
                     const StrArr &final_files, FileTransaction &files);

// Registers the update of `old_qpi` to the staged package: the new record
// (first install time, type and head kept, one more update time) and file
// index are written beside the live ones, then swapped in, the index first,
// each by an atomic exchange, so a record and an index always exist. The
// transaction exchanges them back on rollback; once it is committed,
// finish_update_record() removes the previous ones. 0, or -1.
int register_update(const qpk_info &old_qpi, const StagedPackage &staged, const StrArr &add_files,
                    FileTransaction &files);

// After a committed update: the previous record and index, now at the
// .NAME.new paths, go by way of .NAME.old; an index left empty goes too.
void finish_update_record(const StagedPackage &staged, const StrArr &add_files);

// Puts the complete record directory `next` in place of the live `record`
// by one atomic exchange; the previous record then leaves by way of `old`
// (the name a cleanup recognises). 0, or -1 with errno (nothing changed).
int swap_in_record(const std::string &next, const std::string &record, const std::string &old);

// The steps of writing a record directory, for the caller's messages.
enum class RecordStep { Done, Info, DataHash, Init, InitHash, Conf, ConfHash, Dump, DumpHash };

// Writes the record directory of the staged package into `dir` (all but
// the install record; `dir` and its "hash" directory must exist). The step
// that failed, or Done.
RecordStep write_record_files(const StagedPackage &staged, const std::string &dir);

// Writes `files`, one per line, to `path`. False on any write error.
bool write_file_index(const std::string &path, const StrArr &files);

} // namespace qpm
