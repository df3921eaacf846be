#include <gtest/gtest.h>

#include "util/csv.h"

#include "support/test_support.h"
#include "util/raii.h"

namespace qpm {
namespace {

TEST(Csv, QuotingDependsOnlyOnSeparatorAndForce)
{
    EXPECT_EQ(csv_quote("say \"hi\"", ',', 0), "say \"\"hi\"\"");
    EXPECT_EQ(csv_quote("a,b", ',', 0), "\"a,b\"");
    EXPECT_EQ(csv_quote("a\nb", ',', 0), "a\\nb");
    EXPECT_EQ(csv_quote("", ',', 1), "\"\"");
    EXPECT_EQ(csv_quote("", ',', 0), "");
    EXPECT_EQ(arr2csv({"a", "b;c", ""}, ';', 0), "a;\"b;c\";");
}

TEST(Csv, FieldsKeepTheLastEvenWhenEmpty)
{
    EXPECT_EQ(lgetcsv("a,,", ','), (StrArr{"a", "", ""}));
    EXPECT_EQ(lgetcsv("", ','), (StrArr{""}));
    EXPECT_EQ(lgetcsv(",,,,", ','), (StrArr{"", "", "", "", ""}));
    EXPECT_EQ(lgetcsv("\"a\",", ','), (StrArr{"a", ""}));
}

TEST(Csv, QuotedFieldsHoldSeparatorsAndDoubledQuotes)
{
    EXPECT_EQ(lgetcsv("a,\"b,c\",d", ','), (StrArr{"a", "b,c", "d"}));
    EXPECT_EQ(lgetcsv("\"x\"\"y\"", ','), (StrArr{"x\"y"}));
    // A lone quote inside stays; an unclosed field runs to the end.
    EXPECT_EQ(lgetcsv("\"a\"b\",c", ','), (StrArr{"a\"b", "c"}));
    EXPECT_EQ(lgetcsv("\"open,end", ','), (StrArr{"open,end"}));
    // A quote that does not open the field is an ordinary character.
    EXPECT_EQ(lgetcsv("a\"b,c", ','), (StrArr{"a\"b", "c"}));
}

TEST(Csv, BackslashNIsALineFeedUnlessEscaped)
{
    EXPECT_EQ(lgetcsv("a\\nb,\"c\\nd\"", ','), (StrArr{"a\nb", "c\nd"}));
    EXPECT_EQ(lgetcsv("a\\\\nb", ','), (StrArr{"a\\\\nb"}));
    EXPECT_EQ(lgetcsv("a\\tb\\", ','), (StrArr{"a\\tb\\"}));
}

TEST(Csv, ForcedQuotingRoundTrips)
{
    const StrArr fields{"plain", "with,comma", "with \"quote\"", "two\nlines", ""};
    EXPECT_EQ(lgetcsv(arr2csv(fields, ',', 1), ','), fields);
    // Bare fields keep doubled quotes: only a quoted field undoes them.
    EXPECT_EQ(lgetcsv(arr2csv({"a\"b", "c,d"}, ',', 0), ','), (StrArr{"a\"\"b", "c,d"}));
}

TEST(Csv, ManyFieldsFromAShortLine)
{
    const std::string line(5000, ';');
    EXPECT_EQ(lgetcsv(line, ';').size(), 5001u);
}

TEST(Csv, FileLinesLoseLineEndsAndOptionallyTheByteOrderMark)
{
    test::ScratchDir dir;
    const std::string path = dir / "t.csv";
    test::write_file(path, "\xEF\xBB\xBF" "a,b\r\nc\n\nd\n");

    FilePtr f = fopen_cloexec(path, "r");
    ASSERT_TRUE(f);
    EXPECT_EQ(fgetcsv(f.get(), ',', 1), (StrArr{"a", "b"}));
    EXPECT_EQ(fgetcsv(f.get(), ',', 1), (StrArr{"c"}));
    // A bare line feed ends the reading, like the end of the file.
    EXPECT_EQ(fgetcsv(f.get(), ',', 1), std::nullopt);
    EXPECT_EQ(fgetcsv(f.get(), ',', 1), (StrArr{"d"}));
    EXPECT_EQ(fgetcsv(f.get(), ',', 1), std::nullopt);

    f = fopen_cloexec(path, "r");
    ASSERT_TRUE(f);
    EXPECT_EQ(fgetcsv(f.get(), ',', 0), (StrArr{"\xEF\xBB\xBF" "a", "b"}));
}

TEST(Csv, LongFileLinesAreReadWhole)
{
    test::ScratchDir dir;
    const std::string path = dir / "long.csv";
    const std::string big(10000, 'x');
    test::write_file(path, big + "," + big + "\n");
    FilePtr f = fopen_cloexec(path, "r");
    ASSERT_TRUE(f);
    EXPECT_EQ(fgetcsv(f.get(), ',', 0), (StrArr{big, big}));
}

TEST(Csv, TextLinesReturnWhereTheNextBegins)
{
    const std::string text = "a;\"b;c\"\r\nd\n\ne";
    StrArr fields{"stale"};
    size_t pos = sgetcsv(text, ';', fields);
    EXPECT_EQ(fields, (StrArr{"a", "b;c"}));
    ASSERT_EQ(pos, 9u);

    pos += sgetcsv(std::string_view(text).substr(pos), ';', fields);
    EXPECT_EQ(fields, (StrArr{"d"}));
    // An empty line leaves no fields behind from the line before.
    pos += sgetcsv(std::string_view(text).substr(pos), ';', fields);
    EXPECT_TRUE(fields.empty());
    pos += sgetcsv(std::string_view(text).substr(pos), ';', fields);
    EXPECT_EQ(fields, (StrArr{"e"}));
    EXPECT_EQ(pos, text.size());

    EXPECT_EQ(sgetcsv("", ';', fields), 0u);
    EXPECT_TRUE(fields.empty());
}

} // namespace
} // namespace qpm
