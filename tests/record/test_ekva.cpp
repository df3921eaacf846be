#include "record/ekva.h"

#include "support/test_support.h"
#include "util/csv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unistd.h>

namespace qpm {
namespace {

// "key=value" for every entry, in order; "key" alone for a null value.
std::string dump(const Ekva *e)
{
    std::string out;
    for (const auto &entry : e->entries()) {
        if (!out.empty())
            out += ' ';
        out += entry.key;
        if (entry.value)
            out += "=" + *entry.value;
    }
    return out;
}

EkvaPtr make(std::initializer_list<std::pair<const char *, const char *>> pairs, int kind = 3)
{
    EkvaPtr e = ekva_new(4, kind);
    for (const auto &[key, value] : pairs)
        ekva_addval(e, key, ekva_opt(value), EKVA_APPEND);
    return e;
}

TEST(Ekva, NewRefusesBadCapacityAndKind)
{
    EXPECT_EQ(ekva_new(0, 2), nullptr);
    EXPECT_EQ(ekva_new(5, 0), nullptr);
    EXPECT_EQ(ekva_new(5, 5), nullptr);
    EkvaPtr e = ekva_init(7);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->header_key(), "#EKVA_10:7:2");
    EXPECT_EQ(ekva_nument(e.get()), 0);
}

TEST(Ekva, AddReturnsElementCountWithHeader)
{
    EkvaPtr e = ekva_new(2, 3);
    EXPECT_EQ(ekva_addval(e, "a", "1", EKVA_APPEND), 2);
    EXPECT_EQ(ekva_addval(e, "b", "2", EKVA_APPEND), 3);
    EkvaPtr none;
    EXPECT_EQ(ekva_addval(none, "a", "1", EKVA_APPEND), 0);
}

TEST(Ekva, KeepRuleIgnoresKeyInAnotherCase)
{
    EkvaPtr e = ekva_new(4, 1);
    ekva_addval(e, "name", "first", EKVA_KEEP);
    EXPECT_EQ(ekva_addval(e, "Name", "second", EKVA_KEEP), 2);
    EXPECT_EQ(dump(e.get()), "name=first");
}

TEST(Ekva, DuplicateRulesKeepBothInInsertionOrder)
{
    for (int rule : {EKVA_APPEND, EKVA_DUPS, EKVA_DUPS4}) {
        EkvaPtr e = ekva_new(4, 3);
        ekva_addval(e, "name", "first", rule);
        ekva_addval(e, "Name", "second", rule);
        EXPECT_EQ(dump(e.get()), "name=first Name=second") << "rule " << rule;
        EXPECT_STREQ(ekva_getone(e.get(), "NAME", 1), "second");
        EXPECT_EQ(ekva_getone(e.get(), "NAME", 2), nullptr);
        EXPECT_EQ(ekva_cntval(e.get(), "nAmE"), 2);
    }
}

TEST(Ekva, ReplaceRuleRewritesEveryValueButLeavesNullValues)
{
    EkvaPtr e = ekva_new(8, 2);
    ekva_addval(e, "k", "1", EKVA_APPEND);
    ekva_addval(e, "x", "x", EKVA_APPEND);
    ekva_addval(e, "K", std::nullopt, EKVA_APPEND);
    ekva_addval(e, "k", "3", EKVA_APPEND);
    EXPECT_EQ(ekva_addval(e, "k", "new", EKVA_REPLACE), 5);
    EXPECT_EQ(dump(e.get()), "k=new x=x K k=new");
    ekva_addval(e, "x", std::nullopt, EKVA_REPLACE);
    EXPECT_EQ(dump(e.get()), "k=new x K k=new");
    ekva_addval(e, "fresh", "v", EKVA_REPLACE);
    EXPECT_STREQ(ekva_getval(e.get(), "fresh"), "v");
}

TEST(Ekva, CapacityDoublesAndHeaderFollows)
{
    EkvaPtr e = ekva_new(1, 4);
    const int expected[] = {1, 2, 4, 4, 8, 8, 8, 8, 16};
    for (int i = 0; i < 9; ++i) {
        ekva_addval(e, "k" + std::to_string(i), "v", EKVA_APPEND);
        EXPECT_EQ(e->capacity(), expected[i]) << "after " << i + 1 << " entries";
    }
    EkvaPtr small = ekva_new(1, 4);
    for (int i = 0; i < 5; ++i)
        ekva_addval(small, "k", "v", EKVA_DUPS);
    EXPECT_EQ(small->header_key(), "#EKVA_10:8:4");
    EXPECT_EQ(ekva_nument(small.get()), 5);
}

TEST(Ekva, CopyIsSizedToItsEntriesSoTheNextAddDoubles)
{
    EkvaPtr fresh = ekva_new(3, 3);
    EXPECT_EQ(ekva_copy(fresh.get()), nullptr);

    EkvaPtr e = make({{"a", "1"}, {"b", nullptr}, {"a", "2"}}, 4);
    EkvaPtr copy = ekva_copy(e.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->header_key(), "#EKVA_10:3:4");
    EXPECT_EQ(dump(copy.get()), "a=1 b a=2");
    ekva_addval(copy, "c", "3", EKVA_APPEND);
    EXPECT_EQ(copy->header_key(), "#EKVA_10:6:4");

    EkvaPtr dup = ekva_dup(e.get());
    EXPECT_EQ(dup->header_key(), e->header_key());
    EXPECT_EQ(dump(dup.get()), dump(e.get()));
}

TEST(Ekva, LookupsOfAbsentKeysAndNullRecords)
{
    EkvaPtr e = make({{"k", "a"}, {"K", "b"}, {"n", nullptr}});
    EXPECT_TRUE(ekva_getvals(e.get(), "absent").empty());
    EXPECT_EQ(ekva_getvals_str(e.get(), "absent", ','), std::nullopt);
    EXPECT_EQ(ekva_getvals_str(e.get(), "k", ','), "a,b");
    EXPECT_EQ(ekva_getval(e.get(), "n"), nullptr);
    EXPECT_EQ(ekva_cntval(e.get(), "n"), 1);
    EXPECT_STREQ(ekva_getkey(e.get(), "B"), "K");
    EXPECT_EQ(ekva_getkey(e.get(), "c"), nullptr);

    EXPECT_EQ(ekva_getval(nullptr, "k"), nullptr);
    EXPECT_EQ(ekva_cntval(nullptr, "k"), 0);
    EXPECT_EQ(ekva_nument(nullptr), 0);
    EXPECT_EQ(ekva2csv(nullptr, ',', 0, 0), std::nullopt);
}

TEST(Ekva, StrRoundTripSkipsEmptyPiecesAndPiecesWithoutEquals)
{
    EkvaPtr e = str2ekva("a=1;b=2;;c;a=3", ';');
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(dump(e.get()), "a=1 b=2 a=3");
    EXPECT_EQ(e->kind(), 3);
    EXPECT_EQ(ekva2str(e.get(), ';'), "a=1;b=2;a=3");
    EXPECT_EQ(str2ekva("", ';'), nullptr);

    EkvaPtr with_null = make({{"x", nullptr}, {"y", "2"}, {"z", nullptr}});
    EXPECT_EQ(ekva2str(with_null.get(), ','), "x=,y=2,z=");
    EXPECT_EQ(ekva2str(ekva_new(1, 1).get(), ','), "");
}

TEST(Ekva, CsvJoinsRunsOfEqualKeysIntoOneField)
{
    EkvaPtr e = make({{"x", "1"}, {"y", "2"}, {"y", "3"}, {"z", nullptr}});
    for (int quoting : {0, 1}) {
        const std::string expected =
            csv_quote("1", ',', quoting) + "," + csv_quote("2|3", ',', quoting) + ",";
        EXPECT_EQ(ekva2csv(e.get(), ',', quoting, 0), expected) << "quoting " << quoting;
        EXPECT_EQ(ekva2csv(e.get(), ',', quoting, 1),
                  csv_quote("x", ',', quoting) + "," + csv_quote("y", ',', quoting) + "," +
                      csv_quote("y", ',', quoting) + "," + csv_quote("z", ',', quoting));
    }
}

TEST(Ekva, CsvSplitRunsRepeatTheJoinedField)
{
    // Only adjacent entries with exactly the same key are folded away.
    EkvaPtr e = make({{"y", "2"}, {"x", "1"}, {"Y", "3"}});
    EXPECT_EQ(ekva2csv(e.get(), ',', 0, 0), "2|3,1,2|3");
}

TEST(Ekva, CsvSkipsBinaryEntriesWithoutTheirSeparator)
{
    EkvaPtr e = make({{"sig;binary", "AAAA"}, {"a", "1"}, {"b;binary", "AAAA"}, {"c", "2"}});
    EXPECT_EQ(ekva2csv(e.get(), ';', 0, 0), ";1;2");
    EXPECT_EQ(ekva2csv(ekva_new(1, 1).get(), ';', 0, 0), "");
}

TEST(Ekva, PrintFormats)
{
    EkvaPtr e = make({{"name", "v"}, {"n", nullptr}});
    test::ScratchDir dir;
    FILE *out = std::fopen((dir / "out").c_str(), "we");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(ekva_fprint(e.get(), out, 6), 2);
    std::fclose(out);
    EXPECT_EQ(test::read_file(dir / "out"), "name  : <v>\nn     : <NULL>\n");

    test::CaptureFd capture(STDOUT_FILENO);
    EXPECT_EQ(ekva_print(e.get()), 2);
    EXPECT_EQ(capture.finish(), "name: <v>\nn: NULL\n");
}

TEST(EkvaList, AddCopiesAndLookupsCountEveryMatchingEntry)
{
    EkvaList list;
    EkvaPtr a = make({{"type", "x"}, {"type", "x"}, {"id", "a"}});
    EkvaPtr b = make({{"type", "y"}, {"id", "b"}});
    EkvaPtr c = make({{"Type", "x"}, {"type", "x"}, {"id", "c"}});
    EXPECT_EQ(ekva_list_add(list, a.get()), 1);
    EXPECT_EQ(ekva_list_add(list, b.get()), 2);
    EXPECT_EQ(ekva_list_add(list, c.get()), 3);
    EXPECT_NE(list[0].get(), a.get());

    EXPECT_EQ(ekva_list_cnt_ekva(list, "type", "x"), 3);
    EXPECT_EQ(ekva_list_cnt_ekva(list, "type", std::nullopt), 4);
    EXPECT_STREQ(ekva_getval(ekva_list_get_ekva_seq(list, "type", "x", 1), "id"), "a");
    EXPECT_STREQ(ekva_getval(ekva_list_get_ekva_seq(list, "type", "x", 2), "id"), "c");
    EXPECT_EQ(ekva_list_get_ekva_seq(list, "type", "x", 3), nullptr);
    EXPECT_STREQ(ekva_getval(ekva_list_get_ekva(list, "type", "y"), "id"), "b");
    EXPECT_EQ(ekva_list_get_ekva(list, "type", "X"), nullptr);
}

TEST(EkvaList, SortNeverMovesAnEkvaWithoutTheKey)
{
    EkvaList list;
    for (auto *pairs : {"id=c;k=3", "id=m", "id=a;k=1", "id=b;k=2"}) {
        EkvaPtr e = str2ekva(pairs, ';');
        ekva_list_add(list, e.get());
    }
    ekva_list_sort(list, "K");
    std::string order;
    for (const auto &e : list)
        order += ekva_getval(e.get(), "id");
    // c and a never pass m; a and b sort behind it.
    EXPECT_EQ(order, "cmab");

    ekva_list_sortx(list, "k", [](const char *l, const char *r) { return std::strcmp(r, l); });
    order.clear();
    for (const auto &e : list)
        order += ekva_getval(e.get(), "id");
    EXPECT_EQ(order, "cmba");
}

} // namespace
} // namespace qpm
