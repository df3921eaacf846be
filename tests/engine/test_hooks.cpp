#include "engine/hooks.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

using test::CaptureFd;
using test::ScratchDir;
using test::write_file;

const char *const fonts_hook = "dn: eqphName=fonts\n"
                               "eqphType: 99-cfg\n"
                               "eqphName: fonts\n"
                               "eqphCond: data:/usr/share/fonts/*\n"
                               "eqphExec: /usr/bin/fc-cache -f\n";

TEST(Hooks, OnlyRegularQphFilesAreReadIntoTheSet)
{
    ScratchDir dir;
    write_file(dir / "fonts.qph", fonts_hook);
    write_file(dir / "fonts.hook", fonts_hook);
    write_file(dir / "elsewhere.txt", fonts_hook);
    symlink((dir / "elsewhere.txt").c_str(), (dir / "x.qph").c_str());
    mkdir((dir / "sub.qph").c_str(), 0755);
    write_file(dir / "empty.qph", "");

    CaptureFd err(2);
    const EkvaList hooks = qpm_hooks_read(dir.path());
    const std::string messages = err.finish();

    ASSERT_EQ(hooks.size(), 1u);
    EXPECT_STREQ(ekva_getval(hooks[0].get(), "eqphType"), "99-cfg");
    EXPECT_STREQ(ekva_getval(hooks[0].get(), "eqphCond"), "data:/usr/share/fonts/*");
    EXPECT_STREQ(ekva_getval(hooks[0].get(), "eqphExec"), "/usr/bin/fc-cache -f");
    EXPECT_NE(messages.find("qpm_hooks_read: error reading hook from <" + dir / "empty.qph" + ">\n"),
              std::string::npos);
    EXPECT_EQ(messages.find("fonts.hook"), std::string::npos);
}

TEST(Hooks, MissingDirectoryGivesNoHooks)
{
    ScratchDir dir;
    EXPECT_TRUE(qpm_hooks_read(dir / "nowhere").empty());
}

TEST(Hooks, FileReferencesInAHookAreNotFollowed)
{
    ScratchDir dir;
    write_file(dir / "secret", "do not read me");
    write_file(dir / "ref.qph", "dn: eqphName=ref\neqphType: 99-cfg\neqphExec:< file://" + dir / "secret" + "\n");
    const EkvaPtr hook = qpm_hook_read(dir / "ref.qph");
    ASSERT_TRUE(hook);
    const char *exec = ekva_getval(hook.get(), "eqphExec");
    EXPECT_TRUE(!exec || std::string(exec).find("do not read") == std::string::npos);
}

TEST(Hooks, QphTestLooksAtTheExtensionAndTheFileType)
{
    ScratchDir dir;
    write_file(dir / "a.qph", fonts_hook);
    mkdir((dir / "d.qph").c_str(), 0755);
    EXPECT_EQ(qpm_file_is_qph(dir / "a.qph"), 1);
    EXPECT_EQ(qpm_file_is_qph(dir / "d.qph"), 0);
    EXPECT_EQ(qpm_file_is_qph(dir / "missing.qph"), 0);
    EXPECT_EQ(qpm_file_is_qph(dir / "a.qph.bak"), 0);

    CaptureFd err(2);
    EXPECT_FALSE(qpm_hook_read(dir / "missing.qph"));
    EXPECT_EQ(err.finish(), "qpm_hook_read: failure reading " + dir / "missing.qph" + "\n");
}

} // namespace
} // namespace qpm
