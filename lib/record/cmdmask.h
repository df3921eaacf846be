#pragma once
// Command masks: a command line with references to the fields of a record,
// filled with the values quoted for the shell.
#include "record/ekva.h"

#include <optional>
#include <string>

namespace qpm {

// Quote modes of mask expansion. Every reference is meant to stand between
// single quotes in the mask; the modes differ only in how a single quote
// inside a value is written: '"'"' (shell) or '' (doubled).
constexpr int CMD_QUOTE_SHELL = 1;
constexpr int CMD_QUOTE_DOUBLED = 2;

// Expands $name, ${name}, ${name[]}, ${name[c]} and ${name[d]} from `record`
// (which may be null: every reference is then empty). Null for a null mask.
std::optional<std::string> cmd_mask_parse(OptText mask, const Ekva *record);
// `mode` CMD_QUOTE_DOUBLED for doubled quotes; any other value is shell mode.
std::optional<std::string> cmd_mask_parse_ext(OptText mask, const Ekva *record, int mode);
// The same with the record read from the LDIF text of one entry; null when
// the mask is null or the text does not parse.
std::optional<std::string> cmd_mask_parse_ldif(OptText mask, OptText ldif_text);
std::optional<std::string> cmd_mask_parse_ldif_ext(OptText mask, OptText ldif_text, int mode);

} // namespace qpm
