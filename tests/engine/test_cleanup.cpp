// Inventory cleanup against a handle of the test's own: what is taken, the
// dry run without the lock, the questions of interaction mode 1.
#include "engine/cleanup.h"
#include "engine/inventory.h"
#include "support/test_support.h"
#include "support/ui_session.h"
#include "util/globals.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace qpm;
using namespace qpm::test;

namespace {

namespace fs = std::filesystem;

class Cleanup : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_handle.dirs.installed = m_dir / "installed";
        m_handle.dirs.fileindex = m_dir / "fileindex";
        m_handle.dirs.stagearea = m_dir / "stagearea";
        fs::create_directories(m_dir / "fileindex");
        fs::create_directories(m_dir / "stagearea");
        for (const char *name : {"a", "b"}) {
            fs::create_directories(m_dir / "installed/" + name);
            fs::create_directories(m_dir / "installed/." + name + ".old");
            write_file(m_dir / "fileindex/" + name, "/x\n");
            write_file(m_dir / "fileindex/." + name + ".old", "/x\n");
        }
        write_file(m_dir / "stagearea/a_any_1.0.qpk", "12345");
    }
    void TearDown() override { dry_run = 0; }

    int leftovers() const
    {
        int n = 0;
        for (const char *dir : {"installed", "fileindex", "stagearea"})
            for (const auto &entry : fs::directory_iterator(m_dir / dir))
                n += entry.path().filename().string().front() == '.' ||
                     entry.path().extension() == ".qpk";
        return n;
    }

    ScratchDir m_dir;
    qpm_handle m_handle;
};

} // namespace

TEST_F(Cleanup, DryRunNeedsNoLockAndRemovesNothing)
{
    EXPECT_EQ(qpm_cleanup(&m_handle), -1) << "no lock, no dry run";
    dry_run = 1;
    EXPECT_EQ(qpm_cleanup(&m_handle), 5);
    EXPECT_EQ(leftovers(), 5);
}

TEST_F(Cleanup, AnswersHoldForTheirSectionOnly)
{
    m_handle.locked = 1;
    // installed: 'L' keeps both; fileindex asks again: delete one, keep one;
    // stagearea: delete.
    UiSession session("L\nd\nk\nd\n", 1);
    EXPECT_EQ(qpm_cleanup(&m_handle), 2);
    EXPECT_TRUE(fs::exists(m_dir / "installed/.a.old"));
    EXPECT_TRUE(fs::exists(m_dir / "installed/.b.old"));
    EXPECT_EQ(fs::exists(m_dir / "fileindex/.a.old") + fs::exists(m_dir / "fileindex/.b.old"), 1);
    EXPECT_FALSE(fs::exists(m_dir / "stagearea/a_any_1.0.qpk"));
    EXPECT_EQ(session.rest(), "");
}

TEST_F(Cleanup, AbortStopsAtOnceKeepingWhatWasRemoved)
{
    m_handle.locked = 1;
    UiSession session("R\na\n", 1);
    EXPECT_EQ(qpm_cleanup(&m_handle), -1);
    EXPECT_FALSE(fs::exists(m_dir / "installed/.a.old"));
    EXPECT_FALSE(fs::exists(m_dir / "installed/.b.old"));
    EXPECT_EQ(leftovers(), 3);
}
