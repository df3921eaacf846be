// Links in the image or made by packages, absolute or relative, never lead
// an install, a check, an upgrade or a rollback out of the system root.
// Every host path looked at carries the sandbox's unique name and is only
// looked at.
#include "support/sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

using namespace qpm;
using namespace qpm::test;

namespace {

namespace fs = std::filesystem;

PackageSpec pkg(const std::string &name, const std::string &version = "1.0", std::vector<std::string> depends = {})
{
    PackageSpec pkg_spec;
    pkg_spec.name = name;
    pkg_spec.version = version;
    pkg_spec.depends = std::move(depends);
    pkg_spec.file("data/usr/share/" + name + "/" + name + ".txt", name + "\n");
    return pkg_spec;
}

class RootLinks : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(box.ok()) << box.error(); }

    bool installed(const std::string &name) const
    {
        return file_exists(box.path("/var/lib/qpm/installed/" + name + "/inst.txt"));
    }
    void publish(const PackageSpec &pkg_spec)
    {
        for (const auto &entry : fs::directory_iterator(box.repo()))
            if (entry.path().filename().string().rfind(pkg_spec.name + "_", 0) == 0)
                fs::remove(entry.path());
        box.add_package(pkg_spec);
    }
    // A name no other sandbox uses, for paths that must not appear on the host.
    std::string token() const { return "qpmtest-" + fs::path(box.root()).filename().string(); }
    static bool on_host(const std::string &path)
    {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0;
    }

    Sandbox box;
};

} // namespace

// A links list makes a directory a link to /etc; a dependent's file under it
// lands in the image's /etc, absolute link or relative one climbing past the
// root alike.
TEST_F(RootLinks, FilesUnderALinkedDirectoryLandInTheImage)
{
    const std::string tok = token();
    struct Case {
        const char *package;
        const char *link;
        const char *target;
    };
    for (const Case &c : {Case{"abs", "etcl", "/etc"}, Case{"rel", "etcr", "../../../../etc"}}) {
        SCOPED_TRACE(c.package);
        const std::string dep = std::string(c.package) + "link";
        publish(pkg(dep).link(std::string("data/usr/share/") + c.link, c.target));
        publish(pkg(c.package, "1.0", {dep}).file(std::string("data/usr/share/") + c.link + "/" + tok + "-" + c.package,
                                                  "through the link\n"));
        const RunResult r = box.pqpm({"install", c.package});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(installed(c.package));
        EXPECT_EQ(read_file(box.path("/etc/" + tok + "-" + c.package)), "through the link\n");
        EXPECT_FALSE(on_host("/etc/" + tok + "-" + c.package));
    }
}

// A pre-install script (run with the root as its /) makes an absolute link;
// the package's own file then goes through it, into the image.
TEST_F(RootLinks, ALinkMadeByAPreInstallScriptLeadsIntoTheImage)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "scripts run confined, which needs root";
    const std::string tok = token();
    publish(pkg("scripted")
                .script("00-add.sh", "mkdir -p /usr/share && ln -s /etc /usr/share/etcp\n")
                .file("data/usr/share/etcp/" + tok, "scripted\n"));
    const RunResult r = box.pqpm({"install", "scripted"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(box.path("/etc/" + tok)), "scripted\n");
    EXPECT_FALSE(on_host("/etc/" + tok));
}

// The conflict check sees another package's file whichever name, direct
// or through the linked directory, either package gave it.
TEST_F(RootLinks, ConflictCheckSeesFilesThroughLinkedDirectories)
{
    const std::string tok = token();
    publish(pkg("linker").link("data/usr/share/etcl", "/etc"));
    publish(pkg("direct").file("data/etc/" + tok + "-1", "owned directly\n"));
    publish(pkg("linked", "1.0", {"linker"}).file("data/usr/share/etcl/" + tok + "-2", "owned through\n"));
    ASSERT_EQ(box.pqpm({"install", "direct"}).status, 0);
    ASSERT_EQ(box.pqpm({"install", "linked"}).status, 0);

    struct Case {
        const char *package;
        std::string path;
        std::string victim;
        const char *owner;
    };
    const Case cases[] = {
        {"via", "data/usr/share/etcl/" + tok + "-1", "/etc/" + tok + "-1", "direct"},
        {"plain", "data/etc/" + tok + "-2", "/etc/" + tok + "-2", "linked"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.package);
        const std::string before = read_file(box.path(c.victim));
        publish(pkg(c.package, "1.0", {"linker"}).file(c.path, "stolen\n"));
        const RunResult r = box.pqpm({"install", c.package});
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.err.find(std::string("belongs to package ") + c.owner), std::string::npos) << r.err;
        EXPECT_FALSE(installed(c.package));
        EXPECT_EQ(read_file(box.path(c.victim)), before);
    }
}

// An image with /var/run -> /run: a package's files under /var/run go to
// the image's /run, through install, upgrade and a rolled-back upgrade.
TEST_F(RootLinks, ImageLinksHoldThroughInstallUpgradeAndRollback)
{
    const std::string tok = token();
    fs::create_directories(box.path("/run"));
    fs::create_directories(box.path("/var"));
    ASSERT_EQ(::symlink("/run", box.path("/var/run").c_str()), 0);
    const std::string dir = "/var/run/" + tok;

    publish(pkg("daemon", "1.0").file("data" + dir + "/a", "a1\n").file("data" + dir + "/gone", "g\n"));
    RunResult r = box.pqpm({"install", "daemon"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(box.path("/run/" + tok + "/a")), "a1\n");
    EXPECT_FALSE(on_host("/run/" + tok));
    EXPECT_FALSE(on_host("/var/run/" + tok));

    publish(pkg("daemon", "2.0").file("data" + dir + "/a", "a2\n").file("data" + dir + "/new/b", "b2\n"));
    r = box.pqpm({"upgrade", "daemon"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(box.path("/run/" + tok + "/a")), "a2\n");
    EXPECT_EQ(read_file(box.path("/run/" + tok + "/new/b")), "b2\n");
    EXPECT_FALSE(file_exists(box.path("/run/" + tok + "/gone")));
    EXPECT_TRUE(fs::is_symlink(box.path("/var/run")));

    // A failure after the files were written puts 2.0 back, in the image.
    const std::vector<std::string> skip = {"/var/log", "/var/lib/qpm/stagearea", "/var/lib/qpm/lock",
                                           "/var/lib/qpm/install.log"};
    const auto before = tree_snapshot(box.root(), skip);
    publish(pkg("daemon", "3.0").file("data" + dir + "/a", "a3\n").file("data" + dir + "/more/c", "c3\n"));
    RunOptions options;
    options.extra_env = {"QPM_FAULT=update:apply"};
    r = box.pqpm({"upgrade", "daemon"}, options);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(tree_snapshot(box.root(), skip), before);
    EXPECT_FALSE(on_host("/run/" + tok));
    EXPECT_FALSE(on_host("/var/run/" + tok));
}

// An inventory that a link in the image moves onto the host is refused.
TEST_F(RootLinks, InventoryBehindALinkOutOfTheRootIsRefused)
{
    const std::string tok = token();
    const std::string host_dir = box.root() + "-host-" + tok; // beside the root, outside it
    fs::rename(box.path("/var/lib"), host_dir);
    ASSERT_EQ(::symlink(host_dir.c_str(), box.path("/var/lib").c_str()), 0);
    publish(pkg("any"));
    const RunResult r = box.pqpm({"install", "any"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("leads out of the system root"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(host_dir + "/qpm/installed/any"));
    fs::remove_all(host_dir);
}
