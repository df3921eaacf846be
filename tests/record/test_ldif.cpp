#include "record/ldif.h"

#include "record/base64.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

// Every logical line of `text` as "attribute|value|binary".
std::vector<std::string> lines_of(std::string_view text, LdifRefs refs = LdifRefs::Ignore)
{
    std::vector<std::string> out;
    LdifLine line;
    std::optional<std::string_view> rest = text;
    while ((rest = ldif_parse(*rest, line, refs)))
        out.push_back(line.attribute + "|" + line.value + "|" + std::to_string(line.binary));
    return out;
}

std::string dump(const Ekva *e)
{
    std::string out;
    for (const auto &entry : e->entries())
        out += entry.key + "=" + entry.value.value_or("(null)") + "\n";
    return out;
}

using Lines = std::vector<std::string>;

TEST(Ldif, ContinuationLinesJoin)
{
    EXPECT_EQ(lines_of("dn: a\n b\nx: y\n"), (Lines{"dn|ab|0", "x|y|0"}));
    // Only the line feed and one space go; further spaces are data.
    EXPECT_EQ(lines_of("d: a\n  b\n"), (Lines{"d|a b|0"}));
    // A fold may fall anywhere, even inside the description or separator.
    EXPECT_EQ(lines_of("lo\n ng:\n  v\n"), (Lines{"long|v|0"}));
}

TEST(Ldif, ParseReturnsTheRestAndNullAtTheEnd)
{
    const std::string text = "a: 1\nb: 2";
    LdifLine line;
    auto rest = ldif_parse(text, line);
    ASSERT_TRUE(rest);
    EXPECT_EQ(*rest, "b: 2");
    rest = ldif_parse(*rest, line);
    ASSERT_TRUE(rest);
    EXPECT_TRUE(rest->empty());
    EXPECT_EQ(line.value, "2");
    EXPECT_FALSE(ldif_parse(*rest, line));
    EXPECT_FALSE(ldif_parse("", line));
}

TEST(Ldif, OneCharacterAfterTheSeparatorIsSkipped)
{
    EXPECT_EQ(lines_of("a:value\n"), (Lines{"a|alue|0"}));
    EXPECT_EQ(lines_of("a:  two\n"), (Lines{"a| two|0"}));
    EXPECT_EQ(lines_of("a: trailing  \n"), (Lines{"a|trailing  |0"}));
    EXPECT_EQ(lines_of("a:\nb: \n"), (Lines{"a||0", "b||0"}));
    EXPECT_EQ(lines_of("a::xQUJD\n"), (Lines{"a|ABC|1"}));
    LdifLine line;
    EXPECT_FALSE(ldif_parse("a::QUJD\n", line)); // "UJD" alone is no whole group
    EXPECT_EQ(lines_of("url: http://x\n"), (Lines{"url|http://x|0"}));
}

TEST(Ldif, LineWithoutColonIsAllAttribute)
{
    EXPECT_EQ(lines_of("no colon here\nb: 2\n"), (Lines{"no colon here||0", "b|2|0"}));
    EkvaPtr e = ldif2ekva("a: 1\nstray\n");
    EXPECT_EQ(dump(e.get()), "a=1\nstray=\n");
}

TEST(Ldif, LineEndingAtTheSeparatorNeverReadsPastIt)
{
    // The bytes behind the view would decode and name a file: neither is used.
    const std::string b64 = "a::QUJDRA==";
    LdifLine line;
    EXPECT_FALSE(ldif_parse(std::string_view(b64.data(), 3), line));
    EXPECT_FALSE(ldif_parse(std::string_view(b64.data(), 4), line));
    EXPECT_FALSE(ldif_parse("a::\n", line));

    test::ScratchDir dir;
    test::write_file(dir / "f", "secret");
    const std::string ref = "a:<" + dir.path() + "/f";
    for (size_t len : {size_t{3}, size_t{4}}) {
        auto rest = ldif_parse(std::string_view(ref.data(), len), line, LdifRefs::Follow);
        ASSERT_TRUE(rest);
        EXPECT_TRUE(rest->empty());
        EXPECT_EQ(line.value, "");
        EXPECT_EQ(line.binary, 1);
    }
}

TEST(Ldif, CarriageReturnsAreDropped)
{
    EXPECT_EQ(lines_of("a: b\r\nc: d\r\n"), (Lines{"a|b|0", "c|d|0"}));
    EXPECT_EQ(lines_of("a: b\r\n c\r\n"), (Lines{"a|bc|0"}));
}

TEST(Ldif, CommentsAndEmptyLines)
{
    EXPECT_EQ(lines_of("# note: x\n\na: 1\n"), (Lines{"#|#|0", "||0", "a|1|0"}));
}

TEST(Ldif, NulEndsTheText)
{
    const std::string text("a: 1\nb: 2\0c: 3\n", 15);
    EXPECT_EQ(lines_of(text), (Lines{"a|1|0", "b|2|0"}));
    std::optional<std::string> entry;
    const std::string two("dn: x\0dn: y\n", 12);
    auto rest = ldif_get_entry(two, entry);
    ASSERT_TRUE(entry);
    EXPECT_EQ(*entry, "dn: x\n");
    EXPECT_FALSE(ldif_get_entry(*rest, entry));
}

TEST(Ldif, FoldedLinesJoinBeforeBase64Decode)
{
    EXPECT_EQ(lines_of("d:: QU\n JD\n"), (Lines{"d|ABC|1"}));
}

TEST(Ldif, Base64ValuesBecomeBinaryKeys)
{
    EkvaPtr e = ldif2ekva("dn: x\ndescr:: AP/+\ndescr:: AP/+\nname: n\n");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(dump(e.get()), "dn=x\ndescr;binary=AP/+\ndescr;binary=AP/+\nname=n\n");
    EXPECT_EQ(e->header_key(), "#EKVA_10:50:3");

    // A description that carries the option already keeps it once.
    EkvaPtr opt = ldif2ekva("userCertificate;binary:: AP/+\n");
    EXPECT_EQ(dump(opt.get()), "userCertificate;binary=AP/+\n");
    EXPECT_EQ(ekva2ldif(opt.get()), "userCertificate:: AP/+\n");
}

TEST(Ldif, UndecodableBase64FailsTheParse)
{
    LdifLine line;
    EXPECT_FALSE(ldif_parse("a:: !!!!\n", line));
    EXPECT_FALSE(ldif_parse("a::  \n", line));

    test::CaptureFd err(STDERR_FILENO);
    EXPECT_EQ(ldif2ekva("a:: \nb: 1\n"), nullptr);
    EXPECT_EQ(err.finish(), "ldif2ekva: failed to parse ldif buffer\n");

    // A later failure ends the parse with what was gathered.
    test::CaptureFd quiet(STDERR_FILENO);
    EkvaPtr e = ldif2ekva("a: 1\nb:: ***\nc: 3\n");
    EXPECT_EQ(quiet.finish(), "");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(dump(e.get()), "a=1\n");
}

TEST(Ldif, FileReferencesAreIgnoredUnlessAsked)
{
    test::ScratchDir dir;
    test::write_file(dir / "data", std::string("\0bin\n", 5));
    const std::string text = "dn: x\nref:< file://" + dir.path() + "/data\ncert;binary: " + dir.path() +
                             "/data\nname: n\n";

    EXPECT_EQ(lines_of(text), (Lines{"dn|x|0", "ref||1", "cert;binary||1", "name|n|0"}));
    EkvaPtr ignored = ldif2ekva(text);
    EXPECT_EQ(dump(ignored.get()), "dn=x\nname=n\n");
    EXPECT_EQ(ldif_entry_get_attr(text, "ref", 1), "");

    EkvaPtr followed = ldif2ekva(text, LdifRefs::Follow);
    const std::string b64 = lutil_b64_ntop(std::string("\0bin\n", 5));
    EXPECT_EQ(dump(followed.get()), "dn=x\nref;binary=" + b64 + "\ncert;binary=" + b64 + "\nname=n\n");
    EXPECT_EQ(ldif_entry_get_attr(text, "REF", 1, LdifRefs::Follow), std::string("\0bin\n", 5));
}

TEST(Ldif, FollowedReferencesReadOnlyRegularFiles)
{
    test::ScratchDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    // Were the FIFO opened blocking, this would hang with no writer.
    for (const std::string &target : {dir / "fifo", dir.path(), dir / "missing", std::string("/dev/zero")}) {
        EXPECT_EQ(lines_of("r:< file://" + target + "\n", LdifRefs::Follow), (Lines{"r||1"})) << target;
        EXPECT_EQ(ldif2ekva("r:< " + target + "\n", LdifRefs::Follow)->entries().size(), 0u);
    }
}

TEST(Ldif, GetEntrySkipsTheHeadAndSplitsAtEmptyLines)
{
    const std::string text = "version: 1\n# made by hand\n\ndn: a\nx: 1\n\ndn: b\ny: 2\n 3\r\n";
    std::optional<std::string> entry;
    auto rest = ldif_get_entry(text, entry);
    ASSERT_TRUE(rest);
    EXPECT_FALSE(entry);
    rest = ldif_get_entry(*rest, entry);
    ASSERT_TRUE(rest && entry);
    EXPECT_EQ(*entry, "dn: a\nx: 1\n");
    rest = ldif_get_entry(*rest, entry);
    ASSERT_TRUE(rest && entry);
    EXPECT_EQ(*entry, "dn: b\ny: 23\n");
    EXPECT_FALSE(ldif_get_entry(*rest, entry));
    EXPECT_FALSE(entry);

    // "dn:" alone is too short to open an entry.
    rest = ldif_get_entry("dn:\nx: 1\n", entry);
    EXPECT_FALSE(entry);
}

TEST(Ldif, StreamEntriesKeepFoldsAndTheLastEntry)
{
    const std::string long_value(600, 'v');
    const std::string text =
        "version: 1\ndn: a\r\nx: 1\n 2\n\n\ndn: b\nlong: " + long_value + "\n";
    test::ScratchDir dir;
    test::write_file(dir / "f.ldif", text);
    FILE *f = std::fopen((dir / "f.ldif").c_str(), "re");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(ldif_fget_entry(f), "dn: a\nx: 1\n 2\n");
    EXPECT_EQ(ldif_fget_entry(f), std::nullopt); // the second empty line
    // Neither cut at 510 bytes nor lost for want of a final empty line.
    EXPECT_EQ(ldif_fget_entry(f), "dn: b\nlong: " + long_value + "\n");
    EXPECT_EQ(ldif_fget_entry(f), std::nullopt);
    std::fclose(f);
}

TEST(Ldif, ListFiltersByFirstObjectClass)
{
    const std::string text = "dn: a\nobjectClass: hook\nobjectClass: top\n\n"
                             "dn: b\nobjectClass: top\nobjectClass: hook\n\n"
                             "dn: c\nid: c\n\n\n"
                             "dn:: !!\n\n"
                             "dn: d\nobjectclass: hook\n";
    EkvaList list;
    list.push_back(ekva_new(1, 1));
    test::CaptureFd err(STDERR_FILENO);
    EXPECT_EQ(ldif2ekva_list(list, text, std::nullopt), 4);
    EXPECT_EQ(ldif2ekva_list(list, text, "hook"), 3);
    err.finish();
    std::string names;
    for (const auto &e : list)
        names += ekva_getval(e.get(), "dn");
    EXPECT_EQ(names, "acd");

    EXPECT_EQ(ldif2ekva_list_add(list, "dn: e\n", "hook"), 4);
    EXPECT_STREQ(ekva_getval(list[3].get(), "dn"), "e");
    // Copies are sized to their entries.
    EXPECT_EQ(list[3]->header_key(), "#EKVA_10:1:3");
}

TEST(Ldif, ListFromFiles)
{
    test::ScratchDir dir;
    test::write_file(dir / "cat.ldif", "dn: a\n\ndn: b\n");
    EkvaList list;
    EXPECT_EQ(ldif2ekva_list_file(list, dir / "cat.ldif", std::nullopt), 2);
    EXPECT_EQ(ldif2ekva_list_file_add(list, dir / "cat.ldif", std::nullopt), 4);
    EXPECT_EQ(ldif2ekva_list_file_add(list, dir / "missing", std::nullopt), 4);
    EXPECT_EQ(ldif2ekva_list_file(list, dir / "missing", std::nullopt), 0);
    EXPECT_TRUE(list.empty());
}

TEST(Ldif, EntryLookupsStopAtTheFirstEmptyLine)
{
    const std::string text = "dn: x\nDep: a\nname: n\n:odd\ndep: b\nsig:: AP/+\n\ndep: c\n";
    EXPECT_EQ(ldif_entry_count_attr(text, "DEP"), 2);
    EXPECT_EQ(ldif_entry_get_attr(text, "dep", 1), "a");
    EXPECT_EQ(ldif_entry_get_attr(text, "dep", 2), "b");
    EXPECT_EQ(ldif_entry_get_attr(text, "dep", 3), std::nullopt);
    EXPECT_EQ(ldif_entry_get_attr(text, "dep", 0), std::nullopt);
    EXPECT_EQ(ldif_entry_get_attr(text, "sig", 1), std::string("\0\xff\xfe", 3));
    EXPECT_EQ(ldif_entry_get_vals(text, "dep"), (StrArr{"a", "b"}));
    EXPECT_EQ(ldif_entry_count_attr(text, "dn"), 1);
    EXPECT_EQ(ldif_entry_get_attr(text, "dn", 1), "x");
    EXPECT_TRUE(ldif_entry_get_vals(text, "dn").empty());
    EXPECT_EQ(ldif_entry_count_attr("\ndep: a\n", "dep"), 0);
}

TEST(Ldif, OnePassValuesAgreeWithTheSingleLookups)
{
    const std::string text = "dn: x\nDep: a\nname: n\n:odd\ndep: b\nsig:: AP/+\nDEP: c\n\ndep: d\n";
    const LdifEntryValues values = ldif_entry_values(text);
    EXPECT_EQ(values.all("dep"), (std::vector<std::string>{"a", "b", "c"})) << "order kept, case ignored";
    EXPECT_EQ(values.count("DeP"), 3u);
    ASSERT_TRUE(values.get("dep", 2));
    EXPECT_EQ(*values.get("dep", 2), "b");
    EXPECT_EQ(values.get("dep", 0), nullptr);
    EXPECT_EQ(values.get("dep", 4), nullptr) << "the next entry does not count";
    ASSERT_TRUE(values.get("sig"));
    EXPECT_EQ(*values.get("sig"), std::string("\0\xff\xfe", 3)) << "binary values keep their NUL";
    EXPECT_EQ(values.count("missing"), 0u);
    for (const char *name : {"dep", "name", "sig", "dn", "nothing"})
        for (int n = 1; n <= 4; ++n) {
            const std::string *one = values.get(name, static_cast<size_t>(n));
            EXPECT_EQ(one ? std::optional<std::string>(*one) : std::nullopt, ldif_entry_get_attr(text, name, n))
                << name << " " << n;
        }
}

TEST(Ldif, EntryLookupsReportAnUnparsableFirstLine)
{
    test::CaptureFd err(STDERR_FILENO);
    EXPECT_EQ(ldif_entry_count_attr("a:: \n", "a"), 0);
    EXPECT_EQ(ldif_entry_get_attr("a:: \n", "a", 1), std::nullopt);
    EXPECT_TRUE(ldif_entry_get_vals("", "a").empty());
    EXPECT_EQ(err.finish(), "ldif_entry_count_attr: failed to parse ldif buffer\n"
                            "ldif_entry_get_attr: failed to parse ldif buffer\n"
                            "ldif_entry_get_vals: failed to parse ldif buffer\n");
}

TEST(LdifWrite, FoldsExactlyBeyondSeventyEightBytes)
{
    std::string out;
    EXPECT_EQ(ldif_write(out, "eqpkDescription", std::string(60, 'd'), LDIF_TEXT), 78);
    EXPECT_EQ(out, "eqpkDescription: " + std::string(60, 'd') + "\n");

    out.clear();
    const std::string value = std::string(60, 'd') + "e";
    EXPECT_EQ(ldif_write(out, "eqpkDescription", value, LDIF_TEXT), 81);
    EXPECT_EQ(out, "eqpkDescription: " + std::string(60, 'd') + "\n e\n");

    out.clear();
    const std::string big(77 - 3 + 76 * 2, 'x'); // fills three physical lines exactly
    ldif_write(out, "a", big, LDIF_TEXT);
    EXPECT_EQ(out, "a: " + big.substr(0, 74) + "\n " + big.substr(74, 76) + "\n " + big.substr(150) + "\n");
    EXPECT_EQ(ldif_entry_get_attr(out, "a", 1), big);
}

TEST(LdifWrite, LongDescriptionFoldsAndReadsBack)
{
    const std::string name(90, 'n');
    std::string out;
    ldif_write(out, name, "value", LDIF_TEXT);
    EXPECT_EQ(out.find('\n'), 77u);
    EXPECT_EQ(ldif_entry_get_attr(out, name, 1), "value");
}

TEST(LdifWrite, ChoosesBase64ByType)
{
    auto line = [](std::string_view value, int type) {
        std::string out;
        ldif_write(out, "a", value, type);
        return out;
    };
    EXPECT_EQ(line("plain text", LDIF_TEXT), "a: plain text\n");
    EXPECT_EQ(line(":x", LDIF_TEXT), "a:: " + lutil_b64_ntop(":x") + "\n");
    EXPECT_EQ(line("<x", LDIF_TEXT), "a:: " + lutil_b64_ntop("<x") + "\n");
    EXPECT_EQ(line(" x", LDIF_TEXT), "a:: " + lutil_b64_ntop(" x") + "\n");
    EXPECT_EQ(line("x\ny", LDIF_TEXT), "a:: " + lutil_b64_ntop("x\ny") + "\n");
    EXPECT_EQ(line("x\ry", LDIF_UTF8), "a:: " + lutil_b64_ntop("x\ry") + "\n");
    EXPECT_EQ(line("caf\xc3\xa9", LDIF_TEXT), "a:: " + lutil_b64_ntop("caf\xc3\xa9") + "\n");
    EXPECT_EQ(line("caf\xc3\xa9", LDIF_TEXT4), "a:: " + lutil_b64_ntop("caf\xc3\xa9") + "\n");
    EXPECT_EQ(line("caf\xc3\xa9", LDIF_UTF8), "a: caf\xc3\xa9\n");
    EXPECT_EQ(line("abc", LDIF_BINARY), "a:: YWJj\n");
    EXPECT_EQ(line(std::string_view("a\0b", 3), LDIF_BINARY), "a:: YQBi\n");
    EXPECT_EQ(line(std::string_view("a\0b", 3), LDIF_TEXT), "a:: YQBi\n");
    EXPECT_EQ(line("/tmp/f", LDIF_FILE), "a:< /tmp/f\n");
    EXPECT_EQ(line("", LDIF_TEXT), "a: \n");
}

TEST(LdifWrite, AttributeOptionsAndSeparator)
{
    std::string out = "x: 1\n";
    EXPECT_EQ(ldif_write(out, "", "ignored", LDIF_TEXT), 1);
    EXPECT_EQ(ldif_write(out, "sig;binary", "AP/+", LDIF_TEXT), 11);
    EXPECT_EQ(ldif_write(out, "photo;filename;x", "/p", LDIF_TEXT), 11);
    EXPECT_EQ(ldif_write(out, "cn;lang-en", "v", LDIF_TEXT), 14);
    EXPECT_EQ(out, "x: 1\n\nsig:: AP/+\nphoto:< /p\ncn;lang-en: v\n");
}

TEST(LdifWrite, WrittenValuesReadBackUnchanged)
{
    const std::string values[] = {"plain", " lead", ":colon", "<angle", "multi\nline\r\n", "caf\xc3\xa9",
                                  std::string(200, 'z'), std::string(1, '\0') + "\x01\xff"};
    for (const auto &v : values) {
        for (int type : {LDIF_TEXT, LDIF_BINARY, LDIF_UTF8}) {
            std::string out;
            ASSERT_GT(ldif_write(out, "attr", v, type), 0);
            for (size_t pos = 0, nl; (nl = out.find('\n', pos)) != std::string::npos; pos = nl + 1)
                EXPECT_LE(nl - pos, 77u);
            EXPECT_EQ(ldif_entry_get_attr(out, "attr", 1), v) << out;
        }
    }
}

TEST(LdifWrite, FwriteWritesWhatItBuilt)
{
    test::ScratchDir dir;
    FILE *f = std::fopen((dir / "out").c_str(), "we");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(ldif_fwrite(f, "eqpkInstallTime", "1700000000", LDIF_TEXT), 28);
    EXPECT_EQ(ldif_fwrite(f, "", "", LDIF_TEXT), 1);
    std::fclose(f);
    EXPECT_EQ(test::read_file(dir / "out"), "eqpkInstallTime: 1700000000\n\n");
}

TEST(LdifWrite, EkvaToLdifWritesDnFirstAndOnce)
{
    EkvaPtr e = ekva_new(8, 3);
    ekva_addval(e, "objectClass", "top", EKVA_APPEND);
    ekva_addval(e, "empty", "", EKVA_APPEND);
    ekva_addval(e, "dn", "eqpkUid=caf\xc3\xa9", EKVA_APPEND);
    ekva_addval(e, "none", std::nullopt, EKVA_APPEND);
    ekva_addval(e, "DN", "other", EKVA_APPEND);
    ekva_addval(e, "descr", "caf\xc3\xa9", EKVA_APPEND);
    EXPECT_EQ(ekva2ldif(e.get()), "dn: eqpkUid=caf\xc3\xa9\nobjectClass: top\ndescr:: " +
                                      lutil_b64_ntop("caf\xc3\xa9") + "\n");
    EXPECT_EQ(ekva2ldif(nullptr), std::nullopt);

    EkvaPtr no_dn = ekva_new(2, 3);
    ekva_addval(no_dn, "a", "1", EKVA_APPEND);
    EXPECT_EQ(ekva2ldif(no_dn.get()), "a: 1\n");
}

TEST(LdifWrite, BinaryKeysRoundTripThroughEkva)
{
    std::string sig;
    for (int i = 0; i < 128; ++i)
        sig += static_cast<char>(i * 7);
    std::string text;
    ldif_write(text, "dn", "eqpkUid=p", LDIF_UTF8);
    ldif_write(text, "eqpkName", "p", LDIF_TEXT);
    ldif_write(text, "eqpkRsaSigData", sig, LDIF_BINARY);

    EkvaPtr first = ldif2ekva(text);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(ekva_getval(first.get(), "eqpkRsaSigData;binary"), lutil_b64_ntop(sig).c_str());

    const auto again = ekva2ldif(first.get());
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, text);
    EkvaPtr second = ldif2ekva(*again);
    EXPECT_EQ(dump(second.get()), dump(first.get()));
    EXPECT_EQ(ldif_entry_get_attr(*again, "eqpkRsaSigData", 1), sig);
}

} // namespace
} // namespace qpm
