#include "package/filecopy.h"

#include "package/dirs.h"
#include "util/files.h"
#include "support/test_support.h"
#include "tree_fixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

using namespace test;

TEST(TreeCopy, BackupIsCompleteBeforeTheTargetIsReplacedWhole)
{
    ScratchDir dir;
    LogFile log(dir / "qpm.log");
    const std::string base = dir / "old";
    const std::string target = dir / "etc/x.conf";
    ASSERT_EQ(qpm_qpf_mkdir(dir / "etc", 0755), 0);
    write_file(target, "old content");
    chmod(target.c_str(), 0640);
    write_file(dir / "src", "new content!");
    chmod((dir / "src").c_str(), 0750);

    UniqueFd old_fd(open(target.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(qpm_qpf_copy(target, dir / "src", base, 1), 12);
    EXPECT_EQ(read_file(target), "new content!");
    EXPECT_EQ(mode_of(target), 0750u);
    EXPECT_EQ(read_file(base + target), "old content");
    EXPECT_EQ(mode_of(base + target), 0640u);
    EXPECT_EQ(read_file(base + "/index.txt"), target + "\n");
    // Replaced by a rename, not rewritten in place: the old file is intact.
    char buf[32] = {};
    EXPECT_EQ(read(old_fd.get(), buf, sizeof buf), 11);
    EXPECT_EQ(std::string(buf), "old content");
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir / "etc"))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"x.conf"});

    // A second copy in the same transaction keeps the first backup.
    write_file(dir / "src2", "third");
    EXPECT_EQ(qpm_qpf_copy(target, dir / "src2", base, 0755), 5);
    EXPECT_EQ(mode_of(target), 0755u);
    EXPECT_EQ(read_file(base + target), "old content");
    EXPECT_EQ(read_file(base + "/index.txt"), target + "\n");

    // When the backup cannot be made the target is not touched.
    write_file(dir / "blocked", "");
    EXPECT_EQ(qpm_qpf_copy(target, dir / "src", dir / "blocked", 1), -1);
    EXPECT_EQ(read_file(target), "third");
}

TEST(TreeCopy, RollbackThroughTheIndexRestoresFilesAndLinks)
{
    ScratchDir dir;
    const std::string base = dir / "old";
    write_file(dir / "src", "package version");
    ASSERT_EQ(qpm_qpf_mkdir(dir / "sys/bin", 0755), 0);
    write_file(dir / "sys/bin/tool", "original");
    symlink("tool", (dir / "sys/bin/alias").c_str());
    symlink("nowhere", (dir / "sys/bin/dangling").c_str());

    const std::vector<std::string> targets = {dir / "sys/bin/tool", dir / "sys/bin/alias",
                                              dir / "sys/bin/dangling", dir / "sys/bin/fresh"};
    for (const std::string &t : targets)
        ASSERT_EQ(qpm_qpf_copy(t, dir / "src", base, 1), 15) << t;
    for (const std::string &t : targets) {
        EXPECT_FALSE(is_link(t)) << t;
        EXPECT_EQ(read_file(t), "package version") << t;
    }

    // What the installer's rollback does: remove the new files, then copy
    // every listed backup back without a backup of its own.
    for (const std::string &t : targets)
        unlink(t.c_str());
    for (const std::string &line : read_file_lines(base + "/index.txt"))
        ASSERT_GE(qpm_qpf_copy(line, base + line, std::nullopt, 1), 0) << line;
    EXPECT_EQ(read_file(dir / "sys/bin/tool"), "original");
    EXPECT_EQ(link_text(dir / "sys/bin/alias"), "tool");
    EXPECT_EQ(link_text(dir / "sys/bin/dangling"), "nowhere");
    EXPECT_FALSE(file_exists(dir / "sys/bin/fresh"));
}

TEST(TreeCopy, RefusesToReplaceADirectory)
{
    ScratchDir dir;
    LogFile log(dir / "qpm.log");
    write_file(dir / "src", "x");
    mkdir((dir / "target").c_str(), 0755);
    EXPECT_EQ(qpm_qpf_copy(dir / "target", dir / "src", dir / "old", 1), -1);
    EXPECT_TRUE(log.has("[ERROR] " + dir / "target" + " is not a regular file, refusing to remove it"));
    EXPECT_EQ(qpm_qpf_copy(dir / "x", dir / "nosuch", std::nullopt, 1), -1);
    EXPECT_TRUE(log.has("[ERROR] Failed to stat " + dir / "nosuch" + ": No such file or directory"));
}

ino_t inode_of(const std::string &path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_ino;
}

TEST(TreeMove, RenamesTheSourceOverAndKeepsTheOldFileAsALinkedBackup)
{
    ScratchDir dir;
    LogFile log(dir / "qpm.log");
    const std::string base = dir / "old";
    const std::string target = dir / "usr/bin/tool";
    ASSERT_EQ(qpm_qpf_mkdir(dir / "usr/bin", 0755), 0);
    write_file(target, "old tool");
    chmod(target.c_str(), 0700);
    const ino_t old_inode = inode_of(target);
    write_file(dir / "src", "new tool!");
    chmod((dir / "src").c_str(), 0751);
    const ino_t new_inode = inode_of(dir / "src");

    EXPECT_EQ(qpm_qpf_move(target, dir / "src", base), 9);
    EXPECT_FALSE(file_exists(dir / "src"));
    EXPECT_EQ(inode_of(target), new_inode);
    EXPECT_EQ(read_file(target), "new tool!");
    EXPECT_EQ(mode_of(target), 0751u);
    // The backup is the old file itself, listed as a copied one is.
    EXPECT_EQ(inode_of(base + target), old_inode);
    EXPECT_EQ(read_file(base + target), "old tool");
    EXPECT_EQ(mode_of(base + target), 0700u);
    EXPECT_EQ(read_file(base + "/index.txt"), target + "\n");

    // A file in a directory not there yet, and no backup asked for.
    write_file(dir / "src", "fresh");
    EXPECT_EQ(qpm_qpf_move(dir / "usr/share/x/f", dir / "src", std::nullopt), 5);
    EXPECT_EQ(read_file(dir / "usr/share/x/f"), "fresh");

    // A second replacement keeps the first backup.
    write_file(dir / "src", "third");
    EXPECT_EQ(qpm_qpf_move(target, dir / "src", base), 5);
    EXPECT_EQ(read_file(base + target), "old tool");
    EXPECT_EQ(read_file(base + "/index.txt"), target + "\n");

    // A directory is refused as by the copy, and nothing moves.
    mkdir((dir / "adir").c_str(), 0755);
    write_file(dir / "src", "x");
    EXPECT_EQ(qpm_qpf_move(dir / "adir", dir / "src", base), -1);
    EXPECT_TRUE(log.has("[ERROR] " + dir / "adir" + " is not a regular file, refusing to remove it"));
    EXPECT_TRUE(file_exists(dir / "src"));
}

TEST(TreeMove, SourceOfTwoNamesOrOnAnotherFileSystemIsCopied)
{
    ScratchDir dir;
    write_file(dir / "src", "shared");
    ASSERT_EQ(link((dir / "src").c_str(), (dir / "src2").c_str()), 0);
    EXPECT_EQ(qpm_qpf_move(dir / "a", dir / "src", std::nullopt), 6);
    EXPECT_EQ(qpm_qpf_move(dir / "b", dir / "src2", std::nullopt), 6);
    EXPECT_NE(inode_of(dir / "a"), inode_of(dir / "b"));
    EXPECT_TRUE(file_exists(dir / "src"));

    // /dev/shm is a tmpfs of its own wherever it exists: the rename fails
    // with EXDEV and the copy gives the same result.
    struct stat here {}, shm {};
    if (stat("/dev/shm", &shm) != 0 || stat(dir.path().c_str(), &here) != 0 || shm.st_dev == here.st_dev)
        GTEST_SKIP() << "needs /dev/shm on another file system";
    TempDir other("/dev/shm/qpm-test-");
    ASSERT_TRUE(other);
    const std::string far = other.path() + "/src";
    write_file(far, "far away");
    chmod(far.c_str(), 0604);
    write_file(dir / "c", "before");
    EXPECT_EQ(qpm_qpf_move(dir / "c", far, dir / "old"), 8);
    EXPECT_EQ(read_file(dir / "c"), "far away");
    EXPECT_EQ(mode_of(dir / "c"), 0604u);
    EXPECT_EQ(read_file(dir / "old" + dir / "c"), "before");
}

TEST(TreeMove, RollbackThroughTheIndexRestoresLinkedBackups)
{
    ScratchDir dir;
    const std::string base = dir / "old";
    ASSERT_EQ(qpm_qpf_mkdir(dir / "sys/lib", 0755), 0);
    write_file(dir / "sys/lib/libx.so", "original");
    symlink("libx.so", (dir / "sys/lib/alias").c_str());
    const std::vector<std::string> targets = {dir / "sys/lib/libx.so", dir / "sys/lib/alias", dir / "sys/lib/new"};
    for (const std::string &t : targets) {
        write_file(dir / "src", "package version");
        ASSERT_EQ(qpm_qpf_move(t, dir / "src", base), 15) << t;
        EXPECT_FALSE(is_link(t)) << t;
    }
    EXPECT_EQ(link_text(base + dir / "sys/lib/alias"), "libx.so");

    for (const std::string &t : targets)
        unlink(t.c_str());
    for (const std::string &line : read_file_lines(base + "/index.txt"))
        ASSERT_GE(qpm_qpf_copy(line, base + line, std::nullopt, 1), 0) << line;
    EXPECT_EQ(read_file(dir / "sys/lib/libx.so"), "original");
    EXPECT_EQ(link_text(dir / "sys/lib/alias"), "libx.so");
    EXPECT_FALSE(file_exists(dir / "sys/lib/new"));
}

} // namespace
} // namespace qpm
