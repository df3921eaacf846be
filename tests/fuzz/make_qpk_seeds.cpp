// Writes a few small package files into the directory given, as seeds for
// the package file harness: gzip'd and plain payloads, both header magics, a
// description with dependencies and one carrying (unverifiable) signature
// attributes. Made at run time so no package file lives in the tree.
#include "record/base64.h"
#include "util/raii_archive.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace qpm;

namespace {

struct Entry {
    const char *path;
    mode_t type;
    const char *data; // contents, or the target of a link
};

la_ssize_t append(archive *, void *client, const void *buffer, size_t length)
{
    static_cast<std::string *>(client)->append(static_cast<const char *>(buffer), length);
    return static_cast<la_ssize_t>(length);
}

std::optional<std::string> payload(const std::vector<Entry> &entries, bool gzip)
{
    std::string out;
    ArchiveWritePtr writer(archive_write_new());
    if (!writer || (gzip && archive_write_add_filter_gzip(writer.get()) != ARCHIVE_OK) ||
        archive_write_set_format_cpio_newc(writer.get()) != ARCHIVE_OK ||
        archive_write_set_bytes_in_last_block(writer.get(), 1) != ARCHIVE_OK ||
        archive_write_open(writer.get(), &out, nullptr, append, nullptr) != ARCHIVE_OK)
        return std::nullopt;
    for (const Entry &e : entries) {
        ArchiveEntryPtr entry(archive_entry_new());
        archive_entry_set_pathname(entry.get(), e.path);
        archive_entry_set_filetype(entry.get(), e.type);
        archive_entry_set_perm(entry.get(), e.type == AE_IFDIR ? 0755 : 0644);
        const std::string data = e.type == AE_IFREG ? e.data : "";
        if (e.type == AE_IFLNK)
            archive_entry_set_symlink(entry.get(), e.data);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(data.size()));
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK ||
            (!data.empty() && archive_write_data(writer.get(), data.data(), data.size()) !=
                                  static_cast<la_ssize_t>(data.size())))
            return std::nullopt;
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK)
        return std::nullopt;
    return out;
}

std::string description(const std::string &name, const std::string &extra)
{
    return "dn: eqpkName=" + name + "\neqpmVersion: 2.0\neqpkName: " + name +
           "\neqpkVersion: 1.0-1\neqpkArchitecture: x86_64\neqpkDescription: a seed\neqpkDataSize: 12\n" + extra;
}

std::string package(const char *magic, const std::string &desc, const std::string &body)
{
    char length[8];
    std::snprintf(length, sizeof length, "%05d", static_cast<int>(desc.size()));
    return magic + std::string(length) + desc + body;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_qpk_seeds DIRECTORY\n");
        return 2;
    }
    const std::vector<Entry> tree = {{"data", AE_IFDIR, ""},
                                     {"data/usr", AE_IFDIR, ""},
                                     {"data/usr/bin", AE_IFDIR, ""},
                                     {"data/usr/bin/hello", AE_IFREG, "#!/bin/sh\necho hello\n"},
                                     {"data/usr/bin/hi", AE_IFLNK, "hello"},
                                     {"info", AE_IFDIR, ""},
                                     {"info/desc.txt", AE_IFREG, "eqpkName: seed\n"}};
    const std::optional<std::string> zipped = payload(tree, true);
    const std::optional<std::string> plain = payload(tree, false);
    if (!zipped || !plain) {
        std::fprintf(stderr, "make_qpk_seeds: cannot build a payload\n");
        return 1;
    }
    const std::string signature = "eqpkRsaSigSubj: /C=QD/O=Quendari Test/CN=seed\neqpkRsaSigData:: " +
                                  lutil_b64_ntop(std::string(64, '\x5a')) + "\n";
    const std::vector<std::pair<std::string, std::string>> seeds = {
        {"plain.qpk", package("EQPM20", description("plain", ""), *plain)},
        {"gzip.qpk", package("EQPM20", description("gzip", "eqpkDependency: libc\neqpkDependency: zlib\n"), *zipped)},
        {"v1.qpk", package("EQPM10", description("old", ""), *plain)},
        {"signed.qpk", package("EQPM20", description("signed", signature), *zipped)},
    };
    const std::string dir = argv[1];
    for (const auto &[name, bytes] : seeds) {
        FilePtr out = fopen_cloexec(dir + "/" + name, "wb");
        if (!out || std::fwrite(bytes.data(), 1, bytes.size(), out.get()) != bytes.size() ||
            std::fclose(out.release()) != 0) {
            std::fprintf(stderr, "make_qpk_seeds: cannot write %s/%s\n", dir.c_str(), name.c_str());
            return 1;
        }
    }
    return 0;
}
