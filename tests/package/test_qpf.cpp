#include "package/qpf.h"

#include "package/sha1.h"
#include "package/signature.h"
#include "support/certs.h"
#include "support/hostile_archive.h"
#include "support/test_support.h"
#include "util/strfmt.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sched.h>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace qpm;
using test::Hostile;

namespace fs = std::filesystem;

namespace {

std::string current_dir()
{
    std::error_code ec;
    return fs::current_path(ec).string();
}

// Every path below `root`, relative to it; symbolic links are not followed.
std::set<std::string> listing(const std::string &root)
{
    std::set<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        out.insert(it->path().lexically_relative(root).string());
    return out;
}

test::CertOptions named(const std::string &cn)
{
    test::CertOptions options;
    options.subject = {{"C", "QD"}, {"O", "Quendari Test"}, {"CN", cn}};
    return options;
}

class Qpf : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(mkdir(certstore.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(stage.c_str(), 0755), 0);
        handle.dirs.certstore = certstore;
    }

    bool logged(const std::string &line) const { return m_log.has(line); }

    // Extracts and checks that the caller's working directory is kept; the
    // standard error text goes to `err`.
    int extract(const std::string &path, const std::string &into, int verify, std::string *err = nullptr)
    {
        const std::string before = current_dir();
        test::CaptureFd capture(2);
        const int rc = qpm_qpf_extract(&handle, path, into, verify);
        const std::string text = capture.finish();
        if (err)
            *err = text;
        EXPECT_EQ(current_dir(), before) << "working directory not restored";
        return rc;
    }

    static std::string sample_payload()
    {
        return test::make_payload({test::dir_entry("data"),
                                   test::dir_entry("data/usr"),
                                   test::dir_entry("data/usr/bin"),
                                   test::file_entry("data/usr/bin/hello", "#!/bin/sh\necho hello\n", 0755),
                                   test::symlink_entry("data/usr/bin/hi", "hello"),
                                   test::dir_entry("conf"),
                                   test::dir_entry("conf/etc"),
                                   test::file_entry("conf/etc/hello.conf", "greeting=hello\n", 0600)});
    }

    test::ScratchDir dir;
    const std::string certstore = dir / "certstore";
    const std::string stage = dir / "stage";
    qpm_handle handle;

private:
    test::LogFile m_log{dir / "qpm.log"};
};

} // namespace

TEST_F(Qpf, MagicMustBeVersion10Or20)
{
    const std::string path = dir / "bad.qpk";
    const std::string desc = test::make_description(test::basic_attributes());
    test::write_file(path, test::make_qpk(desc, sample_payload(), "EQPM30"));
    EXPECT_FALSE(qpm_qpf_info(nullptr, path, 0));
    EXPECT_TRUE(logged("Not a valid/supported package file"));
    EXPECT_EQ(extract(path, stage, 0), -1);
    EXPECT_TRUE(listing(stage).empty());
}

TEST_F(Qpf, LengthFieldAcceptsLeadingBlanksAndZeros)
{
    std::string desc = test::make_description(test::basic_attributes());
    ASSERT_LT(desc.size(), 1234u);
    desc.append(1234 - desc.size(), '\n'); // empty lines after the entry are not read
    for (const char *field : {" 1234", "01234"}) {
        const std::string path = dir / "len.qpk";
        test::write_file(path, std::string("EQPM20") + field + desc + sample_payload());
        const QpiPtr qpi = qpm_qpf_info(nullptr, path, 0);
        ASSERT_TRUE(qpi) << field;
        EXPECT_EQ(qpi->name, "busybox");
        EXPECT_EQ(extract(path, stage, 0), 0) << field;
        EXPECT_TRUE(test::file_exists(stage + "/data/usr/bin/hello"));
    }
}

TEST_F(Qpf, ShortOrBrokenHeadersAreReportedWithCounts)
{
    const std::string path = dir / "short.qpk";
    test::write_file(path, "EQP");
    EXPECT_FALSE(qpm_qpf_info(nullptr, path, 0));
    EXPECT_TRUE(logged("Only 3 of 6 bytes read"));
    EXPECT_EQ(extract(path, stage, 0), -1);
    EXPECT_TRUE(logged("Only 3 of 6 bytes read in " + path + ": "));

    test::write_file(path, "EQPM20012");
    EXPECT_FALSE(qpm_qpf_info(nullptr, path, 0));
    EXPECT_TRUE(logged("Only 3 of 5 bytes read"));

    test::write_file(path, "EQPM20abcde" + std::string(100, 'x'));
    EXPECT_FALSE(qpm_qpf_info(nullptr, path, 0));
    EXPECT_TRUE(logged("Failed to read description size"));

    test::write_file(path, "EQPM20-0010" + std::string(100, 'x'));
    EXPECT_FALSE(qpm_qpf_info(nullptr, path, 0));
    EXPECT_EQ(extract(path, stage, 0), -1);

    const std::string desc = test::make_description(test::basic_attributes());
    test::write_file(path, "EQPM20" + strprintf("%05d", 500) + desc.substr(0, 100));
    EXPECT_FALSE(qpm_qpf_info(nullptr, path, 0));
    EXPECT_TRUE(logged("Only 100 of 500 bytes read"));

    EXPECT_FALSE(qpm_qpf_info(nullptr, dir / "missing.qpk", 0));
    EXPECT_TRUE(logged("Failed to stat " + (dir / "missing.qpk")));
    EXPECT_EQ(extract(dir / "missing.qpk", stage, 0), -1);
    EXPECT_TRUE(logged("Failed to open " + (dir / "missing.qpk") + " for reading"));
}

TEST_F(Qpf, DescriptionThatDoesNotParseIsRefusedByBothReaders)
{
    const std::string path = dir / "noname.qpk";
    test::Attributes attrs = test::basic_attributes();
    attrs[1].second = "../../etc/passwd";
    test::write_package(path, attrs, sample_payload());
    EXPECT_FALSE(qpm_qpf_info(nullptr, path, 0));
    EXPECT_EQ(extract(path, stage, 0), -1);
    EXPECT_TRUE(logged("Failed to parse package header"));
    EXPECT_TRUE(listing(stage).empty());
}

TEST_F(Qpf, FileVersionComesFromMagicAndPackageFormatFromDescription)
{
    const std::string path = dir / "v1.qpk";
    const std::string desc = test::make_description(test::basic_attributes());
    test::write_file(path, test::make_qpk(desc, sample_payload(), "EQPM10"));
    EXPECT_TRUE(qpm_qpf_info(nullptr, path, 0));
    EXPECT_TRUE(logged("Package version: 1"));
    EXPECT_TRUE(logged(path + ": Package format: 2"));

    FilePtr file = fopen_cloexec(path, "rb");
    ASSERT_TRUE(file);
    const std::optional<QpfHeader> header = qpm_qpf_read_header(file.get(), path);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->file_version, 1);
    EXPECT_EQ(header->description, desc);
    EXPECT_EQ(ftell(file.get()), static_cast<long>(QPF_HEADER_LEN + desc.size()));
}

TEST_F(Qpf, InfoRecordsLocationSizeAndHashOfTheFile)
{
    const test::Signer signer = test::make_signer(named("Info Signer"));
    signer.install(certstore);
    ASSERT_EQ(mkdir((dir / "pkgs").c_str(), 0755), 0);
    const std::string bytes = test::write_package(dir / "pkgs/busybox.qpk", test::basic_attributes(), sample_payload(), &signer);
    ASSERT_EQ(symlink("pkgs/busybox.qpk", (dir / "link.qpk").c_str()), 0);
    const std::string given = dir.path() + "/./pkgs/../link.qpk";

    std::error_code ec;
    const std::string canonical = fs::canonical(dir / "pkgs/busybox.qpk", ec).string();
    // Through the signature check (which reads the payload) and without it.
    for (const int verify : {1, 0}) {
        const QpiPtr qpi = qpm_qpf_info(&handle, given, verify);
        ASSERT_TRUE(qpi);
        EXPECT_EQ(qpi->relative_uri, given);
        EXPECT_EQ(qpi->absolute_uri, canonical);
        EXPECT_EQ(qpi->file_size, static_cast<int64_t>(bytes.size()));
        EXPECT_EQ(qpi->file_hash, sha1_data(bytes, 'x'));
        EXPECT_EQ(qpi->file_hash, qps_sha1_file(given, 'x'));
        EXPECT_EQ(qpi->signature_status, verify ? QPS_VERIFIED : QPS_NOT_CHECKED);
    }
    EXPECT_TRUE(logged("Not verifying the package signature"));
    EXPECT_TRUE(logged("rc of qps_verify_rsa: 1"));
    // No handle: nothing to verify with.
    EXPECT_EQ(qpm_qpf_info(nullptr, given, 1)->signature_status, QPS_NOT_CHECKED);
}

TEST_F(Qpf, EverySignatureStatusAndOnlyVerifiedPackagesExtract)
{
    struct Case {
        const char *label;
        test::CertOptions cert;
        bool install = true;
        bool sign = true;
        bool tamper = false;
        int status;
    };
    test::CertOptions expired = named("Expired Signer");
    expired.not_before = -7200;
    expired.not_after = -10;
    test::CertOptions early = named("Early Signer");
    early.not_before = 3600;
    std::vector<Case> cases;
    cases.push_back({"valid", named("Good Signer"), true, true, false, QPS_VERIFIED});
    cases.push_back({"expired", expired, true, true, false, QPS_EXPIRED});
    cases.push_back({"not yet valid", early, true, true, false, QPS_NOT_YET_VALID});
    cases.push_back({"untrusted", named("Stranger"), false, true, false, QPS_UNTRUSTED});
    cases.push_back({"unsigned", named("Nobody"), true, false, false, QPS_MISSING});
    cases.push_back({"tampered", named("Good Signer"), true, true, true, QPS_INVALID});

    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const test::Signer signer = test::make_signer(c.cert);
        ASSERT_TRUE(signer);
        if (c.install)
            signer.install(certstore);
        const std::string path = dir / "pkg.qpk";
        std::string bytes = test::write_package(path, test::basic_attributes(), sample_payload(),
                                                c.sign ? &signer : nullptr);
        if (c.tamper) {
            bytes[bytes.size() - 8] ^= 0x01; // in the gzip trailer: the archive still reads
            test::write_file(path, bytes);
        }

        const QpiPtr qpi = qpm_qpf_info(&handle, path, 1);
        ASSERT_TRUE(qpi);
        EXPECT_EQ(qpi->signature_status, c.status);

        const std::string into = dir / (std::string("x-") + c.label);
        ASSERT_EQ(mkdir(into.c_str(), 0755), 0);
        const int rc = extract(path, into, 1);
        if (c.status == QPS_VERIFIED) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(test::read_file(into + "/data/usr/bin/hello"), "#!/bin/sh\necho hello\n");
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_TRUE(listing(into).empty());
        }
        // Without verification the same file unpacks.
        if (!c.tamper) {
            const std::string plain = into + "-plain";
            ASSERT_EQ(mkdir(plain.c_str(), 0755), 0);
            EXPECT_EQ(extract(path, plain, 0), 0);
        }
    }
    EXPECT_TRUE(logged("No signature subject found"));
    EXPECT_TRUE(logged("Failure verifying signature of " + (dir / "pkg.qpk")));

    // A subject without signature data is as missing as no subject.
    const test::Signer signer = test::make_signer(named("Good Signer"));
    test::Attributes attrs = test::basic_attributes();
    attrs.emplace_back("eqpkRsaSigSubj", signer.subject());
    test::write_package(dir / "nosig.qpk", attrs, sample_payload());
    EXPECT_EQ(qpm_qpf_info(&handle, dir / "nosig.qpk", 1)->signature_status, QPS_MISSING);
    EXPECT_TRUE(logged("No signature data found"));
    EXPECT_EQ(extract(dir / "nosig.qpk", stage, 1), -1);
    EXPECT_TRUE(listing(stage).empty());
}

TEST_F(Qpf, InvalidSignatureShowsAsInvalidInTheEkvaForm)
{
    const test::Signer signer = test::make_signer(named("Good Signer"));
    signer.install(certstore);
    const std::string payload = sample_payload();
    test::Attributes attrs = test::basic_attributes();
    attrs.emplace_back("eqpkRsaSigSubj", signer.subject());
    attrs.emplace_back("eqpkRsaSigData;binary", signer.sign(payload + "x"));
    test::write_package(dir / "pkg.qpk", attrs, payload);
    const QpiPtr qpi = qpm_qpf_info(&handle, dir / "pkg.qpk", 1);
    ASSERT_TRUE(qpi);
    EXPECT_EQ(qpi->signature_status, QPS_INVALID);
    EXPECT_STREQ(ekva_getval(qpk_info_ekva(qpi.get(), QPK_KIND_FILE).get(), "eqpkSignature"), "Invalid");
}

TEST_F(Qpf, ExtractRestoresModesTimesAndLinks)
{
    const std::string path = dir / "pkg.qpk";
    test::write_package(path, test::basic_attributes(), sample_payload());
    EXPECT_EQ(extract(path, stage, 0), 0);
    struct stat st {};
    ASSERT_EQ(stat((stage + "/data/usr/bin/hello").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_mtime, 1700000000);
    ASSERT_EQ(stat((stage + "/conf/etc/hello.conf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    std::error_code ec;
    EXPECT_EQ(fs::read_symlink(stage + "/data/usr/bin/hi", ec), "hello");
    EXPECT_TRUE(logged("Not verifying the package signature"));
}

TEST_F(Qpf, ExtractIntoMissingDirectoryFailsAndKeepsTheWorkingDirectory)
{
    const std::string path = dir / "pkg.qpk";
    test::write_package(path, test::basic_attributes(), sample_payload());
    EXPECT_EQ(extract(path, dir / "nowhere", 0), -1);
    EXPECT_TRUE(logged("Failed to change to installation dir " + (dir / "nowhere")));
}

TEST_F(Qpf, HostilePayloadsWriteNothingOutsideAndFail)
{
    // Trusted and correctly signed: the payload itself is the attack.
    const test::Signer signer = test::make_signer(named("Trusted Builder"));
    signer.install(certstore);
    ASSERT_EQ(mkdir((dir / "pkgs").c_str(), 0755), 0);

    for (const Hostile kind : test::all_hostile()) {
        const std::string name = test::hostile_name(kind);
        SCOPED_TRACE(name);
        const std::string base = dir / ("h-" + name);
        const std::string into = base + "/stage";
        const std::string outside = base + "/outside";
        ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(into.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
        test::write_file(outside + "/victim", "original");

        const std::string path = dir / ("pkgs/" + name + ".qpk");
        test::write_hostile_package(path, kind, outside, &signer);
        ASSERT_EQ(qpm_qpf_info(&handle, path, 1)->signature_status, QPS_VERIFIED);

        std::string err;
        EXPECT_EQ(extract(path, into, 1, &err), -1);
        EXPECT_EQ(err, "Failed to extract archive\n");

        // Outside the stage directory everything is as it was.
        std::set<std::string> expected = {"stage", "outside", "outside/victim"};
        for (const std::string &entry : listing(into))
            expected.insert("stage/" + entry);
        EXPECT_EQ(listing(base), expected);
        EXPECT_EQ(test::read_file(outside + "/victim"), "original");

        // Entries around a refused one are still extracted.
        if (kind == Hostile::Fifo || kind == Hostile::CharDevice) {
            EXPECT_TRUE(test::file_exists(into + "/first"));
            EXPECT_TRUE(test::file_exists(into + "/last"));
            EXPECT_EQ(listing(into), (std::set<std::string>{"first", "last"}));
        }
    }
    EXPECT_TRUE(logged("Refusing to extract fifo: not a regular file, directory or symbolic link"));
    EXPECT_TRUE(logged("Failed to write header by archive_write_header: "));
}

TEST_F(Qpf, EntryOverAnEarlierSymlinkReplacesTheLinkNotItsTarget)
{
    ASSERT_EQ(mkdir((dir / "outside").c_str(), 0755), 0);
    test::write_file(dir / "outside/victim", "original");
    const std::string payload = test::make_payload(
        {test::symlink_entry("evil", dir / "outside/victim"), test::file_entry("evil", "escaped")});
    test::write_package(dir / "pkg.qpk", test::basic_attributes(), payload);
    EXPECT_EQ(extract(dir / "pkg.qpk", stage, 0), 0);
    EXPECT_EQ(test::read_file(dir / "outside/victim"), "original");
    EXPECT_EQ(test::read_file(stage + "/evil"), "escaped");
}

// A full disk is named by the system's reason, not only libarchive's "Write
// failed". The stage is a small tmpfs mounted in a child's own mount
// namespace, so the host never sees it.
TEST_F(Qpf, FullDiskIsReportedWithTheSystemsReason)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: mounts a small tmpfs in a private mount namespace";
    const std::string path = dir / "pkg.qpk";
    test::Attributes attrs = test::basic_attributes();
    attrs.back() = {"eqpkDataSize", "1000"}; // fits the tmpfs; what follows does not
    test::write_package(path, attrs, test::make_payload({test::file_entry("data/big", std::string(256 << 10, 'x'))}));

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool mounted = unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                             mount("tmpfs", stage.c_str(), "tmpfs", 0, "size=32k") == 0;
        _exit(!mounted ? 3 : qpm_qpf_extract(&handle, path, stage, 0) == -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the extraction must fail";
    EXPECT_TRUE(logged("Failed to copy data: Write failed: No space left on device")) << "log: " << dir / "qpm.log";
    EXPECT_TRUE(listing(stage).empty()) << "the host's stage directory is untouched";
}

// One read of the file unpacks it and yields what the checks need: the
// file's SHA-1, and each regular file's SHA-1 taken while it was written;
// names whose content must be read from the disk (links, hard links) have
// none. Modes the creation mask would take away and directory modes that
// would stop the unpacking are set in the end.
TEST_F(Qpf, UnpackRecordsEveryFileWithTheDigestOfWhatWasWritten)
{
    const std::string path = dir / "pkg.qpk";
    const std::string bytes = test::write_package(
        path, test::basic_attributes(),
        test::make_payload({test::dir_entry("data/ro", 0555), test::file_entry("data/ro/a", "A", 0777),
                            test::file_entry("data/x", "first"), test::file_entry("./data//x", "second"),
                            test::symlink_entry("data/l", "x"), test::file_entry("data/y", "y"),
                            {"data/h", test::EntryType::Hardlink, 0644, {}, "data/y"}}));
    QpfUnpacked out;
    ASSERT_EQ(qpm_qpf_unpack(&handle, path, stage, 0, out), 0);

    EXPECT_EQ(out.file_hash, sha1_data(bytes));
    EXPECT_EQ(out.header.qpi->name, "busybox");
    std::vector<std::pair<std::string, std::string>> files;
    for (const UnpackedFile &f : out.files)
        files.emplace_back(f.path, f.digest);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"data/ro/a", sha1_data("A")}, {"data/x", sha1_data("second")}, {"data/l", ""}, {"data/y", ""}, {"data/h", ""}};
    EXPECT_EQ(files, expected);
    EXPECT_EQ(test::read_file(stage + "/data/x"), "second");

    struct stat st {};
    ASSERT_EQ(stat((stage + "/data/ro").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0555u);
    ASSERT_EQ(stat((stage + "/data/ro/a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    struct stat y {};
    ASSERT_EQ(stat((stage + "/data/y").c_str(), &y), 0);
    ASSERT_EQ(stat((stage + "/data/h").c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, y.st_ino);
}

// The signature is known only once the payload has been read: a payload
// that is not the signed one is removed again, and only its signature is
// reported, not what else is wrong with it.
TEST_F(Qpf, PayloadFailingItsSignatureLeavesNothingAndIsReportedByItsSignature)
{
    const test::Signer signer = test::make_signer(named("Good Signer"));
    signer.install(certstore);
    const std::string payload = test::make_payload(
        {test::file_entry("data/usr/bin/tool", "tool"), {"fifo", test::EntryType::Fifo, 0644, {}, {}}});
    test::Attributes attrs = test::basic_attributes();
    attrs.emplace_back("eqpkRsaSigSubj", signer.subject());
    attrs.emplace_back("eqpkRsaSigData;binary", signer.sign(payload + "x"));
    test::write_package(dir / "pkg.qpk", attrs, payload);

    EXPECT_EQ(extract(dir / "pkg.qpk", stage, 1), -1);
    EXPECT_TRUE(listing(stage).empty());
    EXPECT_TRUE(logged("Failure verifying signature of " + (dir / "pkg.qpk")));
    EXPECT_FALSE(logged("Refusing to extract fifo"));
}

// The payload is inflated before libarchive reads it: a plain cpio is read
// as it is, several gzip members make one archive, what follows the last
// member is not read as part of it, and a member whose check fails is
// damage, whatever came out of it.
TEST_F(Qpf, PayloadCompressionForms)
{
    const std::string cpio = test::make_payload({test::file_entry("data/a", "alpha"), test::file_entry("data/b", "beta")}, false);
    std::string bad_crc = test::gzip_bytes(cpio);
    bad_crc[bad_crc.size() - 8] ^= 1;
    const struct {
        const char *name;
        std::string payload;
        int rc;
    } cases[] = {
        {"plain cpio", cpio, 0},
        {"two members", test::gzip_bytes(cpio.substr(0, 200)) + test::gzip_bytes(cpio.substr(200)), 0},
        {"trailing bytes", test::gzip_bytes(cpio) + "not gzip", 0},
        {"bad crc", bad_crc, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / "pkg.qpk";
        const std::string into = dir / (std::string("into-") + std::to_string(&c - cases));
        ASSERT_EQ(mkdir(into.c_str(), 0755), 0);
        test::write_package(path, test::basic_attributes(), c.payload);
        EXPECT_EQ(extract(path, into, 0), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(test::read_file(into + "/data/b"), "beta");
        }
    }
}

// A large package's digests are taken on a second thread while the payload
// is unpacked: the same digests, the same refusal of a payload that is not
// the signed one.
TEST_F(Qpf, LargePayloadDigestedAlongsideTheUnpacking)
{
    const test::Signer signer = test::make_signer(named("Good Signer"));
    signer.install(certstore);
    std::string noise(6 << 20, '\0');
    uint64_t x = 88172645463325252ull;
    for (char &c : noise) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        c = static_cast<char>(x);
    }
    const std::string payload = test::make_payload({test::file_entry("data/noise", noise)});
    for (const bool tampered : {false, true}) {
        SCOPED_TRACE(tampered ? "tampered" : "signed");
        test::Attributes attrs = test::basic_attributes();
        attrs.back() = {"eqpkDataSize", std::to_string(noise.size())};
        attrs.emplace_back("eqpkRsaSigSubj", signer.subject());
        attrs.emplace_back("eqpkRsaSigData;binary", signer.sign(tampered ? payload + "x" : payload));
        const std::string bytes = test::write_package(dir / "big.qpk", attrs, payload);
        const std::string into = dir / (tampered ? "into-tampered" : "into-signed");
        ASSERT_EQ(mkdir(into.c_str(), 0755), 0);
        QpfUnpacked out;
        const int rc = qpm_qpf_unpack(&handle, dir / "big.qpk", into, 1, out);
        EXPECT_EQ(out.file_hash, sha1_data(bytes));
        if (tampered) {
            EXPECT_EQ(rc, -1);
            EXPECT_TRUE(listing(into).empty());
        } else {
            ASSERT_EQ(rc, 0);
            EXPECT_EQ(test::read_file(into + "/data/noise"), noise);
            ASSERT_EQ(out.files.size(), 1u);
            EXPECT_EQ(out.files[0].digest, sha1_data(noise));
        }
    }
}
