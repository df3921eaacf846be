// qpm-adm run as the real binary against a temporary system root.
#include "support/inventory_fixture.h"
#include "support/runner.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#ifndef QPM_ADM_EXE
#error "QPM_ADM_EXE must name the qpm-adm binary"
#endif
#ifndef QPM_QPC_DIRS_SO
#error "QPM_QPC_DIRS_SO must name the qpc-dirs plug-in"
#endif
#ifndef QPM_BUSYBOX
#error "QPM_BUSYBOX must name a static busybox"
#endif

using namespace qpm::test;

namespace {

namespace fs = std::filesystem;

const std::string usage_text = "Usage: qpm-adm [options]\n\n"
                               "  --help,\t-h\t\t\tDisplays this information\n"
                               "  --boot,\t-B\t\t\tbootstrap an qpm inventory\n"
                               "  --list,\t-L\t\t\tlist current settings\n"
                               "  --query,\t-Q <args>\t\tquery one setting\n"
                               "  --base,\t-b <args>\t\tuse this as repository base\n"
                               "  --options,\t-o <args>\t\toptions, see -o help for details\n"
                               "  --force,\t-f\t\t\tforce action without question\n"
                               "  --verbose,\t-v\t\t\tshow verbose output\n"
                               "  --version,\t-V\t\t\tshow version information\n";

const std::string help_general = "\nOptions are specified in the form of: -o \"opt1=val1,opt2=val2,opt3=val3,...\"\n";
const std::string help_boot =
    "\nOptions for mode -B (boot):\n"
    "  dist_name      : set distribution name.\n"
    "  dist_vers      : set distribution version.\n"
    "  qpc_backend    : set qpc backend to use.\n"
    "  debug          : true: run in debug mode. This will produce loads of messages. Default is false\n"
    "  qpm_busybox    : busybox to install into the inventory. Default is /bin/busybox\n"
    "  qpc_plugin     : catalogue plug-in to copy into /usr/lib/qpm as the backend in use.\n"
    "  qpc_dirs       : package directories, ':'-separated, for /etc/qpc-dirs.conf.\n";

std::string machine()
{
    struct utsname info {};
    uname(&info);
    return info.machine;
}

// Every path below `dir` with the content of its regular files and the
// target of its links, to show that a run changed nothing.
std::map<std::string, std::string> snapshot(const std::string &dir)
{
    std::map<std::string, std::string> tree;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path &p = it->path();
        if (it->is_symlink())
            tree[p] = "-> " + fs::read_symlink(p).string();
        else if (it->is_regular_file())
            tree[p] = read_file(p);
        else
            tree[p] = "dir";
    }
    return tree;
}

// What a host path looks like, to show it was not touched.
std::string host_state(const char *path)
{
    struct stat st {};
    if (lstat(path, &st) != 0)
        return "absent";
    return std::to_string(st.st_mode) + ":" + std::to_string(st.st_size) + ":" +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

// A system root with /etc (the configuration goes there) and a home.
class QpmAdm : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(root.path() + "/etc");
        fs::create_directories(root.path() + "/root");
        host_conf = host_state("/etc/qpm.conf");
        host_inventory = host_state("/var/lib/qpm");
    }

    // Nothing is ever written outside the temporary root.
    void TearDown() override
    {
        EXPECT_EQ(host_state("/etc/qpm.conf"), host_conf);
        EXPECT_EQ(host_state("/var/lib/qpm"), host_inventory);
    }

    RunResult adm(std::vector<std::string> args, const std::string &stdin_text = "")
    {
        args.insert(args.begin(), QPM_ADM_EXE);
        RunOptions options;
        options.env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C", "QPM_ROOT=" + root.path(),
                       "HOME=" + root.path() + "/root"};
        options.stdin_text = stdin_text;
        options.cwd = root.path();
        return run_program(args, options);
    }

    // The way the end-to-end fixtures make an inventory.
    RunResult boot(const std::string &extra_options = "")
    {
        return adm({"-B", "-f", "-o", "qpm_busybox=" QPM_BUSYBOX + extra_options});
    }

    void install_backend()
    {
        fs::create_directories(root.path() + "/usr/lib/qpm");
        fs::copy_file(QPM_QPC_DIRS_SO, root.path() + "/usr/lib/qpm/qpc-dirs.so");
    }

    std::string conf() const { return root.path() + "/etc/qpm.conf"; }
    std::string inventory() const { return root.path() + "/var/lib/qpm"; }
    std::string scriptdir() const { return inventory() + "/scriptdir"; }
    std::string creating() const
    {
        return "Creating qpm inventory for QGL-2.7 (" + machine() + ") at " + inventory() + "...";
    }
    std::string default_conf() const
    {
        return "arch_name      = " + machine() + "\ndist_name      = QGL\ndist_vers      = 2.7\n";
    }

    ScratchDir root;
    ScratchDir outside; // files the user names on the command line
    std::string host_conf;
    std::string host_inventory;
};

TEST_F(QpmAdm, BootCreatesConfigurationDirectoriesAndBusybox)
{
    const RunResult r = boot();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, creating() + "done\n");
    EXPECT_EQ(read_file(conf()), default_conf());
    for (const char *dir : INVENTORY_DIRS) {
        struct stat st {};
        ASSERT_EQ(stat((inventory() + "/" + dir).c_str(), &st), 0) << dir;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << dir;
    }
    struct stat st {};
    ASSERT_EQ(stat((scriptdir() + "/busybox").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);

    // The applets point at the copy beside them, so they hold inside the root too.
    EXPECT_EQ(fs::read_symlink(scriptdir() + "/ash"), "busybox");
    const RunResult ash = run_program({scriptdir() + "/ash", "-c", "echo $((6 * 7))"});
    EXPECT_EQ(ash.status, 0);
    EXPECT_EQ(ash.out, "42\n");
}

TEST_F(QpmAdm, BootedAshRunsConfinedToTheRoot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: chroot";
    ASSERT_EQ(boot().status, 0);
    const RunResult r = run_program(
        {"/usr/sbin/chroot", root.path(), "/var/lib/qpm/scriptdir/ash", "-c", "cd /var/lib/qpm && echo *"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "certstore fileindex installed scriptdir stagearea\n");
}

TEST_F(QpmAdm, BootCopiesBusyboxExecutableWhateverTheSourceMode)
{
    // A stand-in busybox that is not executable where it lies.
    const std::string fake = outside / "busybox";
    write_file(fake, "#!/bin/sh\n[ \"$1\" = --install ] && ln -s \"$0\" \"$3/ash\"\n");
    chmod(fake.c_str(), 0644);
    const RunResult r = adm({"-B", "-f", "-o", "qpm_busybox=" + fake});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fs::status(scriptdir() + "/busybox").permissions(), fs::perms(0755));
    EXPECT_EQ(fs::read_symlink(scriptdir() + "/ash"), "busybox");
}

TEST_F(QpmAdm, BootWritesDistributionAndBackendAsGiven)
{
    install_backend();
    // The backend is loaded by its file name from the root's backend directory;
    // the configuration keeps the value as given.
    const RunResult r = boot(",dist_name=Test,dist_vers=9.1,qpc_backend=/elsewhere/qpc-dirs.so");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(conf()), "arch_name      = " + machine() +
                                     "\ndist_name      = Test\ndist_vers      = 9.1\n"
                                     "qpc_backend    = /elsewhere/qpc-dirs.so\n");
}

TEST_F(QpmAdm, BootFailsBeforeChangingAnythingOnBadInput)
{
    const auto before = snapshot(root.path());
    struct Case {
        std::string options;
        std::string err;
    };
    const Case cases[] = {
        {"qpm_busybox=/no/busybox", "failed to find busybox at /no/busybox: No such file or directory\n"},
        {"qpm_busybox=" QPM_BUSYBOX ",qpc_backend=/usr/lib/qpm/none.so",
         "Failed to load catalogue backend none.so\n"},
        {"qpm_busybox=" QPM_BUSYBOX ",dist_name=x\nqpc_backend=evil.so",
         "invalid value for dist_name: line breaks are not allowed\n"},
    };
    for (const Case &c : cases) {
        const RunResult r = adm({"-B", "-f", "-o", c.options});
        EXPECT_EQ(r.status, 255) << c.options;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(snapshot(root.path()), before) << c.options;
    }
}

TEST_F(QpmAdm, BootRefusesAnExistingRootOrConfiguration)
{
    write_file(conf(), "arch_name=any\n");
    auto before = snapshot(root.path());
    RunResult r = boot();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "file or directory " + conf() + " already exist, refusing\n");
    EXPECT_EQ(snapshot(root.path()), before);

    fs::remove(conf());
    fs::create_directories(inventory() + "/installed");
    before = snapshot(root.path());
    r = boot();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "file or directory " + inventory() + " already exist, refusing\n");
    EXPECT_EQ(snapshot(root.path()), before);
}

TEST_F(QpmAdm, FailingBusyboxInstallRemovesConfigurationAndRoot)
{
    const std::string fake = outside / "busybox";
    write_file(fake, "#!/bin/sh\nexit 1\n");
    const RunResult r = adm({"-B", "-f", "-o", "qpm_busybox=" + fake});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, creating() + "Failed to configure busybox using: '" + scriptdir() +
                         "/busybox' --install -s '" + scriptdir() + "'\n");
    EXPECT_FALSE(file_exists(conf()));
    EXPECT_FALSE(fs::exists(inventory()));
}

TEST_F(QpmAdm, FailingBusyboxCopyRemovesConfigurationAndRoot)
{
    // A directory can be found but not copied.
    const RunResult r = adm({"-B", "-f", "-o", "qpm_busybox=" + outside.path()});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, creating() + "Failed to install busybox to " + scriptdir() + "/busybox\n");
    EXPECT_FALSE(file_exists(conf()));
    EXPECT_FALSE(fs::exists(inventory()));
}

TEST_F(QpmAdm, BootAsksBeforeCreating)
{
    const std::string shown = "Inventory root: " + inventory() + "\nDistribution  : QGL-2.7\n" +
                              "Architecture  : " + machine() + "\n\n";
    const std::string question = "Do you want to initialize this inventory [Y/n] ? ";
    RunResult r = adm({"-B", "-o", "qpm_busybox=" QPM_BUSYBOX}, "n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, shown);
    EXPECT_EQ(r.err, question + "\n");
    EXPECT_FALSE(file_exists(conf()));
    EXPECT_FALSE(fs::exists(inventory()));

    r = adm({"-B", "-o", "qpm_busybox=" QPM_BUSYBOX}, "\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, question + creating() + "done\n");
    EXPECT_EQ(read_file(conf()), default_conf());
}

TEST_F(QpmAdm, BaseDirectoryIsTakenAsGiven)
{
    const std::string base = outside / "inventory";
    const RunResult r = adm({"-B", "-f", "-b", base, "-o", "qpm_busybox=" QPM_BUSYBOX});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_directory(base + "/scriptdir"));
    EXPECT_FALSE(fs::exists(inventory()));
    EXPECT_EQ(read_file(conf()), default_conf());

    const RunResult list = adm({"-L", "-v", "-b", base});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.err, "Opened package inventory at " + base + " using " + conf() + "\n");
}

TEST_F(QpmAdm, OptionHelpShowsTheBootSectionUnlessAnotherModeIsChosen)
{
    RunResult r = adm({"-o", "help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, help_general + help_boot + "\n");

    r = adm({"-B", "-f", "-o", "help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, help_general + help_boot + "\n");
    EXPECT_FALSE(file_exists(conf())); // help only: no boot

    r = adm({"-L", "-o", "help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, help_general + "\n");
}

TEST_F(QpmAdm, ListPrintsEverySettingOfTheConfiguration)
{
    write_file(conf(), "arch_name=x86_64\n# comment\ndist_name = \"Q G L\"\nqpc_backend=qpc-dirs.so\n");
    const RunResult r = adm({"-L"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "arch_name           : <x86_64>\n"
                     "dist_name           : <Q G L>\n"
                     "qpc_backend         : <qpc-dirs.so>\n");
    EXPECT_EQ(r.err, "");

    // With -v the parsed options come first.
    const RunResult v = adm({"-L", "-v", "-o", "a=1,b=two"});
    EXPECT_EQ(v.out, "a                   : <1>\nb                   : <two>\n" + r.out);
}

TEST_F(QpmAdm, QueryPrintsOneValueOrNothing)
{
    write_file(conf(), "arch_name=x86_64\ndist_name=QGL\n");
    RunResult r = adm({"-Q", "DIST_NAME"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "QGL\n");

    r = adm({"-Q", "dist_vers"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
}

TEST_F(QpmAdm, ListAndQueryFailWithoutAnInventory)
{
    RunResult r = adm({"-L"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Failed to open package inventory at " + inventory() + " using " + conf() + "\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, "");

    r = adm({"-Q", "dist_name"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Failed to open local package inventory\n"), std::string::npos) << r.err;
}

TEST_F(QpmAdm, BootedInventoryListsItsSettings)
{
    install_backend();
    ASSERT_EQ(boot(",qpc_backend=qpc-dirs.so").status, 0);
    const RunResult r = adm({"-L"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "arch_name           : <" + machine() +
                         ">\ndist_name           : <QGL>\ndist_vers           : <2.7>\n"
                         "qpc_backend         : <qpc-dirs.so>\n");
}

// One command makes a root that pqpm can use: its /etc and /var/log, the
// plug-in under the backend's name, and the catalogue's directories.
TEST_F(QpmAdm, BootSetsUpAnImageRootWithItsCatalogue)
{
    fs::remove_all(root.path() + "/etc");
    fs::create_directories(outside / "repo");
    // A relative directory is taken from where qpm-adm runs (the root here).
    RunResult r = boot(",qpc_plugin=" QPM_QPC_DIRS_SO ",qpc_dirs=" + outside.path() + "/repo/:rel::/srv/b");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, creating() + "done\n");
    EXPECT_EQ(read_file(conf()), default_conf());
    EXPECT_TRUE(fs::is_directory(root.path() + "/var/log"));
    EXPECT_EQ(read_file(root.path() + "/usr/lib/qpm/qpc-dirs.so"), read_file(QPM_QPC_DIRS_SO));
    EXPECT_EQ(read_file(root.path() + "/etc/qpc-dirs.conf"),
              outside.path() + "/repo/\n" + root.path() + "/rel\n/srv/b\n");

    // pqpm starts up, logs and connects to the catalogue in that root.
    RunOptions options;
    options.env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C", "QPM_ROOT=" + root.path(),
                   "HOME=" + root.path() + "/root"};
    r = run_program({QPM_PQPM_EXE, "refresh", "-o", "verbose=yes"}, options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "refreshed the package catalogue\n");
    EXPECT_TRUE(fs::is_regular_file(root.path() + "/var/log/qpm.log"));
}

TEST_F(QpmAdm, BootCopiesThePluginUnderTheBackendsName)
{
    const RunResult r = boot(",qpc_backend=/opt/x/libcat.so,qpc_plugin=" QPM_QPC_DIRS_SO);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_regular_file(root.path() + "/usr/lib/qpm/libcat.so"));
    EXPECT_FALSE(fs::exists(root.path() + "/usr/lib/qpm/qpc-dirs.so"));
    EXPECT_FALSE(fs::exists(root.path() + "/etc/qpc-dirs.conf"));
}

TEST_F(QpmAdm, CatalogueOptionsRefuseBeforeAnyChangeAndFailuresTakeEverythingBack)
{
    const std::string not_a_plugin = outside / "plugin.so";
    write_file(not_a_plugin, "text\n");
    write_file(root.path() + "/etc/qpc-dirs.conf", "/kept\n");
    const auto before = snapshot(root.path());
    struct Case {
        std::string options;
        std::string err;
    };
    const Case cases[] = {
        {",qpc_plugin=" + not_a_plugin, "Failed to load catalogue backend " + not_a_plugin + "\n"},
        {",qpc_dirs=/srv/repo",
         "file or directory " + root.path() + "/etc/qpc-dirs.conf already exist, refusing\n"},
    };
    for (const Case &c : cases) {
        const RunResult r = boot(c.options);
        EXPECT_EQ(r.status, 255) << c.options;
        EXPECT_TRUE(r.err.ends_with(c.err)) << r.err;
        EXPECT_EQ(snapshot(root.path()), before) << c.options;
    }

    // A failure after the set-up was made removes it with the inventory.
    fs::remove(root.path() + "/etc/qpc-dirs.conf");
    const auto empty = snapshot(root.path());
    const std::string fake = outside / "busybox";
    write_file(fake, "#!/bin/sh\nexit 1\n");
    const RunResult r =
        adm({"-B", "-f", "-o", "qpm_busybox=" + fake + ",qpc_plugin=" QPM_QPC_DIRS_SO ",qpc_dirs=/srv/repo"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("Failed to configure busybox"), std::string::npos) << r.err;
    EXPECT_EQ(snapshot(root.path()), empty);
}

TEST_F(QpmAdm, UnknownOptionKeyIsWarnedAndTheActionGoesOn)
{
    RunResult r = boot(",dist_nmae=x,QPC_DIRS=/srv/repo,DIST_NMAE=y");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "qpm-adm: ignoring unknown option dist_nmae for --boot\n" + creating() + "done\n");
    EXPECT_EQ(read_file(root.path() + "/etc/qpc-dirs.conf"), "/srv/repo\n");

    r = adm({"-Q", "dist_name", "-o", "dist_name=x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "QGL\n");
    EXPECT_EQ(r.err, "qpm-adm: ignoring unknown option dist_name for --query\n");
}

TEST_F(QpmAdm, CommandLineErrorsVersionAndUsage)
{
    RunResult r = adm({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "qpm-adm 2.0.121\n");
    EXPECT_EQ(r.out, "");

    r = adm({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No action specified\n");
    EXPECT_EQ(r.out, usage_text);

    r = adm({"-B", "-f", "-L"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "More than one action specified\n");
    EXPECT_EQ(r.out, usage_text);
    EXPECT_FALSE(file_exists(conf()));

    // The argument of -Q is itself an option: usage, status 0.
    r = adm({"-Q", "-v"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(r.out.find('\n')), usage_text.substr(usage_text.find('\n')));
}

} // namespace
