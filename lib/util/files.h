#pragma once
// Whole-file and line readers, the word reader for simple line-oriented
// files, and file copies with an optional backup. Copies write a temporary
// file beside the destination and rename it over the destination, so the
// destination always holds either the old or the complete new content.
#include "util/strarr.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace qpm {

// The whole file; nullopt when it cannot be opened or read whole. An empty
// file gives an empty buffer.
std::optional<std::string> _read_file(const std::string &path);

// Every line without its line feed (a last line without one included); empty
// for a missing or empty file.
StrArr read_file_lines(const std::string &path);

// The blank-separated words of the next line of `file`, cut at the first '#'.
// nullopt at end of file, for a bare line feed and for a line beginning
// with '#'. Leading or trailing blanks give an empty first or last word.
std::optional<StrArr> fgets_words(FILE *file);

// Copies `source` to `destination`: returns the number of bytes, or -1.
// `mode` 1 gives the copy the source's permission bits, above 1 is the bits
// themselves, 0 or less keeps those of the file being replaced (or the
// created default). A symbolic link at the destination is replaced, not
// written through. Prints nothing.
long long file_copy(const std::string &destination, const std::string &source, int mode);

// As file_copy, but an existing regular destination is first copied whole to
// `backup` (when not empty) and the steps are reported on standard error.
// A destination that is neither a regular file nor a symbolic link is
// refused. `mode` 0 or less gives the created default.
long long file_copy_back(const std::string &destination, const std::string &source,
                         const std::string &backup, int mode);

// The text after the last dot of `name` (a view into it); empty when there is
// no dot or the only dot is the first character.
std::string_view _get_filename_ext(std::string_view name);

} // namespace qpm
