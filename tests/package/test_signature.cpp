#include "package/signature_openssl.h"

#include "support/certs.h"
#include "support/test_support.h"
#include "util/raii_openssl.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <openssl/asn1.h>
#include <openssl/objects.h>

using namespace qpm;

namespace {

// Collects the log in a file (no syslog, no standard error) for the test.
class SignatureVerify : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(mkdir(certstore.c_str(), 0755), 0); }

    std::string log_text() const { return m_log.text(); }

    // Writes a file of an unsigned header followed by `payload` and verifies
    // from the payload on, as the package reader does.
    int verify(const std::string &subject, const std::string &signature, const std::string &payload)
    {
        const std::string path = dir / "pkg.qpk";
        test::write_file(path, header + payload);
        FilePtr file = fopen_cloexec(path, "rb");
        EXPECT_TRUE(file);
        EXPECT_EQ(std::fseek(file.get(), static_cast<long>(header.size()), SEEK_SET), 0);
        const int rc = qps_fverify_rsa(certstore, subject, signature, file.get());
        at_end = std::ftell(file.get()) == static_cast<long>(header.size() + payload.size());
        return rc;
    }

    test::ScratchDir dir;
    const std::string certstore = dir / "certstore";
    const std::string header = "EQPM20  123unsigned description";
    bool at_end = false;

private:
    test::LogFile m_log{dir / "qpm.log"};
};

std::string payload_bytes()
{
    // Spans several 8191-byte read blocks.
    std::string s(20000, '\0');
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>(i % 251);
    return s;
}

time_t utc_time_of(const char *text)
{
    Asn1TimePtr t(ASN1_TIME_new());
    EXPECT_EQ(ASN1_UTCTIME_set_string(t.get(), text), 1);
    return asn1_utc_time(t.get());
}

} // namespace

TEST_F(SignatureVerify, SignedPayloadFromTrustedSignerVerifies)
{
    const test::Signer signer = test::make_signer();
    ASSERT_TRUE(signer);
    signer.install(certstore);
    const std::string payload = payload_bytes();

    EXPECT_EQ(verify(signer.subject(), signer.sign(payload), payload), QPS_VERIFIED);
    EXPECT_TRUE(at_end);
    EXPECT_NE(log_text().find("qps_vferify_rsa: Got 20000 bytes of package data"), std::string::npos);
    EXPECT_NE(log_text().find("[DEBUG] Package signature succesfuly verified"), std::string::npos);
}

TEST_F(SignatureVerify, OneChangedPayloadByteIsInvalid)
{
    const test::Signer signer = test::make_signer();
    signer.install(certstore);
    std::string payload = payload_bytes();
    const std::string signature = signer.sign(payload);
    payload[12345] ^= 1;

    EXPECT_EQ(verify(signer.subject(), signature, payload), QPS_INVALID);
    EXPECT_NE(log_text().find("[ERROR] Failure verifiying package signature"), std::string::npos);
}

TEST_F(SignatureVerify, SignatureOfAnotherKeyIsInvalid)
{
    const test::Signer signer = test::make_signer();
    signer.install(certstore);
    EvpPkeyPtr other = test::make_rsa_key(1024);
    const std::string payload = "payload";

    EXPECT_EQ(verify(signer.subject(), test::sign_sha1(other.get(), payload), payload), QPS_INVALID);
}

TEST_F(SignatureVerify, SignerWithoutCertificateInKeystoreIsUntrusted)
{
    const test::Signer signer = test::make_signer();
    const std::string payload = "payload";

    EXPECT_EQ(verify(signer.subject(), signer.sign(payload), payload), QPS_UNTRUSTED);
    EXPECT_NE(log_text().find("Failure reading " + certstore + "/" + signer.file_name()),
              std::string::npos);
}

TEST_F(SignatureVerify, KeystoreFileWithoutCertificateIsUntrustedNotACrash)
{
    const test::Signer signer = test::make_signer();
    const std::string payload = "payload";
    for (const char *content : {"", "not a certificate\n", "-----BEGIN CERTIFICATE-----\nAAAA\n"}) {
        test::write_file(certstore + "/" + signer.file_name(), content);
        EXPECT_EQ(verify(signer.subject(), signer.sign(payload), payload), QPS_UNTRUSTED) << content;
    }
    EXPECT_NE(log_text().find("[INFO] Failure reading "), std::string::npos);
}

TEST_F(SignatureVerify, SubjectThatDoesNotParseIsUntrusted)
{
    test::CaptureFd err(2);
    EXPECT_EQ(verify("CN=No Slash", "sig", "payload"), QPS_UNTRUSTED);
    EXPECT_EQ(err.finish(), "Subject does not start with '/'.\n");
    EXPECT_NE(log_text().find("Failure parsing signer CN=No Slash"), std::string::npos);
}

TEST_F(SignatureVerify, CertificateSubjectMustMatchExactly)
{
    // The subject hash ignores case, so the differing subject finds this file.
    const test::Signer signer = test::make_signer();
    signer.install(certstore);
    std::string subject = signer.subject();
    const size_t pos = subject.find("Test Signer");
    ASSERT_NE(pos, std::string::npos);
    subject[pos] = 't';
    const std::string payload = "payload";

    EXPECT_EQ(verify(subject, signer.sign(payload), payload), QPS_UNTRUSTED);
    EXPECT_NE(log_text().find("Will look for " + certstore + "/" + signer.file_name()),
              std::string::npos);
    EXPECT_NE(log_text().find("[INFO] Subjects do not match"), std::string::npos);
}

TEST_F(SignatureVerify, CertificateOutsideItsValidityIsRefused)
{
    const std::string payload = "payload";
    test::CertOptions expired;
    expired.not_after = -1;
    const test::Signer old = test::make_signer(expired);
    old.install(certstore);
    EXPECT_EQ(verify(old.subject(), old.sign(payload), payload), QPS_EXPIRED);
    EXPECT_NE(log_text().find("Certificate has expired"), std::string::npos);

    test::CertOptions future;
    future.not_before = 3600;
    const test::Signer early = test::make_signer(future);
    early.install(certstore); // same subject: replaces the expired one
    EXPECT_EQ(verify(early.subject(), early.sign(payload), payload), QPS_NOT_YET_VALID);
    EXPECT_NE(log_text().find("Certificate is not yet valid"), std::string::npos);
}

TEST_F(SignatureVerify, KeystoreChangedDuringTheRunIsReadAgain)
{
    const std::string payload = "payload";
    const test::Signer first = test::make_signer();
    const std::string path = first.install(certstore);
    EXPECT_EQ(verify(first.subject(), first.sign(payload), payload), QPS_VERIFIED);
    EXPECT_EQ(verify(first.subject(), first.sign(payload), payload), QPS_VERIFIED);

    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_EQ(verify(first.subject(), first.sign(payload), payload), QPS_UNTRUSTED);
    EXPECT_NE(log_text().find("Failure reading " + path), std::string::npos);

    // Same subject, another key: only its own signatures verify now.
    const EvpPkeyPtr other_key = test::make_rsa_key();
    const test::Signer second = test::make_signer({}, other_key.get());
    ASSERT_EQ(second.install(certstore), path);
    EXPECT_EQ(verify(first.subject(), first.sign(payload), payload), QPS_INVALID);
    EXPECT_EQ(verify(second.subject(), second.sign(payload), payload), QPS_VERIFIED);
}

TEST_F(SignatureVerify, CertificateValidBeyond2049Verifies)
{
    test::CertOptions options;
    options.not_after_at = 2524608000 + 86400; // 2050-01-02, GeneralizedTime
    const test::Signer signer = test::make_signer(options);
    signer.install(certstore);
    const std::string payload = "payload";

    EXPECT_EQ(ASN1_STRING_type(X509_get0_notAfter(signer.cert.get())), V_ASN1_GENERALIZEDTIME);
    EXPECT_EQ(asn1_utc_time(X509_get0_notAfter(signer.cert.get())), 2524608000 + 86400);
    EXPECT_EQ(verify(signer.subject(), signer.sign(payload), payload), QPS_VERIFIED);
}

TEST_F(SignatureVerify, UnreadablePayloadIsNotChecked)
{
    const test::Signer signer = test::make_signer();
    signer.install(certstore);
    FilePtr write_only = fopen_cloexec(dir / "out", "w");
    ASSERT_TRUE(write_only);

    EXPECT_EQ(qps_fverify_rsa(certstore, signer.subject(), "sig", write_only.get()), QPS_NOT_CHECKED);
    EXPECT_NE(log_text().find("[INFO] read erro in BIO_read"), std::string::npos);
}

TEST(Asn1Time, TwoDigitYearsPivotAt50)
{
    EXPECT_EQ(utc_time_of("491231235959Z"), 2524607999); // 2049-12-31 23:59:59
    EXPECT_EQ(utc_time_of("500101000000Z"), -631152000); // 1950-01-01 00:00:00
    EXPECT_EQ(utc_time_of("700101000000Z"), 0);
    EXPECT_EQ(asn1_utc_time(V_ASN1_GENERALIZEDTIME, "20500101000000Z"), 2524608000);
}

TEST(Asn1Time, TimesAreUtcWhateverTheLocalZone)
{
    const test::ScopedTimeZone tz("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(asn1_utc_time(V_ASN1_UTCTIME, "240701120000Z"), 1719835200); // summer
    EXPECT_EQ(asn1_utc_time(V_ASN1_UTCTIME, "240101120000Z"), 1704110400); // winter
}

TEST(Asn1Time, ShortOrMalformedTextGivesZero)
{
    EXPECT_EQ(asn1_utc_time(V_ASN1_UTCTIME, "49123123595"), 0);
    EXPECT_EQ(asn1_utc_time(V_ASN1_GENERALIZEDTIME, "205001010000"), 0); // no seconds
    EXPECT_EQ(asn1_utc_time(V_ASN1_UTCTIME, "4912x1235959Z"), 0);
    EXPECT_EQ(asn1_utc_time(V_ASN1_UTCTIME, "491331235959Z"), 0); // month 13
}

TEST(UtcOffset, IsLocalMinusUtc)
{
    {
        const test::ScopedTimeZone tz("UTC0");
        EXPECT_EQ(utc_offset(), 0);
    }
    {
        const test::ScopedTimeZone tz("QST-3"); // three hours east of UTC all year
        EXPECT_EQ(utc_offset(), 3 * 3600);
    }
}

TEST(X509Subject, OnelineTextRoundTrips)
{
    const std::string text = "/C=QD/O=Quendari Test/CN=Test Signer/emailAddress=signer@example.org";
    X509NamePtr name = x509_str2subj(text, MBSTRING_ASC, false);
    ASSERT_TRUE(name);
    OsslCharPtr back(X509_NAME_oneline(name.get(), nullptr, 0));
    EXPECT_STREQ(back.get(), text.c_str());
    EXPECT_EQ(X509_NAME_entry_count(name.get()), 4);

    const std::optional<std::string> hash = qps_subject_hash(name.get());
    ASSERT_TRUE(hash);
    EXPECT_EQ(hash->size(), 8u);
    EXPECT_EQ(hash->find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(X509Subject, BackslashEscapesSlashAndPlus)
{
    X509NamePtr name = x509_str2subj("/O=A\\/B/CN=x\\+y", MBSTRING_ASC, true);
    ASSERT_TRUE(name);
    ASSERT_EQ(X509_NAME_entry_count(name.get()), 2);
    char cn[64];
    X509_NAME_get_text_by_NID(name.get(), NID_organizationName, cn, sizeof cn);
    EXPECT_STREQ(cn, "A/B");
    X509_NAME_get_text_by_NID(name.get(), NID_commonName, cn, sizeof cn);
    EXPECT_STREQ(cn, "x+y");
}

TEST(X509Subject, PlusJoinsSetOnlyWhenMultiValuedAllowed)
{
    X509NamePtr multi = x509_str2subj("/CN=a+O=b/C=QD", MBSTRING_ASC, true);
    ASSERT_TRUE(multi);
    ASSERT_EQ(X509_NAME_entry_count(multi.get()), 3);
    EXPECT_EQ(X509_NAME_ENTRY_set(X509_NAME_get_entry(multi.get(), 0)),
              X509_NAME_ENTRY_set(X509_NAME_get_entry(multi.get(), 1)));
    EXPECT_NE(X509_NAME_ENTRY_set(X509_NAME_get_entry(multi.get(), 1)),
              X509_NAME_ENTRY_set(X509_NAME_get_entry(multi.get(), 2)));

    X509NamePtr single = x509_str2subj("/CN=a+O=b", MBSTRING_ASC, false);
    ASSERT_TRUE(single);
    ASSERT_EQ(X509_NAME_entry_count(single.get()), 1);
    char cn[64];
    X509_NAME_get_text_by_NID(single.get(), NID_commonName, cn, sizeof cn);
    EXPECT_STREQ(cn, "a+O=b");
}

TEST(X509Subject, MalformedTextsAreRefusedOnTheErrorStream)
{
    const std::pair<const char *, const char *> cases[] = {
        {"CN=x", "Subject does not start with '/'.\n"},
        {"/CN=x\\", "escape character at end of string\n"},
        {"/CN=x/O", "end of string encountered while processing type of subject name element #1\n"},
    };
    for (const auto &[text, message] : cases) {
        test::CaptureFd err(2);
        EXPECT_FALSE(x509_str2subj(text, MBSTRING_ASC, false)) << text;
        EXPECT_EQ(err.finish(), message) << text;
    }
}

TEST(X509Subject, UnknownTypesAndEmptyValuesAreSkipped)
{
    test::CaptureFd err(2);
    X509NamePtr name = x509_str2subj("/bogusType=1/O=/CN=x", MBSTRING_ASC, false);
    EXPECT_EQ(err.finish(), "Subject Attribute bogusType has no known NID, skipped\n"
                            "No value provided for Subject Attribute O, skipped\n");
    ASSERT_TRUE(name);
    EXPECT_EQ(X509_NAME_entry_count(name.get()), 1);

    X509NamePtr empty = x509_str2subj("/", MBSTRING_ASC, false);
    ASSERT_TRUE(empty);
    EXPECT_EQ(X509_NAME_entry_count(empty.get()), 0);
}
