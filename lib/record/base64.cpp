#include "record/base64.h"

#include <array>
#include <cstdint>

namespace qpm {

namespace {

constexpr std::string_view b64_chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char b64_pad = '=';

// -1: not a Base64 character.
constexpr std::array<int8_t, 256> b64_table = [] {
    std::array<int8_t, 256> table{};
    table.fill(-1);
    for (size_t i = 0; i < b64_chars.size(); ++i)
        table[static_cast<unsigned char>(b64_chars[i])] = static_cast<int8_t>(i);
    return table;
}();

bool is_b64_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

std::string lutil_b64_ntop(std::string_view bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                               static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                               static_cast<unsigned char>(bytes[i + 2]);
        out += b64_chars[group >> 18 & 0x3f];
        out += b64_chars[group >> 12 & 0x3f];
        out += b64_chars[group >> 6 & 0x3f];
        out += b64_chars[group & 0x3f];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2)
            group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += b64_chars[group >> 18 & 0x3f];
        out += b64_chars[group >> 12 & 0x3f];
        out += rest == 2 ? b64_chars[group >> 6 & 0x3f] : b64_pad;
        out += b64_pad;
    }
    return out;
}

std::optional<std::string> lutil_b64_pton(std::string_view text)
{
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    int state = 0; // position inside the current group of four characters
    uint32_t bits = 0;
    size_t pos = 0;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (is_b64_space(c))
            continue;
        if (c == b64_pad)
            break;
        const int v = b64_table[static_cast<unsigned char>(c)];
        if (v < 0)
            return std::nullopt;
        bits = bits << 6 | static_cast<uint32_t>(v);
        if (++state == 4) {
            out += static_cast<char>(bits >> 16 & 0xff);
            out += static_cast<char>(bits >> 8 & 0xff);
            out += static_cast<char>(bits & 0xff);
            state = 0;
            bits = 0;
        }
    }
    if (pos == text.size())
        return state == 0 ? std::optional<std::string>(std::move(out)) : std::nullopt;

    // Padding: two characters of a group need "==", three need "=".
    if (state < 2)
        return std::nullopt;
    size_t pads_needed = state == 2 ? 2 : 1;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (is_b64_space(c))
            continue;
        if (c != b64_pad || pads_needed == 0)
            return std::nullopt;
        --pads_needed;
    }
    if (pads_needed != 0)
        return std::nullopt;
    // The bits of the partial group beyond the last whole byte must be zero.
    if (state == 2) {
        if (bits & 0xf)
            return std::nullopt;
        out += static_cast<char>(bits >> 4 & 0xff);
    } else {
        if (bits & 0x3)
            return std::nullopt;
        out += static_cast<char>(bits >> 10 & 0xff);
        out += static_cast<char>(bits >> 2 & 0xff);
    }
    return out;
}

} // namespace qpm
