#pragma once
// Signer keys and certificates made in-process for tests: an RSA key, a
// self-signed X.509 certificate with a chosen subject and validity, their PEM
// texts, the keystore file name, and RSA/SHA-1 signatures as packages carry
// them (the raw signature bytes of `eqpkRsaSigData`).
#include "util/raii_openssl.h"

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qpm::test {

// One subject element in order, e.g. {"CN", "Test Signer"}.
using SubjectEntry = std::pair<std::string, std::string>;

struct CertOptions {
    std::vector<SubjectEntry> subject = {{"C", "QD"},
                                         {"O", "Quendari Test"},
                                         {"CN", "Test Signer"},
                                         {"emailAddress", "signer@example.org"}};
    // Validity relative to now, in seconds...
    long not_before = -3600;
    long not_after = 365L * 86400;
    // ...unless an absolute time is given (years from 2050 on are written as
    // GeneralizedTime, earlier ones as UTCTime).
    std::optional<time_t> not_before_at;
    std::optional<time_t> not_after_at;
};

// A new RSA key; null (and a test failure) when it cannot be made.
EvpPkeyPtr make_rsa_key(int bits = 2048);
// One 2048-bit key made on first use and shared by the whole test process:
// key generation is the slow part, certificates are cheap.
EVP_PKEY *shared_rsa_key();

// A self-signed certificate of `key`; null (and a test failure) on error.
X509Ptr make_certificate(EVP_PKEY *key, const CertOptions &options = {});

// The subject in X509_NAME_oneline form, as `eqpkRsaSigSubj` holds it.
std::string cert_subject(const X509 *cert);
// "<subject hash>.crt", the certificate's file name in a keystore.
std::string keystore_file_name(const X509 *cert);
std::string cert_pem(const X509 *cert);
std::string key_pem(const EVP_PKEY *key);

// Raw RSA (PKCS #1 v1.5) signature over SHA-1 of `data`; empty on error.
std::string sign_sha1(EVP_PKEY *key, std::string_view data);
// The same over a file from byte `offset` to its end (a package's payload).
std::optional<std::string> sign_sha1_file(EVP_PKEY *key, const std::string &path, long offset = 0);

// A key with its certificate.
struct Signer {
    EvpPkeyPtr key;
    X509Ptr cert;

    explicit operator bool() const { return key && cert; }
    std::string subject() const { return cert_subject(cert.get()); }
    std::string file_name() const { return keystore_file_name(cert.get()); }
    std::string sign(std::string_view data) const { return sign_sha1(key.get(), data); }
    // Writes the certificate as "<certstore>/<hash>.crt"; returns that path.
    std::string install(const std::string &certstore) const;
    // Writes the certificate and the unencrypted private key as PEM files.
    void write_pem(const std::string &cert_path, const std::string &key_path) const;
};

// A signer with the shared key unless `key` is given (the signer takes its
// own reference).
Signer make_signer(const CertOptions &options = {}, EVP_PKEY *key = nullptr);

} // namespace qpm::test
