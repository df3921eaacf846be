// pqpm upgrade and cleanup run as the real binary in a sandbox root: updating
// in place, the configuration rules, rollback, crashes during the record
// swap, the leftovers cleanup removes and the exit statuses.
#include "support/sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <unistd.h>

using namespace qpm;
using namespace qpm::test;

namespace {

namespace fs = std::filesystem;

PackageSpec pkg(const std::string &name, const std::string &version, std::vector<std::string> depends = {})
{
    return versioned_package(name, version, std::move(depends));
}

class PqpmUpgrade : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(box.ok()) << box.error(); }

    std::string inv(const std::string &path) const { return box.path("/var/lib/qpm/" + path); }
    std::string file(const std::string &path) const { return read_file(box.path(path)); }
    void put(const std::string &path, const std::string &content) const { write_file(box.path(path), content); }
    std::string record(const std::string &name) const { return read_file(inv("installed/" + name + "/inst.txt")); }
    std::string version_of(const std::string &name) const
    {
        return file("/usr/share/" + name + "/version");
    }
    // Replaces the catalogue's builds of `pkg_spec.name` by `pkg_spec`.
    void publish(const PackageSpec &pkg_spec)
    {
        for (const auto &entry : fs::directory_iterator(box.repo()))
            if (entry.path().filename().string().rfind(pkg_spec.name + "_", 0) == 0)
                fs::remove(entry.path());
        box.add_package(pkg_spec);
    }
    RunResult install(const std::string &name) const { return box.pqpm({"install", name}); }
    RunResult upgrade(std::vector<std::string> args = {}, RunOptions options = {}) const
    {
        args.insert(args.begin(), "upgrade");
        return box.pqpm(args, std::move(options));
    }
    int count(const std::string &text, const std::string &word) const
    {
        int n = 0;
        for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
            ++n;
        return n;
    }

    Sandbox box;
};

} // namespace

TEST_F(PqpmUpgrade, NewerVersionReplacesFilesDropsOldOnesAndKeepsTheFirstInstall)
{
    publish(pkg("A", "1.0").file("data/usr/bin/a-old", "gone soon\n"));
    ASSERT_EQ(install("A").status, 0);
    const std::string first = record("A");

    publish(pkg("A", "2.0"));
    RunResult r = upgrade({"A"});
    EXPECT_EQ(r.status, 0) << r.err;
    // The cleanup after it removes the two fetched package files.
    EXPECT_EQ(r.out, "pqpm: A successfully updated\n2 items have been deleted\n");
    EXPECT_EQ(version_of("A"), "2.0\n");
    EXPECT_FALSE(fs::exists(box.path("/usr/bin/a-old"))) << "a file the new version dropped";
    EXPECT_EQ(read_file(inv("fileindex/A")), "/usr/share/A/version\n");
    // The first install time and type stay; one update time per update.
    const std::string second = record("A");
    EXPECT_EQ(second.substr(0, second.find("eqpkUpdateTime")), first);
    EXPECT_EQ(count(second, "eqpkUpdateTime"), 1);
    EXPECT_NE(read_file(inv("installed/A/desc.txt")).find("2.0"), std::string::npos);
    EXPECT_NE(read_file(inv("install.log")).find("updated A_any_1.0 to A_any_2.0"), std::string::npos)
        << read_file(inv("install.log"));

    // The same unique name: nothing to do, silently, status 0.
    r = upgrade({"A"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0 items have been deleted\n");

    publish(pkg("A", "3.0"));
    ASSERT_EQ(upgrade().status, 0) << "no name: every installed package";
    EXPECT_EQ(version_of("A"), "3.0\n");
    EXPECT_EQ(count(record("A"), "eqpkUpdateTime"), 2);
    // No leftovers: neither previous records nor indexes nor stage directories.
    for (const char *dir : {"installed", "fileindex", "stagearea"})
        for (const auto &entry : fs::directory_iterator(inv(dir)))
            EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
}

TEST_F(PqpmUpgrade, LocalPackageFileIsTakenWhateverItsVersion)
{
    publish(pkg("A", "2.0"));
    ASSERT_EQ(install("A").status, 0);
    const std::string older = build_package(pkg("A", "1.5"), box.path("/tmp"), &box.signer());
    ASSERT_FALSE(older.empty());
    const RunResult r = upgrade({older});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(version_of("A"), "1.5\n");
}

TEST_F(PqpmUpgrade, ConfigurationFilesFollowTheRules)
{
    PackageSpec v1 = pkg("C", "1.0");
    for (const char *name : {"same", "changed", "deleted", "unshipped"})
        v1.file(std::string("conf/etc/c/") + name + ".conf", std::string(name) + " v1\n");
    publish(v1);
    ASSERT_EQ(install("C").status, 0);
    put("/etc/c/changed.conf", "changed by the administrator\n");
    fs::remove(box.path("/etc/c/deleted.conf"));
    fs::remove(inv("installed/C/conf/etc/c/unshipped.conf")); // the shipped copy is missing

    PackageSpec v2 = pkg("C", "2.0");
    for (const char *name : {"same", "changed", "deleted", "unshipped"})
        v2.file(std::string("conf/etc/c/") + name + ".conf", std::string(name) + " v2\n");
    publish(v2);
    const RunResult r = upgrade({"C"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("/etc/c/changed.conf was changed locally: kept, the new version is "
                         "/etc/c/changed.conf.qpk-new\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(file("/etc/c/same.conf"), "same v2\n");
    EXPECT_EQ(file("/etc/c/changed.conf"), "changed by the administrator\n");
    EXPECT_EQ(file("/etc/c/changed.conf.qpk-new"), "changed v2\n");
    EXPECT_EQ(file("/etc/c/deleted.conf"), "deleted v2\n");
    EXPECT_EQ(file("/etc/c/unshipped.conf"), "unshipped v1\n");
    EXPECT_FALSE(fs::exists(box.path("/etc/c/same.conf.qpk-new")));
    EXPECT_EQ(read_file(inv("installed/C/conf/etc/c/changed.conf")), "changed v2\n");
}

TEST_F(PqpmUpgrade, FailedUpdateLeavesOldFilesRecordAndIndex)
{
    publish(pkg("A", "1.0").file("data/usr/bin/a-old", "old\n").file("conf/etc/a.conf", "a v1\n"));
    publish(pkg("B", "1.0").file("data/usr/bin/b", "b\n"));
    ASSERT_EQ(install("A").status, 0);
    ASSERT_EQ(install("B").status, 0);
    const std::vector<std::string> skip = {"/var/log", "/var/lib/qpm/stagearea", "/var/lib/qpm/lock",
                                           "/var/lib/qpm/install.log"};
    const auto before = tree_snapshot(box.root(), skip);

    // A file of another package aborts before any change.
    publish(pkg("A", "2.0").file("data/usr/bin/b", "stolen\n"));
    RunResult r = upgrade({"A"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "pqpm: failure updating A, rc: -1\n3 items have been deleted\n");
    EXPECT_EQ(tree_snapshot(box.root(), skip), before);

    // A failure at each later step rolls every change back.
    publish(pkg("A", "2.0").file("conf/etc/a.conf", "a v2\n").file("data/usr/share/A/new/deep", "x\n"));
    for (const char *point : {"update:apply", "update:record", "update:swap-index", "update:swap-record"}) {
        SCOPED_TRACE(point);
        RunOptions options;
        options.extra_env = {std::string("QPM_FAULT=") + point};
        r = upgrade({"A"}, options);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(tree_snapshot(box.root(), skip), before);
    }
    if (geteuid() == 0) {
        // A post-install script that fails (scripts run confined: root only).
        publish(pkg("A", "2.0").script("99-add.sh", "exit 3\n"));
        r = upgrade({"A"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(tree_snapshot(box.root(), skip), before);
    }
}

// Killed at each step of the record swap, the next run finds a readable
// record and brings the package to the new version.
TEST_F(PqpmUpgrade, CrashDuringTheSwapConverges)
{
    for (const char *point : {"update:record", "update:swap-index", "update:swap-record"}) {
        SCOPED_TRACE(point);
        Sandbox run_box;
        ASSERT_TRUE(run_box.ok());
        run_box.add_package(pkg("A", "1.0").file("data/usr/bin/a-old", "old\n"));
        ASSERT_EQ(run_box.pqpm({"install", "A"}).status, 0);
        for (const auto &entry : fs::directory_iterator(run_box.repo()))
            fs::remove(entry.path());
        run_box.add_package(pkg("A", "2.0"));

        RunOptions options;
        options.extra_env = {std::string("QPM_FAULT=kill@") + point};
        const RunResult killed = run_box.pqpm({"upgrade", "A"}, options);
        EXPECT_NE(killed.status, 0);
        EXPECT_TRUE(file_exists(run_box.path("/var/lib/qpm/installed/A/inst.txt")));
        EXPECT_TRUE(file_exists(run_box.path("/var/lib/qpm/installed/A/desc.txt")));
        fs::remove(run_box.path("/var/lib/qpm/lock"));

        const RunResult again = run_box.pqpm({"upgrade", "A"});
        EXPECT_EQ(again.status, 0) << again.err;
        EXPECT_EQ(read_file(run_box.path("/usr/share/A/version")), "2.0\n");
        EXPECT_NE(read_file(run_box.path("/var/lib/qpm/installed/A/desc.txt")).find("2.0"), std::string::npos);
        EXPECT_EQ(read_file(run_box.path("/var/lib/qpm/fileindex/A")), "/usr/share/A/version\n");
    }
}

TEST_F(PqpmUpgrade, CleanupTakesOnlyLeftoversAndCountsWhatItRemoved)
{
    publish(pkg("A", "1.0"));
    ASSERT_EQ(install("A").status, 0);
    fs::create_directories(inv("installed/.A.old/hash"));
    put("/var/lib/qpm/installed/.A.old/inst.txt", "12345");
    fs::create_directories(inv("installed/.Gone.old")); // its live record is missing: kept
    fs::create_directories(inv("installed/B.old"));     // no leading dot: not taken
    put("/var/lib/qpm/fileindex/.A.old", "/x\n");
    put("/var/lib/qpm/stagearea/x.qpk", "123");
    put("/var/lib/qpm/stagearea/x.qpk.qpk", "1");   // the first ".qpk" is not at the end
    fs::create_directories(inv("stagearea/d.qpk")); // a directory

    const RunResult r = box.pqpm({"cleanup", "-o", "verbose=yes"});
    EXPECT_EQ(r.status, 0) << r.err;
    // .A.old (record), .A.old (index), x.qpk and the package file staged by
    // the install.
    EXPECT_EQ(r.out, "4 items have been deleted\n");
    EXPECT_FALSE(fs::exists(inv("installed/.A.old")));
    EXPECT_FALSE(fs::exists(inv("fileindex/.A.old")));
    EXPECT_FALSE(fs::exists(inv("stagearea/x.qpk")));
    EXPECT_TRUE(fs::exists(inv("installed/.Gone.old")));
    EXPECT_TRUE(fs::exists(inv("installed/B.old")));
    EXPECT_TRUE(fs::exists(inv("stagearea/x.qpk.qpk")));
    EXPECT_TRUE(fs::exists(inv("stagearea/d.qpk")));
    EXPECT_TRUE(fs::exists(inv("installed/A/inst.txt")));
    EXPECT_NE(r.err.find("installed: keeping .Gone.old"), std::string::npos) << r.err;

    EXPECT_EQ(box.pqpm({"cleanup"}).out, "") << "quiet without verbose";
}

TEST_F(PqpmUpgrade, ExitStatusSaysWhetherEveryNamedPackageMadeIt)
{
    publish(pkg("A", "1.0"));
    ASSERT_EQ(install("A").status, 0);
    EXPECT_EQ(install("A").status, 0) << "already installed is success";
    EXPECT_EQ(install("Missing").status, 1);
    EXPECT_EQ(box.pqpm({"install", "Missing", "A"}).status, 1) << "one of two failed";
    EXPECT_EQ(upgrade({"Missing"}).status, 1) << "not installed";
    EXPECT_EQ(upgrade({"A"}).status, 0) << "nothing to do is success";
    // A newer build whose dependency is nowhere: the named package fails.
    publish(pkg("A", "2.0", {"Nowhere"}));
    EXPECT_EQ(upgrade({"A"}).status, 1);
    EXPECT_EQ(upgrade().status, 0) << "the whole system is looked through quietly";
    // A package file of a package that is not installed.
    const std::string other = build_package(pkg("Other", "1.0"), box.path("/tmp"), &box.signer());
    EXPECT_EQ(upgrade({other}).status, 1);
}

TEST_F(PqpmUpgrade, FastcleanAndTheLibraryCache)
{
    publish(pkg("L", "1.0"));
    ASSERT_EQ(install("L").status, 0);
    publish(pkg("L", "2.0").file("data/usr/lib/libl.so.2", "not really a library\n"));
    const RunResult r = upgrade({"-o", "fastclean=yes", "L"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(file_exists(inv("stagearea/L_any_2.0.qpk"))) << "removed once in place";
    EXPECT_EQ(r.out, "pqpm: L successfully updated\n1 items have been deleted\n") << "the 1.0 file only";
    // The library cache is made under the root only; a name like libl.so
    // alone would not make it.
    if (geteuid() == 0 && file_exists("/sbin/ldconfig")) {
        EXPECT_TRUE(file_exists(box.path("/etc/ld.so.cache")));
    }
}
