#include "record/lconf.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qpm {
namespace {

using test::CaptureFd;
using test::ScratchDir;
using test::file_exists;
using test::read_file;
using test::write_file;

std::string val(const EkvaPtr &record, const char *key)
{
    const char *v = ekva_getval(record.get(), key);
    return v ? v : "<absent>";
}

// Reads `path` (mode 2) while catching what goes to standard error.
EkvaPtr read_quietly(const std::string &path, std::string *err = nullptr, int mode = EKVA_REPLACE)
{
    CaptureFd capture(2);
    EkvaPtr record = lconf_read_ext(nullptr, path.c_str(), mode);
    const std::string text = capture.finish();
    if (err)
        *err = text;
    return record;
}

// Sets an environment variable for one scope and puts the old value back.
class EnvVar {
public:
    EnvVar(const char *name, const char *value) : m_name(name)
    {
        if (const char *old = std::getenv(name))
            m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvVar()
    {
        if (m_old)
            setenv(m_name, m_old->c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char *m_name;
    std::optional<std::string> m_old;
};

TEST(Lconf, LastLineWithoutLineFeedIsRead)
{
    ScratchDir dir;
    write_file(dir / "c", "a=b");
    const EkvaPtr record = read_quietly(dir / "c");
    ASSERT_TRUE(record);
    EXPECT_EQ(ekva_nument(record.get()), 1);
    EXPECT_EQ(val(record, "a"), "b");
}

// An indented "#a" is a key (only a '#' at the start of a line makes a
// comment): replaced, it keeps its indentation, or it would read back as a
// comment and be lost; other keys are written from the line's start.
TEST(Lconf, ReplacedKeyBeginningWithHashKeepsItsIndentation)
{
    ScratchDir dir;
    write_file(dir / "c", "  #a=1\n\tb=2\n");
    EkvaPtr wanted = ekva_new(4, EKVA_REPLACE);
    ekva_addval(wanted, "#a", "x", EKVA_REPLACE);
    ekva_addval(wanted, "b", "3", EKVA_REPLACE);
    ASSERT_EQ(lconf_replace((dir / "c").c_str(), wanted.get(), 0), 0);
    EXPECT_EQ(test::read_file(dir / "c"), "  #a=x\nb=3\n");
    const EkvaPtr record = read_quietly(dir / "c");
    ASSERT_TRUE(record);
    EXPECT_EQ(val(record, "#a"), "x");
}

TEST(Lconf, ValuesAreCleanedAndQuotesEndAtEitherKind)
{
    ScratchDir dir;
    write_file(dir / "c", "dq = \"quoted text\" and more\n"
                          "sq = 'it\\'s'\n"
                          "mixed = \"ends'here\"\n"
                          "spaced =   bare   \n"
                          "tabbed = v\t\n"
                          "hash = b # c\n"
                          "my key = x\n"
                          "  # note = 1\n"
                          "#comment = 1\n"
                          "\n"
                          "no equals sign\n"
                          "   = blank key\n"
                          "empty =\n");
    const EkvaPtr record = read_quietly(dir / "c");
    ASSERT_TRUE(record);
    EXPECT_EQ(val(record, "dq"), "quoted text");
    EXPECT_EQ(val(record, "sq"), "it's");
    EXPECT_EQ(val(record, "mixed"), "ends");
    EXPECT_EQ(val(record, "spaced"), "bare");
    EXPECT_EQ(val(record, "tabbed"), "v\t");
    EXPECT_EQ(val(record, "hash"), "b # c");
    EXPECT_EQ(val(record, "my"), "x");
    EXPECT_EQ(val(record, "#"), "1");
    EXPECT_EQ(val(record, "#comment"), "<absent>");
    EXPECT_EQ(val(record, "empty"), "");
    EXPECT_EQ(ekva_nument(record.get()), 9);
}

TEST(Lconf, IncludeLinesReadTheNamedFileInPlace)
{
    ScratchDir dir;
    write_file(dir / "inc one", "b=2\na=from-include\n");
    write_file(dir / "main", "a=1\nINCLUDE \"" + (dir / "inc one") + "\"\nc=3\ninclude=/etc/x\n");
    const EkvaPtr record = read_quietly(dir / "main");
    ASSERT_TRUE(record);
    ASSERT_EQ(ekva_nument(record.get()), 4);
    EXPECT_EQ(record->entries()[0].key, "a");
    EXPECT_EQ(val(record, "a"), "from-include");
    EXPECT_EQ(record->entries()[1].key, "b");
    EXPECT_EQ(record->entries()[2].key, "c");
    EXPECT_EQ(val(record, "include"), "/etc/x");
}

TEST(Lconf, IncludeNeedsSpaceInEighthColumnAndNoEquals)
{
    ScratchDir dir;
    write_file(dir / "x", "k=v\n");
    write_file(dir / "main", "include\t" + (dir / "x") + "\n" + // tab: not an include
                                 "  include " + (dir / "x") + "\n" + // indented: not an include
                                 "include " + (dir / "x") + "=y\n"); // has '=': a key/value line
    const EkvaPtr record = read_quietly(dir / "main");
    ASSERT_TRUE(record);
    EXPECT_EQ(val(record, "k"), "<absent>");
    EXPECT_EQ(val(record, "include"), "y");
}

TEST(Lconf, IncludeLoopStopsWithMessage)
{
    ScratchDir dir;
    write_file(dir / "a", "x=1\ninclude " + (dir / "a") + "\ninclude " + (dir / "b") + "\n");
    write_file(dir / "b", "y=2\ninclude " + (dir / "a") + "\n");
    std::string err;
    const EkvaPtr record = read_quietly(dir / "a", &err, EKVA_DUPS);
    ASSERT_TRUE(record);
    EXPECT_EQ(ekva_cntval(record.get(), "x"), 1);
    EXPECT_EQ(ekva_cntval(record.get(), "y"), 1);
    EXPECT_NE(err.find("Include of <" + (dir / "a") + "> skipped: include loop\n"), std::string::npos)
        << err;
}

TEST(Lconf, IncludeChainStopsAtDepthBound)
{
    ScratchDir dir;
    const int files = LCONF_INCLUDE_MAX_DEPTH + 4;
    for (int i = 0; i < files; ++i)
        write_file(dir / std::to_string(i),
                   "k" + std::to_string(i) + "=v\ninclude " + (dir / std::to_string(i + 1)) + "\n");
    std::string err;
    const EkvaPtr record = read_quietly(dir / "0", &err);
    ASSERT_TRUE(record);
    EXPECT_EQ(ekva_nument(record.get()), LCONF_INCLUDE_MAX_DEPTH + 1);
    const std::string too_deep = dir / std::to_string(LCONF_INCLUDE_MAX_DEPTH + 1);
    EXPECT_EQ(err, "Include of <" + too_deep + "> skipped: nested more than 16 deep\n");
}

TEST(Lconf, ReadReplacesAndReadDupsKeepsEveryOccurrence)
{
    ScratchDir dir;
    write_file(dir / "c", "k=1\nK=2\n");
    const EkvaPtr last = lconf_read(nullptr, (dir / "c").c_str());
    ASSERT_TRUE(last);
    ASSERT_EQ(ekva_nument(last.get()), 1);
    EXPECT_EQ(last->entries()[0].key, "k");
    EXPECT_EQ(val(last, "k"), "2");

    const EkvaPtr all = lconf_read_dups(nullptr, (dir / "c").c_str());
    ASSERT_TRUE(all);
    EXPECT_EQ(ekva_nument(all.get()), 2);
    EXPECT_EQ(val(all, "k"), "1");
    EXPECT_STREQ(ekva_getone(all.get(), "k", 1), "2");
}

TEST(Lconf, MissingEmptyOrUnnamedFileLeavesRecordAsGiven)
{
    ScratchDir dir;
    write_file(dir / "empty", "");
    write_file(dir / "more", "y=2\n");

    CaptureFd capture(2);
    EXPECT_FALSE(lconf_read(nullptr, (dir / "missing").c_str()));
    EXPECT_FALSE(lconf_read(nullptr, nullptr));

    EkvaPtr given = ekva_new(4, EKVA_REPLACE);
    ekva_addval(given, "x", "1", EKVA_REPLACE);
    const Ekva *before = given.get();
    given = lconf_read(std::move(given), (dir / "empty").c_str());
    EXPECT_EQ(given.get(), before);
    EXPECT_EQ(ekva_nument(given.get()), 1);
    given = lconf_read(std::move(given), (dir / "more").c_str());
    EXPECT_EQ(val(given, "x"), "1");
    EXPECT_EQ(val(given, "y"), "2");
    EXPECT_EQ(capture.finish(),
              "No config file specified\nFailed to open <" + (dir / "empty") + ">: is empty\n");
}

TEST(LconfValueMap, NumberlessItemsTakeThePreviousNumber)
{
    const ValNumList map = lconf_gen_vnlist("low=1,high=x,,bare,top=+7");
    ASSERT_EQ(map.size(), 4u);
    EXPECT_EQ(lconf_getvalnum(map, "high"), 1);
    EXPECT_EQ(map[2].name, "");
    EXPECT_EQ(map[2].number, 1);
    EXPECT_EQ(lconf_getvalnum(map, "top"), 7);
    EXPECT_EQ(lconf_getvalnum(map, "Top"), -1);
    EXPECT_EQ(lconf_getvalnum(map, nullptr), -1);
    EXPECT_STREQ(lconf_getnumval(map, 1), "low");
    EXPECT_EQ(lconf_getnumval(map, 99), nullptr);
    EXPECT_EQ(lconf_gen_vnlist("first").front().number, 0);
    EXPECT_TRUE(lconf_gen_vnlist(",,").empty());
}

TEST(LconfValueMap, BoolAnswersOnlyExactWords)
{
    EkvaPtr record = ekva_new(8, EKVA_REPLACE);
    const char *words[][2] = {{"t", "true"}, {"y", "yes"}, {"one", "1"}, {"f", "false"},
                              {"n", "no"},   {"zero", "0"}, {"upper", "TRUE"}, {"mixed", "Yes"}};
    for (const auto &w : words)
        ekva_addval(record, w[0], w[1], EKVA_REPLACE);
    const Ekva *r = record.get();
    EXPECT_EQ(lconf_get_bool("T", r, 0, -1), 1);
    EXPECT_EQ(lconf_get_bool("y", r, 0, -1), 1);
    EXPECT_EQ(lconf_get_bool("one", r, 0, -1), 1);
    EXPECT_EQ(lconf_get_bool("f", r, 1, -1), 0);
    EXPECT_EQ(lconf_get_bool("n", r, 1, -1), 0);
    EXPECT_EQ(lconf_get_bool("zero", r, 1, -1), 0);
    EXPECT_EQ(lconf_get_bool("upper", r, 5, -1), 5);
    EXPECT_EQ(lconf_get_bool("mixed", r, 5, -1), 5);
    EXPECT_EQ(lconf_get_bool("absent", r, 5, -1), 5);
    EXPECT_EQ(lconf_get_bool("t", nullptr, 5, -1), 5);
}

TEST(LconfValueMap, ValidPresetWinsOverRecord)
{
    EkvaPtr record = ekva_new(4, EKVA_REPLACE);
    ekva_addval(record, "verbose", "no", EKVA_REPLACE);
    EXPECT_EQ(lconf_get_bool("verbose", record.get(), 0, 1), 1);
    EXPECT_EQ(lconf_get_bool("verbose", record.get(), 1, 7), 0);
    EXPECT_EQ(lconf_get_optval("verbose", "", record.get(), 9, 1), 9);
}

TEST(LconfValueMap, EntryNumberedMinusOneIsNeverAnAnswer)
{
    EkvaPtr record = ekva_new(4, EKVA_REPLACE);
    ekva_addval(record, "mode", "on", EKVA_REPLACE);
    ekva_addval(record, "other", "auto", EKVA_REPLACE);
    const ValNumList map = lconf_gen_vnlist("auto=-1,on=1,off=0");
    // -1 means "no preset" even though the map holds a -1.
    EXPECT_EQ(lconf_get_optval_vl("mode", map, record.get(), 4, -1), 1);
    EXPECT_EQ(lconf_get_optval_vl("other", map, record.get(), 4, -1), 4);
    EXPECT_EQ(lconf_get_optval("mode", "auto=-1,on=1,off=0", record.get(), 4, 0), 0);
}

class LconfReplace : public ::testing::Test {
protected:
    ScratchDir dir;
    std::string conf = dir / "qpm.conf";
    EkvaPtr record = ekva_new(8, EKVA_REPLACE);

    int replace(int keep, std::string *err = nullptr)
    {
        CaptureFd capture(2);
        const int rc = lconf_replace(conf.c_str(), record.get(), keep);
        const std::string text = capture.finish();
        if (err)
            *err = text;
        return rc;
    }
};

TEST_F(LconfReplace, RewritesOnlyKeysTheFileAlreadyHolds)
{
    write_file(conf, "# comment a=0\na = 1 # old\n\nb=2\ninclude /etc/x\n  c = 3");
    ekva_addval(record, "A", "10", EKVA_REPLACE);
    ekva_addval(record, "c", "thirty", EKVA_REPLACE);
    ekva_addval(record, "new", "1", EKVA_REPLACE);
    ASSERT_EQ(replace(0), 0);
    EXPECT_EQ(read_file(conf), "# comment a=0\na=10\n\nb=2\ninclude /etc/x\nc=thirty\n");
    EXPECT_FALSE(file_exists(conf + ".next"));
    EXPECT_FALSE(file_exists(conf + ".prev"));
}

TEST_F(LconfReplace, KeepPreviousLeavesOldFileBesideAndPermissionsStay)
{
    write_file(conf, "k=old\n");
    ASSERT_EQ(chmod(conf.c_str(), 0640), 0);
    ekva_addval(record, "k", "new", EKVA_REPLACE);
    ASSERT_EQ(replace(1), 0);
    EXPECT_EQ(read_file(conf), "k=new\n");
    EXPECT_EQ(read_file(conf + ".prev"), "k=old\n");
    struct stat st {};
    ASSERT_EQ(stat(conf.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // Without the flag the old backup goes too.
    ASSERT_EQ(replace(0), 0);
    EXPECT_FALSE(file_exists(conf + ".prev"));
    EXPECT_FALSE(file_exists(conf + ".next"));
}

TEST_F(LconfReplace, EmptyOrMissingFileIsNotRewritten)
{
    std::string err;
    EXPECT_EQ(replace(0, &err), -1);
    EXPECT_EQ(err, "Failed to open <" + conf + ">: No such file or directory\n");

    write_file(conf, "");
    EXPECT_EQ(replace(0, &err), -1);
    EXPECT_EQ(err.rfind("Failed to create new config as <" + conf + ".next>: ", 0), 0u) << err;
    EXPECT_EQ(read_file(conf), "");
    EXPECT_FALSE(file_exists(conf + ".next"));

    CaptureFd capture(2);
    EXPECT_EQ(lconf_replace(nullptr, record.get(), 0), -1);
    EXPECT_EQ(capture.finish(), "No config file specified\n");
}

TEST_F(LconfReplace, FailureLeavesTheOldFileUntouched)
{
    write_file(conf, "k=old\n");
    ekva_addval(record, "k", "new", EKVA_REPLACE);
    ASSERT_EQ(mkdir((conf + ".next").c_str(), 0755), 0);
    std::string err;
    EXPECT_EQ(replace(1, &err), -1);
    EXPECT_EQ(err.rfind("Failed to create new config as <" + conf + ".next>: ", 0), 0u) << err;
    EXPECT_EQ(read_file(conf), "k=old\n");
    EXPECT_FALSE(file_exists(conf + ".prev"));
}

TEST_F(LconfReplace, ValueWithLineBreakIsRefused)
{
    write_file(conf, "k=old\n");
    ekva_addval(record, "k", "new\nqpc_backend=evil", EKVA_REPLACE);
    std::string err;
    EXPECT_EQ(replace(0, &err), -1);
    EXPECT_EQ(err, "Refusing value with a line break for key <k>\n");
    EXPECT_EQ(read_file(conf), "k=old\n");
    EXPECT_FALSE(file_exists(conf + ".next"));
}

TEST(LconfRc, MergeCopiesHeldKeysAndKeepsValuesAlreadyThere)
{
    EkvaPtr source = ekva_new(4, EKVA_REPLACE);
    ekva_addval(source, "verbose", "no", EKVA_REPLACE);

    EkvaPtr options;
    EXPECT_EQ(qpm_merge_opts(options, source.get(), ""), 0);
    EXPECT_FALSE(options);
    EXPECT_EQ(qpm_merge_opts(options, source.get(), "fastclean,verbose"), 1);
    ASSERT_TRUE(options);
    EXPECT_EQ(val(options, "verbose"), "no");

    EkvaPtr given = ekva_new(4, EKVA_REPLACE);
    ekva_addval(given, "Verbose", "yes", EKVA_REPLACE);
    EXPECT_EQ(qpm_merge_opts(given, source.get(), "fastclean,verbose"), 1);
    EXPECT_EQ(ekva_nument(given.get()), 1);
    EXPECT_EQ(val(given, "verbose"), "yes");
}

TEST(LconfRc, SudoUidCountsOnlyForRootAndOnlyAsDecimal)
{
    const uid_t ruid = getuid();
    {
        EnvVar env("SUDO_UID", "1234");
        EXPECT_EQ(qpm_rc_uid(), ruid == 0 ? 1234u : ruid);
    }
    for (const char *bad : {"", "12x", "-5", " 7", "99999999999999999999"}) {
        EnvVar env("SUDO_UID", bad);
        EXPECT_EQ(qpm_rc_uid(), ruid) << bad;
    }
    EnvVar env("SUDO_UID", nullptr);
    EXPECT_EQ(qpm_rc_uid(), ruid);
}

TEST(LconfRc, OnlyRegularFilesAreRead)
{
    ScratchDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    write_file(dir / "rc", "verbose=yes\ninclude " + (dir / "fifo") + "\nfastclean=no\n");
    EXPECT_FALSE(qpm_read_rc_file(dir / "fifo"));
    const EkvaPtr record = qpm_read_rc_file(dir / "rc");
    ASSERT_TRUE(record);
    EXPECT_EQ(ekva_nument(record.get()), 2);
    EXPECT_EQ(val(record, "fastclean"), "no");
}

TEST(LconfRc, SetUserIdRunReadsWithRealUserRights)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: set the real user id";
    ScratchDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
    write_file(dir / "public", "verbose=yes\n");
    write_file(dir / "secret", "verbose=yes\n");
    ASSERT_EQ(chmod((dir / "public").c_str(), 0644), 0);
    ASSERT_EQ(chmod((dir / "secret").c_str(), 0600), 0);

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Like a set-user-id root program started by an ordinary user.
        if (setreuid(65534, 0) != 0)
            _exit(10);
        int status = 0;
        if (!qpm_read_rc_file(dir / "public"))
            status |= 1;
        if (qpm_read_rc_file(dir / "secret"))
            status |= 2;
        if (geteuid() != 0)
            status |= 4;
        _exit(status);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: public unread, 2: secret read, 4: rights not restored";
}

} // namespace
} // namespace qpm
