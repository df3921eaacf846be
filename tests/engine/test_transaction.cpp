// The file transaction's moves and removals: whatever a check saw (or
// missed) at a target, an existing file is saved and listed before it is
// replaced, and a rollback brings back what was there.
#include "engine/transaction.h"

#include "support/test_support.h"
#include "util/rootfs.h"
#include "util/sysroot.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

using namespace qpm;
using namespace qpm::test;

namespace {

namespace fs = std::filesystem;

// What is at a path: "" missing, "->TEXT" a link, "dir" a directory, else
// the file's content.
std::string what_is_at(const std::string &path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return "";
    if (S_ISLNK(st.st_mode))
        return "->" + fs::read_symlink(path).string();
    return S_ISDIR(st.st_mode) ? "dir" : read_file(path);
}

void make_at(const std::string &path, const std::string &what)
{
    fs::create_directories(fs::path(path).parent_path());
    if (what.starts_with("->"))
        ASSERT_EQ(::symlink(what.substr(2).c_str(), path.c_str()), 0);
    else if (what == "dir")
        fs::create_directories(path);
    else if (!what.empty())
        write_file(path, what);
}

// One system root and backup tree per case.
struct Scene {
    Scene() { fs::create_directories(dir / "old"); }

    std::string target() const { return dir / "root/usr/share/p/f"; }
    // Named by the path inside the root: the root's prefix is not repeated.
    std::string backup() const { return dir / "old/usr/share/p/f"; }
    std::string index() const { return read_file(dir / "old/index.txt"); }

    ScratchDir dir;
    ScopedSystemRoot root{dir / "root"};
};

TEST(FileTransactionUndo, MoveSavesWhatIsThereWhateverTheCheckSaw)
{
    struct Case {
        const char *name;
        const char *before;   // at the target when the check looks
        const char *meanwhile; // put there after the check ("" nothing changes)
        bool checked;
        bool hard_linked; // the staged file has a second name
        long long result;
        const char *after;
        bool listed; // its backup is in the index
    };
    const Case cases[] = {
        {"new file", "", "", true, false, 4, "new!", false},
        {"file the check saw", "old", "", true, false, 4, "new!", true},
        {"link the check saw", "->/etc/x", "", true, false, 4, "new!", true},
        {"file that came after the check", "", "late", true, false, 4, "new!", true},
        {"no check", "old", "", false, false, 4, "new!", true},
        {"hard-linked stage file", "old", "", true, true, 4, "new!", true},
        {"directory in the way", "dir", "", true, false, -1, "dir", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Scene scene;
        const ScratchDir &dir = scene.dir;
        const auto target = [&] { return scene.target(); };
        const auto backup = [&] { return scene.backup(); };
        const auto index = [&] { return scene.index(); };
        make_at(target(), c.before);
        const std::string source = dir / "stage/data/usr/share/p/f";
        make_at(source, "new!");
        if (c.hard_linked) {
            ASSERT_EQ(::link(source.c_str(), (dir / "stage/second").c_str()), 0);
        }
        RootDirs system;
        if (c.checked)
            system.find("/usr/share/p/f");
        if (*c.meanwhile)
            make_at(target(), c.meanwhile);
        const std::string was = what_is_at(target());
        {
            FileTransaction files(dir / "old", std::move(system));
            EXPECT_EQ(files.put("/usr/share/p/f", source, FileTransaction::How::Move), c.result);
            EXPECT_EQ(what_is_at(target()), c.after);
            EXPECT_EQ(index(), c.listed ? "/usr/share/p/f\n" : "");
            if (c.listed) {
                EXPECT_EQ(what_is_at(backup()), was);
            }
        } // rolled back
        EXPECT_EQ(what_is_at(target()), was);
    }
}

TEST(FileTransactionUndo, RemoveSavesFilesAndLinksTheCheckSaw)
{
    for (const char *before : {"old", "->../x"}) {
        SCOPED_TRACE(before);
        const Scene scene;
        const ScratchDir &dir = scene.dir;
        const auto target = [&] { return scene.target(); };
        const auto backup = [&] { return scene.backup(); };
        const auto index = [&] { return scene.index(); };
        make_at(target(), before);
        RootDirs system;
        system.find("/usr/share/p/f");
        system.find("/usr/share/p/gone");
        make_at(dir / "root/usr/share/p/gone", "");
        {
            FileTransaction files(dir / "old", std::move(system));
            EXPECT_EQ(files.remove("/usr/share/p/f"), 0);
            EXPECT_EQ(files.remove("/usr/share/p/gone"), 1);
            EXPECT_EQ(what_is_at(target()), "");
            EXPECT_EQ(what_is_at(backup()), before);
            EXPECT_EQ(index(), "/usr/share/p/f\n");
        }
        EXPECT_EQ(what_is_at(target()), before);
    }
}

} // namespace
