#include "util/strarr.h"

#include "util/kv.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <unordered_set>

namespace qpm {
namespace {

unsigned char lower(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

bool equal_nocase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

// A number as atof reads it: leading white space and '+' allowed, 0 when
// nothing can be read.
double read_double(const char *text)
{
    if (!text)
        return 0;
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    if (*text == '+' && text[1] != '-')
        ++text;
    double value = 0;
    const char *end = text + std::strlen(text);
    if (std::from_chars(text, end, value).ec != std::errc())
        return 0;
    return value;
}

// Up to four dot-separated decimal numbers; missing ones count as 0.
void read_quad(const char *text, long long (&parts)[4])
{
    std::string_view rest = text ? text : "";
    for (long long &part : parts)
        part = 0;
    for (long long &part : parts) {
        const auto res = std::from_chars(rest.data(), rest.data() + rest.size(), part);
        if (res.ec != std::errc())
            break;
        rest.remove_prefix(static_cast<size_t>(res.ptr - rest.data()));
        if (rest.empty() || rest.front() != '.')
            break;
        rest.remove_prefix(1);
    }
}

} // namespace

int pos_array(const StrArr &array, std::string_view text)
{
    for (size_t i = 0; i < array.size(); ++i)
        if (array[i] == text)
            return static_cast<int>(i);
    return -1;
}

int in_array(const StrArr &array, std::string_view text)
{
    return pos_array(array, text) >= 0 ? 1 : 0;
}

int in_array_i(const StrArr &array, std::string_view text)
{
    for (const std::string &entry : array)
        if (equal_nocase(entry, text))
            return 1;
    return 0;
}

int arr_count(const StrArr &array)
{
    return static_cast<int>(array.size());
}

StrArr arr_copy(const StrArr &array)
{
    return array;
}

void arr_tail(StrArr &array, const StrArr &more)
{
    if (&array == &more) {
        const StrArr copy = more;
        array.insert(array.end(), copy.begin(), copy.end());
        return;
    }
    array.insert(array.end(), more.begin(), more.end());
}

void arr_tailx(StrArr &array, const StrArr &more)
{
    if (&array == &more)
        return; // every entry is already present
    // Views stay valid: the reserve below means no reallocation while appending.
    array.reserve(array.size() + more.size());
    std::unordered_set<std::string_view> seen(array.begin(), array.end());
    for (const std::string &entry : more)
        if (seen.insert(entry).second)
            array.push_back(entry);
}

void arr_adds(StrArr &array, int unique, std::string_view text)
{
    const StrArr pieces = str2arr(text, ',');
    if (unique)
        arr_tailx(array, pieces);
    else
        arr_tail(array, pieces);
}

StrArr str2arr_trim(std::string_view text, char c)
{
    StrArr out = str2arr(text, c);
    for (std::string &piece : out)
        piece = _clean_key(piece);
    return out;
}

int arr_t21_add(StrArr &array, std::string_view text)
{
    array.emplace_back(text);
    return static_cast<int>(array.size());
}

int aarr_t21_add(std::vector<StrArr> &arrays, const StrArr &array)
{
    arrays.push_back(array);
    return static_cast<int>(arrays.size());
}

void arr_sortx(StrArr &array, int (*compare)(const char *, const char *))
{
    if (!compare)
        compare = [](const char *a, const char *b) { return std::strcmp(a, b); };
    const auto out_of_order = [compare](const std::string &left, const std::string &right) {
        return compare(left.c_str(), right.c_str()) > 0;
    };
    // For a consistent comparator the stable sort gives exactly what repeated
    // neighbour swaps give; the passes after it only matter for comparators
    // that are not transitive (list_cmp_num), and cost one scan otherwise.
    std::stable_sort(array.begin(), array.end(),
                     [&](const std::string &a, const std::string &b) { return out_of_order(b, a); });
    // At most n passes, so a comparator with cycles cannot keep us here.
    bool swapped = true;
    for (size_t pass = 0; swapped && pass < array.size(); ++pass) {
        swapped = false;
        for (size_t i = 1; i < array.size(); ++i) {
            if (out_of_order(array[i - 1], array[i])) {
                std::swap(array[i - 1], array[i]);
                swapped = true;
            }
        }
    }
}

int list_cmp_num(const char *a, const char *b)
{
    const double diff = read_double(a) - read_double(b);
    if (std::isnan(diff))
        return 0;
    if (diff >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (diff <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(diff);
}

int list_cmp_addr(const char *a, const char *b)
{
    long long pa[4];
    long long pb[4];
    read_quad(a, pa);
    read_quad(b, pb);
    for (int i = 0; i < 4; ++i) {
        if (pa[i] != pb[i])
            return pa[i] < pb[i] ? -1 : 1;
    }
    return 0;
}

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
