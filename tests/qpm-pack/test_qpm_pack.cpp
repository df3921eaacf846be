#include "builder.h"

#include "package/qpf.h"
#include "package/qpk_info.h"
#include "package/sha1.h"
#include "package/signature.h"
#include "package/tree.h"
#include "record/ldif.h"
#include "support/certs.h"
#include "support/package_fixture.h"
#include "support/runner.h"
#include "support/test_support.h"
#include "util/raii.h"
#include "util/raii_archive.h"
#include "util/raii_openssl.h"
#include "util/strarr.h"
#include "util/strfmt.h"

#include <gtest/gtest.h>

#include <charconv>
#include <filesystem>
#include <map>
#include <set>

#include <sys/stat.h>

#ifndef QPM_PACK_EXE
#error "QPM_PACK_EXE must name the qpm-pack program"
#endif
#ifndef QPM_EXAMPLES_DIR
#error "QPM_EXAMPLES_DIR must name the example package sources"
#endif

using namespace qpm;
using namespace qpm::test;

namespace {

struct PackageFile {
    std::string magic;
    std::string length_field;
    std::string description;
    long payload_offset = 0;
    std::string payload;
};

PackageFile read_package(const std::string &path)
{
    const std::string bytes = read_file(path);
    PackageFile pkg;
    if (bytes.size() < 11) {
        ADD_FAILURE() << path << " is too short";
        return pkg;
    }
    pkg.magic = bytes.substr(0, 6);
    pkg.length_field = bytes.substr(6, 5);
    size_t length = 0;
    const auto [end, ec] = std::from_chars(pkg.length_field.data(), pkg.length_field.data() + 5, length);
    EXPECT_TRUE(ec == std::errc() && end == pkg.length_field.data() + 5) << pkg.length_field;
    pkg.description = bytes.substr(11, length);
    pkg.payload_offset = static_cast<long>(11 + length);
    pkg.payload = bytes.substr(std::min(bytes.size(), 11 + length));
    return pkg;
}

struct Entry {
    mode_t type = 0;
    mode_t perm = 0;
    std::string content;
};

// Every payload entry by path, read with libarchive as the installer reads it.
std::map<std::string, Entry> unpack(const std::string &payload)
{
    std::map<std::string, Entry> entries;
    ArchiveReadPtr a(archive_read_new());
    archive_read_support_filter_gzip(a.get());
    archive_read_support_format_cpio(a.get());
    if (archive_read_open_memory(a.get(), payload.data(), payload.size()) != ARCHIVE_OK) {
        ADD_FAILURE() << "payload does not open: " << archive_error_string(a.get());
        return entries;
    }
    archive_entry *e;
    int rc;
    while ((rc = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK) {
        Entry entry{archive_entry_filetype(e), archive_entry_perm(e), {}};
        char buf[4096];
        la_ssize_t n;
        while ((n = archive_read_data(a.get(), buf, sizeof buf)) > 0)
            entry.content.append(buf, static_cast<size_t>(n));
        EXPECT_EQ(n, 0) << archive_error_string(a.get());
        EXPECT_TRUE(entries.emplace(archive_entry_pathname(e), std::move(entry)).second)
            << "twice: " << archive_entry_pathname(e);
    }
    EXPECT_EQ(rc, ARCHIVE_EOF) << archive_error_string(a.get());
    return entries;
}

std::set<std::string> paths_of(const std::map<std::string, Entry> &entries)
{
    std::set<std::string> paths;
    for (const auto &[path, entry] : entries)
        paths.insert(path);
    return paths;
}

std::string attr(const std::string &description, const char *name)
{
    return ldif_entry_get_attr(description, name, 1).value_or("<absent>");
}

// A package with something in every tree, a link and modes to record.
PackageSpec full_spec()
{
    PackageSpec pkg_spec;
    pkg_spec.name = "demo";
    pkg_spec.version = "2.1-3";
    pkg_spec.depends = {"libgreet", "busybox"};
    pkg_spec.file("data/usr/bin/demo", "#!/bin/sh\necho demo\n", 0755)
        .file("data/usr/lib/libdemo.so.1", "not really a library\n")
        .file("data/usr/share/demo/secret", "hidden\n", 0600)
        .file("data/usr/share/demo/empty", "")
        .file("conf/etc/demo.conf", "level=3\n", 0640)
        .file("dump/var/demo/seed", "seed\n")
        .script("00-add.sh", "echo pre > /etc/demo.pre\n")
        .script("99-add.sh", "echo post > /etc/demo.post\n")
        .link("data/usr/lib/libdemo.so", "libdemo.so.1")
        .link("data/usr/bin/demo-alias", "/usr/bin/demo");
    return pkg_spec;
}

class QpmPack : public ::testing::Test {
protected:
    ScratchDir dir;
    const std::string out = dir / "out";
    Signer signer = make_signer();
};

// ------------------------------------------------------------------ CLI

class QpmPackCli : public QpmPack {
protected:
    RunResult pack(std::vector<std::string> args)
    {
        args.insert(args.begin(), QPM_PACK_EXE);
        return run_program(args);
    }

    std::string source(const PackageSpec &pkg_spec)
    {
        const std::string path = dir / ("src-" + std::to_string(++m_sources));
        EXPECT_TRUE(write_package_source(pkg_spec, path));
        return path;
    }

    void write_signer_files()
    {
        signer.write_pem(cert_path, key_path);
    }

    const std::string key_path = dir / "key.pem";
    const std::string cert_path = dir / "cert.pem";

private:
    int m_sources = 0;
};

TEST_F(QpmPackCli, HelpPrintsUsageOnStandardOutput)
{
    const RunResult r = pack({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: qpm-pack"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("--no-sign"), std::string::npos);
    EXPECT_EQ(r.err, "");
}

TEST_F(QpmPackCli, BuildsExampleAndPrintsThePackagePath)
{
    write_signer_files();
    const RunResult r = pack({"-k", key_path, "-c", cert_path, "-o", out, QPM_EXAMPLES_DIR "/hello"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, out + "/hello_any_1.0.qpk\n");
    EXPECT_EQ(r.err, "");
    const PackageFile pkg = read_package(out + "/hello_any_1.0.qpk");
    EXPECT_EQ(pkg.magic, "EQPM20");
    EXPECT_EQ(attr(pkg.description, "eqpkDependency"), "libgreet");
    EXPECT_EQ(attr(pkg.description, "eqpkRsaSigSubj"), signer.subject());
    const std::map<std::string, Entry> hello = unpack(pkg.payload);
    for (const char *script : {"init/00-add.sh", "init/99-add.sh", "init/99-cfg.sh"})
        EXPECT_EQ(hello.count(script), 1u) << script;

    // The long options do the same.
    const RunResult again = pack({"--key", key_path, "--cert", cert_path, "--output", dir / "out2",
                                  QPM_EXAMPLES_DIR "/libgreet"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, dir / "out2" + "/libgreet_any_1.0.qpk\n");
    const std::map<std::string, Entry> libgreet = unpack(read_package(dir / "out2/libgreet_any_1.0.qpk").payload);
    EXPECT_EQ(libgreet.at("info/link.txt").content, "/usr/lib|libgreet.so.1|libgreet.so\n");
    EXPECT_EQ(libgreet.count("data/usr/lib/libgreet.so"), 0u);

    const std::string fonts = QPM_EXAMPLES_DIR "/fonts-demo";
    EXPECT_EQ(pack({"-k", key_path, "-c", cert_path, "-o", out, fonts}).status, 0);
}

TEST_F(QpmPackCli, RefusesDescriptionsWithoutARequiredKey)
{
    for (const char *key : {"name", "version", "architecture", "description"}) {
        PackageSpec pkg_spec;
        pkg_spec.name = "pkg";
        std::string conf = package_conf(pkg_spec);
        // Drop the key's line.
        const size_t at = conf.find(std::string(key) + "=");
        ASSERT_NE(at, std::string::npos);
        conf.erase(at, conf.find('\n', at) + 1 - at);
        const std::string src = source(pkg_spec);
        write_file(src + "/qpk.conf", conf);

        const RunResult r = pack({"--no-sign", "-o", out, src});
        EXPECT_EQ(r.status, 1) << key;
        EXPECT_EQ(r.out, "") << key;
        EXPECT_EQ(r.err, "qpm-pack: " + src + "/qpk.conf: missing " + key + "\n");
    }
    EXPECT_FALSE(file_exists(out + "/pkg_any_1.0.qpk"));
}

TEST_F(QpmPackCli, RefusesAnUnknownArchitecture)
{
    PackageSpec pkg_spec;
    pkg_spec.name = "pkg";
    pkg_spec.arch = "sparc";
    const std::string src = source(pkg_spec);
    const RunResult r = pack({"--no-sign", "-o", out, src});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unknown architecture \"sparc\""), std::string::npos) << r.err;
}

TEST_F(QpmPackCli, RefusesAKeyThatDoesNotMatchTheCertificate)
{
    PackageSpec pkg_spec;
    pkg_spec.name = "pkg";
    const std::string src = source(pkg_spec);
    write_signer_files();
    EvpPkeyPtr other = make_rsa_key(1024);
    ASSERT_TRUE(other);
    const std::string other_key = dir / "other.pem";
    write_file(other_key, key_pem(other.get()));

    const RunResult r = pack({"-k", other_key, "-c", cert_path, "-o", out, src});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "qpm-pack: key " + other_key + " does not match certificate " + cert_path + "\n");
    EXPECT_FALSE(file_exists(out + "/pkg_any_1.0.qpk"));
}

TEST_F(QpmPackCli, NeedsKeyAndCertificateUnlessToldNotToSign)
{
    PackageSpec pkg_spec;
    pkg_spec.name = "pkg";
    const std::string src = source(pkg_spec);
    write_signer_files();

    RunResult r = pack({"-o", out, src});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no private key given"), std::string::npos) << r.err;
    r = pack({"-k", key_path, "-o", out, src});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no certificate given"), std::string::npos) << r.err;
    r = pack({"-k", dir / "missing.pem", "-c", cert_path, "-o", out, src});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot open " + dir / "missing.pem"), std::string::npos) << r.err;
    // A certificate where the key should be is no key.
    r = pack({"-k", cert_path, "-c", cert_path, "-o", out, src});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot read an unencrypted private key from " + cert_path), std::string::npos) << r.err;

    r = pack({"--no-sign", "-o", out, src});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, out + "/pkg_any_1.0.qpk\n");
}

TEST_F(QpmPackCli, RefusesABadSourceDirectory)
{
    RunResult r = pack({"--no-sign", dir / "nowhere"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qpm-pack: cannot read source directory " + dir / "nowhere" +
                         ": No such file or directory\n");

    write_file(dir / "plain", "x");
    r = pack({"--no-sign", dir / "plain"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qpm-pack: " + dir / "plain" + " is not a directory\n");

    ASSERT_EQ(mkdir((dir / "empty").c_str(), 0755), 0);
    r = pack({"--no-sign", dir / "empty"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qpm-pack: cannot read " + dir / "empty" + "/qpk.conf: No such file or directory\n");

    r = pack({"--no-sign"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no source directory given"), std::string::npos);
    r = pack({"--no-sign", dir / "empty", dir / "plain"});
    EXPECT_EQ(r.status, 1);
    r = pack({"--bogus", dir / "empty"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
}

// ------------------------------------------------------------------ layout

TEST_F(QpmPack, HeaderHoldsMagicLengthAndTheDescription)
{
    const PackageSpec pkg_spec = full_spec();
    const std::string path = build_package(pkg_spec, out, &signer);
    ASSERT_EQ(path, out + "/demo_any_2.1-3.qpk");
    const PackageFile pkg = read_package(path);
    EXPECT_EQ(pkg.magic, "EQPM20");
    EXPECT_EQ(pkg.length_field, strprintf("%05zu", pkg.description.size()));
    // The payload starts right after the description: a gzip stream.
    ASSERT_GE(pkg.payload.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(pkg.payload[0]), 0x1f);
    EXPECT_EQ(static_cast<unsigned char>(pkg.payload[1]), 0x8b);
    // No time stamp in the gzip header: builds are reproducible.
    ASSERT_GE(pkg.payload.size(), 8u);
    EXPECT_EQ(pkg.payload.substr(4, 4), std::string(4, '\0'));

    const std::string &d = pkg.description;
    EXPECT_EQ(attr(d, "eqpmVersion"), "2.0");
    EXPECT_EQ(attr(d, "eqpkName"), "demo");
    EXPECT_EQ(attr(d, "eqpkVariant"), "<absent>");
    EXPECT_EQ(attr(d, "eqpkVersion"), "2.1-3");
    EXPECT_EQ(attr(d, "eqpkArchitecture"), "any");
    EXPECT_EQ(attr(d, "eqpkCreator"), "qpm tests");
    EXPECT_EQ(attr(d, "eqpkDescription"), "test package");
    EXPECT_EQ(ldif_entry_get_vals(d, "eqpkDependency"), (StrArr{"libgreet", "busybox"}));
    // Every file of the four source trees: what unpacking writes besides the
    // package's own lists, so the installer can bound it.
    size_t data_size = 0;
    for (const FixtureFile &f : pkg_spec.files)
        data_size += f.content.size();
    EXPECT_EQ(data_size, 113u);
    EXPECT_EQ(attr(d, "eqpkDataSize"), std::to_string(data_size));
    EXPECT_EQ(attr(d, "eqpkRsaSigSubj"), signer.subject());
    EXPECT_EQ(attr(d, "eqpkRsaSigData").size(), 256u);
    EXPECT_NE(d.find("\neqpkRsaSigData:: "), std::string::npos) << d;

    // The package reader takes it as it is.
    const QpiPtr qpi = qpk_info_parse(path, QPK_KIND_FILE, d);
    ASSERT_TRUE(qpi);
    EXPECT_EQ(qpi->name, "demo");
    EXPECT_EQ(qpi->version, "2.1-3");
    EXPECT_EQ(qpi->architecture, QPM_ARCH_ANY);
    EXPECT_EQ(qpi->dependencies, (StrArr{"libgreet", "busybox"}));
    EXPECT_EQ(qpi->data_size, static_cast<int64_t>(data_size));
    EXPECT_EQ(qpi->signer_subject, signer.subject());
    EXPECT_EQ(qpi->signature.size(), 256u);
}

TEST_F(QpmPack, PayloadHoldsExactlyTheDesignedTrees)
{
    const std::string path = build_package(full_spec(), out, &signer);
    ASSERT_FALSE(path.empty());
    const std::map<std::string, Entry> entries = unpack(read_package(path).payload);
    const std::set<std::string> expected = {
        "data/usr/bin/demo",       "data/usr/lib/libdemo.so.1", "data/usr/share/demo/empty",
        "data/usr/share/demo/secret", "conf/etc/demo.conf",     "init/00-add.sh",
        "init/99-add.sh",          "dump/var/demo/seed",        "info/desc.txt",
        "info/link.txt",           "info/perm.txt",             "hash/data.txt",
        "hash/conf.txt",           "hash/init.txt",             "hash/dump.txt",
        "hash/info.txt",
    };
    EXPECT_EQ(paths_of(entries), expected);
    for (const auto &[p, entry] : entries)
        EXPECT_EQ(entry.type, static_cast<mode_t>(AE_IFREG)) << p;
    EXPECT_EQ(entries.at("data/usr/bin/demo").perm, 0755u);
    EXPECT_EQ(entries.at("data/usr/share/demo/secret").perm, 0600u);
    EXPECT_EQ(entries.at("conf/etc/demo.conf").content, "level=3\n");
}

TEST_F(QpmPack, HashListsMatchEveryFileOfTheirTree)
{
    const std::string path = build_package(full_spec(), out, &signer);
    ASSERT_FALSE(path.empty());
    const std::map<std::string, Entry> entries = unpack(read_package(path).payload);

    // Unpack to disk and digest each file as the verifier does.
    const std::string tree_root = dir / "unpacked";
    std::map<std::string, std::map<std::string, std::string>> actual; // tree -> path -> sha1
    for (const auto &[p, entry] : entries) {
        const std::string file = tree_root + "/" + p;
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
        write_file(file, entry.content);
        const size_t slash = p.find('/');
        const std::optional<std::string> hex = sha1_file(file, 'x');
        ASSERT_TRUE(hex);
        actual[p.substr(0, slash)][p.substr(slash + 1)] = *hex;
    }
    for (const char *tree : {"data", "conf", "init", "dump", "info"}) {
        const std::string list = entries.at(std::string("hash/") + tree + ".txt").content;
        std::map<std::string, std::string> listed;
        for (const std::string &line : str2arr(list, '\n')) {
            if (line.empty())
                continue;
            ASSERT_GE(line.size(), 42u) << line;
            ASSERT_EQ(line[40], ':') << line;
            listed[line.substr(41)] = line.substr(0, 40);
        }
        EXPECT_EQ(list.back(), '\n') << tree;
        EXPECT_EQ(listed, actual[tree]) << tree;
    }
}

// What the installer does with a package: unpack it, hash every tree and
// find each file under its own digest in the package's list.
TEST_F(QpmPack, PackageReadersAcceptWhatTheBuilderWrites)
{
    const std::string path = build_package(full_spec(), out, &signer);
    ASSERT_FALSE(path.empty());
    const QpiPtr qpi = qpm_qpf_info(nullptr, path, 0);
    ASSERT_TRUE(qpi);
    EXPECT_EQ(qpk_puname(*qpi), "demo_any_2.1-3");

    const std::string unpacked = dir / "unpacked";
    ASSERT_EQ(mkdir(unpacked.c_str(), 0755), 0);
    ASSERT_EQ(qpm_qpf_extract(nullptr, path, unpacked, 0), 0);
    for (const char *tree : {"data", "conf", "init", "dump", "info"}) {
        EkvaPtr hashed;
        ASSERT_EQ(qpm_qpf_hash_files(unpacked + "/" + tree, "", hashed), 0) << tree;
        EkvaPtr shipped;
        ASSERT_EQ(qpm_qpf_qpk_hashes(unpacked, tree, shipped), 0) << tree;
        ASSERT_TRUE(hashed && shipped) << tree;
        EXPECT_EQ(hashed->entries().size(), shipped->entries().size()) << tree;
        for (const EkvaEntry &e : hashed->entries()) {
            const std::vector<std::string> paths = ekva_getvals(shipped.get(), e.key);
            EXPECT_NE(std::find(paths.begin(), paths.end(), e.value.value_or("")), paths.end())
                << tree << e.value.value_or("");
        }
    }
}

TEST_F(QpmPack, LinksAndModesAreListedNotPacked)
{
    const std::string path = build_package(full_spec(), out, &signer);
    ASSERT_FALSE(path.empty());
    const std::map<std::string, Entry> entries = unpack(read_package(path).payload);
    EXPECT_EQ(entries.at("info/link.txt").content, "/usr/bin|/usr/bin/demo|demo-alias\n"
                                                   "/usr/lib|libdemo.so.1|libdemo.so\n");
    // Installed files only, 0644 left out, directories never.
    EXPECT_EQ(entries.at("info/perm.txt").content, "/usr/bin/demo|0755\n"
                                                   "/usr/share/demo/secret|0600\n"
                                                   "/etc/demo.conf|0640\n");

    // A link at the top of data/ is made in "/".
    PackageSpec top;
    top.name = "top";
    top.link("data/bin", "usr/bin");
    const std::map<std::string, Entry> top_entries = unpack(read_package(build_package(top, out, &signer)).payload);
    EXPECT_EQ(top_entries.at("info/link.txt").content, "/|usr/bin|bin\n");
    EXPECT_EQ(top_entries.count("info/perm.txt"), 0u);
    EXPECT_EQ(top_entries.count("hash/data.txt"), 0u);
}

TEST_F(QpmPack, DescTxtIsTheHeaderDescriptionWithoutItsSignature)
{
    const std::string path = build_package(full_spec(), out, &signer);
    ASSERT_FALSE(path.empty());
    const PackageFile pkg = read_package(path);
    const std::string desc = unpack(pkg.payload).at("info/desc.txt").content;
    EXPECT_EQ(pkg.description.substr(0, desc.size()), desc);
    EXPECT_EQ(desc.find("eqpkRsaSig"), std::string::npos);
    EXPECT_EQ(pkg.description.substr(desc.size(), 16), "eqpkRsaSigSubj: ");
}

TEST_F(QpmPack, ValuesThatAreNotPlainTextRoundTrip)
{
    PackageSpec pkg_spec;
    pkg_spec.name = "intl";
    pkg_spec.description = "Gr\xc3\xbc\xc3\x9f" "e: greetings";
    pkg_spec.creator = ": starts with a colon";
    const PackageFile pkg = read_package(build_package(pkg_spec, out, &signer));
    EXPECT_EQ(attr(pkg.description, "eqpkDescription"), pkg_spec.description);
    EXPECT_EQ(attr(pkg.description, "eqpkCreator"), *pkg_spec.creator);
}

// ------------------------------------------------------------------ signature

TEST_F(QpmPack, SignatureVerifiesWithTheKeystoreAndCoversThePayload)
{
    const std::string path = build_package(full_spec(), out, &signer);
    ASSERT_FALSE(path.empty());
    const std::string certstore = dir / "certstore";
    ASSERT_EQ(mkdir(certstore.c_str(), 0755), 0);
    signer.install(certstore);
    const PackageFile pkg = read_package(path);
    const std::string subject = attr(pkg.description, "eqpkRsaSigSubj");
    const std::string signature = attr(pkg.description, "eqpkRsaSigData");

    auto verify = [&](const std::string &file_path) {
        FilePtr file = fopen_cloexec(file_path, "rb");
        EXPECT_TRUE(file);
        EXPECT_EQ(std::fseek(file.get(), pkg.payload_offset, SEEK_SET), 0);
        return qps_fverify_rsa(certstore, subject, signature, file.get());
    };
    EXPECT_EQ(verify(path), QPS_VERIFIED);

    std::string bytes = read_file(path);
    bytes[bytes.size() - 5] ^= 0x01;
    write_file(dir / "tampered.qpk", bytes);
    EXPECT_EQ(verify(dir / "tampered.qpk"), QPS_INVALID);
}

TEST_F(QpmPack, UnsignedPackageHasNoSignatureAttributes)
{
    const std::string path = build_package(full_spec(), out, nullptr);
    ASSERT_FALSE(path.empty());
    const PackageFile pkg = read_package(path);
    EXPECT_EQ(ldif_entry_count_attr(pkg.description, "eqpkRsaSigSubj"), 0);
    EXPECT_EQ(ldif_entry_count_attr(pkg.description, "eqpkRsaSigData"), 0);
    EXPECT_EQ(attr(pkg.description, "eqpkName"), "demo");
    EXPECT_EQ(unpack(pkg.payload).at("info/desc.txt").content, pkg.description);
}

TEST_F(QpmPack, SameSourceAndKeyGiveTheSameBytes)
{
    const std::string src = dir / "src";
    ASSERT_TRUE(write_package_source(full_spec(), src));
    PackOptions options;
    options.source_dir = src;
    options.key_pem = key_pem(signer.key.get());
    options.cert_pem = cert_pem(signer.cert.get());
    options.output_dir = dir / "a";
    const PackResult a = qpm_pack_build(options);
    options.output_dir = dir / "b";
    const PackResult b = qpm_pack_build(options);
    ASSERT_TRUE(a.ok()) << a.error;
    ASSERT_TRUE(b.ok()) << b.error;
    EXPECT_EQ(read_file(a.path), read_file(b.path));
}

TEST_F(QpmPack, FailedBuildKeepsTheOlderPackageAndLeavesNoTemporaryFile)
{
    PackageSpec pkg_spec;
    pkg_spec.name = "keep";
    const std::string path = build_package(pkg_spec, out, &signer);
    ASSERT_FALSE(path.empty());
    const std::string before = read_file(path);

    // The same package, now with a file that cannot be packed.
    const std::string src = dir / "src";
    ASSERT_TRUE(write_package_source(pkg_spec, src));
    std::filesystem::create_directories(src + "/data");
    ASSERT_EQ(mkfifo((src + "/data/fifo").c_str(), 0644), 0);
    PackOptions options;
    options.source_dir = src;
    options.output_dir = out;
    options.no_sign = true;
    const PackResult r = qpm_pack_build(options);
    EXPECT_EQ(r.error, src + "/data/fifo: not a regular file, directory or symbolic link");
    EXPECT_EQ(read_file(path), before);
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(out))
        names.push_back(e.path().filename());
    EXPECT_EQ(names, (std::vector<std::string>{"keep_any_1.0.qpk"}));
}

// ------------------------------------------------------------------ source

TEST_F(QpmPack, DependenciesRepeatedOrCommaSeparatedKeepOrderAndCountOnce)
{
    PackageSpec pkg_spec;
    pkg_spec.name = "deps";
    pkg_spec.extra_conf = {"depends = liba, libb", "# a comment", "", "Depends=libc,liba"};
    const PackageFile pkg = read_package(build_package(pkg_spec, out, nullptr));
    EXPECT_EQ(ldif_entry_get_vals(pkg.description, "eqpkDependency"), (StrArr{"liba", "libb", "libc"}));
}

TEST_F(QpmPack, VariantJoinsTheUniqueName)
{
    PackageSpec pkg_spec;
    pkg_spec.name = "busybox";
    pkg_spec.variant = "static";
    pkg_spec.arch = "x86_64";
    pkg_spec.version = "1.36.1-2";
    const std::string path = build_package(pkg_spec, out, &signer);
    EXPECT_EQ(path, out + "/busybox_static_x86_64_1.36.1-2.qpk");
    EXPECT_EQ(attr(read_package(path).description, "eqpkVariant"), "static");
}

TEST_F(QpmPack, RefusesDescriptionsTheReadersCouldNotUse)
{
    struct Case {
        std::vector<std::string> conf;
        std::string message;
    };
    const Case cases[] = {
        {{"name=my_pkg", "version=1", "architecture=any", "description=x"}, "invalid name \"my_pkg\""},
        {{"name=../etc", "version=1", "architecture=any", "description=x"}, "invalid name \"../etc\""},
        {{"name=p", "version=1 2", "architecture=any", "description=x"}, "invalid version \"1 2\""},
        {{"name=p", "version=1", "variant=default", "architecture=any", "description=x"},
         "variant \"default\" is reserved"},
        {{"name=p", "version=1", "architecture=any", "description=x", "depends=ok,$(reboot)"},
         "invalid dependency \"$(reboot)\""},
        {{"name=p", "name=q", "version=1", "architecture=any", "description=x"}, "qpk.conf:2: name given twice"},
        {{"name=p", "version=1", "architecture=any", "description=x", "summary=y"}, "qpk.conf:5: unknown key summary"},
        {{"name=p", "version=1", "architecture=any", "description=x", "just words"},
         "qpk.conf:5: not a key=value line"},
    };
    int n = 0;
    for (const Case &c : cases) {
        const std::string src = dir / ("src" + std::to_string(++n));
        std::filesystem::create_directories(src);
        std::string conf;
        for (const std::string &line : c.conf)
            conf += line + "\n";
        write_file(src + "/qpk.conf", conf);
        PackOptions options;
        options.source_dir = src;
        options.output_dir = out;
        options.no_sign = true;
        const PackResult r = qpm_pack_build(options);
        EXPECT_FALSE(r.ok()) << conf;
        EXPECT_NE(r.error.find(c.message), std::string::npos) << r.error;
    }
}

TEST_F(QpmPack, RefusesLinksOutsideDataAndReservedTrees)
{
    PackageSpec pkg_spec;
    pkg_spec.name = "links";
    pkg_spec.link("conf/etc/x.conf", "/etc/y.conf");
    std::string error;
    EXPECT_EQ(build_package(pkg_spec, out, nullptr, &error), "");
    EXPECT_NE(error.find("conf/etc/x.conf: symbolic links are only allowed in data/"), std::string::npos)
        << error;

    PackageSpec reserved;
    reserved.name = "reserved";
    reserved.file("info/perm.txt", "/etc/shadow|0666\n");
    EXPECT_EQ(build_package(reserved, out, nullptr, &error), "");
    EXPECT_NE(error.find("/info: reserved"), std::string::npos) << error;
}

} // namespace
