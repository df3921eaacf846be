#include "engine/installed.h"

#include "catalogue_fixture.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace qpm {
namespace {

using namespace test;
using namespace test::catalogue;

// ---------------------------------------------------------------- installed packages

TEST(Installed, InfoComesFromTheInventoryAndNeverFromOutsideIt)
{
    Inventory inventory;
    inventory.install("vim", "1.0", {"libc"});
    QpiPtr vim = qpm_qpl_info(inventory.get(), "vim");
    ASSERT_TRUE(vim);
    EXPECT_EQ(vim->install_type, 'X');
    EXPECT_EQ(vim->dependencies, StrArr{"libc"});
    EXPECT_FALSE(qpm_qpl_info(inventory.get(), "emacs"));

    // A package directory outside "installed" is reachable by "..": refused.
    inventory.install("../escape", "1.0");
    ASSERT_TRUE(test::file_exists(inventory.dir("installed") + "/../escape/desc.txt"));
    EXPECT_FALSE(qpm_qpl_info(inventory.get(), "../escape"));
    EXPECT_FALSE(qpm_qpl_info(inventory.get(), ""));
}

TEST(Installed, ListsSkipWhatIsNoReadablePackage)
{
    LogFile log;
    Inventory inventory;
    inventory.install("zsh", "1.0", {}, "the Z shell");
    inventory.install("bash", "1.0", {}, "GNU shell");
    inventory.install("vim", "1.0", {}, "editor");
    write_file(inventory.dir("installed") + "/stray-file", "");
    mkdir((inventory.dir("installed") + "/broken").c_str(), 0755);
    mkdir((inventory.dir("installed") + "/.hidden").c_str(), 0755);

    EXPECT_EQ(qpm_list_arr(inventory.get(), 1), (StrArr{"bash", "vim", "zsh"}));
    EXPECT_TRUE(log.has("Omitting non-directory stray-file"));
    EXPECT_TRUE(log.has("Failure parsing info for broken, skipping entry"));
    EXPECT_TRUE(log.has("Sorting packages"));

    QpiList out;
    EXPECT_EQ(qpm_list_qpi(inventory.get(), std::string("*shell"), 1, out), 2);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]->name, "bash");
    EXPECT_EQ(out[1]->name, "zsh");
    EXPECT_EQ(qpm_list_qpi(inventory.get(), std::string("vim"), 1, out), 1);
    EXPECT_EQ(qpm_list_qpi(inventory.get(), std::nullopt, 0, out), 3);

    Inventory empty;
    EXPECT_TRUE(qpm_list_arr(empty.get(), 1).empty());
}

TEST(Installed, FileListSkipsEmptyLines)
{
    LogFile log;
    Inventory inventory;
    inventory.install("vim", "1.0");
    inventory.index("vim", "/usr/bin/vim\n\n/usr/share/vim/vimrc\n/usr/share/vim/last");
    EXPECT_EQ(qpm_qpl_index(inventory.get(), "vim"),
              (StrArr{"/usr/bin/vim", "/usr/share/vim/vimrc", "/usr/share/vim/last"}));
    EXPECT_TRUE(qpm_qpl_index(inventory.get(), "emacs").empty());

    const QpiPtr lonely = make_record("lonely", "1.0");
    EXPECT_TRUE(qpm_qpl_file_list(inventory.get(), lonely.get()).empty());
    EXPECT_TRUE(log.has("qpm_qpl_file_list: " + inventory.dir("fileindex") + "/lonely contains no files"));
}

} // namespace
} // namespace qpm
