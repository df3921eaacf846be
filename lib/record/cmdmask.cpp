#include "record/cmdmask.h"

#include "record/ldif.h"

#include <utility>

namespace qpm {

namespace {

// Names of plain references: letters and digits as in the POSIX locale,
// whatever locale the process runs in.
bool is_name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Copies a value that stands between single quotes in the mask.
void append_quoted(std::string &out, std::string_view value, int mode)
{
    for (char c : value) {
        if (c != '\'')
            out += c;
        else if (mode == CMD_QUOTE_DOUBLED)
            out += "''";
        else
            out += "'\"'\"'";
    }
}

struct Reference {
    enum class Kind { First, Joined, Indexed };
    std::string name;
    Kind kind = Kind::First;
    char separator = ',';
    int index = 0;
};

// Reads a braced reference from `mask` at `pos` (just after "${"). Returns the
// position after its closing brace, and the reference unless the mask ended
// before that brace.
std::pair<size_t, std::optional<Reference>> read_braced(std::string_view mask, size_t pos)
{
    Reference ref;
    while (pos < mask.size()) {
        const char c = mask[pos];
        if (c == '}')
            return {pos + 1, std::move(ref)};
        if (c != '[') {
            ref.name += c;
            ++pos;
            continue;
        }
        const std::string_view sub = mask.substr(pos + 1);
        if (sub.starts_with("]}")) {
            ref.kind = Reference::Kind::Joined;
            return {pos + 3, std::move(ref)};
        }
        if (sub.size() >= 3 && sub[1] == ']' && sub[2] == '}') {
            if (is_digit(sub[0])) {
                ref.kind = Reference::Kind::Indexed;
                ref.index = sub[0] - '0';
            } else {
                ref.kind = Reference::Kind::Joined;
                ref.separator = sub[0];
            }
            return {pos + 4, std::move(ref)};
        }
        // Malformed subscript: drop the bracket part, keep reading the name.
        if (sub.starts_with("]"))
            pos += 2;
        else if (sub.size() >= 2 && sub[1] == ']')
            pos += 3;
        else
            pos += 1;
    }
    return {pos, std::nullopt};
}

void substitute(std::string &out, const Ekva *record, const Reference &ref, int mode)
{
    if (ref.name.empty())
        return;
    switch (ref.kind) {
    case Reference::Kind::First:
        if (const char *value = ekva_getval(record, ref.name))
            append_quoted(out, value, mode);
        break;
    case Reference::Kind::Indexed:
        if (const char *value = ekva_getone(record, ref.name, ref.index))
            append_quoted(out, value, mode);
        break;
    case Reference::Kind::Joined:
        if (auto joined = ekva_getvals_str(record, ref.name, ref.separator))
            append_quoted(out, *joined, mode);
        break;
    }
}

std::string expand(std::string_view mask, const Ekva *record, int mode)
{
    std::string out;
    out.reserve(mask.size());
    size_t pos = 0;
    while (pos < mask.size()) {
        const char c = mask[pos];
        if (c == '\\') {
            const bool escape = pos + 1 < mask.size() && (mask[pos + 1] == '\\' || mask[pos + 1] == '$');
            if (escape)
                out += mask[pos + 1];
            pos += escape ? 2 : 1;
        } else if (c == '$' && pos + 1 < mask.size() && mask[pos + 1] == '{') {
            auto [next, ref] = read_braced(mask, pos + 2);
            if (ref)
                substitute(out, record, *ref, mode);
            pos = next;
        } else if (c == '$') {
            size_t end = pos + 1;
            while (end < mask.size() && is_name_char(mask[end]))
                ++end;
            Reference ref;
            ref.name = mask.substr(pos + 1, end - pos - 1);
            substitute(out, record, ref, mode);
            pos = end;
        } else {
            out += c;
            ++pos;
        }
    }
    return out;
}

} // namespace

std::optional<std::string> cmd_mask_parse_ext(OptText mask, const Ekva *record, int mode)
{
    if (!mask)
        return std::nullopt;
    return expand(*mask, record, mode);
}

std::optional<std::string> cmd_mask_parse(OptText mask, const Ekva *record)
{
    return cmd_mask_parse_ext(mask, record, CMD_QUOTE_SHELL);
}

std::optional<std::string> cmd_mask_parse_ldif_ext(OptText mask, OptText ldif_text, int mode)
{
    if (!mask || !ldif_text)
        return std::nullopt;
    EkvaPtr record = ldif2ekva(*ldif_text);
    if (!record)
        return std::nullopt;
    return expand(*mask, record.get(), mode);
}

std::optional<std::string> cmd_mask_parse_ldif(OptText mask, OptText ldif_text)
{
    return cmd_mask_parse_ldif_ext(mask, ldif_text, CMD_QUOTE_SHELL);
}

} // namespace qpm
