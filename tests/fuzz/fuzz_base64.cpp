// Base64: every byte string comes back from its encoding, and the decoder is
// strict enough that text it accepts is the one encoding of what it yields,
// give or take white space.
#include "fuzz_support.h"

#include "record/base64.h"

#include <algorithm>

using namespace qpm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view input = fuzz::as_text(data, size);

    const std::string encoded = lutil_b64_ntop(input);
    FUZZ_CHECK(encoded.size() == (input.size() + 2) / 3 * 4);
    const std::optional<std::string> back = lutil_b64_pton(encoded);
    FUZZ_CHECK(back && *back == input);

    const std::optional<std::string> decoded = lutil_b64_pton(input);
    if (decoded) {
        std::string bare(input);
        bare.erase(std::remove_if(bare.begin(), bare.end(),
                                  [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }),
                   bare.end());
        FUZZ_CHECK(lutil_b64_ntop(*decoded) == bare);
    }
    return 0;
}
