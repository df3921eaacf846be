#include "keystore.h"

#include "package/signature_openssl.h"
#include "ui/ui.h"
#include "util/files.h"
#include "util/raii.h"
#include "util/raii_openssl.h"
#include "util/strfmt.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/pem.h>

namespace qpm {
namespace {

// The common name is read into a buffer of this size: at most 255 characters.
constexpr size_t NAME_BUFSIZE = 256;
// Certificates are public; the verifier only needs to read them.
constexpr mode_t CERT_MODE = 0644;

const char *const UI_TITLE = "qpm: Quendari Package Manager";

std::string certstore_of(const qpm_handle *qpm)
{
    return qpm ? qpm->dirs.certstore : std::string();
}

std::string local_time_text(time_t t)
{
    struct tm tm {};
    char text[64] = "";
    if (localtime_r(&t, &tm))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

// Asks the user before a change. Nothing when the interface cannot start.
std::optional<bool> confirm(const char *question, int def)
{
    std::fflush(stdout);
    if (!qpmui)
        qpmui = qpmui_init(UI_TITLE, 0);
    if (!qpmui) {
        std::fputs("Failed to initualize user interface\n", stderr);
        return std::nullopt;
    }
    return qpmui_yesno(qpmui.get(), question, def) == 1;
}

// Before a change: the user's consent (unless forced), then the inventory
// lock. Nothing when the change may go ahead, else the status to end with.
std::optional<int> agree_and_lock(qpm_handle *qpm, bool force, const char *question, int def,
                                  const char *declined)
{
    if (!force) {
        const std::optional<bool> yes = confirm(question, def);
        if (!yes)
            return 1;
        if (!*yes) {
            std::fputs(declined, stderr);
            return 0;
        }
    }
    if (qpm_lock(qpm) != 0) {
        std::fputs("failed to lock inventory\n", stderr);
        return 1;
    }
    return std::nullopt;
}

} // namespace

EkvaPtr qpm_key_data(const std::string &path)
{
    FilePtr file = fopen_cloexec(path, "r");
    if (!file)
        return nullptr;
    BioPtr bio(BIO_new_fp(file.get(), BIO_NOCLOSE));
    X509Ptr cert(bio ? PEM_read_bio_X509_AUX(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    const time_t now = std::time(nullptr);
    X509_NAME *subject = cert ? X509_get_subject_name(cert.get()) : nullptr;
    OsslCharPtr oneline(subject ? X509_NAME_oneline(subject, nullptr, 0) : nullptr);
    const std::optional<std::string> hash = subject ? qps_subject_hash(subject) : std::nullopt;
    if (!oneline || !hash) {
        ossl_take_error();
        std::fprintf(stderr, "Failure parsing %s\n", path.c_str());
        return nullptr;
    }

    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_len = 0;
    if (!ossl_ok(X509_digest(cert.get(), EVP_sha1(), md, &md_len)) || md_len == 0) {
        ossl_take_error();
        std::fputs("Failure getting fingerprint\n", stderr);
        return nullptr;
    }
    std::string sha1 = strprintf("%02X", md[0]);
    for (unsigned int i = 1; i < md_len; ++i)
        sha1 += strprintf(":%02X", md[i]);

    char name[NAME_BUFSIZE] = "";
    const bool have_name = X509_NAME_get_text_by_NID(subject, NID_commonName, name, sizeof name) > 0;
    ossl_take_error(); // no common name leaves an entry behind

    const time_t not_before = asn1_utc_time(X509_get0_notBefore(cert.get()));
    const time_t not_after = asn1_utc_time(X509_get0_notAfter(cert.get()));
    const char *status = "VALID";
    if (now < not_before)
        status = "NOT_YET_VALID";
    else if (not_after < now)
        status = "EXPIRED";

    EmailStackPtr mails(X509_get1_email(cert.get()));
    const char *mail = mails && sk_OPENSSL_STRING_num(mails.get()) > 0
                           ? sk_OPENSSL_STRING_value(mails.get(), 0)
                           : nullptr;

    EkvaPtr summary = ekva_init(16);
    ekva_addval(summary, "subject", oneline.get(), EKVA_APPEND);
    if (have_name && name[0]) // an empty common name counts as none
        ekva_addval(summary, "name", name, EKVA_APPEND);
    ekva_addval(summary, "hash", *hash, EKVA_APPEND);
    ekva_addval(summary, "sha1", sha1, EKVA_APPEND);
    ekva_addval(summary, "status", status, EKVA_APPEND);
    ekva_addval(summary, "not_before_unix", strprintf("%ld", static_cast<long>(not_before)), EKVA_APPEND);
    ekva_addval(summary, "not_after_unix", strprintf("%ld", static_cast<long>(not_after)), EKVA_APPEND);
    ekva_addval(summary, "not_before_text", local_time_text(not_before), EKVA_APPEND);
    ekva_addval(summary, "not_after_text", local_time_text(not_after), EKVA_APPEND);
    if (mail && *mail)
        ekva_addval(summary, "mail", mail, EKVA_APPEND);
    return summary;
}

void print_key_data(const Ekva *summary)
{
    if (!summary)
        return;
    auto value = [summary](const char *key) {
        const char *v = ekva_getval(summary, key);
        return v ? v : "";
    };
    const char *name = ekva_getval(summary, "name");
    const char *mail = ekva_getval(summary, "mail");
    if (name && mail) {
        std::printf("Name        : %s\n", name);
        std::printf("Mail Address: %s\n", mail);
    } else {
        std::printf("Subject     : %s\n", value("subject"));
    }
    std::printf("Hash        : %s\n", value("hash"));
    std::printf("Fingerprint : %s\n", value("sha1"));
    std::printf("Valid from  : %s\n", value("not_before_text"));
    std::printf("Valid until : %s\n", value("not_after_text"));
    std::printf("Status      : %s\n", value("status"));
    std::printf("\n");
}

int qpm_key_lst(const qpm_handle *qpm, bool verbose)
{
    const std::string certstore = certstore_of(qpm);
    const std::optional<DirNames> listing = list_directory(certstore);
    if (!listing) {
        const int err = errno;
        std::fprintf(stderr, "Failure opening <%s> for reading: %s\n", certstore.c_str(), std::strerror(err));
        return -1;
    }

    std::printf("\n");
    int count = 0;
    for (const DirName &entry : listing->entries) {
        // Only regular files: opening a FIFO or a device for reading could hang.
        const std::string path = strprintf("%s/%s", certstore.c_str(), entry.name.c_str());
        struct stat st {};
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        const EkvaPtr summary = qpm_key_data(path);
        if (!summary)
            continue;
        if (verbose) {
            print_key_data(summary.get());
        } else {
            if (count == 0) {
                std::printf("%-8s %-35s %-35s\n", "Hash", "Name", "Mailaddress");
                std::printf("%-8s %-35s %-35s\n", "----", "----", "-----------");
            }
            const char *name = ekva_getval(summary.get(), "name");
            const char *mail = ekva_getval(summary.get(), "mail");
            std::printf("%-8s %-35s %-35s\n", ekva_getval(summary.get(), "hash"), name ? name : "-",
                        mail ? mail : "-");
        }
        ++count;
    }
    std::fflush(stdout);
    std::fprintf(stderr, "Found %d certificates\n", count);
    if (listing->close_error)
        std::fprintf(stderr, "Failure closing <%s>: %s\n", certstore.c_str(), std::strerror(listing->close_error));
    return count;
}

long long filecpy(const std::string &destination, const std::string &source)
{
    UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) {
        const int err = errno;
        std::fprintf(stderr, "Failed to open %s for reading: %s\n", source.c_str(), std::strerror(err));
        return -1;
    }

    // The copy is made under a hidden name beside the destination and renamed
    // over it only when whole: a failed copy never leaves half a certificate.
    CopyError err;
    const long long total = copy_replace(
        in.get(), destination, {.bits = CERT_MODE, .create_mode = 0600, .bits_required = true, .sync = true}, err);
    switch (err.step) {
    case CopyStep::none:
        return total;
    case CopyStep::create:
        std::fprintf(stderr, "Failed to open %s for writing: %s\n", destination.c_str(), std::strerror(err.errnum));
        break;
    case CopyStep::read:
        std::fprintf(stderr, "Failed to read %s: %s\n", source.c_str(), std::strerror(err.errnum));
        break;
    default:
        std::fprintf(stderr, "Failed to write %s: %s\n", destination.c_str(), std::strerror(err.errnum));
        break;
    }
    return -1;
}

bool qpm_key_hash_valid(const std::string &hash)
{
    if (hash.size() != 8)
        return false;
    for (const char c : hash) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

int qpm_key_add(qpm_handle *qpm, const std::string &file, bool force)
{
    const EkvaPtr cert = qpm_key_data(file);
    if (!cert) {
        std::fprintf(stderr, "Failure reading certificate %s\n", file.c_str());
        return 1;
    }
    const std::string target =
        strprintf("%s/%s.crt", certstore_of(qpm).c_str(), ekva_getval(cert.get(), "hash"));

    if (const EkvaPtr stored = qpm_key_data(target)) {
        std::fprintf(stderr, "\nCannot add %s, a certificate of this person is already stored.\n\n",
                     file.c_str());
        std::fputs("Data of existing certificate:\n\n", stderr);
        print_key_data(stored.get());
        return 1;
    }
    const char *status = ekva_getval(cert.get(), "status");
    if (!status || std::strcmp(status, "VALID") != 0) {
        std::fprintf(stderr, "\nCannot add %s, is not valid.\n\n", file.c_str());
        std::fputs("\nData of new certificate:\n\n", stderr);
        print_key_data(cert.get());
        return 1;
    }
    if (!ekva_getval(cert.get(), "name") || !ekva_getval(cert.get(), "mail")) {
        std::fprintf(stderr, "\nCannot add %s, does not contain a name and an email adrress.\n\n",
                     file.c_str());
        std::fputs("\nData of new certificate:\n\n", stderr);
        print_key_data(cert.get());
        return 1;
    }

    std::fputs("\nData of new certificate:\n\n", stderr);
    print_key_data(cert.get());
    if (const std::optional<int> status = agree_and_lock(
            qpm, force, "Do you want to add this certificate to the keystore", 1, "Ok, not adding certificate\n"))
        return *status;
    const long long copied = filecpy(target, file);
    if (copied <= 0) {
        std::fputs("Failure adding certificate\n", stderr);
        return 1;
    }
    std::fprintf(stderr, "Ok, added certificate, %lld bytes\n", copied);
    std::printf("\n");
    return 0;
}

int qpm_key_del(qpm_handle *qpm, const std::string &hash, bool force)
{
    // Anything but a subject hash could name a path outside the keystore.
    const std::string path = strprintf("%s/%s.crt", certstore_of(qpm).c_str(), hash.c_str());
    const EkvaPtr cert = qpm_key_hash_valid(hash) ? qpm_key_data(path) : nullptr;
    if (!cert) {
        std::fputs("\nCannot remove certificate, a certificate with this hash is not stored.\n", stderr);
        return 1;
    }

    std::fputs("\nData of certificate to be removed:\n\n", stderr);
    print_key_data(cert.get());
    if (const std::optional<int> status = agree_and_lock(
            qpm, force, "Do you really want to remove this certificate from the keystore", 0,
            "Ok, not removing certificate\n"))
        return *status;
    if (::unlink(path.c_str()) != 0) {
        const int err = errno;
        std::fprintf(stderr, "Failed removing certificate: %s\n", std::strerror(err));
        return 1;
    }
    std::fputs("Ok, removed certificate\n", stderr);
    std::printf("\n");
    return 0;
}

} // namespace qpm
