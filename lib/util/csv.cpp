#include "util/csv.h"

namespace qpm {

std::string csv_quote(std::string_view text, char separator, int force)
{
    const bool quoted = force || text.find(separator) != std::string_view::npos;
    std::string out;
    out.reserve(text.size() + 2);
    if (quoted)
        out += '"';
    for (char c : text) {
        if (c == '"')
            out += "\"\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    if (quoted)
        out += '"';
    return out;
}

} // namespace qpm
