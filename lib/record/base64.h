#pragma once
// Base64 with the standard alphabet and "=" padding: binary values in LDIF.
#include <optional>
#include <string>
#include <string_view>

namespace qpm {

// Encodes bytes to padded Base64 text.
std::string lutil_b64_ntop(std::string_view bytes);

// Decodes Base64 text, skipping white space. Padding is required where the
// encoding needs it and only white space may follow it. nullopt for a
// character outside the alphabet, bad padding or non-zero leftover bits.
std::optional<std::string> lutil_b64_pton(std::string_view text);

} // namespace qpm
