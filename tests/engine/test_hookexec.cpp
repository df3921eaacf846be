#include "engine/hookexec.h"

#include "engine/deps.h"
#include "engine/hooks.h"
#include "engine/inventory.h"
#include "package/qpk_info.h"
#include "support/inventory_fixture.h"
#include "support/test_support.h"
#include "util/raii.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utility>

namespace qpm {
namespace {

using test::read_file;
using test::ScratchDir;

EkvaPtr hook(const char *type, const char *name, const char *cond, const char *exec)
{
    EkvaPtr e = ekva_new(10, 3);
    if (type)
        ekva_addval(e, "eqphType", type, 0);
    if (name)
        ekva_addval(e, "eqphName", name, 0);
    if (cond)
        ekva_addval(e, "eqphCond", cond, 0);
    if (exec)
        ekva_addval(e, "eqphExec", exec, 0);
    return e;
}

QpiPtr package(const std::string &name)
{
    return test::make_record(name, "1.0", QPM_ARCH_X86_64, std::nullopt, {}, "a package");
}

class HookExec : public ::testing::Test {
protected:
    bool logged(const std::string &text) const { return m_log.has(text); }
    void add_hook(EkvaPtr e) { m_handle.hooks.push_back(std::move(e)); }
    StrArr parse(const std::string &name, const StrArr &data, const StrArr &conf = {}, const StrArr &dump = {})
    {
        const QpiPtr qpi = package(name);
        return qpm_hooks_parse(&m_handle, qpi.get(), QPM_HOOK_TYPE_CFG, data, conf, dump);
    }

    ScratchDir m_dir;
    test::LogFile m_log{m_dir / "qpm.log"};
    qpm_handle m_handle;
};

TEST_F(HookExec, FontsHookFromAHookFileMatchesFilesBelowTheDirectory)
{
    const std::string hooks_dir = m_dir / "hooks.d";
    ASSERT_EQ(mkdir(hooks_dir.c_str(), 0755), 0);
    test::write_file(hooks_dir + "/fonts.qph", "dn: eqphName=fonts\n"
                                               "eqphName: fonts\n"
                                               "eqphType: 99-cfg\n"
                                               "eqphCond: data:/usr/share/fonts/*\n"
                                               "eqphExec: /usr/bin/fc-cache -f '${eqpkName}'\n");
    m_handle.hooks = qpm_hooks_read(hooks_dir);
    ASSERT_EQ(m_handle.hooks.size(), 1u);

    EXPECT_EQ(parse("fonts-dejavu", {"/usr/share/doc/x", "/usr/share/fonts/truetype/dejavu/a.ttf"}),
              StrArr {"/usr/bin/fc-cache -f 'fonts-dejavu'"});
    EXPECT_TRUE(parse("tool", {"/usr/bin/tool"}).empty());
    EXPECT_TRUE(parse("empty", {}).empty());
}

TEST_F(HookExec, DataConfAndDumpConditionsLookAtTheirOwnList)
{
    add_hook(hook("99-cfg", "any-data", "data:*", "/bin/data"));
    add_hook(hook("99-cfg", "conf", "conf:/etc/*.conf", "/bin/conf"));
    add_hook(hook("99-cfg", "dump", "dump:/var/dump/*", "/bin/dump"));
    EXPECT_EQ(parse("p", {"/x"}), StrArr {"/bin/data"});
    EXPECT_EQ(parse("p", {}, {"/etc/p.conf"}), StrArr {"/bin/conf"});
    EXPECT_EQ(parse("p", {}, {"/var/dump/a"}, {"/var/dump/a"}), StrArr {"/bin/dump"});
    EXPECT_TRUE(parse("p", {}).empty());
}

TEST_F(HookExec, AttributeConditionGlobsTheNamedAttribute)
{
    add_hook(hook("99-cfg", "libs", "attr:eqpkName=lib*", "/sbin/libhook ${eqpkName}"));
    EXPECT_EQ(parse("libfoo", {}), StrArr {"/sbin/libhook libfoo"});
    EXPECT_TRUE(parse("foolib", {}).empty());

    const QpiPtr qpi = package("libfoo");
    const EkvaPtr attrs = qpk_info_ekva(qpi.get(), QPK_KIND_FILE);
    EXPECT_EQ(qpm_hook_match_attr(attrs.get(), "EQPKNAME=lib*"), 1); // names ignore case
    EXPECT_EQ(qpm_hook_match_attr(attrs.get(), "eqpkDescription=a=b"), 0);
    EXPECT_EQ(qpm_hook_match_attr(attrs.get(), "eqpkName"), 0);
    EXPECT_TRUE(logged("qpm_hook_match_attr: parsed cond: <eqpkName> is not a valid attribute condition"));
}

TEST_F(HookExec, PatternIsFilledFromThePackageBeforeMatching)
{
    add_hook(hook("99-cfg", "own-dir", "data:/usr/share/$eqpkName/*", "/bin/own"));
    EXPECT_EQ(parse("foo", {"/usr/share/foo/x"}), StrArr {"/bin/own"});
    EXPECT_TRUE(parse("bar", {"/usr/share/foo/x"}).empty());
}

TEST_F(HookExec, MalformedUnknownAndInfoConditionsNeverMatch)
{
    add_hook(hook("99-cfg", "short", "data:", "/bin/short"));
    add_hook(hook("99-cfg", "colon", "data-*", "/bin/colon"));
    add_hook(hook("99-cfg", "info", "info:*", "/bin/info"));
    add_hook(hook("99-cfg", "unknown", "file:*", "/bin/unknown"));
    add_hook(hook("99-cfg", "no-cond", nullptr, "/bin/no-cond"));
    add_hook(hook("99-cfg", "no-exec", "data:*", nullptr));
    EXPECT_TRUE(parse("p", {"/x"}).empty());
    EXPECT_TRUE(logged("qpm_hooks_parse: invalid cond\n"));
    EXPECT_TRUE(logged("qpm_hooks_parse: invalid cond <data-*>"));
    EXPECT_TRUE(logged("qpm_hooks_parse: unknown cond type: <file>"));
    EXPECT_TRUE(logged("qpm_hooks_parse: no hook cond"));
    EXPECT_TRUE(logged("qpm_hooks_parse: no hook exec"));
}

TEST_F(HookExec, EachMatchingHookOfTheTypeAddsOneCommandInHookOrder)
{
    add_hook(hook("00-pre", "other-type", "data:*", "/bin/other-type"));
    add_hook(hook("99-cfg", "first", "data:*", "/bin/first"));
    add_hook(hook("99-cfg", "second", "attr:eqpkName=*", "/bin/second"));
    // Several files match, the hook still adds its command once.
    EXPECT_EQ(parse("p", {"/a", "/b"}), (StrArr {"/bin/first", "/bin/second"}));
}

TEST_F(HookExec, NoHookSetMatchesNothing)
{
    EXPECT_TRUE(parse("p", {"/a"}).empty());
    EXPECT_TRUE(logged("qpm_hooks_parse: no hooks."));
}

TEST_F(HookExec, GatheredCommandsRunInOrderAndAFailureStopsNone)
{
    EkvaPtr cmds = ekva_new(5, 3);
    ekva_addval(cmds, "a", "/bin/false", 0);
    ekva_addval(cmds, "b", "/bin/ok", 0);
    EkvaPtr run_list;
    EXPECT_EQ(add_hookcmds(run_list, nullptr), 0);
    EXPECT_EQ(add_hookcmds(run_list, cmds.get()), 2);
    EXPECT_EQ(add_hookcmds(run_list, cmds.get()), 2); // the same command again runs again
    ASSERT_TRUE(run_list);
    EXPECT_EQ(ekva_nument(run_list.get()), 4);

    StrArr ran;
    CmdRunner saved = qpm_hook_runner_set([&](const std::string &command) {
        ran.push_back(command);
        return command == "/bin/false" ? 256 : 0;
    });
    ScopeGuard restore([&] { qpm_hook_runner_set(std::move(saved)); });
    EXPECT_EQ(qpm_exe_hooks(run_list.get()), 0);
    EXPECT_EQ(ran, (StrArr {"/bin/false", "/bin/ok", "/bin/false", "/bin/ok"}));
    EXPECT_TRUE(logged("Configured a, rc = 256"));
    EXPECT_TRUE(logged("Configured b, rc = 0"));
}

TEST_F(HookExec, DefaultRunnerRunsTheCommandThroughTheShell)
{
    const std::string marker = m_dir / "ran";
    EkvaPtr run_list = ekva_new(20, 3);
    ekva_addval(run_list, "p", "/bin/sh -c 'echo $0 > " + marker + "' hooked", 0);
    EXPECT_EQ(qpm_exe_hooks(run_list.get()), 0);
    EXPECT_EQ(read_file(marker), "hooked\n");
    EXPECT_EQ(qpm_exe_hooks(nullptr), 0);
}

TEST_F(HookExec, HookCommandsOfATransactionAreReleased)
{
    qpt t;
    t.qpm_hookcmds = ekva_new(5, 3);
    ekva_addval(t.qpm_hookcmds, "p", "/bin/x", 0);
    EXPECT_EQ(qpm_hookcmds_del(&m_handle, t), 0);
    EXPECT_FALSE(t.qpm_hookcmds);
    EXPECT_TRUE(logged("qpm_hookcmds_del: found 1 scripts to delete"));
}

} // namespace
} // namespace qpm
