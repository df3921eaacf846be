#include "cmdline.h"

#include "util/sysroot.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qpm {
namespace {

constexpr const char *SAFE_PATH = "/usr/sbin:/usr/bin:/sbin:/bin";

// Only these characters: a value that is a path (or climbs out of one)
// would have root's programs read a file the caller chose.
bool value_made_of(std::string_view value, std::string_view extra, size_t longest = 64)
{
    if (value.size() > longest || value.find("..") != std::string_view::npos)
        return false;
    return std::all_of(value.begin(), value.end(), [extra](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               extra.find(c) != std::string_view::npos;
    });
}

// A proxy for root's downloads may be the caller's: whatever it serves is
// held to the signed index (size, SHA-1) and the package signature, and the
// caller could keep the network from root anyway. But only a proxy address,
// "[scheme://][user[:password]@]host[:port][/]": no path (libcurl would take
// "socks5h://localhost/PATH" for a Unix socket of the caller's choosing).
bool proxy_address(std::string_view value)
{
    if (const size_t scheme = value.find("://"); scheme != std::string_view::npos) {
        const std::string_view name = value.substr(0, scheme);
        if (name != "http" && name != "https" && name != "socks4" && name != "socks4a" && name != "socks5" &&
            name != "socks5h")
            return false;
        value.remove_prefix(scheme + 3);
    }
    if (value.ends_with('/'))
        value.remove_suffix(1);
    return !value.empty() && value_made_of(value, "-._~%!$&'()*+,;=:@[]", 256);
}

bool keep_in_environment(std::string_view entry)
{
    const size_t equals = entry.find('=');
    if (equals == std::string_view::npos)
        return false;
    const std::string_view name = entry.substr(0, equals);
    const std::string_view value = entry.substr(equals + 1);
    if (name == "LANG" || name.starts_with("LC_"))
        return value_made_of(value, "_.@-");
    if (name == "TERM")
        return value_made_of(value, "_.+-");
    if (name == "TZ") // a zone name below the zone directory, or a rule
        return value_made_of(value, "_.+-/,:<>") && !value.starts_with('/') && !value.starts_with(":/");
    if (name == "SUDO_UID")
        return value_made_of(value, "");
    // libcurl reads these (HTTP_PROXY in capitals it ignores, as a CGI
    // program could be handed one by a request header).
    if (name == "http_proxy" || name == "https_proxy" || name == "HTTPS_PROXY" || name == "all_proxy" ||
        name == "ALL_PROXY")
        return proxy_address(value);
    if (name == "no_proxy" || name == "NO_PROXY") // host names, addresses, CIDR ranges
        return value_made_of(value, "-._*,:[]/ ", 1024);
    return false;
}

constexpr const char *ACTION_WORDS[] = {"allowed", "install", "upgrade", "refresh", "cleanup"};

// The option keys each action reads.
bool known_option(int mode, const std::string &key)
{
    static constexpr const char *package_keys[] = {"variant", "version", "fastclean", "verbose"};
    if (mode == PQPM_INSTALL || mode == PQPM_UPGRADE) {
        for (const char *known : package_keys) {
            if (strcasecmp(key.c_str(), known) == 0)
                return true;
        }
        return false;
    }
    return strcasecmp(key.c_str(), "verbose") == 0;
}

} // namespace

int pqpm_mode(const char *action)
{
    for (int mode = 0; mode < 5; ++mode) {
        if (std::strcmp(action, ACTION_WORDS[mode]) == 0)
            return mode;
    }
    return -1;
}

StrArr pqpm_unknown_options(int mode, const Ekva *options)
{
    StrArr unknown;
    if (!options)
        return unknown;
    for (const EkvaEntry &entry : options->entries()) {
        if (known_option(mode, entry.key))
            continue;
        const bool named = std::any_of(unknown.begin(), unknown.end(), [&](const std::string &key) {
            return strcasecmp(key.c_str(), entry.key.c_str()) == 0;
        });
        if (!named)
            unknown.push_back(entry.key);
    }
    return unknown;
}

void pqpm_warn_unknown_options(int mode, const Ekva *options)
{
    if (mode < 0 || mode > PQPM_CLEANUP)
        return;
    for (const std::string &key : pqpm_unknown_options(mode, options))
        std::fprintf(stderr, "pqpm: ignoring unknown option %s for %s\n", key.c_str(), ACTION_WORDS[mode]);
}

PqpmArgs pqpm_parse_args(int mode, int argc, const char *const *argv)
{
    PqpmArgs args;
    args.mode = mode;
    int first_package = 2;
    if (argc > 3 && std::strcmp(argv[2], "-o") == 0) {
        args.option_text = std::string(argv[3]).substr(0, PQPM_OPTION_MAX);
        first_package = 4;
    }
    if (mode == PQPM_INSTALL || mode == PQPM_UPGRADE) {
        for (int i = first_package; i < argc; ++i)
            args.packages.emplace_back(argv[i]);
    }
    return args;
}

void pqpm_usage() { std::fprintf(stderr, "Usage: pqpm [ACTION] [OPTIONS] [PACKAGE(s)] \n"); }

void qpm_opt_help(int mode)
{
    std::printf("\nOptions are specified in the form of:");
    std::printf(" -o \"opt1=val1,opt2=val2,opt3=val3,...\"\n");
    if (mode == PQPM_INSTALL || mode == PQPM_UPGRADE) {
        std::printf(mode == PQPM_INSTALL ? "\nOptions for mode -I (install):\n"
                                         : "\nOptions for mode -U (update):\n");
        std::printf("  %-15s: %s\n", "variant", "variant to use. On empty value, use default variant.");
        std::printf("  %-15s: %s\n", "version", "version to install.");
    }
    std::printf("\n");
}

int pqpm_allowed()
{
    if (getuid() == 0)
        return 1;
    if (geteuid() != 0) {
        std::fprintf(stderr, "You are not root, fuck off\n");
        return 0;
    }
    const passwd *pw = getpwuid(getuid());
    if (!pw) // no passwd entry: no way to tell the groups, refuse
        return 0;
    const std::string user = pw->pw_name;
    const gid_t primary = pw->pw_gid;
    int count = 40;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(user.c_str(), primary, groups.data(), &count) == -1) {
        std::fprintf(stderr, "getgrouplist() for %s returned -1; ngroups = %d\n", user.c_str(), count);
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        const group *gr = getgrgid(groups[static_cast<size_t>(i)]);
        if (gr && std::strcmp(gr->gr_name, "wheel") == 0)
            return 1;
    }
    std::fprintf(stderr, "You are not in group %s, fuck off\n", "wheel");
    return 0;
}

void pqpm_sanitize_environment()
{
    std::vector<std::string> kept;
    for (char **env = environ; env && *env; ++env) {
        if (keep_in_environment(*env))
            kept.emplace_back(*env);
    }
    clearenv();
    for (const std::string &entry : kept) {
        const size_t eq = entry.find('=');
        if (eq != std::string::npos)
            setenv(entry.substr(0, eq).c_str(), entry.c_str() + eq + 1, 1);
    }
    setenv("PATH", SAFE_PATH, 1);
    system_root_pin_real();
}

void pqpm_ensure_std_fds()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        // open() returns the lowest free descriptor, which is this one.
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd && opened >= 0)
            close(opened);
    }
}

const char *qpm_get_variant(const Ekva *options) { return ekva_getval(options, "variant"); }

const char *qpm_get_version(const Ekva *options) { return ekva_getval(options, "version"); }

int qpm_get_outform(const Ekva *options)
{
    const char *form = ekva_getval(options, "outform");
    switch (form ? form[0] : '\0') {
    case 'c':
        return 4;
    case 'l':
        return 2;
    case 'x':
        return 3;
    default:
        return 1;
    }
}

} // namespace qpm
