#include "support/certs.h"

#include "package/signature_openssl.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <openssl/pem.h>

namespace qpm::test {

namespace {

std::string bio_text(BIO *bio)
{
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

bool set_time(ASN1_TIME *field, long offset, const std::optional<time_t> &at)
{
    if (at)
        return ASN1_TIME_set(field, *at) != nullptr;
    return X509_gmtime_adj(field, offset) != nullptr;
}

} // namespace

EvpPkeyPtr make_rsa_key(int bits)
{
    EvpPkeyPtr key(EVP_RSA_gen(static_cast<unsigned int>(bits)));
    if (!key)
        ADD_FAILURE() << "RSA key generation failed: " << ossl_take_error();
    return key;
}

EVP_PKEY *shared_rsa_key()
{
    static EvpPkeyPtr key = make_rsa_key(2048);
    return key.get();
}

X509Ptr make_certificate(EVP_PKEY *key, const CertOptions &options)
{
    static long serial = 1;
    X509Ptr cert(X509_new());
    if (!cert || !key) {
        ADD_FAILURE() << "no certificate or key";
        return nullptr;
    }
    X509_NAME *name = X509_get_subject_name(cert.get());
    bool ok = ossl_ok(X509_set_version(cert.get(), X509_VERSION_3)) &&
              ossl_ok(ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++));
    for (const auto &[type, value] : options.subject) {
        ok = ok && ossl_ok(X509_NAME_add_entry_by_txt(
                       name, type.c_str(), MBSTRING_ASC,
                       reinterpret_cast<const unsigned char *>(value.data()),
                       static_cast<int>(value.size()), -1, 0));
    }
    ok = ok && ossl_ok(X509_set_issuer_name(cert.get(), name)) &&
         set_time(X509_getm_notBefore(cert.get()), options.not_before, options.not_before_at) &&
         set_time(X509_getm_notAfter(cert.get()), options.not_after, options.not_after_at) &&
         ossl_ok(X509_set_pubkey(cert.get(), key)) &&
         ossl_ok(X509_sign(cert.get(), key, EVP_sha256()));
    if (!ok) {
        ADD_FAILURE() << "certificate creation failed: " << ossl_take_error();
        return nullptr;
    }
    return cert;
}

std::string cert_subject(const X509 *cert)
{
    OsslCharPtr text(X509_NAME_oneline(X509_get_subject_name(cert), nullptr, 0));
    return text ? std::string(text.get()) : std::string();
}

std::string keystore_file_name(const X509 *cert)
{
    const std::optional<std::string> hash = qps_subject_hash(X509_get_subject_name(cert));
    return hash ? *hash + ".crt" : std::string();
}

std::string cert_pem(const X509 *cert)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !ossl_ok(PEM_write_bio_X509(bio.get(), cert)))
        return {};
    return bio_text(bio.get());
}

std::string key_pem(const EVP_PKEY *key)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        !ossl_ok(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)))
        return {};
    return bio_text(bio.get());
}

namespace {

// Signs what `feed` passes to the context; empty on error.
template <class Feed>
std::string sign_with(EVP_PKEY *key, Feed feed)
{
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    size_t length = 0;
    if (!ctx || !ossl_ok(EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha1(), nullptr, key)) ||
        !feed(ctx.get()) || !ossl_ok(EVP_DigestSignFinal(ctx.get(), nullptr, &length))) {
        ADD_FAILURE() << "signing failed: " << ossl_take_error();
        return {};
    }
    std::string signature(length, '\0');
    if (!ossl_ok(EVP_DigestSignFinal(ctx.get(), reinterpret_cast<unsigned char *>(signature.data()),
                                     &length))) {
        ADD_FAILURE() << "signing failed: " << ossl_take_error();
        return {};
    }
    signature.resize(length);
    return signature;
}

} // namespace

std::string sign_sha1(EVP_PKEY *key, std::string_view data)
{
    return sign_with(key, [&](EVP_MD_CTX *ctx) {
        return ossl_ok(EVP_DigestSignUpdate(ctx, data.data(), data.size()));
    });
}

std::optional<std::string> sign_sha1_file(EVP_PKEY *key, const std::string &path, long offset)
{
    FilePtr file = fopen_cloexec(path, "rb");
    if (!file || std::fseek(file.get(), offset, SEEK_SET) != 0)
        return std::nullopt;
    bool read_ok = true;
    std::string signature = sign_with(key, [&](EVP_MD_CTX *ctx) {
        char buf[8192];
        size_t got;
        while ((got = std::fread(buf, 1, sizeof buf, file.get())) > 0) {
            if (!ossl_ok(EVP_DigestSignUpdate(ctx, buf, got)))
                return false;
        }
        read_ok = !std::ferror(file.get());
        return read_ok;
    });
    if (signature.empty() || !read_ok)
        return std::nullopt;
    return signature;
}

std::string Signer::install(const std::string &certstore) const
{
    const std::string path = certstore + "/" + file_name();
    write_file(path, cert_pem(cert.get()));
    return path;
}

void Signer::write_pem(const std::string &cert_path, const std::string &key_path) const
{
    write_file(cert_path, cert_pem(cert.get()));
    write_file(key_path, key_pem(key.get()));
}

Signer make_signer(const CertOptions &options, EVP_PKEY *key)
{
    Signer signer;
    EVP_PKEY *use = key ? key : shared_rsa_key();
    if (!use || !ossl_ok(EVP_PKEY_up_ref(use))) {
        ADD_FAILURE() << "no signing key";
        return signer;
    }
    signer.key.reset(use);
    signer.cert = make_certificate(use, options);
    return signer;
}

} // namespace qpm::test
