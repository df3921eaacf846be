#include <gtest/gtest.h>

#include "util/kv.h"

namespace qpm {
namespace {

KeyValue split(std::string_view line) { return _split_line(line); }

TEST(Kv, SplitsAtFirstEqualsAndKeepsFirstWordOfKey)
{
    EXPECT_EQ(split("a=b").key, "a");
    EXPECT_EQ(split("a=b").value, "b");
    EXPECT_EQ(split("my key = x").key, "my");
    EXPECT_EQ(split("k=a=b").value, "a=b");
    EXPECT_EQ(split("  # note = 1").key, "#");
}

TEST(Kv, LineWithoutEqualsOrKeyIsEmpty)
{
    const KeyValue none = split("include /etc/other.conf");
    EXPECT_EQ(none.key, "");
    EXPECT_EQ(none.value, "");
    EXPECT_EQ(split("  = x").key, "");
    EXPECT_EQ(split("k=").value, "");
}

TEST(Kv, UnquotedValueLosesTrailingSpacesButNotTabs)
{
    EXPECT_EQ(split("a =   b   ").value, "b");
    EXPECT_EQ(split("a = b\t").value, "b\t");
    EXPECT_EQ(split("a = b # c").value, "b # c");
    EXPECT_EQ(_clean_val(" \t \t"), "");
}

TEST(Kv, QuotedValueEndsAtNextQuoteOfEitherKind)
{
    EXPECT_EQ(split("a=\"quoted text\" more").value, "quoted text");
    EXPECT_EQ(split("a='it\\'s'").value, "it's");
    EXPECT_EQ(split("a=\"it's\"").value, "it");
    EXPECT_EQ(split("a=\"  inside kept  \"").value, "  inside kept  ");
    EXPECT_EQ(split("a=\"no end  ").value, "no end  ");
    EXPECT_EQ(split("a=\"\"").value, "");
    // A backslash not before a quote stays.
    EXPECT_EQ(split("a=\"c:\\dir\"").value, "c:\\dir");
}

TEST(Kv, TrimValueIgnoresQuotes)
{
    EXPECT_EQ(_trim_val(" \t'x'  "), "'x'");
    EXPECT_EQ(_trim_val("x\t "), "x\t");
    EXPECT_EQ(_clean_key("\t first second"), "first");
    EXPECT_EQ(_clean_key(""), "");
}

} // namespace
} // namespace qpm
