#pragma once
// Package files made in-process for tests: a gzip-compressed cpio payload
// from a list of entries, a description, the header around them and an
// optional signature; and payloads that try to get out of the extraction
// directory or make things a package must not make.
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qpm::test {

struct Signer;

enum class EntryType { File, Directory, Symlink, Hardlink, Fifo, CharDevice };

struct PayloadEntry {
    std::string path;
    EntryType type = EntryType::File;
    unsigned perm = 0644;
    std::string data; // contents of a file
    std::string link; // target of a symbolic link; for a hard link, the earlier entry's path
};

inline PayloadEntry file_entry(std::string path, std::string data, unsigned perm = 0644)
{
    return {std::move(path), EntryType::File, perm, std::move(data), {}};
}
inline PayloadEntry dir_entry(std::string path, unsigned perm = 0755)
{
    return {std::move(path), EntryType::Directory, perm, {}, {}};
}
inline PayloadEntry symlink_entry(std::string path, std::string target)
{
    return {std::move(path), EntryType::Symlink, 0777, {}, std::move(target)};
}

// The entries as a gzip-compressed (or, without `gzip`, plain) cpio (newc)
// archive, in order, paths as given (absolute paths and ".." included).
std::string make_payload(const std::vector<PayloadEntry> &entries, bool gzip = true);

// `bytes` as one gzip stream.
std::string gzip_bytes(const std::string &bytes);

// Description attributes in order; an attribute whose name ends in ";binary"
// is written in Base64 under the name without the option.
using Attributes = std::vector<std::pair<std::string, std::string>>;

// A description LDIF entry: "dn: eqpkName=..." then the attributes.
std::string make_description(const Attributes &attributes);

// Magic, the description length as "%05d", the description, the payload.
std::string make_qpk(const std::string &description, const std::string &payload,
                     const std::string &magic = "EQPM20");

// The attributes of a plain package (format 2.0, x86_64, one description line).
Attributes basic_attributes(const std::string &name = "busybox", const std::string &version = "1.36.1-2");

// A package file at `path` with the attributes and the payload; with a
// signer, the payload is signed and eqpkRsaSigSubj/eqpkRsaSigData added.
// Returns the file's bytes.
std::string write_package(const std::string &path, Attributes attributes, const std::string &payload,
                          const Signer *signer = nullptr);

// Payloads that a package must never be able to carry out.
enum class Hostile {
    DotDot,         // "../escape"
    AbsolutePath,   // "<outside>/absolute"
    ThroughSymlink, // "link" -> <outside>, then "link/through"
    HardlinkOut,    // "<outside>/victim", then "hard" linked to it, with data
    Fifo,           // "first", a FIFO "fifo", "last"
    CharDevice,     // "first", a character device "null", "last"
    Truncated,      // a valid archive cut in the middle of its data
    CutAtHeader,    // a whole gzip stream of a cpio archive that stops inside a header
};

// Every hostile kind, for parameterised tests.
std::vector<Hostile> all_hostile();
const char *hostile_name(Hostile kind);

// The payload of a hostile kind. `outside` is an absolute directory outside
// the extraction directory where an escape would land (the test checks it
// stays as it was); ".." entries land in the extraction directory's parent.
std::string hostile_payload(Hostile kind, const std::string &outside);

// A hostile package file: valid header and description (signed when a
// signer is given) around the hostile payload.
std::string write_hostile_package(const std::string &path, Hostile kind, const std::string &outside,
                                  const Signer *signer = nullptr);

} // namespace qpm::test
