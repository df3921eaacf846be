#pragma once
// The part of package signatures that takes or hands out OpenSSL objects:
// subject texts as X.509 names, subject hashes, certificate times and the
// OpenSSL error stream. Defined in package/signature.cpp.
#include "package/signature.h"
#include "util/raii_openssl.h"

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace qpm {

// Parses "/type=value/type=value..." into a new X.509 name; null on a parse
// failure (the reason is printed on the OpenSSL error stream). With
// `allow_multi`, an unescaped '+' joins the next element to the same set.
X509NamePtr x509_str2subj(std::string_view text, int string_type, bool allow_multi);

// The keystore file name stem of a subject: X509_NAME_hash_ex as "%08lx";
// nothing when the name cannot be hashed.
std::optional<std::string> qps_subject_hash(const X509_NAME *name);

// Seconds since the epoch of a certificate time (UTCTime or GeneralizedTime,
// taken as UTC); 0 when the text is too short or not a time. The form taking
// the type and text is in package/signature.h.
time_t asn1_utc_time(const ASN1_TIME *time);

// The process-wide OpenSSL error stream (standard error), made on first use.
BIO *qps_bio_err();

} // namespace qpm
