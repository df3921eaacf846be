#include "engine/owners.h"

#include "catalogue_fixture.h"
#include "support/test_support.h"
#include "util/sysroot.h"

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

// ---------------------------------------------------------------- file owner

class FileOwner : public ::testing::Test {
protected:
    FileOwner() : m_root(m_root_dir.path()) { qpm_file_owner_forget(); }
    ~FileOwner() override { qpm_file_owner_forget(); }

    // A file on the target system.
    void make(const std::string &path) { write_file(m_root_dir.path() + path, "x"); }
    void mkdirs(const std::string &path) { std::filesystem::create_directories(m_root_dir.path() + path); }

    ScratchDir m_root_dir;
    test::ScopedSystemRoot m_root;
    Inventory m_inventory;
};

TEST_F(FileOwner, ListedPathsBelongToTheirPackage)
{
    LogFile log;
    mkdirs("/usr/bin");
    make("/usr/bin/vim");
    make("/usr/bin/stray");
    m_inventory.index("vim", "/usr/bin/vim\n/usr/bin/vimdiff\n");
    m_inventory.index("zsh", "/usr/bin/zsh\n");
    m_inventory.index(".vim.bak", "/usr/bin/stray\n");

    EXPECT_EQ(qpm_file_owner(m_inventory.get(), "/usr/bin/vim"), "vim");
    EXPECT_EQ(qpm_file_owner(m_inventory.get(), "/usr/bin/stray"), std::nullopt);
    EXPECT_TRUE(log.has("Omitting backup file .vim.bak"));
    EXPECT_TRUE(log.has("Found </usr/bin/vim> in <" + m_inventory.dir("fileindex") + "/vim>"));

    EXPECT_EQ(qpm_file_owner(m_inventory.get(), "/usr/bin/missing"), std::nullopt);
    EXPECT_TRUE(log.has("[ERROR] Failure opening </usr/bin/missing>:"));
}

TEST_F(FileOwner, SymbolicLinksResolveInsideTheSystemRoot)
{
    LogFile log;
    mkdirs("/usr/lib");
    mkdirs("/opt");
    make("/usr/lib/libx.so.1");
    ASSERT_EQ(symlink("/usr/lib/libx.so.1", (m_root_dir.path() + "/usr/lib/abs").c_str()), 0);
    ASSERT_EQ(symlink("../usr/lib/libx.so.1", (m_root_dir.path() + "/opt/rel").c_str()), 0);
    ASSERT_EQ(symlink("../../../../../../usr/lib/libx.so.1", (m_root_dir.path() + "/opt/deep").c_str()), 0);
    ASSERT_EQ(symlink("/nowhere", (m_root_dir.path() + "/opt/dangling").c_str()), 0);
    m_inventory.index("libx", "/usr/lib/libx.so.1\n");

    EXPECT_EQ(qpm_file_owner(m_inventory.get(), "/usr/lib/abs"), "libx");
    EXPECT_TRUE(log.has("/usr/lib/abs is a symbolic link to /usr/lib/libx.so.1"));
    EXPECT_EQ(qpm_file_owner(m_inventory.get(), "/opt/rel"), "libx");
    EXPECT_EQ(qpm_file_owner(m_inventory.get(), "/opt/deep"), "libx");
    EXPECT_EQ(qpm_file_owner(m_inventory.get(), "/opt/dangling"), std::nullopt);
    EXPECT_TRUE(log.has("[ERROR] /opt/dangling is a symbolic link, but cannot be resolved"));

    // A linked directory on the way, absolute as images have them
    // (/lib -> /usr/lib): the image's file, not the host's.
    ASSERT_EQ(symlink("/usr/lib", (m_root_dir.path() + "/lib").c_str()), 0);
    EXPECT_EQ(qpm_file_owner(m_inventory.get(), "/lib/libx.so.1"), "libx");
    RootLookup system;
    EXPECT_TRUE(system.exists("/lib/libx.so.1"));
    EXPECT_TRUE(system.exists("/usr/lib/abs"));
    EXPECT_FALSE(system.exists("/opt/dangling"));
    EXPECT_FALSE(system.exists("/lib/missing"));
}

TEST_F(FileOwner, IndexFollowsChangesOfTheInventory)
{
    mkdirs("/usr/bin");
    make("/usr/bin/a");
    make("/usr/bin/b");
    m_inventory.index("pa", "/usr/bin/a\n");
    EXPECT_EQ(qpm_file_owner(m_inventory.get(), "/usr/bin/a"), "pa");
    EXPECT_EQ(qpm_file_owner(m_inventory.get(), "/usr/bin/b"), std::nullopt);

    // A package installed meanwhile: its index is seen at once.
    m_inventory.index("pb", "/usr/bin/b\n");
    EXPECT_EQ(qpm_file_owner(m_inventory.get(), "/usr/bin/b"), "pb");

    // An index whose install record was never written (a run stopped
    // between the two) owns nothing, until the record is there.
    make("/usr/bin/c");
    m_inventory.index("pc", "/usr/bin/c\n", false);
    EXPECT_EQ(qpm_file_owner(m_inventory.get(), "/usr/bin/c"), std::nullopt);
    m_inventory.index("pc", "/usr/bin/c\n");
    qpm_file_owner_forget();
    EXPECT_EQ(qpm_file_owner(m_inventory.get(), "/usr/bin/c"), "pc");

    // A package removed meanwhile.
    ASSERT_EQ(unlink((m_inventory.dir("fileindex") + "/pa").c_str()), 0);
    EXPECT_EQ(qpm_file_owner(m_inventory.get(), "/usr/bin/a"), std::nullopt);

    // An index rewritten in place is seen after the writer says so.
    write_file(m_inventory.dir("fileindex") + "/pb", "/usr/bin/a\n");
    qpm_file_owner_forget();
    EXPECT_EQ(qpm_file_owner(m_inventory.get(), "/usr/bin/a"), "pb");
    EXPECT_EQ(qpm_file_owner(m_inventory.get(), "/usr/bin/b"), std::nullopt);
}

TEST_F(FileOwner, ManyPackagesAreLookedUpThroughOneIndex)
{
    LogFile log;
    mkdirs("/usr/share");
    for (int p = 0; p < 200; ++p) {
        std::string lines;
        for (int f = 0; f < 20; ++f)
            lines += "/usr/share/p" + std::to_string(p) + "-f" + std::to_string(f) + "\n";
        m_inventory.index("p" + std::to_string(p), lines);
    }
    for (int p = 0; p < 200; p += 7)
        for (int f = 0; f < 20; f += 3)
            make("/usr/share/p" + std::to_string(p) + "-f" + std::to_string(f));
    usleep(20 * 1000); // let the clock tick past the last change of the directory
    for (int p = 0; p < 200; p += 7)
        for (int f = 0; f < 20; f += 3)
            ASSERT_EQ(qpm_file_owner(m_inventory.get(), "/usr/share/p" + std::to_string(p) + "-f" + std::to_string(f)),
                      "p" + std::to_string(p));
    // Each index is read once per change of the directory, not once per look-up.
    const std::string text = log.text();
    size_t reads = 0;
    for (size_t at = text.find("Checking in <"); at != std::string::npos; at = text.find("Checking in <", at + 1))
        ++reads;
    EXPECT_EQ(reads, 200u);
}

} // namespace
} // namespace qpm
