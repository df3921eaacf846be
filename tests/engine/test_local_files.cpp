#include "engine/local_files.h"

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

// ---------------------------------------------------------------- directories

TEST(Directories, OnlyThisNameArchitectureAndVariantAreFound)
{
    LogFile log;
    Inventory inventory(QPM_ARCH_X86_64);
    ScratchDir one, two;
    write_qpk(one / "vim-a.qpk", "vim", "1.0");
    write_qpk(one / "vim-b.qpk", "vim", "2.0", "mips");
    write_qpk(one / "other.qpk", "emacs", "1.0");
    write_qpk(one / "vim-s.qpk", "vim", "3.0", "x86_64", "static");
    write_file(one / "notes.txt", "not a package");
    write_file(two / "broken.qpk", "EQPM20garbage");
    write_qpk(two / "vim-c.qpk", "vim", "1.5", "x86_64");
    mkdir((two / "dir.qpk").c_str(), 0755);

    const StrArr dirs = {one.path(), two.path(), one / "missing"};
    QpiList all = qpm_findall_dirs(inventory.get(), "vim", std::nullopt, dirs);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0]->version, "1.0");
    EXPECT_EQ(all[0]->relative_uri, one / "vim-a.qpk");
    EXPECT_EQ(all[0]->absolute_uri, one / "vim-a.qpk");
    EXPECT_EQ(all[1]->variant, "static");
    EXPECT_EQ(all[2]->version, "1.5");
    EXPECT_TRUE(log.has("Package arch mips doesn't match local arch x86_64, skipping"));
    EXPECT_TRUE(log.has("Found file " + (one / "notes.txt") + ", skipping"));
    EXPECT_TRUE(log.has("Skipping " + (two / "broken.qpk") + ", failed to read info"));
    EXPECT_TRUE(log.has("[INFO] Failure opening <" + (one / "missing") + "> for reading:"));

    EXPECT_EQ(qpm_findall_dirs(inventory.get(), "vim", std::string("default"), dirs).size(), 2u);
    EXPECT_EQ(qpm_findall_dirs(inventory.get(), "vim", std::string("static"), dirs).size(), 1u);
    EXPECT_TRUE(qpm_findall_dirs(inventory.get(), "vim", std::nullopt, StrArr{}).empty());

    QpiPtr best = qpm_findone_dirs(inventory.get(), "vim", std::nullopt, std::nullopt, dirs);
    ASSERT_TRUE(best);
    EXPECT_EQ(best->version, "1.5");
}

} // namespace
} // namespace qpm
