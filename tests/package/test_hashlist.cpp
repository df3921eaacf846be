#include "package/hashlist.h"

#include "package/dirs.h"
#include "package/sha1.h"
#include "support/test_support.h"
#include "tree_fixture.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

using namespace test;

std::map<std::string, std::string> by_path(const Ekva *list)
{
    std::map<std::string, std::string> out;
    for (const auto &entry : list->entries())
        out[entry.value.value_or("")] = entry.key;
    return out;
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

// A link is followed only to a regular file of the same tree, resolved
// beneath the tree's top; the link's path carries the target's digest.
TEST(TreeHashes, LinksAreFollowedOnlyToRegularFilesInsideTheTree)
{
    ScratchDir dir;
    LogFile log(dir / "qpm.log");
    alarm(30); // a FIFO that is opened would block for ever
    write_file(dir / "outside", "outside\n");
    struct Case {
        const char *name;
        const char *target; // the link "sub/link" points here
        bool passes;
    };
    const std::string inside_abs = dir / "t-absolute/a";
    const Case cases[] = {
        {"relative", "../a", true},
        {"same-directory", "b", true},
        {"chain", "chain", true}, // sub/chain -> ../a
        {"absolute-into-tree", inside_abs.c_str(), false},
        {"dotdot-out", "../../outside", false},
        {"absolute-out", "/etc/passwd", false},
        {"directory", "..", false},
        {"fifo", "pipe", false},
        {"dangling", "nothing", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tree = dir / (std::string("t-") + c.name);
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((tree + "/sub").c_str(), 0755), 0);
        write_file(tree + "/a", "in the tree\n");
        write_file(tree + "/sub/b", "beside\n");
        if (std::string(c.name) == "fifo") {
            ASSERT_EQ(mkfifo((tree + "/sub/pipe").c_str(), 0644), 0);
        }
        ASSERT_EQ(symlink("../a", (tree + "/sub/chain").c_str()), 0);
        const std::string link = tree + "/sub/link";
        ASSERT_EQ(symlink(c.target, link.c_str()), 0);
        EkvaPtr list;
        const int rc = qpm_qpf_hash_files(tree, "", list);
        if (!c.passes) {
            EXPECT_EQ(rc, -1);
            // The walk may reach the FIFO itself first; either fails the tree.
            EXPECT_TRUE(log.has("failed to generate sha1 of " + link) ||
                        (std::string(c.name) == "fifo" && log.has("failed to generate sha1 of " + tree + "/sub/pipe")));
            continue;
        }
        ASSERT_EQ(rc, 0);
        const auto hashes = by_path(list.get());
        const std::string expected = std::string(c.target) == "b" ? sha1_data("beside\n") : sha1_data("in the tree\n");
        EXPECT_EQ(hashes.at("/sub/link"), expected);
        EXPECT_EQ(hashes.at("/sub/chain"), sha1_data("in the tree\n"));
    }
    alarm(0);
}

} // namespace
} // namespace qpm
