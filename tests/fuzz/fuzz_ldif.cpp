// The LDIF reader: logical lines, entries, records and look-ups, read from
// text and from a stream; and the writer read back: a record written out
// and read again is the same record, and a written line gives back its value.
#include "fuzz_support.h"

#include "record/base64.h"
#include "record/ldif.h"

#include <algorithm>

using namespace qpm;

namespace {

// Attribute names that stand in a written line as they are.
bool plain_key(std::string_view key)
{
    return !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    });
}

// Whether the writer gives a value in Base64: what a text line could not
// carry, and (but for UTF-8 values) bytes of 128 and above.
bool written_base64(std::string_view value, bool utf8)
{
    if (value.empty())
        return false;
    if (value[0] == ' ' || value[0] == ':' || value[0] == '<')
        return true;
    return std::any_of(value.begin(), value.end(), [utf8](char c) {
        return c == '\n' || c == '\r' || c == '\0' || (!utf8 && static_cast<unsigned char>(c) >= 128);
    });
}

// A record written with ekva2ldif and read back holds what it held: its dn
// first, then the other entries with a value, in order; a value written in
// Base64 comes back as Base64 text under "<name>;binary".
void check_written_record(const Ekva &e)
{
    std::vector<EkvaEntry> expected;
    const char *dn = ekva_getval(&e, "dn");
    if (dn) { // written even when empty
        if (written_base64(dn, true))
            return; // a binary dn names no entry
        expected.push_back({"dn", std::string(dn)});
    }
    for (const EkvaEntry &entry : e.entries()) {
        if (!plain_key(entry.key))
            return; // names of other shapes are no record's
        if (!entry.value || entry.value->empty() || (dn && equals_nocase(entry.key, "dn")))
            continue;
        if (written_base64(*entry.value, false))
            expected.push_back({entry.key + ";binary", lutil_b64_ntop(*entry.value)});
        else
            expected.push_back(entry);
    }
    const std::optional<std::string> text = ekva2ldif(&e);
    FUZZ_CHECK(text);
    if (expected.empty())
        return;
    const EkvaPtr back = ldif2ekva(*text);
    FUZZ_CHECK(back);
    FUZZ_CHECK(back->entries().size() == expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        FUZZ_CHECK(equals_nocase(back->entries()[i].key, expected[i].key));
        FUZZ_CHECK(back->entries()[i].value == expected[i].value);
    }
}

// One written line reads back as the attribute and the bytes it was given.
void check_written_line(std::string_view value)
{
    for (const int type : {LDIF_TEXT, LDIF_BINARY, LDIF_UTF8}) {
        if (type == LDIF_BINARY && value.empty())
            continue; // an empty Base64 value is no value
        std::string buffer;
        FUZZ_CHECK(ldif_write(buffer, "eqpkDescription", value, type) > 0);
        LdifLine line;
        const std::optional<std::string_view> rest = ldif_parse(buffer, line);
        FUZZ_CHECK(rest && rest->empty());
        FUZZ_CHECK(line.attribute == "eqpkDescription");
        FUZZ_CHECK(line.value == value);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text = fuzz::as_text(data, size);

    // Line by line: every line read takes at least one byte.
    LdifLine line;
    std::optional<std::string_view> rest = text;
    while (rest && !rest->empty()) {
        const std::optional<std::string_view> next = ldif_parse(*rest, line);
        if (next)
            FUZZ_CHECK(next->size() < rest->size());
        rest = next;
    }

    if (EkvaPtr e = ldif2ekva(text))
        check_written_record(*e);

    EkvaList list;
    const int count = ldif2ekva_list(list, text, std::nullopt);
    FUZZ_CHECK(count == static_cast<int>(list.size()));
    ldif2ekva_list_add(list, text, std::string_view("qpmPackage"));

    std::optional<std::string> entry;
    rest = text;
    while ((rest = ldif_get_entry(*rest, entry))) {
        if (entry) {
            (void)ldif_entry_count_attr(*entry, "eqpkDepend");
            (void)ldif_entry_get_attr(*entry, "eqpkName", 1);
            (void)ldif_entry_get_vals(*entry, "eqpkDepend");
        }
        if (rest->empty())
            break;
    }

    // The same text as a stream.
    if (size > 0) {
        FilePtr stream(fmemopen(const_cast<uint8_t *>(data), size, "r"));
        FUZZ_CHECK(stream);
        for (int n = 0; n <= static_cast<int>(size); ++n)
            if (!ldif_fget_entry(stream.get()) && std::feof(stream.get()))
                break;
    }

    check_written_line(text);
    return 0;
}
