#pragma once
// Owners of OpenSSL objects (see util/raii.h for the others).
#include "util/raii.h"

#include <memory>
#include <string>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace qpm {

// OpenSSL objects. Functions that hand out memory from OPENSSL_malloc
// (X509_NAME_oneline with no buffer, ...) are owned by OsslCharPtr.
inline void ossl_free_chars(char *p) { OPENSSL_free(p); }

using X509Ptr = std::unique_ptr<X509, Deleter<&X509_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, Deleter<&X509_NAME_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<&EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<&EVP_PKEY_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<&EVP_MD_CTX_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<&BIO_free_all>>;
using Asn1TimePtr = std::unique_ptr<ASN1_TIME, Deleter<&ASN1_TIME_free>>;
using OsslCharPtr = std::unique_ptr<char, Deleter<&ossl_free_chars>>;
// The e-mail list of X509_get1_email.
using EmailStackPtr = std::unique_ptr<STACK_OF(OPENSSL_STRING), Deleter<&X509_email_free>>;

// OpenSSL calls report success as 1 (some as any positive value); anything
// else is failure and leaves entries in the thread's error queue.
inline bool ossl_ok(int rc) { return rc > 0; }

// Empties OpenSSL's error queue and returns the text of the most recent entry
// ("" when the queue was empty), so one failure cannot be blamed on a later call.
std::string ossl_take_error();

} // namespace qpm
