#pragma once
// Package signatures and digests: the RSA/SHA-1 check of a package payload
// against the keystore, SHA-1 digests of files, subject texts as X.509 names
// and certificate times as epoch seconds.
#include "util/raii.h"

#include <cstdio>
#include <ctime>
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

// SHA-1 of a file with OpenSSL's digest, read piece by piece: 40 lower-case
// hex digits in mode 'x', else the 20 raw bytes. Nothing when the file cannot
// be opened or read.
std::optional<std::string> qps_sha1_file(const std::string &path, char mode);

// Parses "/type=value/type=value..." into a new X.509 name; null on a parse
// failure (the reason is printed on the OpenSSL error stream). With
// `allow_multi`, an unescaped '+' joins the next element to the same set.
X509NamePtr x509_str2subj(std::string_view text, int string_type, bool allow_multi);

// The keystore file name stem of a subject: X509_NAME_hash_ex as "%08lx";
// nothing when the name cannot be hashed.
std::optional<std::string> qps_subject_hash(const X509_NAME *name);

// Seconds since the epoch of a certificate time (UTCTime or GeneralizedTime,
// taken as UTC); 0 when the text is too short or not a time.
time_t asn1_utc_time(const ASN1_TIME *time);
// The same from the ASN.1 string type (V_ASN1_UTCTIME 23 or
// V_ASN1_GENERALIZEDTIME 24) and the time text.
time_t asn1_utc_time(int type, std::string_view text);

// The local time zone's current offset from UTC in seconds (local minus UTC).
long utc_offset();

// The process-wide OpenSSL error stream (standard error), made on first use.
BIO *qps_bio_err();

} // namespace qpm
