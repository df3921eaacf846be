#include "package/qpk_index.h"

#include "package/signature.h"
#include "record/base64.h"
#include "record/ldif.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/raii_archive.h"
#include "util/strfmt.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <deque>
#include <strings.h>

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

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

// zlib rather than libarchive: an index of ten thousand packages inflates
// in a few milliseconds this way, several times faster.
std::optional<std::string> gunzip(std::string_view bytes, std::string &error)
{
    if (!bytes.starts_with("\x1f\x8b")) {
        error = "not a gzip file";
        return std::nullopt;
    }
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) { // 16: a gzip header, not zlib's
        error = "cannot start inflating";
        return std::nullopt;
    }
    ScopeGuard end_inflate([&z] { inflateEnd(&z); });
    // The trailer's last four bytes hold the size modulo 2^32: a hint to
    // size the output once, never trusted beyond QPK_INDEX_MAX.
    size_t hint = bytes.size() * 10;
    if (bytes.size() >= 18) {
        const auto *tail = reinterpret_cast<const unsigned char *>(bytes.data() + bytes.size() - 4);
        hint = tail[0] | tail[1] << 8 | tail[2] << 16 | static_cast<size_t>(tail[3]) << 24;
        hint = std::min(hint, bytes.size() * 1032); // deflate's largest ratio
    }
    std::string out;
    out.resize(std::min(hint, QPK_INDEX_MAX) + 1);
    size_t used = 0;
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.data()));
    z.avail_in = static_cast<uInt>(bytes.size());
    for (;;) {
        if (used == out.size()) {
            if (out.size() > QPK_INDEX_MAX) {
                error = strprintf("larger than %zu bytes", QPK_INDEX_MAX);
                return std::nullopt;
            }
            out.resize(std::min(out.size() * 2, QPK_INDEX_MAX + 1));
        }
        const size_t room = std::min<size_t>(out.size() - used, 1u << 30);
        z.next_out = reinterpret_cast<Bytef *>(out.data() + used);
        z.avail_out = static_cast<uInt>(room);
        const int rc = inflate(&z, Z_NO_FLUSH);
        used += room - z.avail_out;
        if (used > QPK_INDEX_MAX) {
            error = strprintf("larger than %zu bytes", QPK_INDEX_MAX);
            return std::nullopt;
        }
        if (rc == Z_STREAM_END)
            break;
        if (rc != Z_OK) {
            error = strprintf("damaged gzip data: %s",
                              rc == Z_BUF_ERROR ? "truncated gzip input" : (z.msg ? z.msg : "inflate failed"));
            return std::nullopt;
        }
    }
    out.resize(used);
    if (z.avail_in != 0) {
        error = "damaged gzip data: bytes after the end";
        return std::nullopt;
    }
    return out;
}

// Whether the LDIF line holds attribute `name` (any case, any option).
bool attribute_is(std::string_view line, std::string_view name)
{
    if (line.size() <= name.size() || strncasecmp(line.data(), name.data(), name.size()) != 0)
        return false;
    const char next = line[name.size()];
    return next == ':' || next == ';';
}

// One attribute of an entry: its name as written and its value decoded
// (a view into the entry, or into the entry's storage for folded and Base64
// values).
struct Attr {
    std::string_view name;
    std::string_view value;
};

struct EntryAttrs {
    std::vector<Attr> attrs;
    std::deque<std::string> storage; // stays put while it grows
};

// The logical lines of one entry in a single pass: folded lines joined,
// Base64 decoded, file references left empty (never followed). An index of
// thousands of packages is read this way in a fraction of what looking up
// each attribute anew would cost. false for a line that is not LDIF.
bool entry_attributes(std::string_view entry, EntryAttrs &out)
{
    while (!entry.empty()) {
        size_t end = entry.find('\n');
        std::string_view line = entry.substr(0, end);
        if (end != std::string_view::npos && end + 1 < entry.size() && entry[end + 1] == ' ') {
            std::string &joined = out.storage.emplace_back(line);
            while (end != std::string_view::npos && end + 1 < entry.size() && entry[end + 1] == ' ') {
                const size_t next = entry.find('\n', end + 1);
                joined += entry.substr(end + 2, next == std::string_view::npos ? std::string_view::npos : next - end - 2);
                end = next;
            }
            line = joined;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            return false;
        std::string_view value = line.substr(colon + 1);
        const bool base64 = value.starts_with(':');
        const bool reference = value.starts_with('<');
        if (base64 || reference)
            value.remove_prefix(1);
        while (value.starts_with(' '))
            value.remove_prefix(1);
        if (base64) {
            std::optional<std::string> decoded = lutil_b64_pton(value);
            if (!decoded)
                return false;
            value = out.storage.emplace_back(std::move(*decoded));
        } else if (reference) {
            value = {};
        }
        // NUL ends a value as it ends any text of the system.
        value = value.substr(0, value.find('\0'));
        // The name opens the line, in the entry itself.
        out.attrs.push_back({entry.substr(0, colon), value});
        entry.remove_prefix(end == std::string_view::npos ? entry.size() : end + 1);
    }
    return true;
}

std::optional<std::string> first(const std::vector<Attr> &attrs, std::string_view name)
{
    for (const Attr &a : attrs)
        if (a.name.size() == name.size() && strncasecmp(a.name.data(), name.data(), name.size()) == 0)
            return std::string(a.value);
    return std::nullopt;
}

std::optional<int64_t> number(const std::optional<std::string> &text)
{
    return text ? to_int64(*text) : std::nullopt;
}

// A catalogue record from the attributes, by the rules every package
// description is read by: names, variants, versions and dependencies that
// pass the name check, a known architecture, a description. Null otherwise.
QpiPtr entry_record(const std::vector<Attr> &attrs)
{
    auto qpi = std::make_unique<qpk_info>();
    std::optional<std::string> name = first(attrs, "eqpkName");
    std::optional<std::string> version = first(attrs, "eqpkVersion");
    const std::optional<std::string> arch = first(attrs, "eqpkArchitecture");
    std::optional<std::string> text = first(attrs, "eqpkDescription");
    if (!name || !qpk_ident_valid(*name) || !version || !qpk_ident_valid(*version) || !arch || !text)
        return nullptr;
    qpi->name = std::move(*name);
    qpi->version = std::move(*version);
    qpi->architecture = qpm_arch_getid(*arch);
    if (qpi->architecture == QPM_ARCH_UNSUPPORTED)
        return nullptr;
    if (std::optional<std::string> variant = first(attrs, "eqpkVariant"); variant && !variant->empty()) {
        if (!qpk_ident_valid(*variant))
            return nullptr;
        qpi->variant = std::move(variant);
    }
    qpi->description = std::move(*text);
    for (const Attr &a : attrs) {
        if (a.name.size() != 14 || strncasecmp(a.name.data(), "eqpkDependency", 14) != 0)
            continue;
        if (!qpk_ident_valid(a.value))
            return nullptr;
        qpi->dependencies.emplace_back(a.value);
    }
    qpi->creator = first(attrs, "eqpkCreator");
    qpi->signer_subject = first(attrs, "eqpkRsaSigSubj");
    qpi->data_size = number(first(attrs, "eqpkDataSize")).value_or(0);
    qpi->file_size = number(first(attrs, "eqpkFileSize")).value_or(0);
    qpi->file_hash = first(attrs, "eqpkFileHash");
    qpi->relative_uri = first(attrs, "eqpkRelativeURI");
    return qpi;
}

// One package entry as a record; null (and a warning) when it is unsound.
QpiPtr parse_entry(std::string_view entry, const std::string &origin)
{
    EntryAttrs attrs;
    QpiPtr qpi = entry_attributes(entry, attrs) ? entry_record(attrs.attrs) : nullptr;
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
                                           const std::string &file_hash, const std::string &file_name,
                                           const QpkEntryForm &form)
{
    while (description.ends_with('\n'))
        description.remove_suffix(1);
    const bool name_fits = form.full_path ? file_name.size() > 4 && file_name.ends_with(".qpk") : is_file_name(file_name);
    if (!description.starts_with("dn:") || description.find("\n\n") != std::string_view::npos || !name_fits ||
        !is_sha1_hex(file_hash) || (!form.extra.empty() && !form.extra.ends_with('\n')))
        return std::nullopt;
    // The file's attributes go right after the dn line: readers take the
    // first value of an attribute, and a description must not be able to
    // speak for the file with values of its own.
    size_t dn_end = 0;
    do
        dn_end = description.find('\n', dn_end + 1);
    while (dn_end != std::string_view::npos && dn_end + 1 < description.size() && description[dn_end + 1] == ' ');
    const std::string_view dn = description.substr(0, dn_end);
    std::string out;
    out.reserve(description.size() + file_name.size() + form.extra.size() + 128);
    out += dn;
    out += '\n';
    if (ldif_write(out, "eqpkFileSize", std::to_string(file_size), LDIF_TEXT) <= 0 ||
        ldif_write(out, "eqpkFileHash", file_hash, LDIF_TEXT) <= 0 ||
        ldif_write(out, "eqpkRelativeURI", file_name, LDIF_TEXT) <= 0)
        return std::nullopt;
    out += form.extra;
    // The package signature stays out: the installer checks the file's
    // own, and it would make up half of the index.
    std::string_view rest = dn_end == std::string_view::npos ? std::string_view() : description.substr(dn_end + 1);
    bool in_signature = false;
    while (!rest.empty()) {
        const size_t feed = rest.find('\n');
        const std::string_view line = rest.substr(0, feed);
        rest.remove_prefix(feed == std::string_view::npos ? rest.size() : feed + 1);
        if (!line.starts_with(' '))
            in_signature = !form.keep_signature && attribute_is(line, "eqpkRsaSigData");
        if (!in_signature) {
            out += line;
            out += '\n';
        }
    }
    return out;
}

std::string qpk_index_head(int64_t created, size_t count)
{
    std::string out(HEADER_DN);
    out += strprintf("\neqpiFormat: %d\neqpiCreated: %lld\neqpiCount: %zu\n", QPK_INDEX_FORMAT,
                     static_cast<long long>(created), count);
    return out;
}

std::string qpk_index_body(int64_t created, const std::vector<std::string> &entries)
{
    std::string out = qpk_index_head(created, entries.size());
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
    // The body is the text's tail: move it to the front rather than copy it.
    const size_t offset = static_cast<size_t>(rest.data() - text->data());
    text->erase(0, offset);
    file.body = std::move(*text);
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

std::optional<QpkIndexEntries> qpk_index_split(std::string_view body, std::string &error)
{
    const std::optional<int64_t> created = qpk_index_created(body);
    if (!created) {
        error = "no format 1 header with a creation time";
        return std::nullopt;
    }
    QpkIndexEntries split;
    split.created = *created;
    std::string_view rest = body;
    next_entry(rest); // the header
    while (!rest.empty()) {
        const std::string_view entry = next_entry(rest);
        if (entry.empty())
            break;
        split.entries.push_back(entry);
    }
    return split;
}

std::string_view qpk_index_entry_name(std::string_view entry)
{
    // The first line of the attribute decides, as it does for the parser:
    // a later plain line must not name an entry whose first value says
    // otherwise.
    constexpr std::string_view key = "eqpkName";
    for (size_t at = entry.find('\n'); at != std::string_view::npos; at = entry.find('\n', at + 1)) {
        const std::string_view line = entry.substr(at + 1);
        if (!attribute_is(line, key))
            continue;
        if (line.size() <= key.size() + 2 || line.compare(key.size(), 2, ": ") != 0 ||
            line.compare(0, key.size(), key) != 0)
            return {};
        const size_t start = at + 1 + key.size() + 2;
        const size_t end = entry.find('\n', start);
        // A continuation line would add to the value: leave that to the parser.
        if (end != std::string_view::npos && end + 1 < entry.size() && entry[end + 1] == ' ')
            return {};
        return entry.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    }
    return {};
}

QpiPtr qpk_index_parse_entry(std::string_view entry, const std::string &origin)
{
    return parse_entry(entry, origin);
}

std::optional<QpkIndex> qpk_index_parse(std::string_view body, const std::string &origin, std::string &error)
{
    std::optional<QpkIndexEntries> split = qpk_index_split(body, error);
    if (!split)
        return std::nullopt;
    QpkIndex index;
    index.created = split->created;
    index.packages.reserve(split->entries.size());
    for (const std::string_view entry : split->entries) {
        if (QpiPtr qpi = parse_entry(entry, origin))
            index.packages.push_back(std::move(qpi));
        else
            ++index.skipped;
    }
    return index;
}

} // namespace qpm
