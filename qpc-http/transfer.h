#pragma once
// Transfers with libcurl: the index into memory with conditional headers,
// and package files into a partial file in the cache, resumed where an
// earlier attempt stopped, retried, failed over from mirror to mirror and
// accepted only with the size and SHA-1 the index gives. Several downloads
// run side by side through the multi interface.
#include "http_conf.h"
#include "progress.h"
#include "util/raii.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <curl/curl.h>

namespace qpm::http {

using CurlPtr = std::unique_ptr<CURL, Deleter<&curl_easy_cleanup>>;
using CurlMultiPtr = std::unique_ptr<CURLM, Deleter<&curl_multi_cleanup>>;
using CurlListPtr = std::unique_ptr<curl_slist, Deleter<&curl_slist_free_all>>;

// A new easy handle (null when libcurl cannot be had).
CurlPtr curl_new();

// Sets `easy` up for a transfer from `repository`, resetting whatever an
// earlier transfer set: the options every transfer shares (timeouts,
// protocols http, https and file, redirects only to http and https,
// close-on-exec sockets; proxies as the environment names them) and the
// certificates HTTPS servers are checked against: the repository's cafile
// alone when it names one, read below the system root, else the system's CA
// store. `detail` (CURL_ERROR_SIZE bytes) receives libcurl's own words on a
// failure. false, with the reason in `error`, when the cafile cannot be read:
// such a transfer must not go on with the system's store instead.
bool curl_prepare(CURL *easy, const Settings &settings, const Repository &repository, char *detail,
                  std::string &error);

// What went wrong with a transfer, in one line: libcurl's words for the
// code, or for TLS failures (an untrusted certificate, a name that does not
// match) the finer ones it left in `detail`.
std::string curl_error(CURLcode code, long status, const char *detail);

struct Fetched {
    bool ok = false;
    long status = 0;   // HTTP status; 0 for file://
    std::string body;  // empty for 304
    std::string etag;  // response validators, for the next conditional request
    std::string last_modified;
    std::string error; // why not ok
};

// GET `url` (a mirror of `repository`) into memory, at most `max_bytes`,
// with If-None-Match and If-Modified-Since when given. A 304 is ok with an
// empty body.
Fetched fetch_to_memory(const std::string &url, const Settings &settings, const Repository &repository,
                        const std::string &etag, const std::string &last_modified, size_t max_bytes);

// One package file to fetch from the mirrors of a repository.
class Download {
public:
    enum class State { Done, Again, Failed };

    Download(const Repository &repository, std::string file_name, int64_t size, std::string sha1,
             std::string part_path, const Settings &settings);
    ~Download();
    Download(const Download &) = delete;
    Download &operator=(const Download &) = delete;

    // Prepares `easy` for the next attempt. false (error() tells why) when
    // the partial file cannot be opened.
    bool start(CURL *easy, Progress *progress);
    // Judges the attempt that just ended. Done: the partial file holds the
    // whole verified package. Again: start again (same or next mirror).
    // Failed: no mirror is left; error() names the last one and its error.
    State finish(CURLcode code, long status);

    const std::string &file_name() const { return m_file_name; }
    const std::string &part_path() const { return m_part_path; }
    int64_t size() const { return m_size; }
    const std::string &error() const { return m_error; }
    bool done() const { return m_done; }
    // The mirror of the current attempt.
    std::string url() const;

private:
    static size_t on_write(char *data, size_t size, size_t count, void *self);
    State next_mirror(const std::string &why);
    State failed(const std::string &why);
    int64_t part_size() const;
    void discard_part();

    const Repository &m_repository;
    std::string m_file_name;
    int64_t m_size;
    std::string m_sha1;
    std::string m_part_path;
    const Settings &m_settings;

    size_t m_mirror = 0;
    int m_attempt = 0;
    bool m_fresh_retry = false; // a resumed file failed its check: once more from zero
    int64_t m_resumed_from = 0;
    int64_t m_written = 0; // bytes of this attempt in the partial file
    bool m_first_write = true;
    bool m_overflow = false;
    bool m_write_failed = false;
    bool m_done = false;
    FilePtr m_out;
    CURL *m_easy = nullptr;
    Progress *m_progress = nullptr;
    std::string m_error;
    char m_detail[CURL_ERROR_SIZE] = {};
};

// Runs one download to its end, attempt after attempt.
Download::State run_one(Download &download, Progress *progress);

// Runs the downloads side by side, at most `settings.parallel` at a time.
// Returns how many are Done.
int run_many(const std::vector<Download *> &downloads, Progress *progress, const Settings &settings);

} // namespace qpm::http
