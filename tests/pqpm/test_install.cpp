// pqpm install run as the real binary in a sandbox root: packages from the
// catalogue and from files, scripts, hooks, conflicts, rollback and the lock.
#include "engine/inventory.h"
#include "support/sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>
#include <unistd.h>

using namespace qpm;
using namespace qpm::test;

namespace {

namespace fs = std::filesystem;

PackageSpec pkg(const std::string &name, std::vector<std::string> depends = {})
{
    PackageSpec pkg_spec;
    pkg_spec.name = name;
    pkg_spec.depends = std::move(depends);
    pkg_spec.file("data/usr/share/" + name + "/" + name + ".txt", name + "\n");
    return pkg_spec;
}

class PqpmInstall : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(box.ok()) << box.error(); }

    std::string inv(const std::string &path) const { return box.path("/var/lib/qpm/" + path); }
    bool installed(const std::string &name) const { return file_exists(inv("installed/" + name + "/inst.txt")); }
    void put(const std::string &path, const std::string &content) const
    {
        fs::create_directories(fs::path(box.path(path)).parent_path());
        write_file(box.path(path), content);
    }

    // The action log without its time stamps ("YYYY-MM-DD HH:MM:SS: ").
    std::vector<std::string> actions() const
    {
        std::vector<std::string> lines;
        std::istringstream in(read_file(inv("install.log")));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line.size() > 21 ? line.substr(21) : line);
        return lines;
    }

    std::vector<std::string> staged() const
    {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(inv("stagearea")))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // A name that no other sandbox uses, for markers that must not reach the host.
    std::string token() const { return fs::path(box.root()).filename().string(); }

    Sandbox box;
};

bool is_root() { return geteuid() == 0; }

} // namespace

TEST_F(PqpmInstall, DiamondInstallsEachPackageAfterItsDependencies)
{
    box.add_package(pkg("D"));
    box.add_package(pkg("C", {"D"}));
    box.add_package(pkg("B", {"D"}));
    box.add_package(pkg("A", {"B", "C"}));

    const RunResult r = box.pqpm({"install", "A"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "pqpm: A successfully installed\n");
    EXPECT_EQ(actions(), (std::vector<std::string>{"installed D_any_1.0 as dependency of B",
                                                   "installed C_any_1.0 as dependency of A",
                                                   "installed B_any_1.0 as dependency of A",
                                                   "installed A_any_1.0 as requested by user"}));
    const std::string a = read_file(inv("installed/A/inst.txt"));
    EXPECT_NE(a.find("eqpkInstallType: X\n"), std::string::npos);
    EXPECT_EQ(a.find("eqpkInstallHead"), std::string::npos);
    EXPECT_NE(read_file(inv("installed/D/inst.txt")).find("eqpkInstallType: D\neqpkInstallHead: B\n"),
              std::string::npos);
    EXPECT_EQ(read_file(box.path("/usr/share/D/D.txt")), "D\n");
    // Without fastclean every package file stays staged for later runs.
    EXPECT_EQ(staged(), (std::vector<std::string>{"A_any_1.0.qpk", "B_any_1.0.qpk", "C_any_1.0.qpk",
                                                  "D_any_1.0.qpk"}));

    const RunResult again = box.pqpm({"install", "A"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, "A is already installed\n");
    EXPECT_EQ(actions().size(), 4u);
}

TEST_F(PqpmInstall, InventoryHoldsDescriptionRecordHashesCopiesAndIndex)
{
    PackageSpec pkg_spec = pkg("full");
    pkg_spec.file("conf/etc/full.conf", "setting=1\n")
        .file("init/00-del.sh", "echo bye\n", 0755)
        .file("dump/seed.db", "seed\n");
    put("/etc/full.conf", "mine\n");
    put("/usr/share/full/full.txt", "nobody's\n"); // unowned: replaced by default
    box.add_package(pkg_spec);

    const RunResult r = box.pqpm({"install", "full"});
    EXPECT_EQ(r.out, "pqpm: full successfully installed\n") << r.err;
    const std::string dir = inv("installed/full");
    EXPECT_NE(read_file(dir + "/desc.txt").find("eqpkName: full\n"), std::string::npos);
    EXPECT_NE(read_file(dir + "/inst.txt").find("eqpkInstallTime: "), std::string::npos);
    for (const char *list : {"data", "init", "conf", "dump"})
        EXPECT_TRUE(file_exists(dir + "/hash/" + list + ".txt")) << list;
    EXPECT_EQ(read_file(dir + "/init/00-del.sh"), "echo bye\n");
    EXPECT_EQ(read_file(dir + "/conf/etc/full.conf"), "setting=1\n");
    EXPECT_EQ(read_file(dir + "/dump/seed.db"), "seed\n");
    EXPECT_EQ(read_file(inv("fileindex/full")), "/usr/share/full/full.txt\n");
    EXPECT_EQ(read_file(box.path("/usr/share/full/full.txt")), "full\n");
    EXPECT_EQ(read_file(box.path("/etc/full.conf")), "mine\n"); // existing configuration kept
}

TEST_F(PqpmInstall, PackageFileGivenAsPathInstalls)
{
    ScratchDir elsewhere;
    const std::string file = build_package(pkg("local"), elsewhere.path(), &box.signer());
    ASSERT_FALSE(file.empty());
    const RunResult r = box.pqpm({"install", file});
    EXPECT_EQ(r.out, "pqpm: " + file + " successfully installed\n") << r.err;
    EXPECT_TRUE(installed("local"));
    EXPECT_EQ(actions(), std::vector<std::string>{"installed local_any_1.0 as requested by user"});
}

TEST_F(PqpmInstall, FileOfAnotherPackageAbortsBeforeAnyChange)
{
    PackageSpec first = pkg("first");
    first.file("data/usr/bin/shared", "first\n");
    PackageSpec second = pkg("second");
    second.file("data/usr/bin/shared", "second\n");
    box.add_package(first);
    box.add_package(second);

    const RunResult r = box.pqpm({"install", "first", "second"});
    EXPECT_EQ(r.status, 1) << "a named package was not installed";
    EXPECT_EQ(r.out, "pqpm: first successfully installed\npqpm: failure installing second, rc: -1\n");
    EXPECT_EQ(read_file(box.path("/usr/bin/shared")), "first\n");
    EXPECT_FALSE(file_exists(box.path("/usr/share/second/second.txt")));
    EXPECT_FALSE(installed("second"));
    EXPECT_EQ(actions().size(), 1u);
}

TEST_F(PqpmInstall, ForeignArchitectureAndTamperedPackagesAreRefused)
{
    PackageSpec foreign = pkg("foreign");
    foreign.arch = "mips";
    const std::string foreign_file = box.add_package(foreign);
    const std::string tampered = box.add_package(pkg("tampered"));
    std::string bytes = read_file(tampered);
    bytes[bytes.size() - 5] ^= 0x20;
    write_file(tampered, bytes);

    const RunResult r = box.pqpm({"install", "foreign", foreign_file, "tampered"});
    EXPECT_EQ(r.status, 1) << "a named package was not installed";
    EXPECT_EQ(r.out, "foreign cannot be installed\n" + foreign_file +
                         " cannot be installed\npqpm: failure installing tampered, rc: -1\n");
    EXPECT_FALSE(file_exists(inv("installed/foreign")));
    EXPECT_FALSE(file_exists(inv("installed/tampered")));
    EXPECT_FALSE(file_exists(box.path("/usr/share/tampered")));
    EXPECT_FALSE(file_exists(inv("install.log")));
}

TEST_F(PqpmInstall, SecondRunCannotTakeTheLock)
{
    box.add_package(pkg("A"));
    ScopedSystemRoot sysroot(box.root());
    QpmPtr holder = qpm_open(nullptr, nullptr);
    ASSERT_TRUE(holder);
    ASSERT_EQ(qpm_lock(holder.get()), 0);

    const RunResult r = box.pqpm({"install", "A"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("failed to lock inventory"), std::string::npos) << r.err;
    EXPECT_FALSE(installed("A"));
    qpm_close(std::move(holder));
}

TEST_F(PqpmInstall, FastcleanLeavesTheStageAreaEmpty)
{
    box.add_package(pkg("B"));
    box.add_package(pkg("A", {"B"}));
    const RunResult r = box.pqpm({"install", "-o", "fastclean=yes", "A"});
    EXPECT_EQ(r.out, "pqpm: A successfully installed\n") << r.err;
    EXPECT_TRUE(installed("B"));
    EXPECT_TRUE(staged().empty());
}

TEST_F(PqpmInstall, ScriptsRunInsideTheRootWithTheirVariables)
{
    if (!is_root())
        GTEST_SKIP() << "needs root: chroot";
    const std::string mark = "/tmp/" + token();
    PackageSpec pkg_spec = pkg("scripted");
    pkg_spec.creator = "tester";
    pkg_spec.script("00-add.sh", "echo \"$QPK_NAME $QPK_VERSION $QPM_MODE $QPK_STAGE_NEW\" > " + mark + ".pre\n")
        .script("99-add.sh", "[ -f /usr/share/scripted/scripted.txt ] && echo \"$QPK_CREATOR $QPM_MODE\" > " +
                                 mark + ".post\n")
        .script("99-cfg.sh", "echo \"$QPK_NAME $QPM_QPKDIR ${QPM_MODE:-none}\" > " + mark + ".cfg\n");
    box.add_package(pkg_spec);

    const RunResult r = box.pqpm({"install", "scripted"});
    EXPECT_EQ(r.out, "pqpm: scripted successfully installed\n") << r.err;
    EXPECT_EQ(read_file(box.path(mark + ".pre")), "scripted 1.0 INSTALL /var/lib/qpm/stagearea/scripted_any_1.0/new\n");
    EXPECT_EQ(read_file(box.path(mark + ".post")), "tester INSTALL\n");
    EXPECT_EQ(read_file(box.path(mark + ".cfg")), "scripted /var/lib/qpm/installed/scripted none\n");
    for (const char *suffix : {".pre", ".post", ".cfg"})
        EXPECT_FALSE(file_exists(mark + suffix)) << "written outside the root: " << mark << suffix;
}

TEST_F(PqpmInstall, PostInstallFailureUndoesTheInstall)
{
    if (!is_root())
        GTEST_SKIP() << "needs root: chroot";
    put("/usr/bin/old", "old\n");
    PackageSpec pkg_spec = pkg("broken");
    pkg_spec.file("data/usr/bin/old", "new\n").file("conf/etc/broken.conf", "x\n").script("99-add.sh", "exit 3\n");
    box.add_package(pkg_spec);

    const RunResult r = box.pqpm({"install", "broken"});
    EXPECT_EQ(r.status, 1) << "a named package was not installed";
    EXPECT_EQ(r.out, "pqpm: failure installing broken, rc: 768\n");
    EXPECT_EQ(read_file(box.path("/usr/bin/old")), "old\n");
    EXPECT_FALSE(file_exists(box.path("/usr/share/broken/broken.txt")));
    EXPECT_FALSE(file_exists(box.path("/etc/broken.conf")));
    EXPECT_FALSE(file_exists(inv("installed/broken")));
    EXPECT_FALSE(file_exists(inv("fileindex/broken")));
    EXPECT_FALSE(file_exists(inv("install.log")));
}

TEST_F(PqpmInstall, FontHookRunsOncePerMatchingPackageAfterTheRun)
{
    if (!is_root())
        GTEST_SKIP() << "needs root: chroot";
    const std::string mark = "/tmp/" + token() + ".hooks";
    put("/etc/qpm/hooks.d/fonts.qph", "dn: eqphName=fonts\n"
                                      "eqphType: 99-cfg\n"
                                      "eqphName: fonts\n"
                                      "eqphCond: data:/usr/share/fonts/*\n"
                                      "eqphExec: /var/lib/qpm/scriptdir/ash -c 'echo ${eqpkName} >> " +
                                          mark + "'\n");
    PackageSpec fa = pkg("fa");
    fa.file("data/usr/share/fonts/misc/a.bdf", "a\n");
    PackageSpec fb = pkg("fb");
    fb.file("data/usr/share/fonts/deep/er/b.pcf", "b\n");
    box.add_package(fa);
    box.add_package(fb);
    box.add_package(pkg("plain"));

    const RunResult r = box.pqpm({"install", "fa", "plain", "fb"});
    EXPECT_EQ(r.out, "pqpm: fa successfully installed\nadded 1 hooks for fa\n"
                     "pqpm: plain successfully installed\n"
                     "pqpm: fb successfully installed\nadded 1 hooks for fb\n"
                     "executing 2 hooks\n")
        << r.err;
    EXPECT_EQ(read_file(box.path(mark)), "fa\nfb\n");
    EXPECT_FALSE(file_exists(mark)) << "hook ran outside the root";
}

TEST_F(PqpmInstall, SharedLibraryMakesLdconfigRun)
{
    if (!is_root())
        GTEST_SKIP() << "needs root: ldconfig -r chroots";
    if (!file_exists("/sbin/ldconfig"))
        GTEST_SKIP() << "no /sbin/ldconfig";
    PackageSpec lib = pkg("libx");
    lib.file("data/usr/lib/libx.so.1", "not really a library\n");
    box.add_package(pkg("plain"));
    box.add_package(lib);

    EXPECT_EQ(box.pqpm({"install", "plain"}).status, 0);
    EXPECT_FALSE(file_exists(box.path("/etc/ld.so.cache")));
    const RunResult r = box.pqpm({"install", "libx"});
    EXPECT_EQ(r.out, "pqpm: libx successfully installed\n") << r.err;
    EXPECT_TRUE(file_exists(box.path("/etc/ld.so.cache")));
}

// A failure after any phase of an install leaves the root exactly as it was
// before the run: files replaced or made, directories made, links, the
// configuration file, the record and the file index.
TEST_F(PqpmInstall, FailureAfterAnyPhaseLeavesTheRootAsItWas)
{
    PackageSpec pkg_spec = pkg("fx");
    pkg_spec.file("data/usr/bin/fx", "new fx\n", 0755)
        .file("data/usr/share/fx/deep/er/file", "deep\n")
        .file("conf/etc/fx.conf", "conf\n")
        .link("data/usr/lib/libfx.so", "libfx.so.1")
        .file("data/usr/lib/libfx.so.1", "lib\n");
    box.add_package(pkg_spec);
    put("/usr/bin/fx", "old fx, owned by nobody\n");
    // Everything but the logs and the stage area, where the fetched package
    // file stays for a later run.
    const std::vector<std::string> skip = {"/var/log", "/var/lib/qpm/stagearea", "/var/lib/qpm/lock"};
    const auto before = tree_snapshot(box.root(), skip);

    for (const char *point : {"install:stage", "install:apply", "install:scripts", "install:register"}) {
        SCOPED_TRACE(point);
        RunOptions options;
        options.extra_env = {std::string("QPM_FAULT=") + point};
        const RunResult r = box.pqpm({"install", "fx"}, options);
        EXPECT_EQ(r.out, "pqpm: failure installing fx, rc: -1\n") << r.err;
        EXPECT_EQ(tree_snapshot(box.root(), skip), before);
        EXPECT_FALSE(fs::exists(inv("stagearea/fx_any_1.0"))) << "the stage directory goes";
    }
    const RunResult r = box.pqpm({"install", "fx"});
    EXPECT_EQ(r.out, "pqpm: fx successfully installed\n") << r.err;
    EXPECT_EQ(read_file(box.path("/usr/bin/fx")), "new fx\n");
}

// The packages of one run are staged one after another in the same place:
// none sees what an earlier one unpacked, whether that one went in or was
// refused after its unpacking, and the run leaves no stage behind.
TEST_F(PqpmInstall, EachPackageOfARunUnpacksIntoAStageOfItsOwn)
{
    box.add_package(pkg("A").file("conf/etc/a.conf", "a=1\n"));
    box.add_package(pkg("B").file("data/usr/share/A/A.txt", "not B's\n").file("data/usr/share/B/extra", "b\n"));
    box.add_package(pkg("C"));
    PackageSpec conf_only;
    conf_only.name = "D";
    conf_only.file("conf/etc/d.conf", "d=1\n");
    box.add_package(conf_only);
    const RunResult r = box.pqpm({"install", "A", "B", "C", "D"});
    EXPECT_NE(r.status, 0) << "B takes a file of A";
    EXPECT_TRUE(installed("A"));
    EXPECT_FALSE(installed("B"));
    EXPECT_TRUE(installed("C"));
    EXPECT_EQ(read_file(inv("fileindex/C")), "/usr/share/C/C.txt\n");
    const std::string hashes = read_file(inv("installed/C/hash/data.txt"));
    EXPECT_EQ(std::count(hashes.begin(), hashes.end(), '\n'), 1) << hashes;
    EXPECT_FALSE(fs::exists(inv("installed/C/hash/conf.txt")));
    EXPECT_FALSE(fs::exists(box.path("/usr/share/B/extra")));
    EXPECT_TRUE(installed("D")) << "no data files, after packages that had some";
    EXPECT_FALSE(fs::exists(inv("installed/D/hash/data.txt")));
    EXPECT_EQ(read_file(box.path("/etc/d.conf")), "d=1\n");
    for (const auto &entry : fs::directory_iterator(inv("stagearea")))
        EXPECT_FALSE(entry.is_directory()) << entry.path();
}

// On a terminal each package gets one line, redrawn in place and ended when
// the package is done; in a pipe the output is exactly the designed one.
TEST_F(PqpmInstall, ProgressLineOnATerminalOnly)
{
    Sandbox tty_box;
    ASSERT_TRUE(tty_box.ok()) << tty_box.error();
    for (Sandbox *b : {&box, &tty_box}) {
        b->add_package(pkg("B").file("conf/etc/b.conf", "b=1\n"));
        b->add_package(pkg("A", {"B"}));
    }

    const RunResult piped = box.pqpm({"install", "A"});
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.out, "pqpm: A successfully installed\n");
    EXPECT_EQ(piped.err, "pqpm: installing A\ninstallation of B succeeded\ninstallation of A succeeded\n\n");

    RunOptions terminal;
    terminal.stderr_terminal = true;
    const RunResult shown = tty_box.pqpm({"install", "A"}, terminal);
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.out, piped.out);
    // Each package's last drawing shows all its data and configuration files
    // and ends with the line feed; the rest is the piped output unchanged.
    const std::string b_done = "\r[1/2] B 1.0: 6 B of 6 B, 2 files\033[K\n";
    const std::string a_done = "\r[2/2] A 1.0: 2 B of 2 B, 1 file\033[K\n";
    const size_t b_at = shown.err.find(b_done);
    const size_t a_at = shown.err.find(a_done);
    ASSERT_NE(b_at, std::string::npos) << shown.err;
    ASSERT_NE(a_at, std::string::npos) << shown.err;
    EXPECT_LT(b_at, a_at);
    const std::regex drawings("(\r[^\r\n]*\033\\[K)+\n");
    EXPECT_EQ(std::regex_replace(shown.err, drawings, ""), piped.err);
    EXPECT_TRUE(file_exists(tty_box.path("/var/lib/qpm/installed/A/inst.txt")));
}

TEST_F(PqpmInstall, UntrustedSignerIsNamedWithTheCommandThatTrustsIt)
{
    CertOptions subject;
    subject.subject = {{"CN", "Stranger"}, {"emailAddress", "stranger@example.org"}};
    const Signer stranger = make_signer(subject);
    build_package(pkg("S"), box.repo(), &stranger);
    const std::string hash = stranger.file_name().substr(0, 8);
    const RunResult r = box.pqpm({"install", "S"});
    EXPECT_EQ(r.out, "pqpm: failure installing S, rc: -1\n");
    const std::string designed = "Failure reading " + box.path("/var/lib/qpm/certstore/");
    const size_t at = r.err.find(designed);
    ASSERT_NE(at, std::string::npos) << r.err;
    const std::string hint = "Signer /CN=Stranger/emailAddress=stranger@example.org (subject hash " + hash +
                             ") is not in the keystore; to trust it, add its certificate: QPM_ROOT=" + box.root() +
                             " qpm-key -A CERTIFICATE.pem\n";
    // Right after the designed line (which carries its own line feed).
    EXPECT_EQ(r.err.find(hash + ".crt\n\n" + hint), at + designed.size()) << r.err;
    EXPECT_FALSE(installed("S"));
}

TEST_F(PqpmInstall, UnknownOptionIsWarnedOnceAndTheRunGoesOn)
{
    box.add_package(pkg("A"));
    const RunResult r = box.pqpm({"install", "-o", "verbos=yes,VARIANT=,verbos=no,Fastclean=yes", "A"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "pqpm: A successfully installed\n");
    EXPECT_TRUE(r.err.starts_with("pqpm: ignoring unknown option verbos for install\npqpm: installing A\n")) << r.err;
    EXPECT_EQ(r.err.find("ignoring", 10), std::string::npos) << r.err;
    EXPECT_TRUE(installed("A"));
    EXPECT_TRUE(staged().empty()); // fastclean was understood
}
