#include "util/cmd.h"

#include "support/test_support.h"
#include "util/log.h"
#include "util/raii.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace qpm;
using qpm::test::CaptureFd;
using qpm::test::ScratchDir;

namespace {

// Replaces llog for one test and puts the previous handle back afterwards.
class LogSwap {
public:
    explicit LogSwap(LogPtr handle) : m_saved(std::exchange(llog, std::move(handle))) {}
    ~LogSwap() { llog = std::move(m_saved); }

private:
    LogPtr m_saved;
};

} // namespace

TEST(CmdExec, CapturesStatusAndBothOutputsSeparately)
{
    std::optional<std::string> out, err;
    const int status = cmd_exec("sh -c 'printf \"out\\n\"; printf err >&2; exit 3'", out, err);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(out, "out\n");
    EXPECT_EQ(err, "err");

    EXPECT_EQ(cmd_exec("true", out, err), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");

    EXPECT_EQ(cmd_exec_user("printf x", "nobody", out, err), 0);
    EXPECT_EQ(out, "x");
}

TEST(CmdExec, BinaryOutputIsKeptWhole)
{
    std::optional<std::string> out, err;
    EXPECT_EQ(cmd_exec("printf 'a\\000b'", out, err), 0);
    EXPECT_EQ(out, std::string("a\0b", 3));
}

TEST(CmdExec, LineRedirectsToTemporaryFilesThatAreRemoved)
{
    ScratchDir root;
    std::filesystem::create_directory(root / "tmp");
    std::string seen;
    const CmdRunner runner = [&](const std::string &line) {
        seen = line;
        // Run it as a confined runner would: the names are those inside root.
        std::string host = line;
        for (size_t at = 0; (at = host.find(">/tmp/", at)) != std::string::npos; at += root.path().size())
            host.insert(at + 1, root.path());
        return cmd_run_system(host);
    };
    const std::string command = "sh -c 'printf hi; printf ho >&2'";
    std::optional<std::string> out, err;
    EXPECT_EQ(cmd_exec_with(command, out, err, runner, root.path() + "/"), 0);
    EXPECT_TRUE(seen.starts_with(command + " 1>/tmp/out.cmd_exec")) << seen;
    EXPECT_EQ(seen.substr(seen.size() - 26, 20), " 2>/tmp/err.cmd_exec") << seen;
    EXPECT_EQ(seen.size(), command.size() + 52) << seen;
    EXPECT_EQ(out, "hi");
    EXPECT_EQ(err, "ho");
    EXPECT_TRUE(std::filesystem::is_empty(root / "tmp"));
}

TEST(CmdExec, NoTemporaryFileMeansNothingRuns)
{
    ScratchDir root; // has no tmp directory
    bool ran = false;
    const CmdRunner runner = [&](const std::string &) {
        ran = true;
        return 0;
    };
    std::optional<std::string> out = "stale", err = "stale";
    CaptureFd cap(2);
    EXPECT_EQ(cmd_exec_with("true", out, err, runner, root.path()), -1);
    EXPECT_EQ(cap.finish(), "cmd_exec: failed to create outfile: No such file or directory\n");
    EXPECT_FALSE(ran);
    EXPECT_EQ(out, std::nullopt);
    EXPECT_EQ(err, std::nullopt);
}

TEST(CmdExec, CommandIsCutAt65000Characters)
{
    const std::string kept = "echo " + std::string(CMD_EXEC_MAX - 5, 'a');
    EXPECT_EQ(cmd_exec_line(kept + "; echo tail", "/o", "/e"), kept + " 1>/o 2>/e");

    std::optional<std::string> out, err;
    EXPECT_EQ(cmd_exec(kept + "b; echo tail", out, err), 0);
    EXPECT_EQ(out, std::string(CMD_EXEC_MAX - 5, 'a') + "\n");
}

TEST(QpmSystem, WithoutLogTextsGoOnlyToTheTerminal)
{
    LogSwap swap(nullptr);
    CaptureFd out(1), err(2);
    const int status = qpm_system("00-add.sh", "sh -c 'echo said; echo whined >&2; exit 1'");
    const std::string said = out.finish(), whined = err.finish();
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(said, "said\n");
    EXPECT_EQ(whined, "whined\n");
}

TEST(QpmSystem, LogsEachTextAtInfoBeforePrintingIt)
{
    ScratchDir dir;
    const std::string path = dir / "qpm.log";
    LogSwap swap(log_init(path.c_str(), 7, 3, 7, nullptr));
    CaptureFd out(1), err(2);
    EXPECT_EQ(qpm_system("99-add.sh", "sh -c 'echo said; echo whined >&2'"), 0);
    const std::string said = out.finish(), whined = err.finish();
    EXPECT_EQ(said, "said\n");
    // The log echoes INFO to standard error first, then the script's own text follows.
    EXPECT_EQ(whined, "said\n\nwhined\n\nwhined\n");
    const std::string log = qpm::test::read_file(path);
    EXPECT_NE(log.find(" [INFO] said\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" [INFO] whined\n"), std::string::npos) << log;
}

TEST(QpmSystem, SilentCommandPrintsAndLogsNothing)
{
    ScratchDir dir;
    const std::string path = dir / "qpm.log";
    LogSwap swap(log_init(path.c_str(), 15, 3, 15, nullptr));
    const std::string before = qpm::test::read_file(path);
    CaptureFd out(1), err(2);
    EXPECT_EQ(qpm_system("00-del.sh", "true"), 0);
    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(err.finish(), "");
    EXPECT_EQ(qpm::test::read_file(path), before);
}

TEST(QpmSystem, DisabledLogFileMeansNoLogging)
{
    LogSwap swap(log_init(nullptr, 7, 3, 7, nullptr)); // file disabled, INFO echo on
    CaptureFd out(1), err(2);
    EXPECT_EQ(qpm_system("00-add.sh", "echo said"), 0);
    EXPECT_EQ(out.finish(), "said\n");
    EXPECT_EQ(err.finish(), "");
}
