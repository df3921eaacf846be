#include "record/ekva.h"
#include "support/test_support.h"
#include "support/ui_session.h"
#include "ui/progress.h"
#include "ui/ui.h"
#include "util/globals.h"
#include "util/raii.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace qpm;
using qpm::test::UiSession;

namespace {

EkvaPtr cleanup_choices()
{
    return str2ekva("k=keep entry,L=Leave all entries,d=delete entry,R=Remove all entries,a=abort cleanup", ',');
}

size_t count_of(const std::string &text, const std::string &piece)
{
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(UiSelect, ModeThreeReturnsTheDefaultPointerWithoutAsking)
{
    UiSession session("k\n", 3);
    EkvaPtr choices = cleanup_choices();
    const char *def = "d";
    EXPECT_EQ(qpmui_select(session.ui(), "question", choices.get(), def, 0), def);
    EXPECT_EQ(qpmui_select(session.ui(), "question", choices.get(), nullptr, 0), nullptr);
    EXPECT_EQ(session.err(), "");
    EXPECT_EQ(session.rest(), "k\n");
}

TEST(UiSelect, AnswerIsTheKeyInsideTheListAndCaseMustMatch)
{
    UiSession session("K\nk\n", 1);
    EkvaPtr choices = cleanup_choices();
    const char *answer = qpmui_select(session.ui(), "Delete it?", choices.get(), "d", 0);
    ASSERT_EQ(answer, choices->entries()[0].key.c_str());
    const std::string err = session.err();
    // K matches k only ignoring case: asked again without an error message.
    EXPECT_EQ(count_of(err, "\nDelete it?\n\n"), 2u);
    EXPECT_EQ(err.find("invalid choice"), std::string::npos);
    EXPECT_NE(err.find("k: keep entry\nL: Leave all entries\nd: delete entry\n"), std::string::npos);
    EXPECT_NE(err.find("\nChoice [d]: \n<K> chosen\n"), std::string::npos);
    EXPECT_NE(err.find("<k> chosen\n<k> chosen per default\n"), std::string::npos);
}

TEST(UiSelect, EmptyAnswerTakesTheDefaultFromTheList)
{
    UiSession session("\n", 2);
    EkvaPtr choices = cleanup_choices();
    const char *def = "d";
    const char *answer = qpmui_select(session.ui(), "q", choices.get(), def, 0);
    EXPECT_EQ(answer, choices->entries()[2].key.c_str());
    EXPECT_NE(answer, def);
}

TEST(UiSelect, UnknownAnswerIsRejectedAndAskedAgain)
{
    UiSession session("x\nR\n", 1);
    EkvaPtr choices = cleanup_choices();
    const char *answer = qpmui_select(session.ui(), "q", choices.get(), nullptr, 0);
    ASSERT_NE(answer, nullptr);
    EXPECT_STREQ(answer, "R");
    const std::string err = session.err();
    EXPECT_NE(err.find("\nChoice: \n<x> chosen\ninvalid choice: x\n"), std::string::npos);
}

TEST(UiSelect, EndOfInputWithoutDefaultGivesNoAnswer)
{
    UiSession session("", 1);
    EkvaPtr choices = cleanup_choices();
    EXPECT_EQ(qpmui_select(session.ui(), "q", choices.get(), nullptr, 0), nullptr);
    EXPECT_NE(session.err().find("<> chosen\nYou must choose a value\n"), std::string::npos);
}

TEST(UiSelect, EndOfInputTakesTheDefaultWhenItIsAChoice)
{
    UiSession session("K\n", 1);
    EkvaPtr choices = cleanup_choices();
    const char *answer = qpmui_select(session.ui(), "q", choices.get(), "a", 0);
    ASSERT_NE(answer, nullptr);
    EXPECT_STREQ(answer, "a");
}

TEST(UiSelect, EndOfInputWithADefaultOutsideTheListGivesNoAnswer)
{
    UiSession session("", 1);
    EkvaPtr choices = cleanup_choices();
    EXPECT_EQ(qpmui_select(session.ui(), "q", choices.get(), "z", 0), nullptr);
    EXPECT_NE(session.err().find("invalid choice: z\n"), std::string::npos);
}

TEST(UiSelect, LastAnswerWithoutLineFeedIsKeptWhole)
{
    UiSession session("k", 1);
    EkvaPtr choices = cleanup_choices();
    const char *answer = qpmui_select(session.ui(), "q", choices.get(), nullptr, 0);
    ASSERT_NE(answer, nullptr);
    EXPECT_STREQ(answer, "k");
}

TEST(UiSelect, LongAnswerIsCutToThirtyCharactersAndItsRestDropped)
{
    const std::string thirty(30, 'x');
    UiSession session(thirty + "yyyyyyyy" + "k\nd\n", 1);
    EkvaPtr choices = cleanup_choices();
    const char *answer = qpmui_select(session.ui(), "q", choices.get(), nullptr, 0);
    ASSERT_NE(answer, nullptr);
    EXPECT_STREQ(answer, "d");
    const std::string err = session.err();
    EXPECT_NE(err.find("<" + thirty + "> chosen\ninvalid choice: " + thirty + "\n"), std::string::npos);
    EXPECT_EQ(err.find("<y"), std::string::npos);
}

TEST(UiSelect, OwnValueReplacesTheDescriptionOfTheLastEntry)
{
    UiSession session("o\n\no\nmy own text\n", 1);
    EkvaPtr choices = str2ekva("a=take a,o=own value", ',');
    const char *answer = qpmui_select(session.ui(), "q", choices.get(), nullptr, 1);
    ASSERT_EQ(answer, choices->entries()[1].key.c_str());
    EXPECT_EQ(choices->entries()[1].value, "my own text");
    // The empty own value asked the question again.
    EXPECT_EQ(count_of(session.err(), "\nEnter your own value: \n"), 2u);
    EXPECT_EQ(count_of(session.err(), "\nq\n\n"), 2u);
}

TEST(UiSelect, OwnValueCutOffByEndOfInputGivesNoAnswer)
{
    UiSession session("o\n", 1);
    EkvaPtr choices = str2ekva("a=take a,o=own value", ',');
    EXPECT_EQ(qpmui_select(session.ui(), "q", choices.get(), "a", 1), nullptr);
    EXPECT_EQ(choices->entries()[1].value, "own value");
}

TEST(UiYesno, ModeThreeReturnsTheDefaultEvenWithoutOne)
{
    UiSession session("n\n", 3);
    EXPECT_EQ(qpmui_yesno(session.ui(), "Go", 1), 1);
    EXPECT_EQ(qpmui_yesno(session.ui(), "Go", -1), -1);
    EXPECT_EQ(session.err(), "");
}

TEST(UiYesno, ModeTwoAsksOnlyWithoutDefault)
{
    UiSession session("y\n", 2);
    EXPECT_EQ(qpmui_yesno(session.ui(), "Go", 0), 0);
    EXPECT_EQ(session.err(), "");
    EXPECT_EQ(qpmui_yesno(session.ui(), "Go", -1), 1);
    EXPECT_EQ(session.err(), "Go [y/n] ? \n");
}

TEST(UiYesno, ModeOneAnswers)
{
    UiSession session("\nyes\nn\n\nY\n", 1);
    EXPECT_EQ(qpmui_yesno(session.ui(), "Add", 1), 1); // Enter
    EXPECT_EQ(qpmui_yesno(session.ui(), "Add", 1), 1); // yes
    EXPECT_EQ(qpmui_yesno(session.ui(), "Add", 1), 0); // n
    EXPECT_EQ(qpmui_yesno(session.ui(), "Remove", 0), 0); // Enter
    EXPECT_EQ(qpmui_yesno(session.ui(), "Remove", 0), 1); // Y
    EXPECT_EQ(session.err(), "Add [Y/n] ? Add [Y/n] ? \nAdd [Y/n] ? \nRemove [y/N] ? Remove [y/N] ? \n");
}

TEST(UiYesno, EndOfInputAnswersNo)
{
    UiSession session("", 1);
    EXPECT_EQ(qpmui_yesno(session.ui(), "Add", 1), 0);
    EXPECT_EQ(qpmui_yesno(session.ui(), "Add", -1), 0);
}

TEST(UiInput, ClearInputDiscardsOneLine)
{
    UiSession session("junk line\nnext\n", 1);
    qpmui_clear_input();
    EXPECT_EQ(session.rest(), "next\n");
}

TEST(UiTable, HeadRowsAndEnd)
{
    UiSession session("", 1);
    EkvaPtr columns = str2ekva("Name=6,Size=abc", ',');
    ASSERT_EQ(qpmui_write_table_new(session.ui(), "Packages", columns.get()), 0);
    EXPECT_EQ(session.ui()->table_widths, "6,20");
    EkvaPtr row = ekva_init(4);
    ekva_addval(row, "n", "ash", EKVA_APPEND);
    ekva_addval(row, "s", std::nullopt, EKVA_APPEND);
    EXPECT_EQ(qpmui_write_table_add(session.ui(), row.get()), 0);
    EkvaPtr long_row = str2ekva("n=verylongname,s=1", ',');
    EXPECT_EQ(qpmui_write_table_add(session.ui(), long_row.get()), 0);
    EXPECT_EQ(qpmui_write_table_end(session.ui()), 0);
    EXPECT_FALSE(session.ui()->table_widths);
    EXPECT_EQ(session.out(), "Packages\n\n"
                             "Name   Size                 \n"
                             "----   ----                 \n"
                             "ash                         \n"
                             "verylongname 1                    \n"
                             "\n");
    EXPECT_EQ(session.err(), "");
}

TEST(UiTable, WrongRowWidthClosesTheTable)
{
    UiSession session("", 1);
    EkvaPtr columns = str2ekva("Action=10,Package=25", ',');
    ASSERT_EQ(qpmui_write_table_new(session.ui(), "Plan", columns.get()), 0);
    EkvaPtr row = str2ekva("a=install", ',');
    EXPECT_EQ(qpmui_write_table_add(session.ui(), row.get()), -1);
    EXPECT_EQ(qpmui_write_table_add(session.ui(), row.get()), -1);
    EXPECT_EQ(session.err(), "Oops, 10,25 does not expand to 1 elements\nOops, we cant find the data\n");
}

TEST(UiTable, RowWithoutHeadIsRefused)
{
    UiSession session("", 1);
    EkvaPtr row = str2ekva("a=install", ',');
    EXPECT_EQ(qpmui_write_table_add(session.ui(), row.get()), -1);
    EXPECT_EQ(session.err(), "Oops, we cant find the data\n");
    EXPECT_EQ(session.out(), "");
}

TEST(UiTable, HeadWithoutColumnsPrintsOneEmptyLine)
{
    UiSession session("", 1);
    ASSERT_EQ(qpmui_write_table_new(session.ui(), "Empty", nullptr), 0);
    EXPECT_EQ(session.out(), "Empty\n\n\n");
}

TEST(UiForm, RepeatedKeysFormALists)
{
    UiSession session("", 1);
    EkvaPtr entries = str2ekva("a=1,b=2,b=3,c=4,C=5", ',');
    ASSERT_EQ(qpmui_write_form("Package details", entries.get()), 0);
    const std::string pad(24, ' ');
    EXPECT_EQ(session.out(), "Package details\n"
                             "a" + pad + ": 1\n"
                             "b" + pad + ": - 2\n"
                             " " + pad + "  - 3\n"
                             "c" + pad + ": 4\n"
                             "C" + pad + ": 5\n");
}

TEST(UiText, LineNewGrowsWhenTheTextAndTwoDoNotFit)
{
    UiSession session("", 1);
    QpmUi *ui = session.ui();
    ASSERT_EQ(ui->capacity, 256);
    EXPECT_EQ(qpmui_line_new(ui, std::string(253, 'a')).size(), 253u);
    EXPECT_EQ(ui->capacity, 256);
    qpmui_line_new(ui, std::string(254, 'a'));
    EXPECT_EQ(ui->capacity, 512);
    EXPECT_EQ(ui->size, 512);
    EXPECT_EQ(qpmui_line_new(ui, "short"), "short");
}

TEST(UiText, LineAddDoublesUntilBothFit)
{
    UiSession session("", 1);
    QpmUi *ui = session.ui();
    qpmui_line_new(ui, std::string(200, 'a'));
    const std::string &text = qpmui_line_add(ui, std::string(100, 'b'));
    EXPECT_EQ(ui->capacity, 512);
    EXPECT_EQ(ui->size, 512);
    EXPECT_EQ(text, std::string(200, 'a') + std::string(100, 'b'));
    qpmui_line_add(ui, std::string(1500, 'c'));
    EXPECT_EQ(ui->capacity, 2048);
    EXPECT_EQ(ui->text.size(), 1800u);
}

TEST(UiText, BufferMayBeAddedToItself)
{
    UiSession session("", 1);
    QpmUi *ui = session.ui();
    qpmui_line_new(ui, std::string(200, 'a'));
    qpmui_line_add(ui, ui->text);
    EXPECT_EQ(ui->text, std::string(400, 'a'));
    qpmui_line_new(ui, std::string_view(ui->text).substr(0, 10));
    EXPECT_EQ(ui->text, std::string(10, 'a'));
}

TEST(UiText, BoundedPrintsAreCutToTheUsableSize)
{
    UiSession session("", 1);
    QpmUi *ui = session.ui();
    const std::string long_name(400, 'n');
    EXPECT_EQ(qpmui_text_printf(ui, "Installing %s\n", long_name.c_str()).size(), 255u);
    EXPECT_EQ(qpmui_scratch_printf(ui, "%d packages", 3), "3 packages");
    qpmui_line_new(ui, std::string(600, 'x'));
    EXPECT_EQ(qpmui_text_printf(ui, "%s", long_name.c_str()), long_name);
}

TEST(UiWrite, TextAndFilesGoToStandardOutput)
{
    UiSession session("", 1);
    test::ScratchDir dir;
    const std::string content(3000, 'z');
    test::write_file(dir / "list", content);
    EXPECT_EQ(qpmui_write(session.ui(), "hello "), 0);
    EXPECT_EQ(qpmui_write_info(session.ui(), "world\n", 1), 0);
    EXPECT_EQ(qpmui_write_file(dir / "list"), 3000);
    EXPECT_EQ(qpmui_write_file(dir / "missing"), -1);
    EXPECT_EQ(session.out(), "hello world\n" + content);
}

TEST(UiInit, TitleAndBuffer)
{
    QpmUiPtr ui = qpmui_init(nullptr, 7);
    ASSERT_TRUE(ui);
    EXPECT_EQ(ui->title, "qpm");
    EXPECT_EQ(ui->description, "standard qpm command line interface");
    EXPECT_EQ(ui->level, 7);
    EXPECT_EQ(ui->size, textmax);
    qpmui_level(ui.get(), 3);
    EXPECT_EQ(ui->level, 3);
}

TEST(UiInit, NoBufferSizeFails)
{
    const int saved = textmax;
    textmax = 0;
    test::CaptureFd err(2);
    QpmUiPtr ui = qpmui_init("x", 7);
    const std::string text = err.finish();
    textmax = saved;
    EXPECT_FALSE(ui);
    EXPECT_EQ(text, "Failed to initiallize ui\n");
}

TEST(Progress, LineAndSizes)
{
    EXPECT_EQ(progress_size(0), "0 B");
    EXPECT_EQ(progress_size(1023), "1023 B");
    EXPECT_EQ(progress_size(1536), "1.5 KiB");
    EXPECT_EQ(progress_size(200ull << 20), "200.0 MiB");
    EXPECT_EQ(progress_size(3ull << 40), "3.0 TiB");
    EXPECT_EQ(progress_size(5ull << 50), "5120.0 TiB");
    EXPECT_EQ(progress_line(2, 3, "hello", "1.0", 1536, 4096, 1), "[2/3] hello 1.0: 1.5 KiB of 4.0 KiB, 1 file");
    // Outside a run no count; a package without a declared size shows none.
    EXPECT_EQ(progress_line(1, 0, "x", "2", 10, 0, 0), "x 2: 10 B, 0 files");
}

TEST(Progress, NothingWithoutATerminal)
{
    // The tests' standard error is no terminal: enabling fails and a whole
    // package leaves no trace.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(progress_enable(true));
    {
        const ProgressRun run(1);
        const ProgressPackage package("x", "1", 10);
        progress_unpacked("data/x", 10, true);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
