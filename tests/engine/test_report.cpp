// The report writers: package details in every form, package lists as text
// columns, CSV, LDIF and tables, and the action table of a plan.
#include "engine/report.h"

#include "package/signature.h"
#include "support/test_support.h"
#include "support/ui_session.h"
#include "ui/ftable.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace qpm {
namespace {

using test::ScopedTimeZone;
using test::stream_text;
using test::UiSession;

// An installed package with every field a report shows.
qpk_info installed_hello()
{
    qpk_info qpi;
    qpi.name = "hello";
    qpi.variant = "static";
    qpi.version = "2.1";
    qpi.architecture = QPM_ARCH_X86_64;
    qpi.creator = "Ann";
    qpi.description = "A greeting";
    qpi.dependencies = {"libc", "zlib"};
    qpi.data_size = 2048;
    qpi.file_size = 1500;
    qpi.install_time = 1700000000; // 2023-11-14 22:13:20 UTC
    qpi.install_type = QPK_INSTALL_DEPENDENCY;
    qpi.install_head = "world";
    qpi.update_times = {1700000100, 1700003600};
    qpi.signer_subject = "CN=Ann";
    qpi.signature = "\x01\x02\x03";
    qpi.signature_status = QPS_VERIFIED;
    return qpi;
}

// A catalogue package with only what a description must hold.
qpk_info bare_tool()
{
    qpk_info qpi;
    qpi.name = "tool";
    qpi.version = "0.9";
    qpi.architecture = QPM_ARCH_ANY;
    qpi.description = "Tools, \"quoted\"";
    qpi.data_size = 100;
    return qpi;
}

std::string to_file(const qpk_info &qpi, int type, int form)
{
    test::ScratchDir dir;
    FilePtr file = fopen_cloexec(dir / "out", "w+");
    EXPECT_EQ(qpm_qpk_info_write(&qpi, file.get(), type, form), 0);
    return stream_text(file.get());
}

std::string to_ui(const qpk_info &qpi, int type, int form)
{
    UiSession session("", 3);
    EXPECT_EQ(qpm_qpk_info_write(&qpi, nullptr, type, form), 0);
    return session.out();
}

TEST(InfoWrite, EachFormByteForByteToFileAndToInterface)
{
    ScopedTimeZone tz("UTC0");
    const qpk_info hello = installed_hello();
    const struct {
        int form;
        const char *expected;
    } cases[] = {
        {QPM_INFO_TEXT, "Name: hello\n"
                        "Variant: static\n"
                        "Version: 2.1\n"
                        "Architecture: x86_64\n"
                        "Creator: Ann\n"
                        "Dependency: libc\n"
                        "Dependency: zlib\n"
                        "Description: A greeting\n"
                        "\n"
                        "Installed at: 2023-11-14 22:13:20\n"
                        "Installed as: Dependency of world\n"
                        "Last updated at: 2023-11-14 23:13:20\n"},
        {QPM_INFO_LINE, "hello:static:2.1:x86_64:Ann:libc|zlib:A greeting\n"},
        {QPM_INFO_LDIF, "dn: eqpkUid=hello_static_x86_64_2.1,dc=quendari,dc=org\n"
                        "eqpkUid: hello_static_x86_64_2.1\n"
                        "eqpkName: hello\n"
                        "eqpkVariant: static\n"
                        "eqpkVersion: 2.1\n"
                        "eqpkArchitecture: x86_64\n"
                        "eqpkCreator: Ann\n"
                        "eqpkDependency: libc\n"
                        "eqpkDependency: zlib\n"
                        "eqpkDescription: A greeting\n"
                        "eqpkDataSize: 2048\n"
                        "eqpkFileSize: 1500\n"
                        "eqpkRsaSigSubj: CN=Ann\n"
                        "eqpkRsaSigData:: AQID\n"
                        "eqpkInstallTime: 1700000000\n"
                        "eqpkInstallType: D\n"
                        "eqpkInstallHead: world\n"
                        "eqpkUpdateTime: 1700000100\n"
                        "eqpkUpdateTime: 1700003600\n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(to_file(hello, QPM_INFO_INSTALLED, c.form), c.expected) << "form " << c.form;
        EXPECT_EQ(to_ui(hello, QPM_INFO_INSTALLED, c.form), c.expected) << "form " << c.form;
    }
}

TEST(InfoWrite, FormOfTheInterfaceByKindOfPackage)
{
    ScopedTimeZone tz("UTC0");
    EXPECT_EQ(to_ui(installed_hello(), QPM_INFO_INSTALLED, QPM_INFO_FORM),
              "Package details\n"
              "Name                     : hello\n"
              "Variant                  : static\n"
              "Version                  : 2.1\n"
              "Architecture             : x86_64\n"
              "Creator                  : Ann\n"
              "Description              : A greeting\n"
              "Signature                : Successfully verified\n"
              "Dependency               : - libc\n"
              "                           - zlib\n"
              "Data size                : 2.0 kB\n"
              "Installed at             : 2023-11-14 22:13:20\n"
              "Installed as             : Dependency of world\n"
              "Last updated at          : 2023-11-14 23:13:20\n");
    // A catalogue package: its file size, no install lines; status 0 shows no
    // signature line, a missing creator an empty one.
    qpk_info tool = bare_tool();
    tool.file_size = 4096;
    EXPECT_EQ(to_ui(tool, QPM_INFO_CATALOGUE, QPM_INFO_FORM),
              "Package details\n"
              "Name                     : tool\n"
              "Version                  : 0.9\n"
              "Architecture             : any\n"
              "Creator                  : \n"
              "Description              : Tools, \"quoted\"\n"
              "Data size                : 100 bytes\n"
              "File size                : 4.0 kB\n");
}

TEST(InfoWrite, AbsentValuesAndUnknownForms)
{
    const qpk_info tool = bare_tool();
    // Empty fields stand between the colons; no install lines without an
    // install time; LDIF leaves absent attributes out.
    EXPECT_EQ(to_file(tool, QPM_INFO_CATALOGUE, QPM_INFO_LINE), "tool::0.9:any:::Tools, \"quoted\"\n");
    EXPECT_EQ(to_file(tool, QPM_INFO_CATALOGUE, QPM_INFO_TEXT),
              "Name: tool\nVersion: 0.9\nArchitecture: any\nDescription: Tools, \"quoted\"\n");
    EXPECT_EQ(to_file(tool, QPM_INFO_CATALOGUE, QPM_INFO_LDIF),
              "dn: eqpkUid=tool_any_0.9,dc=quendari,dc=org\n"
              "eqpkUid: tool_any_0.9\neqpkName: tool\neqpkVersion: 0.9\neqpkArchitecture: any\n"
              "eqpkDescription: Tools, \"quoted\"\neqpkDataSize: 100\n");
    for (const int form : {0, 3, 5, 7})
        EXPECT_EQ(to_file(tool, QPM_INFO_CATALOGUE, form), "") << "form " << form;
}

std::string list_to_file(const QpiList &infos, int source, int form)
{
    test::ScratchDir dir;
    FilePtr file = fopen_cloexec(dir / "out", "w+");
    EXPECT_EQ(qpm_qpk_list_write(file.get(), infos, static_cast<int>(infos.size()), source, form, 0), 0);
    return stream_text(file.get());
}

QpiList two_packages()
{
    QpiList list;
    list.push_back(std::make_unique<qpk_info>(installed_hello()));
    list.push_back(std::make_unique<qpk_info>(bare_tool()));
    return list;
}

TEST(ListWrite, TextColumnsCutLongNames)
{
    QpiList list = two_packages();
    list[0]->name = "a-rather-long-package-name";
    EXPECT_EQ(list_to_file(list, QPM_LIST_INSTALLED, QPM_FORM_TEXT),
              "Name (with variant)       Version         Description                        \n"
              "-------------------       -------         -----------                        \n"
              "a-rather-long-package-na  2.1             A greeting                         \n"
              "tool                      0.9             Tools, \"quoted\"                    \n"
              "\n");
}

TEST(ListWrite, CsvHeaderAndRowsShareOneColumnList)
{
    ScopedTimeZone tz("UTC0");
    const QpiList list = two_packages();
    EXPECT_EQ(list_to_file(list, QPM_LIST_INSTALLED, QPM_FORM_CSV),
              "eqpkName,eqpkVariant,eqpkVersion,eqpkArchitecture,eqpkCreator,eqpkDescription,eqpkDependency,"
              "eqpkDataSize,eqpkInstallTime,eqpkInstallType,eqpkInstallHead,eqpkUpdateTime\n"
              "hello,static,2.1,x86_64,Ann,A greeting,libc|zlib,2048,1700000000,D,world,1700000100|1700003600\n"
              "tool,,0.9,any,,\"Tools, \"\"quoted\"\"\",,100,0,,,\n"
              "\n");
    // The catalogue's columns, the same for every row whatever it holds.
    const std::string catalogue = list_to_file(list, QPM_LIST_CATALOGUE, QPM_FORM_CSV);
    EXPECT_EQ(catalogue.substr(0, catalogue.find('\n')),
              "eqpkName,eqpkVariant,eqpkVersion,eqpkArchitecture,eqpkCreator,eqpkDescription,eqpkDependency,"
              "eqpkDataSize,eqpkFileSize,eqpkFileHash,eqpkRsaSigSubj,eqpkAbsoluteURI,eqpkRelativeURI");
    EXPECT_NE(catalogue.find("\nhello,static,2.1,x86_64,Ann,A greeting,libc|zlib,2048,1500,,CN=Ann,,\n"),
              std::string::npos)
        << catalogue;
}

TEST(ListWrite, LdifEntriesBeginWithTheirNameAndLeaveBinaryOut)
{
    QpiList list;
    list.push_back(std::make_unique<qpk_info>(installed_hello()));
    const std::string text = list_to_file(list, QPM_LIST_CATALOGUE, QPM_FORM_LDIF);
    EXPECT_EQ(text.rfind("dn: eqpkUid=hello_static_x86_64_2.1,dc=quendari,dc=org\n"
                         "eqpkUid: hello_static_x86_64_2.1\n"
                         "eqpkName: hello\n",
                         0),
              0u)
        << text;
    EXPECT_EQ(text.find("eqpkRsaSigData"), std::string::npos) << text;
    EXPECT_NE(text.find("eqpkDependency: libc\neqpkDependency: zlib\n"), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with("\n\n\n")) << text; // entry, empty line, end of table
}

TEST(ListWrite, InterfaceTableWithDependencies)
{
    UiSession session("", 3);
    const QpiList list = two_packages();
    EXPECT_EQ(qpm_qpk_list_write(nullptr, list, 2, QPM_LIST_CATALOGUE, QPM_LIST_TABLE, 1), 0);
    EXPECT_EQ(session.out(),
              "Found 2 matching packages in catalogue\n\n"
              "Name                 Variant    Version    Description                         Dependencies                   \n"
              "----                 ----       ----       ----                                ----                           \n"
              "hello                static     2.1        A greeting                          libc,zlib                      \n"
              "tool                            0.9        Tools, \"quoted\"                     "
              "                               \n\n");
}

TEST(PlanWrite, ActionTableInKilobytesRoundedDown)
{
    UiSession session("", 3);
    QpaList actions;
    const auto add = [&](const char *code, qpk_info qpi) {
        actions.push_back({code, qpi.name, std::make_unique<qpk_info>(std::move(qpi))});
    };
    qpk_info small = bare_tool();
    small.file_size = 1023;
    small.data_size = 1024 * 1024 + 1023;
    add("IR", std::move(small));
    add("UR", installed_hello());
    EXPECT_EQ(qpm_qpa_list_write(actions, "Plan", 1, 1), 0);
    EXPECT_EQ(session.out(), "Plan\n\n"
                             "Action     Package                   Version    Package size in kb Installed size in kb \n"
                             "----       ----                      ----       ----       ----       \n"
                             "install    tool                      0.9              0       1024    \n"
                             "update     hello                     2.1              1          2    \n"
                             "\n");
}

TEST(PlanWrite, LdifChangeRecords)
{
    UiSession session("", 3);
    QpaList actions;
    actions.push_back({"D", "tool", std::make_unique<qpk_info>(bare_tool())});
    EXPECT_EQ(qpm_qpa_list_write(actions, "Plan", QPM_FORM_LDIF, 1), 0);
    EXPECT_EQ(session.out(), "dn: eqpkUid=tool_any_0.9,dc=quendari,dc=org\n"
                             "changeType: delete\n"
                             "eqpkUid: tool_any_0.9\n"
                             "eqpkName: tool\n"
                             "eqpkVersion: 0.9\n"
                             "eqpkDescription: Tools, \"quoted\"\n"
                             "\n");
}

TEST(Ftable, CsvColumnsComeFromTheHeaderOnce)
{
    test::ScratchDir dir;
    FilePtr file = fopen_cloexec(dir / "out", "w+");
    EkvaPtr header = str2ekva("a=,B=,A=,c=", ',');
    QpmFtablePtr table = qpm_ftable_new(file.get(), header.get(), 7, QPM_FORM_CSV, 10);
    ASSERT_TRUE(table);
    EkvaPtr row = str2ekva("c=3,x=9,a=1,a=2", ',');
    EXPECT_EQ(qpm_ftable_add(table.get(), row.get()), 0);
    EXPECT_EQ(qpm_ftable_end(table.get()), 0);
    EXPECT_EQ(table->count(), 11);
    EXPECT_EQ(table->value(), 7);
    EXPECT_EQ(stream_text(file.get()), "a,B,c\n1|2,,3\n\n");
}

TEST(Ftable, LdifUiwriteAppendsToTheTextBuffer)
{
    UiSession session("", 3);
    qpmui_line_new(session.ui(), "x\n");
    EXPECT_EQ(ldif_uiwrite("cn", "plain", 5, 0), 10);
    EXPECT_GT(ldif_uiwrite("data", std::string_view("\0\1\2zz", 5), 3, 1), 0);
    EXPECT_EQ(session.ui()->text, "x\ncn: plain\ndata:: AAEC\n");
}

} // namespace
} // namespace qpm
