// Planning a removal and the inventory checks, on records written by the
// test: who depends on a package, which dependencies go along, the record
// and head checks without questions, and the rewrite of an install record.
// Removal of files and scripts is driven end to end in tests/qpm.
#include "engine/checks_inventory.h"
#include "engine/remove.h"
#include "engine/search.h"
#include "support/hostile_archive.h"
#include "support/inventory_fixture.h"
#include "support/test_support.h"
#include "support/ui_session.h"
#include "util/globals.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace qpm;
using namespace qpm::test;

namespace {

namespace fs = std::filesystem;

class Removal : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(make_inventory_dirs(m_dir.path()));
        m_qpm.root = m_dir.path();
        m_qpm.dirs = {m_dir / "installed", m_dir / "stagearea", m_dir / "fileindex", m_dir / "certstore",
                      m_dir / "scriptdir"};
    }
    void TearDown() override { dry_run = 0; }

    // An installed record; `head` empty: requested by the user.
    void install(const std::string &name, const StrArr &deps = {}, const std::string &head = "",
                 const std::string &extra = "")
    {
        Attributes attrs = {{"eqpmVersion", "2.0"},      {"eqpkName", name},  {"eqpkVersion", "1.0"},
                            {"eqpkArchitecture", "any"}, {"eqpkDescription", "test package"}};
        for (const std::string &dep : deps)
            attrs.emplace_back("eqpkDependency", dep);
        const std::string dir = record(name);
        fs::create_directories(dir);
        write_file(dir + "/desc.txt", make_description(attrs));
        write_file(dir + "/inst.txt", "eqpkInstallTime: 1700000000\n" +
                                          (head.empty() ? std::string("eqpkInstallType: X\n")
                                                        : "eqpkInstallType: D\neqpkInstallHead: " + head + "\n") +
                                          extra);
    }
    std::string record(const std::string &name) const { return m_dir / ("installed/" + name); }

    static StrArr names(const QpiList &list)
    {
        StrArr out;
        for (const QpiPtr &q : list)
            out.push_back(q->name);
        return out;
    }
    static StrArr names(const QpdList &list)
    {
        StrArr out;
        for (const qpd &d : list)
            out.push_back(d.name);
        return out;
    }

    ScratchDir m_dir;
    qpm_handle m_qpm;
};

} // namespace

TEST_F(Removal, EveryDependentIsFoundOnce)
{
    LogFile log;
    install("lib");
    for (const char *user : {"a", "b", "c"})
        install(user, {"lib"});
    install("twice", {"lib", "other", "lib"});
    install("unrelated", {"libx"});
    write_file(m_dir / "installed/stray", "");
    fs::create_directories(m_dir / "installed/.lib.old");
    fs::create_directories(m_dir / "installed/broken");

    const QpiPtr lib = qpm_qpl_info(&m_qpm, "lib");
    ASSERT_TRUE(lib);
    StrArr found = names(qpm_chk_delete_reqs(&m_qpm, *lib));
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (StrArr{"a", "b", "c", "twice"})) << "a third and fourth dependent count too";
    EXPECT_TRUE(log.has("Omitting non-directory " + (m_dir / "installed/stray")));
    EXPECT_TRUE(log.has("Failure parsing info for broken, skipping entry"));

    // Refused, naming every dependent.
    UiSession ui("", 3);
    QptPtr plan;
    EXPECT_FALSE(qpm_pre_delete(&m_qpm, "lib", 0, plan));
    EXPECT_FALSE(plan);
    const std::string out = ui.out();
    for (const char *user : {"a", "b", "c", "twice"})
        EXPECT_NE(out.find(std::string("lib cannot be deleted, ") + user + " depends on it\n"), std::string::npos)
            << out;
    EXPECT_FALSE(qpm_pre_delete(&m_qpm, "nothere", 0, plan));
    EXPECT_NE(ui.out().find("nothere is not installed, skipping\n"), std::string::npos);

    const qpm_handle unreadable;
    EXPECT_TRUE(qpm_chk_delete_reqs(&unreadable, *lib).empty());
}

TEST_F(Removal, DependenciesGoOnlyWhenNothingThatStaysNeedsThem)
{
    LogFile log;
    // app needs: an explicit package, one installed for a package that
    // stays, one whose head is gone, its own (bringing a nested one), one
    // that a package that stays also needs, and two of its own where the
    // first is needed only by the second.
    install("app", {"explicit", "kept-for-other", "orphan", "own", "shared", "q", "p"});
    install("explicit");
    install("other", {"kept-for-other", "shared"});
    install("kept-for-other", {}, "other");
    install("orphan", {}, "gone");
    install("own", {"nested"}, "app");
    install("nested", {}, "app");
    install("shared", {}, "app");
    install("q", {}, "app");
    install("p", {"q"}, "app");

    UiSession ui("", 3);
    QptPtr plan;
    ASSERT_TRUE(qpm_pre_delete(&m_qpm, "app", 0, plan));
    EXPECT_EQ(names(plan->deps), (StrArr{"orphan", "own", "nested", "p", "q"}));
    EXPECT_EQ(plan->ndeps, 5);
    EXPECT_EQ(plan->action, QPM_ACTION_DELETE);
    for (const qpd &d : plan->deps) {
        EXPECT_EQ(d.status, QPD_INSTALLED);
        EXPECT_EQ(d.action, QPM_ACTION_DELETE);
        ASSERT_TRUE(d.qpi);
    }
    EXPECT_EQ(plan->deps[2].head, "own") << "head: the package whose dependency it is";
    EXPECT_TRUE(log.has("qpm_chk_delete_deps: nope, explicit WAS installed explicitely"));
    EXPECT_TRUE(log.has("qpm_chk_delete_deps: nope, kept-for-other was installed as a dependency of other, "
                        "which is still installed"));
    EXPECT_TRUE(log.has("qpm_chk_delete_deps: skipping dependency shared, other also depends on it"));
    EXPECT_NE(ui.out().find("app can be deleted, nothing depends on it\n"), std::string::npos);

    // Alone: nothing goes along.
    ASSERT_TRUE(qpm_pre_delete(&m_qpm, "app", QPM_DELETE_ALONE, plan));
    EXPECT_TRUE(plan->deps.empty());
    EXPECT_EQ(plan->ndeps, 0);

    // Without the lock nothing is removed.
    EXPECT_EQ(qpm_exe_delete(&m_qpm, *plan), -1);
    EXPECT_TRUE(fs::exists(record("app")));
}

TEST_F(Removal, DependentInstalledForThePackageDoesNotBlockIt)
{
    install("a", {"y"});
    install("y", {"a"}, "a");
    UiSession ui("", 3);
    QptPtr plan;
    ASSERT_TRUE(qpm_pre_delete(&m_qpm, "a", 0, plan));
    EXPECT_EQ(names(plan->deps), StrArr{"y"});
}

TEST_F(Removal, RecordAndHeadChecksWithoutQuestionsChangeNothing)
{
    LogFile log;
    install("a", {"d"});
    install("d", {}, "a");
    install("lost", {}, "gone");
    install("loose", {}, "a");
    install("needs-lost", {"lost"});
    fs::create_directories(m_dir / "installed/junk");

    for (const int dry : {1, 0}) {
        SCOPED_TRACE(dry);
        dry_run = dry;
        m_qpm.locked = dry ? 0 : 1;
        UiSession ui("", 3);
        EXPECT_EQ(qpm_chkinst(&m_qpm, 1), 1);
        EXPECT_EQ(qpm_chkhead(&m_qpm), 2);
        const std::string out = ui.out();
        EXPECT_NE(out.find("junk is not a valid package dir\n"), std::string::npos);
        EXPECT_NE(out.find("checked 6 entries, 5 valid , 1 invalid\n"), std::string::npos) << out;
        EXPECT_NE(out.find("lost was installed as a dependency of gone, but gone is no longer installed\n"),
                  std::string::npos);
        EXPECT_NE(out.find("loose was installed as a dependency of a, but a no longer needs it\n"), std::string::npos);
        EXPECT_NE(out.find("qpm_chkhead: lost is still needed by needs-lost\n"), std::string::npos);
        EXPECT_EQ(out.find("d was installed"), std::string::npos) << "its head still lists it";
        EXPECT_EQ(ui.err(), "") << "nothing asked";
        EXPECT_TRUE(fs::exists(m_dir / "installed/junk"));
    }
    EXPECT_TRUE(log.has("keeping " + (m_dir / "installed/junk")));
    EXPECT_TRUE(log.has("leaving lost"));

    dry_run = 0;
    m_qpm.locked = 0;
    EXPECT_EQ(qpm_chkinst(&m_qpm, 0), -1);
    EXPECT_EQ(qpm_chkhead(&m_qpm), -1);
    EXPECT_TRUE(log.has("qpm_chkinst: no lock on local repository"));
    EXPECT_TRUE(log.has("qpm_chkhead: no lock on local repository"));
}

TEST_F(Removal, RecordCheckAnswers)
{
    LogFile log;
    install("a");
    for (const char *junk : {"j1", "j2", "j3"})
        fs::create_directories(m_dir / "installed/" + junk);
    m_qpm.locked = 1;
    auto left = [&] {
        int n = 0;
        for (const char *junk : {"j1", "j2", "j3"})
            n += fs::exists(m_dir / "installed/" + junk);
        return n;
    };
    {
        UiSession ui("R\n", 1); // remove this one and all after it
        EXPECT_EQ(qpm_chkinst(&m_qpm, 0), 3);
        EXPECT_EQ(left(), 0);
        EXPECT_EQ(ui.rest(), "");
    }
    for (const char *junk : {"j1", "j2", "j3"})
        fs::create_directories(m_dir / "installed/" + junk);
    {
        UiSession ui("k\nd\n", 1); // then the input ends: the default keeps
        EXPECT_EQ(qpm_chkinst(&m_qpm, 0), 3);
        EXPECT_EQ(left(), 2);
    }
    {
        UiSession ui("a\n", 1);
        EXPECT_EQ(qpm_chkinst(&m_qpm, 0), -1);
        EXPECT_EQ(left(), 2);
        EXPECT_TRUE(log.has("aborting chkinst"));
    }
    install("dep", {}, "gone");
    {
        UiSession ui("\n", 1); // Enter leaves it: the default can be taken
        EXPECT_EQ(qpm_chkhead(&m_qpm), 1);
        EXPECT_TRUE(log.has("leaving dep"));
    }
    {
        UiSession ui("a\n", 1);
        EXPECT_EQ(qpm_chkhead(&m_qpm), -1);
        EXPECT_TRUE(log.has("aborting chkhead"));
    }
}

TEST_F(Removal, FixingTheInstallRecordKeepsTheFirstInstallAndEveryOtherFile)
{
    LogFile log;
    install("d", {}, "a", "eqpkUpdateTime: 1700000100\n");
    fs::create_directories(record("d") + "/hash");
    write_file(record("d") + "/hash/data.txt", "0123456789012345678901234567890123456789 /x\n");
    const QpiPtr before = qpm_qpl_info(&m_qpm, "d");
    ASSERT_TRUE(before);
    const auto others = tree_snapshot(record("d"), {"/inst.txt"});

    const time_t start = time(nullptr);
    ASSERT_EQ(qpm_fixinst_qpk(&m_qpm, *before, 'X', std::nullopt), 0);
    EXPECT_TRUE(log.has("qpm_fixinst_qpk: change install_type from D to X for package d_any_1.0"));
    const QpiPtr after = qpm_qpl_info(&m_qpm, "d");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->install_type, 'X');
    EXPECT_FALSE(after->install_head);
    EXPECT_EQ(after->install_time, 1700000000);
    ASSERT_EQ(after->update_times.size(), 2u);
    EXPECT_EQ(after->update_times[0], 1700000100);
    EXPECT_GE(after->update_times[1], start);
    EXPECT_EQ(tree_snapshot(record("d"), {"/inst.txt"}), others);
    EXPECT_FALSE(fs::exists(m_dir / "installed/.d.new"));
    EXPECT_FALSE(fs::exists(m_dir / "installed/.d.old"));

    // And back, with a head.
    ASSERT_EQ(qpm_fixinst_qpk(&m_qpm, *after, 'D', std::string("a")), 0);
    const QpiPtr again = qpm_qpl_info(&m_qpm, "d");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->install_type, 'D');
    EXPECT_EQ(again->install_head.value_or(""), "a");
    EXPECT_EQ(again->update_times.size(), 3u);
}
