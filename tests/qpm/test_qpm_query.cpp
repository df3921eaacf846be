// qpm's queries run as the real binary in a sandbox root: installed packages
// and their files, owners, the catalogue, the action log, plans, and the
// command line itself. None of them may change anything.
#include "support/sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#ifndef QPM_QPM_EXE
#error "the qpm tests need the path of qpm"
#endif

using namespace qpm;
using namespace qpm::test;

namespace {

namespace fs = std::filesystem;

PackageSpec base_pkg()
{
    PackageSpec p;
    p.name = "base";
    p.description = "the base";
    p.file("data/usr/share/base/base.txt", "base\n");
    return p;
}

PackageSpec hello_pkg(const std::string &version = "1.0")
{
    PackageSpec p;
    p.name = "hello";
    p.version = version;
    p.description = "says hello";
    p.depends = {"base"};
    p.file("data/usr/bin/hello", "#!/bin/sh\necho hello\n", 0755);
    p.file("data/usr/lib/libhello.so.1", std::string(3000, 'x'));
    p.file("conf/etc/hello.conf", "greeting=hi\n");
    p.link("data/usr/lib/libhello.so", "libhello.so.1");
    return p;
}

// A sandbox with base and hello installed (base as hello's dependency) and
// two packages only in the catalogue.
class QpmQuery : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(box.ok()) << box.error();
        box.add_package(base_pkg());
        box.add_package(hello_pkg());
        PackageSpec extra;
        extra.name = "extra";
        extra.version = "2.0";
        extra.variant = "big";
        extra.description = "more of it";
        extra.depends = {"base", "tiny"};
        extra.file("data/usr/share/extra/data", std::string(5000, 'e'));
        box.add_package(extra);
        PackageSpec tiny;
        tiny.name = "tiny";
        tiny.description = "a tiny one";
        tiny.file("data/usr/share/tiny", "t\n");
        box.add_package(tiny);
        const RunResult r = box.pqpm({"install", "hello"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }

    RunResult qpm(const std::vector<std::string> &args, RunOptions options = {}) const
    {
        return box.run(QPM_QPM_EXE, args, std::move(options));
    }

    // Everything under the root but the package catalogue.
    std::map<std::string, std::string> snapshot() const { return tree_snapshot(box.root()); }

    Sandbox box;
};

TEST_F(QpmQuery, ListsInstalledPackagesByPatternAndForm)
{
    RunResult r = qpm({"list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Name (with variant)       Version         Description                        \n"
                     "-------------------       -------         -----------                        \n"
                     "base                      1.0             the base                           \n"
                     "hello                     1.0             says hello                         \n"
                     "\n");

    r = qpm({"list", "h*"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("base"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nhello "), std::string::npos) << r.out;

    // A pattern matches names, not descriptions; one that matches nothing fails.
    r = qpm({"list", "says*"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qpm list: no installed package matches says*\n");

    // CSV: header and rows from the same columns, installed packages' own.
    r = qpm({"-o", "outform=c", "list", "base"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream csv(r.out);
    std::string header, row;
    std::getline(csv, header);
    std::getline(csv, row);
    EXPECT_EQ(header, "eqpkName,eqpkVariant,eqpkVersion,eqpkArchitecture,eqpkCreator,eqpkDescription,"
                      "eqpkDependency,eqpkDataSize,eqpkInstallTime,eqpkInstallType,eqpkInstallHead,eqpkUpdateTime");
    EXPECT_TRUE(std::regex_match(row, std::regex("base,,1\\.0,any,qpm tests,the base,,5,[0-9]+,D,hello,")))
        << row;

    r = qpm({"list", "-o", "outform=l", "hello"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("dn: eqpkUid=hello_any_1.0,dc=quendari,dc=org\neqpkUid: hello_any_1.0\neqpkName: hello\n", 0),
              0u)
        << r.out;
}

TEST_F(QpmQuery, InfoInTextLdifAndOneLine)
{
    RunResult r = qpm({"info", "hello"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::regex_match(r.out, std::regex("Name: hello\nVersion: 1\\.0\nArchitecture: any\n"
                                                   "Creator: qpm tests\nDependency: base\nDescription: says hello\n\n"
                                                   "Installed at: [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}\n"
                                                   "Installed as: Explicit request\n")))
        << r.out;
    r = qpm({"info", "base"});
    EXPECT_NE(r.out.find("\nInstalled as: Dependency of hello\n"), std::string::npos) << r.out;

    r = qpm({"info", "-o", "outform=c", "hello"});
    EXPECT_EQ(r.out, "hello::1.0:any:qpm tests:base:says hello\n");
    r = qpm({"info", "-o", "outform=l", "hello"});
    EXPECT_EQ(r.out.rfind("dn: eqpkUid=hello_any_1.0,dc=quendari,dc=org\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\neqpkInstallType: X\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\neqpkDataSize: 3033\n"), std::string::npos) << r.out;

    r = qpm({"info", "extra"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "qpm info: extra is not installed\n");
}

TEST_F(QpmQuery, FilesMarksDataConfigurationAndLinks)
{
    RunResult r = qpm({"files", "hello"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "d /usr/bin/hello\n"
                     "d /usr/lib/libhello.so.1\n"
                     "c /etc/hello.conf\n"
                     "l /usr/lib/libhello.so -> libhello.so.1\n");
    r = qpm({"files", "-o", "outform=c", "hello"});
    EXPECT_EQ(r.out, "kind,path,target\nd,/usr/bin/hello,\nd,/usr/lib/libhello.so.1,\nc,/etc/hello.conf,\n"
                     "l,/usr/lib/libhello.so,libhello.so.1\n");
    r = qpm({"files", "tiny"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qpm files: tiny is not installed\n");
}

TEST_F(QpmQuery, OwnerOfDataConfigurationLinksAndNobody)
{
    // A link of the package's own, and a link of nobody's leading to its data.
    fs::create_symlink("/usr/bin/hello", box.path("/usr/local-hello"));
    fs::remove(box.path("/etc/hello.conf")); // listed, so still owned

    RunResult r = qpm({"owner", "/usr/bin/hello", "/etc/hello.conf", "/usr/lib/libhello.so", "/usr/lib/../bin/hello",
                       "/usr/share/base/base.txt", "/usr/local-hello"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "/usr/bin/hello: hello\n"
                     "/etc/hello.conf: hello\n"
                     "/usr/lib/libhello.so: hello\n"
                     "/usr/lib/../bin/hello: hello\n"
                     "/usr/share/base/base.txt: base\n"
                     "/usr/local-hello: hello\n");

    // Nobody's paths fail the run; the others are still answered.
    r = qpm({"owner", "/etc/qpm.conf", "/usr/bin/hello", "/no/such/file"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "/usr/bin/hello: hello\n");
    EXPECT_NE(r.err.find("qpm owner: /etc/qpm.conf is not owned by any installed package\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("qpm owner: /no/such/file is not owned by any installed package\n"), std::string::npos)
        << r.err;

    // Relative paths start at the current directory, inside the root.
    RunOptions in_bin;
    in_bin.cwd = box.path("/usr/bin");
    r = qpm({"owner", "hello"}, in_bin);
    EXPECT_EQ(r.out, "hello: hello\n") << r.err;
}

TEST_F(QpmQuery, SearchesTheCatalogueThroughThePlugin)
{
    RunResult r = qpm({"search", "ex*"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Name (with variant)       Version         Description                        \n"
                     "-------------------       -------         -----------                        \n"
                     "extra_big                 2.0             more of it                         \n"
                     "\n");
    // Descriptions match too.
    r = qpm({"search", "*tiny*"});
    EXPECT_NE(r.out.find("\ntiny                      1.0             a tiny one"), std::string::npos) << r.out;

    r = qpm({"search", "-o", "outform=c", "tiny"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("eqpkName,eqpkVariant,eqpkVersion,eqpkArchitecture,eqpkCreator,eqpkDescription,"
                          "eqpkDependency,eqpkDataSize,eqpkFileSize,eqpkFileHash,eqpkRsaSigSubj,eqpkAbsoluteURI,"
                          "eqpkRelativeURI\ntiny,,1.0,any,qpm tests,a tiny one,,2,",
                          0),
              0u)
        << r.out;

    r = qpm({"search", "nothing*"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qpm search: no package of the catalogue matches nothing*\n");
}

TEST_F(QpmQuery, LogInEveryFormOldestAndNewestFirst)
{
    const std::string log = read_file(box.path("/var/lib/qpm/install.log"));
    std::istringstream lines(log);
    std::string first, second;
    std::getline(lines, first);
    std::getline(lines, second);
    ASSERT_NE(first.find(": installed base_any_1.0 as dependency of hello"), std::string::npos) << log;
    ASSERT_NE(second.find(": installed hello_any_1.0 as requested by user"), std::string::npos) << log;

    RunResult r = qpm({"log", "--raw"});
    EXPECT_EQ(r.out, first + "\n" + second + "\n");
    r = qpm({"log", "--raw", "--reverse"});
    EXPECT_EQ(r.out, second + "\n" + first + "\n");

    const auto order = [](const std::string &text, const std::string &a, const std::string &b) {
        const size_t at_a = text.find(a);
        const size_t at_b = text.find(b);
        return at_a != std::string::npos && at_b != std::string::npos && at_a < at_b;
    };
    r = qpm({"log"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(order(r.out, "Package       : base\n", "Package       : hello\n")) << r.out;
    EXPECT_NE(r.out.find("Reason        : dependency\nDependent     : hello\n\n"), std::string::npos) << r.out;
    r = qpm({"log", "--reverse"});
    EXPECT_TRUE(order(r.out, "Package       : hello\n", "Package       : base\n")) << r.out;

    r = qpm({"-o", "outform=l", "log"});
    EXPECT_TRUE(order(r.out, "dn: eqpkLogLine=1,dc=quendari,dc=org\neqpkLogLine: 1\nobjectClass: eqpkLog\n",
                      "dn: eqpkLogLine=2,dc=quendari,dc=org\n"))
        << r.out;
    r = qpm({"log", "-o", "outform=l", "--reverse"});
    EXPECT_TRUE(order(r.out, "dn: eqpkLogLine=2,", "dn: eqpkLogLine=1,")) << r.out;

    r = qpm({"log", "-o", "outform=c"});
    EXPECT_EQ(r.out.rfind("eqpkLogLine;eqpkLogDate;", 0), 0u) << r.out;
    EXPECT_TRUE(order(r.out, "\n1;", "\n2;")) << r.out;
    r = qpm({"log", "-o", "outform=c", "--reverse"});
    EXPECT_EQ(r.out.rfind("eqpkLogLine;eqpkLogDate;", 0), 0u) << r.out;
    EXPECT_TRUE(order(r.out, "\n2;", "\n1;")) << r.out;
}

TEST_F(QpmQuery, LogIsEmptyWithoutHistoryAndReadsAnotherFileOnlyForRoot)
{
    fs::remove(box.path("/var/lib/qpm/install.log"));
    RunResult r = qpm({"log"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");

    ScratchDir other;
    write_file(other / "old.log", "2020-01-02 03:04:05: installed zz_any_1.0 as requested by user\n");
    chmod(other.path().c_str(), 0755);
    chmod((other / "old.log").c_str(), 0644);
    RunOptions options;
    options.extra_env = {"QPM_SHOWLOG_DEBUG_LOGFILE=" + (other / "old.log")};
    r = qpm({"log", "--raw"}, options);
    EXPECT_EQ(r.out, "2020-01-02 03:04:05: installed zz_any_1.0 as requested by user\n");
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: runs qpm as another user";
    // Another user's run lists the system's log (none here), not the file.
    chmod(box.root().c_str(), 0755);
    options.uid = 65534;
    options.gid = 65534;
    r = qpm({"log", "--raw"}, options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(QpmQuery, PlanShowsTheActionTableAndChangesNothing)
{
    const auto before = snapshot();

    RunResult r = qpm({"plan", "install", "extra"});
    EXPECT_EQ(r.status, 0) << r.err;
    // Package sizes depend on compression; installed sizes do not.
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("Actions to install extra\n\n"
                          "Action     Package                   Version    Package size in kb Installed size in kb \n"
                          "----       ----                      ----       ----       ----       \n"
                          "install    extra                     2\\.0        +[0-9]+          4    \n"
                          "install    tiny                      1\\.0        +[0-9]+          0    \n\n")))
        << r.out;

    r = qpm({"plan", "-o", "outform=l", "install", "tiny"});
    EXPECT_EQ(r.out, "dn: eqpkUid=tiny_any_1.0,dc=quendari,dc=org\nchangeType: install\neqpkUid: tiny_any_1.0\n"
                     "eqpkName: tiny\neqpkVersion: 1.0\neqpkDescription: a tiny one\n\n");

    // Already installed, not found.
    r = qpm({"plan", "install", "hello"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "hello is already installed\nNothing to do\n");
    r = qpm({"plan", "install", "nosuch"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("qpm plan: nosuch cannot be installed\n"), std::string::npos) << r.err;

    // Upgrades: nothing newer, then a newer hello.
    r = qpm({"plan", "upgrade"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Nothing to do\n");
    box.add_package(hello_pkg("1.1"));
    const auto with_new_package = snapshot();
    r = qpm({"plan", "upgrade", "hello"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nupdate     hello                     1.1  "), std::string::npos) << r.out;
    r = qpm({"plan", "upgrade", "tiny"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qpm plan: tiny is not installed\n");

    EXPECT_EQ(snapshot(), with_new_package);
    auto without = with_new_package;
    std::erase_if(without, [&](const auto &entry) { return before.count(entry.first) == 0; });
    EXPECT_EQ(without, before);
}

TEST_F(QpmQuery, QueriesWriteNothing)
{
    const auto before = snapshot();
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"list"}, {"info", "hello"}, {"files", "hello"}, {"owner", "/usr/bin/hello", "/nope"},
             {"search", "*"}, {"log"}, {"-o", "verbose=yes", "log", "--reverse"}, {"plan", "install", "extra"}}) {
        const RunResult r = qpm(args);
        EXPECT_NE(r.status, 2) << args[0] << ": " << r.err;
    }
    EXPECT_EQ(snapshot(), before);
}

TEST_F(QpmQuery, UsageErrorsHelpAndVersion)
{
    const std::vector<std::vector<std::string>> usage = {
        {},          {"--bogus"},           {"frob"},         {"-o"},          {"list", "--long"},
        {"list", "a", "b"}, {"info"},       {"info", "a", "b"}, {"owner"},     {"search"},
        {"log", "x"}, {"plan"},             {"plan", "frob", "x"}, {"plan", "install"}, {"help", "frob"},
    };
    for (const auto &args : usage) {
        const RunResult r = qpm(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "(none)" : args[0]) << " " << r.out << r.err;
        EXPECT_EQ(r.out, "") << (args.empty() ? "(none)" : args[0]);
        EXPECT_NE(r.err, "");
    }

    RunResult r = qpm({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: qpm [-o OPTIONS] COMMAND [ARGUMENTS]\n", 0), 0u);
    for (const char *command : {"list", "info", "files", "owner", "search", "log", "plan", "remove", "check", "fix"})
        EXPECT_NE(r.out.find(std::string("\n  ") + command + " "), std::string::npos) << command;

    for (const char *command : {"list", "info", "files", "owner", "search", "log", "plan"}) {
        const RunResult help = qpm({"help", command});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_EQ(help.out.rfind(std::string("Usage: qpm ") + command + " ", 0), 0u) << help.out;
        EXPECT_EQ(qpm({command, "--help"}).out, help.out) << command;
        EXPECT_EQ(qpm({command, "-o", "help"}).out, help.out) << command;
    }

    r = qpm({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("qpm [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << r.out;

    // Unknown option keys are named and ignored, as pqpm does.
    r = qpm({"-o", "outform=c,colour=red", "info", "hello"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "qpm: ignoring unknown option colour for info\n");
    EXPECT_EQ(r.out, "hello::1.0:any:qpm tests:base:says hello\n");
}

} // namespace
