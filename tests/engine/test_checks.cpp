#include "engine/checks.h"

#include "engine/inventory.h"
#include "package/sha1.h"
#include "support/test_support.h"
#include "ui/ui.h"
#include "util/globals.h"
#include "util/raii.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace qpm {
namespace {

using test::read_file;
using test::ScratchDir;

void put(const std::string &path, const std::string &content)
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    test::write_file(path, content);
}

StrArr sorted(StrArr files)
{
    std::sort(files.begin(), files.end());
    return files;
}

// The log to a file, the interface on files of the test, and the globals
// the checks touch, all put back afterwards.
class ChecksFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_saved_ui = std::exchange(qpmui, qpmui_init("test", 7));
        m_in.reset(std::tmpfile());
        m_err.reset(std::tmpfile());
        qpmui->in = m_in.get();
        qpmui->err = m_err.get();
        m_saved_vote = vote_mode;
        m_saved_have_so = have_so;
        have_so = 0;
    }
    void TearDown() override
    {
        qpmui = std::move(m_saved_ui);
        vote_mode = m_saved_vote;
        have_so = m_saved_have_so;
    }

    bool logged(const std::string &text) const { return m_log.has(text); }
    // The answers typed at the questions, in interaction mode 1.
    void answer(const std::string &lines)
    {
        vote_mode = 1;
        std::fputs(lines.c_str(), m_in.get());
        std::rewind(m_in.get());
    }
    std::string prompts() { return test::stream_text(m_err.get()); }

    ScratchDir m_dir;
    test::LogFile m_log{m_dir / "qpm.log"};
    QpmUiPtr m_saved_ui;
    FilePtr m_in;
    FilePtr m_err;
    int m_saved_vote = 3;
    int m_saved_have_so = 0;
};

// An unpacked package: trees under new/ and hash lists as the builder
// writes them ("<sha1>:<path without its leading slash>").
class TreeVerify : public ChecksFixture {
protected:
    std::string tree() const { return m_dir / "new"; }
    void add(const std::string &tree_name, const std::string &path, const std::string &content)
    {
        put(tree() + "/" + tree_name + path, content);
        list(tree_name, path, content);
    }
    void list(const std::string &tree_name, const std::string &path, const std::string &content)
    {
        m_lists[tree_name] += sha1_data(content) + ":" + path.substr(1) + "\n";
        put(tree() + "/hash/" + tree_name + ".txt", m_lists[tree_name]);
    }

    std::map<std::string, std::string> m_lists;
};

TEST_F(TreeVerify, VerifiedTreeYieldsEveryPath)
{
    add("data", "/usr/bin/tool", "tool\n");
    add("data", "/usr/share/doc/tool/README", "read me\n");
    add("data", "/usr/share/doc/tool/COPY", "read me\n"); // same content, listed under both paths
    StrArr files;
    EXPECT_EQ(qpm_chk_sub_files(tree(), "data", files), 0);
    EXPECT_EQ(sorted(files), (StrArr {"/usr/bin/tool", "/usr/share/doc/tool/COPY", "/usr/share/doc/tool/README"}));
}

// With the record of the unpacking, a file's digest is the one taken while
// it was written (the disk is not read again); a name without one (a link)
// is read from the disk; a tree that is not a directory fails.
TEST_F(TreeVerify, RecordOfTheUnpackingDecidesWithoutReadingFilesAgain)
{
    add("data", "/usr/bin/tool", "tool\n");
    add("data", "/usr/bin/other", "other\n");
    put(tree() + "/data/usr/bin/tool", "changed on disk after the unpacking\n");
    UnpackedFiles record = {{"data/usr/bin/tool", sha1_data("tool\n")}, {"data/usr/bin/other", ""}};
    StrArr files;
    EXPECT_EQ(qpm_chk_sub_files(tree(), "data", files, &record), 0);
    EXPECT_EQ(files, (StrArr{"/usr/bin/tool", "/usr/bin/other"})) << "in archive order";

    record[0].digest = sha1_data("tampered\n");
    EXPECT_EQ(qpm_chk_sub_files(tree(), "data", files, &record), 1);
    record.push_back({"data/usr/bin/gone", ""});
    EXPECT_NE(qpm_chk_sub_files(tree(), "data", files, &record), 0);

    const UnpackedFiles tree_is_a_file = {{"data", sha1_data("x")}};
    EXPECT_EQ(qpm_chk_sub_files(tree(), "data", files, &tree_is_a_file), -1);
}

TEST_F(TreeVerify, ChangedByteFailsTheTree)
{
    add("data", "/usr/bin/tool", "tool\n");
    add("data", "/usr/bin/other", "other\n");
    put(tree() + "/data/usr/bin/tool", "toal\n");
    StrArr files;
    EXPECT_EQ(qpm_chk_sub_files(tree(), "data", files), 1);
    EXPECT_TRUE(files.empty());
    EXPECT_TRUE(logged("qpm_chk_files: verify of data/usr/bin/tool failed: file not found in data.txt or hashes "
                       "do not match"));
}

TEST_F(TreeVerify, ContentListedOnlyUnderAnotherPathFails)
{
    add("conf", "/etc/a.conf", "same\n");
    put(tree() + "/conf/etc/b.conf", "same\n");
    StrArr files;
    EXPECT_EQ(qpm_chk_sub_files(tree(), "conf", files), 1);
    EXPECT_TRUE(files.empty());
    EXPECT_TRUE(logged("qpm_chk_sub_files: verify of conf / /etc/b.conf failed: file not found in conf.txt"));
}

TEST_F(TreeVerify, ListedFileMissingFromTheTreeFails)
{
    add("data", "/usr/bin/tool", "tool\n");
    list("data", "/usr/bin/gone", "gone\n");
    StrArr files;
    EXPECT_EQ(qpm_chk_sub_files(tree(), "data", files), 1);
    EXPECT_TRUE(files.empty());
    EXPECT_TRUE(logged("verify of data/usr/bin/gone failed"));

    list("init", "/99-add.sh", "echo\n"); // a tree whose every file is gone
    EXPECT_EQ(qpm_chk_sub_files(tree(), "init", files), 1);
}

TEST_F(TreeVerify, SymlinkOrFifoInPlaceOfAFileFails)
{
    add("data", "/usr/bin/tool", "tool\n");
    add("data", "/usr/bin/pipe", "pipe\n");
    ASSERT_EQ(unlink((tree() + "/data/usr/bin/tool").c_str()), 0);
    ASSERT_EQ(symlink("/etc/passwd", (tree() + "/data/usr/bin/tool").c_str()), 0);
    StrArr files;
    EXPECT_NE(qpm_chk_sub_files(tree(), "data", files), 0);
    EXPECT_TRUE(files.empty());
    EXPECT_TRUE(logged("qpm_chk_sub_files: Failure hashing data files"));

    ASSERT_EQ(unlink((tree() + "/data/usr/bin/tool").c_str()), 0);
    put(tree() + "/data/usr/bin/tool", "tool\n");
    ASSERT_EQ(unlink((tree() + "/data/usr/bin/pipe").c_str()), 0);
    ASSERT_EQ(mkfifo((tree() + "/data/usr/bin/pipe").c_str(), 0644), 0);
    EXPECT_NE(qpm_chk_sub_files(tree(), "data", files), 0);
    EXPECT_TRUE(files.empty());
}

TEST_F(TreeVerify, TreeWithoutFilesPassesButFilesWithoutListFail)
{
    StrArr files {"stale"};
    EXPECT_EQ(qpm_chk_sub_files(tree(), "dump", files), 0);
    EXPECT_TRUE(files.empty());

    put(tree() + "/dump/var/x", "x\n");
    EXPECT_EQ(qpm_chk_sub_files(tree(), "dump", files), -1);
    EXPECT_TRUE(logged("qpm_chk_sub_files: Failure reading hash values for dump in package"));
    put(tree() + "/hash/dump.txt", "");
    EXPECT_EQ(qpm_chk_sub_files(tree(), "dump", files), -1);
}

TEST_F(TreeVerify, VersionedSharedLibrarySetsHaveSo)
{
    add("data", "/usr/lib/libx.so", "lib\n");
    StrArr files;
    ASSERT_EQ(qpm_chk_sub_files(tree(), "data", files), 0);
    EXPECT_EQ(have_so, 0);
    add("data", "/usr/lib/libx.so.1", "lib1\n");
    ASSERT_EQ(qpm_chk_sub_files(tree(), "data", files), 0);
    EXPECT_EQ(have_so, 1);
}

TEST_F(TreeVerify, AllFilesYieldsEachTreeAndStopsAtTheFirstFailure)
{
    add("data", "/usr/bin/tool", "tool\n");
    add("info", "/desc.txt", "dn: x\n");
    add("init", "/99-add.sh", "true\n");
    add("conf", "/etc/tool.conf", "a=1\n");
    StrArr data, info, init, conf, dump;
    ASSERT_EQ(qpm_chk_all_files(tree(), data, info, init, conf, dump), 0);
    EXPECT_EQ(data, StrArr {"/usr/bin/tool"});
    EXPECT_EQ(info, StrArr {"/desc.txt"});
    EXPECT_EQ(init, StrArr {"/99-add.sh"});
    EXPECT_EQ(conf, StrArr {"/etc/tool.conf"});
    EXPECT_TRUE(dump.empty());

    put(tree() + "/conf/etc/tool.conf", "a=2\n");
    EXPECT_EQ(qpm_chk_all_files(tree(), data, info, init, conf, dump), 1);
    EXPECT_TRUE(data.empty() && info.empty() && init.empty() && conf.empty() && dump.empty());
    EXPECT_TRUE(logged("qpm_chk_all_files: Failure checking conf files in " + tree()));
}

// A system root with an inventory: package "other" owns /usr/bin/owned;
// /etc/unowned and /etc/unowned2 are on disk but in no file index.
class FileConflict : public ChecksFixture {
protected:
    void SetUp() override
    {
        ChecksFixture::SetUp();
        m_root.emplace(root());
        const std::string inventory = root() + "/var/lib/qpm";
        m_handle.root = inventory;
        m_handle.dirs.installed = inventory + "/installed";
        m_handle.dirs.fileindex = inventory + "/fileindex";
        put(inventory + "/fileindex/other", "/usr/bin/owned\n/usr/lib/libother.so.1\n");
        put(inventory + "/installed/other/inst.txt", "eqpkInstallTime: 1\n");
        put(inventory + "/fileindex/.mine.old", "/etc/unowned\n"); // a backup index owns nothing
        put(root() + "/usr/bin/owned", "owned\n");
        put(root() + "/etc/unowned", "unowned\n");
        put(root() + "/etc/unowned2", "unowned\n");
        put(root() + "/usr/lib/libother.so.1", "lib\n");
    }
    void TearDown() override
    {
        m_root.reset();
        ChecksFixture::TearDown();
    }
    std::string root() const { return m_dir / "root"; }

    std::optional<test::ScopedSystemRoot> m_root;
    qpm_handle m_handle;
};

TEST_F(FileConflict, InsertAbortsOnAFileOfAnotherPackage)
{
    StrArr add {"stale"};
    EXPECT_EQ(qpm_chk_local_insert(&m_handle, {"/usr/bin/new", "/usr/bin/owned"}, add), -1);
    EXPECT_TRUE(add.empty());
    EXPECT_TRUE(logged("aborting installation, /usr/bin/owned exists and belongs to package other"));
}

TEST_F(FileConflict, SymbolicLinkToAFileOfAnotherPackageCountsAsThatFile)
{
    ASSERT_EQ(symlink("libother.so.1", (root() + "/usr/lib/libother.so").c_str()), 0);
    StrArr add;
    EXPECT_EQ(qpm_chk_local_insert(&m_handle, {"/usr/lib/libother.so"}, add), -1);
    EXPECT_TRUE(logged("belongs to package other"));
}

TEST_F(FileConflict, InsertReplacesUnownedFilesWithTheDefaultAnswer)
{
    vote_mode = 3;
    StrArr add;
    EXPECT_EQ(qpm_chk_local_insert(&m_handle, {"/usr/bin/new", "/etc/unowned", "/etc/unowned2"}, add), 0);
    EXPECT_EQ(add, (StrArr {"/usr/bin/new", "/etc/unowned", "/etc/unowned2"}));
    EXPECT_TRUE(logged("Ok, will overwrite /etc/unowned"));
    EXPECT_EQ(prompts(), "");
}

TEST_F(FileConflict, InsertAbortsWhenTheUserSaysSo)
{
    answer("a\n");
    StrArr add;
    EXPECT_EQ(qpm_chk_local_insert(&m_handle, {"/usr/bin/new", "/etc/unowned"}, add), -1);
    EXPECT_TRUE(add.empty());
    EXPECT_TRUE(logged("aborting installation due to user request"));
}

TEST_F(FileConflict, LeaveAllIsAskedOnceAndKeepsLaterFilesOutOfTheIndex)
{
    answer("L\n");
    StrArr del, add;
    EXPECT_EQ(qpm_chk_local_update(&m_handle, {}, {"/etc/unowned", "/usr/bin/new", "/etc/unowned2"}, del, add), 0);
    EXPECT_EQ(add, StrArr {"/usr/bin/new"});
    EXPECT_TRUE(del.empty());
    const std::string asked = prompts();
    EXPECT_NE(asked.find("The file /etc/unowned already exists on the filesystem. Choose your action"),
              std::string::npos);
    EXPECT_EQ(asked.find("/etc/unowned2"), std::string::npos);
}

TEST_F(FileConflict, LowerCaseAnswerHoldsForOneFileOnly)
{
    answer("l\nr\n");
    StrArr add;
    EXPECT_EQ(qpm_chk_local_insert(&m_handle, {"/etc/unowned", "/etc/unowned2"}, add), 0);
    EXPECT_EQ(add, StrArr {"/etc/unowned2"});
    EXPECT_TRUE(logged("Ok, will skip writing /etc/unowned to disk"));
}

TEST_F(FileConflict, UpdateReplacesOldFilesAndDeletesWhatIsNoLongerShipped)
{
    put(root() + "/usr/bin/tool", "old tool\n");
    put(root() + "/usr/bin/dropped", "old\n");
    const StrArr old_files {"/usr/bin/tool", "/usr/bin/already-gone", "/usr/bin/dropped"};
    StrArr del, add;
    EXPECT_EQ(qpm_chk_local_update(&m_handle, old_files, {"/usr/bin/tool", "/usr/bin/added"}, del, add), 0);
    EXPECT_EQ(add, (StrArr {"/usr/bin/tool", "/usr/bin/added"}));
    EXPECT_EQ(del, StrArr {"/usr/bin/dropped"});
}

TEST_F(FileConflict, UpdateAbortsOnAFileOfAnotherPackage)
{
    put(root() + "/usr/bin/dropped", "old\n");
    StrArr del, add;
    EXPECT_EQ(qpm_chk_local_update(&m_handle, {"/usr/bin/dropped"}, {"/usr/bin/new", "/usr/bin/owned"}, del, add),
              -1);
    EXPECT_TRUE(del.empty());
    EXPECT_TRUE(add.empty());
    EXPECT_TRUE(logged("qpm_chk_local_update: /usr/bin/owned is on disk and belongs to package other, aborting"));
}

TEST_F(FileConflict, ManyFilesAgainstManyIndexesFindTheirOwner)
{
    // Thousands of paths against hundreds of indexes: answered from one map.
    const std::string fileindex = root() + "/var/lib/qpm/fileindex";
    for (int p = 0; p < 300; ++p) {
        std::string index;
        for (int f = 0; f < 20; ++f)
            index += "/usr/share/p" + std::to_string(p) + "/f" + std::to_string(f) + "\n";
        put(fileindex + "/pkg" + std::to_string(p), index);
        put(root() + "/var/lib/qpm/installed/pkg" + std::to_string(p) + "/inst.txt", "eqpkInstallTime: 1\n");
    }
    StrArr new_files;
    for (int f = 0; f < 5000; ++f)
        new_files.push_back("/usr/share/new/f" + std::to_string(f));
    put(root() + "/usr/share/p299/f19", "x\n");
    new_files.push_back("/usr/share/p299/f19");
    StrArr add;
    EXPECT_EQ(qpm_chk_local_insert(&m_handle, new_files, add), -1);
    EXPECT_TRUE(logged("/usr/share/p299/f19 exists and belongs to package pkg299"));
}

TEST_F(FileConflict, ExistingConfigurationFileIsKeptOnInstall)
{
    put(root() + "/etc/tool.conf", "admin's\n");
    EXPECT_EQ(qpm_chk_conf_file(&m_handle, "tool", "/etc/tool.conf", false), ConfFileAction::KeepExisting);
    EXPECT_EQ(qpm_chk_conf_file(&m_handle, "tool", "/etc/missing.conf", false), ConfFileAction::InstallMissing);
}

TEST_F(FileConflict, UpdateOverwritesOnlyAnUnmodifiedConfigurationFile)
{
    const std::string shipped = root() + "/var/lib/qpm/installed/tool/conf";
    put(shipped + "/etc/same.conf", "a=1\n");
    put(root() + "/etc/same.conf", "a=1\n");
    put(shipped + "/etc/changed.conf", "a=1\n");
    put(root() + "/etc/changed.conf", "a=2\n");
    put(root() + "/etc/unknown.conf", "a=1\n");
    EXPECT_EQ(qpm_chk_conf_file(&m_handle, "tool", "/etc/same.conf", true), ConfFileAction::OverwriteUnmodified);
    EXPECT_EQ(qpm_chk_conf_file(&m_handle, "tool", "/etc/changed.conf", true), ConfFileAction::KeepModified);
    EXPECT_EQ(qpm_chk_conf_file(&m_handle, "tool", "/etc/unknown.conf", true), ConfFileAction::KeepExisting);
    EXPECT_EQ(qpm_chk_conf_file(&m_handle, "tool", "/etc/gone.conf", true), ConfFileAction::InstallMissing);
}

} // namespace
} // namespace qpm
