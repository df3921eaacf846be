// pqpm's start-up and refresh in a sandbox root.
#include "support/sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace qpm::test;

#ifndef QPM_QPC_NO_READPKG_SO
#error "QPM_QPC_NO_READPKG_SO must name the incomplete test backend"
#endif

namespace {

class PqpmStartup : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_box.ok()) << m_box.error(); }
    Sandbox m_box;
};

} // namespace

TEST_F(PqpmStartup, RefreshSaysSoOnlyWhenVerbose)
{
    RunResult r = m_box.pqpm({"refresh", "-o", "verbose=yes"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "refreshed the package catalogue\n");
    r = m_box.pqpm({"refresh"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    // Boolean words are case-sensitive, keys are not, and the first key wins.
    EXPECT_EQ(m_box.pqpm({"refresh", "-o", "verbose=YES"}).out, "");
    EXPECT_EQ(m_box.pqpm({"refresh", "-o", "VERBOSE=yes"}).out, "refreshed the package catalogue\n");
    EXPECT_EQ(m_box.pqpm({"refresh", "-o", "verbose=yes,verbose=no"}).out, "refreshed the package catalogue\n");
}

TEST_F(PqpmStartup, MissingBackendEndsEveryModeWithStatusTwo)
{
    std::filesystem::remove(m_box.path("/usr/lib/qpm/qpc-dirs.so"));
    for (const char *mode : {"refresh", "cleanup"}) {
        const RunResult r = m_box.pqpm({mode});
        EXPECT_EQ(r.status, 2) << mode;
        EXPECT_NE(r.err.find("failed to load catalogue backend qpc-dirs.so!\n"), std::string::npos) << r.err;
    }
}

TEST_F(PqpmStartup, BackendNameKeepsOnlyItsLastComponent)
{
    std::filesystem::copy_file(QPM_QPC_NO_READPKG_SO, m_box.path("/usr/lib/qpm/partial.so"));
    write_file(m_box.path("/etc/qpm.conf"), read_file(m_box.path("/etc/qpm.conf")) + "qpc_backend = /opt/x/partial.so\n");
    const RunResult r = m_box.pqpm({"refresh"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Failure resolving qpm_qpc_readpkg: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("failed to load catalogue backend partial.so!"), std::string::npos) << r.err;
}

TEST_F(PqpmStartup, MissingConfigurationIsFatal)
{
    std::filesystem::remove(m_box.path("/etc/qpm.conf"));
    const RunResult r = m_box.pqpm({"refresh"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to read qpm config " + m_box.path("/etc/qpm.conf") + "\n");
}

TEST_F(PqpmStartup, LogGoesToTheRootsLogFile)
{
    write_file(m_box.path("/etc/qpm.conf"), read_file(m_box.path("/etc/qpm.conf")) + "qpm_loglevel = 15\n");
    EXPECT_EQ(m_box.pqpm({"refresh"}).status, 0);
    const std::string log = read_file(m_box.path("/var/log/qpm.log"));
    EXPECT_NE(log.find("[INIT] Setting log level 15"), std::string::npos) << log;
    EXPECT_NE(log.find("loading qpm backend " + m_box.path("/usr/lib/qpm/qpc-dirs.so")), std::string::npos);
}

TEST(PqpmSandbox, NothingOutsideTheRootIsWritten)
{
    const bool had_conf = file_exists("/etc/qpm.conf");
    const bool had_inventory = file_exists("/var/lib/qpm");
    {
        Sandbox box;
        ASSERT_TRUE(box.ok()) << box.error();
        EXPECT_EQ(box.pqpm({"refresh"}).status, 0);
        EXPECT_TRUE(file_exists(box.path("/var/lib/qpm/certstore")));
    }
    EXPECT_EQ(file_exists("/etc/qpm.conf"), had_conf);
    EXPECT_EQ(file_exists("/var/lib/qpm"), had_inventory);
}
