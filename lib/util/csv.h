#pragma once
// The CSV dialect: fields quoted with '"' (doubled inside), line feeds written
// as backslash-n, a chosen separator.
#include "util/strarr.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace qpm {

std::string csv_quote(std::string_view text, char separator, int force);
std::string arr2csv(const StrArr &array, char separator, int force);
StrArr csv2arr(std::string_view text, char separator);
// The field list of one line; the last field is always present.
StrArr lgetcsv(std::string_view line, char separator);
// The next line of `file`; nullopt at end of file or on a bare line feed.
std::optional<StrArr> fgetcsv(FILE *file, char separator, int skip_bom);
// Parses the first line of `text` into `fields`; returns the offset where the
// next line begins (text.size() or beyond when there is none).
size_t sgetcsv(std::string_view text, char separator, StrArr &fields);

} // namespace qpm
