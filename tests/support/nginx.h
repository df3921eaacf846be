#pragma once
// A real nginx for the end-to-end tests: started by the test itself on a
// free loopback port with a configuration of its own in a temporary
// directory, serving that directory's www/ tree, and stopped when the owner
// goes away. Its access log tells the tests what was asked and answered.
#include "support/test_support.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace qpm::test {

// One line of the access log.
struct AccessEntry {
    std::string method;
    std::string uri;
    int status = 0;
    std::string range;   // the Range request header, "" when none
    long bytes = 0;      // body bytes sent
    double end = 0;      // when the response ended, seconds since the epoch
    double duration = 0; // seconds the request took
};

struct NginxOptions {
    // When given ("64k"), every response is slowed down to it.
    std::string rate_limit;
    // When given, HTTPS with this certificate (PEM, the chain after it) and
    // key instead of plain HTTP.
    std::string tls_certificate;
    std::string tls_key;
    // A forward proxy for plain HTTP instead of a file server: every request
    // is passed on to the host its URL names (an IP address: no resolver).
    bool proxy = false;
};

class Nginx {
public:
    // `rate_limit` ("64k"), when given, slows every response down to it.
    explicit Nginx(const std::string &rate_limit = "");
    explicit Nginx(const NginxOptions &options);
    ~Nginx();
    Nginx(const Nginx &) = delete;
    Nginx &operator=(const Nginx &) = delete;

    bool ok() const { return m_error.empty(); }
    const std::string &error() const { return m_error; }

    // The directory served at "/".
    std::string www() const { return m_dir.path() + "/www"; }
    // "http://127.0.0.1:PORT" (https:// with TLS) + path.
    std::string url(const std::string &path = "") const;
    int port() const { return m_port; }

    // Every request so far (the log is flushed per request).
    std::vector<AccessEntry> log() const;

private:
    ScratchDir m_dir;
    int m_port = 0;
    bool m_tls = false;
    pid_t m_pid = -1;
    std::string m_error;
};

// A free TCP port on 127.0.0.1 (nothing listens there once this returns).
int free_loopback_port();

// A loopback port that accepts connections and never answers: a stalled
// mirror. Closed with the owner.
class SilentPort {
public:
    SilentPort();
    ~SilentPort();
    SilentPort(const SilentPort &) = delete;
    SilentPort &operator=(const SilentPort &) = delete;
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

} // namespace qpm::test
