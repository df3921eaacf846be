#include "util/rootfs.h"

#include "support/test_support.h"
#include "util/sysroot.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

using namespace test;

// An image with links of every kind, and a host directory beside it that
// an absolute link names as the host would see it.
class RootFs : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        root_force_walk_for_tests(GetParam());
        std::filesystem::create_directories(dir / "root/etc");
        std::filesystem::create_directories(dir / "root/usr/share");
        std::filesystem::create_directories(dir / "outside");
        write_file(dir / "root/etc/x", "inside");
        write_file(dir / "root/file", "f");
        write_file(dir / "outside/marker", "host");
        symlink("/etc", (dir / "root/usr/share/abs").c_str());
        symlink("../../../../etc", (dir / "root/usr/share/rel").c_str());
        symlink((dir / "outside").c_str(), (dir / "root/usr/out").c_str());
        symlink("loop2", (dir / "root/loop1").c_str());
        symlink("loop1", (dir / "root/loop2").c_str());
        symlink("/nowhere", (dir / "root/dangling").c_str());
        symlink("x", (dir / "root/etc/to-x").c_str());
    }
    void TearDown() override { root_force_walk_for_tests(false); }

    bool same_file(int fd, const std::string &path) const
    {
        struct stat a {};
        struct stat b {};
        return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    }

    ScratchDir dir;
    ScopedSystemRoot root{dir / "root"};
};

TEST_P(RootFs, LinksAndDotDotResolveInsideTheRoot)
{
    struct Case {
        const char *path;
        std::optional<std::string> resolved; // nullopt: fails with `err`
        int err = 0;
    };
    const Case cases[] = {
        {"/usr/share/abs/x", "/etc/x"},
        {"/usr/share/rel/x", "/etc/x"},
        {"/../../etc/x", "/etc/x"},
        {"usr/share/abs/../usr/share/abs/./x", "/etc/x"}, // ".." after a link: from its target
        {"/etc/to-x", "/etc/x"},
        {"/", "/"},
        {"/usr/out/marker", std::nullopt, ENOENT}, // the host's file is not reached
        {"/loop1/x", std::nullopt, ELOOP},
        {"/loop1", std::nullopt, ELOOP},
        {"/file/x", std::nullopt, ENOTDIR},
        {"/missing/x", std::nullopt, ENOENT},
        {"/dangling", std::nullopt, ENOENT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        errno = 0;
        const std::optional<std::string> walked = root_walk(c.path);
        EXPECT_EQ(walked, c.resolved);
        if (!c.resolved) {
            EXPECT_EQ(errno, c.err);
        }
        errno = 0;
        const UniqueFd fd = root_open(c.path, O_RDONLY);
        EXPECT_EQ(static_cast<bool>(fd), c.resolved.has_value());
        if (c.resolved) {
            EXPECT_TRUE(same_file(fd.get(), dir / "root" + *c.resolved));
        } else {
            EXPECT_EQ(errno, c.err);
        }
        EXPECT_EQ(root_exists(c.path), c.resolved.has_value());
    }
    // The last link is kept when asked.
    EXPECT_EQ(root_walk("/usr/share/abs", false), "/usr/share/abs");
    const UniqueFd link = root_open("/usr/share/abs", O_PATH | O_NOFOLLOW);
    struct stat st {};
    ASSERT_TRUE(link);
    ASSERT_EQ(::fstat(link.get(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_P(RootFs, ParentDirectoriesAreMadeInsideTheRootOnly)
{
    std::vector<std::string> made;
    std::optional<ParentDir> parent = ParentDir::open("/usr/share/abs/new/sub/f", true, &made);
    ASSERT_TRUE(parent);
    EXPECT_EQ(parent->name(), "f");
    EXPECT_EQ(made, (std::vector<std::string>{"/usr/share/abs/new", "/usr/share/abs/new/sub"}));
    EXPECT_TRUE(same_file(parent->fd(), dir / "root/etc/new/sub"));

    // A link to a directory the image lacks (the host has it) leads nowhere:
    // nothing is made through it, on either side.
    made.clear();
    errno = 0;
    EXPECT_FALSE(ParentDir::open("/usr/out/planted/f", true, &made));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(made.empty());
    EXPECT_FALSE(file_exists(dir / "outside/planted"));
    std::filesystem::create_directories(dir / "root" + dir / "outside");
    parent = ParentDir::open("/usr/out/planted/f", true, &made);
    ASSERT_TRUE(parent);
    EXPECT_EQ(made, std::vector<std::string>{"/usr/out/planted"});
    EXPECT_TRUE(same_file(parent->fd(), dir / "root" + dir / "outside/planted"));
    EXPECT_FALSE(file_exists(dir / "outside/planted"));

    // Without `make`, or through a file, nothing is made.
    EXPECT_FALSE(ParentDir::open("/missing/f"));
    EXPECT_FALSE(ParentDir::open("/file/sub/f", true));
    EXPECT_FALSE(file_exists(dir / "root/missing"));
    for (const char *bad : {"/etc/..", "/etc/.", "/etc/", "/"}) {
        SCOPED_TRACE(bad);
        errno = 0;
        EXPECT_FALSE(ParentDir::open(bad, true));
        EXPECT_EQ(errno, EINVAL);
    }

    // A cached directory is reused; forget() opens it again where the
    // links lead now.
    RootDirs dirs;
    const std::optional<RootDirs::Parent> first = dirs.parent("/usr/share/abs/x");
    ASSERT_TRUE(first);
    EXPECT_EQ(dirs.parent("/usr/share/abs/y")->fd, first->fd);
    ASSERT_EQ(::unlink((dir / "root/usr/share/abs").c_str()), 0);
    ASSERT_EQ(symlink("/usr", (dir / "root/usr/share/abs").c_str()), 0);
    dirs.forget();
    const std::optional<RootDirs::Parent> again = dirs.parent("/usr/share/abs/x");
    ASSERT_TRUE(again);
    EXPECT_TRUE(same_file(again->fd, dir / "root/usr"));
}

TEST_P(RootFs, FindSeesEntriesThroughLinksAndRemembersMissingDirectories)
{
    using Found = RootDirs::Found;
    RootDirs dirs;
    struct Case {
        const char *path;
        std::optional<Found> found;
    };
    const Case cases[] = {
        {"/usr/share/abs/x", Found::Regular},   // the image's /etc, not the host's
        {"/usr/share/abs/to-x", Found::Link},   // the last component is not followed
        {"/usr/share/abs", Found::Link},
        {"/usr/share", Found::Other},
        {"/usr/share/abs/none", Found::Missing},
        {"/usr/out/marker", Found::Missing},    // the host's directory is not there in the image
        {"/file/sub", Found::Missing},          // under a file
        {"/new/sub/f", Found::Missing},
        {"/loop1/f", std::nullopt},             // a link loop is no answer
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(dirs.find(c.path), c.found);
        EXPECT_EQ(dirs.seen(c.path), c.found);
    }

    // A directory found missing stays missing for look-ups (a check runs on a
    // tree that does not change), until the directories are made by parent().
    std::filesystem::create_directories(dir / "root/new/sub");
    write_file(dir / "root/new/sub/f", "");
    EXPECT_EQ(dirs.find("/new/sub/g"), Found::Missing);
    std::vector<std::string> made;
    ASSERT_TRUE(dirs.parent("/new/sub/f", true, &made));
    EXPECT_TRUE(made.empty()) << "it was there after all";
    EXPECT_EQ(dirs.find("/new/sub/f"), Found::Regular);

    dirs.changed("/new/sub/f");
    EXPECT_EQ(dirs.seen("/new/sub/f"), std::nullopt);
    EXPECT_EQ(dirs.seen("/usr/share"), Found::Other);
    dirs.forget();
    EXPECT_EQ(dirs.seen("/usr/share"), std::nullopt);

    // What a check saw is the look-up of a RootLookup given the same dirs.
    RootLookup lookup(dirs);
    EXPECT_TRUE(lookup.exists("/usr/share/abs/to-x"));
    EXPECT_FALSE(lookup.exists("/dangling"));
    EXPECT_EQ(dirs.seen("/dangling"), Found::Link);
}

INSTANTIATE_TEST_SUITE_P(KernelAndWalk, RootFs, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Walk" : "Kernel"; });

TEST(RootFsPaths, SplitAndSystemPathOf)
{
    EXPECT_EQ(split_system_path("/usr/bin/x"), std::make_pair(std::string_view("/usr/bin"), std::string_view("x")));
    EXPECT_EQ(split_system_path("/x"), std::make_pair(std::string_view("/"), std::string_view("x")));
    EXPECT_EQ(split_system_path("x"), std::make_pair(std::string_view(), std::string_view("x")));
    {
        const ScopedSystemRoot root("/srv/img");
        EXPECT_EQ(system_path_of("/srv/img/usr/x"), "/usr/x");
        EXPECT_EQ(system_path_of("/srv/imgx/usr/x"), std::nullopt);
        EXPECT_EQ(system_path_of("/srv/img"), std::nullopt);
    }
    const ScopedSystemRoot none("/");
    EXPECT_EQ(system_path_of("/usr/x"), "/usr/x");
}

} // namespace
} // namespace qpm
