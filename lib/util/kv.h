#pragma once
// The key=value line syntax shared by configuration files, option strings and
// .qpmrc: split at the first '=', key reduced to its first word, value cleaned
// of blanks and quotes.
#include <string>
#include <string_view>

namespace qpm {

struct KeyValue {
    std::string key;
    std::string value;
};

// A line without '=' gives an empty key and an empty value.
KeyValue _split_line(std::string_view line);
// First word: leading blanks skipped, ends at the next space or tab.
std::string _clean_key(std::string_view text);
// Leading blanks skipped; a quoted value runs to the next unescaped quote of
// either kind; an unquoted one loses its trailing spaces (not tabs).
std::string _clean_val(std::string_view text);
// Leading spaces and tabs and trailing spaces removed; no quote handling.
std::string _trim_val(std::string_view text);

} // namespace qpm
