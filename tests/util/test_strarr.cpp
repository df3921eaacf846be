#include <gtest/gtest.h>

#include "util/strarr.h"

#include <string>

namespace qpm {
namespace {

TEST(StrArr, SplitSkipsEmptyPiecesAndStopsAtThousand)
{
    EXPECT_EQ(str2arr(",a,,b,", ','), (StrArr{"a", "b"}));
    EXPECT_TRUE(str2arr(",,,", ',').empty());
    EXPECT_TRUE(str2arr("", ',').empty());

    std::string many;
    for (int i = 0; i < 1200; ++i)
        many += std::to_string(i) + ",";
    const StrArr pieces = str2arr(many, ',');
    ASSERT_EQ(pieces.size(), 1000u);
    EXPECT_EQ(pieces.back(), "999");
}

TEST(StrArr, SplitTrimKeepsFirstWordOfEachPiece)
{
    EXPECT_EQ(str2arr_trim(" a b,\tc ,d", ','), (StrArr{"a", "c", "d"}));
}

TEST(StrArr, JoinAndLookup)
{
    const StrArr a{"x", "Y", "z"};
    EXPECT_EQ(arr2str(a, ':'), "x:Y:z");
    EXPECT_EQ(arr2str({}, ':'), "");
    EXPECT_EQ(pos_array(a, "z"), 2);
    EXPECT_EQ(pos_array(a, "y"), -1);
    EXPECT_EQ(in_array(a, "y"), 0);
    EXPECT_EQ(in_array_i(a, "y"), 1);
    EXPECT_EQ(in_array_i(a, "yy"), 0);
    EXPECT_EQ(arr_count(a), 3);
}

TEST(StrArr, TailxSkipsPresentAndRepeatedEntries)
{
    StrArr a{"a", "b"};
    arr_tailx(a, {"b", "c", "c"});
    EXPECT_EQ(a, (StrArr{"a", "b", "c"}));

    arr_tailx(a, a);
    EXPECT_EQ(a, (StrArr{"a", "b", "c"}));
}

TEST(StrArr, TailOfItselfDoublesTheArray)
{
    StrArr a{"a", "b"};
    arr_tail(a, a);
    EXPECT_EQ(a, (StrArr{"a", "b", "a", "b"}));
}

TEST(StrArr, AddsSplitsAtCommasUniqueOrNot)
{
    StrArr a{"x"};
    arr_adds(a, 1, "x,y,,y");
    EXPECT_EQ(a, (StrArr{"x", "y"}));
    arr_adds(a, 0, "x,y");
    EXPECT_EQ(a, (StrArr{"x", "y", "x", "y"}));
}

TEST(StrArr, SortxDefaultsToByteOrderAndIsStable)
{
    StrArr a{"b", "a", "B", "c"};
    arr_sortx(a, nullptr);
    EXPECT_EQ(a, (StrArr{"B", "a", "b", "c"}));

    // 1.5 and 1.2 compare equal: their order is kept.
    StrArr n{"3", "1.5", "10", "1.2", "-2"};
    arr_sortx(n, list_cmp_num);
    EXPECT_EQ(n, (StrArr{"-2", "1.5", "1.2", "3", "10"}));
}

TEST(StrArr, SortxLeavesNoNeighboursOutOfOrderForNonTransitiveCompare)
{
    // list_cmp_num is not transitive (1.0 ~ 1.6 ~ 2.2, but 1.0 < 2.2).
    StrArr n{"2.2", "1.6", "1.0", "2.2", "1.0", "1.6"};
    arr_sortx(n, list_cmp_num);
    for (size_t i = 1; i < n.size(); ++i)
        EXPECT_LE(list_cmp_num(n[i - 1].c_str(), n[i].c_str()), 0) << i;
}

TEST(StrArr, CompareNumbersTruncatesTheDifference)
{
    EXPECT_EQ(list_cmp_num("1.5", "1.2"), 0);
    EXPECT_EQ(list_cmp_num("3", "1"), 2);
    EXPECT_EQ(list_cmp_num(" +2", "x"), 2);
    EXPECT_EQ(list_cmp_num("1e300", "-1e300"), INT32_MAX);
}

TEST(StrArr, CompareAddressesNumberByNumber)
{
    EXPECT_EQ(list_cmp_addr("10.0.0.2", "9.255.255.255"), 1);
    EXPECT_EQ(list_cmp_addr("10.0.0.2", "10.0.0.10"), -1);
    EXPECT_EQ(list_cmp_addr("1.2.3.4", "1.2.3.4"), 0);
    EXPECT_EQ(list_cmp_addr("1.2", "1.2.0.0"), 0);
}

TEST(StrArr, GrowingAddsReturnTheNewCount)
{
    StrArr a;
    EXPECT_EQ(arr_t21_add(a, "one"), 1);
    EXPECT_EQ(arr_t21_add(a, "two"), 2);
    std::vector<StrArr> all;
    EXPECT_EQ(aarr_t21_add(all, a), 1);
    a.clear();
    EXPECT_EQ(all[0], (StrArr{"one", "two"}));
}

} // namespace
} // namespace qpm
