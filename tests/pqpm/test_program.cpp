// pqpm's command line and rights check, run as the real binary.
#include "support/runner.h"
#include "support/test_support.h"
#include "support/user_db.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#ifndef QPM_PQPM_EXE
#error "QPM_PQPM_EXE must name the pqpm binary"
#endif

using namespace qpm::test;

namespace {

const std::string usage_line = "Usage: pqpm [ACTION] [OPTIONS] [PACKAGE(s)] \n";

RunResult pqpm(std::vector<std::string> args, const RunOptions &options = {})
{
    args.insert(args.begin(), QPM_PQPM_EXE);
    return run_program(args, options);
}


} // namespace

TEST(PqpmCommandLine, MissingOrUnknownActionPrintsUsage)
{
    for (const auto &args : {std::vector<std::string>{}, {"frobnicate"}, {"INSTALL", "x"}}) {
        const RunResult r = pqpm(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, usage_line);
        EXPECT_EQ(r.out, "");
    }
}

TEST(PqpmCommandLine, OptionHelpPerMode)
{
    const std::string general = "\nOptions are specified in the form of: -o \"opt1=val1,opt2=val2,opt3=val3,...\"\n";
    const std::string rows = "  variant        : variant to use. On empty value, use default variant.\n"
                             "  version        : version to install.\n";
    RunResult r = pqpm({"install", "-o", "help", "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, general + "\nOptions for mode -I (install):\n" + rows + "\n");
    r = pqpm({"upgrade", "-o", "help", "x"});
    EXPECT_EQ(r.out, general + "\nOptions for mode -U (update):\n" + rows + "\n");
    r = pqpm({"cleanup", "-o", "help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, general + "\n");
    EXPECT_EQ(r.err, "");
}

TEST(PqpmRights, RootIsAllowedSilently)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: runs pqpm as root";
    const RunResult r = pqpm({"allowed"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
}

TEST(PqpmRights, OrdinaryUserWithoutSetuidIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: switches to user nobody";
    RunOptions options;
    options.uid = 65534;
    const RunResult r = pqpm({"allowed"}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "You are not root, fuck off\n");
}

// A set-user-id copy of pqpm run by two temporary users, one in "wheel".
// The users and the group exist only in this process's private copy of the
// user database: the host's /etc/passwd and /etc/group are never written.
class PqpmSetuid : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (geteuid() != 0 || !private_user_db(s_db_error))
            return;
        constexpr gid_t nogroup = 65534;
        const std::optional<uid_t> out = private_user_add("qpmtest-out", nogroup);
        const std::optional<uid_t> in = private_user_add("qpmtest-in", nogroup);
        if (!out || !in || !private_group_member("wheel", "qpmtest-in"))
            s_db_error = "could not add the temporary users";
    }

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: creates users and a set-user-id binary";
        if (!s_db_error.empty())
            GTEST_SKIP() << "no private user database: " << s_db_error;
        struct statvfs fs {};
        if (statvfs(m_dir.path().c_str(), &fs) == 0 && (fs.f_flag & ST_NOSUID))
            GTEST_SKIP() << "temporary directory is mounted nosuid";
        // getpwnam returns static storage: take each uid before the next call.
        const passwd *out = getpwnam("qpmtest-out");
        if (out)
            m_out_uid = out->pw_uid;
        const passwd *in = getpwnam("qpmtest-in");
        if (in)
            m_in_uid = in->pw_uid;
        if (!out || !in)
            GTEST_SKIP() << "could not create the temporary users";
        chmod(m_dir.path().c_str(), 0755);
        m_exe = m_dir / "pqpm";
        std::filesystem::copy_file(QPM_PQPM_EXE, m_exe);
        chmod(m_exe.c_str(), 04755);
    }

    RunResult run_as(uid_t uid, std::vector<std::string> args, RunOptions options = {})
    {
        args.insert(args.begin(), m_exe);
        options.uid = uid;
        return run_program(args, options);
    }

    static inline std::string s_db_error;
    ScratchDir m_dir;
    std::string m_exe;
    uid_t m_out_uid = 0;
    uid_t m_in_uid = 0;
};

TEST_F(PqpmSetuid, UserOutsideWheelIsRefused)
{
    const RunResult r = run_as(m_out_uid, {"allowed"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "You are not in group wheel, fuck off\n");
}

TEST_F(PqpmSetuid, WheelMemberIsAllowed)
{
    const RunResult r = run_as(m_in_uid, {"allowed"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
}

TEST_F(PqpmSetuid, HostileEnvironmentAndClosedStdoutDoNotBreakIt)
{
    RunOptions options;
    options.env = {"PATH=/tmp/evil", "IFS=/", "ENV=/tmp/evil.sh", "QPM_ROOT=/tmp/elsewhere",
                   "QPM_SHOWLOG_DEBUG_LOGFILE=/tmp/evil.log", "LD_PRELOAD=/tmp/evil.so"};
    options.close_stdout = true;
    RunResult r = run_as(m_in_uid, {"cleanup", "-o", "help"}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    r = run_as(m_in_uid, {"allowed"}, options);
    EXPECT_EQ(r.status, 0);

    // QPM_ROOT names a root with a configuration, but a set-user-id run reads
    // the real /etc/qpm.conf (which a build machine does not have).
    if (file_exists("/etc/qpm.conf"))
        GTEST_SKIP() << "this machine has a real /etc/qpm.conf";
    ScratchDir elsewhere;
    chmod(elsewhere.path().c_str(), 0755);
    std::filesystem::create_directories(elsewhere / "etc");
    write_file(elsewhere / "etc/qpm.conf", "arch_name = x86_64\n");
    options.env = {"QPM_ROOT=" + elsewhere.path()};
    options.close_stdout = false;
    r = run_as(m_in_uid, {"refresh"}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to read qpm config /etc/qpm.conf\n");
}
