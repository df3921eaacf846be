// The pending journal against a handle of the test's own: what goes in
// comes back whole and in order, each step leaves once, and an action-log
// line a stopped run appended is recognised.
#include "engine/actionlog.h"
#include "engine/pending.h"

#include "package/handle.h"
#include "package/qpk_info.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

namespace qpm {
namespace {

using test::read_file;
using test::ScratchDir;
using test::write_file;

class Pending : public ::testing::Test {
protected:
    void SetUp() override { m_handle.root = m_dir.path(); }

    ScratchDir m_dir;
    qpm_handle m_handle;
};

bool same(const PendingStep &a, const PendingStep &b)
{
    return a.kind == b.kind && a.package == b.package && a.value == b.value && a.puname == b.puname;
}

TEST_F(Pending, StepsComeBackWholeAndInOrder)
{
    EXPECT_TRUE(pending_read(&m_handle).empty()) << "no journal";
    const std::vector<PendingStep> steps = {
        {PendingKind::Log, "A", "2024-01-02 03:04:05: installed A_any_1.0 as requested by user", "A_any_1.0"},
        {PendingKind::Ldconfig, "A", "", "A_any_1.0"},
        {PendingKind::Configure, "A", "99-cfg.sh", "A_any_1.0"},
        // Values LDIF must carry in Base64: a leading blank, a colon, a line
        // feed, bytes beyond ASCII.
        {PendingKind::Hook, "A", " /bin/x -c 'a: b\nc' \xc3\xa9", "A_any_1.0"},
        {PendingKind::Hook, "B", "/bin/y", "B_v_2.0"},
    };
    ASSERT_TRUE(pending_add(&m_handle, {steps[0], steps[1]}));
    ASSERT_TRUE(pending_add(&m_handle, {steps.begin() + 2, steps.end()}));
    const std::vector<PendingStep> back = pending_read(&m_handle);
    ASSERT_EQ(back.size(), steps.size());
    for (size_t i = 0; i < steps.size(); ++i)
        EXPECT_TRUE(same(back[i], steps[i])) << i << ": " << back[i].value;
}

TEST_F(Pending, EachDoneStepLeavesOnceAndTheEmptyJournalGoes)
{
    const PendingStep hook{PendingKind::Hook, "A", "/bin/x", "A_any_1.0"};
    const PendingStep configure{PendingKind::Configure, "A", "99-cfg.sh", "A_any_1.0"};
    // Two hooks may yield the same command: each counts.
    ASSERT_TRUE(pending_add(&m_handle, {hook, configure, hook}));
    // The unique name is not compared; kind, package and value are.
    pending_done(&m_handle, {PendingKind::Hook, "A", "/bin/x", ""});
    ASSERT_EQ(pending_read(&m_handle).size(), 2u);
    pending_done(&m_handle, {PendingKind::Hook, "B", "/bin/x", ""});
    pending_done(&m_handle, {PendingKind::Configure, "A", "/bin/x", ""});
    EXPECT_EQ(pending_read(&m_handle).size(), 2u) << "nothing equal: nothing taken";
    pending_done_all(&m_handle, {hook, configure});
    EXPECT_TRUE(pending_read(&m_handle).empty());
    EXPECT_FALSE(test::file_exists(pending_path(&m_handle)));
}

// The journal is remembered between reads, but another hand's change to
// the file, even one of the same size, is read afresh.
TEST_F(Pending, AJournalChangedByAnotherHandIsReadAfresh)
{
    const std::string path = pending_path(&m_handle);
    ASSERT_TRUE(pending_add(&m_handle, {{PendingKind::Hook, "A", "/bin/x", "A_any_1.0"}}));
    ASSERT_EQ(pending_read(&m_handle).size(), 1u);
    const std::string text = read_file(path);
    std::string same_size = text;
    same_size.replace(same_size.find("/bin/x"), 6, "/bin/y");
    write_file(path, same_size);
    std::vector<PendingStep> steps = pending_read(&m_handle);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].value, "/bin/y");
    ASSERT_EQ(::unlink(path.c_str()), 0);
    EXPECT_TRUE(pending_read(&m_handle).empty());
    write_file(path, text);
    steps = pending_read(&m_handle);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].value, "/bin/x");
}

TEST_F(Pending, UnreadableEntriesAreSkipped)
{
    write_file(pending_path(&m_handle),
               "dn: eqpkPending=1,dc=quendari,dc=org\neqpkPendingStep: reboot\neqpkName: A\neqpkPuname: A_any_1\n\n"
               "dn: eqpkPending=2,dc=quendari,dc=org\neqpkPendingStep: hook\neqpkPuname: A_any_1\n\n"
               "dn: eqpkPending=3,dc=quendari,dc=org\neqpkPendingStep: ldconfig\neqpkName: A\neqpkPuname: A_any_1\n");
    const std::vector<PendingStep> steps = pending_read(&m_handle);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].kind, PendingKind::Ldconfig);
}

// A registered package waits in the journal for the run's sync: a batch
// goes once SYNC_BATCH wait, the rest at the end of the run; other steps
// stay.
TEST_F(Pending, SyncStepsLeaveWhenTheBatchIsFullOrTheRunEnds)
{
    qpk_info info;
    info.name = "A";
    info.version = "1.0";
    const std::vector<PendingStep> owed = steps_after_registration(info, std::nullopt, {"99-cfg.sh"});
    ASSERT_EQ(owed.size(), 2u);
    EXPECT_EQ(owed[0].kind, PendingKind::Sync) << "the sync comes first";
    ASSERT_TRUE(pending_add(&m_handle, owed));
    const auto waiting = [&] {
        size_t n = 0;
        for (const PendingStep &step : pending_read(&m_handle))
            n += step.kind == PendingKind::Sync ? 1 : 0;
        return n;
    };
    for (size_t i = 1; i < SYNC_BATCH - 1; ++i)
        ASSERT_TRUE(pending_add(&m_handle, {{PendingKind::Sync, "P" + std::to_string(i), "", "P_any_1"}}));
    ASSERT_TRUE(sync_registered(&m_handle, SyncWhen::BatchFull));
    EXPECT_EQ(waiting(), SYNC_BATCH - 1);
    // The full batch is synced beside what comes next; its steps leave
    // once that sync has returned, at the latest when the run ends.
    ASSERT_TRUE(pending_add(&m_handle, {{PendingKind::Sync, "Z", "", "Z_any_1"}}));
    ASSERT_TRUE(sync_registered(&m_handle, SyncWhen::BatchFull));
    ASSERT_TRUE(pending_add(&m_handle, {{PendingKind::Sync, "Y", "", "Y_any_1"}}));
    ASSERT_TRUE(sync_registered(&m_handle, SyncWhen::BatchFull));
    const size_t left_waiting = waiting();
    EXPECT_TRUE(left_waiting == 1 || left_waiting == SYNC_BATCH + 1) << left_waiting;
    ASSERT_TRUE(sync_registered(&m_handle, SyncWhen::Now));
    const std::vector<PendingStep> left = pending_read(&m_handle);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].kind, PendingKind::Configure);
}

// The line a stopped run appended, and only a whole line, counts as there.
TEST_F(Pending, LogLineOfAStoppedRunIsRecognised)
{
    const std::string line = "2024-01-02 03:04:05: installed A_any_1.0 as requested by user";
    EXPECT_FALSE(qpm_log_has(line, &m_handle)) << "no log";
    write_file(m_dir / "install.log", "x" + line + "\n" + line + " too\n");
    EXPECT_FALSE(qpm_log_has(line, &m_handle));
    ASSERT_TRUE(qpm_log_append(line, &m_handle));
    EXPECT_TRUE(qpm_log_has(line, &m_handle));
    // Far behind a long tail it is no line of the last run.
    write_file(m_dir / "install.log", line + "\n" + std::string(70000, 'y') + "\n");
    EXPECT_FALSE(qpm_log_has(line, &m_handle));
    write_file(m_dir / "install.log", line + "\n");
    EXPECT_TRUE(qpm_log_has(line, &m_handle)) << "the first line of the file";
}

} // namespace
} // namespace qpm
