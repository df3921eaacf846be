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

} // namespace
} // namespace qpm
