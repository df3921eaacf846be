#pragma once
// The package builder: turns a package source directory (qpk.conf and the
// trees data/, conf/, init/, dump/) into a signed .qpk file named by the
// package's unique name. A library so tests can make packages in-process;
// qpm-pack is its command line.
#include "util/raii.h"
#include "util/raii_openssl.h"

#include <optional>
#include <string>
#include <string_view>

namespace qpm {

// The description file at the top of a package source.
constexpr const char *QPK_CONF_NAME = "qpk.conf";

struct PackOptions {
    std::string source_dir;
    // Created when missing.
    std::string output_dir = ".";
    // The signer: PEM files, or PEM texts held in memory (a text wins over a
    // path). The key must be an unencrypted RSA key matching the certificate.
    std::string key_path;
    std::string cert_path;
    std::string key_pem;
    std::string cert_pem;
    // Build without eqpkRsaSigSubj and eqpkRsaSigData; key and certificate
    // are then not read.
    bool no_sign = false;
};

struct PackResult {
    std::string path;  // the package written, "<output_dir>/<puname>.qpk"
    std::string error; // one line saying why nothing was written; empty on success

    bool ok() const { return error.empty(); }
};

// Builds the package. On failure nothing is left in the output directory
// (an older package of the same name stays as it was).
PackResult qpm_pack_build(const PackOptions &options);

// The signer of `options` (key and certificate, as paths or PEM texts): an
// RSA key, its certificate and the certificate's subject.
struct PackSigner {
    EvpPkeyPtr key;
    X509Ptr cert;
    std::string subject;
    size_t signature_size = 0;
};

// nullopt, with the reason in `error`, when the key or the certificate cannot
// be read, the key is not RSA or does not match the certificate.
std::optional<PackSigner> qpm_pack_load_signer(const PackOptions &options, std::string &error);

// The RSA/SHA-1 signature (PKCS #1 v1.5) of `data`; nullopt with the reason
// in `error`.
std::optional<std::string> qpm_pack_sign(const PackSigner &signer, std::string_view data, std::string &error);

} // namespace qpm
