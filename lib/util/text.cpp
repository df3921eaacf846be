#include "util/text.h"

namespace qpm {

std::vector<int> strallpos(std::string_view text, char c)
{
    std::vector<int> positions;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == c)
            positions.push_back(static_cast<int>(i));
    return positions;
}

std::string bin2hex(std::string_view data)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(data.size() * 2);
    for (char ch : data) {
        const auto byte = static_cast<unsigned char>(ch);
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0f];
    }
    return hex;
}

std::string bin2hex(const unsigned char *data, size_t length)
{
    if (!data)
        return {};
    return bin2hex(std::string_view(reinterpret_cast<const char *>(data), length));
}

int hexchr2bin(char c, unsigned char &value)
{
    if (c >= '0' && c <= '9')
        value = static_cast<unsigned char>(c - '0');
    else if (c >= 'A' && c <= 'F')
        value = static_cast<unsigned char>(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f')
        value = static_cast<unsigned char>(c - 'a' + 10);
    else
        return 0;
    return 1;
}

std::optional<std::string> hexs2bin(std::string_view text)
{
    if (text.empty() || text.size() % 2 != 0)
        return std::nullopt;
    std::string bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned char high = 0;
        unsigned char low = 0;
        if (!hexchr2bin(text[i], high) || !hexchr2bin(text[i + 1], low))
            return std::nullopt;
        bytes += static_cast<char>((high << 4) | low);
    }
    return bytes;
}

int isip4str(std::string_view text)
{
    int groups = 0;
    size_t i = 0;
    for (;;) {
        unsigned value = 0;
        size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            if (value > 255)
                return 0;
            ++i;
            ++digits;
        }
        if (digits == 0)
            return 0;
        ++groups;
        if (i == text.size())
            return groups == 4 ? 1 : 0;
        if (text[i] != '.' || groups == 4)
            return 0;
        ++i;
    }
}

} // namespace qpm
