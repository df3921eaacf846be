#include "util/log.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace qpm {
namespace {

using test::CaptureFd;
using test::ScratchDir;
using test::read_file;

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

// Asserts the line is "<date> <time> <rest>" and returns <rest>.
std::string after_stamp(const std::string &line)
{
    static const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (.*)$)");
    std::smatch m;
    if (!std::regex_match(line, m, stamp)) {
        ADD_FAILURE() << "no time stamp: " << line;
        return line;
    }
    return m[1];
}

std::vector<std::string> logged(const std::string &path)
{
    std::vector<std::string> out;
    for (const std::string &line : lines_of(read_file(path)))
        out.push_back(after_stamp(line));
    return out;
}

// Opens a handle on `path` and keeps the tests off syslog and the terminal
// unless a test asks for them.
LogPtr open_log(const std::string &path, int file_level, int syslog_level = 3)
{
    LogPtr h = log_init(path.c_str(), file_level, syslog_level, 7, nullptr);
    if (h) {
        h->syslog_mask = 0;
        h->stderr_mask = 0;
    }
    return h;
}

TEST(Log, InvalidFileLevelFallsBackToDefaultWithItsOwnSetUpLine)
{
    for (int level : {0, 16}) {
        ScratchDir dir;
        const LogPtr h = open_log(dir / "qpm.log", level);
        ASSERT_TRUE(h);
        EXPECT_EQ(h->file_mask, 7);
        EXPECT_EQ(logged(dir / "qpm.log"),
                  (std::vector<std::string>{"[INIT] Setting default log level 7",
                                            "[INIT] Setting syslog level 3"}))
            << level;
    }
    ScratchDir dir;
    const LogPtr h = open_log(dir / "qpm.log", 15);
    EXPECT_EQ(h->file_mask, 15);
    EXPECT_EQ(logged(dir / "qpm.log").front(), "[INIT] Setting log level 15");
}

TEST(Log, SyslogLevelAboveSevenIsReducedByEight)
{
    ScratchDir dir;
    LogPtr h = log_init((dir / "a.log").c_str(), 7, 11, 11, nullptr);
    EXPECT_EQ(h->syslog_mask, 3);
    EXPECT_EQ(h->stderr_mask, 11); // standard error is not reduced
    EXPECT_EQ(logged(dir / "a.log").back(), "[INIT] Setting syslog level 3");

    h = log_init((dir / "b.log").c_str(), 7, 8, 7, nullptr);
    EXPECT_EQ(h->syslog_mask, 7);
    EXPECT_EQ(logged(dir / "b.log").back(), "[INIT] Setting default syslog level 7");

    EXPECT_EQ(log_level_new(h.get(), 0, 11, 16), 0);
    EXPECT_EQ(h->file_mask, 7);
    EXPECT_EQ(h->syslog_mask, 3);
    EXPECT_EQ(h->stderr_mask, 7);
    EXPECT_EQ(log_level_new(nullptr, 7, 7, 7), -1);
}

TEST(Log, DebugReachesFileOnlyWhenItsMaskAllows)
{
    ScratchDir dir;
    const LogPtr normal = open_log(dir / "7.log", 7);
    log_write(normal.get(), LL_INFO, "info line");
    log_write(normal.get(), LL_DEBUG, "debug line");
    EXPECT_EQ(logged(dir / "7.log").back(), "[INFO] info line");
    EXPECT_EQ(logged(dir / "7.log").size(), 3u);

    const LogPtr debug = open_log(dir / "15.log", 15);
    log_write(debug.get(), LL_DEBUG, "debug line");
    log_write(debug.get(), LL_ERROR, "error line");
    log_write(debug.get(), LL_WARNING, "warning line");
    const auto lines = logged(dir / "15.log");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2], "[DEBUG] debug line");
    EXPECT_EQ(lines[3], "[ERROR] error line");
    EXPECT_EQ(lines[4], "[WARNING] warning line");
}

TEST(Log, LongTextIsCutInFileButWholeOnStandardError)
{
    ScratchDir dir;
    const LogPtr h = open_log(dir / "qpm.log", 7);
    h->stderr_mask = 7;
    const std::string text(1950, 'x');
    CaptureFd capture(2);
    EXPECT_EQ(log_write(h.get(), LL_WARNING, text.c_str()), 0);
    EXPECT_EQ(capture.finish(), text + "\n");
    EXPECT_EQ(logged(dir / "qpm.log").back(), "[WARNING] " + std::string(1900, 'x'));
}

TEST(Log, NullTextWritesTheMessageBuffer)
{
    ScratchDir dir;
    const LogPtr h = open_log(dir / "qpm.log", 7);
    std::snprintf(h->message, sizeof h->message, "install: %s", "done");
    log_write(h.get(), LL_INFO, nullptr);
    EXPECT_EQ(logged(dir / "qpm.log").back(), "[INFO] install: done");
}

TEST(Log, NullHandleAndLevelZeroPrintNothing)
{
    ScratchDir dir;
    LogPtr h = log_init((dir / "qpm.log").c_str(), 15, 3, 15, nullptr);
    h->syslog_mask = 0;
    const std::string before = read_file(dir / "qpm.log");
    CaptureFd capture(2);
    EXPECT_EQ(log_write(nullptr, LL_ERROR, "lost"), -1);
    EXPECT_EQ(log_write(h.get(), 0, "nothing"), 0);
    EXPECT_EQ(capture.finish(), "");
    EXPECT_EQ(read_file(dir / "qpm.log"), before);
}

TEST(Log, LevelsOutsideTheTableHaveNoName)
{
    EXPECT_STREQ(log_level_name(8), "DEBUG");
    EXPECT_STREQ(log_level_name(0), "ALL");
    EXPECT_STREQ(log_level_name(3), "");
    EXPECT_STREQ(log_level_name(9), "");
    EXPECT_STREQ(log_level_name(16), "");
    EXPECT_STREQ(log_level_name(-1), "");

    ScratchDir dir;
    const LogPtr h = open_log(dir / "qpm.log", 31);
    log_write(h.get(), 16, "odd level");
    EXPECT_EQ(logged(dir / "qpm.log").back(), "[] odd level");
}

TEST(Log, SetUpProblemsDisableFileLoggingWithMessage)
{
    ScratchDir dir;
    CaptureFd capture(2);
    LogPtr none = log_init(nullptr, 7, 3, 7, nullptr);
    LogPtr empty = log_init("", 7, 3, 7, nullptr);
    const std::string quiet = capture.finish();
    EXPECT_EQ(quiet, "");
    EXPECT_EQ(none->file_enabled, 0);
    EXPECT_EQ(empty->file_enabled, 0);
    EXPECT_EQ(none->ready, 1);

    const std::string missing = dir / "no/such/dir/qpm.log";
    CaptureFd capture2(2);
    LogPtr unopened = log_init(missing.c_str(), 7, 3, 7, nullptr);
    LogPtr too_long = log_init(std::string(2000, 'a').c_str(), 7, 3, 7, nullptr);
    EXPECT_EQ(capture2.finish(), "Unable to open file: " + missing + "\n. Logging disabled." +
                                     "log file specified too long\n. Logging disabled.\n");
    EXPECT_EQ(unopened->file_enabled, 0);
    EXPECT_EQ(too_long->file_enabled, 0);
}

TEST(Log, FileNewSwitchesTheFile)
{
    ScratchDir dir;
    const LogPtr h = open_log(dir / "first.log", 7);
    EXPECT_EQ(log_file_new(nullptr, "x"), -1);
    EXPECT_EQ(log_file_new(h.get(), (dir / "second.log").c_str()), 1);
    log_write(h.get(), LL_ERROR, "moved");
    EXPECT_EQ(logged(dir / "second.log"), std::vector<std::string>{"[ERROR] moved"});

    CaptureFd capture(2);
    EXPECT_EQ(log_file_new(h.get(), nullptr), 0);
    EXPECT_EQ(capture.finish(), "No log file specified\n.Logging disabled.\n");
    EXPECT_EQ(h->file_enabled, 0);
}

TEST(Log, QlogFormatsIntoTheGlobalHandleOnlyWhenThereIsOne)
{
    ScratchDir dir;
    LogPtr mine = open_log(dir / "qpm.log", 7);
    std::swap(llog, mine);
    qlog(LL_WARNING, "%s: %d files", "cleanup", 3);
    std::swap(llog, mine);
    EXPECT_EQ(logged(dir / "qpm.log").back(), "[WARNING] cleanup: 3 files");

    LogPtr saved;
    std::swap(llog, saved);
    CaptureFd capture(2);
    qlog(LL_ERROR, "%s", "nowhere");
    EXPECT_EQ(capture.finish(), "");
    std::swap(llog, saved);
}

} // namespace
} // namespace qpm
