#include "package/tree.h"

#include "package/sha1.h"
#include "support/test_support.h"
#include "util/files.h"
#include "util/raii.h"
#include "util/raii_archive.h"
#include "util/strfmt.h"

#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

using test::file_exists;
using test::LogFile;
using test::read_file;
using test::ScratchDir;
using test::write_file;

std::map<std::string, std::string> by_path(const Ekva *list)
{
    std::map<std::string, std::string> out;
    for (const auto &entry : list->entries())
        out[entry.value.value_or("")] = entry.key;
    return out;
}

mode_t mode_of(const std::string &path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

bool is_link(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string link_text(const std::string &path)
{
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

TEST(TreeHashes, ListLinesBecomeHashKeysAndSlashedPaths)
{
    ScratchDir dir;
    LogFile log(dir / "qpm.log");
    mkdir((dir / "hash").c_str(), 0755);
    const std::string hash(40, 'a');
    write_file(dir / "hash/data.txt", hash + ":usr/bin/ls\n\n");
    EkvaPtr list;
    ASSERT_EQ(qpm_qpf_qpk_hashes(dir.path(), "data", list), 0);
    ASSERT_TRUE(list);
    EXPECT_EQ(by_path(list.get()), (std::map<std::string, std::string>{{"/usr/bin/ls", hash}}));
    EXPECT_EQ(list->header_key(), "#EKVA_10:100:3");

    write_file(dir / "hash/conf.txt", hash + ":etc/x\n" + std::string(40, 'b') + ":\n");
    EXPECT_EQ(qpm_qpf_qpk_hashes(dir.path(), "conf", list), -1);
    EXPECT_EQ(list->entries().size(), 1u);
    EXPECT_TRUE(log.has("[ERROR] Line is smaller than 42 bytes, bye"));

    EkvaPtr none;
    EXPECT_EQ(qpm_qpf_qpk_hashes(dir.path(), "dump", none), 0);
    EXPECT_FALSE(none);
}

TEST(TreeHashes, TreeOnDiskVerifiesAgainstItsListUntilOneByteChanges)
{
    ScratchDir dir;
    const std::string tree = dir / "new/data";
    ASSERT_EQ(qpm_qpf_mkdir(tree + "/sub/deeper", 0755), 0);
    write_file(tree + "/a", "alpha\n");
    write_file(tree + "/sub/b", "beta\n");
    write_file(tree + "/sub/deeper/c", "");
    std::string listed;
    for (const char *rel : {"a", "sub/b", "sub/deeper/c"})
        listed += *sha1_file(tree + "/" + rel) + ":" + rel + "\n";
    mkdir((dir / "new/hash").c_str(), 0755);
    write_file(dir / "new/hash/data.txt", listed);

    EkvaPtr shipped;
    ASSERT_EQ(qpm_qpf_qpk_hashes(dir / "new", "data", shipped), 0);
    EkvaPtr found;
    ASSERT_EQ(qpm_qpf_hash_files(tree, "", found), 0);
    EXPECT_EQ(by_path(found.get()), by_path(shipped.get()));
    EXPECT_EQ(by_path(found.get()).count("/sub/deeper/c"), 1u);

    write_file(tree + "/sub/b", "betA\n");
    EkvaPtr changed;
    ASSERT_EQ(qpm_qpf_hash_files(tree, "", changed), 0);
    EXPECT_NE(by_path(changed.get())["/sub/b"], by_path(shipped.get())["/sub/b"]);
    EXPECT_EQ(by_path(changed.get())["/a"], by_path(shipped.get())["/a"]);

    EkvaPtr missing;
    EXPECT_EQ(qpm_qpf_hash_files(dir / "new/dump", "", missing), 0);
    EXPECT_TRUE(missing->entries().empty());
}

TEST(TreeHashes, LinkOrFifoInTreeFailsInsteadOfBeingReadOrFollowed)
{
    ScratchDir dir;
    LogFile log(dir / "qpm.log");
    alarm(30); // a FIFO that is opened would block for ever
    const std::string with_link = dir / "t1";
    mkdir(with_link.c_str(), 0755);
    symlink("/dev/zero", (with_link + "/zero").c_str());
    EkvaPtr list;
    EXPECT_EQ(qpm_qpf_hash_files(with_link, "", list), -1);
    EXPECT_TRUE(log.has("[ERROR] failed to generate sha1 of " + with_link + "/zero"));

    const std::string with_fifo = dir / "t2";
    mkdir(with_fifo.c_str(), 0755);
    mkdir((with_fifo + "/sub").c_str(), 0755);
    mkfifo((with_fifo + "/sub/pipe").c_str(), 0644);
    EkvaPtr list2;
    EXPECT_EQ(qpm_qpf_hash_files(with_fifo, "", list2), -1);
    EXPECT_TRUE(log.has("failed to generate sha1 of " + with_fifo + "/sub/pipe"));
    alarm(0);
}

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

TEST(TreeDirs, MkdirRmdirAndDudir)
{
    ScratchDir dir;
    const mode_t saved = umask(022);
    EXPECT_EQ(qpm_qpf_mkdir(dir / "a/b/c/", 0700), 0);
    umask(saved);
    EXPECT_EQ(mode_of(dir / "a"), 0755u);
    EXPECT_EQ(mode_of(dir / "a/b"), 0755u);
    EXPECT_EQ(mode_of(dir / "a/b/c"), 0700u);
    EXPECT_EQ(qpm_qpf_mkdir(dir / "a/b/c", 0700), -1);

    write_file(dir / "a/one", "12345");
    write_file(dir / "a/b/c/two", "123");
    symlink("abc", (dir / "a/b/link").c_str());
    long long total = 0;
    EXPECT_EQ(qpm_qpf_dudir(dir / "a", total), 0);
    EXPECT_EQ(total, 11);
    EXPECT_EQ(qpm_qpf_dudir(dir / "missing", total), 0);
    EXPECT_EQ(total, 11);

    EXPECT_EQ(qpm_qpf_rmdir(dir / "a/"), 0);
    EXPECT_FALSE(file_exists(dir / "a"));
    EXPECT_EQ(qpm_qpf_rmdir(dir / "missing"), 0);

    const char *text = "usr/lib/";
    EXPECT_EQ(last_char_is(text, '/'), text + 7);
    EXPECT_EQ(last_char_is(text, 'b'), nullptr);
    EXPECT_EQ(last_char_is("", '/'), nullptr);
    EXPECT_EQ(last_char_is(nullptr, '/'), nullptr);
}

// A package file: header, description and a gzip-compressed cpio payload.
std::string package_bytes(const std::vector<std::string> &entries)
{
    std::string payload(1 << 20, '\0');
    size_t used = 0;
    ArchiveWritePtr writer(archive_write_new());
    archive_write_add_filter_gzip(writer.get());
    archive_write_set_format_cpio_newc(writer.get());
    archive_write_open_memory(writer.get(), payload.data(), payload.size(), &used);
    for (const std::string &name : entries) {
        ArchiveEntryPtr entry(archive_entry_new());
        archive_entry_set_pathname(entry.get(), name.c_str());
        const bool is_dir = name.back() == '/';
        archive_entry_set_filetype(entry.get(), is_dir ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry.get(), 0644);
        archive_entry_set_size(entry.get(), is_dir ? 0 : 4);
        archive_write_header(writer.get(), entry.get());
        if (!is_dir)
            archive_write_data(writer.get(), "data", 4);
    }
    archive_write_close(writer.get());
    payload.resize(used);
    const std::string desc = "dn: eqpkName=demo\neqpmVersion: 2.0\neqpkName: demo\neqpkVersion: 1.0\n"
                             "eqpkArchitecture: any\neqpkDescription: demo\n";
    return "EQPM20" + strprintf("%5d", static_cast<int>(desc.size())) + desc + payload;
}

TEST(TreeIndex, ListsDataEntriesInArchiveOrderAndOnlyAWholePayload)
{
    ScratchDir dir;
    const std::string bytes =
        package_bytes({"info/perm.txt", "data/", "data/usr/bin/b", "hash/data.txt", "data/etc/a", "dump/x"});
    write_file(dir / "p.qpk", bytes);
    const std::optional<StrArr> index = qpm_qpf_index(nullptr, dir / "p.qpk");
    ASSERT_TRUE(index);
    EXPECT_EQ(*index, (StrArr{"/", "/usr/bin/b", "/etc/a"}));

    write_file(dir / "cut.qpk", bytes.substr(0, bytes.size() - 30));
    EXPECT_FALSE(qpm_qpf_index(nullptr, dir / "cut.qpk"));
    write_file(dir / "bad.qpk", "EQPM30" + bytes.substr(6));
    EXPECT_FALSE(qpm_qpf_index(nullptr, dir / "bad.qpk"));
}

} // namespace
} // namespace qpm
