#include "util/kv.h"

namespace qpm {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_quote(char c) { return c == '"' || c == '\''; }

std::string_view skip_blanks(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && is_blank(text[i]))
        ++i;
    return text.substr(i);
}

std::string_view strip_trailing_spaces(std::string_view text)
{
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

} // namespace

KeyValue _split_line(std::string_view line)
{
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos)
        return {};
    return {_clean_key(line.substr(0, eq)), _clean_val(line.substr(eq + 1))};
}

std::string _clean_key(std::string_view text)
{
    text = skip_blanks(text);
    size_t end = 0;
    while (end < text.size() && !is_blank(text[end]))
        ++end;
    return std::string(text.substr(0, end));
}

std::string _clean_val(std::string_view text)
{
    text = skip_blanks(text);
    if (text.empty() || !is_quote(text.front()))
        return std::string(strip_trailing_spaces(text));

    std::string out;
    for (size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size() && is_quote(text[i + 1])) {
            out += text[++i]; // escaped quote: keep the quote, drop the backslash
            continue;
        }
        if (is_quote(c))
            break; // either kind closes
        out += c;
    }
    return out;
}

std::string _trim_val(std::string_view text)
{
    return std::string(strip_trailing_spaces(skip_blanks(text)));
}

} // namespace qpm
