#include "util/lgrep.h"

#include "util/raii.h"

namespace qpm {
namespace {

// A compiled expression, freed with its owner.
class Regex {
public:
    Regex(const std::string &pattern, int flags)
    {
        m_ok = regcomp(&m_regex, pattern.c_str(), flags) == 0;
    }
    Regex(const Regex &) = delete;
    Regex &operator=(const Regex &) = delete;
    ~Regex()
    {
        if (m_ok)
            regfree(&m_regex);
    }

    explicit operator bool() const { return m_ok; }
    const regex_t &get() const { return m_regex; }

private:
    regex_t m_regex{};
    bool m_ok = false;
};

} // namespace

std::optional<std::string> lgrep_exec_regex(const std::string &text, const regex_t &regex)
{
    if (regexec(&regex, text.c_str(), 0, nullptr, 0) != 0)
        return std::nullopt;
    return text;
}

int lgrep_match_filename(const std::string &path, int ignore_case, int mode,
                         const std::string &pattern, StrArr &lines)
{
    if (mode != 1)
        return -3;
    const Regex regex(pattern, REG_EXTENDED | REG_NOSUB | (ignore_case ? REG_ICASE : 0));
    if (!regex)
        return -1;
    FilePtr file = fopen_cloexec(path, "r");
    if (!file)
        return -1;

    // Whole lines, however long: a match must never depend on where a read
    // buffer happened to end.
    int matches = 0;
    std::string line;
    for (bool more = true; more;) {
        line.clear();
        int c;
        while ((c = std::getc(file.get())) != EOF && c != '\n')
            line += static_cast<char>(c);
        more = c != EOF;
        if (!more && line.empty())
            break;
        if (lgrep_exec_regex(line, regex.get())) {
            arr_t21_add(lines, line);
            ++matches;
        }
    }
    return matches;
}

} // namespace qpm
