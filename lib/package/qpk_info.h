#pragma once
// The package info record (qpi): what the system knows about one package
// build, read from a package description (and, for an installed package, its
// install record); its ekva form, its unique name (puname), the architecture
// identifiers, and matching and sorting of qpi lists.
#include "record/ekva.h"
#include "util/strarr.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qpm {

// Architecture identifiers (single bits) and the mark of an unknown name.
constexpr int QPM_ARCH_ANY = 1;
constexpr int QPM_ARCH_I686 = 2;
constexpr int QPM_ARCH_X86_64 = 4;
constexpr int QPM_ARCH_MIPS = 8;
constexpr int QPM_ARCH_UNSUPPORTED = 99;

// Record kinds of qpk_info_parse and qpk_info_ekva.
constexpr int QPK_KIND_CATALOGUE = 1; // file size, hash and URIs; no format check
constexpr int QPK_KIND_INSTALLED = 2; // install time, type, head, update times
constexpr int QPK_KIND_FILE = 3;      // a package file's description

// Install types.
constexpr char QPK_INSTALL_REQUESTED = 'X';
constexpr char QPK_INSTALL_DEPENDENCY = 'D';

struct qpk_info {
    std::string name;
    std::optional<std::string> variant; // nullopt: the default variant
    std::string version;
    std::optional<std::string> creator;
    int32_t architecture = 0;
    std::string description;
    StrArr dependencies; // package names, in description order
    int64_t data_size = 0;
    int64_t file_size = 0;
    std::optional<std::string> file_hash; // 40 lower-case hex digits
    std::optional<std::string> absolute_uri;
    std::optional<std::string> relative_uri;
    int64_t install_time = 0;
    char install_type = 0; // 'X', 'D', or 0 when not installed
    std::optional<std::string> install_head;
    std::vector<int64_t> update_times;
    std::optional<std::string> signer_subject;
    std::string signature; // raw RSA signature bytes; its size is the signature length
    int32_t signature_status = 0; // QPS_* of package/signature.h
};

using QpiPtr = std::unique_ptr<qpk_info>;
using QpiList = std::vector<QpiPtr>;

// "any" 1, "i686" 2, "x86_64" 4, "mips" 8 (exact, case-sensitive); 99 otherwise.
int qpm_arch_getid(std::string_view name);
// The name of an identifier; null for anything else.
const char *qpm_arch_getname(int id);

// Whether `text` may serve as a package name, variant, version or dependency
// name: not empty, not beginning with '.', and made only of ASCII letters,
// digits and "+.~@_-:". These values end up in paths, command lines and
// script environments, so nothing else is accepted from a description.
bool qpk_ident_valid(std::string_view text);

// A new qpi from the LDIF `description` (and for kind 2 the install record);
// `path` only names the package in messages. Null on failure, with the reason
// logged (some failures are silent by design). File references in the LDIF
// are never followed.
QpiPtr qpk_info_parse(const std::string &path, int kind, std::string_view description,
                      std::optional<std::string_view> install_record = std::nullopt);

// The qpi as a new ekva (capacity 40, kind 4); a null qpi gives the header
// template for tables.
EkvaPtr qpk_info_ekva(const qpk_info *qpi, int kind);

// A deep copy; null for null.
QpiPtr qpk_info_copy(const qpk_info *qpi);
inline void qpk_info_free(QpiPtr &qpi) { qpi.reset(); }

// "name_variant_arch_version", or "name_arch_version" without a variant;
// at most 1023 characters.
std::string qpk_puname(const qpk_info &qpi);

// The parts of a puname as a new ekva (capacity 20, kind 4): eqpkName,
// eqpkVariant (only with a variant), eqpkVersion, eqpkArchitecture (the
// name). Null on failure, or for a null puname.
EkvaPtr qpk_puname_decode(const char *puname);

// 1 when the name ends in ".qpk" (case-sensitive) and the path is a regular
// file, else 0.
int qpk_file_is_qpk(const std::string &path);

// 1 when the qpi passes every filter given: the name equals or matches the
// shell wildcard `pattern` (or, failing that, a value of one of the
// attribute/pattern pairs of `attributes` in its ekva form does); the version
// equals `version`; the variant equals `variant` ("" or "default" ask for no
// variant). 0 otherwise.
int qpm_qpi_match(const qpk_info *qpi, int kind, const std::optional<std::string> &pattern,
                  const std::optional<std::string> &variant,
                  const std::optional<std::string> &version, const Ekva *attributes);

// The arguments of a catalogue search, as the backend contract passes them
// (null: no filter), held as one test of a record (qpm_qpi_match).
class QpiQuery {
public:
    QpiQuery(const char *pattern, const char *variant, const char *version, int selector, const Ekva *attributes);
    bool matches(const qpk_info &qpi) const;
    // The name asked for when the query can only match packages of that
    // exact name (no wildcard, no attribute patterns), so a catalogue may
    // look it up instead of reading every record; else null.
    const std::string *plain_name() const;
    const std::optional<std::string> &pattern() const { return m_pattern; }

private:
    std::optional<std::string> m_pattern, m_variant, m_version;
    int m_selector;
    const Ekva *m_attributes;
};

// Sort by name; records of one name keep their order. The first logs how
// long the sort took.
void qpm_qpi_list_sort(QpiList &list);
void qpm_qpi_list_bsort(QpiList &list);

} // namespace qpm
