#include "util/getopts.h"
#include "support/test_support.h"
#include "util/raii.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

using namespace qpm;

namespace {

constexpr GetoptsOption key_options[] = {
    {2, "add", "add a key to keystore", "A", 1},
    {3, "delete", "delete a key from keystore", "D", 1},
    {4, "list", "list installed keys", "L", 0},
    {5, "force", "force action without question", "f", 0},
    {6, "verbose", "show verbose output", "v", 0},
    {7, "version", "show version information", "V", 0},
    {0, nullptr, nullptr, nullptr, 0},
};

// A command line with stable argv storage; parsing starts from the beginning.
class CommandLine {
public:
    CommandLine(std::initializer_list<const char *> words) : m_words(words.begin(), words.end())
    {
        for (auto &word : m_words)
            m_argv.push_back(word.data());
        m_argv.push_back(nullptr);
        getopts_reset();
    }
    int next() { return getopts(argc(), m_argv.data(), key_options, arg); }
    int argc() const { return static_cast<int>(m_words.size()); }
    char *const *argv() const { return m_argv.data(); }

    std::optional<std::string> arg;

private:
    std::vector<std::string> m_words;
    std::vector<char *> m_argv;
};

struct Parsed {
    int last;        // GETOPTS_END or GETOPTS_HELP
    std::string out; // what the parse wrote to standard output
};

// Parses until the end of the options or the help answer.
Parsed parse_all(CommandLine &line)
{
    test::CaptureFd out(1);
    int code = 0;
    while ((code = line.next()) != GETOPTS_END && code != GETOPTS_HELP) {
    }
    return {code, out.finish()};
}

} // namespace

TEST(Getopts, OptionsAndArgumentsInOrder)
{
    CommandLine line{"qpm-key", "-A", "cert.pem", "--verbose", "--delete", "0a1b2c3d", "-f"};
    EXPECT_EQ(line.next(), 2);
    EXPECT_EQ(line.arg, "cert.pem");
    EXPECT_EQ(line.next(), 6);
    EXPECT_FALSE(line.arg);
    EXPECT_EQ(line.next(), 3);
    EXPECT_EQ(line.arg, "0a1b2c3d");
    EXPECT_EQ(line.next(), 5);
    EXPECT_EQ(line.next(), 0);
    EXPECT_EQ(line.next(), 0);
    EXPECT_FALSE(line.arg);
}

TEST(Getopts, StopsAtTheFirstNonOptionWithoutConsumingIt)
{
    CommandLine line{"qpm-key", "-L", "foo", "-x"};
    EXPECT_EQ(line.next(), 4);
    EXPECT_EQ(line.next(), 0);
    EXPECT_EQ(option_index, 2);
    EXPECT_EQ(line.next(), 0);
    EXPECT_EQ(option_index, 2);
}

TEST(Getopts, UnknownOptionIsHandedBackAndSkipped)
{
    CommandLine line{"qpm-key", "-x", "-L", "--", "-"};
    EXPECT_EQ(line.next(), -2);
    EXPECT_EQ(line.arg, "-x");
    EXPECT_EQ(line.next(), 4);
    EXPECT_EQ(line.next(), -2);
    EXPECT_EQ(line.arg, "--");
    EXPECT_EQ(line.next(), -2);
    EXPECT_EQ(line.arg, "-");
    EXPECT_EQ(line.next(), 0);
}

TEST(Getopts, ArgumentMayLookLikeAnUnknownOption)
{
    CommandLine line{"qpm-key", "-D", "-0a1b"};
    EXPECT_EQ(line.next(), 3);
    EXPECT_EQ(line.arg, "-0a1b");
    EXPECT_EQ(line.next(), 0);
}

TEST(Getopts, NamesMatchWholeWordsInTheirOwnForm)
{
    CommandLine line{"qpm-key", "-list", "--L", "--lis"};
    EXPECT_EQ(line.next(), -2);
    EXPECT_EQ(line.next(), -2);
    EXPECT_EQ(line.next(), -2);
}

TEST(Getopts, NoArgumentsMeansNoOptions)
{
    CommandLine line{"qpm-key"};
    EXPECT_EQ(line.next(), 0);
}

TEST(Getopts, HelpAnywhereAnswersWithUsageBeforeAnyOption)
{
    CommandLine after_stop{"qpm-key", "-L", "foo", "-h"};
    test::CaptureFd out(1);
    EXPECT_EQ(after_stop.next(), GETOPTS_HELP);
    EXPECT_EQ(out.finish().rfind("Usage: qpm-key [options]\n\n", 0), 0u);

    CommandLine as_argument{"qpm-key", "-A", "--help"};
    const Parsed parsed = parse_all(as_argument);
    EXPECT_EQ(parsed.last, GETOPTS_HELP);
    EXPECT_NE(parsed.out.find("Displays this information"), std::string::npos);
}

TEST(Getopts, MissingArgumentAnswersWithUsage)
{
    CommandLine line{"qpm-key", "-v", "--add"};
    test::CaptureFd out(1);
    EXPECT_EQ(line.next(), 6); // options before it are handed back first
    EXPECT_EQ(out.finish(), "");
    const Parsed parsed = parse_all(line);
    EXPECT_EQ(parsed.last, GETOPTS_HELP);
    EXPECT_EQ(parsed.out.rfind("Usage: qpm-key", 0), 0u);
}

TEST(Getopts, ArgumentThatIsAnOptionAnswersWithUsage)
{
    CommandLine line{"qpm-key", "-A", "-v"};
    const Parsed parsed = parse_all(line);
    EXPECT_EQ(parsed.last, GETOPTS_HELP);
    EXPECT_EQ(parsed.out.rfind("Usage: qpm-key", 0), 0u);
    CommandLine long_form{"qpm-key", "-D", "--list"};
    EXPECT_EQ(parse_all(long_form).last, GETOPTS_HELP);
}

TEST(GetoptsUsage, ColumnsForEachKindOfEntry)
{
    constexpr GetoptsOption table[] = {
        {2, "add", "add it", "A", 1},
        {4, "list", "list them", "L", 0},
        {8, "root", "root dir", nullptr, 1},
        {9, "quiet", "say less", nullptr, 0},
        {10, nullptr, "backend", "b", 1},
        {11, nullptr, "dry run", "n", 0},
        {0, nullptr, nullptr, nullptr, 0},
        {12, "never", "after the end", "N", 0},
    };
    test::ScratchDir dir;
    FilePtr out = fopen_cloexec(dir / "usage", "w+");
    ASSERT_TRUE(out);
    EXPECT_EQ(getopts_usage("qpm-adm", table, out.get()), 1);
    std::fflush(out.get());
    const std::string text = test::read_file(dir / "usage");
    EXPECT_EQ(text, "Usage: qpm-adm [options]\n\n"
                    "  --help,\t-h\t\t\tDisplays this information\n"
                    "  --add,\t-A <args>\t\tadd it\n"
                    "  --list,\t-L\t\t\tlist them\n"
                    "  --root <args>\t\t\troot dir\n"
                    "  --quiet\t\t\tsay less\n"
                    "  \t\t-b <args>\t\tbackend\n"
                    "  \t\t-n\t\t\tdry run\n");
}
