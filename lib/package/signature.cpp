#include "package/signature.h"
#include "package/signature_openssl.h"

#include "package/sha1.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/raii_openssl.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <array>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

namespace qpm {

namespace {

// The verifier reads at most this much of the payload per block.
constexpr size_t VERIFY_BLOCK = 8191;

struct tm local_time(time_t t)
{
    struct tm tm {};
    localtime_r(&t, &tm);
    return tm;
}

// Reads the digits text[pos, pos + n) as a number; nothing when one is not a digit.
std::optional<int> digits(std::string_view text, size_t pos, size_t n)
{
    int value = 0;
    for (size_t i = pos; i < pos + n; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// A keystore certificate as read from its file, with what the checks need.
struct ParsedSigner {
    X509Ptr cert;
    std::optional<std::string> subject;
    time_t not_before = 0;
    time_t not_after = 0;
    // The file it was read from, to notice one replaced during the run.
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime {};
    struct timespec ctime {};
};

bool same_file(const ParsedSigner &signer, const struct stat &st)
{
    return signer.dev == st.st_dev && signer.ino == st.st_ino && signer.size == st.st_size &&
           signer.mtime.tv_sec == st.st_mtim.tv_sec && signer.mtime.tv_nsec == st.st_mtim.tv_nsec &&
           signer.ctime.tv_sec == st.st_ctim.tv_sec && signer.ctime.tv_nsec == st.st_ctim.tv_nsec;
}

// The certificate in the keystore file `path`, parsed once per run: an
// install run checks many packages of one signer. A file changed since is
// read again; the validity dates are checked by the caller every time.
// Null when the file holds no certificate.
const ParsedSigner *read_signer(const std::string &path)
{
    // Made after OpenSSL was set up (the subject was parsed before), so it
    // is released before OpenSSL's own clean-up at exit.
    static std::unordered_map<std::string, ParsedSigner> cache;
    struct stat st {};
    const bool stated = ::stat(path.c_str(), &st) == 0;
    if (const auto found = cache.find(path); found != cache.end()) {
        if (stated && same_file(found->second, st))
            return &found->second;
        cache.erase(found);
    }
    FilePtr file = fopen_cloexec(path, "r");
    struct stat opened {};
    if (!file || ::fstat(fileno(file.get()), &opened) != 0)
        return nullptr;
    BioPtr bio(BIO_new_fp(file.get(), BIO_NOCLOSE));
    X509Ptr cert(bio ? PEM_read_bio_X509_AUX(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!cert)
        return nullptr;
    ParsedSigner signer;
    if (OsslCharPtr text(X509_NAME_oneline(X509_get_subject_name(cert.get()), nullptr, 0)); text)
        signer.subject = text.get();
    signer.not_before = asn1_utc_time(X509_get0_notBefore(cert.get()));
    signer.not_after = asn1_utc_time(X509_get0_notAfter(cert.get()));
    signer.cert = std::move(cert);
    signer.dev = opened.st_dev;
    signer.ino = opened.st_ino;
    signer.size = opened.st_size;
    signer.mtime = opened.st_mtim;
    signer.ctime = opened.st_ctim;
    return &(cache[path] = std::move(signer));
}

// What to do about a signer the keystore does not know.
std::string untrusted_signer_hint(const std::string &subject, const std::string &hash)
{
    const std::string root = have_system_root() ? "QPM_ROOT=" + system_root() + " " : std::string();
    return strprintf("Signer %s (subject hash %s) is not in the keystore; to trust it, add its certificate: "
                     "%sqpm-key -A CERTIFICATE.pem",
                     subject.c_str(), hash.c_str(), root.c_str());
}

// The certificate of `subject` from the keystore, checked for subject and
// validity; otherwise the status that says why not.
int load_signer(const std::string &certstore, const std::string &subject, time_t now,
                X509Ptr &out)
{
    X509NamePtr name = x509_str2subj(subject, MBSTRING_ASC, false);
    if (!name) {
        qlog(LL_INFO, "Failure parsing signer %s", subject.c_str());
        return QPS_UNTRUSTED;
    }
    const std::optional<std::string> hash = qps_subject_hash(name.get());
    if (!hash) {
        qlog(LL_INFO, "Failure parsing signer %s", subject.c_str());
        return QPS_UNTRUSTED;
    }
    const std::string path = strprintf("%s/%s.crt", certstore.c_str(), hash->c_str());
    qlog(LL_DEBUG, "qps_fverify_rsa: Will look for %s", path.c_str());

    const ParsedSigner *signer = read_signer(path);
    // A keystore file that holds no certificate trusts nobody.
    if (!signer) {
        qlog(LL_INFO, "Failure reading %s\n", path.c_str());
        qlog(LL_INFO, "%s", untrusted_signer_hint(subject, *hash).c_str());
        return QPS_UNTRUSTED;
    }
    if (!signer->subject || subject != *signer->subject) {
        qlog(LL_INFO, "Subjects do not match");
        return QPS_UNTRUSTED;
    }

    const time_t not_before = signer->not_before;
    const time_t not_after = signer->not_after;
    const struct tm from = local_time(not_before);
    qlog(LL_DEBUG, "qps_vferify_rsa: Valid from: %4d-%02d-%02d %02d:%02d:%02d",
         from.tm_year + 1900, from.tm_mon + 1, from.tm_mday, from.tm_hour, from.tm_min, from.tm_sec);
    const struct tm until = local_time(not_after);
    qlog(LL_DEBUG, "qps_vferify_rsa: Valid until: %4d-%02d-%02d %02d:%02d:%02d",
         until.tm_year + 1900, until.tm_mon + 1, until.tm_mday, until.tm_hour, until.tm_min,
         until.tm_sec);
    if (now < not_before) {
        qlog(LL_INFO, "Certificate is not yet valid");
        return QPS_NOT_YET_VALID;
    }
    if (not_after < now) {
        qlog(LL_INFO, "Certificate has expired");
        return QPS_EXPIRED;
    }
    qlog(LL_DEBUG, "qps_vferify_rsa: Certificate is valid");
    if (X509_up_ref(signer->cert.get()) != 1)
        return QPS_NOT_CHECKED;
    out.reset(signer->cert.get());
    return QPS_VERIFIED;
}

int verify_stream(const std::string &certstore, const std::string &subject,
                  std::string_view signature, FILE *stream)
{
    SignatureCheck check;
    if (const int rc = check.begin(certstore, subject, signature); rc != QPS_VERIFIED)
        return rc;
    if (!stream) {
        qlog(LL_INFO, "read erro in BIO_read");
        return QPS_NOT_CHECKED;
    }
    std::vector<unsigned char> buf(VERIFY_BLOCK + 1);
    for (;;) {
        const size_t got = std::fread(buf.data(), 1, VERIFY_BLOCK, stream);
        if (got > 0 && !check.update(buf.data(), got))
            return QPS_NOT_CHECKED;
        if (got < VERIFY_BLOCK) {
            if (std::ferror(stream)) {
                qlog(LL_INFO, "read erro in BIO_read");
                return QPS_NOT_CHECKED;
            }
            break;
        }
    }
    return check.finish();
}

} // namespace

struct SignatureCheck::State {
    EvpMdCtxPtr ctx;
    std::string signature;
    long long total = 0;
    bool ok = false;
};

SignatureCheck::SignatureCheck() = default;
SignatureCheck::~SignatureCheck() = default;

int SignatureCheck::begin(const std::string &certstore, const std::string &subject, std::string_view signature)
{
    // Whatever failed is told by the status: no stale errors left behind.
    const ScopeGuard clear_errors([] { ERR_clear_error(); });
    m_state.reset();
    const time_t now = std::time(nullptr);
    qlog(LL_DEBUG, "qps_fverify_rsa: verifiy of %s", subject.c_str());
    qps_bio_err();

    X509Ptr cert;
    if (const int rc = load_signer(certstore, subject, now, cert); rc != QPS_VERIFIED)
        return rc;

    EvpPkeyPtr key(X509_get_pubkey(cert.get()));
    if (!key) {
        qlog(LL_INFO, "failure loading public key");
        return QPS_NOT_CHECKED;
    }
    qlog(LL_DEBUG, "X509_get_pubkey: Successfully loaded public key");

    auto state = std::make_unique<State>();
    state->ctx.reset(EVP_MD_CTX_new());
    if (!state->ctx) {
        qlog(LL_INFO, "failure loading signature");
        return QPS_NOT_CHECKED;
    }
    qlog(LL_DEBUG, "BIO_get_md_ctx: Successfully loaded signature");
    if (!ossl_ok(EVP_DigestVerifyInit(state->ctx.get(), nullptr, EVP_sha1(), nullptr, key.get()))) {
        qlog(LL_INFO, "EVP_DigestVerifyInit: failure initializing signature");
        return QPS_NOT_CHECKED;
    }
    state->signature.assign(signature);
    state->ok = true;
    m_state = std::move(state);
    return QPS_VERIFIED;
}

bool SignatureCheck::update(const void *data, size_t size)
{
    if (!m_state || !m_state->ok)
        return false;
    if (EVP_DigestVerifyUpdate(m_state->ctx.get(), data, size) != 1) {
        m_state->ok = false;
        ERR_clear_error();
        return false;
    }
    m_state->total += static_cast<long long>(size);
    return true;
}

int SignatureCheck::finish()
{
    if (!m_state || !m_state->ok)
        return QPS_NOT_CHECKED;
    const std::unique_ptr<State> state = std::move(m_state);
    qlog(LL_DEBUG, "qps_vferify_rsa: Got %d bytes of package data",
         static_cast<int>(std::min<long long>(state->total, INT_MAX)));
    const int rc = EVP_DigestVerifyFinal(state->ctx.get(),
                                         reinterpret_cast<const unsigned char *>(state->signature.data()),
                                         state->signature.size());
    ERR_clear_error();
    if (rc >= 1) {
        qlog(LL_DEBUG, "Package signature succesfuly verified");
        return QPS_VERIFIED;
    }
    qlog(LL_ERROR, "Failure verifiying package signature");
    return QPS_INVALID;
}

BIO *qps_bio_err()
{
    static BioPtr stream(BIO_new_fp(stderr, BIO_NOCLOSE));
    return stream.get();
}

int qps_fverify_rsa(const std::string &certstore, const std::string &subject,
                    std::string_view signature, FILE *stream)
{
    const int rc = verify_stream(certstore, subject, signature, stream);
    // Whatever failed is reported by the status; leave no stale errors behind.
    ERR_clear_error();
    return rc;
}

std::optional<std::string> qps_sha1_file(const std::string &path, char mode)
{
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    Sha1Stream sha;
    if (!sha.update_from(fd.get()))
        return std::nullopt;
    const std::optional<Sha1::Digest> digest = sha.final();
    if (!digest)
        return std::nullopt;
    return sha1_format(*digest, mode);
}

X509NamePtr x509_str2subj(std::string_view text, int string_type, bool allow_multi)
{
    BIO *err = qps_bio_err();
    if (text.empty() || text.front() != '/') {
        BIO_printf(err, "Subject does not start with '/'.\n");
        return nullptr;
    }

    struct Element {
        std::string type;
        std::string value;
        int set = 0; // -1: same set as the element before
    };
    std::vector<Element> elements;
    size_t pos = 1;
    int next_set = 0;
    // Collects up to an unescaped stop character; false on a trailing backslash.
    auto collect = [&](std::string &to, auto is_stop) {
        while (pos < text.size()) {
            const char c = text[pos++];
            if (c == '\\') {
                if (pos >= text.size()) {
                    BIO_printf(err, "escape character at end of string\n");
                    return false;
                }
                to += text[pos++];
            } else if (is_stop(c)) {
                return true;
            } else {
                to += c;
            }
        }
        return true;
    };

    while (pos < text.size()) {
        Element element;
        element.set = std::exchange(next_set, 0);
        char stop = 0;
        if (!collect(element.type, [&](char c) { return c == '=' ? (stop = c, true) : false; }))
            return nullptr;
        if (stop != '=') {
            BIO_printf(err,
                       "end of string encountered while processing type of subject name element #%d\n",
                       static_cast<int>(elements.size()));
            return nullptr;
        }
        if (!collect(element.value, [&](char c) {
                if (c == '/')
                    return true;
                if (c == '+' && allow_multi) {
                    next_set = -1;
                    return true;
                }
                return false;
            }))
            return nullptr;
        elements.push_back(std::move(element));
    }

    X509NamePtr name(X509_NAME_new());
    if (!name) {
        BIO_printf(err, "malloc error\n");
        return nullptr;
    }
    for (const Element &element : elements) {
        const int nid = OBJ_txt2nid(element.type.c_str());
        if (nid == NID_undef) {
            BIO_printf(err, "Subject Attribute %s has no known NID, skipped\n", element.type.c_str());
            continue;
        }
        if (element.value.empty()) {
            BIO_printf(err, "No value provided for Subject Attribute %s, skipped\n",
                       element.type.c_str());
            continue;
        }
        if (!ossl_ok(X509_NAME_add_entry_by_NID(
                name.get(), nid, string_type,
                reinterpret_cast<const unsigned char *>(element.value.data()),
                static_cast<int>(element.value.size()), -1, element.set))) {
            ERR_clear_error();
            return nullptr;
        }
    }
    return name;
}

std::optional<std::string> qps_subject_hash(const X509_NAME *name)
{
    int ok = 0;
    const unsigned long hash = X509_NAME_hash_ex(name, nullptr, nullptr, &ok);
    if (!ok) {
        ERR_clear_error();
        return std::nullopt;
    }
    return strprintf("%08lx", hash);
}

time_t asn1_utc_time(int type, std::string_view text)
{
    if (text.size() < 12)
        return 0;
    const bool two_digit_year = type == V_ASN1_UTCTIME;
    const size_t year_len = two_digit_year ? 2 : 4;
    if (text.size() < year_len + 10)
        return 0;

    std::optional<int> year = digits(text, 0, year_len);
    const std::optional<int> month = digits(text, year_len, 2);
    const std::optional<int> day = digits(text, year_len + 2, 2);
    const std::optional<int> hour = digits(text, year_len + 4, 2);
    const std::optional<int> minute = digits(text, year_len + 6, 2);
    const std::optional<int> second = digits(text, year_len + 8, 2);
    if (!year || !month || !day || !hour || !minute || !second)
        return 0;
    if (*month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 ||
        *second > 60)
        return 0;
    // Two-digit years as certificates define them: 50-99 are 19xx, 00-49 20xx.
    if (two_digit_year)
        *year += *year < 50 ? 2000 : 1900;

    struct tm tm {};
    tm.tm_year = *year - 1900;
    tm.tm_mon = *month - 1;
    tm.tm_mday = *day;
    tm.tm_hour = *hour;
    tm.tm_min = *minute;
    tm.tm_sec = *second;
    // The time is UTC: no detour through local time and its daylight saving.
    return timegm(&tm);
}

time_t asn1_utc_time(const ASN1_TIME *time)
{
    if (!time)
        return 0;
    const int length = ASN1_STRING_length(time);
    if (length <= 0)
        return 0;
    const std::string_view text(reinterpret_cast<const char *>(ASN1_STRING_get0_data(time)),
                                static_cast<size_t>(length));
    return asn1_utc_time(ASN1_STRING_type(time), text);
}

long utc_offset()
{
    const time_t now = std::time(nullptr);
    struct tm local {};
    if (!localtime_r(&now, &local))
        return 0;
    return local.tm_gmtoff;
}

} // namespace qpm
