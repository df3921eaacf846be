#include "engine/catalogue.h"

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

TEST(StatusText, EveryLetterHasADescription)
{
    EXPECT_STREQ(qpk_stat_desc('I'), "installed");
    EXPECT_STREQ(qpk_stat_desc('R'), "available remotely");
    EXPECT_STREQ(qpk_stat_desc('L'), "available locally");
    EXPECT_STREQ(qpk_stat_desc('X'), "unavailable");
}

} // namespace
} // namespace qpm
