#pragma once
// Package files in local directories: the builds of one name that the
// inventory can take, and the one of them `qpm_findone` chooses.
#include "package/handle.h"
#include "package/qpk_info.h"
#include "util/strarr.h"

#include <optional>
#include <string>

namespace qpm {

// Package files named `name` of an acceptable architecture and variant in
// the directories (files in name order), with their URIs set; empty when
// there is none or no directory is given.
QpiList qpm_findall_dirs(const qpm_handle *qpm, const std::string &name, const std::optional<std::string> &variant,
                         const StrArr &directories);

// The record `qpm_findone` chooses among `qpm_findall_dirs`; `version` is not
// used.
QpiPtr qpm_findone_dirs(const qpm_handle *qpm, const std::string &name, const std::optional<std::string> &variant,
                        const std::optional<std::string> &version, const StrArr &directories);

} // namespace qpm
