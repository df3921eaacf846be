#include "support/hostile_archive.h"

#include "record/ldif.h"
#include "support/certs.h"
#include "support/test_support.h"
#include "util/raii.h"
#include "util/raii_archive.h"
#include "util/strfmt.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace qpm::test {

namespace {

la_ssize_t append_to_string(archive *, void *client, const void *buffer, size_t length)
{
    static_cast<std::string *>(client)->append(static_cast<const char *>(buffer), length);
    return static_cast<la_ssize_t>(length);
}

mode_t filetype_of(EntryType type)
{
    switch (type) {
    case EntryType::Directory: return AE_IFDIR;
    case EntryType::Symlink: return AE_IFLNK;
    case EntryType::Fifo: return AE_IFIFO;
    case EntryType::CharDevice: return AE_IFCHR;
    case EntryType::File:
    case EntryType::Hardlink: break;
    }
    return AE_IFREG;
}

// Bytes that gzip cannot shrink, so a cut lands inside the data.
std::string noise(size_t size)
{
    std::string s(size, '\0');
    uint32_t x = 2463534242u;
    for (char &c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xff);
    }
    return s;
}

} // namespace

std::string gzip_bytes(const std::string &bytes)
{
    std::string out;
    ArchiveWritePtr writer(archive_write_new());
    EXPECT_TRUE(writer);
    if (!writer)
        return out;
    EXPECT_EQ(archive_write_add_filter_gzip(writer.get()), ARCHIVE_OK);
    EXPECT_EQ(archive_write_set_format_raw(writer.get()), ARCHIVE_OK);
    EXPECT_EQ(archive_write_set_bytes_in_last_block(writer.get(), 1), ARCHIVE_OK);
    EXPECT_EQ(archive_write_open(writer.get(), &out, nullptr, append_to_string, nullptr), ARCHIVE_OK);
    ArchiveEntryPtr entry(archive_entry_new());
    archive_entry_set_pathname(entry.get(), "raw");
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(bytes.size()));
    EXPECT_EQ(archive_write_header(writer.get(), entry.get()), ARCHIVE_OK);
    EXPECT_EQ(archive_write_data(writer.get(), bytes.data(), bytes.size()), static_cast<la_ssize_t>(bytes.size()));
    EXPECT_EQ(archive_write_close(writer.get()), ARCHIVE_OK);
    return out;
}

std::string make_payload(const std::vector<PayloadEntry> &entries, bool gzip)
{
    std::string out;
    ArchiveWritePtr writer(archive_write_new());
    EXPECT_TRUE(writer);
    if (!writer)
        return out;
    if (gzip) {
        EXPECT_EQ(archive_write_add_filter_gzip(writer.get()), ARCHIVE_OK);
    }
    EXPECT_EQ(archive_write_set_format_cpio_newc(writer.get()), ARCHIVE_OK);
    EXPECT_EQ(archive_write_set_bytes_in_last_block(writer.get(), 1), ARCHIVE_OK);
    EXPECT_EQ(archive_write_open(writer.get(), &out, nullptr, append_to_string, nullptr), ARCHIVE_OK);
    // cpio knows hard links only as entries sharing an inode number: a hard
    // link gets the inode of the earlier entry it names, and both a link
    // count of two, so the reader links the second to the first.
    std::set<std::string> link_targets;
    for (const PayloadEntry &e : entries)
        if (e.type == EntryType::Hardlink)
            link_targets.insert(e.link);
    std::map<std::string, int64_t> inodes;
    int64_t next_ino = 1;
    for (const PayloadEntry &e : entries) {
        int64_t ino = next_ino++;
        if (e.type == EntryType::Hardlink && inodes.count(e.link))
            ino = inodes[e.link];
        inodes.emplace(e.path, ino);
        const bool linked = e.type == EntryType::Hardlink || link_targets.count(e.path);

        ArchiveEntryPtr entry(archive_entry_new());
        archive_entry_set_pathname(entry.get(), e.path.c_str());
        archive_entry_set_filetype(entry.get(), filetype_of(e.type));
        archive_entry_set_perm(entry.get(), e.perm);
        archive_entry_set_mtime(entry.get(), 1700000000, 0);
        archive_entry_set_ino(entry.get(), ino);
        archive_entry_set_nlink(entry.get(), linked ? 2 : 1);
        if (e.type == EntryType::Symlink)
            archive_entry_set_symlink(entry.get(), e.link.c_str());
        if (e.type == EntryType::CharDevice)
            archive_entry_set_rdev(entry.get(), makedev(1, 3));
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(e.data.size()));
        EXPECT_EQ(archive_write_header(writer.get(), entry.get()), ARCHIVE_OK) << e.path;
        if (!e.data.empty()) {
            EXPECT_EQ(archive_write_data(writer.get(), e.data.data(), e.data.size()),
                      static_cast<la_ssize_t>(e.data.size()));
        }
    }
    EXPECT_EQ(archive_write_close(writer.get()), ARCHIVE_OK);
    return out;
}

std::string make_description(const Attributes &attributes)
{
    std::string out;
    std::string dn = "eqpkName=package";
    for (const auto &[name, value] : attributes)
        if (name == "eqpkName")
            dn = "eqpkName=" + value;
    ldif_write(out, "dn", dn, LDIF_TEXT);
    for (const auto &[name, value] : attributes) {
        const std::string_view binary = ";binary";
        if (name.size() > binary.size() && name.ends_with(binary))
            ldif_write(out, name.substr(0, name.size() - binary.size()), value, LDIF_BINARY);
        else
            ldif_write(out, name, value, LDIF_UTF8);
    }
    return out;
}

std::string make_qpk(const std::string &description, const std::string &payload, const std::string &magic)
{
    return magic + strprintf("%05d", static_cast<int>(description.size())) + description + payload;
}

Attributes basic_attributes(const std::string &name, const std::string &version)
{
    return {{"eqpmVersion", "2.0"},
            {"eqpkName", name},
            {"eqpkVersion", version},
            {"eqpkArchitecture", "x86_64"},
            {"eqpkCreator", "Quendari Builders"},
            {"eqpkDescription", "Tiny versions of common UNIX utilities"},
            {"eqpkDataSize", "2048"}};
}

std::string write_package(const std::string &path, Attributes attributes, const std::string &payload,
                          const Signer *signer)
{
    if (signer) {
        attributes.emplace_back("eqpkRsaSigSubj", signer->subject());
        attributes.emplace_back("eqpkRsaSigData;binary", signer->sign(payload));
    }
    const std::string bytes = make_qpk(make_description(attributes), payload);
    write_file(path, bytes);
    return bytes;
}

std::vector<Hostile> all_hostile()
{
    return {Hostile::DotDot, Hostile::AbsolutePath, Hostile::ThroughSymlink, Hostile::HardlinkOut,
            Hostile::Fifo,   Hostile::CharDevice,   Hostile::Truncated, Hostile::CutAtHeader};
}

const char *hostile_name(Hostile kind)
{
    switch (kind) {
    case Hostile::DotDot: return "DotDot";
    case Hostile::AbsolutePath: return "AbsolutePath";
    case Hostile::ThroughSymlink: return "ThroughSymlink";
    case Hostile::HardlinkOut: return "HardlinkOut";
    case Hostile::Fifo: return "Fifo";
    case Hostile::CharDevice: return "CharDevice";
    case Hostile::Truncated: return "Truncated";
    case Hostile::CutAtHeader: return "CutAtHeader";
    }
    return "?";
}

std::string hostile_payload(Hostile kind, const std::string &outside)
{
    switch (kind) {
    case Hostile::DotDot:
        return make_payload({file_entry("first", "1"), file_entry("../escape", "escaped")});
    case Hostile::AbsolutePath:
        return make_payload({file_entry("first", "1"), file_entry(outside + "/absolute", "escaped")});
    case Hostile::ThroughSymlink:
        return make_payload({symlink_entry("link", outside), file_entry("link/through", "escaped")});
    case Hostile::HardlinkOut:
        return make_payload({file_entry(outside + "/victim", ""),
                             {"hard", EntryType::Hardlink, 0644, "escaped", outside + "/victim"}});
    case Hostile::Fifo:
        return make_payload({file_entry("first", "1"), {"fifo", EntryType::Fifo, 0644, {}, {}},
                             file_entry("last", "3")});
    case Hostile::CharDevice:
        return make_payload({file_entry("first", "1"), {"null", EntryType::CharDevice, 0666, {}, {}},
                             file_entry("last", "3")});
    case Hostile::Truncated: {
        const std::string whole =
            make_payload({file_entry("first", "1"), file_entry("big", noise(256 * 1024)), file_entry("last", "3")});
        return whole.substr(0, whole.size() / 2);
    }
    case Hostile::CutAtHeader: {
        // A whole gzip stream whose cpio ends inside the second entry's
        // header: every entry read so far is complete.
        const std::string cpio = make_payload({file_entry("first", "1"), file_entry("last", "3")}, false);
        const size_t second = cpio.find("070701", 1);
        EXPECT_NE(second, std::string::npos);
        return gzip_bytes(cpio.substr(0, second + 50));
    }
    }
    return {};
}

std::string write_hostile_package(const std::string &path, Hostile kind, const std::string &outside,
                                  const Signer *signer)
{
    return write_package(path, basic_attributes("hostile", "1.0"), hostile_payload(kind, outside), signer);
}

} // namespace qpm::test
