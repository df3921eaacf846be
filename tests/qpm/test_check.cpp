// qpm check and qpm fix as the real binary in a sandbox root: the hash
// check of installed files, record directories without a package,
// dependencies nothing needs, and the rewrite of an install record.
#include "qpm_sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace qpm;
using namespace qpm::test;

namespace {

namespace fs = std::filesystem;

class QpmCheck : public QpmSandboxTest {
protected:
    void SetUp() override
    {
        QpmSandboxTest::SetUp();
        publish(pkg("p")
                    .file("data/usr/bin/p", "program\n", 0755)
                    .file("conf/etc/p.conf", "p setting\n")
                    .file("conf/etc/q.conf", "q setting\n"));
        ASSERT_EQ(install("p").status, 0);
    }
};

} // namespace

TEST_F(QpmCheck, HashCheckFindsChangedDataAndMissingConfigurationAndAcceptsEditedConfiguration)
{
    RunResult r = qpm({"check"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "p summary: dump: (0/0) conf: (2/0) data: (2/0) init: (0/0)\n"
                     "checked 1 entries, 1 valid , 0 invalid\n");

    r = qpm({"check", "--verbose", "p"});
    EXPECT_EQ(r.status, 0);
    for (const char *line : {"No hashes stored for fork: dump\n", "Found 2 hashes stored for fork: data\n",
                             "/usr/bin/p verfied ok.\n", "/etc/q.conf verfied ok.\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;

    write_file(box.path("/usr/bin/p"), "changed\n");
    write_file(box.path("/etc/p.conf"), "the administrator's\n");
    fs::remove(box.path("/etc/q.conf"));
    r = qpm({"check", "p"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "/etc/p.conf is not the same on fs, this is normal.\n"
                     "p summary: dump: (0/0) conf: (2/1) data: (2/1) init: (0/0)\n"
                     "checked 1 entries, 1 valid , 0 invalid\n");
    EXPECT_NE(r.err.find("qpm_chkhash: mismatch on /usr/bin/p: expected: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("/etc/q.conf was not found on fs, this can happen."), std::string::npos) << r.err;

    // A data file reached through a link that leaves the root is not the
    // file out there, however right its content: it is missing.
    ScratchDir outside;
    write_file(outside / "file", "p\n");
    fs::remove(box.path("/usr/bin/p"));
    fs::remove_all(box.path("/usr/share/p"));
    fs::create_symlink(outside.path(), box.path("/usr/share/p"));
    r = qpm({"check", "p"});
    EXPECT_NE(r.out.find("data: (2/2)"), std::string::npos) << r.out;

    r = qpm({"check", "nothere"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qpm check: nothere is not installed\n");
    EXPECT_EQ(qpm({"check", "a", "b"}).status, 2);
    EXPECT_EQ(qpm({"check", "--bogus"}).status, 2);
}

TEST_F(QpmCheck, RecordDirectoryWithoutPackageIsReportedAndRemovedOnlyWhenAnswered)
{
    fs::create_directories(inv("installed/junk"));
    RunResult r = qpm({"check"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("junk is not a valid package dir\nchecked 2 entries, 1 valid , 1 invalid\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.err.find("remove directory"), std::string::npos) << "a check alone asks nothing";
    EXPECT_TRUE(fs::exists(inv("installed/junk")));

    r = qpm({"check", "--fix"}, "k\n");
    EXPECT_NE(r.err.find("remove directory " + inv("installed/junk")), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(inv("installed/junk")));
    r = qpm({"check", "--fix"}, "a\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(fs::exists(inv("installed/junk")));
    r = qpm({"check", "--fix"}, "d\n");
    EXPECT_FALSE(fs::exists(inv("installed/junk")));
    EXPECT_TRUE(fs::exists(inv("installed/p")));
    EXPECT_EQ(qpm({"check"}).status, 0);
}

TEST_F(QpmCheck, DependencyWhoseHeadIsGoneIsReportedAndFixMakesItRequested)
{
    publish(pkg("app", {"own"}));
    publish(pkg("own"));
    publish(pkg("other", {"own"}));
    ASSERT_EQ(install("app").status, 0);
    ASSERT_EQ(install("other").status, 0);
    ASSERT_EQ(qpm({"remove", "--alone", "-y", "app"}).status, 0);

    RunResult r = qpm({"check"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("own was installed as a dependency of app, but app is no longer installed\n"
                         "qpm_chkhead: own is still needed by other\n"),
              std::string::npos)
        << r.out;

    const std::string before = read_file(inv("installed/own/inst.txt"));
    const std::string first = before.substr(0, before.find('\n') + 1);
    ASSERT_EQ(first.rfind("eqpkInstallTime: ", 0), 0u) << before;
    r = qpm({"fix", "own", "X"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "own: install type X\n");
    const std::string after = read_file(inv("installed/own/inst.txt"));
    EXPECT_EQ(after.rfind(first + "eqpkInstallType: X\neqpkUpdateTime: ", 0), 0u) << after;
    EXPECT_EQ(qpm({"check"}).status, 0);

    r = qpm({"fix", "own", "D", "other"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(read_file(inv("installed/own/inst.txt")).find("eqpkInstallHead: other\n"), std::string::npos);
    EXPECT_EQ(qpm({"check"}).status, 0) << "other still lists it";

    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"fix", "own", "D"}, 2},       {{"fix", "own", "X", "app"}, 2}, {{"fix", "own", "Q"}, 2},
        {{"fix", "own", "D", "../x"}, 2}, {{"fix", "nothere", "X"}, 1},  {{"fix", "--help"}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.size() > 2 ? c.args[2] : c.args[1]);
        EXPECT_EQ(qpm(c.args).status, c.status);
    }
}
