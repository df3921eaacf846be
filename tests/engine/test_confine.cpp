// Commands under a system root run inside it, never on the host.
#include "engine/confine.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

using namespace qpm;
using namespace qpm::test;

namespace {

// A system root whose inventory has a static busybox as its ash.
void give_root_a_shell(const ScratchDir &root)
{
    std::filesystem::create_directories(root / "var/lib/qpm/scriptdir");
    std::filesystem::create_directories(root / "tmp");
    std::filesystem::copy_file("/bin/busybox", root / "var/lib/qpm/scriptdir/ash");
}

} // namespace

TEST(Confine, RootViewStripsOnlyTheRootPrefix)
{
    EXPECT_EQ(root_view("/var/lib/qpm/scriptdir"), "/var/lib/qpm/scriptdir");
    ScopedSystemRoot sysroot("/srv/image/");
    EXPECT_EQ(root_view("/srv/image/var/lib/qpm"), "/var/lib/qpm");
    EXPECT_EQ(root_view("/srv/image"), "/");
    EXPECT_EQ(root_view("/srv/image2/x"), "/srv/image2/x");
    EXPECT_EQ(root_view("/etc/passwd"), "/etc/passwd");
}

TEST(Confine, CommandRunsInsideTheRootWithItsOwnShell)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: chroot";
    ScratchDir root;
    give_root_a_shell(root);
    ScopedSystemRoot sysroot(root.path());

    const int status = qpm_run_command(nullptr, "echo inside > /marker && test ! -e /work");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(root / "marker"), "inside\n");
    EXPECT_FALSE(file_exists("/marker"));
}

TEST(Confine, ScriptOutputIsCapturedAndPassedOn)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: chroot";
    ScratchDir root;
    give_root_a_shell(root);
    std::filesystem::remove(root / "tmp"); // an image without /tmp gets one
    ScopedSystemRoot sysroot(root.path());

    CaptureFd out(1);
    CaptureFd err(2);
    const int status = qpm_run_script(nullptr, "00-add.sh", "echo to-out; echo to-err >&2; exit 3");
    const std::string err_text = err.finish();
    EXPECT_EQ(out.finish(), "to-out\n");
    EXPECT_EQ(err_text, "to-err\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_TRUE(std::filesystem::is_empty(root / "tmp")); // capture files removed
}

TEST(Confine, WithoutAShellNothingRunsOnTheHost)
{
    ScratchDir root;
    ScratchDir host;
    ScopedSystemRoot sysroot(root.path());
    const std::string marker = host / "ran";
    EXPECT_EQ(qpm_run_command(nullptr, "touch " + marker), CONFINE_FAILED_STATUS);
    EXPECT_FALSE(file_exists(marker));
}
