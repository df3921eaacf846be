#include "package/linkperm.h"

#include "package/dirs.h"
#include "support/test_support.h"
#include "tree_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

using namespace test;

TEST(TreePerms, AppliesModesGoesOnAfterBadLinesAndNeverFollowsLinks)
{
    ScratchDir dir;
    LogFile log(dir / "qpm.log");
    write_file(dir / "a", "a");
    write_file(dir / "b", "b");
    write_file(dir / "c", "c");
    write_file(dir / "victim", "v");
    chmod((dir / "victim").c_str(), 0600);
    symlink((dir / "victim").c_str(), (dir / "link").c_str());
    write_file(dir / "perm.txt", dir / "a|0640\n\n" + dir / "b|8x9\n" + dir / "b|17777\n" + dir / "c|4755\n");
    EXPECT_EQ(qpm_qpf_perms(dir / "perm.txt"), 0);
    EXPECT_EQ(mode_of(dir / "a"), 0640u);
    EXPECT_EQ(mode_of(dir / "c"), 04755u);
    EXPECT_TRUE(log.has("[ERROR] qpm_qpf_perms: Failed to convert mode 8x9 for " + dir / "b" +
                        " to something meaningful"));
    EXPECT_TRUE(log.has("Failed to convert mode 17777 for"));

    write_file(dir / "perm2.txt", dir / "link|0777\n");
    EXPECT_EQ(qpm_qpf_perms(dir / "perm2.txt"), -1);
    EXPECT_EQ(mode_of(dir / "victim"), 0600u);
    EXPECT_TRUE(log.has("qpm_qpf_perms: Failed to set mode of " + dir / "link" + " to 0777"));

    EXPECT_EQ(qpm_qpf_perms(dir / "missing.txt"), -1);
    EXPECT_TRUE(log.has("qpm_qpf_perms: Failed to open perm file " + dir / "missing.txt"));
}

TEST(TreePerms, SystemPathsLieUnderTheSystemRoot)
{
    ScratchDir dir;
    const test::ScopedSystemRoot root(dir / "root");
    ASSERT_EQ(qpm_qpf_mkdir(dir / "root/usr/bin", 0755), 0);
    write_file(dir / "root/usr/bin/tool", "x");
    write_file(dir / "outside", "x");
    chmod((dir / "outside").c_str(), 0600);
    symlink(dir.path().c_str(), (dir / "root/usr/up").c_str());
    write_file(dir / "perm.txt", "/../outside|0666\n/usr/up/outside|0666\n/usr/bin/tool|0711\n");
    EXPECT_EQ(qpm_qpf_perms(dir / "perm.txt"), 0);
    EXPECT_EQ(mode_of(dir / "root/usr/bin/tool"), 0711u);
    EXPECT_EQ(mode_of(dir / "outside"), 0600u);
}

TEST(TreeLinks, LinesShareDirectoriesAndUnreachableOnesAreSkipped)
{
    ScratchDir dir;
    LogFile log(dir / "qpm.log");
    const std::string before = std::filesystem::current_path().string();
    ASSERT_EQ(qpm_qpf_mkdir(dir / "lib", 0755), 0);
    write_file(dir / "blocked", "a file, not a directory");
    write_file(dir / "lib/libx.so", "regular");
    write_file(dir / "link.txt", "|x|stray\n" + dir / "lib|libx.so.1|libx.so.one\n" + "|libx.so.1|libx.so.uno\n" +
                                     "|other|libx.so\n" + dir / "blocked/sub|t|n1\n" + "|t|n2\n" + dir /
                                     "new|../lib|up\n" + "|t|../escape\n");
    EXPECT_EQ(qpm_qpf_links(dir / "link.txt", 1, 0), -1);
    EXPECT_EQ(qpm_qpf_links(dir / "link.txt", 1, 1), -1);
    EXPECT_EQ(std::filesystem::current_path().string(), before);

    EXPECT_FALSE(file_exists(before + "/stray"));
    EXPECT_EQ(link_text(dir / "lib/libx.so.one"), "libx.so.1");
    EXPECT_EQ(link_text(dir / "lib/libx.so.uno"), "libx.so.1");
    EXPECT_EQ(link_text(dir / "new/up"), "../lib");
    EXPECT_FALSE(file_exists(dir / "escape"));
    EXPECT_TRUE(log.has("qpm_qpf_links: Skipping entry, as directory could not be reached"));
    EXPECT_TRUE(log.has("qpm_qpf_links: libx.so exists, but is not a symbolic link, refusing to delete"));
    EXPECT_TRUE(log.has("[ERROR] qpm_qpf_links: Failed to create symbolic link named libx.so pointing to other"));
    EXPECT_EQ(read_file(dir / "lib/libx.so"), "regular");

    // Removal only takes away the links, the regular file stays.
    EXPECT_EQ(qpm_qpf_links(dir / "link.txt", 1, 0), -1);
    EXPECT_FALSE(file_exists(dir / "lib/libx.so.one"));
    EXPECT_FALSE(file_exists(dir / "new/up"));
    EXPECT_TRUE(file_exists(dir / "lib/libx.so"));
}

TEST(TreeLinks, DirectoriesStayInsideTheSystemRoot)
{
    ScratchDir dir;
    ASSERT_EQ(qpm_qpf_mkdir(dir / "root/usr", 0755), 0);
    ASSERT_EQ(qpm_qpf_mkdir(dir / "outside", 0755), 0);
    symlink((dir / "outside").c_str(), (dir / "root/usr/out").c_str());
    write_file(dir / "link.txt", "/usr/lib|libz.so.1|libz.so\n/usr/out|x|planted\n/../outside|x|planted2\n");
    const test::ScopedSystemRoot root(dir / "root");
    qpm_qpf_links(dir / "link.txt", 1, 1);
    EXPECT_EQ(link_text(dir / "root/usr/lib/libz.so"), "libz.so.1");
    EXPECT_FALSE(file_exists(dir / "outside/planted"));
    EXPECT_FALSE(file_exists(dir / "outside/planted2"));
}

} // namespace
} // namespace qpm
