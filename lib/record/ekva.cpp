#include "record/ekva.h"

#include "util/csv.h"
#include "util/kv.h"
#include "util/strarr.h"
#include "util/strfmt.h"

#include <cstring>
#include <strings.h>

namespace qpm {

bool equals_nocase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string Ekva::header_key() const { return strprintf("#EKVA_10:%d:%d", m_capacity, m_kind); }

EkvaPtr ekva_new(int capacity, int kind)
{
    if (capacity < 1 || kind < 1 || kind > 4)
        return nullptr;
    return std::make_unique<Ekva>(capacity, kind);
}

EkvaPtr ekva_init(int capacity) { return ekva_new(capacity, 2); }

EkvaPtr ekva_copy(const Ekva *e)
{
    if (!e)
        return nullptr;
    EkvaPtr copy = ekva_new(static_cast<int>(e->entries().size()), e->kind());
    if (!copy)
        return nullptr;
    for (const auto &entry : e->entries())
        ekva_addval(copy, entry.key, entry.value, EKVA_APPEND);
    return copy;
}

EkvaPtr ekva_dup(const Ekva *e)
{
    if (!e)
        return nullptr;
    return std::make_unique<Ekva>(*e);
}

int ekva_addval(EkvaPtr &e, std::string_view key, OptText value, int rule)
{
    if (!e)
        return 0;
    auto &entries = e->entries();
    // The capacity doubles until it exceeds the entries already there (the
    // header takes one slot).
    while (static_cast<size_t>(e->capacity()) <= entries.size())
        e->grow();
    bool present = false;
    // Only keep-first and replace look at the other entries: appending stays
    // constant time, so a record is built in time linear in its size.
    const bool scan = rule == EKVA_KEEP || rule == EKVA_REPLACE;
    for (size_t i = 0; scan && i < entries.size(); ++i) {
        if (!equals_nocase(entries[i].key, key))
            continue;
        if (rule == EKVA_KEEP) {
            present = true;
        } else if (rule == EKVA_REPLACE) {
            if (entries[i].value)
                entries[i].value = value ? std::optional<std::string>(*value) : std::nullopt;
            present = true;
        }
    }
    if (!present)
        entries.push_back({std::string(key), value ? std::optional<std::string>(*value) : std::nullopt});
    return static_cast<int>(entries.size()) + 1;
}

const char *ekva_getone(const Ekva *e, std::string_view key, int n)
{
    if (!e)
        return nullptr;
    for (const auto &entry : e->entries()) {
        if (equals_nocase(entry.key, key) && n-- == 0)
            return entry.value ? entry.value->c_str() : nullptr;
    }
    return nullptr;
}

const char *ekva_getval(const Ekva *e, std::string_view key) { return ekva_getone(e, key, 0); }

int ekva_cntval(const Ekva *e, std::string_view key)
{
    if (!e)
        return 0;
    int n = 0;
    for (const auto &entry : e->entries())
        n += equals_nocase(entry.key, key);
    return n;
}

std::vector<std::string> ekva_getvals(const Ekva *e, std::string_view key)
{
    std::vector<std::string> out;
    if (!e)
        return out;
    for (const auto &entry : e->entries()) {
        if (equals_nocase(entry.key, key))
            out.push_back(entry.value.value_or(""));
    }
    return out;
}

std::optional<std::string> ekva_getvals_str(const Ekva *e, std::string_view key, char separator)
{
    const auto values = ekva_getvals(e, key);
    if (values.empty())
        return std::nullopt;
    return arr2str(values, separator);
}

const char *ekva_getkey(const Ekva *e, std::string_view value)
{
    if (!e)
        return nullptr;
    for (const auto &entry : e->entries()) {
        if (entry.value && equals_nocase(*entry.value, value))
            return entry.key.c_str();
    }
    return nullptr;
}

int ekva_nument(const Ekva *e) { return e ? static_cast<int>(e->entries().size()) : 0; }

std::string ekva2str(const Ekva *e, char separator)
{
    std::string out;
    if (!e)
        return out;
    out.reserve(1024);
    bool first = true;
    for (const auto &entry : e->entries()) {
        if (!first)
            out += separator;
        first = false;
        out += entry.key;
        out += '=';
        if (entry.value)
            out += *entry.value;
    }
    return out;
}

EkvaPtr str2ekva(std::string_view text, char separator)
{
    if (text.empty())
        return nullptr;
    EkvaPtr e = ekva_new(static_cast<int>(text.size()), 3);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view piece = text.substr(start, end - start);
        start = end + 1;
        if (piece.empty() || piece.find('=') == std::string_view::npos)
            continue;
        const KeyValue kv = _split_line(piece);
        if (kv.key.empty())
            continue;
        if (ekva_addval(e, kv.key, kv.value, EKVA_DUPS4) <= 0)
            std::fprintf(stderr, "failed to add value <%s> for key <%s>", kv.value.c_str(), kv.key.c_str());
    }
    return e;
}

std::optional<std::string> ekva2csv(const Ekva *e, char separator, int quoting, int keys)
{
    if (!e)
        return std::nullopt;
    const auto &entries = e->entries();
    std::string out;
    for (size_t i = 0; i < entries.size(); ++i) {
        const EkvaEntry &entry = entries[i];
        if (entry.key.find(";binary") != std::string::npos)
            continue;
        if (i > 0)
            out += separator;
        if (keys) {
            out += csv_quote(entry.key, separator, quoting);
        } else if (!entry.value) {
            // a missing value is an empty, unquoted field
        } else if (ekva_cntval(e, entry.key) < 2) {
            out += csv_quote(ekva_getval(e, entry.key) ? ekva_getval(e, entry.key) : "", separator, quoting);
        } else {
            out += csv_quote(*ekva_getvals_str(e, entry.key, '|'), separator, quoting);
            while (i + 1 < entries.size() && entries[i + 1].key == entry.key)
                ++i;
        }
    }
    return out;
}

int ekva_print(const Ekva *e)
{
    if (!e)
        return 0;
    int lines = 0;
    for (const auto &entry : e->entries()) {
        if (entry.value)
            std::printf("%s: <%s>\n", entry.key.c_str(), entry.value->c_str());
        else
            std::printf("%s: NULL\n", entry.key.c_str());
        ++lines;
    }
    return lines;
}

int ekva_fprint(const Ekva *e, FILE *stream, int width)
{
    if (!e)
        return 0;
    int lines = 0;
    for (const auto &entry : e->entries()) {
        std::fprintf(stream, "%-*s: <%s>\n", width, entry.key.c_str(),
                     entry.value ? entry.value->c_str() : "NULL");
        ++lines;
    }
    return lines;
}

int ekva_list_add(EkvaList &list, const Ekva *e)
{
    if (EkvaPtr copy = ekva_copy(e))
        list.push_back(std::move(copy));
    return static_cast<int>(list.size());
}

const Ekva *ekva_list_get_ekva_seq(const EkvaList &list, std::string_view key, std::string_view value, int n)
{
    for (const auto &e : list) {
        if (!e)
            continue;
        for (const auto &entry : e->entries()) {
            if (entry.key == key && entry.value && *entry.value == value && n-- == 0)
                return e.get();
        }
    }
    return nullptr;
}

const Ekva *ekva_list_get_ekva(const EkvaList &list, std::string_view key, std::string_view value)
{
    return ekva_list_get_ekva_seq(list, key, value, 0);
}

int ekva_list_cnt_ekva(const EkvaList &list, std::string_view key, OptText value)
{
    int n = 0;
    for (const auto &e : list) {
        if (!e)
            continue;
        for (const auto &entry : e->entries()) {
            if (entry.key == key && (!value || (entry.value && *entry.value == *value)))
                ++n;
        }
    }
    return n;
}

void ekva_list_sortx(EkvaList &list, std::string_view key, EkvaCompare compare)
{
    if (!compare)
        compare = [](const char *a, const char *b) { return std::strcmp(a, b); };
    const size_t n = list.size();
    // Exchange sort: an ekva without the key is never swapped with a neighbour,
    // which is not a strict weak order, so std::stable_sort cannot stand in.
    for (size_t pass = 1; pass < n; ++pass) {
        for (size_t k = 0; k + pass < n; ++k) {
            const char *left = ekva_getval(list[k].get(), key);
            const char *right = ekva_getval(list[k + 1].get(), key);
            if (left && right && compare(left, right) > 0)
                std::swap(list[k], list[k + 1]);
        }
    }
}

void ekva_list_sort(EkvaList &list, std::string_view key) { ekva_list_sortx(list, key, nullptr); }

} // namespace qpm
