#include "http_conf.h"

#include "package/qpk_info.h"
#include "util/strfmt.h"

#include <charconv>

namespace qpm::http {
namespace {

std::string_view trim(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

struct SettingSpec {
    const char *key;
    long min;
    long max;
};

constexpr SettingSpec SETTINGS[] = {
    {"parallel", 1, 16},       {"retries", 0, 10},          {"connect_timeout", 1, 3600},
    {"low_speed_time", 1, 3600}, {"low_speed_limit", 1, 1L << 30},
};

void store(Settings &s, std::string_view key, long value)
{
    if (key == "parallel")
        s.parallel = static_cast<int>(value);
    else if (key == "retries")
        s.retries = static_cast<int>(value);
    else if (key == "connect_timeout")
        s.connect_timeout = value;
    else if (key == "low_speed_time")
        s.low_speed_time = value;
    else
        s.low_speed_limit = value;
}

// One "key = value" line; the problem when it is refused.
std::optional<std::string> setting(Settings &s, std::string_view line, size_t equals)
{
    const std::string_view key = trim(line.substr(0, equals));
    const std::string_view value = trim(line.substr(equals + 1));
    for (const SettingSpec &setting : SETTINGS) {
        if (key != setting.key)
            continue;
        long number = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
        if (ec != std::errc() || end != value.data() + value.size() || number < setting.min || number > setting.max)
            return strprintf("%s takes a number from %ld to %ld, not \"%.*s\"", setting.key, setting.min, setting.max,
                             static_cast<int>(value.size()), value.data());
        store(s, key, number);
        return std::nullopt;
    }
    return strprintf("unknown setting \"%.*s\"", static_cast<int>(key.size()), key.data());
}

// "cafile = PATH"; the problem when the path is not absolute.
std::optional<std::string> ca_file(std::string &cafile, std::string_view line, size_t equals)
{
    const std::string_view value = trim(line.substr(equals + 1));
    if (!value.starts_with('/') || value.find_first_of(" \t") != std::string_view::npos)
        return strprintf("cafile takes an absolute path, not \"%.*s\"", static_cast<int>(value.size()), value.data());
    cafile = value;
    return std::nullopt;
}

bool is_ca_file_line(std::string_view line, size_t equals)
{
    return equals != std::string_view::npos && trim(line.substr(0, equals)) == "cafile";
}

} // namespace

bool is_mirror_url(std::string_view text)
{
    for (std::string_view scheme : {"http://", "https://", "file://"})
        if (text.size() > scheme.size() && text.starts_with(scheme))
            return text.find_first_of(" \t") == std::string_view::npos;
    return false;
}

Config parse_config(std::string_view text, const std::string &path)
{
    Config config;
    // The repository being read (an index: the vector grows), or NONE.
    constexpr size_t NONE = static_cast<size_t>(-1);
    size_t current = NONE;
    // Settings come before the first section; after it, only a repository's
    // own cafile (a refused section's lines belong to no one).
    bool in_sections = false;
    int number = 0;
    while (!text.empty()) {
        const size_t feed = text.find('\n');
        const std::string_view raw = text.substr(0, feed);
        text.remove_prefix(feed == std::string_view::npos ? text.size() : feed + 1);
        ++number;
        const std::string_view line = trim(raw);
        if (line.empty() || line.front() == '#')
            continue;
        const auto problem = [&](const std::string &what) {
            config.problems.push_back(strprintf("%s:%d: %s", path.c_str(), number, what.c_str()));
        };
        if (line.front() == '[') {
            in_sections = true;
            const std::string_view name = line.size() > 2 && line.back() == ']' ? line.substr(1, line.size() - 2)
                                                                                : std::string_view();
            // The name becomes a directory of the cache.
            if (!qpk_ident_valid(name)) {
                problem(strprintf("not a repository name: %.*s", static_cast<int>(line.size()), line.data()));
                current = NONE;
                continue;
            }
            current = config.repositories.size();
            for (size_t i = 0; i < config.repositories.size(); ++i)
                if (config.repositories[i].name == name)
                    current = i;
            if (current < config.repositories.size())
                problem(strprintf("repository [%.*s] given twice, its mirrors are joined", static_cast<int>(name.size()),
                                  name.data()));
            else
                config.repositories.push_back({std::string(name), {}, {}});
            continue;
        }
        if (is_mirror_url(line)) {
            if (current == NONE) {
                problem("a mirror URL outside a [repository] section");
                continue;
            }
            std::string url(line);
            while (url.ends_with('/') && !url.ends_with("://"))
                url.pop_back();
            config.repositories[current].mirrors.push_back(std::move(url));
            continue;
        }
        const size_t equals = line.find('=');
        if (is_ca_file_line(line, equals) && (current != NONE || !in_sections)) {
            std::string &cafile = current == NONE ? config.settings.cafile : config.repositories[current].cafile;
            if (std::optional<std::string> refused = ca_file(cafile, line, equals))
                problem(*refused);
            continue;
        }
        if (equals != std::string_view::npos && !in_sections) {
            if (std::optional<std::string> refused = setting(config.settings, line, equals))
                problem(*refused);
            continue;
        }
        problem(strprintf("not a URL: %.*s", static_cast<int>(line.size()), line.data()));
    }
    std::erase_if(config.repositories, [&](const Repository &r) {
        if (r.mirrors.empty())
            config.problems.push_back(strprintf("%s: repository [%s] has no mirror", path.c_str(), r.name.c_str()));
        return r.mirrors.empty();
    });
    for (Repository &r : config.repositories)
        if (r.cafile.empty())
            r.cafile = config.settings.cafile;
    return config;
}

} // namespace qpm::http
