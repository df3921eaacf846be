#pragma once
// The repository index: one file that describes every package of a
// repository, so a client learns what it offers without reading a single
// package file. The file is gzip-compressed LDIF:
//
//   dn: eqpiSignature=QPKINDEX        signature of everything after this entry
//   eqpkRsaSigSubj: /O=.../CN=...     (the entry is absent in an unsigned index)
//   eqpkRsaSigData:: <Base64>
//
//   dn: eqpiIndex=QPKINDEX            the signed body starts here
//   eqpiFormat: 1
//   eqpiCreated: <seconds since the epoch>
//   eqpiCount: <number of packages>
//
//   dn: eqpkUid=<puname>              one entry per package: its description as
//   ...                               the package file carries it, then
//   eqpkFileSize: <bytes>             the file's size,
//   eqpkFileHash: <SHA-1 hex>         its SHA-1
//   eqpkRelativeURI: <file name>      and its name in the repository
//
// The signature is RSA/SHA-1 over the body's bytes, checked against the same
// keystore as package signatures.
#include "package/qpk_info.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qpm {

constexpr const char *QPK_INDEX_NAME = "QPKINDEX";
constexpr int QPK_INDEX_FORMAT = 1;
// No index may unpack to more than this: a hostile mirror could otherwise
// make us inflate a small download without end.
constexpr size_t QPK_INDEX_MAX = 256u << 20;

// How an entry is written. A repository index names each file by its bare
// name and leaves the package signature out (the installer checks the
// file's own); a local list of package files names each by its full path,
// keeps the description whole and adds attributes of its own.
struct QpkEntryForm {
    bool full_path = false;      // `file_name` is a path: any text ending in ".qpk"
    bool keep_signature = false; // eqpkRsaSigData stays in
    std::string_view extra;      // LDIF attribute lines (each ending in '\n') after the file's
};

// One package entry: the dn line of `description` (the LDIF entry of a
// package file's header), the file's size, SHA-1 and name, `form.extra`,
// then the rest of the description. nullopt when the description is not one
// LDIF entry or the name does not suit the form.
std::optional<std::string> qpk_index_entry(std::string_view description, int64_t file_size,
                                           const std::string &file_hash, const std::string &file_name,
                                           const QpkEntryForm &form = {});

// The signed part: the header entry, then the entries in the order given.
std::string qpk_index_body(int64_t created, const std::vector<std::string> &entries);
// The header entry of a body of `count` entries, up to its blank line: a
// writer that streams the entries puts "\n" and an entry after it for each.
std::string qpk_index_head(int64_t created, size_t count);

// The index file (gzip, no time stamp in its header): the signature entry
// when `subject` is given, then `body`. nullopt when compressing fails.
std::optional<std::string> qpk_index_pack(std::string_view body, const std::optional<std::string> &subject,
                                          std::string_view signature);

// An index file taken apart.
struct QpkIndexFile {
    std::optional<std::string> subject; // nullopt: unsigned
    std::string signature;              // raw RSA signature bytes
    std::string body;                   // the bytes the signature covers
};

// Uncompresses and splits an index file. nullopt, with the reason in
// `error`, for anything that is not a gzip'd index of at most QPK_INDEX_MAX
// bytes.
std::optional<QpkIndexFile> qpk_index_unpack(std::string_view bytes, std::string &error);

// The signature status (QPS_* of package/signature.h) of the body against
// the keystore `certstore`; QPS_MISSING for an unsigned index.
int qpk_index_verify(const QpkIndexFile &file, const std::string &certstore);

// "Verified", "Missing", "Untrusted", "Invalid", "Expired", "Not yet valid".
const char *qpk_index_status_text(int status);

struct QpkIndex {
    int64_t created = 0;
    QpiList packages; // in index order, each with file size, hash and relative URI
    int skipped = 0;  // entries left out (bad name, size, hash or file name)
};

// The creation time of a body; nullopt when its header entry is missing or
// not format 1.
std::optional<int64_t> qpk_index_created(std::string_view body);

// Parses a body. nullopt (reason in `error`) when the header is wrong; an
// entry that does not describe a package soundly is skipped, logged at
// WARNING with `origin` naming the index.
std::optional<QpkIndex> qpk_index_parse(std::string_view body, const std::string &origin, std::string &error);

// A body cut into its package entries, none of them parsed yet: a client
// that is asked for one name parses only the entries of that name, so the
// answer does not cost a parse of the whole catalogue.
struct QpkIndexEntries {
    int64_t created = 0;
    std::vector<std::string_view> entries; // views into the body, in index order
};

// nullopt (reason in `error`) when the header is wrong.
std::optional<QpkIndexEntries> qpk_index_split(std::string_view body, std::string &error);

// The package name an entry declares, read without parsing the entry; empty
// when it is not written plainly (folded, Base64 or missing): such an entry
// has to be parsed to learn its name.
std::string_view qpk_index_entry_name(std::string_view entry);

// One entry as qpk_index_parse reads it: null (and a warning naming
// `origin`) when it does not describe a package soundly.
QpiPtr qpk_index_parse_entry(std::string_view entry, const std::string &origin);

} // namespace qpm
