#include "engine/inventory.h"

#include "support/test_support.h"
#include "util/strfmt.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace {
// Runs once inside the next lockf call, just before the real lock is taken:
// the moment another run could remove and remake the lock file.
std::function<void()> before_next_lockf;
} // namespace

// Our own lockf, found before the C library's by the core library: a seam
// for the race above, otherwise it only passes the call on.
extern "C" int lockf(int fd, int cmd, off_t len)
{
    using Real = int (*)(int, int, off_t);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "lockf"));
    if (before_next_lockf)
        std::exchange(before_next_lockf, nullptr)();
    return real(fd, cmd, len);
}

namespace qpm {
namespace {

using test::CaptureFd;
using test::file_exists;
using test::read_file;
using test::ScratchDir;
using test::write_file;

// A system root with a configuration and one hook, and an inventory root.
class InventoryTest : public ::testing::Test {
protected:
    InventoryTest() : m_root(m_dir / "root")
    {
        mkdir((m_dir / "root").c_str(), 0755);
        mkdir((m_dir / "root/etc").c_str(), 0755);
        mkdir((m_dir / "root/etc/qpm").c_str(), 0755);
        mkdir((m_dir / "root/etc/qpm/hooks.d").c_str(), 0755);
        mkdir((m_dir / "inv").c_str(), 0755);
        write_file(m_dir / "root/etc/qpm.conf", "arch_name=x86_64\ndist_name=Quendari\ndist_vers=2.1\n");
        write_file(m_dir / "root/etc/qpm/hooks.d/ld.qph",
                   "dn: eqphName=ld\neqphType: 99-cfg\neqphCond: data:/usr/lib/*\neqphExec: /sbin/ldconfig\n");
        write_file(m_dir / "qpm.conf", "arch_name=any\n");
    }

    QpmPtr open_inventory() { return qpm_open(inv().c_str(), (m_dir / "qpm.conf").c_str()); }
    std::string inv() const { return m_dir / "inv"; }

    ScratchDir m_dir;
    test::ScopedSystemRoot m_root;
};

TEST_F(InventoryTest, DefaultsLieUnderTheSystemRootGivenPathsAreTakenAsTheyAre)
{
    const QpmPtr qpm = qpm_open(nullptr, nullptr);
    ASSERT_TRUE(qpm);
    const std::string var = m_dir / "root/var/lib/qpm";
    EXPECT_EQ(qpm->root, var);
    EXPECT_EQ(qpm->conf_path, m_dir / "root/etc/qpm.conf");
    EXPECT_EQ(qpm->arch, 4);
    EXPECT_EQ(qpm->dist_name, "Quendari");
    EXPECT_EQ(qpm->dist_vers, "2.1");
    EXPECT_EQ(qpm->locked, 0);
    std::vector<std::pair<std::string, std::string>> dirs;
    const EkvaPtr printed = qpm->dirs.to_ekva();
    for (const auto &entry : printed->entries())
        dirs.emplace_back(entry.key, entry.value.value_or(""));
    EXPECT_EQ(dirs, (std::vector<std::pair<std::string, std::string>>{{"installed", var + "/installed"},
                                                                      {"stagearea", var + "/stagearea"},
                                                                      {"fileindex", var + "/fileindex"},
                                                                      {"certstore", var + "/certstore"},
                                                                      {"scriptdir", var + "/scriptdir"}}));
    ASSERT_EQ(qpm->hooks.size(), 1u);
    EXPECT_STREQ(ekva_getval(qpm->hooks[0].get(), "eqphExec"), "/sbin/ldconfig");

    const QpmPtr given = open_inventory();
    ASSERT_TRUE(given);
    EXPECT_EQ(given->root, inv());
    EXPECT_EQ(given->conf_path, m_dir / "qpm.conf");
    EXPECT_EQ(given->arch, 1);
    EXPECT_FALSE(given->dist_name);
    EXPECT_FALSE(given->dist_vers);
    EXPECT_EQ(given->hooks.size(), 1u);
}

TEST_F(InventoryTest, ConfigurationFailuresAreReportedOnStandardError)
{
    const std::string missing = m_dir / "missing.conf";
    const std::string no_arch = m_dir / "no_arch.conf";
    const std::string bad_arch = m_dir / "bad_arch.conf";
    write_file(no_arch, "dist_name=Quendari\n");
    write_file(bad_arch, "arch_name=sparc\n");
    CaptureFd err(2);
    EXPECT_FALSE(qpm_open(inv().c_str(), missing.c_str()));
    EXPECT_FALSE(qpm_open(inv().c_str(), no_arch.c_str()));
    EXPECT_FALSE(qpm_open(inv().c_str(), bad_arch.c_str()));
    EXPECT_EQ(err.finish(), "Failed to read qpm config " + missing +
                                "\nFailed to get arch_name from config\nInvalid architecture specified: sparc\n");
}

TEST_F(InventoryTest, LockWritesThePidOverATruncatedFileAndUnlockRemovesIt)
{
    const std::string lock = inv() + "/lock";
    write_file(lock, "1234567890\nleft over by a crashed run\n");
    QpmPtr qpm = open_inventory();
    ASSERT_EQ(qpm_lock(qpm.get()), 0);
    EXPECT_EQ(qpm->locked, 1);
    EXPECT_EQ(read_file(lock), strprintf("%d\n", static_cast<int>(getpid())));
    EXPECT_TRUE(fcntl(qpm->lock_fd.get(), F_GETFD) & FD_CLOEXEC);

    EXPECT_EQ(qpm_unlock(qpm.get()), 0);
    EXPECT_EQ(qpm->locked, 0);
    EXPECT_FALSE(file_exists(lock));
    EXPECT_EQ(qpm_unlock(qpm.get()), 0);

    ASSERT_EQ(qpm_lock(qpm.get()), 0);
    EXPECT_EQ(qpm_close(std::move(qpm)), 0);
    EXPECT_FALSE(file_exists(lock));
}

TEST_F(InventoryTest, SecondProcessFailsAtOnceWhileTheFirstHoldsTheLock)
{
    const std::string lock = inv() + "/lock";
    QpmPtr qpm = open_inventory();
    ASSERT_EQ(qpm_lock(qpm.get()), 0);
    const std::string err_file = m_dir / "child.err";

    auto try_in_child = [&]() {
        const pid_t child = fork();
        if (child == 0) {
            alarm(10); // waiting for the lock would end here
            const int fd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 2);
            QpmPtr other = open_inventory();
            const int rc = other ? qpm_lock(other.get()) : 2;
            _exit(rc == 0 ? 0 : rc == -1 ? 1 : 2);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    };
    EXPECT_EQ(try_in_child(), 1);
    EXPECT_EQ(read_file(err_file), "Could not lock lock file " + lock + "\n");
    EXPECT_EQ(read_file(lock), strprintf("%d\n", static_cast<int>(getpid())));

    EXPECT_EQ(qpm_close(std::move(qpm)), 0);
    EXPECT_EQ(try_in_child(), 0);
}

TEST_F(InventoryTest, LockOnAFileRemovedMeanwhileDoesNotCount)
{
    const std::string lock = inv() + "/lock";
    QpmPtr qpm = open_inventory();
    before_next_lockf = [&] {
        unlink(lock.c_str());
        write_file(lock, "4242\n");
    };
    CaptureFd err(2);
    EXPECT_EQ(qpm_lock(qpm.get()), -1);
    EXPECT_EQ(err.finish(), "Could not lock lock file " + lock + "\n");
    EXPECT_EQ(qpm->locked, 0);
    EXPECT_EQ(read_file(lock), "4242\n");
}

TEST_F(InventoryTest, HandleWithoutTheLockLeavesAnotherRunsLockFile)
{
    const std::string lock = inv() + "/lock";
    write_file(lock, "4242\n");
    QpmPtr qpm = open_inventory();
    EXPECT_EQ(qpm_unlock(qpm.get()), 0);
    EXPECT_EQ(qpm_close(std::move(qpm)), 0);
    EXPECT_EQ(read_file(lock), "4242\n");
}

TEST_F(InventoryTest, LockPathUsesTheFirst245CharactersOfTheRoot)
{
    const std::string cut = inv() + "/" + std::string(245 - inv().size() - 1, 'r');
    ASSERT_EQ(cut.size(), 245u);
    mkdir(cut.c_str(), 0755);
    const std::string root = cut + "/" + std::string(40, 's');
    QpmPtr qpm = qpm_open(root.c_str(), (m_dir / "qpm.conf").c_str());
    ASSERT_TRUE(qpm);
    EXPECT_EQ(qpm_lock_path(qpm.get()), cut + "/lock");
    ASSERT_EQ(qpm_lock(qpm.get()), 0);
    EXPECT_TRUE(file_exists(cut + "/lock"));
}

} // namespace
} // namespace qpm
