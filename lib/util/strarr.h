#pragma once
// String arrays and their set operations. An empty vector plays the part of
// the "no array" result where the difference is not observable.
#include <string>
#include <string_view>
#include <vector>

namespace qpm {

using StrArr = std::vector<std::string>;

// Most pieces str2arr and csv2arr return; the rest of the text is dropped.
constexpr size_t STR2ARR_MAX = 1000;

int pos_array(const StrArr &array, std::string_view text);
int in_array(const StrArr &array, std::string_view text);
int in_array_i(const StrArr &array, std::string_view text);
int arr_count(const StrArr &array);
StrArr arr_copy(const StrArr &array);
void arr_tail(StrArr &array, const StrArr &more);
void arr_tailx(StrArr &array, const StrArr &more);
void arr_adds(StrArr &array, int unique, std::string_view text);
std::string arr2str(const StrArr &array, char c);
StrArr str2arr(std::string_view text, char c);
StrArr str2arr_trim(std::string_view text, char c);
int arr_t21_add(StrArr &array, std::string_view text);
int aarr_t21_add(std::vector<StrArr> &arrays, const StrArr &array);
// A null `compare` sorts by strcmp; the result has no neighbours that
// `compare` puts out of order, equal entries keep their order.
void arr_sortx(StrArr &array, int (*compare)(const char *, const char *));
int list_cmp_num(const char *a, const char *b);
int list_cmp_addr(const char *a, const char *b);

} // namespace qpm
