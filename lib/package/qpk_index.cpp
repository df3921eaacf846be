#include "package/qpk_index.h"

#include "package/signature.h"
#include "record/ldif.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strfmt.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include <archive.h>
#include <archive_entry.h>

namespace qpm {
namespace {

constexpr std::string_view SIGNATURE_DN = "dn: eqpiSignature=QPKINDEX";
constexpr std::string_view HEADER_DN = "dn: eqpiIndex=QPKINDEX";
constexpr size_t SHA1_HEX_LEN = 40;

std::optional<int64_t> to_int64(std::string_view text)
{
    int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

bool is_sha1_hex(std::string_view text)
{
    return text.size() == SHA1_HEX_LEN &&
           std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// A name a client may append to a mirror URL and use below its cache: one
// path component, ending in ".qpk".
bool is_file_name(std::string_view name)
{
    return qpk_ident_valid(name) && name.size() > 4 && name.ends_with(".qpk");
}

// The next entry of `text` (up to, not including, the empty line after it)
// and the rest after that line. LDIF continuation lines begin with a blank,
// so "\n\n" only ever ends an entry.
std::string_view next_entry(std::string_view &text)
{
    while (text.starts_with('\n'))
        text.remove_prefix(1);
    const size_t end = text.find("\n\n");
    if (end == std::string_view::npos) {
        const std::string_view entry = text;
        text = {};
        return entry;
    }
    const std::string_view entry = text.substr(0, end + 1);
    text.remove_prefix(end + 2);
    return entry;
}

la_ssize_t append_to_string(archive *, void *out, const void *data, size_t length)
{
    static_cast<std::string *>(out)->append(static_cast<const char *>(data), length);
    return static_cast<la_ssize_t>(length);
}

std::optional<std::string> gzip(std::string_view data)
{
    std::string out;
    ArchiveWritePtr a(archive_write_new());
    ArchiveEntryPtr entry(archive_entry_new());
    if (!a || !entry)
        return std::nullopt;
    archive_entry_set_pathname(entry.get(), QPK_INDEX_NAME);
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0644);
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(data.size()));
    if (archive_write_add_filter_gzip(a.get()) != ARCHIVE_OK || archive_write_set_format_raw(a.get()) != ARCHIVE_OK ||
        archive_write_set_filter_option(a.get(), "gzip", "timestamp", nullptr) != ARCHIVE_OK ||
        archive_write_set_bytes_per_block(a.get(), 0) != ARCHIVE_OK ||
        archive_write_open(a.get(), &out, nullptr, append_to_string, nullptr) != ARCHIVE_OK ||
        archive_write_header(a.get(), entry.get()) != ARCHIVE_OK)
        return std::nullopt;
    if (!data.empty() && archive_write_data(a.get(), data.data(), data.size()) != static_cast<la_ssize_t>(data.size()))
        return std::nullopt;
    if (archive_write_close(a.get()) != ARCHIVE_OK)
        return std::nullopt;
    return out;
}

std::optional<std::string> gunzip(std::string_view bytes, std::string &error)
{
    if (!bytes.starts_with("\x1f\x8b")) {
        error = "not a gzip file";
        return std::nullopt;
    }
    ArchiveReadPtr a(archive_read_new());
    if (!a || archive_read_support_filter_gzip(a.get()) != ARCHIVE_OK ||
        archive_read_support_format_raw(a.get()) != ARCHIVE_OK ||
        archive_read_open_memory(a.get(), bytes.data(), bytes.size()) != ARCHIVE_OK) {
        const char *why = a ? archive_error_string(a.get()) : nullptr;
        error = strprintf("damaged gzip data: %s", why ? why : "cannot read");
        return std::nullopt;
    }
    archive_entry *entry = nullptr;
    if (archive_read_next_header(a.get(), &entry) != ARCHIVE_OK || archive_filter_code(a.get(), 0) != ARCHIVE_FILTER_GZIP) {
        // libarchive does not take a damaged gzip header for gzip at all.
        const char *why = archive_error_string(a.get());
        error = strprintf("damaged gzip data: %s", why ? why : "bad header");
        return std::nullopt;
    }
    std::string out;
    char buffer[65536];
    for (;;) {
        const la_ssize_t got = archive_read_data(a.get(), buffer, sizeof buffer);
        if (got < 0) {
            const char *why = archive_error_string(a.get());
            error = strprintf("damaged gzip data: %s", why ? why : "read error");
            return std::nullopt;
        }
        if (got == 0)
            break;
        if (out.size() + static_cast<size_t>(got) > QPK_INDEX_MAX) {
            error = strprintf("larger than %zu bytes", QPK_INDEX_MAX);
            return std::nullopt;
        }
        out.append(buffer, static_cast<size_t>(got));
    }
    return out;
}

// One package entry as a record; null (and a warning) when it is unsound.
QpiPtr parse_entry(std::string_view entry, const std::string &origin)
{
    QpiPtr qpi = qpk_info_parse(origin, QPK_KIND_CATALOGUE, entry);
    const char *why = nullptr;
    if (!qpi)
        why = "its description does not parse";
    else if (qpi->file_size <= 0)
        why = "no file size";
    else if (!qpi->file_hash || !is_sha1_hex(*qpi->file_hash))
        why = "no SHA-1 of the file";
    else if (!qpi->relative_uri || !is_file_name(*qpi->relative_uri))
        why = "no plain file name";
    if (!why)
        return qpi;
    const std::optional<std::string> dn = ldif_entry_get_attr(entry, "dn", 1);
    qlog(LL_WARNING, "%s: skipping entry %s: %s", origin.c_str(), dn ? dn->c_str() : "(no dn)", why);
    return nullptr;
}

} // namespace

std::optional<std::string> qpk_index_entry(std::string_view description, int64_t file_size,
                                           const std::string &file_hash, const std::string &file_name)
{
    while (description.ends_with('\n'))
        description.remove_suffix(1);
    if (!description.starts_with("dn:") || description.find("\n\n") != std::string_view::npos ||
        !is_file_name(file_name) || !is_sha1_hex(file_hash))
        return std::nullopt;
    // The file's attributes go right after the dn line: readers take the
    // first value of an attribute, and a description must not be able to
    // speak for the file with values of its own.
    size_t dn_end = 0;
    do
        dn_end = description.find('\n', dn_end + 1);
    while (dn_end != std::string_view::npos && dn_end + 1 < description.size() && description[dn_end + 1] == ' ');
    const std::string_view dn = description.substr(0, dn_end);
    std::string out(dn);
    out += '\n';
    if (ldif_write(out, "eqpkFileSize", std::to_string(file_size), LDIF_TEXT) <= 0 ||
        ldif_write(out, "eqpkFileHash", file_hash, LDIF_TEXT) <= 0 ||
        ldif_write(out, "eqpkRelativeURI", file_name, LDIF_TEXT) <= 0)
        return std::nullopt;
    if (dn_end != std::string_view::npos) {
        out += description.substr(dn_end + 1);
        out += '\n';
    }
    return out;
}

std::string qpk_index_body(int64_t created, const std::vector<std::string> &entries)
{
    std::string out(HEADER_DN);
    out += strprintf("\neqpiFormat: %d\neqpiCreated: %lld\neqpiCount: %zu\n", QPK_INDEX_FORMAT,
                     static_cast<long long>(created), entries.size());
    for (const std::string &entry : entries) {
        out += '\n';
        out += entry;
    }
    return out;
}

std::optional<std::string> qpk_index_pack(std::string_view body, const std::optional<std::string> &subject,
                                          std::string_view signature)
{
    std::string text;
    if (subject) {
        text = SIGNATURE_DN;
        text += '\n';
        if (ldif_write(text, "eqpkRsaSigSubj", *subject, LDIF_TEXT) <= 0 ||
            ldif_write(text, "eqpkRsaSigData", signature, LDIF_BINARY) <= 0)
            return std::nullopt;
        text += '\n';
    }
    text += body;
    return gzip(text);
}

std::optional<QpkIndexFile> qpk_index_unpack(std::string_view bytes, std::string &error)
{
    std::optional<std::string> text = gunzip(bytes, error);
    if (!text)
        return std::nullopt;
    QpkIndexFile file;
    std::string_view rest(*text);
    if (rest.starts_with(SIGNATURE_DN)) {
        const std::string_view entry = next_entry(rest);
        file.subject = ldif_entry_get_attr(entry, "eqpkRsaSigSubj", 1);
        std::optional<std::string> signature = ldif_entry_get_attr(entry, "eqpkRsaSigData", 1);
        if (!file.subject || !signature || signature->empty()) {
            error = "signature entry without subject or signature";
            return std::nullopt;
        }
        file.signature = std::move(*signature);
    }
    if (!rest.starts_with(HEADER_DN)) {
        error = "no index header";
        return std::nullopt;
    }
    file.body = rest;
    return file;
}

int qpk_index_verify(const QpkIndexFile &file, const std::string &certstore)
{
    if (!file.subject || file.signature.empty())
        return QPS_MISSING;
    // fmemopen neither copies nor opens a descriptor; the body outlives it.
    FilePtr stream(fmemopen(const_cast<char *>(file.body.data()), file.body.size(), "r"));
    if (!stream)
        return QPS_NOT_CHECKED;
    return qps_fverify_rsa(certstore, *file.subject, file.signature, stream.get());
}

const char *qpk_index_status_text(int status)
{
    switch (status) {
    case QPS_VERIFIED: return "Verified";
    case QPS_MISSING: return "Missing";
    case QPS_UNTRUSTED: return "Untrusted";
    case QPS_INVALID: return "Invalid";
    case QPS_EXPIRED: return "Expired";
    case QPS_NOT_YET_VALID: return "Not yet valid";
    default: return "Not checked";
    }
}

std::optional<int64_t> qpk_index_created(std::string_view body)
{
    std::string_view rest = body;
    const std::string_view header = next_entry(rest);
    if (!header.starts_with(HEADER_DN))
        return std::nullopt;
    const std::optional<std::string> format = ldif_entry_get_attr(header, "eqpiFormat", 1);
    if (!format || to_int64(*format) != QPK_INDEX_FORMAT)
        return std::nullopt;
    const std::optional<std::string> created = ldif_entry_get_attr(header, "eqpiCreated", 1);
    return created ? to_int64(*created) : std::nullopt;
}

std::optional<QpkIndex> qpk_index_parse(std::string_view body, const std::string &origin, std::string &error)
{
    const std::optional<int64_t> created = qpk_index_created(body);
    if (!created) {
        error = "no format 1 header with a creation time";
        return std::nullopt;
    }
    QpkIndex index;
    index.created = *created;
    std::string_view rest = body;
    next_entry(rest); // the header
    while (!rest.empty()) {
        const std::string_view entry = next_entry(rest);
        if (entry.empty())
            break;
        if (QpiPtr qpi = parse_entry(entry, origin))
            index.packages.push_back(std::move(qpi));
        else
            ++index.skipped;
    }
    return index;
}

} // namespace qpm
