#include <gtest/gtest.h>

#include "util/files.h"
#include "util/lgrep.h"

#include "support/test_support.h"
#include "util/raii.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

namespace fs = std::filesystem;

int perm_of(const std::string &path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 07777);
}

size_t entries_in(const std::string &dir)
{
    std::error_code ec;
    size_t n = 0;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); ++it)
        ++n;
    return n;
}

TEST(Files, ReadFileWholeEmptyOrMissing)
{
    test::ScratchDir dir;
    const std::string bin("a\0b\n", 4);
    test::write_file(dir / "bin", bin);
    test::write_file(dir / "empty", "");
    EXPECT_EQ(_read_file(dir / "bin"), bin);
    EXPECT_EQ(_read_file(dir / "empty"), std::string());
    EXPECT_EQ(_read_file(dir / "missing"), std::nullopt);
    EXPECT_EQ(_read_file(dir.path()), std::nullopt);
}

TEST(Files, ReadLinesKeepsEmptyLinesAndAnUnendedLast)
{
    test::ScratchDir dir;
    test::write_file(dir / "one", "only line");
    test::write_file(dir / "many", "a\n\nb\r\n");
    test::write_file(dir / "empty", "");
    EXPECT_EQ(read_file_lines(dir / "one"), (StrArr{"only line"}));
    EXPECT_EQ(read_file_lines(dir / "many"), (StrArr{"a", "", "b\r"}));
    EXPECT_TRUE(read_file_lines(dir / "empty").empty());
    EXPECT_TRUE(read_file_lines(dir / "missing").empty());
}

TEST(Files, WordsSplitAtBlankRunsAndStopAtComments)
{
    test::ScratchDir dir;
    test::write_file(dir / "w", "one  two\n  a b #note\n# comment\n\nlast\r\n");
    FilePtr f = fopen_cloexec(dir / "w", "r");
    ASSERT_TRUE(f);
    EXPECT_EQ(fgets_words(f.get()), (StrArr{"one", "two"}));
    EXPECT_EQ(fgets_words(f.get()), (StrArr{"", "a", "b", ""}));
    EXPECT_EQ(fgets_words(f.get()), std::nullopt);
    EXPECT_EQ(fgets_words(f.get()), std::nullopt);
    EXPECT_EQ(fgets_words(f.get()), (StrArr{"last"}));
    EXPECT_EQ(fgets_words(f.get()), std::nullopt);
}

TEST(Files, ExtensionIsTextAfterTheLastDot)
{
    EXPECT_EQ(_get_filename_ext("a.tar.gz"), "gz");
    EXPECT_EQ(_get_filename_ext(".qpmrc"), "");
    EXPECT_EQ(_get_filename_ext("noext"), "");
    EXPECT_EQ(_get_filename_ext("pkg.qpk"), "qpk");
}

TEST(Files, CopySetsModeAsAsked)
{
    test::ScratchDir dir;
    const std::string src = dir / "src";
    test::write_file(src, "hello");
    ASSERT_EQ(::chmod(src.c_str(), 0751), 0);

    EXPECT_EQ(file_copy(dir / "keep", src, 1), 5);
    EXPECT_EQ(perm_of(dir / "keep"), 0751);
    EXPECT_EQ(file_copy(dir / "set", src, 0640), 5);
    EXPECT_EQ(perm_of(dir / "set"), 0640);

    // Mode 0 keeps the bits of the file it replaces.
    test::write_file(dir / "old", "previous content");
    ASSERT_EQ(::chmod((dir / "old").c_str(), 0604), 0);
    EXPECT_EQ(file_copy(dir / "old", src, 0), 5);
    EXPECT_EQ(test::read_file(dir / "old"), "hello");
    EXPECT_EQ(perm_of(dir / "old"), 0604);
    EXPECT_EQ(entries_in(dir.path()), 4u); // no temporary left behind
}

TEST(Files, CopyFailuresLeaveTheDestinationAlone)
{
    test::ScratchDir dir;
    test::write_file(dir / "dest", "precious");
    EXPECT_EQ(file_copy(dir / "dest", dir / "missing", 1), -1);
    // A directory as source: readable by open, failing on read.
    fs::create_directory(dir / "srcdir");
    EXPECT_EQ(file_copy(dir / "dest", dir / "srcdir", 1), -1);
    EXPECT_EQ(test::read_file(dir / "dest"), "precious");
    EXPECT_EQ(file_copy(dir / "srcdir", dir / "dest", 1), -1);
    EXPECT_EQ(file_copy(dir / "nodir/x", dir / "dest", 1), -1);
    EXPECT_EQ(entries_in(dir.path()), 2u);
}

TEST(Files, CopyReplacesASymlinkInsteadOfWritingThroughIt)
{
    test::ScratchDir dir;
    test::write_file(dir / "target", "untouched");
    test::write_file(dir / "src", "new");
    fs::create_symlink(dir / "target", dir / "link");
    EXPECT_EQ(file_copy(dir / "link", dir / "src", 0), 3);
    EXPECT_FALSE(fs::is_symlink(dir / "link"));
    EXPECT_EQ(test::read_file(dir / "link"), "new");
    EXPECT_EQ(test::read_file(dir / "target"), "untouched");
}

TEST(Files, CopyBackKeepsTheOldContentAsBackup)
{
    test::ScratchDir dir;
    test::write_file(dir / "src", "new content");
    test::write_file(dir / "dest", "old");
    ASSERT_EQ(::chmod((dir / "dest").c_str(), 0600), 0);
    ASSERT_EQ(::chmod((dir / "src").c_str(), 0755), 0);

    EXPECT_EQ(file_copy_back(dir / "dest", dir / "src", dir / "dest.bak", 1), 11);
    EXPECT_EQ(test::read_file(dir / "dest"), "new content");
    EXPECT_EQ(perm_of(dir / "dest"), 0755);
    EXPECT_EQ(test::read_file(dir / "dest.bak"), "old");
    EXPECT_EQ(perm_of(dir / "dest.bak"), 0600);
    EXPECT_EQ(entries_in(dir.path()), 3u);

    // Without a backup path nothing else is written.
    EXPECT_EQ(file_copy_back(dir / "dest", dir / "src", "", 0), 11);
    EXPECT_EQ(entries_in(dir.path()), 3u);
}

TEST(Files, CopyBackOntoLinksAndDirectories)
{
    test::ScratchDir dir;
    test::write_file(dir / "src", "data");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    EXPECT_EQ(file_copy_back(dir / "dangling", dir / "src", dir / "bak", 0), 4);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "dangling")));
    EXPECT_FALSE(test::file_exists(dir / "bak"));
    EXPECT_FALSE(test::file_exists(dir / "nowhere"));

    fs::create_directory(dir / "adir");
    test::CaptureFd err(2);
    EXPECT_EQ(file_copy_back(dir / "adir", dir / "src", "", 0), -1);
    EXPECT_EQ(err.finish(), dir / "adir" + " is not a regular file, refusing to remove it\n");
    EXPECT_TRUE(fs::is_directory(dir / "adir"));
}

TEST(Files, CopyBackFailuresReportAndKeepTheDestination)
{
    test::ScratchDir dir;
    test::write_file(dir / "dest", "precious");
    fs::create_directory(dir / "srcdir");
    {
        test::CaptureFd err(2);
        EXPECT_EQ(file_copy_back(dir / "dest", dir / "missing", "", 0), -1);
        EXPECT_EQ(err.finish(),
                  "Failed to stat " + (dir / "missing") + ": No such file or directory\n");
    }
    {
        // The backup cannot be written: nothing else happens.
        test::CaptureFd err(2);
        EXPECT_EQ(file_copy_back(dir / "dest", dir / "srcdir", dir / "no/bak", 0), -1);
        EXPECT_EQ(err.finish(), "Failed to open " + (dir / "no/bak") +
                                    " for writing: No such file or directory\n");
    }
    {
        // Reading the source fails after the backup: the destination stays whole.
        test::CaptureFd err(2);
        EXPECT_EQ(file_copy_back(dir / "dest", dir / "srcdir", dir / "bak", 0), -1);
        EXPECT_EQ(err.finish(), "Failed to read " + (dir / "srcdir") + ": Is a directory\n");
    }
    EXPECT_EQ(test::read_file(dir / "dest"), "precious");
    EXPECT_EQ(test::read_file(dir / "bak"), "precious");
    EXPECT_EQ(entries_in(dir.path()), 3u);
}

TEST(Files, LineReaderKeepsNulBytesAndLongLinesWhole)
{
    test::ScratchDir dir;
    const std::string nul_line("a\0b", 3);
    const std::string long_line(10000, 'x');
    test::write_file(dir / "lines", nul_line + "\nnext\n\n" + long_line + "\nlast");
    FilePtr file = fopen_cloexec(dir / "lines", "r");
    ASSERT_TRUE(file);
    std::string line;
    StrArr lines;
    while (fgets_line(file.get(), line))
        lines.push_back(line);
    // A NUL byte neither ends the line nor joins it to the next one.
    EXPECT_EQ(lines, (StrArr{nul_line, "next", "", long_line, "last"}));
    EXPECT_FALSE(fgets_line(file.get(), line));
    EXPECT_EQ(line, "");
}

TEST(Files, CopyFdTellsAFailedReadFromAFailedWrite)
{
    test::ScratchDir dir;
    test::write_file(dir / "src", "data");
    UniqueFd src(::open((dir / "src").c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd dir_fd(::open(dir.path().c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd read_only(::open((dir / "src").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(src && dir_fd && read_only);
    bool read_failed = false;
    EXPECT_EQ(copy_fd(dir_fd.get(), read_only.get(), &read_failed), -1);
    EXPECT_TRUE(read_failed);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(copy_fd(src.get(), read_only.get(), &read_failed), -1);
    EXPECT_FALSE(read_failed);
}

// The copy is made in the kernel where it can be, and by reading and
// writing where not: from the current offset of a file, from a pseudo file
// that reports no size, into an appending writer.
TEST(Files, CopyFdCopiesFromTheOffsetWhateverTheEnds)
{
    test::ScratchDir dir;
    test::write_file(dir / "src", "skip:data");
    UniqueFd src(::open((dir / "src").c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd out(::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(src && out);
    ASSERT_EQ(::lseek(src.get(), 5, SEEK_SET), 5);
    EXPECT_EQ(copy_fd(src.get(), out.get()), 4);
    EXPECT_EQ(test::read_file(dir / "out"), "data");

    test::write_file(dir / "log", "old:");
    UniqueFd append(::open((dir / "log").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    ASSERT_EQ(::lseek(src.get(), 0, SEEK_SET), 0);
    EXPECT_EQ(copy_fd(src.get(), append.get()), 9);
    EXPECT_EQ(test::read_file(dir / "log"), "old:skip:data");

    UniqueFd pseudo(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    UniqueFd status(::open((dir / "status").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(pseudo && status);
    EXPECT_GT(copy_fd(pseudo.get(), status.get()), 0);
    EXPECT_NE(test::read_file(dir / "status").find("Name:"), std::string::npos);
}

TEST(CopyReplace, OptionsGiveModeAndEveryFailureLeavesTheTargetAlone)
{
    test::ScratchDir dir;
    test::write_file(dir / "src", "new content");
    test::write_file(dir / "target", "old");
    ::chmod((dir / "target").c_str(), 0640);
    const mode_t saved_umask = ::umask(022);

    struct Case {
        const char *name;
        ReplaceOptions options;
        int expect_perm;
    } cases[] = {
        {"created default", {}, 0644},
        {"bits given", {.bits = 0600}, 0600},
        {"bits required and synced", {.bits = 0444, .bits_required = true, .sync = true}, 0444},
        {"create mode", {.create_mode = 0600}, 0600},
    };
    for (const Case &c : cases) {
        const UniqueFd in(::open((dir / "src").c_str(), O_RDONLY | O_CLOEXEC));
        CopyError err;
        EXPECT_EQ(copy_replace(in.get(), dir / "target", c.options, err), 11) << c.name;
        EXPECT_EQ(err.step, CopyStep::none) << c.name;
        EXPECT_EQ(err.copied, 11) << c.name;
        EXPECT_EQ(test::read_file(dir / "target"), "new content") << c.name;
        EXPECT_EQ(perm_of(dir / "target"), c.expect_perm) << c.name;
    }
    ::umask(saved_umask);

    // A new file that cannot be made, a source that cannot be read.
    test::write_file(dir / "target", "old");
    const UniqueFd src(::open((dir / "src").c_str(), O_RDONLY | O_CLOEXEC));
    CopyError err;
    EXPECT_EQ(copy_replace(src.get(), dir / "missing/target", {}, err), -1);
    EXPECT_EQ(err.step, CopyStep::create);
    EXPECT_EQ(err.errnum, ENOENT);
    const UniqueFd directory(::open(dir.path().c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(copy_replace(directory.get(), dir / "target", {}, err), -1);
    EXPECT_EQ(err.step, CopyStep::read);
    EXPECT_EQ(err.errnum, EISDIR);
    EXPECT_EQ(test::read_file(dir / "target"), "old");
    EXPECT_EQ(entries_in(dir.path()), 2u); // no new file left beside the target
}

TEST(SiblingFile, CommitPutsTheWholeFileInPlace)
{
    test::ScratchDir dir;
    const std::string target = dir / "conf";
    test::write_file(target, "old");
    SiblingFile out;
    ASSERT_TRUE(out.create(target, 0600));
    EXPECT_EQ(out.path().rfind(dir / ".conf.", 0), 0u) << out.path();
    EXPECT_EQ(out.path().size(), (dir / ".conf.qpm-").size() + 6);
    EXPECT_TRUE(is_sibling_name(fs::path(out.path()).filename().string())) << out.path();
    ASSERT_TRUE(write_all(out.fd(), "new content"));
    EXPECT_EQ(test::read_file(target), "old"); // nothing shows before the commit
    EXPECT_EQ(out.commit(), 0);
    EXPECT_EQ(test::read_file(target), "new content");
    EXPECT_EQ(perm_of(target), 0600);
    EXPECT_EQ(entries_in(dir.path()), 1u);
    EXPECT_TRUE(out.path().empty());
}

// A crash leaves the hidden file; the next run must tell it from the
// administrator's own hidden files by its name alone.
TEST(SiblingFile, LeftoverIsToldByItsName)
{
    const struct {
        const char *name;
        bool ours;
    } cases[] = {
        {".conf.qpm-ab12cd", true},  {".a.b.qpm-000000", true}, {".x.qpm-zzzzzz", true},
        {"conf.qpm-ab12cd", false},  // not hidden
        {".conf.qpm-AB12CD", false}, // upper case is never made
        {".conf.qpm-ab12c", false},  {".conf.qpm-ab12cde", false}, {".conf.qpm-ab-2cd", false},
        {".conf.ab12cd", false},     {".qpm-ab12cd", false}, {"", false}, {".profile", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(is_sibling_name(c.name), c.ours) << c.name;
}

TEST(SiblingFile, UncommittedFilesGoAway)
{
    test::ScratchDir dir;
    test::write_file(dir / "conf", "old");
    {
        SiblingFile out;
        ASSERT_TRUE(out.create(dir / "conf"));
        ASSERT_TRUE(write_all(out.fd(), "half"));
        ASSERT_TRUE(out.create_link(dir / "conf", "elsewhere")); // drops the first
        EXPECT_EQ(entries_in(dir.path()), 2u);
    }
    EXPECT_EQ(entries_in(dir.path()), 1u);
    EXPECT_EQ(test::read_file(dir / "conf"), "old");

    SiblingFile missing;
    EXPECT_FALSE(missing.create(dir / "no/conf"));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(missing.commit(), 0);
}

TEST(SiblingFile, LinkReplacesTheTarget)
{
    test::ScratchDir dir;
    test::write_file(dir / "conf", "old");
    SiblingFile out;
    ASSERT_TRUE(out.create_link(dir / "conf", "conf.d/main"));
    EXPECT_EQ(out.commit(), 0);
    EXPECT_EQ(fs::read_symlink(dir / "conf"), "conf.d/main");
    EXPECT_EQ(entries_in(dir.path()), 1u);
}

TEST(ListDirectory, NamesWithTheirTypesWithoutDotEntries)
{
    test::ScratchDir dir;
    test::write_file(dir / "file", "x");
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("file", (dir / "link").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);

    const std::optional<DirNames> listing = list_directory(dir.path());
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->read_error, 0);
    EXPECT_EQ(listing->close_error, 0);
    std::map<std::string, unsigned char> types;
    for (const DirName &entry : listing->entries)
        types[entry.name] = entry.type;
    const std::map<std::string, unsigned char> expected = {
        {"fifo", DT_FIFO}, {"file", DT_REG}, {"link", DT_LNK}, {"sub", DT_DIR}};
    ASSERT_EQ(types.size(), expected.size());
    for (const auto &[name, type] : expected) {
        ASSERT_TRUE(types.contains(name)) << name;
        // A file system may leave the type unknown; it never names a wrong one.
        if (types[name] != DT_UNKNOWN) {
            EXPECT_EQ(types[name], type) << name;
        }
    }

    test::ScratchDir empty;
    const std::optional<DirNames> none = list_directory(empty.path());
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->entries.empty());
}

TEST(ListDirectory, WhatCannotBeOpenedGivesNothingAndItsErrno)
{
    test::ScratchDir dir;
    test::write_file(dir / "file", "x");
    const std::pair<std::string, int> cases[] = {{dir / "missing", ENOENT}, {dir / "file", ENOTDIR}};
    for (const auto &[path, err] : cases) {
        errno = 0;
        EXPECT_FALSE(list_directory(path)) << path;
        EXPECT_EQ(errno, err) << path;
    }
}

TEST(Lgrep, MatchingLinesAreAppended)
{
    test::ScratchDir dir;
    const std::string long_line = std::string(9000, 'x') + "needle";
    test::write_file(dir / "f", "alpha\nBeta\nbetamax\n" + long_line + "\nlast beta");
    StrArr lines{"kept"};
    EXPECT_EQ(lgrep_match_filename(dir / "f", 0, 1, "^beta", lines), 1);
    EXPECT_EQ(lines, (StrArr{"kept", "betamax"}));

    lines.clear();
    EXPECT_EQ(lgrep_match_filename(dir / "f", 1, 1, "beta(max)?$", lines), 3);
    EXPECT_EQ(lines, (StrArr{"Beta", "betamax", "last beta"}));

    // A long line is one line, matched whole.
    lines.clear();
    EXPECT_EQ(lgrep_match_filename(dir / "f", 0, 1, "^x+needle$", lines), 1);
    EXPECT_EQ(lines, (StrArr{long_line}));
}

TEST(Lgrep, RefusesOtherModesBadPatternsAndMissingFiles)
{
    test::ScratchDir dir;
    test::write_file(dir / "f", "a\n");
    StrArr lines;
    EXPECT_EQ(lgrep_match_filename(dir / "f", 0, 2, "a", lines), -3);
    EXPECT_EQ(lgrep_match_filename(dir / "f", 0, 1, "(", lines), -1);
    EXPECT_EQ(lgrep_match_filename(dir / "missing", 0, 1, "a", lines), -1);
    EXPECT_TRUE(lines.empty());
}

} // namespace
} // namespace qpm
