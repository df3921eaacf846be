#pragma once
// Regular-expression search in text and in files.
#include "util/strarr.h"

#include <optional>
#include <regex.h>
#include <string>

namespace qpm {

// A copy of `text` when `regex` matches it.
std::optional<std::string> lgrep_exec_regex(const std::string &text, const regex_t &regex);

// Appends every line of the file at `path` (without its line feed) that
// matches the extended regular expression `pattern` to `lines`; returns how
// many matched. -3 when `mode` is not 1 (a file path), -1 when the pattern
// does not compile or the file cannot be opened.
int lgrep_match_filename(const std::string &path, int ignore_case, int mode,
                         const std::string &pattern, StrArr &lines);

} // namespace qpm
