#include "package/qpf.h"

#include "package/inflate.h"
#include "package/sha1.h"
#include "package/signature.h"
#include "package/stage_writer.h"
#include "ui/progress.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/raii_archive.h"
#include "util/raii_openssl.h"
#include "util/strfmt.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <semaphore>
#include <thread>
#include <unistd.h>

#include <archive.h>
#include <archive_entry.h>

namespace qpm {

namespace {

const char *ar_error(archive *a)
{
    const char *text = a ? archive_error_string(a) : nullptr;
    return text ? text : "unknown error";
}

// The two callers word a short magic read differently.
enum class ShortMagic { Count, CountPathError };
enum class HeaderResult { Ok, Unreadable, Unparsable };

// "%d" of the five-byte length field: leading blanks, a sign, digits.
std::optional<int> scan_size(std::string_view field)
{
    size_t i = 0;
    while (i < field.size() && (field[i] == ' ' || (field[i] >= '\t' && field[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-'))
        negative = field[i++] == '-';
    int value = 0;
    const auto [end, ec] = std::from_chars(field.data() + i, field.data() + field.size(), value);
    if (ec != std::errc() || end == field.data() + i)
        return std::nullopt;
    return negative ? -value : value;
}

HeaderResult read_header(FILE *stream, const std::string &path, ShortMagic style, QpfHeader &out)
{
    std::array<char, QPF_MAGIC_LEN> magic{};
    errno = 0;
    size_t got = std::fread(magic.data(), 1, magic.size(), stream);
    if (got < magic.size()) {
        const int err = errno;
        if (style == ShortMagic::Count)
            qlog(LL_ERROR, "Only %d of 6 bytes read", static_cast<int>(got));
        else
            qlog(LL_ERROR, "Only %d of 6 bytes read in %s: %s", static_cast<int>(got), path.c_str(),
                 std::strerror(err));
        return HeaderResult::Unreadable;
    }
    const std::string_view m(magic.data(), magic.size());
    if (m == QPF_MAGIC_V1) {
        out.file_version = 1;
    } else if (m == QPF_MAGIC_V2) {
        out.file_version = 2;
    } else {
        qlog(LL_ERROR, "Not a valid/supported package file");
        return HeaderResult::Unreadable;
    }
    qlog(LL_DEBUG, "Package version: %d", out.file_version);

    std::array<char, QPF_SIZE_LEN> field{};
    got = std::fread(field.data(), 1, field.size(), stream);
    if (got < field.size()) {
        qlog(LL_ERROR, "Only %d of 5 bytes read", static_cast<int>(got));
        return HeaderResult::Unreadable;
    }
    const std::optional<int> length = scan_size(std::string_view(field.data(), field.size()));
    if (!length) {
        qlog(LL_ERROR, "Failed to read description size");
        return HeaderResult::Unreadable;
    }
    if (*length < 0) {
        qlog(LL_ERROR, "Only %d of %d bytes read", 0, *length);
        return HeaderResult::Unreadable;
    }

    out.description.assign(static_cast<size_t>(*length), '\0');
    got = std::fread(out.description.data(), 1, out.description.size(), stream);
    if (got < out.description.size()) {
        qlog(LL_ERROR, "Only %d of %d bytes read", static_cast<int>(got), *length);
        return HeaderResult::Unreadable;
    }
    out.qpi = qpk_info_parse(path, QPK_KIND_FILE, out.description);
    return out.qpi ? HeaderResult::Ok : HeaderResult::Unparsable;
}

// A read-only stream over a file descriptor that digests (SHA-1) every byte
// it reads, so the package file hash comes from the same pass as the header
// and the signature check instead of another read of the whole file.
class HashingStream {
public:
    explicit HashingStream(int fd) : m_fd(fd) {}
    HashingStream(const HashingStream &) = delete;
    HashingStream &operator=(const HashingStream &) = delete;

    // The stream; it borrows this object and the descriptor.
    FilePtr open()
    {
        const cookie_io_functions_t io{&HashingStream::read, nullptr, &HashingStream::seek, nullptr};
        return FilePtr(fopencookie(this, "r", io));
    }

    // Digests what was not read yet and returns the hex digest; nothing when
    // a byte was skipped or the file could not be read.
    std::optional<std::string> finish()
    {
        if (!m_ok || lseek(m_fd, m_hashed, SEEK_SET) != m_hashed || !m_sha.update_from(m_fd))
            return std::nullopt;
        const std::optional<Sha1::Digest> digest = m_sha.final();
        if (!digest)
            return std::nullopt;
        return sha1_format(*digest, 'x');
    }

private:
    ssize_t read_fd(char *buf, size_t size)
    {
        ssize_t n;
        do
            n = ::read(m_fd, buf, size);
        while (n < 0 && errno == EINTR);
        return n;
    }

    void feed(const char *buf, size_t n)
    {
        const off_t start = m_pos;
        const off_t end = start + static_cast<off_t>(n);
        m_pos = end;
        if (!m_ok || end <= m_hashed)
            return;
        if (start > m_hashed) { // a forward seek left bytes out
            m_ok = false;
            return;
        }
        const auto skip = static_cast<size_t>(m_hashed - start);
        if (!m_sha.update(buf + skip, n - skip)) {
            m_ok = false;
            return;
        }
        m_hashed = end;
    }

    static ssize_t read(void *cookie, char *buf, size_t size)
    {
        auto *self = static_cast<HashingStream *>(cookie);
        const ssize_t n = self->read_fd(buf, size);
        if (n > 0)
            self->feed(buf, static_cast<size_t>(n));
        return n;
    }

    static int seek(void *cookie, off64_t *offset, int whence)
    {
        auto *self = static_cast<HashingStream *>(cookie);
        const off_t to = lseek(self->m_fd, static_cast<off_t>(*offset), whence);
        if (to < 0)
            return -1;
        self->m_pos = to;
        *offset = to;
        return 0;
    }

    int m_fd;
    Sha1Stream m_sha;
    bool m_ok = true; // no byte skipped, no digest failed
    off_t m_pos = 0;
    off_t m_hashed = 0;
};

const char *keystore_of(const qpm_handle *qpm)
{
    return qpm && !qpm->dirs.certstore.empty() ? qpm->dirs.certstore.c_str() : nullptr;
}

// Checks the signature over the rest of `stream` and puts the stream back
// where it was.
int verify_payload(const qpm_handle *qpm, const qpk_info &qpi, FILE *stream)
{
    const char *certstore = keystore_of(qpm);
    if (!certstore) {
        qlog(LL_INFO, "No keystore to verify the package signature with");
        return QPS_UNTRUSTED;
    }
    const off_t position = ftello(stream);
    int rc = qps_fverify_rsa(certstore, *qpi.signer_subject, qpi.signature, stream);
    if (position < 0 || fseeko(stream, position, SEEK_SET) != 0)
        rc = QPS_NOT_CHECKED;
    qlog(LL_DEBUG, "rc of qps_verify_rsa: %d", rc);
    return rc;
}

// Messages of the unpacking. While the signature is still being checked
// they wait: a payload that is not the signed one is reported by its
// signature alone, as when it was checked before a byte was unpacked.
class UnpackLog {
public:
    explicit UnpackLog(bool hold) : m_hold(hold) {}
    void operator()(int level, std::string text)
    {
        if (m_hold)
            m_lines.emplace_back(level, std::move(text));
        else
            qlog(level, "%s", text.c_str());
    }
    void release()
    {
        for (const auto &[level, text] : m_lines)
            qlog(level, "%s", text.c_str());
        m_lines.clear();
        m_hold = false;
    }

private:
    bool m_hold;
    std::vector<std::pair<int, std::string>> m_lines;
};

// What unpacking may write: the declared size (eqpkDataSize, the files of
// the data, conf, init and dump trees) plus a small allowance, and apart
// from it the package's own lists (info/ and hash/), which grow with the
// number of files. Checked before every block is written, so a package
// that lies about its size stops long before the disk fills.
class WriteBudget {
public:
    static constexpr uint64_t ALLOWANCE = 64 * 1024;
    static constexpr uint64_t LISTS = 16 * 1024 * 1024;

    explicit WriteBudget(int64_t declared) : m_declared(declared > 0 ? static_cast<uint64_t>(declared) : 0) {}

    // Charges `size` bytes of `path`; false (after the message) when that
    // passes the bound.
    bool charge(std::string_view path, size_t size, UnpackLog &log)
    {
        if (path.starts_with("./"))
            path.remove_prefix(2);
        const bool list = path.starts_with("info/") || path.starts_with("hash/");
        uint64_t &used = list ? m_lists : m_data;
        const uint64_t limit = list ? LISTS : m_declared + ALLOWANCE;
        if (size > limit - used) {
            if (list)
                log(LL_ERROR, strprintf("Refusing to unpack further: the package lists pass %llu bytes at %.*s",
                                        static_cast<unsigned long long>(LISTS), static_cast<int>(path.size()),
                                        path.data()));
            else
                log(LL_ERROR, strprintf("Refusing to unpack further: the files written pass the declared size of "
                                        "%llu bytes (allowance %llu) at %.*s",
                                        static_cast<unsigned long long>(m_declared),
                                        static_cast<unsigned long long>(ALLOWANCE), static_cast<int>(path.size()),
                                        path.data()));
            return false;
        }
        used += size;
        return true;
    }

private:
    uint64_t m_declared;
    uint64_t m_data = 0;
    uint64_t m_lists = 0;
};

// A package file read in blocks from its descriptor, once. The first block
// is read before anything else (the header is parsed from it); from
// start() on, every block is digested for the whole file's SHA-1 and, from
// the payload's first byte, for the signature check (when there is one).
// For a large file the digests are taken on a second thread while this one
// inflates and writes: a slot is read into again only once they have taken
// it.
class FileBlocks {
public:
    static constexpr size_t BLOCK = 256 * 1024;
    static constexpr off_t PARALLEL_FROM = 4 * 1024 * 1024;

    FileBlocks(int fd, off_t size) : m_fd(fd), m_parallel(size >= PARALLEL_FROM) {}
    FileBlocks(const FileBlocks &) = delete;
    FileBlocks &operator=(const FileBlocks &) = delete;
    ~FileBlocks() { stop(); }

    // Reads the first block: its size, or -1 (errno set).
    ssize_t first(const unsigned char *&data)
    {
        const ssize_t n = fill(m_slots[0]);
        data = m_slots[0].data.get();
        return n;
    }

    // Digests from here on: the first block whole for the file and from
    // `payload` on for `check`. The next block is the rest of the first.
    void start(SignatureCheck *check, size_t payload)
    {
        m_check = check;
        m_slots[0].skip = payload;
        m_rest_of_first = true;
        if (m_parallel)
            m_worker = std::thread([this] { digest_slots(); });
        submit(m_slots[0]);
    }

    // The next block (valid until SLOTS more are read): its size, 0 at the
    // end, -1 on a read error (errno set).
    ssize_t next(const unsigned char *&data)
    {
        if (m_rest_of_first) {
            m_rest_of_first = false;
            const Slot &first = m_slots[0];
            if (first.size > first.skip) {
                data = first.data.get() + first.skip;
                return static_cast<ssize_t>(first.size - first.skip);
            }
        }
        Slot &slot = m_slots[m_head];
        m_free.acquire();
        const ssize_t n = fill(slot);
        if (n <= 0) {
            m_free.release();
            return n;
        }
        slot.skip = 0;
        submit(slot);
        data = slot.data.get();
        return n;
    }

    // Waits until every block read has been digested. False when the file
    // digest failed.
    bool stop()
    {
        if (m_worker.joinable()) {
            m_free.acquire();
            m_slots[m_head].size = 0; // the end, where the worker looks next
            m_full.release();
            m_worker.join();
        }
        return m_ok;
    }

    std::optional<Sha1::Digest> file_digest() { return stop() ? m_file_digest.final() : std::nullopt; }

private:
    static constexpr size_t SLOTS = 4;
    struct Slot {
        std::unique_ptr<unsigned char[]> data; // made on first use, not cleared
        size_t size = 0;
        size_t skip = 0; // bytes before the payload
    };

    ssize_t fill(Slot &slot)
    {
        if (!slot.data)
            slot.data = std::make_unique_for_overwrite<unsigned char[]>(BLOCK);
        ssize_t n;
        do
            n = ::read(m_fd, slot.data.get(), BLOCK);
        while (n < 0 && errno == EINTR);
        slot.size = n > 0 ? static_cast<size_t>(n) : 0;
        return n;
    }

    void submit(const Slot &slot)
    {
        m_head = (&slot - m_slots.data() + 1) % SLOTS;
        if (m_worker.joinable()) {
            m_full.release();
        } else {
            digest(slot);
            m_free.release();
        }
    }

    void digest(const Slot &slot)
    {
        if (!m_file_digest.update(slot.data.get(), slot.size))
            m_ok = false;
        if (m_check && slot.size > slot.skip)
            m_check->update(slot.data.get() + slot.skip, slot.size - slot.skip);
    }

    void digest_slots()
    {
        for (size_t tail = 0;; tail = (tail + 1) % SLOTS) {
            m_full.acquire();
            const Slot &slot = m_slots[tail];
            if (slot.size == 0)
                return;
            digest(slot);
            m_free.release();
        }
    }

    int m_fd;
    bool m_parallel;
    Sha1Stream m_file_digest;
    SignatureCheck *m_check = nullptr;
    std::array<Slot, SLOTS> m_slots;
    size_t m_head = 0;
    bool m_rest_of_first = false;
    std::counting_semaphore<SLOTS> m_free{SLOTS - 1}; // the first slot is taken by first()
    std::counting_semaphore<SLOTS> m_full{0};
    std::thread m_worker;
    bool m_ok = true; // written by whoever digests, read after the join
};

// The payload as libarchive reads it: every block of the file is fed to
// the signature check (when there is one) as it is read, and a gzip
// payload is inflated here, so libarchive gets the plain cpio. The stream
// under it digests the whole file.
class PayloadSource {
public:
    // What libarchive is handed at a time: the write budget is charged by
    // block, and a block must fit its allowance.
    static constexpr size_t OUT_BLOCK = 64 * 1024;

    explicit PayloadSource(FileBlocks &blocks)
        : m_blocks(blocks), m_out(std::make_unique_for_overwrite<unsigned char[]>(OUT_BLOCK))
    {
    }

    static la_ssize_t read(archive *reader, void *self, const void **block)
    {
        return static_cast<PayloadSource *>(self)->next(reader, block);
    }

    // Reads what libarchive left, so the digests cover the file to its end.
    // False on a read error.
    bool drain()
    {
        la_ssize_t n;
        while ((n = read_raw()) > 0) {
        }
        return n == 0;
    }

private:
    enum class Mode { Start, Plain, Gzip, End };

    la_ssize_t read_raw() { return m_blocks.next(m_raw); }

    la_ssize_t next(archive *reader, const void **block)
    {
        switch (m_mode) {
        case Mode::Start:
        case Mode::Plain: {
            const la_ssize_t got = read_raw();
            if (got < 0)
                archive_set_error(reader, errno, "Read error");
            if (got <= 0)
                return got;
            if (m_mode == Mode::Start &&
                GzipInflater::starts_gzip(std::string_view(reinterpret_cast<const char *>(m_raw),
                                                           static_cast<size_t>(got)))) {
                m_mode = Mode::Gzip;
                m_inflater.input(m_raw, static_cast<size_t>(got));
                return inflate(reader, block);
            }
            m_mode = Mode::Plain;
            *block = m_raw;
            return got;
        }
        case Mode::Gzip: return inflate(reader, block);
        case Mode::End: return 0;
        }
        return 0;
    }

    la_ssize_t inflate(archive *reader, const void **block)
    {
        for (;;) {
            if (m_inflater.input_left() == 0) {
                const la_ssize_t got = read_raw();
                if (got < 0) {
                    archive_set_error(reader, errno, "Read error");
                    return -1;
                }
                if (got == 0) {
                    if (m_between_members) {
                        m_mode = Mode::End;
                        return 0;
                    }
                    archive_set_error(reader, EINVAL, "truncated gzip input");
                    return -1;
                }
                m_inflater.input(m_raw, static_cast<size_t>(got));
            }
            if (m_between_members) {
                // Another member, or the end of the compressed data: what
                // follows it is not part of the archive.
                if (*m_inflater.input_next() != 0x1f) {
                    m_mode = Mode::End;
                    return 0;
                }
                m_between_members = false;
                m_inflater.next_member();
            }
            const size_t left = m_inflater.input_left();
            size_t produced = 0;
            const GzipInflater::Step step = m_inflater.inflate(m_out.get(), OUT_BLOCK, produced);
            if (step == GzipInflater::Step::Error ||
                (step == GzipInflater::Step::More && produced == 0 && left > 0 && m_inflater.input_left() == left)) {
                archive_set_error(reader, EINVAL, "%s",
                                  m_inflater.error().empty() ? "damaged gzip data" : m_inflater.error().c_str());
                return -1;
            }
            if (step == GzipInflater::Step::MemberEnd)
                m_between_members = true;
            if (produced > 0) {
                *block = m_out.get();
                return static_cast<la_ssize_t>(produced);
            }
        }
    }

    FileBlocks &m_blocks;
    const unsigned char *m_raw = nullptr; // the last block read
    std::unique_ptr<unsigned char[]> m_out;
    GzipInflater m_inflater;
    Mode m_mode = Mode::Start;
    bool m_between_members = false;
};

enum class Copy { Done, Failed, OverBudget };

// One entry's data from reader to writer; logs any failure.
Copy copy_data(archive *reader, StageWriter &writer, std::string_view path, WriteBudget &budget, UnpackLog &log)
{
    for (;;) {
        const void *block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        const int rc = archive_read_data_block(reader, &block, &size, &offset);
        if (rc == ARCHIVE_EOF)
            return Copy::Done;
        if (rc != ARCHIVE_OK) {
            log(LL_ERROR, strprintf("Failed to copy data: %s", ar_error(reader)));
            return Copy::Failed;
        }
        if (!budget.charge(path, size, log))
            return Copy::OverBudget;
        if (!writer.write(block, size, offset)) {
            log(LL_ERROR, strprintf("Failed to copy data: %s", writer.error().c_str()));
            return Copy::Failed;
        }
        progress_unpacked(path, size, false);
    }
}

bool allowed_type(archive_entry *entry)
{
    const mode_t type = archive_entry_filetype(entry);
    return type == AE_IFREG || type == AE_IFDIR || type == AE_IFLNK;
}

// Writes every entry of the payload through `writer`. 0 only when the
// archive was read to its real end and every entry was written.
int unpack(PayloadSource &source, StageWriter &writer, WriteBudget &budget, UnpackLog &log)
{
    ArchiveReadPtr reader(archive_read_new());
    if (!reader || archive_read_support_filter_gzip(reader.get()) != ARCHIVE_OK ||
        archive_read_support_format_cpio(reader.get()) != ARCHIVE_OK ||
        archive_read_open(reader.get(), &source, nullptr, &PayloadSource::read, nullptr) != ARCHIVE_OK) {
        log(LL_ERROR, strprintf("Failed to read archive by archive_read_open_FILE: %s", ar_error(reader.get())));
        return -1;
    }

    int status = 0;
    archive_entry *entry = nullptr;
    int rc;
    while ((rc = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
        const char *path = archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
        if (!allowed_type(entry)) {
            log(LL_ERROR, strprintf("Refusing to extract %s: not a regular file, directory or symbolic link", path));
            status = -1;
            continue; // the next header read skips its data
        }
        if (!writer.begin(entry)) {
            // A refused entry has no file to take its data; the reader skips it.
            log(LL_ERROR, strprintf("Failed to write header by archive_write_header: %s", writer.error().c_str()));
            status = -1;
            continue;
        }
        const Copy copied = copy_data(reader.get(), writer, path, budget, log);
        if (copied != Copy::Done)
            status = -1;
        progress_unpacked(path, 0, archive_entry_filetype(entry) == AE_IFREG);
        if (!writer.finish()) {
            log(LL_ERROR, strprintf("Failed to write archive by archive_write_finish_entry: %s",
                                    writer.error().c_str()));
            status = -1;
        }
        if (copied == Copy::OverBudget)
            return -1; // not a byte more
    }
    if (rc != ARCHIVE_OK && rc != ARCHIVE_EOF) {
        log(LL_ERROR, strprintf("Failed to read archive by archive_read_next_header: %s", ar_error(reader.get())));
        status = -1;
    }
    if (!writer.close()) {
        log(LL_ERROR, strprintf("Failed to write archive by archive_write_close: %s", writer.error().c_str()));
        status = -1;
    }
    return status;
}

// The absolute path of the file `path` (described by `st`, its stat) with
// every link resolved. A catalogue reads a directory's files one after the
// other: the directory's resolution is kept for the next file, which is
// then only appended to it unless it is a link itself.
std::optional<std::string> resolved_path(const std::string &path, const struct stat &st)
{
    std::error_code ec;
    const std::filesystem::path given(path);
    const std::filesystem::path name = given.filename();
    struct stat link {};
    const bool plain = !name.empty() && name != "." && name != ".." && ::lstat(path.c_str(), &link) == 0 &&
                       !S_ISLNK(link.st_mode) && link.st_ino == st.st_ino && link.st_dev == st.st_dev;
    if (!plain) {
        const std::filesystem::path resolved = std::filesystem::canonical(given, ec);
        return ec ? std::nullopt : std::optional<std::string>(resolved.string());
    }
    static thread_local std::string last_dir;
    static thread_local std::string last_resolved;
    const std::string dir = given.has_parent_path() ? given.parent_path().string() : std::string(".");
    if (last_resolved.empty() || dir != last_dir) {
        const std::filesystem::path resolved = std::filesystem::canonical(dir, ec);
        if (ec)
            return std::nullopt;
        last_dir = dir;
        last_resolved = resolved.string();
    }
    return (std::filesystem::path(last_resolved) / name).string();
}

} // namespace

std::optional<QpfHeader> qpm_qpf_read_header(FILE *stream, const std::string &path)
{
    QpfHeader header;
    if (!stream || read_header(stream, path, ShortMagic::Count, header) != HeaderResult::Ok)
        return std::nullopt;
    return header;
}

QpiPtr qpm_qpf_info(const qpm_handle *qpm, const std::string &path, int verify, std::string *description)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        qlog(LL_ERROR, "Failed to stat %s", path.c_str());
        return nullptr;
    }
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    HashingStream hashing(fd.get());
    FilePtr stream = fd ? hashing.open() : FilePtr();
    if (!stream) {
        qlog(LL_ERROR, "Failed to open %s for reading", path.c_str());
        return nullptr;
    }

    QpfHeader header;
    if (read_header(stream.get(), path, ShortMagic::Count, header) != HeaderResult::Ok)
        return nullptr;
    QpiPtr qpi = std::move(header.qpi);

    qpi->relative_uri = path;
    if (std::optional<std::string> absolute = resolved_path(path, st))
        qpi->absolute_uri = std::move(*absolute);
    qpi->file_size = static_cast<int64_t>(st.st_size);

    if (!verify || !qpm) {
        qlog(LL_DEBUG, "Not verifying the package signature");
        qpi->signature_status = QPS_NOT_CHECKED;
    } else if (!qpi->signer_subject) {
        qlog(LL_WARNING, "No signature subject found");
        qpi->signature_status = QPS_MISSING;
    } else if (qpi->signature.empty()) {
        qlog(LL_WARNING, "No signature data found");
        qpi->signature_status = QPS_MISSING;
    } else {
        qpi->signature_status = verify_payload(qpm, *qpi, stream.get());
    }
    stream.reset();

    std::optional<std::string> hash = hashing.finish();
    if (!hash)
        hash = qps_sha1_file(path, 'x');
    if (hash)
        qpi->file_hash = std::move(hash);
    if (description)
        *description = std::move(header.description);
    return qpi;
}

int qpm_qpf_extract(const qpm_handle *qpm, const std::string &path, const std::string &directory, int verify)
{
    QpfUnpacked unpacked;
    return qpm_qpf_unpack(qpm, path, directory, verify, unpacked);
}

int qpm_qpf_unpack(const qpm_handle *qpm, const std::string &path, const std::string &directory, int verify,
                   QpfUnpacked &out)
{
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) {
        qlog(LL_ERROR, "Failed to open %s for reading", path.c_str());
        return -1;
    }
    // The header is parsed from the first block (it is at most 100,010
    // bytes); the payload begins after it in the same block.
    FileBlocks blocks(fd.get(), st.st_size);
    const unsigned char *first = nullptr;
    const ssize_t got = blocks.first(first);
    FilePtr head(got >= 0 ? fmemopen(const_cast<unsigned char *>(first), static_cast<size_t>(got), "r") : nullptr);
    if (!head) {
        qlog(LL_ERROR, "Failed to open %s for reading", path.c_str());
        return -1;
    }
    QpfHeader &header = out.header;
    switch (read_header(head.get(), path, ShortMagic::CountPathError, header)) {
    case HeaderResult::Ok: break;
    case HeaderResult::Unreadable: return -1;
    case HeaderResult::Unparsable: qlog(LL_ERROR, "Failed to parse package header"); return -1;
    }
    const long payload_start = std::ftell(head.get());
    head.reset();
    if (payload_start < 0) {
        qlog(LL_ERROR, "Failed to read %s", path.c_str());
        return -1;
    }

    // The signer is checked now; the signature over the payload when the
    // payload has been read, once, for unpacking it too.
    std::optional<SignatureCheck> check;
    const auto refused = [&path](int rc) {
        qlog(LL_DEBUG, "rc of qps_verify_rsa: %d", rc);
        qlog(LL_ERROR, "Failure verifying signature of %s", path.c_str());
        return -1;
    };
    if (verify) {
        qlog(LL_DEBUG, "Will verify the package signature");
        if (!header.qpi->signer_subject) {
            qlog(LL_ERROR, "No signature subject found");
            return -1;
        }
        if (header.qpi->signature.empty()) {
            qlog(LL_ERROR, "No signature data found");
            return -1;
        }
        const char *certstore = keystore_of(qpm);
        if (!certstore)
            qlog(LL_INFO, "No keystore to verify the package signature with");
        const int rc = certstore ? check.emplace().begin(certstore, *header.qpi->signer_subject, header.qpi->signature)
                                 : QPS_UNTRUSTED;
        if (rc != QPS_VERIFIED)
            return refused(rc);
    } else {
        qlog(LL_DEBUG, "Not verifying the package signature");
    }
    // Room for what the package says it unpacks, before a byte is written.
    WriteBudget budget(header.qpi->data_size);
    struct statvfs vfs {};
    if (statvfs(directory.c_str(), &vfs) == 0) {
        const auto available = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
        const auto declared = static_cast<unsigned long long>(std::max<int64_t>(header.qpi->data_size, 0));
        if (declared > available) {
            qlog(LL_ERROR, "Not enough space to unpack %s in %s: %llu bytes declared, %llu available", path.c_str(),
                 directory.c_str(), declared, available);
            return -1;
        }
    }

    UniqueFd into(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!into) {
        qlog(LL_ERROR, "Failed to change to installation dir %s", directory.c_str());
        return -1;
    }
    StageWriter writer(std::move(into));
    UnpackLog log(check.has_value());
    blocks.start(check ? &*check : nullptr, static_cast<size_t>(payload_start));
    PayloadSource source(blocks);
    int status = unpack(source, writer, budget, log);
    const bool drained = source.drain();
    // The file's digest is wanted also when it is refused: it tells a
    // changed file from a damaged one.
    if (const std::optional<Sha1::Digest> digest = drained ? blocks.file_digest() : std::nullopt)
        out.file_hash = sha1_format(*digest, 'x');
    blocks.stop();

    if (check) {
        const int rc = drained ? check->finish() : QPS_NOT_CHECKED;
        if (rc != QPS_VERIFIED) {
            writer.remove_all(); // not the signed payload: nothing of it stays
            return refused(rc);
        }
        qlog(LL_DEBUG, "rc of qps_verify_rsa: %d", rc);
        log.release();
    }
    if (!drained || out.file_hash.empty())
        status = -1;
    if (status != 0) {
        std::fprintf(stderr, "Failed to extract archive\n");
        return status;
    }
    out.files = writer.files();
    return 0;
}

} // namespace qpm
