#include "engine/search.h"

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

using test::ScratchDir;
using test::write_file;
using test::LogFile;
using test::make_record;
using namespace test::catalogue;

// ---------------------------------------------------------------- qpm_findone

TEST(FindOne, DefaultVariantOverridesAFallbackWhateverTheVersions)
{
    LogFile log;
    const QpiList list = list_of(make_record("vim", "1.0", QPM_ARCH_ANY, "x"), make_record("vim", "0.9"));
    EXPECT_EQ(qpm_findone("vim", std::nullopt, list), 1);
    EXPECT_TRUE(log.has("qpm_findone: Checking for vim (no variant specified)."));
    EXPECT_TRUE(log.has("qpm_findone: Initiallly selecting fallback variant x for vim_x_any_1.0"));
    EXPECT_TRUE(log.has("qpm_findone: Default variant found: vim_any_0.9, overriding fallback variant x: vim_x_any_1.0"));
}

TEST(FindOne, OnlyOneFallbackVariantMayServe)
{
    LogFile log;
    QpiList list = list_of(make_record("vim", "1.0", QPM_ARCH_ANY, "x"), make_record("vim", "1.0", QPM_ARCH_ANY, "y"),
                           make_record("vim", "3.0", QPM_ARCH_ANY, "z"));
    EXPECT_EQ(qpm_findone("vim", std::nullopt, list), -1);
    EXPECT_TRUE(log.has("qpm_findone: Skipping both vim_y_any_1.0 and vim_x_any_1.0 and set no fallback allowed, "
                        "as only one fallback can exist"));
    EXPECT_TRUE(log.has("qpm_findone: Initiallly skipping vim_z_any_3.0 due to variant mismatch"));

    list.push_back(make_record("vim", "0.1"));
    EXPECT_EQ(qpm_findone("vim", std::nullopt, list), 3);
}

TEST(FindOne, FallbackOfOneVariantTakesItsNewestBuild)
{
    LogFile log;
    const QpiList list =
        list_of(make_record("vim", "1.0", QPM_ARCH_ANY, "x"), make_record("vim", "1.2", QPM_ARCH_ANY, "x"));
    EXPECT_EQ(qpm_findone("vim", std::nullopt, list), 1);
    EXPECT_TRUE(log.has("qpm_findone: Replacing vim_x_any_1.2 with vim_x_any_1.0 in the fallback variant x, as this is newer"));
}

TEST(FindOne, DefaultRequestNeverTakesAVariant)
{
    LogFile log;
    const QpiList list =
        list_of(make_record("vim", "1.0", QPM_ARCH_ANY, "x"), make_record("vim", "2.0", QPM_ARCH_ANY, "x"));
    EXPECT_EQ(qpm_findone("vim", std::string("default"), list), -1);
    EXPECT_EQ(qpm_findone("vim", std::string(""), list), -1);
    EXPECT_TRUE(log.has("qpm_findone: Checking for vim (default variant specified)."));

    QpiList mixed = list_of(make_record("vim", "1.0"), make_record("vim", "9.0", QPM_ARCH_ANY, "x"));
    EXPECT_EQ(qpm_findone("vim", std::string("default"), mixed), 0);
    EXPECT_TRUE(log.has("qpm_findone: Keeping vim_any_1.0 instead of vim_x_any_9.0 of variant x, no fallback allowed (anymore)"));
}

TEST(FindOne, NamedVariantTakesTheNewestByVersionOrder)
{
    LogFile log;
    const QpiList list =
        list_of(make_record("vim", "1.0", QPM_ARCH_ANY, "x"), make_record("vim", "1.10", QPM_ARCH_ANY, "x"),
                make_record("vim", "1.9", QPM_ARCH_ANY, "x"), make_record("vim", "5.0"),
                make_record("vim", "7.0", QPM_ARCH_ANY, "y"));
    EXPECT_EQ(qpm_findone("vim", std::string("x"), list), 1);
    EXPECT_TRUE(log.has("qpm_findone: Checking for vim (x variant specified)."));
    EXPECT_TRUE(log.has("qpm_findone: Initiallly selecting x variant for vim_x_any_1.0"));
    EXPECT_TRUE(log.has("qpm_findone: Keeping vim_x_any_1.10 instead of vim_x_any_1.9 in the x variant, as this is older"));
    EXPECT_TRUE(log.has("qpm_findone: Skipping vim_any_5.0 of default variant, as vim_x_any_1.10 was in the relevant x variant"));
    EXPECT_TRUE(log.has("qpm_findone: Skipping vim_y_any_7.0 of y variant, as vim_x_any_1.10 was in the relevant x variant"));
}

TEST(FindOne, FirstOfEqualVersionsIsKept)
{
    LogFile log;
    QpiList list = list_of(make_record("vim", "2.0", QPM_ARCH_X86_64), make_record("vim", "2.0", QPM_ARCH_ANY));
    EXPECT_EQ(qpm_findone("vim", std::nullopt, list), 0);
    EXPECT_TRUE(log.has("qpm_findone: Keeping vim_x86_64_2.0 instead of vim_any_2.0 in the default variant, first is first"));
}

TEST(FindOne, OtherNamesNeverCount)
{
    const QpiList list = list_of(make_record("vimx", "9.0"), make_record("vim", "1.0", QPM_ARCH_ANY, "x"),
                                 make_record("vi", "9.0", QPM_ARCH_ANY, "y"));
    EXPECT_EQ(qpm_findone("vim", std::nullopt, list), 1);
    EXPECT_EQ(qpm_findone("vim", std::nullopt, QpiList{}), -1);
}

// ---------------------------------------------------------------- catalogue

TEST(Catalogue, NoConnectionFindsNothingEvenWithTheCacheFilled)
{
    LogFile log;
    Catalogue catalogue(list_of(make_record("vim", "1.0")));
    QpiList out;
    EXPECT_EQ(qpm_findpkg(nullptr, std::string("vim"), std::nullopt, std::nullopt, QPM_SELECTOR, nullptr, out), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(log.has("[ERROR] qpc-http: Not connected"));
}

TEST(Catalogue, FilledCacheIsSearchedInsteadOfTheBackend)
{
    LogFile log;
    Catalogue catalogue(list_of(make_record("zsh", "1.0"), make_record("lib-b", "1.0"), make_record("lib-a", "2.0"),
                                make_record("lib-a", "1.0")));
    QpiList out;
    EXPECT_EQ(qpm_findpkg(catalogue.connection(), std::string("lib-*"), std::nullopt, std::nullopt, QPM_SELECTOR,
                          nullptr, out),
              3);
    ASSERT_EQ(out.size(), 3u);
    // Sorted by name; builds of one name keep the catalogue's order.
    EXPECT_EQ(out[0]->version, "2.0");
    EXPECT_EQ(out[1]->version, "1.0");
    EXPECT_EQ(out[2]->name, "lib-b");
    EXPECT_NE(out[0].get(), qpc_cache[2].get()) << "copies, not the cached records";
    EXPECT_EQ(g_backend_calls, 0);
    EXPECT_TRUE(log.has("qpm_findpkg: allocating space for 50 entries"));
    EXPECT_TRUE(log.has("qpm_findpkg: Stored 3 qpis"));
}

TEST(Catalogue, EmptyCacheHandsTheSearchToTheBackend)
{
    Catalogue catalogue{QpiList{}};
    QpiList out;
    EXPECT_EQ(qpm_findpkg(catalogue.connection(), std::string("x"), std::nullopt, std::nullopt, QPM_SELECTOR, nullptr,
                          out),
              1);
    EXPECT_EQ(g_backend_calls, 1);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->name, "from-backend");
}

TEST(Catalogue, CacheFillTakesEverythingTheBackendHas)
{
    Catalogue catalogue{QpiList{}};
    const QpiList all = qpm_qpc_cache_fill(catalogue.connection());
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(g_backend_calls, 1);
}

TEST(Catalogue, CacheFreeCountsWhatItReleases)
{
    LogFile log;
    qpm_cache_free(nullptr);
    EXPECT_FALSE(log.has("Freeing cached qpis..."));

    QpiList empty;
    qpm_cache_free(&empty);
    EXPECT_TRUE(log.has("0 cached qpis freed."));

    QpiList two = list_of(make_record("a", "1"), make_record("b", "1"));
    qpm_cache_free(&two);
    EXPECT_TRUE(two.empty());
    EXPECT_TRUE(log.has("2 cached qpis freed."));
}

TEST(Catalogue, ForeignBuildNeverShadowsTheInstallableOne)
{
    LogFile log;
    Inventory inventory(QPM_ARCH_X86_64);
    // The mips build comes first and is as new (or newer): it must not win.
    Catalogue catalogue(list_of(make_record("vim", "2.0", QPM_ARCH_MIPS), make_record("vim", "2.0", QPM_ARCH_X86_64),
                                make_record("vim", "3.0", QPM_ARCH_I686), make_record("tool", "1.0", QPM_ARCH_ANY)));
    QpiPtr vim = qpm_findone_qpc(inventory.get(), "vim", std::nullopt, std::nullopt, catalogue.connection());
    ASSERT_TRUE(vim);
    EXPECT_EQ(vim->architecture, QPM_ARCH_X86_64);
    EXPECT_TRUE(log.has("Number of packages returned for vim: 3"));
    EXPECT_TRUE(log.has("Package arch mips doesn't match local arch x86_64, skipping"));

    EXPECT_TRUE(qpm_findone_qpc(inventory.get(), "tool", std::nullopt, std::nullopt, catalogue.connection()));
    EXPECT_FALSE(qpm_findone_qpc(inventory.get(), "vim", std::nullopt, std::string("3.0"), catalogue.connection()));
}

TEST(Catalogue, NewPackagesLeaveOutInstalledNamesAndOlderBuilds)
{
    Inventory inventory;
    inventory.install("vim", "1.0");
    Catalogue catalogue(list_of(make_record("vim", "2.0"), make_record("zsh", "1.0"), make_record("zsh", "1.5"),
                                make_record("zsh", "1.2", QPM_ARCH_ANY, "static"), make_record("ash", "0.1")));
    QpiList out;
    EXPECT_EQ(qpm_findpkg_new(inventory.get(), catalogue.connection(), std::nullopt, std::nullopt, nullptr, 1, out), 3);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(qpk_puname(*out[0]), "ash_any_0.1");
    EXPECT_EQ(qpk_puname(*out[1]), "zsh_any_1.5");
    EXPECT_EQ(qpk_puname(*out[2]), "zsh_static_any_1.2");

    EXPECT_EQ(qpm_findpkg_new(inventory.get(), catalogue.connection(), std::nullopt, std::nullopt, nullptr, 0, out), 4);
}

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

TEST(StatusText, EveryLetterHasADescription)
{
    EXPECT_STREQ(qpk_stat_desc('I'), "installed");
    EXPECT_STREQ(qpk_stat_desc('R'), "available remotely");
    EXPECT_STREQ(qpk_stat_desc('L'), "available locally");
    EXPECT_STREQ(qpk_stat_desc('X'), "unavailable");
}

} // namespace
} // namespace qpm
