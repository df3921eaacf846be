#include "package/qpk_info.h"
#include "util/text.h"

#include "package/signature.h"
#include "record/base64.h"
#include "record/ldif.h"
#include "util/files.h"
#include "util/log.h"
#include "util/strfmt.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <fnmatch.h>
#include <sys/stat.h>

namespace qpm {

namespace {

constexpr size_t PUNAME_MAX = 1023;

struct ArchName {
    int id;
    const char *name;
};
constexpr ArchName arch_table[] = {
    {QPM_ARCH_ANY, "any"},
    {QPM_ARCH_I686, "i686"},
    {QPM_ARCH_X86_64, "x86_64"},
    {QPM_ARCH_MIPS, "mips"},
};

// Attribute values are C text to the rest of the system: a NUL ends them.
std::string as_text(std::string value)
{
    const size_t nul = value.find('\0');
    if (nul != std::string::npos)
        value.resize(nul);
    return value;
}

// Descriptions are read in one pass (ldif_entry_values), then looked up.
std::optional<std::string> get_attr(const LdifEntryValues &ldif, std::string_view name)
{
    const std::string *value = ldif.get(name);
    return value ? std::optional<std::string>(*value) : std::nullopt;
}

std::optional<std::string> get_text(const LdifEntryValues &ldif, std::string_view name)
{
    std::optional<std::string> value = get_attr(ldif, name);
    if (value)
        *value = as_text(std::move(*value));
    return value;
}

// A number as "%ld" reads it: leading white space, an optional sign, digits;
// whatever follows the digits is ignored. Nothing without digits or when the
// number does not fit.
std::optional<int64_t> scan_long(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && std::strchr(" \t\n\v\f\r", text[i]) && text[i] != '\0')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    uint64_t magnitude = 0;
    const char *first = text.data() + i;
    const char *last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(first, last, magnitude);
    if (ec != std::errc() || end == first)
        return std::nullopt;
    const uint64_t limit = negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
    if (magnitude > limit)
        return std::nullopt;
    return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

// A refused value as it goes into a log line: control and non-ASCII bytes
// escaped, so the value cannot forge log lines.
std::string shown(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f)
            out += strprintf("\\x%02x", u);
        else
            out += c;
    }
    return out;
}

bool is_ident_char(char c)
{
    // Not strchr: it finds a NUL too (the terminator), and a value read
    // from Base64 may carry one ("vic\0x" must not pass as "vic").
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("+.~@_-:").find(c) != std::string_view::npos;
}

bool matches(const std::string &pattern, const std::string &text)
{
    return text == pattern || fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}

void add(EkvaPtr &e, std::string_view key, OptText value) { ekva_addval(e, key, value, EKVA_APPEND); }

OptText opt(const std::optional<std::string> &value)
{
    return value ? OptText(*value) : std::nullopt;
}

// The install record part of a kind 2 parse; false (after an ERROR line)
// when the record is incomplete.
bool parse_install_record(qpk_info &qpi, std::optional<std::string_view> text)
{
    if (!text) {
        qlog(LL_ERROR, "qpk_info_parse: No install info found, package is corrupt");
        return false;
    }
    const LdifEntryValues record = ldif_entry_values(*text, LdifRefs::Ignore);
    const std::optional<std::string> time = get_text(record, "eqpkInstallTime");
    if (!time) {
        qlog(LL_ERROR, "qpk_info_parse: No install time found, package is corrupt");
        return false;
    }
    const std::optional<int64_t> install_time = scan_long(*time);
    if (!install_time) {
        qlog(LL_ERROR, "qpk_info_parse: Failed to parse install time");
        return false;
    }
    qpi.install_time = *install_time;

    for (const std::string &update : record.all("eqpkUpdateTime")) {
        const std::optional<int64_t> seconds = scan_long(as_text(update));
        if (!seconds) {
            qlog(LL_ERROR, "qpk_info_parse: Failed to parse update time");
            return false;
        }
        qpi.update_times.push_back(*seconds);
    }

    const std::optional<std::string> type = get_text(record, "eqpkInstallType");
    if (!type) {
        qlog(LL_ERROR, "qpk_info_parse: No install type found, package is corrupt");
        return false;
    }
    if (type->empty()) {
        qlog(LL_ERROR, "qpk_info_parse: Failed to parse install type");
        return false;
    }
    const char kind = type->front();
    if (kind != QPK_INSTALL_REQUESTED && kind != QPK_INSTALL_DEPENDENCY) {
        qlog(LL_ERROR, "qpk_info_parse: Invalid install type: %c", kind);
        return false;
    }
    qpi.install_type = kind;
    qpi.install_head = get_attr(record, "eqpkInstallHead");
    if (kind == QPK_INSTALL_DEPENDENCY && !qpi.install_head) {
        qlog(LL_ERROR, "qpk_info_parse: No install head found, package is corrupt");
        return false;
    }
    // The head is a package name: it is looked up and named like one.
    if (qpi.install_head && !qpk_ident_valid(*qpi.install_head)) {
        qlog(LL_ERROR, "qpk_info_parse: Invalid install head: %s", shown(*qpi.install_head).c_str());
        return false;
    }
    return true;
}

} // namespace

int qpm_arch_getid(std::string_view name)
{
    for (const ArchName &a : arch_table)
        if (name == a.name)
            return a.id;
    return QPM_ARCH_UNSUPPORTED;
}

const char *qpm_arch_getname(int id)
{
    for (const ArchName &a : arch_table)
        if (id == a.id)
            return a.name;
    return nullptr;
}

bool qpk_ident_valid(std::string_view text)
{
    return !text.empty() && text.front() != '.' && std::all_of(text.begin(), text.end(), is_ident_char);
}

QpiPtr qpk_info_parse(const std::string &path, int kind, std::string_view text,
                      std::optional<std::string_view> install_record)
{
    auto qpi = std::make_unique<qpk_info>();
    const LdifEntryValues description = ldif_entry_values(text, LdifRefs::Ignore);

    if (kind != QPK_KIND_CATALOGUE) {
        const std::optional<std::string> format = get_text(description, "eqpmVersion");
        if (!format) {
            qlog(LL_INFO, "qpk_info_parse: Unspecified package format");
            return nullptr;
        }
        int number = 0;
        if (*format == "1.0") {
            number = 1;
        } else if (*format == "2.0") {
            number = 2;
        } else {
            qlog(LL_INFO, "qpk_info_parse: Unknown package format %s", shown(*format).c_str());
            return nullptr;
        }
        qlog(LL_DEBUG, "%s: Package format: %d", path.c_str(), number);
    }

    std::optional<std::string> name = get_attr(description, "eqpkName");
    if (!name)
        return nullptr;
    if (!qpk_ident_valid(*name)) {
        qlog(LL_INFO, "qpk_info_parse: Invalid package name: %s", shown(*name).c_str());
        return nullptr;
    }
    qpi->name = std::move(*name);

    std::optional<std::string> variant = get_attr(description, "eqpkVariant");
    if (variant && !variant->empty()) {
        if (!qpk_ident_valid(*variant)) {
            qlog(LL_INFO, "qpk_info_parse: Invalid package variant: %s", shown(*variant).c_str());
            return nullptr;
        }
        qpi->variant = std::move(variant);
    }

    std::optional<std::string> version = get_attr(description, "eqpkVersion");
    if (!version)
        return nullptr;
    if (!qpk_ident_valid(*version)) {
        qlog(LL_INFO, "qpk_info_parse: Invalid package version: %s", shown(*version).c_str());
        return nullptr;
    }
    qpi->version = std::move(*version);

    const std::optional<std::string> arch = get_text(description, "eqpkArchitecture");
    if (!arch) {
        qlog(LL_INFO, "qpk_info_parse: Unspecified architecture\n");
        return nullptr;
    }
    qpi->architecture = qpm_arch_getid(*arch);
    if (qpi->architecture == QPM_ARCH_UNSUPPORTED) {
        qlog(LL_INFO, "qpk_info_parse: Unsupported architecture: %s\n", shown(*arch).c_str());
        return nullptr;
    }

    qpi->creator = get_text(description, "eqpkCreator");
    std::optional<std::string> summary = get_text(description, "eqpkDescription");
    if (!summary)
        return nullptr;
    qpi->description = std::move(*summary);

    const std::vector<std::string> &deps = description.all("eqpkDependency");
    qpi->dependencies.reserve(deps.size());
    for (const std::string &dep : deps) {
        // A dependency is a package name: it will be searched for, installed
        // and named in paths exactly like one.
        if (!qpk_ident_valid(dep)) {
            qlog(LL_INFO, "qpk_info_parse: Invalid dependency name: %s", shown(dep).c_str());
            return nullptr;
        }
        qpi->dependencies.push_back(dep);
    }

    if (const auto size = get_text(description, "eqpkDataSize"))
        qpi->data_size = scan_long(*size).value_or(0);
    qpi->file_hash = get_text(description, "eqpkFileHash");
    qpi->signer_subject = get_text(description, "eqpkRsaSigSubj");
    if (std::optional<std::string> sig = get_attr(description, "eqpkRsaSigData"))
        qpi->signature = std::move(*sig);

    if (kind == QPK_KIND_CATALOGUE) {
        if (const auto size = get_text(description, "eqpkFileSize"))
            qpi->file_size = scan_long(*size).value_or(0);
        qpi->absolute_uri = get_text(description, "eqpkAbsoluteURI");
        qpi->relative_uri = get_text(description, "eqpkRelativeURI");
        return qpi;
    }
    if (kind != QPK_KIND_INSTALLED)
        return qpi;
    if (!parse_install_record(*qpi, install_record))
        return nullptr;
    return qpi;
}

EkvaPtr qpk_info_ekva(const qpk_info *qpi, int kind)
{
    EkvaPtr e = ekva_new(40, 4);
    if (!qpi) {
        for (const char *key : {"eqpkName", "eqpkVariant", "eqpkVersion", "eqpkArchitecture", "eqpkCreator",
                                "eqpkDescription", "eqpkDependency", "eqpkRsaSigSubj", "eqpkRsaSigData;binary"})
            add(e, key, std::nullopt);
        if (kind == QPK_KIND_CATALOGUE)
            for (const char *key : {"eqpkFileSize", "eqpkFileHash", "eqpkAbsoluteURI", "eqpkRelativeURI"})
                add(e, key, std::nullopt);
        if (kind == QPK_KIND_INSTALLED)
            for (const char *key : {"eqpkInstallTime", "eqpkUpdateTime", "eqpkInstallType", "eqpkInstallHead"})
                add(e, key, std::nullopt);
        return e;
    }

    add(e, "eqpkName", qpi->name);
    add(e, "eqpkVariant", opt(qpi->variant));
    add(e, "eqpkVersion", qpi->version);
    add(e, "eqpkArchitecture", ekva_opt(qpm_arch_getname(qpi->architecture)));
    add(e, "eqpkCreator", opt(qpi->creator));

    switch (qpi->signature_status) {
    case QPS_VERIFIED: add(e, "eqpkSignature", "Verified"); break;
    case QPS_INVALID: add(e, "eqpkSignature", "Invalid"); break;
    case QPS_UNTRUSTED: add(e, "eqpkSignature", "Untrusted"); break;
    case QPS_MISSING: add(e, "eqpkSignature", "Missing"); break;
    default: break;
    }

    add(e, "eqpkDescription", qpi->description);
    if (qpi->dependencies.empty())
        add(e, "eqpkDependency", std::nullopt);
    for (const std::string &dep : qpi->dependencies)
        add(e, "eqpkDependency", dep);
    add(e, "eqpkDataSize", strprintf("%ld", static_cast<long>(qpi->data_size)));

    if (kind == QPK_KIND_INSTALLED) {
        add(e, "eqpkInstallTime", strprintf("%ld", static_cast<long>(qpi->install_time)));
        if (qpi->update_times.empty())
            add(e, "eqpkUpdateTime", std::nullopt);
        for (const int64_t t : qpi->update_times)
            add(e, "eqpkUpdateTime", strprintf("%ld", static_cast<long>(t)));
        add(e, "eqpkInstallType", qpi->install_type ? std::string(1, qpi->install_type) : std::string());
        if (qpi->install_type == QPK_INSTALL_DEPENDENCY)
            add(e, "eqpkInstallHead", opt(qpi->install_head));
        return e;
    }

    add(e, "eqpkRsaSigSubj", opt(qpi->signer_subject));
    if (!qpi->signature.empty())
        add(e, "eqpkRsaSigData;binary", lutil_b64_ntop(qpi->signature));
    if (kind == QPK_KIND_CATALOGUE) {
        add(e, "eqpkFileSize", strprintf("%ld", static_cast<long>(qpi->file_size)));
        add(e, "eqpkFileHash", opt(qpi->file_hash));
        add(e, "eqpkAbsoluteURI", opt(qpi->absolute_uri));
        add(e, "eqpkRelativeURI", opt(qpi->relative_uri));
    }
    return e;
}

QpiPtr qpk_info_copy(const qpk_info *qpi)
{
    if (!qpi)
        return nullptr;
    return std::make_unique<qpk_info>(*qpi);
}

std::string qpk_puname(const qpk_info &qpi)
{
    const char *arch = qpm_arch_getname(qpi.architecture);
    if (!arch)
        arch = "(null)";
    std::string puname = qpi.variant && !qpi.variant->empty()
                             ? strprintf("%s_%s_%s_%s", qpi.name.c_str(), qpi.variant->c_str(), arch,
                                         qpi.version.c_str())
                             : strprintf("%s_%s_%s", qpi.name.c_str(), arch, qpi.version.c_str());
    if (puname.size() > PUNAME_MAX)
        puname.resize(PUNAME_MAX);
    return puname;
}

EkvaPtr qpk_puname_decode(const char *puname)
{
    if (!puname) {
        qlog(LL_ERROR, "qpk_puname_decode: No puname given");
        return nullptr;
    }
    qlog(LL_DEBUG, "qpk_puname_decode: puname: <%s>", puname);
    const std::string_view whole(puname);

    const size_t first = whole.find('_');
    if (first == std::string_view::npos) {
        qlog(LL_ERROR, "qpk_puname_decode: could not determine package name in puname <%s>", puname);
        return nullptr;
    }
    const std::string name(whole.substr(0, first));
    qlog(LL_DEBUG, "qpk_puname_decode: qpk_name: <%s>", name.c_str());

    const std::string_view rest = whole.substr(first + 1);
    const size_t last = rest.rfind('_');
    if (last == std::string_view::npos) {
        qlog(LL_ERROR, "qpk_puname_decode: could not determine package version in puname <%s>", puname);
        return nullptr;
    }
    const std::string vers(rest.substr(last + 1));
    qlog(LL_DEBUG, "qpk_puname_decode: qpk_vers: <%s>", vers.c_str());
    qlog(LL_DEBUG, "qpk_puname_decode: len_rest: %d len_vers: %d = %d", static_cast<int>(rest.size()),
         static_cast<int>(vers.size()), static_cast<int>(rest.size() - vers.size()));

    const std::string middle(rest.substr(0, last));
    qlog(LL_DEBUG, "qpk_puname_decode: qpk_rest: <%s>", middle.c_str());
    const auto underscores = static_cast<int>(std::count(middle.begin(), middle.end(), '_'));
    qlog(LL_DEBUG, "qpk_puname_decode: number of underscores in qpk_rest: <%s>: %d", middle.c_str(), underscores);

    std::optional<std::string> variant;
    std::optional<std::string> arch;
    const size_t cut = middle.find('_');
    if (underscores == 0 || (underscores == 1 && qpm_arch_getid(middle) != QPM_ARCH_UNSUPPORTED)) {
        if (qpm_arch_getid(middle) == QPM_ARCH_UNSUPPORTED) {
            qlog(LL_DEBUG, "qpk_puname_decode: arch %s is invalid", middle.c_str());
            return nullptr;
        }
        qlog(LL_DEBUG, "qpk_puname_decode: setting arch to %s, no variant", middle.c_str());
        arch = middle;
    } else if (underscores == 1) {
        variant = middle.substr(0, cut);
        qlog(LL_DEBUG, "qpk_puname_decode: setting vrnt to %s", variant->c_str());
        qlog(LL_DEBUG, "qpk_puname_decode: 1 underscore in <%s>, first at %d", middle.c_str(), static_cast<int>(cut));
        arch = middle.substr(cut + 1);
        qlog(LL_DEBUG, "qpk_puname_decode: setting arch to %s", arch->c_str());
        if (qpm_arch_getid(*arch) == QPM_ARCH_UNSUPPORTED) {
            qlog(LL_DEBUG, "qpk_puname_decode: arch %s is invalid", arch->c_str());
            return nullptr;
        }
    } else if (underscores == 2) {
        qlog(LL_DEBUG, "qpk_puname_decode: 2 underscores in <%s>, first at %d", middle.c_str(), static_cast<int>(cut));
        variant = middle.substr(0, cut);
        qlog(LL_DEBUG, "qpk_puname_decode: setting vrnt to %s", variant->c_str());
        arch = middle.substr(cut + 1);
        qlog(LL_DEBUG, "qpk_puname_decode: setting arch to %s", arch->c_str());
    }

    EkvaPtr e = ekva_new(20, 4);
    add(e, "eqpkName", name);
    if (variant)
        add(e, "eqpkVariant", *variant);
    add(e, "eqpkVersion", vers);
    add(e, "eqpkArchitecture", opt(arch));
    return e;
}

int qpk_file_is_qpk(const std::string &path)
{
    if (_get_filename_ext(path) != "qpk") {
        qlog(LL_DEBUG, "%s has not suffix qpk", path.c_str());
        return 0;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        const int err = errno;
        qlog(LL_DEBUG, "file %s could not be stated: %s", path.c_str(), std::strerror(err));
        return 0;
    }
    return S_ISREG(st.st_mode) ? 1 : 0;
}

int qpm_qpi_match(const qpk_info *qpi, int kind, const std::optional<std::string> &pattern,
                  const std::optional<std::string> &variant, const std::optional<std::string> &version,
                  const Ekva *attributes)
{
    if (!qpi)
        return 0;
    if (pattern) {
        bool pass = matches(*pattern, qpi->name);
        if (!pass && attributes) {
            const EkvaPtr info = qpk_info_ekva(qpi, kind);
            for (const EkvaEntry &wanted : attributes->entries()) {
                if (!wanted.value)
                    continue;
                qlog(LL_DEBUG, "Getting values for %s in %s", wanted.key.c_str(), qpi->name.c_str());
                for (const EkvaEntry &have : info->entries()) {
                    if (!have.value || !equals_nocase(have.key, wanted.key) || !matches(*wanted.value, *have.value))
                        continue;
                    qlog(LL_DEBUG, "Found matching attribite %s with value %s: %s", wanted.key.c_str(),
                         wanted.value->c_str(), have.value->c_str());
                    pass = true;
                }
            }
        }
        if (!pass)
            return 0;
    }
    if (version && qpi->version != *version)
        return 0;
    if (variant) {
        if (variant->empty() || *variant == "default") {
            if (qpi->variant && !qpi->variant->empty())
                return 0;
        } else if (qpi->variant != *variant) {
            return 0;
        }
    }
    return 1;
}

void qpm_qpi_list_sort(QpiList &list)
{
    const auto start = std::chrono::steady_clock::now();
    qpm_qpi_list_bsort(list);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    qlog(LL_DEBUG, "qpm_qpi_list_sort(): bsort took %.5f seconds\n", took.count());
}

void qpm_qpi_list_bsort(QpiList &list)
{
    // Stable, like the exchange sort that only swaps strictly greater
    // neighbours, but linear-log. Empty slots go last.
    std::stable_sort(list.begin(), list.end(), [](const QpiPtr &a, const QpiPtr &b) {
        if (!a || !b)
            return a && !b;
        return std::strcmp(a->name.c_str(), b->name.c_str()) < 0;
    });
}

QpiQuery::QpiQuery(const char *pattern, const char *variant, const char *version, int selector,
                   const Ekva *attributes)
    : m_pattern(optional_text(pattern)), m_variant(optional_text(variant)), m_version(optional_text(version)),
      m_selector(selector), m_attributes(attributes)
{
}

const std::string *QpiQuery::plain_name() const
{
    if (!m_pattern || m_attributes || m_pattern->find_first_of("*?[\\") != std::string::npos)
        return nullptr;
    return &*m_pattern;
}

bool QpiQuery::matches(const qpk_info &qpi) const
{
    // Nothing asked: everything passes without a look at the record.
    if (!m_pattern && !m_variant && !m_version && !m_attributes)
        return true;
    return qpm_qpi_match(&qpi, m_selector, m_pattern, m_variant, m_version, m_attributes) != 0;
}

} // namespace qpm
