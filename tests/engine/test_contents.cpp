// What installed packages hold: data files, configuration files and links,
// and the owner of a path among all three.
#include "engine/contents.h"

#include "catalogue_fixture.h"
#include "engine/owners.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace qpm {
namespace {

using namespace test;
using namespace test::catalogue;

std::vector<std::string> shown(const std::vector<PackageEntry> &entries)
{
    std::vector<std::string> lines;
    for (const PackageEntry &entry : entries)
        lines.push_back(std::string(1, entry.kind) + " " + entry.path +
                        (entry.target.empty() ? "" : " -> " + entry.target));
    return lines;
}

class Contents : public ::testing::Test {
protected:
    Contents() : m_root(m_root_dir.path()) { qpm_file_owner_forget(); }
    ~Contents() override { qpm_file_owner_forget(); }

    void record_file(const std::string &name, const std::string &file, const std::string &text)
    {
        std::filesystem::create_directories(m_inventory.dir("installed") + "/" + name + "/hash");
        write_file(m_inventory.dir("installed") + "/" + name + "/" + file, text);
    }

    ScratchDir m_root_dir;
    ScopedSystemRoot m_root;
    Inventory m_inventory;
};

TEST_F(Contents, DataConfigurationAndLinksOfAPackage)
{
    m_inventory.install("vim", "9.0");
    m_inventory.index("vim", "/usr/bin/vim\n/usr/share/vim/vimrc\n");
    record_file("vim", "hash/conf.txt",
                std::string(40, 'a') + ":etc/vimrc\n\n" + std::string(40, 'b') + ":etc/vim/gvimrc\n");
    // Lines before the first directory and names that are paths are not
    // links; an empty directory keeps the one before.
    record_file("vim", "link.txt",
                "|ignored|early\n/usr/bin|vim|vi\n|vim|view\n/usr/lib/|libx.so.1|libx.so\n/usr/bin|x|a/b\nbroken\n");
    EXPECT_EQ(shown(qpm_qpl_contents(m_inventory.get(), "vim")),
              (std::vector<std::string>{"d /usr/bin/vim", "d /usr/share/vim/vimrc", "c /etc/vimrc", "c /etc/vim/gvimrc",
                                        "l /usr/bin/vi -> vim", "l /usr/bin/view -> vim",
                                        "l /usr/lib/libx.so -> libx.so.1"}));
    EXPECT_TRUE(qpm_qpl_contents(m_inventory.get(), "emacs").empty());
}

TEST_F(Contents, OwnerOfListedPathsThenOfWhatLinksLeadTo)
{
    m_inventory.install("vim", "9.0");
    m_inventory.install("zsh", "5.9");
    m_inventory.index("vim", "/usr/bin/vim\n");
    m_inventory.index("zsh", "/usr/bin/zsh\n");
    record_file("vim", "hash/conf.txt", std::string(40, 'a') + ":etc/vimrc\n");
    record_file("zsh", "link.txt", "/bin|/usr/bin/zsh|zsh\n");
    std::filesystem::create_directories(m_root_dir.path() + "/usr/bin");
    std::filesystem::create_directories(m_root_dir.path() + "/etc");
    std::filesystem::create_directories(m_root_dir.path() + "/bin");
    write_file(m_root_dir.path() + "/usr/bin/zsh", "z");
    write_file(m_root_dir.path() + "/etc/vimrc", "set nocp\n");
    std::filesystem::create_symlink("/usr/bin/zsh", m_root_dir.path() + "/bin/zsh");
    std::filesystem::create_symlink("/etc/vimrc", m_root_dir.path() + "/etc/vimrc.link");

    const auto owner = [&](const std::string &path) -> std::string {
        const auto found = qpm_path_owner(m_inventory.get(), path);
        return found ? found->package + " " + found->entry.kind : "-";
    };
    EXPECT_EQ(owner("/usr/bin/vim"), "vim d"); // listed though missing on disk
    EXPECT_EQ(owner("/etc/vimrc"), "vim c");
    EXPECT_EQ(owner("/bin/zsh"), "zsh l");     // the link itself, not what it leads to
    EXPECT_EQ(owner("/etc/vimrc.link"), "vim c");
    EXPECT_EQ(owner("/etc/other"), "-");
}

} // namespace
} // namespace qpm
