#include "util/strarr.h"

namespace qpm {

std::string arr2str(const StrArr &array, char c)
{
    std::string out;
    for (size_t i = 0; i < array.size(); ++i) {
        if (i)
            out += c;
        out += array[i];
    }
    return out;
}

StrArr str2arr(std::string_view text, char c)
{
    StrArr out;
    size_t start = 0;
    while (start <= text.size() && out.size() < STR2ARR_MAX) {
        size_t end = text.find(c, start);
        if (end == std::string_view::npos)
            end = text.size();
        if (end > start)
            out.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

} // namespace qpm
