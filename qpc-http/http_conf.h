#pragma once
// /etc/qpc-http.conf: settings, then the repositories, each a "[name]" line
// followed by its mirror URLs in order of preference:
//
//   # comments and empty lines are skipped
//   parallel = 4            downloads side by side (1 to 16)
//   retries = 2             further attempts per mirror after a transient error
//   connect_timeout = 15    seconds to connect
//   low_speed_time = 30     seconds below low_speed_limit before giving up
//   low_speed_limit = 1024  bytes per second
//   cafile = /etc/ssl/quendari-ca.pem
//                           the certificates (PEM) that HTTPS servers are
//                           checked against instead of the system's CA store,
//                           a path below the system root
//
//   [main]
//   https://mirror-a.example.org/quendari/main
//   file:///srv/quendari/main
//   cafile = /etc/ssl/main-ca.pem   (only cafile may be given per repository)
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qpm::http {

struct Repository {
    std::string name;                 // also its directory below the cache
    std::vector<std::string> mirrors; // without a trailing slash
    std::string cafile;               // system path; "" for the system's CA store
};

struct Settings {
    int parallel = 4;
    int retries = 2;
    long connect_timeout = 15;
    long low_speed_time = 30;
    long low_speed_limit = 1024;
    std::string cafile; // for the repositories that name none of their own
};

struct Config {
    Settings settings;
    std::vector<Repository> repositories; // each with at least one mirror
    std::vector<std::string> problems;    // one line per refused line, "FILE:LINE: what"
};

// Parses the configuration text; `path` names it in the problems. Refused
// lines are left out and reported; a repository without mirrors is dropped.
Config parse_config(std::string_view text, const std::string &path);

// "http://", "https://" or "file://" followed by something.
bool is_mirror_url(std::string_view text);

} // namespace qpm::http
