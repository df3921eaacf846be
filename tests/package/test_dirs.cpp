#include "package/dirs.h"

#include "support/test_support.h"
#include "tree_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

namespace qpm {
namespace {

using namespace test;

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

TEST(TreeDirs, RmdirRemovesTreesNeverWhatLinksLeadTo)
{
    ScratchDir dir;
    write_file(dir / "outside", "keep");
    ASSERT_EQ(qpm_qpf_mkdir(dir / "outdir/sub", 0755), 0);
    write_file(dir / "outdir/sub/keep", "keep");

    // Files, links to files and directories outside, empty and full
    // directories, and a chain deeper than the descriptors are held for.
    ASSERT_EQ(qpm_qpf_mkdir(dir / "t/empty/emptier", 0755), 0);
    ASSERT_EQ(qpm_qpf_mkdir(dir / "t/full", 0755), 0);
    write_file(dir / "t/full/f", "x");
    symlink((dir / "outside").c_str(), (dir / "t/full/to-file").c_str());
    symlink((dir / "outdir").c_str(), (dir / "t/to-dir").c_str());
    std::string deep = dir / "t";
    for (int i = 0; i < 140; ++i)
        deep += "/d";
    ASSERT_EQ(qpm_qpf_mkdir(deep, 0755), 0);
    write_file(deep + "/bottom", "x");

    EXPECT_EQ(qpm_qpf_rmdir(dir / "t"), 0);
    EXPECT_FALSE(file_exists(dir / "t"));
    EXPECT_EQ(read_file(dir / "outside"), "keep");
    EXPECT_EQ(read_file(dir / "outdir/sub/keep"), "keep");

    // A file or a link given itself goes; the link's target stays.
    symlink((dir / "outdir").c_str(), (dir / "link").c_str());
    EXPECT_EQ(qpm_qpf_rmdir(dir / "link"), 0);
    EXPECT_EQ(qpm_qpf_rmdir(dir / "outside"), 0);
    EXPECT_FALSE(file_exists(dir / "link"));
    EXPECT_FALSE(file_exists(dir / "outside"));
    EXPECT_EQ(read_file(dir / "outdir/sub/keep"), "keep");
}

} // namespace
} // namespace qpm
