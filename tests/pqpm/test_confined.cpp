// Hostile package scripts under a system root, and set-user-id runs by a
// wheel member: what a package or the caller tries must not reach the host,
// and root's run must not belong to the caller.
#include "support/sandbox.h"
#include "support/user_db.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

using namespace qpm::test;

namespace {

namespace fs = std::filesystem;

std::string host_name()
{
    utsname name {};
    uname(&name);
    return name.nodename;
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

gid_t group_of(const std::string &path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_gid;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

} // namespace

// Every stage of a package's scripts (pre-install, post-install, configure)
// tries the known ways out of a chroot. They all run, each in its own PID
// namespace, and none of them reaches the host; the image keeps no mount
// and no /proc or /dev it did not have.
TEST(PqpmConfinedScripts, HostileScriptsStayInsideTheRoot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: namespaces and pivot_root";
    Sandbox box;
    ASSERT_TRUE(box.ok()) << box.error();
    ScratchDir host;
    const std::string target = host / "escaped";
    const bool had_proc = fs::exists(box.path("/proc"));
    const bool had_dev = fs::exists(box.path("/dev"));
    const std::string hostname_before = host_name();

    auto attack = [&target](const std::string &stage) {
        return "{ mount -t proc proc /proc; for p in /proc/[0-9]*; do echo x > $p/root" + target +
               "; done; echo x > " + target + "; hostname hostile; cat /proc/1/root/etc/shadow > /var/" + stage +
               ".shadow; } 2>/dev/null; echo $$ > /var/" + stage + ".pid\n";
    };
    PackageSpec pkg_spec;
    pkg_spec.name = "hostile";
    pkg_spec.file("data/usr/share/hostile/readme", "hi\n");
    pkg_spec.script("00-add.sh", attack("pre")).script("99-add.sh", attack("post")).script("99-cfg.sh", attack("cfg"));
    box.add_package(pkg_spec);

    const RunResult r = box.pqpm({"install", "hostile"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "pqpm: hostile successfully installed\n");
    EXPECT_FALSE(file_exists(target));
    EXPECT_EQ(host_name(), hostname_before);
    for (const char *stage : {"pre", "post", "cfg"}) {
        SCOPED_TRACE(stage);
        EXPECT_EQ(read_file(box.path("/var/" + std::string(stage) + ".pid")), "2\n");
        EXPECT_EQ(read_file(box.path("/var/" + std::string(stage) + ".shadow")), "");
    }
    EXPECT_EQ(fs::exists(box.path("/proc")), had_proc);
    EXPECT_EQ(fs::exists(box.path("/dev")), had_dev);
    EXPECT_FALSE(mounted_below(box.root()));
}

// A script that cannot be confined (here: the inventory has no shell) is
// not run on the host: the install fails as with a failing script.
TEST(PqpmConfinedScripts, UnconfinableScriptFailsTheInstallAndNeverRunsOnTheHost)
{
    Sandbox box;
    ASSERT_TRUE(box.ok()) << box.error();
    ScratchDir host;
    const std::string marker = host / "ran";
    PackageSpec pkg_spec;
    pkg_spec.name = "shelly";
    pkg_spec.file("data/usr/share/shelly/readme", "hi\n").script("00-add.sh", "touch " + marker + "\n");
    box.add_package(pkg_spec);
    fs::remove(box.path("/var/lib/qpm/scriptdir/ash"));

    const RunResult r = box.pqpm({"install", "shelly"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(marker));
    EXPECT_FALSE(file_exists(box.path("/var/lib/qpm/installed/shelly/inst.txt")));
    EXPECT_FALSE(file_exists(box.path("/usr/share/shelly/readme")));
}

// A set-user-id pqpm run by a wheel member. Such a run always works on the
// real root, so each run happens in a mount namespace of its own where the
// sandbox's image is `/`, with the host's programs and libraries bound in
// read-only places (packages here install below /usr/share, /var and /srv
// only). The users exist only in this process's private user database.
class PqpmSetuidRoot : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (geteuid() != 0 || !private_user_db(s_db_error))
            return;
        if (!private_user_add("qpmtest-in", 65534) || !private_group_member("wheel", "qpmtest-in"))
            s_db_error = "could not add the temporary user";
    }

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: a set-user-id binary, namespaces and another user";
        if (!s_db_error.empty())
            GTEST_SKIP() << "no private user database: " << s_db_error;
        ASSERT_TRUE(box.ok()) << box.error();
        struct statvfs vfs {};
        if (statvfs(box.root().c_str(), &vfs) == 0 && (vfs.f_flag & ST_NOSUID))
            GTEST_SKIP() << "temporary directory is mounted nosuid";
        const passwd *pw = getpwnam("qpmtest-in");
        const group *wheel = getgrnam("wheel");
        ASSERT_TRUE(pw && wheel);
        m_uid = pw->pw_uid;
        m_wheel = wheel->gr_gid;
        ASSERT_NE(m_wheel, 0U);
        make_image();
    }

    // The image as a root a program can run in: the user database, the
    // loader's cache, the host's programs and libraries, pqpm set-user-id.
    void make_image()
    {
        std::error_code ec;
        chmod(box.root().c_str(), 0755);
        chmod(box.path("/tmp").c_str(), 01777);
        for (const char *file : {"/etc/passwd", "/etc/group", "/etc/ld.so.cache", "/etc/nsswitch.conf"}) {
            if (fs::exists(file))
                fs::copy_file(file, box.path(file), fs::copy_options::overwrite_existing, ec);
        }
        std::vector<std::string> binds = {"/usr/bin", "/usr/sbin", "/usr/lib64",
                                          fs::path(QPM_PQPM_EXE).parent_path().parent_path().string()};
        for (const auto &entry : fs::directory_iterator("/usr/lib")) {
            if (entry.path().filename().string().find("-linux-gnu") != std::string::npos)
                binds.push_back(entry.path().string());
        }
        for (const char *top : {"/bin", "/sbin", "/lib", "/lib64"}) {
            if (fs::is_symlink(top))
                fs::create_symlink(fs::read_symlink(top), box.path(top), ec);
            else if (fs::is_directory(top))
                binds.emplace_back(top);
        }
        m_mounts = "set -e; ";
        for (const std::string &dir : binds) {
            if (!fs::is_directory(dir))
                continue;
            fs::create_directories(box.path(dir));
            m_mounts += "mount --bind " + dir + " " + box.path(dir) + "; ";
        }
        fs::create_directories(box.path("/dev"));
        write_file(box.path("/dev/null"), "");
        m_mounts += "mount --bind /dev/null " + box.path("/dev/null") + "; ";

        // The catalogue is a directory of the image.
        fs::create_directories(box.path("/srv/repo"));
        write_file(box.path("/etc/qpc-dirs.conf"), "/srv/repo\n");
        fs::copy_file(QPM_PQPM_EXE, box.path("/pqpm"));
        chmod(box.path("/pqpm").c_str(), 04755);
    }

    // Runs `pqpm ARGS` set-user-id as the wheel member (groups nogroup and
    // wheel), `shell` first in the caller's shell (ulimit).
    RunResult pqpm_as_member(const std::string &args, const std::string &shell = "")
    {
        const std::string line = m_mounts + shell + "\nexec chroot --userspec=" + std::to_string(m_uid) +
                                 ":65534 --groups=65534," + std::to_string(m_wheel) + " " + box.root() +
                                 " /pqpm " + args;
        return run_program({"/usr/bin/unshare", "--mount", "--propagation", "private", "sh", "-c", line});
    }

    // Builds into `dir` of the image; the package's path inside the image.
    std::string build(const PackageSpec &pkg_spec, const std::string &dir)
    {
        fs::create_directories(box.path(dir));
        const std::string built = build_package(pkg_spec, box.path(dir), &box.signer());
        return built.substr(box.root().size());
    }

    static PackageSpec grouped_package(const std::string &name)
    {
        PackageSpec pkg_spec;
        pkg_spec.name = name;
        pkg_spec.file("data/usr/share/" + name + "/big.dat", std::string(256 * 1024, 'x'), 0775);
        pkg_spec.script("99-add.sh", "{ id -u; id -g; id -G; umask; } > /var/" + name + ".ids\n");
        return pkg_spec;
    }

    bool installed(const std::string &name) const
    {
        return file_exists(box.path("/var/lib/qpm/installed/" + name + "/inst.txt"));
    }

    static inline std::string s_db_error;
    Sandbox box;
    std::string m_mounts;
    uid_t m_uid = 0;
    gid_t m_wheel = 0;
};

// Installed files, the inventory and the action log belong to group 0, and
// scripts run as user 0 in group 0 with no supplementary group.
TEST_F(PqpmSetuidRoot, RunIsRootsWithRootsGroupsOnly)
{
    build(grouped_package("grouped"), "/srv/repo");
    fs::remove(box.path("/var/log/qpm.log")); // made afresh by this run
    const RunResult r = pqpm_as_member("install grouped");
    ASSERT_EQ(r.status, 0) << r.out << "\n---\n" << r.err;
    EXPECT_EQ(r.out, "pqpm: grouped successfully installed\n");
    EXPECT_EQ(read_file(box.path("/var/grouped.ids")), "0\n0\n0\n0022\n");
    for (const std::string top : {"/usr/share/grouped", "/var/lib/qpm"}) {
        for (const auto &entry : fs::recursive_directory_iterator(box.path(top)))
            EXPECT_EQ(group_of(entry.path()), 0U) << entry.path();
    }
    EXPECT_EQ(fs::file_size(box.path("/usr/share/grouped/big.dat")), 256U * 1024);
    ASSERT_TRUE(file_exists(box.path("/var/log/qpm.log")));
    EXPECT_EQ(group_of(box.path("/var/log/qpm.log")), 0U);
}

// The caller's file size limit does not kill root's transaction halfway: a
// soft limit is lifted; a hard one is lifted where root may raise it, and
// otherwise the run stops before it changes anything.
TEST_F(PqpmSetuidRoot, CallersFileSizeLimitDoesNotKillTheTransaction)
{
    build(grouped_package("soft"), "/srv/repo");
    build(grouped_package("hard"), "/srv/repo");
    RunResult r = pqpm_as_member("install soft", "ulimit -S -f 1");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(fs::file_size(box.path("/usr/share/soft/big.dat")), 256U * 1024);

    r = pqpm_as_member("install hard", "ulimit -f 1");
    const std::string status = read_file("/proc/self/status");
    const size_t at = status.find("CapBnd:");
    const unsigned long long bounding = std::stoull(status.substr(at + 7), nullptr, 16);
    if (bounding & (1ULL << 24)) { // CAP_SYS_RESOURCE
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(fs::file_size(box.path("/usr/share/hard/big.dat")), 256U * 1024);
    } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "pqpm: cannot lift the limit on file size: Operation not permitted\n");
        EXPECT_FALSE(installed("hard"));
        EXPECT_FALSE(fs::exists(box.path("/usr/share/hard")));
    }
}

// A package file named on the command line is read with the caller's
// rights: one the caller may read installs; a root-only one is refused in
// the very words used for a file that does not exist.
TEST_F(PqpmSetuidRoot, PackageFileIsOpenedWithTheCallersRights)
{
    const std::string pub = build(grouped_package("public"), "/srv/public");
    chmod(box.path("/srv/public").c_str(), 0755);
    const std::string secret_file = build(grouped_package("secret"), "/srv/secret");
    chmod(box.path(secret_file).c_str(), 0600);
    ASSERT_TRUE(secret_file.starts_with("/srv/secret/"));

    RunResult r = pqpm_as_member("install " + pub);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "pqpm: " + pub + " successfully installed\n");
    EXPECT_TRUE(installed("public"));

    const RunResult secret = pqpm_as_member("install " + secret_file);
    const RunResult missing = pqpm_as_member("install " + replace_all(secret_file, "/srv/secret/", "/srv/nothing/"));
    EXPECT_EQ(secret.status, 1);
    EXPECT_EQ(secret.status, missing.status);
    EXPECT_EQ(replace_all(secret.out, "/srv/secret/", "/srv/nothing/"), missing.out);
    EXPECT_EQ(replace_all(secret.err, "/srv/secret/", "/srv/nothing/"), missing.err);
    EXPECT_FALSE(installed("secret"));
}
