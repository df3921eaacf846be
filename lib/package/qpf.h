#pragma once
// The package file: magic "EQPM10" or "EQPM20", the description length in
// five ASCII digits, the description (LDIF), then the payload, a gzip
// compressed cpio archive over which the signature is made. Readers of the
// description and the payload.
#include "package/handle.h"
#include "package/qpk_info.h"
#include "package/stage_writer.h"
#include "util/strarr.h"

#include <cstdio>
#include <optional>
#include <string>

namespace qpm {

constexpr const char *QPF_MAGIC_V1 = "EQPM10";
constexpr const char *QPF_MAGIC_V2 = "EQPM20";
constexpr size_t QPF_MAGIC_LEN = 6;
constexpr size_t QPF_SIZE_LEN = 5;
constexpr size_t QPF_HEADER_LEN = QPF_MAGIC_LEN + QPF_SIZE_LEN; // offset of the description
constexpr int QPF_DESC_MAX = 99999;

struct QpfHeader {
    int file_version = 0;    // 1 or 2, from the magic
    std::string description; // the LDIF text as it stands in the file
    QpiPtr qpi;              // the description parsed as a package file's (kind 3)
};

// Reads the header of an open package file from its start and parses the
// description; the stream is left at the first payload byte. nullopt on any
// failure, logged (a description that does not parse is logged by the parser).
std::optional<QpfHeader> qpm_qpf_read_header(FILE *stream, const std::string &path);

// The qpi of the package file at `path`, with its relative and absolute URI,
// file size, file hash and, when `verify` is set and `qpm` given, the
// signature status checked against the handle's keystore. Null on failure.
// With `description`, the description's LDIF text as the file holds it is
// stored there too.
QpiPtr qpm_qpf_info(const qpm_handle *qpm, const std::string &path, int verify,
                    std::string *description = nullptr);

// Unpacks the payload of the package file at `path` into `directory`. With
// `verify`, a package without a verified signature is refused. Nothing is
// written outside `directory`, and only regular files, directories and
// symbolic links are made. 0 on success, -1 on any failure. The working
// directory is the caller's again on return.
int qpm_qpf_extract(const qpm_handle *qpm, const std::string &path, const std::string &directory, int verify);

// What one read of a package file yields besides the unpacked tree.
struct QpfUnpacked {
    QpfHeader header;      // the description as the file holds it, parsed
    std::string file_hash; // SHA-1 (hex) of the whole file
    UnpackedFiles files;   // what was written, regular files with their SHA-1
};

// qpm_qpf_extract in one read of the file: the file's SHA-1, the signature
// and every unpacked file's SHA-1 are taken while the payload is unpacked.
// A payload whose signature fails is removed again, so that, as before,
// nothing of an unsigned payload stays in `directory`.
int qpm_qpf_unpack(const qpm_handle *qpm, const std::string &path, const std::string &directory, int verify,
                   QpfUnpacked &out);

// The payload paths of a package file that begin with "data/", without the
// leading "data", in archive order; nothing when the file or its payload
// cannot be read to the end. The handle is not consulted.
std::optional<StrArr> qpm_qpf_index(const qpm_handle *qpm, const std::string &path);

} // namespace qpm
