#pragma once
// The inventory of installed packages: one package's record, the lists of
// installed names and records, and a package's file index.
#include "package/handle.h"
#include "package/qpk_info.h"
#include "util/strarr.h"

#include <optional>
#include <string>

namespace qpm {

// The installed package `name` with its install record, or null when it is
// not installed (a name that could leave the inventory directory never is).
QpiPtr qpm_qpl_info(const qpm_handle *qpm, const std::string &name);

// Names of the installed packages (sorted by strcmp with `sort`); empty when
// there are none or the inventory cannot be read.
StrArr qpm_list_arr(const qpm_handle *qpm, int sort);

// Installed packages whose name, or failing that description, matches the
// shell wildcard `pattern` (all when nullopt), into `out`; returns their
// number.
int qpm_list_qpi(const qpm_handle *qpm, const std::optional<std::string> &pattern, int sort, QpiList &out);

// The paths listed in the package's file index, in order; empty when it has
// none.
StrArr qpm_qpl_file_list(const qpm_handle *qpm, const qpk_info *qpi);
StrArr qpm_qpl_index(const qpm_handle *qpm, const std::string &name);

} // namespace qpm
