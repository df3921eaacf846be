#include "engine/deps.h"

#include "catalogue_fixture.h"
#include "package/sha1.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <map>
#include <sstream>

#ifndef QPM_DEPS_CASES_DIR
#error "QPM_DEPS_CASES_DIR must name the folder of dependency cases"
#endif

namespace qpm {
namespace {

using test::CaptureFd;
using test::ScratchDir;
using test::write_file;
using test::LogFile;
using test::make_record;
using namespace test::catalogue;

StrArr names_of(const QpdList &deps)
{
    StrArr names;
    for (const qpd &dep : deps)
        names.push_back(dep.name);
    return names;
}

// ---------------------------------------------------------------- cases from files

// One dependency case: a catalogue, installed packages, a request and what
// the walk, the ordering and the transaction make of them.
struct DepsCase {
    bool full_walk = false; // "mode walk": qpm_chk_walk, installed dependencies kept
    QpiList catalogue;
    std::vector<std::pair<std::string, StrArr>> installed; // name, dependencies
    std::string request;
    int result = -1;
    StrArr stored;   // names in the order the walk stored them
    StrArr circular; // names of the records marked circular
    StrArr deps;     // "NAME:STATUS" of the transaction's dependencies
    StrArr order;    // install order, the request last
};

StrArr words(const std::string &line)
{
    std::istringstream in(line);
    StrArr out;
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

DepsCase read_case(const std::string &path)
{
    DepsCase c;
    std::istringstream in(test::read_file(path));
    for (std::string line; std::getline(in, line);) {
        StrArr w = words(line);
        if (w.empty() || w[0].front() == '#')
            continue;
        const std::string key = w[0];
        const StrArr rest(w.begin() + 1, w.end());
        if (key == "mode") {
            c.full_walk = rest.at(0) == "walk";
        } else if (key == "catalogue") {
            c.catalogue.push_back(make_record(rest.at(0), rest.at(1), qpm_arch_getid(rest.at(2)), std::nullopt,
                                         StrArr(rest.begin() + 3, rest.end())));
        } else if (key == "installed") {
            c.installed.emplace_back(rest.at(0), StrArr(rest.begin() + 2, rest.end()));
        } else if (key == "request") {
            c.request = rest.at(0);
        } else if (key == "result") {
            const std::string &text = rest.at(0);
            std::from_chars(text.data(), text.data() + text.size(), c.result);
        } else if (key == "stored") {
            c.stored = rest;
        } else if (key == "circular") {
            c.circular = rest;
        } else if (key == "deps") {
            c.deps = rest;
        } else if (key == "order") {
            c.order = rest;
        } else {
            ADD_FAILURE() << path << ": unknown line " << line;
        }
    }
    return c;
}

std::vector<std::string> case_files()
{
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(QPM_DEPS_CASES_DIR, ec))
        if (entry.path().extension() == ".txt")
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

class DepsCases : public ::testing::TestWithParam<std::string> {};

TEST_P(DepsCases, WalkOrderAndTransaction)
{
    DepsCase c = read_case(GetParam());
    Inventory inventory(QPM_ARCH_X86_64);
    for (const auto &[name, deps] : c.installed)
        inventory.install(name, "1.0", deps);
    Catalogue catalogue(std::move(c.catalogue));

    QpiPtr candidate = qpm_findone_qpc(inventory.get(), c.request, std::nullopt, std::nullopt, catalogue.connection());
    ASSERT_TRUE(candidate);
    int counter = 0;
    QpdList walk;
    const int rc = c.full_walk
                       ? qpm_chk_walk(inventory.get(), candidate.get(), catalogue.connection(), {}, counter, walk)
                       : qpm_chk_install(inventory.get(), candidate.get(), catalogue.connection(), {}, counter, walk);
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(names_of(walk), c.stored);
    StrArr circular;
    for (const qpd &dep : walk)
        if (dep.circular)
            circular.push_back(dep.name);
    EXPECT_EQ(circular, c.circular);
    if (rc != 0)
        return;
    EXPECT_EQ(counter, static_cast<int>(walk.size()));

    QptPtr t = qpt_new(c.request, QPD_REMOTE, QPM_ACTION_INSTALL, std::move(candidate));
    qpm_qpt_add_deps(*t, walk, c.full_walk ? 1 : 0);
    StrArr deps;
    for (const qpd &dep : t->deps)
        deps.push_back(dep.name + ":" + dep.status);
    EXPECT_EQ(deps, c.deps);
    EXPECT_EQ(t->ndeps, static_cast<int>(t->deps.size()));

    // The install run goes from the last dependency to the first, then the package.
    StrArr order;
    for (auto it = t->deps.rbegin(); it != t->deps.rend(); ++it)
        order.push_back(it->name);
    order.push_back(t->qpi->name);
    EXPECT_EQ(order, c.order);

    if (c.full_walk) {
        const QptPtr walked = qpm_walk(inventory.get(), catalogue.connection(), c.request, std::nullopt, {});
        ASSERT_TRUE(walked);
        EXPECT_EQ(names_of(walked->deps), names_of(t->deps));
    }
}

INSTANTIATE_TEST_SUITE_P(Files, DepsCases, ::testing::ValuesIn(case_files()),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                             std::string name = std::filesystem::path(info.param).stem().string();
                             std::replace_if(name.begin(), name.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
                             return name;
                         });

// ---------------------------------------------------------------- one dependency

TEST(GetDependency, InstalledThenLocalFilesThenCatalogue)
{
    LogFile log;
    Inventory inventory;
    inventory.install("libc", "1.0");
    ScratchDir files;
    write_qpk(files / "zlib-1.qpk", "zlib", "1.0", "x86_64");
    Catalogue catalogue(
        list_of(make_record("zlib", "2.0"), make_record("libc", "2.0"), make_record("ncurses", "6.0")));
    const StrArr dirs = {files.path()};

    qpd dep;
    qpm_get_dependency(inventory.get(), "vim", "libc", catalogue.connection(), dirs, dep);
    EXPECT_EQ(std::string() + dep.status + dep.action, "IN");
    ASSERT_TRUE(dep.qpi);
    EXPECT_EQ(dep.qpi->install_type, 'X');
    EXPECT_EQ(dep.head, "vim");
    EXPECT_EQ(dep.level, QPD_LEVEL_UNSORTED);
    EXPECT_TRUE(log.has("ok, dependency libc was found already installed"));

    qpm_get_dependency(inventory.get(), "vim", "zlib", catalogue.connection(), dirs, dep);
    EXPECT_EQ(std::string() + dep.status + dep.action, "LI");
    EXPECT_EQ(dep.qpi->version, "1.0") << "a local file goes before the catalogue";

    qpm_get_dependency(inventory.get(), "vim", "ncurses", catalogue.connection(), dirs, dep);
    EXPECT_EQ(std::string() + dep.status + dep.action, "RI");
    EXPECT_TRUE(log.has("No package for ncurses in directories found"));
    EXPECT_TRUE(log.has("ok, dependency ncurses was found in catalogue"));

    qpm_get_dependency(inventory.get(), "vim", "gone", catalogue.connection(), {}, dep);
    EXPECT_EQ(dep.status, QPD_UNRESOLVED);
    EXPECT_FALSE(dep.qpi);
    EXPECT_TRUE(log.has("ok, no directories to search in specified"));
    EXPECT_TRUE(log.has("No package for gone in catalogue found"));
}

// ---------------------------------------------------------------- walks

TEST(ChkInstall, PackageForAnotherArchitectureFailsBeforeAnyRecord)
{
    LogFile log;
    Inventory inventory(QPM_ARCH_X86_64);
    Catalogue catalogue(list_of(make_record("b", "1.0")));
    const QpiPtr foreign = make_record("a", "1.0", QPM_ARCH_MIPS, std::nullopt, {"b"});
    int counter = 0;
    QpdList deps;
    EXPECT_EQ(qpm_chk_install(inventory.get(), foreign.get(), catalogue.connection(), {}, counter, deps), 99);
    EXPECT_TRUE(deps.empty());
    EXPECT_TRUE(log.has("[INFO] qpm_chk_install: Package arch mips doesn't match local arch x86_64, bye"));
}

TEST(ChkInstall, CounterGrowsWithEveryDependencyList)
{
    LogFile log;
    Inventory inventory;
    Catalogue catalogue(list_of(make_record("b", "1.0", QPM_ARCH_ANY, std::nullopt, {"d"}), make_record("c", "1.0"),
                                make_record("d", "1.0")));
    const QpiPtr a = make_record("a", "1.0", QPM_ARCH_ANY, std::nullopt, {"b", "c"});
    int counter = 0;
    QpdList deps;
    EXPECT_EQ(qpm_chk_install(inventory.get(), a.get(), catalogue.connection(), {}, counter, deps), 0);
    EXPECT_EQ(counter, 3);
    EXPECT_TRUE(log.has("qpm_chk_install: Initially allocating space for 2 qpds, setting counter to 0"));
    EXPECT_TRUE(log.has("qpm_chk_install: Reallocating space for 3 qpds, setting counter to 1"));
    EXPECT_TRUE(log.has("qpm_chk_install: Storing dependency c with index 2"));
    EXPECT_TRUE(log.has("qpm_chk_install: ok, canidate <d> has no new dependencies, total of deps: 3"));

    counter = 0;
    deps.clear();
    EXPECT_EQ(qpm_chk_walk(inventory.get(), a.get(), catalogue.connection(), {}, counter, deps), 0);
    EXPECT_TRUE(log.has("qpm_chk_walk Reallocating space for 3 qpds, setting counter to 1"));
    EXPECT_TRUE(log.has("qpm_chk_walk: Resolved depeneny, status = R"));
}

// ---------------------------------------------------------------- ordering

TEST(QpdsSort, EndsWhenNothingCanBeTaken)
{
    // X waits for Y, which is in no record: without an end it would wait forever.
    QpdList deps;
    qpd x;
    x.name = "x";
    x.status = QPD_REMOTE;
    x.qpi = make_record("x", "1.0", QPM_ARCH_ANY, std::nullopt, {"y"});
    deps.push_back(std::move(x));
    qpd z;
    z.name = "z";
    z.status = QPD_INSTALLED;
    deps.push_back(std::move(z));
    qpds_sort(deps);
    ASSERT_EQ(deps.size(), 2u);
    EXPECT_EQ(deps[0].name, "x");
    EXPECT_EQ(deps[0].level, 2);
    EXPECT_EQ(deps[1].level, 0);

    QpdList none;
    qpds_sort(none);
    EXPECT_TRUE(none.empty());
}

// ---------------------------------------------------------------- transactions

TEST(Transaction, PackageFileRequestIsTakenUnderItsPackageName)
{
    LogFile log;
    Inventory inventory;
    QpiPtr b = make_record("b", "1.0", QPM_ARCH_ANY, std::nullopt, {"a"});
    b->file_size = 100;
    b->data_size = 1000;
    Catalogue catalogue(list_of(make_record("a", "1.0", QPM_ARCH_ANY, std::nullopt, {"b"}), std::move(b)));

    QpiPtr a = make_record("a", "1.0", QPM_ARCH_ANY, std::nullopt, {"b"});
    a->file_size = 10;
    a->data_size = 20;
    int counter = 0;
    QpdList walk;
    ASSERT_EQ(qpm_chk_install(inventory.get(), a.get(), catalogue.connection(), {}, counter, walk), 0);
    ASSERT_EQ(names_of(walk), (StrArr{"b", "a", "b"}));

    QptPtr t = qpt_new("/srv/pkgs/a_any_1.0.qpk", QPD_LOCAL, QPM_ACTION_INSTALL, std::move(a));
    EXPECT_EQ(qpm_qpt_add_deps(*t, walk, 0), 1);
    ASSERT_EQ(t->deps.size(), 1u);
    EXPECT_EQ(t->deps[0].name, "b");
    EXPECT_TRUE(walk.empty());
    EXPECT_EQ(t->tot_file_size, 110);
    EXPECT_EQ(t->tot_data_size, 1020);
    EXPECT_EQ(t->state, 'N');
    EXPECT_TRUE(log.has("Skipping a for b, already processed for User"));
    EXPECT_TRUE(log.has("Adding 100 to tot_file_size"));
}

TEST(Transaction, WalkReportsARequestThatIsNotThere)
{
    Inventory inventory;
    Catalogue catalogue(list_of(make_record("a", "1.0")));
    ScratchDir files;
    write_file(files / "junk.qpk", "not a package");

    CaptureFd out(1);
    EXPECT_FALSE(qpm_walk(inventory.get(), catalogue.connection(), "nothing", std::nullopt, {}));
    EXPECT_FALSE(qpm_walk(inventory.get(), catalogue.connection(), files / "junk.qpk", std::nullopt, {}));
    EXPECT_EQ(out.finish(), "nothing was not found in the package catalogue\n" + (files / "junk.qpk") +
                                " is not a valid package file\n");
}

TEST(Transaction, WalkTakesAnInstalledRequestAndAPackageFile)
{
    Inventory inventory;
    inventory.install("a", "1.0");
    Catalogue catalogue(list_of(make_record("a", "1.0", QPM_ARCH_ANY, std::nullopt, {"b"}), make_record("b", "1.0")));
    const QptPtr t = qpm_walk(inventory.get(), catalogue.connection(), "a", std::nullopt, {});
    ASSERT_TRUE(t);
    EXPECT_EQ(t->source, 'R');
    EXPECT_EQ(t->action, 0);
    EXPECT_FALSE(t->scripts);
    EXPECT_EQ(names_of(t->deps), StrArr{"b"});

    ScratchDir files;
    const std::string path = write_qpk(files / "c.qpk", "c", "1.0", "any", std::nullopt, {"b"});
    const QptPtr file = qpm_walk(inventory.get(), catalogue.connection(), path, std::nullopt, {});
    ASSERT_TRUE(file);
    EXPECT_EQ(file->source, 'L');
    EXPECT_EQ(file->request, path);
    EXPECT_EQ(names_of(file->deps), StrArr{"b"});
}

// ---------------------------------------------------------------- inventory questions

TEST(DependsOn, NamesTheInstalledPackagesThatNeedIt)
{
    Inventory inventory;
    inventory.install("vim", "1.0", {"ncurses", "libc"});
    inventory.install("bash", "1.0", {"ncurses"});
    inventory.install("ncurses", "1.0", {"libc"});
    inventory.install("ncursesw", "1.0");
    EXPECT_EQ(qpm_dependson(inventory.get(), "ncurses"), (StrArr{"bash", "vim"}));
    EXPECT_EQ(qpm_dependson(inventory.get(), "libc"), (StrArr{"ncurses", "vim"}));
    EXPECT_TRUE(qpm_dependson(inventory.get(), "ncursesw").empty());
}

TEST(StageHaveQpk, OnlyTheSameBytesCount)
{
    ScratchDir dir;
    const std::string path = dir / "a_any_1.0.qpk";
    write_file(path, "package bytes");
    QpiPtr qpi = make_record("a", "1.0");
    qpi->file_size = 13;
    qpi->file_hash = sha1_data("package bytes");
    EXPECT_EQ(qpm_stage_have_qpk(path, qpi.get()), 1);

    write_file(path, "package BYTES");
    EXPECT_EQ(qpm_stage_have_qpk(path, qpi.get()), 0) << "same size, other content";
    write_file(path, "package bytes!");
    EXPECT_EQ(qpm_stage_have_qpk(path, qpi.get()), 0);
    EXPECT_EQ(qpm_stage_have_qpk(dir / "missing.qpk", qpi.get()), 0);

    write_file(path, "package bytes");
    qpi->file_hash.reset();
    EXPECT_EQ(qpm_stage_have_qpk(path, qpi.get()), 0) << "nothing to compare with";
}

// ---------------------------------------------------------------- action list

TEST(ActionList, EachPackageIsListedOnce)
{
    LogFile log;
    QptPtr t = qpt_new("a", QPD_REMOTE, QPM_ACTION_INSTALL, make_record("a", "1.0"));
    qpd b;
    b.name = "b";
    b.status = QPD_REMOTE;
    b.action = QPM_ACTION_INSTALL;
    b.qpi = make_record("b", "1.0");
    t->deps.push_back(std::move(b));
    qpd c;
    c.name = "c";
    c.status = QPD_INSTALLED;
    c.action = QPM_ACTION_NOTHING;
    c.qpi = make_record("c", "1.0");
    t->deps.push_back(std::move(c));

    QpaList list;
    EXPECT_EQ(qpm_qpa_list_new_qpi(list, t->qpi.get()), 1);
    EXPECT_EQ(qpm_qpa_list_add_qpt(*t, list), 2);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].code, "IN");
    EXPECT_EQ(list[0].name, "a");
    EXPECT_EQ(list[1].code, "IR");
    EXPECT_NE(list[1].qpi.get(), t->deps[0].qpi.get());
    EXPECT_TRUE(log.has("Added 2 entries to qpa_list, new size: 2 (2)"));

    EXPECT_EQ(qpm_qpa_list_add_qpt(*t, list), 2);
    EXPECT_TRUE(log.has("No new additions"));
    EXPECT_TRUE(log.has("a is already in the qpa (IN)"));
}

} // namespace
} // namespace qpm
