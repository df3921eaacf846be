#include "support/nginx.h"

#include "util/strfmt.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qpm::test {
namespace {

constexpr const char *NGINX = "/usr/sbin/nginx";

// A socket bound to 127.0.0.1 on a port the kernel chose.
int bound_socket(int &port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

bool accepts_connections(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

} // namespace

int free_loopback_port()
{
    int port = 0;
    const int fd = bound_socket(port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

SilentPort::SilentPort()
{
    m_fd = bound_socket(m_port);
    if (m_fd >= 0 && ::listen(m_fd, 16) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

SilentPort::~SilentPort()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

Nginx::Nginx(const std::string &rate_limit)
    : Nginx([&rate_limit] {
          NginxOptions options;
          options.rate_limit = rate_limit;
          return options;
      }())
{
}

Nginx::Nginx(const NginxOptions &options) : m_tls(!options.tls_certificate.empty())
{
    if (::access(NGINX, X_OK) != 0) {
        m_error = std::string(NGINX) + " is missing (install nginx-light)";
        return;
    }
    const std::string dir = m_dir.path();
    std::filesystem::create_directories(www());
    // Workers of a master started as root would drop to "nobody", who cannot
    // enter our private temporary directory.
    const std::string user = geteuid() == 0 ? "user root;\n" : "";
    // Every path nginx would write (temporary files, logs, pid) is ours.
    for (int attempt = 0; attempt < 5 && m_pid < 0; ++attempt) {
        m_port = free_loopback_port();
        std::string conf = user + strprintf("worker_processes 1;\npid %s/nginx.pid;\nerror_log %s/error.log;\n"
                                            "events { worker_connections 64; }\nhttp {\n", dir.c_str(), dir.c_str());
        for (const char *temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
            conf += strprintf("  %s_temp_path %s/%s;\n", temp, dir.c_str(), temp);
        conf += "  log_format qpm '$request_method $uri $status \"$http_range\" $body_bytes_sent $msec "
                "$request_time';\n";
        conf += strprintf("  access_log %s/access.log qpm;\n", dir.c_str());
        conf += "  default_type application/octet-stream;\n";
        if (!options.rate_limit.empty())
            conf += "  limit_rate " + options.rate_limit + ";\n";
        if (m_tls)
            conf += strprintf("  server { listen 127.0.0.1:%d ssl; ssl_certificate %s; ssl_certificate_key %s;\n",
                              m_port, options.tls_certificate.c_str(), options.tls_key.c_str());
        else
            conf += strprintf("  server { listen 127.0.0.1:%d;\n", m_port);
        if (options.proxy)
            conf += "    location / { proxy_pass http://$http_host$request_uri; }\n  }\n}\n";
        else
            conf += strprintf("    root %s;\n  }\n}\n", www().c_str());
        write_file(dir + "/nginx.conf", conf);

        const std::string conf_path = dir + "/nginx.conf";
        const std::string error_path = dir + "/error.log";
        const pid_t pid = fork();
        if (pid == 0) {
            execl(NGINX, NGINX, "-c", conf_path.c_str(), "-p", dir.c_str(), "-e", error_path.c_str(), "-g",
                  "daemon off;", static_cast<char *>(nullptr));
            _exit(127);
        }
        if (pid < 0)
            break;
        for (int wait = 0; wait < 100; ++wait) {
            if (accepts_connections(m_port)) {
                m_pid = pid;
                break;
            }
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid)
                break; // it died: most likely the port was taken meanwhile
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (m_pid < 0) {
            ::kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    if (m_pid < 0) {
        std::ifstream errors(dir + "/error.log");
        std::stringstream text;
        text << errors.rdbuf();
        m_error = "nginx did not start: " + text.str();
    }
}

Nginx::~Nginx()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
}

std::string Nginx::url(const std::string &path) const
{
    return strprintf("%s://127.0.0.1:%d", m_tls ? "https" : "http", m_port) + path;
}

std::vector<AccessEntry> Nginx::log() const
{
    std::vector<AccessEntry> entries;
    std::ifstream in(m_dir.path() + "/access.log");
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        AccessEntry e;
        std::string range;
        words >> e.method >> e.uri >> e.status >> std::quoted(range) >> e.bytes >> e.end >> e.duration;
        e.range = range == "-" ? "" : range;
        entries.push_back(std::move(e));
    }
    return entries;
}

} // namespace qpm::test
