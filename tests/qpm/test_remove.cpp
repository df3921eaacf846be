// qpm remove as the real binary in a sandbox root: refusals, what goes along
// with a package, the confirmation, scripts and the restore after a failing
// post-delete script.
#include "qpm_sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

using namespace qpm;
using namespace qpm::test;

namespace {

namespace fs = std::filesystem;

class QpmRemove : public QpmSandboxTest {};

} // namespace

TEST_F(QpmRemove, RefusedWhileAnotherPackageNeedsItNamingEveryDependent)
{
    publish(pkg("lib"));
    for (const char *user : {"a", "b", "c"})
        publish(pkg(user, {"lib"}));
    for (const char *name : {"lib", "a", "b", "c"})
        ASSERT_EQ(install(name).status, 0);
    const auto before = snapshot();

    const RunResult r = qpm({"remove", "--yes", "lib"});
    EXPECT_EQ(r.status, 1);
    // Every dependent, in the order the inventory lists them.
    for (const char *user : {"a", "b", "c"})
        EXPECT_NE(r.out.find(std::string("lib cannot be deleted, ") + user + " depends on it\n"), std::string::npos)
            << r.out;
    EXPECT_EQ(r.out.size(), 3 * std::string("lib cannot be deleted, a depends on it\n").size()) << r.out;
    EXPECT_EQ(r.err, "qpm remove: nothing removed\n");
    EXPECT_EQ(snapshot(), before);

    // Named together with another, nothing goes either.
    EXPECT_EQ(qpm({"remove", "--yes", "a", "lib"}).status, 1);
    EXPECT_EQ(snapshot(), before);
}

TEST_F(QpmRemove, OrphanedDependenciesGoExplicitAndSharedOnesStay)
{
    publish(pkg("app", {"explicit", "own", "shared"}).link("data/usr/lib/libapp.so", "app-lib").file(
        "conf/etc/app.conf", "setting\n"));
    publish(pkg("explicit"));
    publish(pkg("own", {"nested"}));
    publish(pkg("nested"));
    publish(pkg("shared"));
    publish(pkg("other", {"shared"}));
    ASSERT_EQ(install("explicit").status, 0);
    ASSERT_EQ(install("app").status, 0);
    ASSERT_EQ(install("other").status, 0);
    ASSERT_TRUE(fs::is_symlink(box.path("/usr/lib/libapp.so")));

    const RunResult r = qpm({"remove", "--yes", "app"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "app can be deleted, nothing depends on it\napp removed\nown removed\nnested removed\n");
    for (const char *gone : {"app", "own", "nested"}) {
        EXPECT_FALSE(fs::exists(box.path(std::string("/usr/share/") + gone + "/file"))) << gone;
        EXPECT_FALSE(fs::exists(inv(std::string("installed/") + gone))) << gone;
        EXPECT_FALSE(fs::exists(inv(std::string("fileindex/") + gone))) << gone;
    }
    for (const char *kept : {"explicit", "shared", "other"})
        EXPECT_TRUE(fs::exists(inv(std::string("installed/") + kept))) << kept;
    EXPECT_FALSE(fs::exists(box.path("/usr/lib/libapp.so"))) << "its links go";
    EXPECT_EQ(read_file(box.path("/etc/app.conf")), "setting\n") << "configuration stays";
    EXPECT_TRUE(fs::is_empty(inv("stagearea")) || !fs::exists(inv("stagearea/app_any_1.0")));

    const std::string log = read_file(inv("install.log"));
    EXPECT_NE(log.find(": deleted app_any_1.0 as requested by user\n"), std::string::npos) << log;
    EXPECT_NE(log.find(": deleted own_any_1.0 as dependency of app\n"), std::string::npos) << log;
    EXPECT_NE(log.find(": deleted nested_any_1.0 as dependency of own\n"), std::string::npos) << log;
}

TEST_F(QpmRemove, AloneLeavesTheDependenciesAndADependentInstalledForItDoesNotBlock)
{
    publish(pkg("app", {"own"}));
    publish(pkg("own"));
    ASSERT_EQ(install("app").status, 0);
    RunResult r = qpm({"remove", "--alone", "-y", "app"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "app can be deleted, nothing depends on it\napp removed\n");
    EXPECT_TRUE(fs::exists(inv("installed/own")));

    // A cycle: the dependent was installed for the package itself.
    publish(pkg("x", {"y"}));
    publish(pkg("y", {"x"}));
    ASSERT_EQ(install("x").status, 0);
    ASSERT_TRUE(fs::exists(inv("installed/y")));
    r = qpm({"remove", "-y", "x"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(fs::exists(inv("installed/x")));
    EXPECT_FALSE(fs::exists(inv("installed/y")));
}

TEST_F(QpmRemove, AsksFirstAndNoChangesNothing)
{
    publish(pkg("app", {"own"}));
    publish(pkg("own"));
    ASSERT_EQ(install("app").status, 0);
    const auto before = snapshot();
    for (const char *answer : {"n\n", "", "maybe\n"}) {
        SCOPED_TRACE(answer);
        const RunResult r = qpm({"remove", "app"}, answer);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Remove 2 package(s) (app, own) [y/N] ? "), std::string::npos) << r.err;
        EXPECT_EQ(snapshot(), before);
    }
    const RunResult r = qpm({"remove", "app"}, "y\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(inv("installed/own")));
}

TEST_F(QpmRemove, FailingPostDeleteScriptRestoresEveryFileAndKeepsTheRecord)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: package scripts run confined";
    PackageSpec failing = pkg("app");
    failing.file("data/usr/bin/app", "#!/bin/sh\n", 0755)
        .file("data/usr/share/app/deep/data", "data\n")
        .link("data/usr/lib/libapp.so", "app-lib")
        // The saved files are there while the script runs.
        .script("00-del.sh", "echo pre > /tmp/pre-ran\n")
        .script("99-del.sh", "test -f \"$QPK_STAGE_OLD/usr/bin/app\" && echo \"$QPK_NAME\" > /tmp/post-ran\nexit 3\n");
    publish(failing);
    ASSERT_EQ(install("app").status, 0);
    const auto before = snapshot();

    const RunResult r = qpm({"remove", "-y", "app"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("qpm remove: failure removing app"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("qpm_one_delete: post-delete got an error, aborting"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(box.path("/tmp/pre-ran")), "pre\n");
    EXPECT_EQ(read_file(box.path("/tmp/post-ran")), "app\n");
    fs::remove(box.path("/tmp/pre-ran"));
    fs::remove(box.path("/tmp/post-ran"));
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(read_file(inv("install.log")).find("deleted"), std::string::npos);

    // A pre-delete script that fails stops before anything changes.
    PackageSpec refusing = pkg("stubborn").script("00-del.sh", "exit 5\n");
    publish(refusing);
    ASSERT_EQ(install("stubborn").status, 0);
    const auto with_stubborn = snapshot();
    EXPECT_EQ(qpm({"remove", "-y", "stubborn"}).status, 1);
    EXPECT_EQ(snapshot(), with_stubborn);
}

TEST_F(QpmRemove, FilesAreRemovedOnlyInsideTheRoot)
{
    publish(pkg("app"));
    ASSERT_EQ(install("app").status, 0);
    // The package's directory became a link out of the root: the file
    // there is not the package's.
    ScratchDir outside;
    write_file(outside / "file", "not the package's\n");
    fs::remove_all(box.path("/usr/share/app"));
    fs::create_symlink(outside.path(), box.path("/usr/share/app"));
    const RunResult r = qpm({"remove", "-y", "app"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(outside / "file"), "not the package's\n");
    EXPECT_NE(r.err.find("qpm_one_delete: Failed to access registered file /usr/share/app/file"), std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(inv("installed/app")));
}

TEST_F(QpmRemove, CommandLine)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out_part;
        std::string err_part;
    } cases[] = {
        {{"remove", "--help"}, 0, "usage: qpm remove", ""},
        {{"remove"}, 2, "", "usage: qpm remove"},
        {{"remove", "--bogus", "x"}, 2, "", "qpm remove: unknown option --bogus"},
        {{"remove", "-y", "nothere"}, 1, "nothere is not installed, skipping\n", "nothing removed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.back());
        const RunResult r = qpm(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find(c.out_part), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(c.err_part), std::string::npos) << r.err;
    }
    if (geteuid() == 0) {
        RunOptions nobody;
        nobody.uid = 65534;
        nobody.gid = 65534;
        const RunResult r = qpm({"remove", "-y", "x"}, "", nobody);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "qpm remove: only root may remove packages\n");
    }
}
