#include "transfer.h"

#include "package/sha1.h"
#include "plog.h"
#include "util/strfmt.h"

#include "util/files.h"
#include "util/sysroot.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm::http {
namespace {

// Package scripts run as our children: no socket of ours may leak to them.
curl_socket_t open_socket(void *, curlsocktype, curl_sockaddr *address)
{
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

struct MemorySink {
    std::string *body;
    size_t max_bytes;
    bool overflow = false;
};

size_t to_memory(char *data, size_t size, size_t count, void *user)
{
    auto *sink = static_cast<MemorySink *>(user);
    const size_t n = size * count;
    if (sink->body->size() + n > sink->max_bytes) {
        sink->overflow = true;
        return 0;
    }
    sink->body->append(data, n);
    return n;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
        text.remove_suffix(1);
    return text;
}

struct Validators {
    std::string etag;
    std::string last_modified;
};

// Keeps ETag and Last-Modified of the final response (a redirect's headers
// come first and are replaced).
size_t on_header(char *data, size_t size, size_t count, void *user)
{
    auto *v = static_cast<Validators *>(user);
    const std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
        *v = {};
        return line.size();
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return line.size();
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trim(line.substr(colon + 1));
    if (strncasecmp(name.data(), "etag", name.size()) == 0 && name.size() == 4)
        v->etag = value;
    else if (name.size() == 13 && strncasecmp(name.data(), "last-modified", 13) == 0)
        v->last_modified = value;
    return line.size();
}

// The CA file of a repository, read inside the system root.
std::optional<std::string> read_ca_file(const std::string &path, std::string &error)
{
    const UniqueFd fd = root_open(path, O_RDONLY);
    std::string text;
    if (!fd || !read_all(fd.get(), text)) {
        const int err = errno;
        error = strprintf("cannot read the CA file %s: %s", root_path(path).c_str(), std::strerror(err));
        return std::nullopt;
    }
    return text;
}

// Worth another attempt at the same mirror.
bool transient(CURLcode code, long status)
{
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
        return true;
    case CURLE_HTTP_RETURNED_ERROR:
        return status >= 500;
    default:
        return false;
    }
}

} // namespace

std::string curl_error(CURLcode code, long status, const char *detail)
{
    switch (code) {
    case CURLE_HTTP_RETURNED_ERROR:
        return strprintf("HTTP status %ld", status);
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ISSUER_ERROR:
        if (detail && *detail)
            return std::string(trim(detail));
        break;
    default:
        break;
    }
    return curl_easy_strerror(code);
}

CurlPtr curl_new() { return CurlPtr(curl_easy_init()); }

bool curl_prepare(CURL *e, const Settings &settings, const Repository &repository, char *detail, std::string &error)
{
    curl_easy_reset(e);
    detail[0] = '\0';
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, detail);
    if (!repository.cafile.empty()) {
        std::optional<std::string> pem = read_ca_file(repository.cafile, error);
        if (!pem)
            return false;
        curl_blob blob{pem->data(), pem->size(), CURL_BLOB_COPY};
        curl_easy_setopt(e, CURLOPT_CAINFO_BLOB, &blob);
        // Neither the bundle nor the directory of the system's store.
        curl_easy_setopt(e, CURLOPT_CAINFO, static_cast<char *>(nullptr));
        curl_easy_setopt(e, CURLOPT_CAPATH, static_cast<char *>(nullptr));
    }
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https,file");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(e, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, settings.connect_timeout);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, settings.low_speed_time);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, settings.low_speed_limit);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "qpc-http/2");
    curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, open_socket);
    return true;
}

Fetched fetch_to_memory(const std::string &url, const Settings &settings, const Repository &repository,
                        const std::string &etag, const std::string &last_modified, size_t max_bytes)
{
    Fetched result;
    CurlPtr easy = curl_new();
    if (!easy) {
        result.error = "cannot start a transfer";
        return result;
    }
    char detail[CURL_ERROR_SIZE];
    if (!curl_prepare(easy.get(), settings, repository, detail, result.error))
        return result;
    CurlListPtr headers;
    const auto add_header = [&headers](const std::string &line) {
        curl_slist *grown = curl_slist_append(headers.get(), line.c_str());
        if (grown) {
            static_cast<void>(headers.release());
            headers.reset(grown);
        }
    };
    if (!etag.empty())
        add_header("If-None-Match: " + etag);
    if (!last_modified.empty())
        add_header("If-Modified-Since: " + last_modified);
    MemorySink sink{&result.body, max_bytes};
    Validators validators;
    CURL *e = easy.get();
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, to_memory);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &validators);
    const CURLcode code = curl_easy_perform(e);
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &result.status);
    if (sink.overflow) {
        result.error = strprintf("larger than %zu bytes", max_bytes);
        return result;
    }
    if (code != CURLE_OK) {
        result.error = curl_error(code, result.status, detail);
        return result;
    }
    result.ok = true;
    result.etag = std::move(validators.etag);
    result.last_modified = std::move(validators.last_modified);
    return result;
}

// ---------------------------------------------------------------- Download

Download::Download(const Repository &repository, std::string file_name, int64_t size, std::string sha1,
                   std::string part_path, const Settings &settings)
    : m_repository(repository), m_file_name(std::move(file_name)), m_size(size), m_sha1(std::move(sha1)),
      m_part_path(std::move(part_path)), m_settings(settings)
{
}

Download::~Download() = default;

std::string Download::url() const
{
    const size_t mirror = std::min(m_mirror, m_repository.mirrors.size() - 1);
    return m_repository.mirrors[mirror] + "/" + m_file_name;
}

int64_t Download::part_size() const
{
    struct stat st {};
    return ::stat(m_part_path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

void Download::discard_part() { ::unlink(m_part_path.c_str()); }

bool Download::start(CURL *easy, Progress *progress)
{
    m_easy = easy;
    m_progress = progress;
    if (!curl_prepare(easy, m_settings, m_repository, m_detail, m_error)) {
        m_error = strprintf("%s: %s", url().c_str(), m_error.c_str());
        return false;
    }
    int64_t have = part_size();
    if (have > m_size || m_fresh_retry) {
        discard_part();
        have = 0;
    }
    m_out = fopen_cloexec(m_part_path, "ab");
    if (!m_out) {
        const int err = errno;
        m_error = strprintf("cannot write %s: %s", m_part_path.c_str(), std::strerror(err));
        return false;
    }
    m_resumed_from = have;
    m_written = 0;
    m_first_write = true;
    m_overflow = false;
    m_write_failed = false;
    if (progress)
        progress->add_bytes(have);
    const std::string address = url();
    log_to(plugin_log, LL_DEBUG, "qpc-http: fetching %s from byte %lld", address.c_str(), static_cast<long long>(have));
    curl_easy_setopt(easy, CURLOPT_URL, address.c_str());
    curl_easy_setopt(easy, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(have));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_write);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
    return true;
}

size_t Download::on_write(char *data, size_t size, size_t count, void *self_ptr)
{
    auto *self = static_cast<Download *>(self_ptr);
    const size_t n = size * count;
    if (self->m_first_write) {
        self->m_first_write = false;
        long status = 0;
        curl_easy_getinfo(self->m_easy, CURLINFO_RESPONSE_CODE, &status);
        // A server that ignores the range sends the whole file: start over.
        if (self->m_resumed_from > 0 && status == 200) {
            if (ftruncate(fileno(self->m_out.get()), 0) != 0) {
                self->m_write_failed = true;
                return 0;
            }
            if (self->m_progress)
                self->m_progress->drop_bytes(self->m_resumed_from);
            self->m_resumed_from = 0;
        }
    }
    if (self->m_resumed_from + self->m_written + static_cast<int64_t>(n) > self->m_size) {
        self->m_overflow = true;
        return 0;
    }
    if (std::fwrite(data, 1, n, self->m_out.get()) != n) {
        self->m_write_failed = true;
        return 0;
    }
    self->m_written += static_cast<int64_t>(n);
    if (self->m_progress)
        self->m_progress->add_bytes(static_cast<int64_t>(n));
    return n;
}

Download::State Download::failed(const std::string &why)
{
    m_error = strprintf("%s: %s", url().c_str(), why.c_str());
    return State::Failed;
}

Download::State Download::next_mirror(const std::string &why)
{
    if (m_mirror + 1 >= m_repository.mirrors.size())
        return failed(why);
    log_to(plugin_log, LL_WARNING, "qpc-http: %s: %s, trying the next mirror", url().c_str(), why.c_str());
    ++m_mirror;
    m_attempt = 0;
    m_fresh_retry = false;
    return State::Again;
}

Download::State Download::finish(CURLcode code, long status)
{
    const bool closed = m_out && std::fclose(m_out.release()) == 0;
    if (m_progress)
        m_progress->drop_bytes(m_resumed_from + m_written);
    if (m_write_failed || !closed) {
        const int err = errno;
        discard_part();
        return failed(strprintf("cannot write %s: %s", m_part_path.c_str(), std::strerror(err)));
    }
    if (m_overflow) {
        discard_part();
        return next_mirror(strprintf("more than the %lld bytes the index gives", static_cast<long long>(m_size)));
    }
    if (code != CURLE_OK) {
        const std::string why = curl_error(code, status, m_detail);
        if (status == 416) {
            // What we hold is not a prefix of what the mirror has.
            discard_part();
            m_fresh_retry = false;
            if (m_attempt++ < m_settings.retries)
                return State::Again;
            return next_mirror(why);
        }
        if (transient(code, status) && m_attempt < m_settings.retries) {
            ++m_attempt;
            log_to(plugin_log, LL_INFO, "qpc-http: %s: %s, trying again", url().c_str(), why.c_str());
            return State::Again;
        }
        return next_mirror(why);
    }
    const int64_t have = part_size();
    if (have < m_size)
        // A short body: the next mirror goes on from here.
        return next_mirror(strprintf("truncated, %lld of %lld bytes", static_cast<long long>(have),
                                     static_cast<long long>(m_size)));
    const std::optional<std::string> sha1 = sha1_file(m_part_path);
    if (sha1 && *sha1 == m_sha1) {
        m_done = true;
        if (m_progress)
            m_progress->add_bytes(m_size);
        return State::Done;
    }
    discard_part();
    if (m_resumed_from > 0 && !m_fresh_retry) {
        // The bytes kept from before may be the bad ones: once more, whole.
        log_to(plugin_log, LL_INFO, "qpc-http: %s: SHA-1 differs from the index after a resumed download, fetching it whole",
             url().c_str());
        m_fresh_retry = true;
        return State::Again;
    }
    return next_mirror("SHA-1 differs from the index");
}

// ---------------------------------------------------------------- runners

Download::State run_one(Download &download, Progress *progress)
{
    CurlPtr easy = curl_new();
    if (!easy)
        return Download::State::Failed;
    for (;;) {
        if (!download.start(easy.get(), progress))
            return Download::State::Failed;
        const CURLcode code = curl_easy_perform(easy.get());
        long status = 0;
        curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
        const Download::State state = download.finish(code, status);
        if (state != Download::State::Again) {
            if (progress && state == Download::State::Done)
                progress->package_done();
            return state;
        }
    }
}

int run_many(const std::vector<Download *> &downloads, Progress *progress, const Settings &settings)
{
    CurlMultiPtr multi(curl_multi_init());
    if (!multi)
        return 0;
    curl_multi_setopt(multi.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, static_cast<long>(settings.parallel));

    std::vector<CurlPtr> handles;
    size_t next = 0;
    int running_count = 0;
    int done = 0;
    // Starts `d` on a free handle (one made when none is free).
    std::vector<CURL *> idle;
    const auto launch = [&](Download *d) {
        CURL *easy = nullptr;
        if (!idle.empty()) {
            easy = idle.back();
            idle.pop_back();
        } else {
            handles.push_back(curl_new());
            easy = handles.back().get();
        }
        if (!easy || !d->start(easy, progress) || curl_multi_add_handle(multi.get(), easy) != CURLM_OK) {
            log_to(plugin_log, LL_WARNING, "qpc-http: cannot fetch %s: %s", d->file_name().c_str(), d->error().c_str());
            if (easy)
                idle.push_back(easy);
            return;
        }
        ++running_count;
    };
    while (next < downloads.size() && running_count < settings.parallel)
        launch(downloads[next++]);

    while (running_count > 0) {
        int still = 0;
        if (curl_multi_perform(multi.get(), &still) != CURLM_OK)
            break;
        int queued = 0;
        while (CURLMsg *msg = curl_multi_info_read(multi.get(), &queued)) {
            if (msg->msg != CURLMSG_DONE)
                continue;
            CURL *easy = msg->easy_handle;
            const CURLcode code = msg->data.result;
            Download *d = nullptr;
            curl_easy_getinfo(easy, CURLINFO_PRIVATE, &d);
            long status = 0;
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
            curl_multi_remove_handle(multi.get(), easy);
            --running_count;
            idle.push_back(easy);
            const Download::State state = d->finish(code, status);
            if (state == Download::State::Again) {
                launch(d);
            } else if (state == Download::State::Done) {
                ++done;
                if (progress)
                    progress->package_done();
            }
            while (next < downloads.size() && running_count < settings.parallel)
                launch(downloads[next++]);
        }
        if (running_count > 0 && curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr) != CURLM_OK)
            break;
    }
    // Anything still attached is given up; its partial file stays for later.
    for (const CurlPtr &h : handles)
        if (h)
            curl_multi_remove_handle(multi.get(), h.get());
    return done;
}

} // namespace qpm::http
