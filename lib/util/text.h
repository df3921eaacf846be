#pragma once
// Small text conversions: character positions, hexadecimal, dotted quads.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qpm {

// Zero-based positions of every occurrence of `c` in `text`; the count is
// the size.
std::vector<int> strallpos(std::string_view text, char c);

// Two upper-case hexadecimal digits per byte; empty for no data.
std::string bin2hex(std::string_view data);
std::string bin2hex(const unsigned char *data, size_t length);

// 1 and the digit's value in `value` for 0-9, A-F, a-f; else 0.
int hexchr2bin(char c, unsigned char &value);

// The bytes of a text of hexadecimal digit pairs; nullopt for an empty text,
// an odd length or a character that is not a hexadecimal digit.
std::optional<std::string> hexs2bin(std::string_view text);

// 1 when `text` is exactly four dot-separated groups of decimal digits, each
// below 256 (leading zeros allowed); else 0.
int isip4str(std::string_view text);

// A C text that may be null as an optional, and the other way round for
// messages ("(null)" where there is none).
inline std::optional<std::string> optional_text(const char *text)
{
    return text ? std::optional<std::string>(text) : std::nullopt;
}
inline const char *text_or_null(const char *text) { return text ? text : "(null)"; }
inline const char *text_or_null(const std::optional<std::string> &text) { return text ? text->c_str() : "(null)"; }

} // namespace qpm
