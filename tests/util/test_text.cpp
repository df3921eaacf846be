#include <gtest/gtest.h>

#include "util/text.h"

namespace qpm {
namespace {

TEST(Text, AllPositionsOfACharacter)
{
    EXPECT_EQ(strallpos("a/b//c", '/'), (std::vector<int>{1, 3, 4}));
    EXPECT_TRUE(strallpos("abc", '/').empty());
}

TEST(Text, HexRoundTrip)
{
    const std::string bytes("\x00\x01\x7f\x80\xff", 5);
    EXPECT_EQ(bin2hex(bytes), "00017F80FF");
    EXPECT_EQ(bin2hex(""), "");
    EXPECT_EQ(hexs2bin("00017f80FF"), bytes);
}

TEST(Text, HexDecodingRefusesBadInput)
{
    EXPECT_EQ(hexs2bin(""), std::nullopt);
    EXPECT_EQ(hexs2bin("abc"), std::nullopt);
    EXPECT_EQ(hexs2bin("0g"), std::nullopt);
    unsigned char v = 0;
    EXPECT_EQ(hexchr2bin('f', v), 1);
    EXPECT_EQ(v, 15);
    EXPECT_EQ(hexchr2bin('G', v), 0);
}

TEST(Text, DottedQuads)
{
    EXPECT_EQ(isip4str("10.0.0.1"), 1);
    EXPECT_EQ(isip4str("010.000.000.001"), 1);
    EXPECT_EQ(isip4str("255.255.255.255"), 1);
    EXPECT_EQ(isip4str("256.1.1.1"), 0);
    EXPECT_EQ(isip4str("1.2.3"), 0);
    EXPECT_EQ(isip4str("1.2.3.4.5"), 0);
    EXPECT_EQ(isip4str("1..2.3"), 0);
    EXPECT_EQ(isip4str("1.2.3.4."), 0);
    EXPECT_EQ(isip4str(" 1.2.3.4"), 0);
    EXPECT_EQ(isip4str("1.2.3.-4"), 0);
    EXPECT_EQ(isip4str("00000000001.2.3.4"), 1);
}

} // namespace
} // namespace qpm
