#include "util/csv.h"

#include "util/files.h"

namespace qpm {
namespace {

// The field rules shared by lgetcsv, fgetcsv and sgetcsv.
StrArr parse_fields(std::string_view line, char separator)
{
    StrArr fields;
    size_t i = 0;
    const size_t n = line.size();
    // A backslash followed by n is a line feed unless it follows a backslash.
    const auto line_feed_at = [&](size_t pos) {
        return line[pos] == '\\' && pos + 1 < n && line[pos + 1] == 'n' &&
               !(pos > 0 && line[pos - 1] == '\\');
    };
    for (;;) {
        std::string field;
        if (i < n && line[i] == '"') {
            ++i;
            bool more = false;
            while (i < n) {
                const char c = line[i];
                if (c == '"') {
                    if (i + 1 == n) {
                        ++i;
                        break;
                    }
                    if (line[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    if (line[i + 1] == separator) {
                        i += 2;
                        more = true;
                        break;
                    }
                    field += '"';
                    ++i;
                } else if (line_feed_at(i)) {
                    field += '\n';
                    i += 2;
                } else {
                    field += c;
                    ++i;
                }
            }
            fields.push_back(std::move(field));
            if (!more)
                return fields;
            continue;
        }
        while (i < n && line[i] != separator) {
            if (line_feed_at(i)) {
                field += '\n';
                i += 2;
            } else {
                field += line[i++];
            }
        }
        fields.push_back(std::move(field));
        if (i >= n)
            return fields;
        ++i; // the separator; a field always follows it
    }
}

} // namespace

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

std::string arr2csv(const StrArr &array, char separator, int force)
{
    std::string out;
    for (size_t i = 0; i < array.size(); ++i) {
        if (i)
            out += separator;
        out += csv_quote(array[i], separator, force);
    }
    return out;
}

StrArr csv2arr(std::string_view text, char separator)
{
    return str2arr(text, separator);
}

StrArr lgetcsv(std::string_view line, char separator)
{
    return parse_fields(line, separator);
}

std::optional<StrArr> fgetcsv(FILE *file, char separator, int skip_bom)
{
    const std::optional<std::string> read = fgets_text_line(file);
    if (!read)
        return std::nullopt;
    std::string_view line = *read;
    if (skip_bom && line.size() > 3 && line.substr(0, 3) == "\xEF\xBB\xBF")
        line.remove_prefix(3);
    return parse_fields(line, separator);
}

size_t sgetcsv(std::string_view text, char separator, StrArr &fields)
{
    fields.clear();
    if (text.empty())
        return 0;
    const size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    const size_t next = lf == std::string_view::npos ? text.size() : lf + 1;
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (!line.empty())
        fields = parse_fields(line, separator);
    return next;
}

} // namespace qpm
