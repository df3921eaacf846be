#pragma once
// The ekva: the record type of the whole system, an ordered list of key/value
// entries where keys may repeat and are matched without regard to ASCII case.
// Its header "#EKVA_10:<capacity>:<kind>" is derived from the two numbers, so
// growth and the header rewrite stay exact.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qpm {

struct EkvaEntry {
    std::string key;
    std::optional<std::string> value; // nullopt: no value (not the empty string)
};

// Duplicate rules of ekva_addval.
constexpr int EKVA_APPEND = 0;
constexpr int EKVA_KEEP = 1;
constexpr int EKVA_REPLACE = 2;
constexpr int EKVA_DUPS = 3;
constexpr int EKVA_DUPS4 = 4;

class Ekva {
public:
    Ekva(int capacity, int kind) : m_capacity(capacity), m_kind(kind) {}

    int capacity() const { return m_capacity; }
    int kind() const { return m_kind; }
    std::string header_key() const;

    const std::vector<EkvaEntry> &entries() const { return m_entries; }
    std::vector<EkvaEntry> &entries() { return m_entries; }

    // Doubles the capacity (the header follows).
    void grow() { m_capacity *= 2; }

private:
    int m_capacity;
    int m_kind;
    std::vector<EkvaEntry> m_entries; // data entries, header excluded
};

using EkvaPtr = std::unique_ptr<Ekva>;
using EkvaList = std::vector<EkvaPtr>;

// Optional value text: nullopt is "no value". A null const char* must not be
// passed here; use ekva_opt() for a C string that may be null.
using OptText = std::optional<std::string_view>;
inline OptText ekva_opt(const char *text) { return text ? OptText(text) : std::nullopt; }

EkvaPtr ekva_new(int capacity, int kind);
EkvaPtr ekva_init(int capacity);
inline void ekva_free(EkvaPtr &e) { e.reset(); }
EkvaPtr ekva_copy(const Ekva *e);
EkvaPtr ekva_dup(const Ekva *e);

// Returns the element count after the call, header included; 0 on failure.
int ekva_addval(EkvaPtr &e, std::string_view key, OptText value, int rule);

// Lookups return text borrowed from the record; null when absent.
const char *ekva_getval(const Ekva *e, std::string_view key);
const char *ekva_getone(const Ekva *e, std::string_view key, int n);
int ekva_cntval(const Ekva *e, std::string_view key);
// Values of every entry with the key; an entry without value gives "".
std::vector<std::string> ekva_getvals(const Ekva *e, std::string_view key);
std::optional<std::string> ekva_getvals_str(const Ekva *e, std::string_view key, char separator);
const char *ekva_getkey(const Ekva *e, std::string_view value);
int ekva_nument(const Ekva *e);

std::string ekva2str(const Ekva *e, char separator);
EkvaPtr str2ekva(std::string_view text, char separator);
std::optional<std::string> ekva2csv(const Ekva *e, char separator, int quoting, int keys);
int ekva_print(const Ekva *e);
int ekva_fprint(const Ekva *e, FILE *stream, int width);

// Appends a copy of `e`; returns the new count. A copy that yields nothing
// (an ekva without data entries) is neither stored nor counted.
int ekva_list_add(EkvaList &list, const Ekva *e);
inline void ekva_list_free(EkvaList &list) { list.clear(); }
const Ekva *ekva_list_get_ekva_seq(const EkvaList &list, std::string_view key, std::string_view value, int n);
const Ekva *ekva_list_get_ekva(const EkvaList &list, std::string_view key, std::string_view value);
int ekva_list_cnt_ekva(const EkvaList &list, std::string_view key, OptText value);
using EkvaCompare = int (*)(const char *, const char *);
void ekva_list_sort(EkvaList &list, std::string_view key);
void ekva_list_sortx(EkvaList &list, std::string_view key, EkvaCompare compare);

// ASCII case-insensitive equality, as every key comparison uses.
bool equals_nocase(std::string_view a, std::string_view b);

} // namespace qpm
