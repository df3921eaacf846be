// pqpm killed between the steps of a transaction, as the real binary in a
// sandbox root: the next run finishes the job (the pending journal) and
// removes what the stopped run left, whatever action it is.
#include "engine/pending.h"
#include "support/sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace qpm;
using namespace qpm::test;

namespace {

namespace fs = std::filesystem;

// A package with a data file, a configuration file and a configure script
// that appends (so a second run of it shows).
PackageSpec pkg(const std::string &name, const std::string &version, std::vector<std::string> depends = {})
{
    PackageSpec pkg_spec = versioned_package(name, version, std::move(depends));
    pkg_spec.file("conf/etc/" + name + ".conf", name + " " + version + "\n")
        .script("99-cfg.sh", "echo \"$QPK_NAME $QPK_VERSION\" >> /etc/" + name + ".configured\n");
    return pkg_spec;
}

class PqpmCrash : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: chroot for the configure scripts and hooks";
        ASSERT_TRUE(box.ok()) << box.error();
        fs::create_directories(box.path("/etc/qpm/hooks.d"));
        // A hook that appends one line per package it ran for.
        write_file(box.path("/etc/qpm/hooks.d/mark.qph"),
                   "dn: eqphName=mark\neqphName: mark\neqphType: 99-cfg\neqphCond: data:/usr/*\n"
                   "eqphExec: /var/lib/qpm/scriptdir/ash -c 'echo ${eqpkName} >> /etc/hooked'\n");
    }

    std::string inv(const std::string &path) const { return box.path("/var/lib/qpm/" + path); }
    std::string file(const std::string &path) const { return read_file(box.path(path)); }
    bool installed(const std::string &name) const { return file_exists(inv("installed/" + name + "/inst.txt")); }
    void publish(const PackageSpec &pkg_spec)
    {
        for (const auto &entry : fs::directory_iterator(box.repo()))
            if (entry.path().filename().string().rfind(pkg_spec.name + "_", 0) == 0)
                fs::remove(entry.path());
        box.add_package(pkg_spec);
    }
    RunResult killed_at(const std::string &point, const std::vector<std::string> &args) const
    {
        RunOptions options;
        options.extra_env = {"QPM_FAULT=kill@" + point};
        return box.pqpm(args, options);
    }
    // The action log without its time stamps.
    std::string actions() const
    {
        std::istringstream in(read_file(inv("install.log")));
        std::string out;
        for (std::string line; std::getline(in, line);)
            out += (line.size() > 21 ? line.substr(21) : line) + "\n";
        return out;
    }
    // Nothing owed, nothing left: no journal, no stage directory, no
    // hidden file of an interrupted write in the inventory or beside the
    // configuration files.
    void expect_clean() const
    {
        EXPECT_FALSE(file_exists(inv("pending")));
        for (const char *dir : {"/var/lib/qpm", "/var/lib/qpm/installed", "/var/lib/qpm/fileindex",
                                "/var/lib/qpm/stagearea", "/etc"})
            for (const auto &entry : fs::directory_iterator(box.path(dir)))
                EXPECT_FALSE(entry.path().filename().string().starts_with(".") ||
                             (std::string(dir).ends_with("stagearea") && entry.is_directory()))
                    << entry.path();
    }

    Sandbox box;
};

} // namespace

// Killed after the file index, after the record, and after the whole
// registration (before the log line, the configure scripts and the hooks):
// the rerun ends with every package installed once, one log line each, and
// each configure script and hook run exactly once.
TEST_F(PqpmCrash, KillBetweenRegistrationStepsConvergesOnRerun)
{
    const struct {
        const char *point;
        const char *completing; // the rerun's line, when something was owed
        const char *out;
    } cases[] = {
        {"install:index", nullptr, "pqpm: A successfully installed\nadded 2 hooks for A\nexecuting 2 hooks\n"},
        // Once B's record is written, B is installed and owed the rest; its
        // hook runs with it.
        {"install:register", "completing an interrupted run: action log of B, 99-cfg.sh of B, hook of B\n",
         "pqpm: A successfully installed\nadded 1 hooks for A\nexecuting 1 hooks\n"},
        {"install:registered", "completing an interrupted run: action log of B, 99-cfg.sh of B, hook of B\n",
         "pqpm: A successfully installed\nadded 1 hooks for A\nexecuting 1 hooks\n"},
    };
    publish(pkg("B", "1.0"));
    publish(pkg("A", "1.0", {"B"}));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.point);
        for (const char *path : {"/var/lib/qpm/installed/A", "/var/lib/qpm/installed/B", "/var/lib/qpm/fileindex/A",
                                 "/var/lib/qpm/fileindex/B", "/etc/hooked", "/etc/A.configured", "/etc/B.configured",
                                 "/etc/A.conf", "/etc/B.conf", "/var/lib/qpm/install.log", "/usr/share/A",
                                 "/usr/share/B"})
            fs::remove_all(box.path(path));

        // The dependency B is killed at the point.
        EXPECT_NE(killed_at(c.point, {"install", "A"}).status, 0);
        EXPECT_FALSE(installed("A"));

        const RunResult again = box.pqpm({"install", "A"});
        EXPECT_EQ(again.status, 0) << again.err;
        EXPECT_EQ(again.out, c.out);
        EXPECT_EQ(again.err.find("completing"), c.completing ? again.err.find(c.completing) : std::string::npos)
            << again.err;
        EXPECT_EQ(again.err.find("belongs to package"), std::string::npos) << again.err;
        EXPECT_EQ(again.err.find("before it was on disk"), std::string::npos) << "nothing was lost: " << again.err;
        EXPECT_TRUE(installed("A"));
        EXPECT_TRUE(installed("B"));
        EXPECT_EQ(read_file(inv("fileindex/B")), "/usr/share/B/version\n");
        EXPECT_EQ(actions(), "installed B_any_1.0 as dependency of A\ninstalled A_any_1.0 as requested by user\n");
        EXPECT_EQ(file("/etc/B.configured"), "B 1.0\n");
        EXPECT_EQ(file("/etc/A.configured"), "A 1.0\n");
        EXPECT_EQ(file("/etc/hooked"), "B\nA\n");
        expect_clean();
    }
}

// A power cut after the registration, before the run's sync, can leave a
// record whose files never reached the disk: the next run checks what the
// stopped run had not synced and names the package. A run that ended is
// synced and is not checked again.
TEST_F(PqpmCrash, FilesLostBeforeTheRunsSyncAreNamedByTheNextRun)
{
    publish(pkg("B", "1.0"));
    publish(pkg("A", "1.0", {"B"}));
    EXPECT_NE(killed_at("install:registered", {"install", "A"}).status, 0);
    ASSERT_TRUE(installed("B"));
    write_file(box.path("/usr/share/B/version"), ""); // what the cut left of it

    const RunResult r = box.pqpm({"install", "A"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("B_any_1.0 was registered by an interrupted run before it was on disk and its files differ "
                         "from its record: remove it and install it again"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(installed("A"));
    expect_clean();

    write_file(box.path("/usr/share/A/version"), "changed by hand\n");
    const RunResult later = box.pqpm({"cleanup"});
    EXPECT_EQ(later.err.find("interrupted run"), std::string::npos) << later.err;
}

// A run of more packages than one sync batch syncs a batch beside the
// packages that follow: it ends with every package in, logged once, and
// nothing left owed.
TEST_F(PqpmCrash, ARunLongerThanOneSyncBatchEndsWithNothingOwed)
{
    std::vector<std::string> args = {"install"};
    for (size_t i = 0; i < SYNC_BATCH + 6; ++i) {
        const std::string name = "P" + std::to_string(i);
        box.add_package(versioned_package(name, "1.0"));
        args.push_back(name);
    }
    const RunResult r = box.pqpm(args);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string expected;
    for (size_t i = 1; i < args.size(); ++i) {
        EXPECT_TRUE(installed(args[i])) << args[i];
        expected += "installed " + args[i] + "_any_1.0 as requested by user\n";
    }
    EXPECT_EQ(actions(), expected);
    expect_clean();
}

// A sync that fails (a disk reporting a write error) fails the run; the
// packages stay noted until a later run syncs and checks them.
TEST_F(PqpmCrash, AFailedSyncFailsTheRunAndLeavesThePackagesNoted)
{
    publish(pkg("A", "1.0"));
    RunOptions options;
    options.extra_env = {"QPM_FAULT=sync"};
    const RunResult r = box.pqpm({"install", "A"}, options);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("failed to sync"), std::string::npos) << r.err;
    EXPECT_NE(read_file(inv("pending")).find("eqpkPendingStep: sync"), std::string::npos);

    const RunResult later = box.pqpm({"cleanup"});
    EXPECT_EQ(later.status, 0) << later.err;
    EXPECT_EQ(later.err.find("interrupted run"), std::string::npos) << later.err;
    expect_clean();
}

// Killed after an update was registered: the pending steps are completed by
// the next run of any action, which says so in one line; steps of a
// registration that never finished are dropped, not run.
TEST_F(PqpmCrash, PendingStepsAreCompletedByTheNextRunOfAnyAction)
{
    const std::string completing = "completing an interrupted run: action log of A, 99-cfg.sh of A, hook of A\n";
    const std::vector<std::vector<std::string>> actions_run = {
        {"install", "Other"}, {"upgrade", "A"}, {"cleanup"}, {"refresh"}};
    int version = 1;
    publish(pkg("Other", "1.0"));
    publish(pkg("A", "1.0"));
    ASSERT_EQ(box.pqpm({"install", "A"}).status, 0);
    std::string expected_log = "installed A_any_1.0 as requested by user\n";
    std::string expected_cfg = "A 1.0\n";
    for (const auto &args : actions_run) {
        SCOPED_TRACE(args.front());
        const std::string from = std::to_string(version) + ".0";
        const std::string to = std::to_string(++version) + ".0";
        publish(pkg("A", to));
        fs::remove(box.path("/etc/hooked"));
        EXPECT_NE(killed_at("update:registered", {"upgrade", "A"}).status, 0);
        ASSERT_TRUE(file_exists(inv("pending")));
        EXPECT_EQ(file("/usr/share/A/version"), to + "\n");

        const RunResult r = box.pqpm(args);
        EXPECT_NE(r.err.find(completing), std::string::npos) << r.err;
        expected_log += "updated A_any_" + from + " to A_any_" + to + " as requested by user\n";
        expected_cfg += "A " + to + "\n";
        const bool other = args.front() == "install";
        if (other)
            expected_log += "installed Other_any_1.0 as requested by user\n";
        EXPECT_EQ(actions(), expected_log);
        EXPECT_EQ(file("/etc/A.configured"), expected_cfg);
        EXPECT_EQ(file("/etc/hooked"), other ? "A\nOther\n" : "A\n");
        EXPECT_FALSE(file_exists(inv("pending")));
    }

    // Owed steps of a record that never became live are dropped.
    write_file(inv("pending"), "dn: eqpkPending=1,dc=quendari,dc=org\neqpkPendingStep: configure\neqpkName: A\n"
                               "eqpkPuname: A_any_9.0\neqpkPendingValue: 99-cfg.sh\n\n");
    const RunResult r = box.pqpm({"cleanup"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.find("completing"), std::string::npos) << r.err;
    EXPECT_EQ(file("/etc/A.configured"), expected_cfg);
    EXPECT_FALSE(file_exists(inv("pending")));
}

// An update stopped after it wrote the new configuration file: the rerun
// finds the file already as this version ships it, not changed by the
// administrator, and writes no .qpk-new beside it.
TEST_F(PqpmCrash, UpdateStoppedAfterItsFilesConvergesWithoutAQpkNew)
{
    publish(pkg("A", "1.0"));
    ASSERT_EQ(box.pqpm({"install", "A"}).status, 0);
    publish(pkg("A", "2.0"));
    EXPECT_NE(killed_at("update:apply", {"upgrade", "A"}).status, 0);
    EXPECT_EQ(file("/etc/A.conf"), "A 2.0\n");
    const RunResult r = box.pqpm({"upgrade", "A"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(file("/etc/A.conf"), "A 2.0\n");
    EXPECT_FALSE(file_exists(box.path("/etc/A.conf.qpk-new")));
    EXPECT_EQ(r.out.find("changed locally"), std::string::npos) << r.out;
    expect_clean();
}

// What a stopped run leaves, recognisable by its name, goes with the next
// run; look-alikes stay.
TEST_F(PqpmCrash, LeftoversOfAStoppedRunAreRemovedByTheNextRun)
{
    publish(pkg("A", "1.0"));
    ASSERT_EQ(box.pqpm({"install", "A"}).status, 0);
    const std::vector<std::string> leftovers = {
        "/etc/.A.conf.qpm-ab12cd",                          // a configuration file being replaced
        "/var/lib/qpm/.pending.qpm-zz00zz",                 // the journal being replaced
        "/var/lib/qpm/installed/.A.new/inst.txt",           // the new half of a record swap
        "/var/lib/qpm/fileindex/.A.new",                    // and of an index swap
        "/var/lib/qpm/stagearea/A_any_2.0/new/conf/etc/A.conf", // a stage directory
        "/var/lib/qpm/stagearea/.A_any_2.0.qpk.qpm-q1w2e3", // a package file being fetched
        "/tmp/out.cmd_execAbC123",                          // a script's captured output
    };
    const std::vector<std::string> kept = {
        "/etc/.A.conf.qpm-AB12CD",          // not a name the tool makes
        "/etc/.A.conf.qpm-ab12c",           // too short
        "/etc/.profile",                    //
        "/var/lib/qpm/installed/.A.old/x",  // cleanup's to judge
        "/var/lib/qpm/stagearea/d.qpk/x",   // a directory, but not a stage directory
        "/var/lib/qpm/stagearea/odd/x",     // holds more than a stage does
        "/tmp/out.cmd_exec",                //
    };
    for (const auto *list : {&leftovers, &kept}) {
        for (const auto &path : *list) {
            fs::create_directories(fs::path(box.path(path)).parent_path());
            write_file(box.path(path), "x");
        }
    }
    // The root's /tmp, made by a run stopped before it set the mode.
    ASSERT_EQ(::chmod(box.path("/tmp").c_str(), 01755), 0);
    // A mount point made for a script's run, its marker still standing;
    // the image's own /dev (no marker) stays even when empty.
    if (!fs::exists(box.path("/proc")))
        fs::create_directory(box.path("/proc"));
    write_file(box.path("/var/lib/qpm/.made-proc"), "");
    fs::create_directories(box.path("/dev"));

    EXPECT_EQ(box.pqpm({"install", "Missing"}).status, 1);
    for (const auto &path : leftovers)
        EXPECT_FALSE(file_exists(box.path(path))) << path;
    EXPECT_FALSE(fs::exists(box.path("/var/lib/qpm/stagearea/A_any_2.0")));
    EXPECT_FALSE(fs::exists(box.path("/var/lib/qpm/installed/.A.new")));
    EXPECT_FALSE(fs::exists(box.path("/proc")));
    EXPECT_FALSE(fs::exists(box.path("/var/lib/qpm/.made-proc")));
    EXPECT_TRUE(fs::is_directory(box.path("/dev")));
    for (const auto &path : kept)
        EXPECT_TRUE(file_exists(box.path(path))) << path;
    struct stat st {};
    ASSERT_EQ(::stat(box.path("/tmp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777);
    EXPECT_TRUE(installed("A"));
    EXPECT_EQ(file("/etc/A.conf"), "A 1.0\n");
}
