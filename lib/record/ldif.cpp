#include "record/ldif.h"

#include "record/base64.h"
#include "util/files.h"
#include "util/raii.h"
#include "util/strfmt.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {

namespace {

// Longest path a file reference may name.
constexpr size_t LDIF_MAX_PATH = 1999;
// Widths of folded lines: the first line, then a space and 76 more per line.
constexpr size_t LDIF_FIRST_WIDTH = 77;
constexpr size_t LDIF_NEXT_WIDTH = 76;

// Our texts end at a NUL byte as well as at their length.
bool text_empty(std::string_view text) { return text.empty() || text[0] == '\0'; }

// Copies one logical line into `line`: continuations joined (line feed and one
// space dropped), carriage returns dropped. Returns the offset just after it.
size_t read_logical(std::string_view text, std::string &line)
{
    line.clear();
    size_t i = 0;
    while (i < text.size() && text[i] != '\0') {
        const char c = text[i];
        if (c == '\n') {
            if (i + 1 < text.size() && text[i + 1] == ' ') {
                i += 2;
                continue;
            }
            return i + 1;
        }
        if (c != '\r')
            line += c;
        ++i;
    }
    return i;
}

bool is_dn_line(std::string_view line) { return line.size() >= 4 && line.starts_with("dn:"); }

// The contents of a referenced file; empty when it cannot be read whole.
// Only regular files are read, and the open never waits (a FIFO would).
std::string read_reference(std::string_view name)
{
    if (name.starts_with("file://"))
        name.remove_prefix(7);
    if (name.empty() || name.size() > LDIF_MAX_PATH)
        return {};
    const std::string path(name);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    std::string out;
    if (!read_all(fd.get(), out))
        return {};
    return out;
}

// ldif_parse, also telling whether the logical line was empty (an entry's
// end), which an empty attribute alone does not tell (":x" has one too).
std::optional<std::string_view> parse_line(std::string_view text, LdifLine &line, LdifRefs refs, bool &blank)
{
    if (text_empty(text))
        return std::nullopt;
    std::string logical;
    const size_t next = read_logical(text, logical);
    const std::string_view rest = text.substr(next);
    line.attribute.clear();
    line.value.clear();
    line.binary = 0;
    blank = logical.empty();
    if (blank)
        return rest;
    if (logical[0] == '#') {
        line.attribute = "#";
        line.value = "#";
        return rest;
    }
    const size_t colon = logical.find(':');
    if (colon == std::string::npos) {
        line.attribute = std::move(logical);
        return rest;
    }
    line.attribute = logical.substr(0, colon);

    enum class Form { Text, Base64, Reference } form = Form::Text;
    size_t value_at = colon + 1;
    if (value_at < logical.size() && logical[value_at] == ':') {
        form = Form::Base64;
        ++value_at;
    } else if (value_at < logical.size() && logical[value_at] == '<') {
        form = Form::Reference;
        ++value_at;
    } else if (line.attribute.find(";binary") != std::string::npos) {
        form = Form::Reference;
    }
    // One character after the separator is skipped, whatever it is.
    value_at = std::min(value_at + 1, logical.size());
    const std::string_view raw = std::string_view(logical).substr(value_at);

    switch (form) {
    case Form::Text:
        line.value = raw;
        break;
    case Form::Base64: {
        auto bytes = lutil_b64_pton(raw);
        if (!bytes || bytes->empty())
            return std::nullopt;
        line.value = std::move(*bytes);
        line.binary = 1;
        break;
    }
    case Form::Reference:
        if (refs == LdifRefs::Follow)
            line.value = read_reference(raw);
        line.binary = 1;
        break;
    }
    return rest;
}

// Walks the first entry of `text` up to its first empty line, calling
// `visit(line)` for each line; stops early when it returns false. Returns
// false (after the message) when the first line does not parse.
template <class Visit>
bool walk_entry(std::string_view text, LdifRefs refs, const char *message, Visit visit)
{
    LdifLine line;
    bool blank = false;
    auto rest = parse_line(text, line, refs, blank);
    if (!rest) {
        std::fprintf(stderr, "%s", message);
        std::fflush(stderr);
        return false;
    }
    while (rest && !blank) {
        if (!visit(line))
            break;
        rest = parse_line(*rest, line, refs, blank);
    }
    return true;
}

int collect_entries(EkvaList &list, std::string_view text, OptText object_class, LdifRefs refs, bool copy)
{
    std::optional<std::string> entry;
    std::optional<std::string_view> rest = text;
    while ((rest = ldif_get_entry(*rest, entry))) {
        if (!entry)
            continue;
        EkvaPtr e = ldif2ekva(*entry, refs);
        if (!e)
            continue;
        if (object_class) {
            const char *found = ekva_getval(e.get(), "objectClass");
            if (found && *object_class != found)
                continue;
        }
        if (copy)
            ekva_list_add(list, e.get());
        else
            list.push_back(std::move(e));
    }
    return static_cast<int>(list.size());
}

// Reads one physical line of any length, without its line feed; false at end of file.
bool read_physical(FILE *stream, std::string &line)
{
    line.clear();
    int c;
    bool any = false;
    while ((c = std::getc(stream)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        line += static_cast<char>(c);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return any;
}

// The key a binary value is kept under; a description that already carries
// the option keeps it once, so "cert;binary" is found under that name.
std::string binary_key(const std::string &attribute)
{
    if (attribute.find(";binary") != std::string::npos)
        return attribute;
    return strprintf("%s;binary", attribute.c_str());
}

bool needs_base64(std::string_view value, int type)
{
    if (type == LDIF_BINARY)
        return true;
    if (type == LDIF_FILE || value.empty())
        return false;
    if (value[0] == ' ' || value[0] == ':' || value[0] == '<')
        return true;
    for (const char c : value) {
        // A NUL could not be read back from a text value.
        if (c == '\n' || c == '\r' || c == '\0')
            return true;
        if (type != LDIF_UTF8 && static_cast<unsigned char>(c) >= 128)
            return true;
    }
    return false;
}

} // namespace

std::optional<std::string_view> ldif_parse(std::string_view text, LdifLine &line, LdifRefs refs)
{
    bool blank = false;
    return parse_line(text, line, refs, blank);
}

EkvaPtr ldif2ekva(std::string_view text, LdifRefs refs)
{
    LdifLine line;
    auto rest = ldif_parse(text, line, refs);
    if (!rest) {
        std::fprintf(stderr, "ldif2ekva: failed to parse ldif buffer\n");
        std::fflush(stderr);
        return nullptr;
    }
    EkvaPtr e = ekva_new(50, 3);
    while (rest) {
        if (!line.attribute.empty()) {
            if (!line.binary)
                ekva_addval(e, line.attribute, line.value, EKVA_APPEND);
            else if (!line.value.empty())
                ekva_addval(e, binary_key(line.attribute), lutil_b64_ntop(line.value), EKVA_DUPS);
        }
        rest = ldif_parse(*rest, line, refs);
    }
    return e;
}

std::optional<std::string_view> ldif_get_entry(std::string_view text, std::optional<std::string> &entry)
{
    entry.reset();
    if (text_empty(text))
        return std::nullopt;
    std::string logical;
    std::string out;
    bool in_entry = false;
    size_t pos = 0;
    while (pos < text.size() && text[pos] != '\0') {
        pos += read_logical(text.substr(pos), logical);
        if (logical.empty())
            break;
        if (!in_entry && !is_dn_line(logical))
            continue;
        in_entry = true;
        out += logical;
        out += '\n';
    }
    if (in_entry)
        entry = std::move(out);
    return text.substr(pos);
}

std::optional<std::string> ldif_fget_entry(FILE *stream)
{
    if (!stream)
        return std::nullopt;
    std::string line;
    std::string out;
    bool in_entry = false;
    while (read_physical(stream, line)) {
        if (line.empty())
            return in_entry ? std::optional<std::string>(std::move(out)) : std::nullopt;
        if (!in_entry && !is_dn_line(line))
            continue;
        in_entry = true;
        out += line;
        out += '\n';
    }
    // The last entry of a file needs no empty line after it.
    return in_entry ? std::optional<std::string>(std::move(out)) : std::nullopt;
}

int ldif2ekva_list(EkvaList &list, std::string_view text, OptText object_class, LdifRefs refs)
{
    list.clear();
    return collect_entries(list, text, object_class, refs, false);
}

int ldif2ekva_list_add(EkvaList &list, std::string_view text, OptText object_class, LdifRefs refs)
{
    return collect_entries(list, text, object_class, refs, true);
}

int ldif2ekva_list_file(EkvaList &list, const std::string &path, OptText object_class, LdifRefs refs)
{
    list.clear();
    const auto text = _read_file(path);
    return text ? ldif2ekva_list(list, *text, object_class, refs) : 0;
}

int ldif2ekva_list_file_add(EkvaList &list, const std::string &path, OptText object_class, LdifRefs refs)
{
    const auto text = _read_file(path);
    return text ? ldif2ekva_list_add(list, *text, object_class, refs) : static_cast<int>(list.size());
}

int ldif_entry_count_attr(std::string_view text, std::string_view name, LdifRefs refs)
{
    int count = 0;
    walk_entry(text, refs, "ldif_entry_count_attr: failed to parse ldif buffer\n", [&](const LdifLine &line) {
        count += equals_nocase(line.attribute, name);
        return true;
    });
    return count;
}

std::optional<std::string> ldif_entry_get_attr(std::string_view text, std::string_view name, int n, LdifRefs refs)
{
    std::optional<std::string> value;
    walk_entry(text, refs, "ldif_entry_get_attr: failed to parse ldif buffer\n", [&](LdifLine &line) {
        if (n > 0 && equals_nocase(line.attribute, name) && --n == 0) {
            value = std::move(line.value);
            return false;
        }
        return true;
    });
    return value;
}

StrArr ldif_entry_get_vals(std::string_view text, std::string_view name, LdifRefs refs)
{
    StrArr values;
    walk_entry(text, refs, "ldif_entry_get_vals: failed to parse ldif buffer\n", [&](LdifLine &line) {
        if (!equals_nocase(line.attribute, "dn") && equals_nocase(line.attribute, name))
            values.push_back(std::move(line.value));
        return true;
    });
    return values;
}

namespace {

std::string lower_ascii(std::string_view text)
{
    std::string out(text);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

} // namespace

const std::string *LdifEntryValues::get(std::string_view name, size_t n) const
{
    const std::vector<std::string> &values = all(name);
    return n >= 1 && n <= values.size() ? &values[n - 1] : nullptr;
}

const std::vector<std::string> &LdifEntryValues::all(std::string_view name) const
{
    static const std::vector<std::string> none;
    const auto found = m_values.find(lower_ascii(name));
    return found == m_values.end() ? none : found->second;
}

void LdifEntryValues::add(std::string_view name, std::string value)
{
    m_values[lower_ascii(name)].push_back(std::move(value));
}

LdifEntryValues ldif_entry_values(std::string_view text, LdifRefs refs)
{
    LdifEntryValues values;
    walk_entry(text, refs, "ldif_entry_get_attr: failed to parse ldif buffer\n", [&](LdifLine &line) {
        values.add(line.attribute, std::move(line.value));
        return true;
    });
    return values;
}

int ldif_write(std::string &buffer, std::string_view attribute, std::string_view value, int type)
{
    if (attribute.empty()) {
        buffer += '\n';
        return 1;
    }
    const bool base64 = needs_base64(value, type);
    const bool opt_binary = attribute.find(";binary") != std::string_view::npos;
    const bool opt_filename = !opt_binary && attribute.find(";filename") != std::string_view::npos;
    std::string_view name = attribute;
    if (opt_binary || opt_filename)
        name = attribute.substr(0, attribute.find(';'));

    std::string encoded;
    if (base64) {
        encoded = lutil_b64_ntop(value);
        const size_t expected = (value.size() + 2) / 3 * 4;
        if (encoded.size() != expected) {
            std::fprintf(stderr, "Failed to encode binary value: %d\n", static_cast<int>(encoded.size()));
            return -1;
        }
    }
    const char *separator = ": ";
    if (opt_binary || base64)
        separator = ":: ";
    else if (opt_filename || type == LDIF_FILE)
        separator = ":< ";

    std::string line;
    line.reserve(name.size() + 3 + (base64 ? encoded.size() : value.size()));
    line += name;
    line += separator;
    line += base64 ? std::string_view(encoded) : value;

    const size_t start = buffer.size();
    if (line.size() < LDIF_FIRST_WIDTH + 1) {
        buffer += line;
        buffer += '\n';
    } else {
        // The whole line is cut, description included: a reader joins the
        // pieces before it splits the line, so a long description survives.
        buffer.append(line, 0, LDIF_FIRST_WIDTH);
        buffer += '\n';
        for (size_t pos = LDIF_FIRST_WIDTH; pos < line.size(); pos += LDIF_NEXT_WIDTH) {
            buffer += ' ';
            buffer.append(line, pos, LDIF_NEXT_WIDTH);
            buffer += '\n';
        }
    }
    return static_cast<int>(buffer.size() - start);
}

int ldif_fwrite(FILE *stream, std::string_view attribute, std::string_view value, int type)
{
    std::string line;
    const int built = ldif_write(line, attribute, value, type);
    if (built <= 0)
        return 0;
    if (stream)
        std::fwrite(line.data(), 1, line.size(), stream);
    return built;
}

std::optional<std::string> ekva2ldif(const Ekva *e)
{
    if (!e)
        return std::nullopt;
    std::string out;
    out.reserve(8192);
    const char *dn = ekva_getval(e, "dn");
    if (dn && ldif_write(out, "dn", dn, LDIF_UTF8) < 0)
        return std::nullopt;
    for (const auto &entry : e->entries()) {
        if (!entry.value || entry.value->empty())
            continue;
        // The dn went first; any case of its key would repeat it.
        if (dn && equals_nocase(entry.key, "dn"))
            continue;
        if (ldif_write(out, entry.key, *entry.value, LDIF_TEXT) < 0)
            return std::nullopt;
    }
    return out;
}

} // namespace qpm
