#include "builder.h"

#include "package/qpk_info.h"
#include "package/sha1.h"
#include "record/ldif.h"
#include "util/files.h"
#include "util/kv.h"
#include "util/raii.h"
#include "util/raii_archive.h"
#include "util/raii_openssl.h"
#include "util/strarr.h"
#include "util/strfmt.h"

#include <archive.h>
#include <archive_entry.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

// The trees a source may hold, in payload order; info/ and hash/ follow them
// and are written here.
constexpr std::array<const char *, 4> SOURCE_TREES = {"data", "conf", "init", "dump"};
constexpr int TREE_DATA = 0;
constexpr int TREE_CONF = 1;

constexpr mode_t DEFAULT_FILE_MODE = 0644;
constexpr size_t MAX_DESCRIPTION = 99999; // five decimal digits in the header
constexpr size_t READ_PIECE = 256 * 1024;
constexpr int ARCHIVE_BLOCK = 64 * 1024;

// ---------------------------------------------------------------- description

struct Description {
    std::string name;
    std::optional<std::string> variant;
    std::string version;
    std::string architecture;
    std::optional<std::string> creator;
    std::string description;
    StrArr depends;
};

std::string errno_text(int err) { return std::strerror(err); }

// The whole file, or nothing with `error` set.
std::optional<std::string> read_text(const std::string &path, std::string &error)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        const int err = errno;
        error = strprintf("cannot open %s: %s", path.c_str(), errno_text(err).c_str());
        return std::nullopt;
    }
    std::string text;
    if (!read_all(fd.get(), text)) {
        const int err = errno;
        error = strprintf("cannot read %s: %s", path.c_str(), errno_text(err).c_str());
        return std::nullopt;
    }
    return text;
}

// Names, variants, versions and dependencies end up in paths, command lines
// and the package's unique name: the readers' rule, and no '_', which
// separates the parts of the unique name.
bool valid_ident(std::string_view text)
{
    return qpk_ident_valid(text) && text.find('_') == std::string_view::npos;
}

bool check_ident(const std::string &conf, const char *what, const std::string &value, std::string &error)
{
    if (valid_ident(value))
        return true;
    error = strprintf("%s: invalid %s \"%s\": use ASCII letters, digits and \"+.~@-:\", "
                      "not starting with '.'",
                      conf.c_str(), what, value.c_str());
    return false;
}

std::optional<Description> read_description(const std::string &conf, std::string &error)
{
    const std::optional<std::string> text = read_text(conf, error);
    if (!text)
        return std::nullopt;

    Description d;
    std::optional<std::string> name, version, architecture, description;
    std::unordered_set<std::string> seen_depends;
    int number = 0;
    std::string_view rest = *text;
    while (!rest.empty()) {
        const size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#')
            continue;

        const KeyValue kv = _split_line(line);
        if (kv.key.empty()) {
            error = strprintf("%s:%d: not a key=value line", conf.c_str(), number);
            return std::nullopt;
        }
        // Keys match without regard to case, as record keys do everywhere.
        std::string key = kv.key;
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (key == "depends") {
            for (const std::string &dep : str2arr_trim(kv.value, ',')) {
                if (dep.empty())
                    continue;
                if (!check_ident(conf, "dependency", dep, error))
                    return std::nullopt;
                if (seen_depends.insert(dep).second)
                    d.depends.push_back(dep);
            }
            continue;
        }
        std::optional<std::string> *slot = nullptr;
        if (key == "name")
            slot = &name;
        else if (key == "version")
            slot = &version;
        else if (key == "variant")
            slot = &d.variant;
        else if (key == "architecture")
            slot = &architecture;
        else if (key == "creator")
            slot = &d.creator;
        else if (key == "description")
            slot = &description;
        if (!slot) {
            error = strprintf("%s:%d: unknown key %s", conf.c_str(), number, kv.key.c_str());
            return std::nullopt;
        }
        if (*slot) {
            error = strprintf("%s:%d: %s given twice", conf.c_str(), number, kv.key.c_str());
            return std::nullopt;
        }
        *slot = kv.value;
    }

    // An empty value of an optional key is no value at all.
    if (d.variant && d.variant->empty())
        d.variant.reset();
    if (d.creator && d.creator->empty())
        d.creator.reset();
    const std::pair<const char *, const std::optional<std::string> *> required[] = {
        {"name", &name}, {"version", &version}, {"architecture", &architecture}, {"description", &description}};
    for (const auto &[key, value] : required) {
        if (!*value || (*value)->empty()) {
            error = strprintf("%s: missing %s", conf.c_str(), key);
            return std::nullopt;
        }
    }
    d.name = *name;
    d.version = *version;
    d.architecture = *architecture;
    d.description = *description;

    if (!check_ident(conf, "name", d.name, error) || !check_ident(conf, "version", d.version, error))
        return std::nullopt;
    if (d.variant) {
        if (!check_ident(conf, "variant", *d.variant, error))
            return std::nullopt;
        // Selecting "default" asks for a package without variant: such a
        // variant could never be chosen.
        if (*d.variant == "default") {
            error = strprintf("%s: variant \"default\" is reserved for packages without variant", conf.c_str());
            return std::nullopt;
        }
    }
    if (qpm_arch_getid(d.architecture) == QPM_ARCH_UNSUPPORTED) {
        error = strprintf("%s: unknown architecture \"%s\" (known: any, i686, x86_64, mips)", conf.c_str(),
                          d.architecture.c_str());
        return std::nullopt;
    }
    return d;
}

std::string puname_of(const Description &d)
{
    qpk_info qpi;
    qpi.name = d.name;
    qpi.variant = d.variant;
    qpi.version = d.version;
    qpi.architecture = qpm_arch_getid(d.architecture);
    return qpk_puname(qpi);
}

// The description LDIF up to the signature: what info/desc.txt holds. The
// header's description is this text followed by the two signature lines.
std::optional<std::string> unsigned_description(const Description &d, const std::string &puname,
                                                long long data_size)
{
    std::string out;
    bool ok = ldif_write(out, "dn", "eqpkUid=" + puname, LDIF_TEXT) > 0 &&
              ldif_write(out, "eqpmVersion", "2.0", LDIF_TEXT) > 0 &&
              ldif_write(out, "eqpkName", d.name, LDIF_TEXT) > 0;
    if (ok && d.variant)
        ok = ldif_write(out, "eqpkVariant", *d.variant, LDIF_TEXT) > 0;
    ok = ok && ldif_write(out, "eqpkVersion", d.version, LDIF_TEXT) > 0 &&
         ldif_write(out, "eqpkArchitecture", d.architecture, LDIF_TEXT) > 0;
    if (ok && d.creator)
        ok = ldif_write(out, "eqpkCreator", *d.creator, LDIF_TEXT) > 0;
    ok = ok && ldif_write(out, "eqpkDescription", d.description, LDIF_TEXT) > 0;
    for (const std::string &dep : d.depends)
        ok = ok && ldif_write(out, "eqpkDependency", dep, LDIF_TEXT) > 0;
    ok = ok && ldif_write(out, "eqpkDataSize", strprintf("%lld", data_size), LDIF_TEXT) > 0;
    if (!ok)
        return std::nullopt;
    return out;
}

std::optional<std::string> signed_description(const std::string &unsigned_text, const std::string &subject,
                                              std::string_view signature)
{
    std::string out = unsigned_text;
    if (ldif_write(out, "eqpkRsaSigSubj", subject, LDIF_TEXT) <= 0 ||
        ldif_write(out, "eqpkRsaSigData", signature, LDIF_BINARY) <= 0)
        return std::nullopt;
    return out;
}

// ---------------------------------------------------------------- signer

using SignerKeys = PackSigner;

int refuse_passphrase(char *, int, int, void *) { return -1; }

// A BIO over the PEM text, or over the file read whole.
std::optional<std::string> pem_text(const std::string &pem, const std::string &path, const char *what,
                                    std::string &error)
{
    if (!pem.empty())
        return pem;
    if (path.empty()) {
        error = strprintf("no %s given (use --no-sign to build an unsigned package)", what);
        return std::nullopt;
    }
    return read_text(path, error);
}

std::string with_ossl_reason(std::string message)
{
    const std::string reason = ossl_take_error();
    if (!reason.empty())
        message += ": " + reason;
    return message;
}

std::optional<SignerKeys> load_signer(const PackOptions &options, std::string &error)
{
    const std::string key_name = options.key_pem.empty() ? options.key_path : "the key in memory";
    const std::string cert_name = options.cert_pem.empty() ? options.cert_path : "the certificate in memory";
    const std::optional<std::string> key_text = pem_text(options.key_pem, options.key_path, "private key", error);
    if (!key_text)
        return std::nullopt;
    const std::optional<std::string> cert_text =
        pem_text(options.cert_pem, options.cert_path, "certificate", error);
    if (!cert_text)
        return std::nullopt;

    ossl_take_error();
    SignerKeys s;
    {
        BioPtr bio(BIO_new_mem_buf(key_text->data(), static_cast<int>(key_text->size())));
        if (bio)
            s.key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, refuse_passphrase, nullptr));
        if (!s.key) {
            error = with_ossl_reason(
                strprintf("cannot read an unencrypted private key from %s", key_name.c_str()));
            return std::nullopt;
        }
    }
    {
        BioPtr bio(BIO_new_mem_buf(cert_text->data(), static_cast<int>(cert_text->size())));
        if (bio)
            s.cert.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!s.cert) {
            error = with_ossl_reason(strprintf("cannot read a certificate from %s", cert_name.c_str()));
            return std::nullopt;
        }
    }
    if (EVP_PKEY_get_base_id(s.key.get()) != EVP_PKEY_RSA) {
        error = strprintf("%s is not an RSA key", key_name.c_str());
        return std::nullopt;
    }
    const EVP_PKEY *public_key = X509_get0_pubkey(s.cert.get());
    if (!public_key || EVP_PKEY_eq(public_key, s.key.get()) != 1) {
        ossl_take_error();
        error = strprintf("key %s does not match certificate %s", key_name.c_str(), cert_name.c_str());
        return std::nullopt;
    }
    OsslCharPtr subject(X509_NAME_oneline(X509_get_subject_name(s.cert.get()), nullptr, 0));
    const int size = EVP_PKEY_get_size(s.key.get());
    if (!subject || size <= 0) {
        error = with_ossl_reason(strprintf("cannot use certificate %s", cert_name.c_str()));
        return std::nullopt;
    }
    s.subject = subject.get();
    s.signature_size = static_cast<size_t>(size);
    return s;
}

// ---------------------------------------------------------------- source walk

enum class Kind { File, Link };

struct SourceFile {
    int tree;        // index into SOURCE_TREES
    std::string rel; // path below the tree, "usr/bin/hello"
    Kind kind;
    mode_t perm;
    off_t size;
    time_t mtime;
    std::string target; // links only
};

class SourceWalk {
public:
    SourceWalk(std::string source, std::string &error) : m_source(std::move(source)), m_error(error) {}

    bool walk_tree(int tree)
    {
        const std::string root = m_source + "/" + SOURCE_TREES[tree];
        struct stat st;
        if (stat(root.c_str(), &st) != 0) {
            const int err = errno;
            if (err == ENOENT)
                return true; // no such tree: nothing to pack
            m_error = strprintf("cannot read %s: %s", root.c_str(), errno_text(err).c_str());
            return false;
        }
        if (!S_ISDIR(st.st_mode)) {
            m_error = strprintf("%s is not a directory", root.c_str());
            return false;
        }
        return walk_dir(tree, root, "");
    }

    std::vector<SourceFile> files;

private:
    struct Child {
        std::string name;
        struct stat st;
    };

    // Pre-order, each directory's names in byte order: the same source gives
    // the same payload.
    bool walk_dir(int tree, const std::string &dir_path, const std::string &rel_dir)
    {
        const std::optional<DirNames> listing = list_directory(dir_path);
        if (!listing) {
            const int err = errno;
            m_error = strprintf("cannot open directory %s: %s", dir_path.c_str(), errno_text(err).c_str());
            return false;
        }
        std::vector<Child> children;
        for (const DirName &entry : listing->entries) {
            Child child{entry.name, {}};
            const std::string path = dir_path + "/" + entry.name;
            if (lstat(path.c_str(), &child.st) != 0) {
                const int err = errno;
                m_error = strprintf("cannot stat %s/%s: %s", dir_path.c_str(), entry.name.c_str(),
                                    errno_text(err).c_str());
                return false;
            }
            children.push_back(std::move(child));
        }
        if (listing->read_error) {
            m_error = strprintf("cannot read directory %s: %s", dir_path.c_str(),
                                errno_text(listing->read_error).c_str());
            return false;
        }
        std::sort(children.begin(), children.end(),
                  [](const Child &a, const Child &b) { return a.name < b.name; });

        for (const Child &child : children) {
            const std::string path = dir_path + "/" + child.name;
            const std::string rel = rel_dir.empty() ? child.name : rel_dir + "/" + child.name;
            // Hash lists hold one path per line; permission and link lists
            // separate their fields with '|'.
            if (child.name.find('\n') != std::string::npos ||
                (tree <= TREE_CONF && child.name.find('|') != std::string::npos)) {
                m_error = strprintf("%s: file names with a line feed%s cannot be packed", path.c_str(),
                                    tree <= TREE_CONF ? " or '|'" : "");
                return false;
            }
            const mode_t type = child.st.st_mode & S_IFMT;
            if (type == S_IFDIR) {
                if (!walk_dir(tree, path, rel))
                    return false;
            } else if (type == S_IFREG) {
                files.push_back({tree, rel, Kind::File, child.st.st_mode & 07777, child.st.st_size,
                                 child.st.st_mtime, {}});
            } else if (type == S_IFLNK) {
                if (tree != TREE_DATA) {
                    m_error = strprintf("%s: symbolic links are only allowed in data/", path.c_str());
                    return false;
                }
                std::optional<std::string> target = read_link(path);
                if (!target)
                    return false;
                files.push_back({tree, rel, Kind::Link, 0, 0, 0, std::move(*target)});
            } else {
                m_error = strprintf("%s: not a regular file, directory or symbolic link", path.c_str());
                return false;
            }
        }
        return true;
    }

    std::optional<std::string> read_link(const std::string &path)
    {
        std::string target(256, '\0');
        for (;;) {
            const ssize_t n = readlink(path.c_str(), target.data(), target.size());
            if (n < 0) {
                const int err = errno;
                m_error = strprintf("cannot read link %s: %s", path.c_str(), errno_text(err).c_str());
                return std::nullopt;
            }
            if (static_cast<size_t>(n) < target.size()) {
                target.resize(static_cast<size_t>(n));
                break;
            }
            target.resize(target.size() * 2);
        }
        if (target.find_first_of("|\n") != std::string::npos) {
            m_error = strprintf("%s: link targets with a line feed or '|' cannot be packed", path.c_str());
            return std::nullopt;
        }
        return target;
    }

    std::string m_source;
    std::string &m_error;
};

// info/link.txt: "DIR|TARGET|NAME" with DIR the link's directory on the target.
std::string link_list(const std::vector<SourceFile> &files)
{
    std::string out;
    for (const SourceFile &f : files) {
        if (f.kind != Kind::Link)
            continue;
        const size_t slash = f.rel.rfind('/');
        const std::string dir = slash == std::string::npos ? "/" : "/" + f.rel.substr(0, slash);
        const std::string name = slash == std::string::npos ? f.rel : f.rel.substr(slash + 1);
        out += dir + "|" + f.target + "|" + name + "\n";
    }
    return out;
}

// info/perm.txt: installed files (data and conf) whose mode is not 0644.
// Directories are left out: their modes in a source tree come from the
// packager's umask, and a line for /usr would change the target's /usr.
std::string perm_list(const std::vector<SourceFile> &files)
{
    std::string out;
    for (const SourceFile &f : files) {
        if (f.kind == Kind::File && f.tree <= TREE_CONF && f.perm != DEFAULT_FILE_MODE)
            out += strprintf("/%s|%04o\n", f.rel.c_str(), static_cast<unsigned>(f.perm));
    }
    return out;
}

// ---------------------------------------------------------------- payload

// The package file being written (a file beside the result, renamed into
// place once complete). The payload bytes pass through the signing context
// on their way to the file.
class PackageSink {
public:
    PackageSink(int fd, EVP_MD_CTX *sign) : m_fd(fd), m_sign(sign) {}

    bool write_all(const void *data, size_t length, std::string &error)
    {
        if (qpm::write_all(m_fd, std::string_view(static_cast<const char *>(data), length)))
            return true;
        const int err = errno;
        error = errno_text(err);
        return false;
    }

    static la_ssize_t on_write(archive *a, void *self, const void *buffer, size_t length)
    {
        auto *sink = static_cast<PackageSink *>(self);
        if (sink->m_sign && !ossl_ok(EVP_DigestSignUpdate(sink->m_sign, buffer, length))) {
            archive_set_error(a, EINVAL, "signing failed");
            return -1;
        }
        std::string error;
        if (!sink->write_all(buffer, length, error)) {
            archive_set_error(a, EIO, "%s", error.c_str());
            return -1;
        }
        return static_cast<la_ssize_t>(length);
    }

private:
    int m_fd;
    EVP_MD_CTX *m_sign;
};

class PayloadWriter {
public:
    explicit PayloadWriter(std::string &error) : m_error(error) {}

    bool open(PackageSink &sink)
    {
        m_archive.reset(archive_write_new());
        m_entry.reset(archive_entry_new());
        m_hash.reset(EVP_MD_CTX_new());
        if (!m_archive || !m_entry || !m_hash) {
            m_error = "out of memory";
            return false;
        }
        archive *a = m_archive.get();
        // No time stamp in the gzip header and no padding after the stream:
        // the same source gives the same bytes, and the payload ends where
        // the compressed stream does.
        if (!check(archive_write_set_format_cpio_newc(a)) || !check(archive_write_add_filter_gzip(a)) ||
            !check(archive_write_set_filter_option(a, "gzip", "timestamp", nullptr)) ||
            !check(archive_write_set_bytes_per_block(a, ARCHIVE_BLOCK)) ||
            !check(archive_write_set_bytes_in_last_block(a, 1)) ||
            !check(archive_write_open(a, &sink, nullptr, &PackageSink::on_write, nullptr)))
            return false;
        m_buffer.resize(READ_PIECE);
        return true;
    }

    // Streams one source file into the payload and returns its SHA-1 (hex).
    std::optional<std::string> add_file(const std::string &path, const std::string &entry_path,
                                        const SourceFile &f)
    {
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!fd) {
            const int err = errno;
            m_error = strprintf("cannot open %s: %s", path.c_str(), errno_text(err).c_str());
            return std::nullopt;
        }
        if (!begin_entry(entry_path, f.perm, f.size, f.mtime) ||
            !ossl_ok(EVP_DigestInit_ex(m_hash.get(), EVP_sha1(), nullptr))) {
            if (m_error.empty())
                m_error = with_ossl_reason("cannot start a SHA-1 digest");
            return std::nullopt;
        }
        long long total = 0;
        for (;;) {
            const ssize_t n = ::read(fd.get(), m_buffer.data(), m_buffer.size());
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                const int err = errno;
                m_error = strprintf("cannot read %s: %s", path.c_str(), errno_text(err).c_str());
                return std::nullopt;
            }
            if (n == 0)
                break;
            total += n;
            if (total > f.size)
                break; // grew: reported below
            if (!ossl_ok(EVP_DigestUpdate(m_hash.get(), m_buffer.data(), static_cast<size_t>(n))) ||
                !write_data(m_buffer.data(), static_cast<size_t>(n)))
                return std::nullopt;
        }
        if (total != f.size) {
            m_error = strprintf("%s changed while it was packed", path.c_str());
            return std::nullopt;
        }
        if (!check(archive_write_finish_entry(m_archive.get())))
            return std::nullopt;
        return digest_hex();
    }

    // A file made here (info and hash lists).
    bool add_text(const std::string &entry_path, const std::string &content, time_t mtime)
    {
        return begin_entry(entry_path, DEFAULT_FILE_MODE, static_cast<off_t>(content.size()), mtime) &&
               write_data(content.data(), content.size()) && check(archive_write_finish_entry(m_archive.get()));
    }

    bool close() { return check(archive_write_close(m_archive.get())); }

private:
    bool check(int rc)
    {
        if (rc == ARCHIVE_OK)
            return true;
        const char *text = m_archive ? archive_error_string(m_archive.get()) : nullptr;
        m_error = strprintf("cannot write the payload: %s", text ? text : "unknown error");
        return false;
    }

    bool begin_entry(const std::string &entry_path, mode_t perm, off_t size, time_t mtime)
    {
        archive_entry *e = m_entry.get();
        archive_entry_clear(e);
        archive_entry_copy_pathname(e, entry_path.c_str());
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_perm(e, perm);
        archive_entry_set_size(e, size);
        archive_entry_set_mtime(e, mtime, 0);
        archive_entry_set_uid(e, 0);
        archive_entry_set_gid(e, 0);
        // Hard links of the source are stored as separate files.
        archive_entry_set_nlink(e, 1);
        return check(archive_write_header(m_archive.get(), e));
    }

    bool write_data(const char *data, size_t length)
    {
        const la_ssize_t n = archive_write_data(m_archive.get(), data, length);
        if (n < 0 || static_cast<size_t>(n) != length) {
            const char *text = archive_error_string(m_archive.get());
            m_error = strprintf("cannot write the payload: %s", text ? text : "short write");
            return false;
        }
        return true;
    }

    std::optional<std::string> digest_hex()
    {
        Sha1::Digest digest{};
        unsigned int length = 0;
        if (!ossl_ok(EVP_DigestFinal_ex(m_hash.get(), digest.data(), &length)) || length != digest.size()) {
            m_error = with_ossl_reason("cannot finish a SHA-1 digest");
            return std::nullopt;
        }
        return sha1_format(digest, 'x');
    }

    std::string &m_error;
    ArchiveWritePtr m_archive;
    ArchiveEntryPtr m_entry;
    EvpMdCtxPtr m_hash;
    std::vector<char> m_buffer;
};

std::string join_path(const std::string &dir, const std::string &name)
{
    if (dir.empty())
        return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

PackResult fail(std::string error)
{
    if (error.empty())
        error = "unknown error";
    return PackResult{{}, std::move(error)};
}

} // namespace

PackResult qpm_pack_build(const PackOptions &options)
{
    std::string error;
    const std::string &source = options.source_dir;
    if (source.empty())
        return fail("no source directory given");
    struct stat st;
    if (stat(source.c_str(), &st) != 0) {
        const int err = errno;
        return fail(strprintf("cannot read source directory %s: %s", source.c_str(), errno_text(err).c_str()));
    }
    if (!S_ISDIR(st.st_mode))
        return fail(strprintf("%s is not a directory", source.c_str()));

    const std::string conf = join_path(source, QPK_CONF_NAME);
    struct stat conf_st;
    if (stat(conf.c_str(), &conf_st) != 0) {
        const int err = errno;
        return fail(strprintf("cannot read %s: %s", conf.c_str(), errno_text(err).c_str()));
    }
    const std::optional<Description> desc = read_description(conf, error);
    if (!desc)
        return fail(error);
    for (const char *reserved : {"info", "hash"}) {
        const std::string path = join_path(source, reserved);
        struct stat reserved_st;
        if (lstat(path.c_str(), &reserved_st) == 0)
            return fail(strprintf("%s: reserved, qpm-pack writes the info and hash trees itself", path.c_str()));
    }

    std::optional<SignerKeys> signer;
    if (!options.no_sign) {
        signer = load_signer(options, error);
        if (!signer)
            return fail(error);
    }

    SourceWalk walk(source, error);
    for (int tree = 0; tree < static_cast<int>(SOURCE_TREES.size()); ++tree) {
        if (!walk.walk_tree(tree))
            return fail(error);
    }
    long long data_size = 0;
    for (const SourceFile &f : walk.files) {
        if (f.kind == Kind::File)
            data_size += f.size;
    }

    // Every part of the description is known now but the signature, whose
    // size is the key's: the header is written with a stand-in of that size
    // and rewritten in place once the payload is signed.
    const std::string puname = puname_of(*desc);
    const std::optional<std::string> desc_text = unsigned_description(*desc, puname, data_size);
    if (!desc_text)
        return fail("cannot write the package description");
    std::optional<std::string> header_desc = *desc_text;
    if (signer)
        header_desc = signed_description(*desc_text, signer->subject, std::string(signer->signature_size, '\0'));
    if (!header_desc)
        return fail("cannot write the package description");
    if (header_desc->size() > MAX_DESCRIPTION)
        return fail(strprintf("the package description has %zu bytes, more than the %zu a package can hold",
                              header_desc->size(), MAX_DESCRIPTION));

    std::error_code ec;
    std::filesystem::create_directories(options.output_dir, ec);
    if (ec)
        return fail(strprintf("cannot create output directory %s: %s", options.output_dir.c_str(),
                              ec.message().c_str()));
    const std::string out_path = join_path(options.output_dir, puname + ".qpk");
    SiblingFile out;
    if (!out.create(out_path, 0600)) {
        const int err = errno;
        return fail(strprintf("cannot create a file in %s: %s", options.output_dir.c_str(),
                              errno_text(err).c_str()));
    }
    const std::string tmp_path = out.path();

    EvpMdCtxPtr sign_ctx;
    if (signer) {
        sign_ctx.reset(EVP_MD_CTX_new());
        if (!sign_ctx ||
            !ossl_ok(EVP_DigestSignInit(sign_ctx.get(), nullptr, EVP_sha1(), nullptr, signer->key.get())))
            return fail(with_ossl_reason("cannot start the RSA/SHA-1 signature"));
    }
    PackageSink sink(out.fd(), sign_ctx.get());
    const std::string header_start = strprintf("EQPM20%05zu", header_desc->size());
    std::string write_error;
    if (!sink.write_all(header_start.data(), header_start.size(), write_error) ||
        !sink.write_all(header_desc->data(), header_desc->size(), write_error))
        return fail(strprintf("cannot write %s: %s", tmp_path.c_str(), write_error.c_str()));

    // Source trees, hashed as they stream by; then info/ and hash/.
    PayloadWriter payload(error);
    if (!payload.open(sink))
        return fail(error);
    std::array<std::string, SOURCE_TREES.size()> hash_lists;
    for (const SourceFile &f : walk.files) {
        if (f.kind != Kind::File)
            continue;
        const char *tree = SOURCE_TREES[f.tree];
        const std::string entry_path = std::string(tree) + "/" + f.rel;
        const std::optional<std::string> hex = payload.add_file(join_path(source, entry_path), entry_path, f);
        if (!hex)
            return fail(error);
        hash_lists[f.tree] += *hex + ":" + f.rel + "\n";
    }

    const time_t made = conf_st.st_mtime;
    std::vector<std::pair<std::string, std::string>> info = {{"desc.txt", *desc_text}};
    if (std::string links = link_list(walk.files); !links.empty())
        info.emplace_back("link.txt", std::move(links));
    if (std::string perms = perm_list(walk.files); !perms.empty())
        info.emplace_back("perm.txt", std::move(perms));
    std::string info_hashes;
    for (const auto &[name, content] : info) {
        if (!payload.add_text("info/" + name, content, made))
            return fail(error);
        info_hashes += sha1_data(content, 'x') + ":" + name + "\n";
    }
    // A tree without files has no list; the readers take that as empty.
    for (size_t tree = 0; tree < SOURCE_TREES.size(); ++tree) {
        if (!hash_lists[tree].empty() &&
            !payload.add_text(std::string("hash/") + SOURCE_TREES[tree] + ".txt", hash_lists[tree], made))
            return fail(error);
    }
    if (!payload.add_text("hash/info.txt", info_hashes, made) || !payload.close())
        return fail(error);

    if (signer) {
        size_t length = 0;
        std::string signature;
        if (ossl_ok(EVP_DigestSignFinal(sign_ctx.get(), nullptr, &length))) {
            signature.resize(length);
            if (ossl_ok(EVP_DigestSignFinal(sign_ctx.get(), reinterpret_cast<unsigned char *>(signature.data()),
                                            &length)))
                signature.resize(length);
            else
                signature.clear();
        }
        if (signature.empty())
            return fail(with_ossl_reason("cannot sign the payload"));
        const std::optional<std::string> final_desc = signed_description(*desc_text, signer->subject, signature);
        if (!final_desc || final_desc->size() != header_desc->size())
            return fail("the signed description does not fit the space kept for it");
        const off_t at = static_cast<off_t>(header_start.size());
        if (pwrite(out.fd(), final_desc->data(), final_desc->size(), at) !=
            static_cast<ssize_t>(final_desc->size())) {
            const int err = errno;
            return fail(strprintf("cannot write %s: %s", tmp_path.c_str(), errno_text(err).c_str()));
        }
    }

    if (fchmod(out.fd(), 0644) != 0 || out.close() != 0) {
        const int err = errno;
        return fail(strprintf("cannot write %s: %s", tmp_path.c_str(), errno_text(err).c_str()));
    }
    if (out.commit() != 0) {
        const int err = errno;
        return fail(strprintf("cannot rename %s to %s: %s", tmp_path.c_str(), out_path.c_str(),
                              errno_text(err).c_str()));
    }
    return PackResult{out_path, {}};
}

std::optional<PackSigner> qpm_pack_load_signer(const PackOptions &options, std::string &error)
{
    return load_signer(options, error);
}

std::optional<std::string> qpm_pack_sign(const PackSigner &signer, std::string_view data, std::string &error)
{
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    size_t length = 0;
    if (!ctx || !ossl_ok(EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha1(), nullptr, signer.key.get())) ||
        !ossl_ok(EVP_DigestSign(ctx.get(), nullptr, &length, reinterpret_cast<const unsigned char *>(data.data()),
                                data.size()))) {
        error = with_ossl_reason("cannot sign");
        return std::nullopt;
    }
    std::string signature(length, '\0');
    if (!ossl_ok(EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                                reinterpret_cast<const unsigned char *>(data.data()), data.size()))) {
        error = with_ossl_reason("cannot sign");
        return std::nullopt;
    }
    signature.resize(length);
    return signature;
}

} // namespace qpm
