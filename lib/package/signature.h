#pragma once
// Package signatures and digests: the RSA/SHA-1 check of a package payload
// against the keystore, SHA-1 digests of files and certificate times as epoch
// seconds. What takes or returns OpenSSL objects is in
// package/signature_openssl.h, so that OpenSSL's headers reach only its users.
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qpm {

// Signature status of a package (its qpi's `eqpkSignature`).
constexpr int QPS_VERIFIED = 1;
constexpr int QPS_NOT_CHECKED = 0;
constexpr int QPS_MISSING = -1; // set by the callers: no subject or no signature
constexpr int QPS_UNTRUSTED = -2;
constexpr int QPS_INVALID = -3;
constexpr int QPS_EXPIRED = -4;
constexpr int QPS_NOT_YET_VALID = -5;

// Verifies `signature` (the raw RSA signature bytes, PKCS #1 v1.5 over SHA-1)
// over every byte of `stream` from its current position to its end, with the
// certificate of `subject` (X509_NAME_oneline form) found in the keystore
// directory `certstore` as "<certstore>/<subject hash>.crt". Returns one of
// the statuses above; the stream is left at its end.
int qps_fverify_rsa(const std::string &certstore, const std::string &subject,
                    std::string_view signature, FILE *stream);

// The same check fed piece by piece, for a reader that takes the payload in
// one pass for other work too (unpacking it, digesting the file).
class SignatureCheck {
public:
    SignatureCheck();
    ~SignatureCheck();
    SignatureCheck(const SignatureCheck &) = delete;
    SignatureCheck &operator=(const SignatureCheck &) = delete;

    // Finds and checks the signer's certificate: QPS_VERIFIED when the
    // check is ready for the payload, else the status that says why not.
    int begin(const std::string &certstore, const std::string &subject, std::string_view signature);
    // The next bytes of the payload; false once the check has failed.
    bool update(const void *data, size_t size);
    // The status over every byte fed since begin().
    int finish();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// SHA-1 of a file with OpenSSL's digest, read piece by piece: 40 lower-case
// hex digits in mode 'x', else the 20 raw bytes. Nothing when the file cannot
// be opened or read.
std::optional<std::string> qps_sha1_file(const std::string &path, char mode);

// Seconds since the epoch of a certificate time from its ASN.1 string type
// (V_ASN1_UTCTIME 23 or V_ASN1_GENERALIZEDTIME 24) and its text (taken as
// UTC); 0 when the text is too short or not a time.
time_t asn1_utc_time(int type, std::string_view text);

// The local time zone's current offset from UTC in seconds (local minus UTC).
long utc_offset();

} // namespace qpm
