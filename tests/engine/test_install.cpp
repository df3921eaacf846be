// Installing one package into a system root, and the two halves of an
// install request, driven in-process.
#include "engine/deps.h"
#include "engine/install.h"
#include "engine/install_run.h"
#include "engine/inventory.h"
#include "package/qpf.h"
#include "package/sha1.h"
#include "support/hostile_archive.h"
#include "support/inventory_fixture.h"
#include "support/package_fixture.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

using namespace qpm;
using namespace qpm::test;

namespace {

namespace fs = std::filesystem;

class Install : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(signer);
        fs::create_directories(root / "etc");
        write_file(root / "etc/qpm.conf", "arch_name = x86_64\n");
        ASSERT_TRUE(make_inventory_dirs(root / "var/lib/qpm"));
        signer.install(inventory("certstore"));
        sysroot.emplace(root.path());
        qpm = qpm_open(nullptr, nullptr);
        ASSERT_TRUE(qpm);
    }

    std::string inventory(const std::string &dir) const { return root / ("var/lib/qpm/" + dir); }
    std::string on_root(const std::string &path) const { return root.path() + path; }
    // A file on the target system, with its directories.
    void put(const std::string &path, const std::string &content) const
    {
        fs::create_directories(fs::path(on_root(path)).parent_path());
        write_file(on_root(path), content);
    }

    // The package built straight into the stage area, as a fetch leaves it.
    QpiPtr stage(const PackageSpec &pkg_spec)
    {
        const std::string path = build_package(pkg_spec, inventory("stagearea"), &signer);
        return path.empty() ? nullptr : qpm_qpf_info(qpm.get(), path, 1);
    }

    int install(const qpk_info *qpi, const std::string &head)
    {
        return qpi ? qpm_install_qpk(qpm.get(), record, qpi, head, 0) : -99;
    }

    ScratchDir root;
    Signer signer = make_signer();
    std::optional<ScopedSystemRoot> sysroot;
    QpmPtr qpm;
    qpt record;
};

PackageSpec named(const std::string &name, const std::string &arch = "any")
{
    PackageSpec pkg_spec;
    pkg_spec.name = name;
    pkg_spec.arch = arch;
    return pkg_spec;
}

PackageSpec tool_package()
{
    PackageSpec pkg_spec = named("tool");
    pkg_spec.file("data/usr/bin/tool", "#!/bin/sh\n", 0755)
        .file("data/usr/share/tool/readme", "read me\n")
        .file("conf/etc/tool.conf", "shipped\n")
        .file("dump/notes", "kept aside\n")
        .script("99-cfg.sh", "echo configured\n")
        .link("data/usr/bin/tl", "tool");
    return pkg_spec;
}

// `bytes` with the first `from` in the header description replaced.
std::string rewrite_header(const std::string &bytes, const std::string &from, const std::string &to)
{
    const size_t length = std::stoul(bytes.substr(6, 5));
    std::string description = bytes.substr(11, length);
    description.replace(description.find(from), from.size(), to);
    return make_qpk(description, bytes.substr(11 + length));
}

} // namespace

TEST_F(Install, RegistersFilesCopiesAndRecordAsDesigned)
{
    put("/etc/tool.conf", "mine\n");
    QpiPtr qpi = stage(tool_package());
    ASSERT_EQ(install(qpi.get(), "tool"), 0);

    EXPECT_EQ(read_file(on_root("/usr/bin/tool")), "#!/bin/sh\n");
    EXPECT_EQ(fs::status(on_root("/usr/bin/tool")).permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
    EXPECT_EQ(fs::read_symlink(on_root("/usr/bin/tl")), "tool");
    EXPECT_EQ(read_file(on_root("/etc/tool.conf")), "mine\n"); // an existing configuration file is kept
    EXPECT_FALSE(file_exists(on_root("/notes")));              // the dump tree stays in the inventory

    const std::string dir = inventory("installed/tool");
    const std::string index = read_file(inventory("fileindex/tool"));
    EXPECT_TRUE(index == "/usr/bin/tool\n/usr/share/tool/readme\n" || index == "/usr/share/tool/readme\n/usr/bin/tool\n")
        << index;
    const std::string inst = read_file(dir + "/inst.txt");
    EXPECT_NE(inst.find("eqpkInstallType: X\n"), std::string::npos);
    EXPECT_EQ(inst.find("eqpkInstallHead"), std::string::npos);
    EXPECT_EQ(read_file(dir + "/conf/etc/tool.conf"), "shipped\n");
    EXPECT_EQ(read_file(dir + "/dump/notes"), "kept aside\n");
    EXPECT_TRUE(file_exists(dir + "/init/99-cfg.sh"));
    EXPECT_TRUE(file_exists(dir + "/link.txt"));
    for (const char *list : {"data", "init", "conf", "dump"})
        EXPECT_TRUE(file_exists(dir + "/hash/" + list + ".txt")) << list;
    EXPECT_NE(read_file(dir + "/desc.txt").find("eqpkName: tool"), std::string::npos);

    // Configure script deferred under the package's name; stage directory gone, staged file kept.
    ASSERT_TRUE(record.scripts);
    EXPECT_STREQ(ekva_getval(record.scripts.get(), "tool"), "99-cfg.sh");
    EXPECT_FALSE(file_exists(inventory("stagearea/" + qpk_puname(*qpi))));
    EXPECT_TRUE(file_exists(inventory("stagearea/" + qpk_puname(*qpi) + ".qpk")));
}

TEST_F(Install, DependencyRecordNamesItsHeadAndNoDataMeansNoIndex)
{
    PackageSpec pkg_spec = named("docs");
    pkg_spec.file("dump/x", "x\n");
    QpiPtr qpi = stage(pkg_spec);
    ASSERT_EQ(install(qpi.get(), "viewer"), 0);
    const std::string inst = read_file(inventory("installed/docs/inst.txt"));
    EXPECT_NE(inst.find("eqpkInstallType: D\neqpkInstallHead: viewer\n"), std::string::npos);
    EXPECT_FALSE(file_exists(inventory("fileindex/docs")));
    EXPECT_FALSE(file_exists(inventory("installed/docs/hash/data.txt")));
}

TEST_F(Install, HeaderThatDiffersFromTheSignedDescriptionIsRefusedBeforeAnyCopy)
{
    PackageSpec pkg_spec = named("tool");
    pkg_spec.file("data/usr/bin/tool", "real\n");
    const std::string built = build_package(pkg_spec, root / "built", &signer);
    ASSERT_FALSE(built.empty());
    // Signature over the payload still holds: only the unsigned header lies.
    const std::string forged = inventory("stagearea/tool_any_9.9.qpk");
    write_file(forged, rewrite_header(read_file(built), "eqpkVersion: 1.0", "eqpkVersion: 9.9"));
    QpiPtr qpi = qpm_qpf_info(qpm.get(), forged, 1);
    ASSERT_TRUE(qpi);
    ASSERT_EQ(qpi->version, "9.9");

    EXPECT_EQ(install(qpi.get(), "tool"), -1);
    EXPECT_FALSE(file_exists(on_root("/usr/bin/tool")));
    EXPECT_FALSE(file_exists(inventory("installed/tool")));
}

TEST_F(Install, PackageWithoutSignedDescriptionNeedsTheConfigurationToRegisterTheHeader)
{
    const std::string content = "payload\n";
    const std::string payload = make_payload({file_entry("data/usr/bin/old", content),
                                              file_entry("hash/data.txt", sha1_data(content) + ":usr/bin/old\n")});
    const std::string path = inventory("stagearea/old_x86_64_1.0.qpk");
    write_package(path, basic_attributes("old", "1.0"), payload, &signer);
    QpiPtr qpi = qpm_qpf_info(qpm.get(), path, 1);
    ASSERT_TRUE(qpi);
    // Refused by default, its stage directory gone; taken on its header
    // when qpm.conf allows unsigned headers.
    EXPECT_EQ(install(qpi.get(), "old"), -1);
    EXPECT_FALSE(file_exists(inventory("installed/old")));
    EXPECT_FALSE(file_exists(on_root("/usr/bin/old")));
    EXPECT_FALSE(file_exists(inventory("stagearea/old_x86_64_1.0")));
    write_file(root / "etc/qpm.conf", "arch_name = x86_64\nqpm_unsigned_header=yes\n");
    qpm = qpm_open(nullptr, nullptr);
    ASSERT_TRUE(qpm && qpm->unsigned_header);
    ASSERT_EQ(install(qpi.get(), "old"), 0);

    const std::string bytes = read_file(path);
    const std::string header = bytes.substr(11, std::stoul(bytes.substr(6, 5)));
    EXPECT_EQ(read_file(inventory("installed/old/desc.txt")), header);
    EXPECT_TRUE(qpm_qpl_info(qpm.get(), "old"));
}

TEST_F(Install, StageDirectoryOfAnEarlierRunIsRemovedBeforeUnpacking)
{
    QpiPtr qpi = stage(tool_package());
    ASSERT_TRUE(qpi);
    const std::string stale = inventory("stagearea/" + qpk_puname(*qpi) + "/new/data/usr/bin/stale");
    fs::create_directories(fs::path(stale).parent_path());
    write_file(stale, "left over\n");

    ASSERT_EQ(install(qpi.get(), "tool"), 0);
    EXPECT_FALSE(file_exists(on_root("/usr/bin/stale")));
}

TEST_F(Install, FailedRegistrationUndoesFilesBackupsAndLinks)
{
    put("/usr/bin/tool", "someone else's\n");
    // The file index cannot be written where a directory stands.
    fs::create_directories(inventory("fileindex/tool"));
    QpiPtr qpi = stage(tool_package());

    EXPECT_EQ(install(qpi.get(), "tool"), -1);
    EXPECT_EQ(read_file(on_root("/usr/bin/tool")), "someone else's\n");
    EXPECT_FALSE(file_exists(on_root("/usr/share/tool/readme")));
    EXPECT_FALSE(fs::is_symlink(on_root("/usr/bin/tl")));
    EXPECT_FALSE(file_exists(on_root("/etc/tool.conf"))); // a new configuration file goes too
    EXPECT_FALSE(file_exists(inventory("installed/tool")));
    EXPECT_FALSE(file_exists(inventory("stagearea/" + qpk_puname(*qpi))));
}

TEST_F(Install, FailedCopyRestoresWhatWasReplaced)
{
    put("/usr/bin/tool", "before\n");
    put("/usr/share", "a file where a directory must go\n");
    QpiPtr qpi = stage(tool_package());

    EXPECT_EQ(install(qpi.get(), "tool"), -1);
    EXPECT_EQ(read_file(on_root("/usr/bin/tool")), "before\n");
    EXPECT_FALSE(file_exists(inventory("installed/tool")));
    EXPECT_FALSE(file_exists(inventory("fileindex/tool")));
}

TEST_F(Install, HookCommandsAreFiledForAfterTheRun)
{
    record.scripts = ekva_new(4, 3);
    ekva_addval(record.scripts, "tool", "/usr/bin/fc-cache -f", EKVA_APPEND);
    ekva_addval(record.scripts, "font", "/usr/bin/mkfontdir", EKVA_APPEND);
    EXPECT_EQ(qpm_scripts_exe(qpm.get(), record), 0);
    ASSERT_TRUE(record.qpm_hookcmds);
    EXPECT_EQ(ekva_nument(record.qpm_hookcmds.get()), 2);
    EXPECT_STREQ(ekva_getval(record.qpm_hookcmds.get(), "font"), "/usr/bin/mkfontdir");

    qpt empty;
    EXPECT_EQ(qpm_scripts_exe(qpm.get(), empty), 0);
    EXPECT_FALSE(empty.qpm_hookcmds);
}

TEST_F(Install, ConfigureScriptRunsInsideTheRootWithTheInstalledDescription)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: chroot";
    fs::copy_file("/bin/busybox", inventory("scriptdir/ash"));
    fs::create_directories(on_root("/tmp"));
    PackageSpec pkg_spec = named("tool");
    pkg_spec.script("99-cfg.sh", "echo \"$QPK_NAME $QPK_VERSION $QPM_QPKDIR $PWD\" > /configured\n");
    QpiPtr qpi = stage(pkg_spec);
    ASSERT_EQ(install(qpi.get(), "tool"), 0);
    EXPECT_FALSE(file_exists(on_root("/configured"))); // deferred
    EXPECT_EQ(qpm_scripts_exe(qpm.get(), record), 0);
    EXPECT_EQ(read_file(on_root("/configured")), "tool 1.0 /var/lib/qpm/installed/tool /var/lib/qpm/scriptdir\n");
    EXPECT_EQ(std::getenv("QPK_NAME"), nullptr);
}

TEST(ScriptEnv, OldNewAndPlainVariablesComeAndGo)
{
    qpk_info old_qpi;
    old_qpi.name = "tool";
    old_qpi.version = "1.0";
    old_qpi.architecture = QPM_ARCH_ANY;
    old_qpi.description = "old one";
    qpk_info new_qpi = old_qpi;
    new_qpi.variant = "tiny";
    new_qpi.version = "2.0";
    new_qpi.architecture = QPM_ARCH_X86_64;
    new_qpi.description = std::string(3000, 'd');
    new_qpi.dependencies = {"libc", "zlib"};

    StrArr env = qpm_scriptenv_add(&old_qpi, &new_qpi);
    EXPECT_EQ(env.front(), "QPK_NAME=tool");
    EXPECT_STREQ(std::getenv("QPK_VERSION_OLD"), "1.0");
    EXPECT_STREQ(std::getenv("QPK_VERSION"), "2.0");
    EXPECT_STREQ(std::getenv("QPK_VERSION_NEW"), "2.0");
    EXPECT_STREQ(std::getenv("QPK_ARCHITECTURE_OLD"), "any");
    EXPECT_STREQ(std::getenv("QPK_VARIANT"), "tiny");
    EXPECT_EQ(std::getenv("QPK_VARIANT_OLD"), nullptr); // the old build had none
    EXPECT_STREQ(std::getenv("QPK_DEPENDENCIES"), "libc zlib");
    EXPECT_EQ(std::string(std::getenv("QPK_DESCRIPTION")).size(), 1950u);
    qpm_scriptenv_del(env);
    EXPECT_TRUE(env.empty());
    EXPECT_EQ(std::getenv("QPK_NAME"), nullptr);
    EXPECT_EQ(std::getenv("QPK_DESCRIPTION_NEW"), nullptr);

    EXPECT_TRUE(qpm_scriptenv_add(nullptr, nullptr).empty());
    env = qpm_scriptenv_add(&old_qpi, nullptr); // a removal: the plain names carry the old values
    EXPECT_STREQ(std::getenv("QPK_VERSION"), "1.0");
    EXPECT_EQ(std::getenv("QPK_VERSION_NEW"), nullptr);
    qpm_scriptenv_del(env);
}

TEST_F(Install, RunNeedsTheLockAndPlansNothingForAnInstalledPackage)
{
    PackageSpec pkg_spec = named("tool");
    pkg_spec.file("data/usr/bin/tool", "x\n");
    const std::string file = build_package(pkg_spec, root / "pkgs", &signer);
    QptPtr t;
    ASSERT_TRUE(qpm_pre_install(qpm.get(), nullptr, file, std::nullopt, std::nullopt, {}, t));
    EXPECT_EQ(t->source, 'L');
    EXPECT_EQ(qpm_exe_install(qpm.get(), *t, nullptr, 0, 0), -1); // no lock
    EXPECT_FALSE(file_exists(on_root("/usr/bin/tool")));

    ASSERT_EQ(qpm_lock(qpm.get()), 0);
    ASSERT_EQ(qpm_exe_install(qpm.get(), *t, nullptr, 0, 0), 0);
    EXPECT_EQ(read_file(on_root("/usr/bin/tool")), "x\n");
    EXPECT_TRUE(file_exists(inventory("stagearea/tool_any_1.0.qpk"))); // kept without fastclean
    EXPECT_EQ(qpm_pre_install(qpm.get(), nullptr, file, std::nullopt, std::nullopt, {}, t), nullptr);
    EXPECT_FALSE(t);
}

TEST_F(Install, PackageFileChangedAfterPlanningIsRefused)
{
    PackageSpec pkg_spec = named("tool");
    pkg_spec.file("data/usr/bin/tool", "x\n");
    const std::string file = build_package(pkg_spec, root / "pkgs", &signer);
    QptPtr t;
    ASSERT_TRUE(qpm_pre_install(qpm.get(), nullptr, file, std::nullopt, std::nullopt, {}, t));
    // Same size, other bytes.
    std::string bytes = read_file(file);
    bytes.back() ^= 1;
    write_file(file, bytes);

    ASSERT_EQ(qpm_lock(qpm.get()), 0);
    EXPECT_EQ(qpm_exe_install(qpm.get(), *t, nullptr, 0, 1), -1);
    EXPECT_FALSE(file_exists(on_root("/usr/bin/tool")));
    EXPECT_FALSE(file_exists(inventory("stagearea/tool_any_1.0.qpk")));
}

TEST_F(Install, PackageForAnotherArchitectureIsNotPlanned)
{
    PackageSpec pkg_spec = named("tool", "mips");
    pkg_spec.file("data/usr/bin/tool", "x\n");
    const std::string file = build_package(pkg_spec, root / "pkgs", &signer);
    QptPtr t;
    EXPECT_EQ(qpm_pre_install(qpm.get(), nullptr, file, std::nullopt, std::nullopt, {}, t), nullptr);
    EXPECT_FALSE(t);
}
