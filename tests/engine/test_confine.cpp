// Commands under a system root run inside it, never on the host.
#include "engine/confine.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/utsname.h>
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

// Every path below `root` with its type and mode: what a run must leave as
// it was (apart from what the command itself wrote).
std::set<std::string> tree_of(const std::string &root)
{
    std::set<std::string> tree;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root)) {
        struct stat st {};
        lstat(entry.path().c_str(), &st);
        tree.insert(entry.path().string().substr(root.size()) + " " + std::to_string(st.st_mode));
    }
    return tree;
}

// The value of a "Key:\tvalue" line of a /proc status text.
std::string status_field(const std::string &text, const std::string &key)
{
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(key + ":"))
            return line.substr(line.find_first_not_of(" \t", key.size() + 1));
    }
    return {};
}

bool mounted_below(const std::string &path)
{
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.find(" " + path) != std::string::npos)
            return true;
    }
    return false;
}

std::string host_name()
{
    utsname name {};
    uname(&name);
    return name.nodename;
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

// A hostile command: it looks for the host through /proc, renames the
// machine, makes device nodes and records what it sees. None of it reaches
// the host, and the root's own tree is as it was apart from the files the
// command wrote (with or without /proc and /dev of its own).
TEST(Confine, CommandIsHeldInsideItsOwnNamespaces)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: namespaces and pivot_root";
    for (const bool image_has_proc_and_dev : {false, true}) {
        SCOPED_TRACE(image_has_proc_and_dev ? "root with /proc and /dev" : "bare root");
        ScratchDir root;
        ScratchDir host;
        give_root_a_shell(root);
        if (image_has_proc_and_dev) {
            std::filesystem::create_directories(root / "proc");
            std::filesystem::create_directories(root / "dev");
        }
        std::filesystem::create_directories(root / "out");
        const std::set<std::string> before = tree_of(root.path());
        const std::string hostname_before = host_name();
        const std::string leak = host / "leak";
        ScopedSystemRoot sysroot(root.path());

        const std::string line =
            "{ mount -t proc proc /out && echo mounted > /out/mount-worked;"
            "for p in /proc/[0-9]*; do echo escaped > $p/root" + leak + "; done;"
            "cat /proc/1/root/etc/shadow > /out/shadow;"
            "hostname confined-x; mknod /out/mem c 1 1;"
            "chroot / true && echo chrooted > /out/chroot-worked;"
            "echo 1 > /proc/sys/kernel/sysrq && echo wrote > /out/sysctl-worked;"
            "echo 1 > /proc/sysrq-trigger && echo wrote > /out/sysrq-worked; } 2>/dev/null;"
            "echo $$ > /out/pid; ls /proc > /out/processes;"
            "cat /proc/self/status > /out/status; ls /dev > /out/dev; echo gone > /dev/null";
        EXPECT_EQ(qpm_run_command(nullptr, line), 0);

        EXPECT_FALSE(file_exists(leak));
        EXPECT_EQ(host_name(), hostname_before);
        for (const char *forbidden :
             {"mount-worked", "mem", "chroot-worked", "sysctl-worked", "sysrq-worked", "shadow"}) {
            const std::string path = root / (std::string("out/") + forbidden);
            EXPECT_FALSE(file_exists(path) && !read_file(path).empty()) << forbidden;
        }
        EXPECT_EQ(read_file(root / "out/pid"), "2\n"); // PID 1 is the namespace's first process
        std::istringstream proc(read_file(root / "out/processes"));
        int processes = 0;
        for (std::string entry; std::getline(proc, entry);)
            processes += entry.find_first_not_of("0123456789") == std::string::npos ? 1 : 0;
        EXPECT_EQ(processes, 3); // the first process, the shell and ls
        EXPECT_EQ(read_file(root / "out/dev"), "fd\nfull\nnull\nrandom\nstderr\nstdin\nstdout\nurandom\nzero\n");

        const std::string status = read_file(root / "out/status");
        EXPECT_EQ(status_field(status, "NoNewPrivs"), "1");
        const unsigned long long bounding = std::stoull(status_field(status, "CapBnd"), nullptr, 16);
        const unsigned long long effective = std::stoull(status_field(status, "CapEff"), nullptr, 16);
        // SYS_ADMIN, SYS_MODULE, SYS_PTRACE, SYS_RAWIO, SYS_BOOT, MKNOD, SYS_CHROOT, DAC_READ_SEARCH
        for (const int cap : {21, 16, 19, 17, 22, 27, 18, 2}) {
            EXPECT_EQ(bounding & (1ULL << cap), 0U) << "capability " << cap;
            EXPECT_EQ(effective & (1ULL << cap), 0U) << "capability " << cap;
        }
        EXPECT_NE(effective & (1ULL << 0), 0U); // CAP_CHOWN stays: packages own their files

        std::set<std::string> after = tree_of(root.path());
        for (const char *written : {"/out/pid", "/out/processes", "/out/status", "/out/dev", "/out/shadow"})
            after.erase(std::string(written) + " " + std::to_string(S_IFREG | 0644));
        EXPECT_EQ(after, before);
        EXPECT_FALSE(mounted_below(root.path()));
    }
}

// Where the root would lead a write or a mount out of itself, nothing runs.
TEST(Confine, RootWithForeignTmpOrDevIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: namespaces and pivot_root";
    for (const char *linked : {"tmp", "dev", "proc"}) {
        SCOPED_TRACE(linked);
        ScratchDir root;
        ScratchDir host;
        give_root_a_shell(root);
        std::filesystem::remove(root / linked);
        std::filesystem::create_directory_symlink(host.path(), root / linked);
        ScopedSystemRoot sysroot(root.path());
        EXPECT_EQ(qpm_run_script(nullptr, "00-add.sh", "echo ran > /ran"), CONFINE_FAILED_STATUS);
        EXPECT_FALSE(file_exists(root / "ran"));
        EXPECT_TRUE(std::filesystem::is_empty(host.path()));
    }
}

// The host's ldconfig builds the root's cache from the root's own
// configuration, and the host's cache stays as it was.
TEST(Confine, LibraryCacheIsBuiltInsideTheRoot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: namespaces and pivot_root";
    ScratchDir root;
    std::filesystem::create_directories(root / "etc");
    std::filesystem::create_directories(root / "opt/lib");
    write_file(root / "etc/ld.so.conf", "/opt/lib\n");
    struct stat host_before {};
    const bool host_cache = stat("/etc/ld.so.cache", &host_before) == 0;
    ScopedSystemRoot sysroot(root.path());

    const int status = qpm_run_ldconfig();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(file_exists(root / "etc/ld.so.cache"));
    EXPECT_FALSE(file_exists(root / "proc"));
    struct stat host_after {};
    if (host_cache) {
        ASSERT_EQ(stat("/etc/ld.so.cache", &host_after), 0);
        EXPECT_EQ(host_after.st_mtim.tv_sec, host_before.st_mtim.tv_sec);
        EXPECT_EQ(host_after.st_mtim.tv_nsec, host_before.st_mtim.tv_nsec);
    }
}
