// qpm-key run as the real binary against a temporary system root.
#include "support/certs.h"
#include "support/inventory_fixture.h"
#include "support/runner.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/asn1.h>
#include <openssl/evp.h>

#ifndef QPM_KEY_EXE
#error "QPM_KEY_EXE must name the qpm-key binary"
#endif

using namespace qpm;
using namespace qpm::test;

namespace {

namespace fs = std::filesystem;

const std::string usage_text = "Usage: qpm-key [options]\n\n"
                               "  --help,\t-h\t\t\tDisplays this information\n"
                               "  --add,\t-A <args>\t\tadd a key to keystore\n"
                               "  --delete,\t-D <args>\t\tdelete a key from keystore\n"
                               "  --list,\t-L\t\t\tlist installed keys\n"
                               "  --force,\t-f\t\t\tforce action without question\n"
                               "  --verbose,\t-v\t\t\tshow verbose output\n"
                               "  --version,\t-V\t\t\tshow version information\n";

std::string utc_text(const ASN1_TIME *time)
{
    struct tm tm {};
    char text[64] = "";
    if (ASN1_TIME_to_tm(time, &tm) == 1)
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

std::string fingerprint(const X509 *cert)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    X509_digest(cert, EVP_sha1(), md, &length);
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", md[i]);
        text += i ? std::string(":") + pair : std::string(pair);
    }
    return text;
}

std::string hash_of(const Signer &signer) { return signer.file_name().substr(0, 8); }

// The certificate data as the tool prints it (times in UTC: the tool runs with TZ=UTC).
std::string data_text(const Signer &signer, const std::string &status, bool with_name = true)
{
    const X509 *cert = signer.cert.get();
    std::string text = with_name ? "Name        : Test Signer\nMail Address: signer@example.org\n"
                                 : "Subject     : " + signer.subject() + "\n";
    return text + "Hash        : " + hash_of(signer) + "\n" + "Fingerprint : " + fingerprint(cert) +
           "\n" + "Valid from  : " + utc_text(X509_get0_notBefore(cert)) + "\n" +
           "Valid until : " + utc_text(X509_get0_notAfter(cert)) + "\n" + "Status      : " + status +
           "\n\n";
}

std::vector<std::string> dir_names(const std::string &dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(dir, ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A system root with an empty inventory, a home and a working directory,
// and a place outside it for the user's certificate files.
class QpmKey : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(make_inventory_dirs(root.path() + "/var/lib/qpm"));
        fs::create_directories(root.path() + "/etc");
        fs::create_directories(root.path() + "/root");
        fs::create_directories(root.path() + "/work");
        write_file(root.path() + "/etc/qpm.conf", "arch_name=x86_64\n");
    }

    RunResult key(std::vector<std::string> args, const std::string &stdin_text = "")
    {
        args.insert(args.begin(), QPM_KEY_EXE);
        RunOptions options;
        options.env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C", "TZ=UTC",
                       "QPM_ROOT=" + root.path(), "HOME=" + root.path() + "/root"};
        options.stdin_text = stdin_text;
        options.cwd = root.path() + "/work";
        return run_program(args, options);
    }

    // Writes the signer's certificate outside the root; returns its path.
    std::string cert_file(const Signer &signer, const std::string &name = "signer.crt")
    {
        const std::string path = files / name;
        signer.write_pem(path, files / (name + ".key"));
        return path;
    }

    std::string certstore() const { return root.path() + "/var/lib/qpm/certstore"; }
    std::string stored(const Signer &signer) const { return certstore() + "/" + signer.file_name(); }

    ScratchDir root;
    ScratchDir files;
};

CertOptions with_subject(std::vector<SubjectEntry> subject)
{
    CertOptions options;
    options.subject = std::move(subject);
    return options;
}

} // namespace

TEST_F(QpmKey, AddStoresTheFileUnderItsSubjectHash)
{
    const Signer signer = make_signer();
    const std::string file = cert_file(signer);
    const RunResult r = key({"-A", file, "-f"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, data_text(signer, "VALID") + "\n");
    const std::string content = read_file(file);
    EXPECT_EQ(r.err, "\nData of new certificate:\n\n" + std::string("Ok, added certificate, ") +
                         std::to_string(content.size()) + " bytes\n");
    EXPECT_EQ(read_file(stored(signer)), content);
    // Whole and alone: no temporary copy is left beside it.
    EXPECT_EQ(dir_names(certstore()), std::vector<std::string>{signer.file_name()});
    struct stat st {};
    ASSERT_EQ(stat(stored(signer).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(QpmKey, AddAsksFirstAndTheAnswerComesFromStandardInput)
{
    const Signer signer = make_signer();
    const std::string file = cert_file(signer);
    const std::string question = "Do you want to add this certificate to the keystore [Y/n] ? ";

    RunResult r = key({"-A", file}, "n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "\nData of new certificate:\n\n" + question + "\nOk, not adding certificate\n");
    EXPECT_FALSE(file_exists(stored(signer)));

    // Enter takes the default, yes.
    r = key({"-A", file}, "\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(question), std::string::npos);
    EXPECT_EQ(read_file(stored(signer)), read_file(file));
}

TEST_F(QpmKey, AddRefusesCertificatesOutsideTheirValidity)
{
    CertOptions expired;
    expired.not_before = -7200;
    expired.not_after = -60;
    CertOptions future;
    future.not_before = 3600;
    for (const auto &[options, status] : {std::pair{expired, "EXPIRED"}, {future, "NOT_YET_VALID"}}) {
        const Signer signer = make_signer(options);
        const std::string file = cert_file(signer);
        const RunResult r = key({"-A", file, "-f"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\nCannot add " + file + ", is not valid.\n\n\nData of new certificate:\n\n");
        EXPECT_EQ(r.out, data_text(signer, status));
        EXPECT_TRUE(dir_names(certstore()).empty());
    }
}

TEST_F(QpmKey, AddAcceptsAValidityBeyond2038)
{
    CertOptions options;
    options.not_after_at = 4102444800; // 2100-01-01, GeneralizedTime
    const Signer signer = make_signer(options);
    const RunResult r = key({"-A", cert_file(signer), "-f"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Valid until : 2100-01-01 00:00:00\nStatus      : VALID\n"), std::string::npos)
        << r.out;
}

TEST_F(QpmKey, AddRefusesCertificatesWithoutNameOrMail)
{
    const Signer no_mail = make_signer(with_subject({{"C", "QD"}, {"O", "Quendari Test"}, {"CN", "Test Signer"}}));
    const Signer no_name =
        make_signer(with_subject({{"C", "QD"}, {"O", "Quendari Test"}, {"emailAddress", "signer@example.org"}}));
    for (const Signer *signer : {&no_mail, &no_name}) {
        const std::string file = cert_file(*signer);
        const RunResult r = key({"-A", file, "-f"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\nCannot add " + file +
                             ", does not contain a name and an email adrress.\n\n\nData of new certificate:\n\n");
        EXPECT_EQ(r.out, data_text(*signer, "VALID", false));
    }
    EXPECT_TRUE(dir_names(certstore()).empty());
}

TEST_F(QpmKey, AddRefusesASubjectWhoseHashIsAlreadyStored)
{
    const Signer first = make_signer();
    first.install(certstore());
    const std::string before = read_file(stored(first));
    // Same subject, another certificate.
    CertOptions options;
    options.not_after = 30L * 86400;
    const Signer second = make_signer(options);
    ASSERT_EQ(second.file_name(), first.file_name());
    const std::string file = cert_file(second);

    const RunResult r = key({"-A", file, "-f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nCannot add " + file +
                         ", a certificate of this person is already stored.\n\nData of existing certificate:\n\n");
    EXPECT_EQ(r.out, data_text(first, "VALID"));
    EXPECT_EQ(read_file(stored(first)), before);
}

TEST_F(QpmKey, AddOfAFileWithoutCertificateFails)
{
    const std::string junk = files / "junk.crt";
    write_file(junk, "not a certificate\n");
    RunResult r = key({"-A", junk, "-f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failure parsing " + junk + "\nFailure reading certificate " + junk + "\n");

    const std::string missing = files / "missing.crt";
    r = key({"-A", missing, "-f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failure reading certificate " + missing + "\n");
}

TEST_F(QpmKey, AddReplacesALinkInTheKeystoreInsteadOfWritingThroughIt)
{
    const Signer signer = make_signer();
    const std::string outside = files / "written-through";
    ASSERT_EQ(symlink(outside.c_str(), stored(signer).c_str()), 0);
    const RunResult r = key({"-A", cert_file(signer), "-f"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(file_exists(outside));
    EXPECT_FALSE(fs::is_symlink(stored(signer)));
    EXPECT_EQ(read_file(stored(signer)), read_file(cert_file(signer)));
}

TEST_F(QpmKey, AddReportsACopyThatCannotBeWritten)
{
    const Signer signer = make_signer();
    const std::string file = cert_file(signer);
    fs::remove(certstore());
    const RunResult r = key({"-A", file, "-f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nData of new certificate:\n\nFailed to open " + stored(signer) +
                         " for writing: No such file or directory\nFailure adding certificate\n");
}

TEST_F(QpmKey, ChangesWaitForTheInventoryLock)
{
    const Signer signer = make_signer();
    const std::string file = cert_file(signer);
    // lockf locks belong to a process: the child cannot take this one.
    const std::string lock = root.path() + "/var/lib/qpm/lock";
    UniqueFd fd(open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640));
    ASSERT_TRUE(fd);
    ASSERT_EQ(lockf(fd.get(), F_TLOCK, 0), 0);

    RunResult r = key({"-A", file, "-f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with("failed to lock inventory\n")) << r.err;
    EXPECT_FALSE(file_exists(stored(signer)));

    signer.install(certstore());
    r = key({"-D", hash_of(signer), "-f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with("failed to lock inventory\n")) << r.err;
    EXPECT_TRUE(file_exists(stored(signer)));

    // Listing changes nothing and takes no lock.
    r = key({"-L"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(QpmKey, ListOfAnEmptyKeystore)
{
    const RunResult r = key({"-L"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n");
    EXPECT_EQ(r.err, "Found 0 certificates\n");
}

TEST_F(QpmKey, ListSkipsWhatIsNotACertificate)
{
    const Signer signer = make_signer();
    signer.install(certstore());
    const Signer no_name =
        make_signer(with_subject({{"O", "Quendari Test"}, {"emailAddress", "anon@example.org"}}));
    no_name.install(certstore());
    write_file(certstore() + "/junk.txt", "not a certificate\n");
    fs::create_directories(certstore() + "/subdir");
    // Reading a FIFO would wait for a writer forever.
    ASSERT_EQ(mkfifo((certstore() + "/fifo").c_str(), 0644), 0);

    RunResult r = key({"-L"});
    EXPECT_EQ(r.status, 0);
    auto line = [](const std::string &a, const char *b, const char *c) {
        char text[256];
        std::snprintf(text, sizeof text, "%-8s %-35s %-35s\n", a.c_str(), b, c);
        return std::string(text);
    };
    const std::string head = line("Hash", "Name", "Mailaddress") + line("----", "----", "-----------");
    const std::string row = line(hash_of(signer), "Test Signer", "signer@example.org");
    // An absent name shows as "-".
    const std::string anon_row = line(hash_of(no_name), "-", "anon@example.org");
    // Directory order decides which certificate comes first.
    EXPECT_TRUE(r.out == "\n" + head + row + anon_row || r.out == "\n" + head + anon_row + row) << r.out;
    EXPECT_EQ(r.err, "Failure parsing " + certstore() + "/junk.txt\nFound 2 certificates\n");

    std::filesystem::remove(stored(no_name));
    r = key({"-L", "-v"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n" + data_text(signer, "VALID"));
    EXPECT_EQ(r.err, "Failure parsing " + certstore() + "/junk.txt\nFound 1 certificates\n");
}

TEST_F(QpmKey, DeleteAsksAndDefaultsToNo)
{
    const Signer signer = make_signer();
    signer.install(certstore());
    const std::string question = "Do you really want to remove this certificate from the keystore [y/N] ? ";
    const std::string shown = "\nData of certificate to be removed:\n\n";

    for (const char *answer : {"n\n", "\n", ""}) {
        const RunResult r = key({"-D", hash_of(signer)}, answer);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.err.starts_with(shown + question)) << r.err;
        EXPECT_TRUE(r.err.ends_with("Ok, not removing certificate\n")) << r.err;
        EXPECT_EQ(r.out, data_text(signer, "VALID"));
        EXPECT_TRUE(file_exists(stored(signer))) << "answer: " << answer;
    }

    const RunResult r = key({"-D", hash_of(signer)}, "y\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, shown + question + "\nOk, removed certificate\n");
    EXPECT_EQ(r.out, data_text(signer, "VALID") + "\n");
    EXPECT_FALSE(file_exists(stored(signer)));
}

TEST_F(QpmKey, DeleteWithForceAsksNothing)
{
    const Signer signer = make_signer();
    signer.install(certstore());
    RunResult r = key({"--delete", hash_of(signer), "--force"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "\nData of certificate to be removed:\n\nOk, removed certificate\n");
    EXPECT_FALSE(file_exists(stored(signer)));

    r = key({"-D", hash_of(signer), "-f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nCannot remove certificate, a certificate with this hash is not stored.\n");
}

TEST_F(QpmKey, DeleteTakesOnlyASubjectHash)
{
    const Signer signer = make_signer();
    const std::string not_stored = "\nCannot remove certificate, a certificate with this hash is not stored.\n";
    // Certificates at paths that a name other than eight hex digits would reach.
    const std::string outside = root.path() + "/var/lib/qpm/outside.crt";
    write_file(outside, cert_pem(signer.cert.get()));
    write_file(certstore() + "/123456789.crt", cert_pem(signer.cert.get()));
    write_file(certstore() + "/1234567g.crt", cert_pem(signer.cert.get()));

    for (const std::string hash : {"../outside", "123456789", "1234567g", "", "00000000"}) {
        const RunResult r = key({"-D", hash, "-f"});
        EXPECT_EQ(r.status, 1) << hash;
        EXPECT_EQ(r.err, not_stored) << hash;
    }
    EXPECT_TRUE(file_exists(outside));
    EXPECT_TRUE(file_exists(certstore() + "/123456789.crt"));
    EXPECT_TRUE(file_exists(certstore() + "/1234567g.crt"));
}

TEST_F(QpmKey, OneActionPerRun)
{
    for (const auto &args : {std::vector<std::string>{"-L", "-L"}, {"-L", "-D", "00000000"}, {"--list", "-A", "x"}}) {
        const RunResult r = key(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "More than one action specified\n");
        EXPECT_EQ(r.out, usage_text);
    }
    for (const auto &args : {std::vector<std::string>{}, {"-f", "-v"}}) {
        const RunResult r = key(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "No action specified\n");
        EXPECT_EQ(r.out, usage_text);
    }
}

TEST_F(QpmKey, VersionAndUnknownOptions)
{
    for (const char *option : {"--version", "-V"}) {
        const RunResult r = key({"-L", option});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "qpm-key 2.0.121\n");
        EXPECT_EQ(r.out, "");
    }
    const RunResult r = key({"-x", "-L"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Found 0 certificates\n");
}

TEST_F(QpmKey, HelpOrAMissingArgumentAnswersWithUsageAndStatusZero)
{
    for (const auto &args : {std::vector<std::string>{"-L", "-h"}, {"--help", "-A", "x"}, {"-f", "-A"}}) {
        const RunResult r = key(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        // The usage names the program as it was called.
        EXPECT_EQ(r.out.substr(r.out.find('\n')), usage_text.substr(usage_text.find('\n')));
    }
}

TEST_F(QpmKey, WithoutAnInventoryNothingHappens)
{
    fs::remove(root.path() + "/etc/qpm.conf");
    const RunResult r = key({"-L"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with("Failed to open local package inventory\n")) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(QpmKey, WritesNothingOutsideTheSystemRoot)
{
    const std::string host_certstore = "/var/lib/qpm/certstore";
    const bool host_had = file_exists(host_certstore);
    const std::vector<std::string> host_before = dir_names(host_certstore);

    const Signer signer = make_signer();
    const std::string file = cert_file(signer);
    const std::vector<std::string> files_before = dir_names(files.path());
    ASSERT_EQ(key({"-A", file}, "y\n").status, 0);
    ASSERT_EQ(key({"-L", "-v"}).status, 0);
    ASSERT_EQ(key({"-D", hash_of(signer)}, "y\n").status, 0);

    EXPECT_EQ(file_exists(host_certstore), host_had);
    EXPECT_EQ(dir_names(host_certstore), host_before);
    EXPECT_EQ(dir_names(files.path()), files_before);
    EXPECT_TRUE(dir_names(root.path() + "/work").empty());
    EXPECT_TRUE(dir_names(certstore()).empty());
}
