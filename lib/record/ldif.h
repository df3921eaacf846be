#pragma once
// LDIF, the file form of every record: logical lines (a line feed followed by
// one space continues a line), entries starting at a "dn:" line, plain, Base64
// ("::") and file reference (":<", ";binary") values, and a writer that folds
// lines at 77 characters.
#include "record/ekva.h"
#include "util/strarr.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qpm {

// Whether a reader opens the files named by ":<" values and ";binary"
// descriptions. Package descriptions come from strangers, so the default
// leaves such a value empty and never touches the file system.
enum class LdifRefs { Ignore, Follow };

// One logical line as ldif_parse reads it.
struct LdifLine {
    std::string attribute; // "" for an empty line, "#" for a comment
    std::string value;     // bytes: decoded for Base64, file contents for a reference
    int binary = 0;        // 1 for the "::", ":<" and ";binary" forms
};

// Value types of ldif_write.
constexpr int LDIF_TEXT = 0;   // Base64 when unsafe or not 7-bit
constexpr int LDIF_BINARY = 1; // always Base64
constexpr int LDIF_UTF8 = 2;   // bytes of 128 and above written as they are
constexpr int LDIF_FILE = 3;   // a file reference, written with ":<"
constexpr int LDIF_TEXT4 = 4;  // as LDIF_TEXT

// Reads one logical line. Returns the text after it (empty once the text is
// used up), or nullopt for an empty text or a Base64 value that does not
// decode to at least one byte. A NUL byte ends the text. A line without ':'
// is all attribute, with an empty value.
std::optional<std::string_view> ldif_parse(std::string_view text, LdifLine &line,
                                           LdifRefs refs = LdifRefs::Ignore);

// Every line of `text` as one ekva (capacity 50, kind 3); binary values are
// stored as Base64 text under "<attribute>;binary". Null when the first line
// does not parse.
EkvaPtr ldif2ekva(std::string_view text, LdifRefs refs = LdifRefs::Ignore);

// The next entry: from its "dn:" line up to an empty line, logical lines
// joined, each followed by a line feed. Returns the text after the scan, or
// nullopt for an empty text; `entry` is nullopt when an empty line came first.
std::optional<std::string_view> ldif_get_entry(std::string_view text, std::optional<std::string> &entry);

// The next entry of a stream (continuation lines stay as they are); nullopt
// at end of file or at an empty line before any "dn:" line.
std::optional<std::string> ldif_fget_entry(FILE *stream);

// Every entry of `text` as an ekva; the list is replaced, the count returned.
// With an object class, entries whose first objectClass differs are left out.
int ldif2ekva_list(EkvaList &list, std::string_view text, OptText object_class,
                   LdifRefs refs = LdifRefs::Ignore);
// The same, appending copies to `list`; returns the new count.
int ldif2ekva_list_add(EkvaList &list, std::string_view text, OptText object_class,
                       LdifRefs refs = LdifRefs::Ignore);
// The same for a whole file; an unreadable file gives 0 (the list emptied),
// or for the _add form the unchanged count.
int ldif2ekva_list_file(EkvaList &list, const std::string &path, OptText object_class,
                        LdifRefs refs = LdifRefs::Ignore);
int ldif2ekva_list_file_add(EkvaList &list, const std::string &path, OptText object_class,
                            LdifRefs refs = LdifRefs::Ignore);

// Look-ups in the first entry of `text` (up to its first empty line),
// attribute names compared without regard to ASCII case.
int ldif_entry_count_attr(std::string_view text, std::string_view name, LdifRefs refs = LdifRefs::Ignore);
// The n-th value (from 1) of the attribute, decoded for the binary forms.
std::optional<std::string> ldif_entry_get_attr(std::string_view text, std::string_view name, int n,
                                               LdifRefs refs = LdifRefs::Ignore);
// Every value of the attribute; a "dn" line never matches.
StrArr ldif_entry_get_vals(std::string_view text, std::string_view name, LdifRefs refs = LdifRefs::Ignore);

// Every value of the first entry of `text`, read in one pass and grouped by
// attribute name (without regard to ASCII case), each group in file order:
// what ldif_entry_get_attr finds, for all attributes at once, so a reader of
// many repeated values (dependencies, update times) stays linear.
class LdifEntryValues {
public:
    // The n-th value (from 1) of the attribute; null when there are fewer.
    const std::string *get(std::string_view name, size_t n = 1) const;
    // Every value of the attribute, in order.
    const std::vector<std::string> &all(std::string_view name) const;
    size_t count(std::string_view name) const { return all(name).size(); }

    void add(std::string_view name, std::string value);

private:
    std::unordered_map<std::string, std::vector<std::string>> m_values; // keys lower-cased
};
LdifEntryValues ldif_entry_values(std::string_view text, LdifRefs refs = LdifRefs::Ignore);

// Appends one attribute line, folded, to `buffer`; an empty attribute appends
// the entry separator (a line feed). Returns the bytes appended, -1 on failure
// (the buffer is then unchanged). LDIF_BINARY takes every byte of `value`.
int ldif_write(std::string &buffer, std::string_view attribute, std::string_view value, int type);
// One line built with ldif_write and written to `stream`; returns the bytes built.
int ldif_fwrite(FILE *stream, std::string_view attribute, std::string_view value, int type);

// The ekva as LDIF text: its dn first, then every entry with a value, in
// order. No empty line at the end. nullopt for a null ekva.
std::optional<std::string> ekva2ldif(const Ekva *e);

} // namespace qpm
