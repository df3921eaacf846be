#include "engine/actionlog.h"

#include "engine/inventory.h"
#include "support/test_support.h"
#include "ui/ui.h"
#include "util/raii.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <regex>
#include <string>
#include <utility>

namespace qpm {
namespace {

using test::read_file;
using test::ScopedEnv;
using test::ScratchDir;
using test::write_file;

// Points the process-wide log and interface at files of the test and puts
// the previous ones back afterwards; local time is UTC unless a test says
// otherwise.
class ActionLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_saved_ui = std::exchange(qpmui, qpmui_init("test", 7));
        m_out.reset(std::tmpfile());
        qpmui->out = m_out.get();
        m_handle.root = m_dir.path();
        set_tz("UTC0");
    }
    void TearDown() override
    {
        qpmui = std::move(m_saved_ui);
        m_tz.reset();
    }

    void set_tz(const char *tz) { m_tz.emplace(tz); }
    std::string ui_output() { return test::stream_text(m_out.get()); }
    std::string log_text() { return m_log.text(); }
    std::string log_path() const { return m_dir / "install.log"; }

    ScratchDir m_dir;
    qpm_handle m_handle;
    test::LogFile m_log{m_dir / "qpm.log"};
    QpmUiPtr m_saved_ui;
    FilePtr m_out;
    std::optional<test::ScopedTimeZone> m_tz;
};

const char *const INSTALL_LINE = "2024-03-01 10:20:30: installed foo_x86_64_1.0 as requested by user";
const char *const UPDATE_LINE = "2024-03-02 11:00:00: updated bar_gtk_i686_2.0 to bar_gtk_i686_2.1 as dependency of foo";

TEST_F(ActionLog, WritesOneSentencePerActionInTheInventoryLog)
{
    qpm_log_action(QPM_LOG_INSTALL, std::nullopt, "foo_x86_64_1.0", std::nullopt, &m_handle);
    qpm_log_action(QPM_LOG_INSTALL, std::nullopt, "libbar_x86_64_2.0", "foo", &m_handle);
    qpm_log_action(QPM_LOG_UPDATE, "foo_x86_64_1.0", "foo_x86_64_1.1", std::nullopt, &m_handle);
    qpm_log_action(QPM_LOG_UPDATE, "libbar_x86_64_2.0", "libbar_x86_64_2.1", "foo", &m_handle);
    qpm_log_action(QPM_LOG_DELETE, std::nullopt, "foo_x86_64_1.1", std::nullopt, &m_handle);
    qpm_log_action(QPM_LOG_DELETE, std::nullopt, "libbar_x86_64_2.1", "foo", &m_handle);

    const std::string stamp = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}: ";
    const std::regex expected(stamp + "installed foo_x86_64_1.0 as requested by user\n" + stamp +
                              "installed libbar_x86_64_2.0 as dependency of foo\n" + stamp +
                              "updated foo_x86_64_1.0 to foo_x86_64_1.1 as requested by user\n" + stamp +
                              "updated libbar_x86_64_2.0 to libbar_x86_64_2.1 as dependency of foo\n" + stamp +
                              "deleted foo_x86_64_1.1 as requested by user\n" + stamp +
                              "deleted libbar_x86_64_2.1 as dependency of foo\n");
    EXPECT_TRUE(std::regex_match(read_file(log_path()), expected)) << read_file(log_path());
}

TEST_F(ActionLog, WrittenLineParsesBackToTheSameMoment)
{
    const time_t before = std::time(nullptr);
    qpm_log_action(QPM_LOG_INSTALL, std::nullopt, "foo_x86_64_1.0", "bar", &m_handle);
    const time_t after = std::time(nullptr);
    const std::string text = read_file(log_path());
    ASSERT_FALSE(text.empty());
    EkvaPtr record = qpm_parse_log(text.substr(0, text.size() - 1));
    ASSERT_TRUE(record);
    const long when = std::stol(ekva_getval(record.get(), "eqpkLogTime"));
    EXPECT_GE(when, before);
    EXPECT_LE(when, after);
    EXPECT_STREQ(ekva_getval(record.get(), "eqpkLogDependent"), "bar");
}

TEST_F(ActionLog, InvalidCallsWriteNothing)
{
    qpm_log_action(QPM_LOG_INSTALL, std::nullopt, std::nullopt, std::nullopt, &m_handle);
    qpm_log_action(QPM_LOG_UPDATE, std::nullopt, "foo_x86_64_1.1", std::nullopt, &m_handle);
    qpm_log_action(9, std::nullopt, "foo_x86_64_1.1", std::nullopt, &m_handle);
    EXPECT_FALSE(test::file_exists(log_path()));
    const std::string log = log_text();
    EXPECT_NE(log.find("qpm_log_action: No qpk_puname_new specified"), std::string::npos);
    EXPECT_NE(log.find("qpm_log_action: No qpk_puname_old specified"), std::string::npos);
    EXPECT_NE(log.find("qpm_log_action: invalid action specified"), std::string::npos);
}

TEST_F(ActionLog, UnwritableLogCostsOnlyTheLine)
{
    m_handle.root = m_dir / "missing";
    qpm_log_action(QPM_LOG_INSTALL, std::nullopt, "foo_x86_64_1.0", std::nullopt, &m_handle);
    EXPECT_NE(log_text().find("qpm_log_action: failed to open " + (m_dir / "missing/install.log") +
                              " for writing: No such file or directory"),
              std::string::npos);
}

TEST_F(ActionLog, UpdateLineCarriesOldAndNewPackage)
{
    EkvaPtr record = qpm_parse_log(UPDATE_LINE);
    ASSERT_TRUE(record);
    const char *expected[][2] = {
        {"eqpkLogDate", "2024-03-02 11:00:00"},
        {"eqpkLogTime", "1709377200"},
        {"eqpkLogAction", "update"},
        {"eqpkLogPkgUid", "bar_gtk_i686_2.0"},
        {"eqpkLogPkgName", "bar"},
        {"eqpkLogPkgVariant", "gtk"},
        {"eqpkLogPkgVersion", "2.0"},
        {"eqpkLogPkgArchitecture", "i686"},
        {"eqpkLogNewPkgUid", "bar_gtk_i686_2.1"},
        {"eqpkLogNewPkgVariant", "gtk"},
        {"eqpkLogNewPkgVersion", "2.1"},
        {"eqpkLogReason", "dependency"},
        {"eqpkLogDependent", "foo"},
    };
    ASSERT_EQ(record->entries().size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(record->entries()[i].key, expected[i][0]);
        EXPECT_EQ(record->entries()[i].value.value_or("(none)"), expected[i][1]);
    }
}

TEST_F(ActionLog, DeletedLineIsARemoval)
{
    EkvaPtr record = qpm_parse_log("2024-03-01 10:20:30: deleted foo_x86_64_1.0 as requested by user");
    ASSERT_TRUE(record);
    EXPECT_STREQ(ekva_getval(record.get(), "eqpkLogAction"), "remove");
    EXPECT_STREQ(ekva_getval(record.get(), "eqpkLogReason"), "user");
    EXPECT_EQ(ekva_getval(record.get(), "eqpkLogDependent"), nullptr);
}

TEST_F(ActionLog, MalformedLinesAreRejectedWithTheirReason)
{
    EXPECT_FALSE(qpm_parse_log("2024-03-01 10:20:30: installed foo_x86_64_1.0 as requested by"));
    EXPECT_FALSE(qpm_parse_log("2024-03-01 10:20:30: xinstalled foo_x86_64_1.0 as requested by user"));
    EXPECT_FALSE(qpm_parse_log("2024-03-01 10:20:3: installed foo_x86_64_1.0 as requested by user"));
    EXPECT_FALSE(qpm_parse_log("2024-03-01 10:20:30: installed foo as requested by user"));
    const std::string log = log_text();
    EXPECT_NE(log.find("has only 7 parts skipping"), std::string::npos);
    EXPECT_NE(log.find("qpm_parse_log: invalid action: x"), std::string::npos);
    EXPECT_NE(log.find("qpm_parse_log: invalid date: 2024-03-01 10:20:3:"), std::string::npos);
    EXPECT_NE(log.find("qpm_parse_log: error parsing PkgUid <foo>"), std::string::npos);
}

TEST_F(ActionLog, UpdateLineWithoutNeedingPackageOrKnownReasonStillParses)
{
    EkvaPtr dependency = qpm_parse_log("2024-03-02 11:00:00: updated a_x86_64_1 to a_x86_64_2 as dependency of");
    ASSERT_TRUE(dependency);
    EXPECT_STREQ(ekva_getval(dependency.get(), "eqpkLogReason"), "dependency");
    EXPECT_EQ(ekva_getval(dependency.get(), "eqpkLogDependent"), nullptr);

    EkvaPtr no_reason = qpm_parse_log("2024-03-02 11:00:00: updated a_x86_64_1 to a_x86_64_2 as whatever");
    ASSERT_TRUE(no_reason);
    EXPECT_EQ(ekva_getval(no_reason.get(), "eqpkLogReason"), nullptr);
}

// A line written in winter, read in summer (or the other way round), must
// still give the moment it was written.
TEST_F(ActionLog, TimeOfALineFollowsDaylightSavingOfItsOwnDate)
{
    set_tz("CET-1CEST,M3.5.0,M10.5.0/3");
    EkvaPtr winter = qpm_parse_log("2024-01-15 12:00:00: installed foo_x86_64_1.0 as requested by user");
    EkvaPtr summer = qpm_parse_log("2024-07-15 12:00:00: installed foo_x86_64_1.0 as requested by user");
    ASSERT_TRUE(winter && summer);
    EXPECT_STREQ(ekva_getval(winter.get(), "eqpkLogTime"), "1705316400"); // 11:00 UTC
    EXPECT_STREQ(ekva_getval(summer.get(), "eqpkLogTime"), "1721037600"); // 10:00 UTC
}

TEST_F(ActionLog, TextFormListsNewestFirstWithFileLineNumbers)
{
    write_file(log_path(), std::string(INSTALL_LINE) + "\n" + UPDATE_LINE + "\n");
    EXPECT_EQ(qpm_showlog(&m_handle, QPM_LOGFORM_TEXT, 0), 2);
    EXPECT_EQ(ui_output(), "Date          : 2024-03-02 11:00:00\n"
                           "Action        : update\n"
                           "Package       : bar\n"
                           "Variant       : gtk\n"
                           "Version       : 2.0\n"
                           "Architecture  : i686\n"
                           "New Variant   : gtk\n"
                           "New Version   : 2.1\n"
                           "Reason        : dependency\n"
                           "Dependent     : foo\n"
                           "\n"
                           "Date          : 2024-03-01 10:20:30\n"
                           "Action        : install\n"
                           "Package       : foo\n"
                           "Version       : 1.0\n"
                           "Architecture  : x86_64\n"
                           "Reason        : user\n"
                           "\n");
}

TEST_F(ActionLog, TextFormShowsAMissingReasonEmpty)
{
    EkvaPtr record = qpm_parse_log("2024-03-02 11:00:00: updated a_x86_64_1 to a_x86_64_2 as whatever");
    ASSERT_TRUE(record);
    qpm_showlogline("1", record.get(), QPM_LOGFORM_TEXT);
    EXPECT_NE(qpmui->text.find("Reason        : \n"), std::string::npos) << qpmui->text;
    EXPECT_EQ(qpmui->text.find("(null)"), std::string::npos);
}

TEST_F(ActionLog, LdifFormNamesEachLineUnderTheDistributionBase)
{
    write_file(log_path(), std::string(INSTALL_LINE) + "\n");
    EXPECT_EQ(qpm_showlog(&m_handle, QPM_LOGFORM_LDIF, 1), 1);
    EXPECT_EQ(ui_output(), "dn: eqpkLogLine=1,dc=quendari,dc=org\n"
                           "eqpkLogLine: 1\n"
                           "objectClass: eqpkLog\n"
                           "eqpkLogDate: 2024-03-01 10:20:30\n"
                           "eqpkLogTime: 1709288430\n"
                           "eqpkLogAction: install\n"
                           "eqpkLogPkgUid: foo_x86_64_1.0\n"
                           "eqpkLogPkgName: foo\n"
                           "eqpkLogPkgVersion: 1.0\n"
                           "eqpkLogPkgArchitecture: x86_64\n"
                           "eqpkLogReason: user\n"
                           "\n");
}

TEST_F(ActionLog, CsvFormHasItsHeaderEvenWhenLinesAreSkipped)
{
    write_file(log_path(), std::string(INSTALL_LINE) + "\nnot a log line\n" + UPDATE_LINE + "\n");
    EXPECT_EQ(qpm_showlog(&m_handle, QPM_LOGFORM_CSV, 1), 3);
    EXPECT_EQ(ui_output(),
              "eqpkLogLine;eqpkLogDate;eqpkLogTime;eqpkLogAction;eqpkLogPkgName;eqpkLogPkgVariant;"
              "eqpkLogPkgVersion;eqpkLogPkgArchitecture;eqpkLogNewPkgVariant;eqpkLogNewPkgVersion;"
              "eqpkLogReason;eqpkLogDependent\n"
              "1;2024-03-01 10:20:30;1709288430;install;foo;;1.0;x86_64;;;user;\n"
              "3;2024-03-02 11:00:00;1709377200;update;bar;gtk;2.0;i686;gtk;2.1;dependency;foo\n");
    EXPECT_NE(log_text().find("skipping invalid line 2: <not a log line>"), std::string::npos);
}

TEST_F(ActionLog, RawFormCopiesLinesAndDebugFileTakesPrecedence)
{
    const std::string other = m_dir / "other.log";
    write_file(other, std::string(INSTALL_LINE) + "\nnot a log line\n");
    write_file(log_path(), std::string(UPDATE_LINE) + "\n");
    ScopedEnv debug_file(QPM_SHOWLOG_DEBUG_LOGFILE, other);
    EXPECT_EQ(qpm_showlog(&m_handle, QPM_LOGFORM_RAW, 0), 2);
    EXPECT_EQ(ui_output(), "not a log line\n" + std::string(INSTALL_LINE) + "\n");
}

TEST_F(ActionLog, EmptyOrMissingLogListsNothing)
{
    EXPECT_EQ(qpm_showlog(&m_handle, QPM_LOGFORM_TEXT, 1), 0);
    EXPECT_EQ(ui_output(), "");
    EXPECT_NE(log_text().find("failure reading log file <" + log_path() + ">"), std::string::npos);
}

TEST_F(ActionLog, ListingDoesNotRepeatEarlierInterfaceText)
{
    qpmui_line_new(qpmui.get(), "left over\n");
    write_file(log_path(), std::string(INSTALL_LINE) + "\n");
    qpm_showlog(&m_handle, QPM_LOGFORM_RAW, 1);
    EXPECT_EQ(ui_output(), std::string(INSTALL_LINE) + "\n");
}

} // namespace
} // namespace qpm
