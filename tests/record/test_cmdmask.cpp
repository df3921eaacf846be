#include "record/cmdmask.h"

#include "support/test_support.h"
#include "util/cmd.h"

#include <gtest/gtest.h>

using namespace qpm;
using qpm::test::CaptureFd;

namespace {

EkvaPtr record_of(std::initializer_list<std::pair<const char *, const char *>> entries)
{
    EkvaPtr e = ekva_new(10, 3);
    for (const auto &[key, value] : entries)
        ekva_addval(e, key, value, EKVA_APPEND);
    return e;
}

std::string expand(const char *mask, const Ekva *record, int mode = CMD_QUOTE_SHELL)
{
    return cmd_mask_parse_ext(mask, record, mode).value_or("<null>");
}

} // namespace

TEST(CmdMask, SingleQuoteInValueIsWrittenPerQuoteMode)
{
    const auto rec = record_of({{"name", "O'Neil"}});
    EXPECT_EQ(expand("echo '${name}'", rec.get()), "echo 'O'\"'\"'Neil'");
    EXPECT_EQ(expand("echo '${name}'", rec.get(), CMD_QUOTE_DOUBLED), "echo 'O''Neil'");
    // Any mode other than the doubled one is shell mode.
    EXPECT_EQ(expand("'$name'", rec.get(), 7), "'O'\"'\"'Neil'");
}

TEST(CmdMask, ShellModeValueReachesTheCommandIntact)
{
    const auto rec = record_of({{"name", "O'Neil; rm -rf \"$HOME\" `x` \\"}});
    const auto line = cmd_mask_parse("printf %s '${name}'", rec.get());
    ASSERT_TRUE(line);
    std::optional<std::string> out, err;
    EXPECT_EQ(cmd_exec(*line, out, err), 0);
    EXPECT_EQ(out, "O'Neil; rm -rf \"$HOME\" `x` \\");
    EXPECT_EQ(err, "");
}

TEST(CmdMask, PlainReferenceNameIsLettersAndDigits)
{
    const auto rec = record_of({{"name", "v"}, {"name2", "w"}});
    EXPECT_EQ(expand("$name-x", rec.get()), "v-x");
    EXPECT_EQ(expand("$name_x", rec.get()), "v_x");
    EXPECT_EQ(expand("$name2.", rec.get()), "w.");
    EXPECT_EQ(expand("a $ b", rec.get()), "a  b");
    EXPECT_EQ(expand("cost 5$", rec.get()), "cost 5");
    EXPECT_EQ(expand("echo $name", rec.get()), "echo v");
    EXPECT_EQ(expand("$NAME", rec.get()), "v"); // keys match without regard to case
}

TEST(CmdMask, BracedReferences)
{
    const auto rec = record_of({{"name", "v"}, {"two words", "t"}, {"empty", ""}});
    EXPECT_EQ(expand("${name}x", rec.get()), "vx");
    EXPECT_EQ(expand("<${two words}>", rec.get()), "<t>");
    EXPECT_EQ(expand("<${}>", rec.get()), "<>");
    EXPECT_EQ(expand("<${missing}>", rec.get()), "<>");
    EXPECT_EQ(expand("<${empty}>", rec.get()), "<>");
    EXPECT_EQ(expand("<$missing>", rec.get()), "<>");
    // A mask that ends inside a braced reference writes nothing for it.
    EXPECT_EQ(expand("a ${name", rec.get()), "a ");
    // Inside braces nothing is an escape or a nested reference.
    EXPECT_EQ(expand("<${na$me}>", rec.get()), "<>");
}

TEST(CmdMask, SubscriptsSelectOrJoinValues)
{
    const auto rec = record_of({{"files", "a"}, {"other", "z"}, {"files", "b"}, {"FILES", "c"}});
    EXPECT_EQ(expand("${files}", rec.get()), "a");
    EXPECT_EQ(expand("${files[]}", rec.get()), "a,b,c");
    EXPECT_EQ(expand("${files[;]}", rec.get()), "a;b;c");
    EXPECT_EQ(expand("${files[0]}", rec.get()), "a");
    EXPECT_EQ(expand("${files[1]}", rec.get()), "b");
    EXPECT_EQ(expand("<${files[7]}>", rec.get()), "<>");
    EXPECT_EQ(expand("<${missing[]}>", rec.get()), "<>");
    // Joined values are quoted like any other value.
    const auto q = record_of({{"k", "it's"}, {"k", "x"}});
    EXPECT_EQ(expand("'${k[']}'", q.get(), CMD_QUOTE_DOUBLED), "'it''s''x'");
}

TEST(CmdMask, MalformedSubscriptIsDroppedFromTheName)
{
    const auto rec = record_of({{"name", "v"}, {"files", "a"}});
    EXPECT_EQ(expand("<${na[]me}>", rec.get()), "<v>");
    EXPECT_EQ(expand("<${na[x]me}>", rec.get()), "<v>");
    EXPECT_EQ(expand("<${na[me}>", rec.get()), "<v>");
    EXPECT_EQ(expand("<${files[12]}>", rec.get()), "<>");
}

TEST(CmdMask, BackslashEscapes)
{
    const auto rec = record_of({{"name", "v"}});
    EXPECT_EQ(expand("\\$name", rec.get()), "$name");
    EXPECT_EQ(expand("\\${name}", rec.get()), "${name}");
    EXPECT_EQ(expand("a\\\\b", rec.get()), "a\\b");
    EXPECT_EQ(expand("\\\\$name", rec.get()), "\\v");
    EXPECT_EQ(expand("\\n", rec.get()), "n");
    EXPECT_EQ(expand("end\\", rec.get()), "end");
}

TEST(CmdMask, OutputGrowsForManyReferences)
{
    const std::string value(1000, '\'');
    const auto rec = record_of({{"q", value.c_str()}});
    std::string mask, expected;
    for (int i = 0; i < 200; ++i) {
        mask += "${q}$q";
        for (int j = 0; j < 2000; ++j)
            expected += "'\"'\"'";
    }
    EXPECT_EQ(cmd_mask_parse(mask, rec.get()), expected);
}

TEST(CmdMask, NullMaskAndNullRecord)
{
    EXPECT_EQ(cmd_mask_parse(std::nullopt, nullptr), std::nullopt);
    EXPECT_EQ(cmd_mask_parse("a '$x' ${y[]}", nullptr), "a '' ");
}

TEST(CmdMask, LdifEntryFillsTheMask)
{
    const char *entry = "dn: eqpkName=foo\neqpkName: foo\neqpkDependency: a\neqpkDependency: b\n"
                        "eqpkDescription: it's\n";
    EXPECT_EQ(cmd_mask_parse_ldif("/x '$eqpkName' '${eqpkDependency[ ]}' '$eqpkDescription'", entry),
              "/x 'foo' 'a b' 'it'\"'\"'s'");
    EXPECT_EQ(cmd_mask_parse_ldif_ext("'$eqpkDescription'", entry, CMD_QUOTE_DOUBLED), "'it''s'");
    EXPECT_EQ(cmd_mask_parse_ldif(std::nullopt, entry), std::nullopt);
    EXPECT_EQ(cmd_mask_parse_ldif("x", std::nullopt), std::nullopt);
}

TEST(CmdMask, UnparsableLdifGivesNull)
{
    CaptureFd err(2);
    EXPECT_EQ(cmd_mask_parse_ldif("x", "bad:: ****\n"), std::nullopt);
    err.finish();
}
