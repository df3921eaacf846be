#include "package/qpk_index.h"

#include "package/signature.h"
#include "record/base64.h"
#include "record/ldif.h"
#include "support/certs.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

using namespace qpm;

namespace {

const std::string HASH(40, 'a');

std::string description(const std::string &name, const std::string &extra = "")
{
    return "dn: eqpkUid=" + name + "_any_1.0\neqpmVersion: 2.0\neqpkName: " + name +
           "\neqpkVersion: 1.0\neqpkArchitecture: any\neqpkDescription: a package\n" + extra;
}

std::string entry(const std::string &name, const std::string &extra = "")
{
    return qpk_index_entry(description(name, extra), 1234, HASH, name + "_any_1.0.qpk").value_or("");
}

std::string cut_short()
{
    const std::string whole = *qpk_index_pack(qpk_index_body(1, {entry("a"), entry("b")}), std::nullopt, "");
    return whole.substr(0, whole.size() - 12);
}

} // namespace

TEST(QpkIndex, SignedIndexRoundTripsAndVerifiesAgainstTheKeystore)
{
    test::ScratchDir certstore;
    const test::Signer signer = test::make_signer();
    signer.install(certstore.path());
    const std::string body = qpk_index_body(1700000000, {entry("alpha"), entry("beta")});
    const std::optional<std::string> packed = qpk_index_pack(body, signer.subject(), signer.sign(body));
    ASSERT_TRUE(packed);
    EXPECT_EQ(packed->substr(0, 2), "\x1f\x8b");

    std::string error;
    const std::optional<QpkIndexFile> file = qpk_index_unpack(*packed, error);
    ASSERT_TRUE(file) << error;
    EXPECT_EQ(file->body, body);
    EXPECT_EQ(qpk_index_verify(*file, certstore.path()), QPS_VERIFIED);

    const std::optional<QpkIndex> index = qpk_index_parse(file->body, "test", error);
    ASSERT_TRUE(index) << error;
    EXPECT_EQ(index->created, 1700000000);
    ASSERT_EQ(index->packages.size(), 2u);
    EXPECT_EQ(index->packages[1]->name, "beta");
    EXPECT_EQ(index->packages[1]->file_size, 1234);
    EXPECT_EQ(index->packages[1]->file_hash, HASH);
    EXPECT_EQ(index->packages[1]->relative_uri, "beta_any_1.0.qpk");

    // Any change to the body, or a signer the keystore lacks, fails.
    QpkIndexFile changed = *file;
    changed.body.replace(changed.body.find("alpha"), 5, "omega");
    EXPECT_EQ(qpk_index_verify(changed, certstore.path()), QPS_INVALID);
    test::ScratchDir empty;
    EXPECT_EQ(qpk_index_verify(*file, empty.path()), QPS_UNTRUSTED);
    const std::optional<QpkIndexFile> unsigned_file = qpk_index_unpack(*qpk_index_pack(body, std::nullopt, ""), error);
    ASSERT_TRUE(unsigned_file);
    EXPECT_EQ(qpk_index_verify(*unsigned_file, certstore.path()), QPS_MISSING);
}

TEST(QpkIndex, TheFileAttributesOfTheIndexWinOverTheDescriptions)
{
    const std::string e = entry("alpha", "eqpkFileSize: 1\neqpkFileHash: " + std::string(40, 'b') +
                                             "\neqpkRelativeURI: ../../etc/passwd\n");
    std::string error;
    const std::optional<QpkIndex> index = qpk_index_parse(qpk_index_body(1, {e}), "test", error);
    ASSERT_TRUE(index) << error;
    ASSERT_EQ(index->packages.size(), 1u);
    EXPECT_EQ(index->packages[0]->file_size, 1234);
    EXPECT_EQ(index->packages[0]->file_hash, HASH);
    EXPECT_EQ(index->packages[0]->relative_uri, "alpha_any_1.0.qpk");
}

TEST(QpkIndex, UnsoundEntriesAreSkippedAndOthersKept)
{
    const auto raw = [](const std::string &desc, const std::string &file) {
        return desc + "eqpkFileSize: 10\neqpkFileHash: " + HASH + "\neqpkRelativeURI: " + file + "\n";
    };
    const std::vector<std::string> entries = {
        entry("good"),
        raw(description("../evil"), "evil.qpk"),              // name fails the name check
        raw(description("slash"), "sub/slash_any_1.0.qpk"),   // not a plain file name
        raw(description("plain"), "plain_any_1.0.tar"),       // not a package file name
        description("nohash") + "eqpkFileSize: 10\neqpkRelativeURI: nohash.qpk\n",
        description("nosize") + "eqpkFileHash: " + HASH + "\neqpkRelativeURI: nosize.qpk\n",
        entry("also-good"),
    };
    std::string error;
    const std::optional<QpkIndex> index = qpk_index_parse(qpk_index_body(5, entries), "test", error);
    ASSERT_TRUE(index) << error;
    ASSERT_EQ(index->packages.size(), 2u);
    EXPECT_EQ(index->packages[0]->name, "good");
    EXPECT_EQ(index->packages[1]->name, "also-good");
    EXPECT_EQ(index->skipped, 5);

    // The writer refuses such entries in the first place.
    EXPECT_FALSE(qpk_index_entry(description("x"), 1, HASH, "../x.qpk"));
    EXPECT_FALSE(qpk_index_entry(description("x"), 1, "not-a-hash", "x.qpk"));
    EXPECT_FALSE(qpk_index_entry("dn: a\n\ndn: b\n", 1, HASH, "x.qpk"));
}

TEST(QpkIndex, FilesThatAreNoIndexAreRefusedWithAReason)
{
    const struct {
        const char *what;
        std::string bytes;
        const char *error;
    } cases[] = {
        {"plain text", "dn: eqpiIndex=QPKINDEX\n", "not a gzip file"},
        {"empty", "", "not a gzip file"},
        {"gzip of something else", *qpk_index_pack("hello\n", std::nullopt, ""), "no index header"},
        {"signature without body header",
         *qpk_index_pack("dn: eqpkUid=a\n", std::string("/CN=x"), "sig"), "no index header"},
        {"cut short", cut_short(), "damaged gzip data"},
    };
    for (const auto &c : cases) {
        std::string error;
        EXPECT_FALSE(qpk_index_unpack(c.bytes, error)) << c.what;
        EXPECT_EQ(error.substr(0, std::string(c.error).size()), c.error) << c.what << ": " << error;
    }
    std::string error;
    EXPECT_FALSE(qpk_index_parse("dn: eqpiIndex=QPKINDEX\neqpiFormat: 2\neqpiCreated: 1\n", "t", error));
    EXPECT_FALSE(qpk_index_parse("dn: eqpiIndex=QPKINDEX\neqpiFormat: 1\n", "t", error));
    EXPECT_FALSE(qpk_index_created("dn: eqpiIndex=QPKINDEX\neqpiFormat: 1\neqpiCreated: 12x\n"));
    EXPECT_EQ(qpk_index_created(qpk_index_body(-5, {})), -5);
}

TEST(QpkIndex, EntriesReadAsEveryPackageDescriptionIsRead)
{
    // Folded lines, Base64 values, a variant, dependencies, mixed-case names:
    // the index's one-pass reader and qpk_info_parse must agree.
    const std::string desc = "dn: eqpkUid=alpha_v2_any_1.0\neqpmVersion: 2.0\nEQPKNAME: alpha\neqpkVariant: v2\n"
                             "eqpkVersion: 1.0\neqpkArchitecture: any\neqpkCreator:: " +
                             lutil_b64_ntop("Zoë Maker") +
                             "\neqpkDescription: a description that is long enough to be\n  folded over lines\n"
                             "eqpkDependency: beta\neqpkDependency: gamma\neqpkDataSize: 42\n"
                             "eqpkRsaSigSubj: /CN=Signer\neqpkRsaSigData:: " + lutil_b64_ntop("sig") + "\n";
    const std::optional<std::string> e = qpk_index_entry(desc, 99, HASH, "alpha_v2_any_1.0.qpk");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->find("eqpkRsaSigData"), std::string::npos);
    std::string error;
    const std::optional<QpkIndex> index = qpk_index_parse(qpk_index_body(1, {*e}), "t", error);
    ASSERT_TRUE(index && index->packages.size() == 1) << error;
    const QpiPtr expected = qpk_info_parse("t", QPK_KIND_CATALOGUE, *e);
    ASSERT_TRUE(expected);
    EXPECT_EQ(ekva2ldif(qpk_info_ekva(index->packages[0].get(), QPK_KIND_CATALOGUE).get()),
              ekva2ldif(qpk_info_ekva(expected.get(), QPK_KIND_CATALOGUE).get()));
    EXPECT_EQ(index->packages[0]->creator, "Zoë Maker");
    EXPECT_EQ(index->packages[0]->description, "a description that is long enough to be folded over lines");

    // A bad dependency or variant spoils the entry in both readers.
    for (const auto &[good, bad] : {std::pair{"eqpkDependency: gamma", "eqpkDependency: ../x"},
                                    std::pair{"eqpkVariant: v2", "eqpkVariant: a b"}}) {
        std::string spoiled = *e;
        spoiled.replace(spoiled.find(good), std::string_view(good).size(), bad);
        EXPECT_FALSE(qpk_info_parse("t", QPK_KIND_CATALOGUE, spoiled)) << bad;
        EXPECT_TRUE(qpk_index_parse(qpk_index_body(1, {spoiled}), "t", error)->packages.empty()) << bad;
    }
}

// A client asked for one name reads that name off each entry without
// parsing it; what it cannot read plainly it must parse, never skip.
TEST(QpkIndex, SplitEntriesNameThemselvesOrAskToBeParsed)
{
    const std::string folded = "dn: eqpkUid=f\neqpkName: fo\n ld\neqpkVersion: 1.0\n";
    const std::string base64 = "dn: eqpkUid=b\neqpkName:: " + lutil_b64_ntop("b64") + "\neqpkVersion: 1.0\n";
    // The parser takes the first value: a plain line after it must not
    // file the entry under another name.
    const std::string shadowed = "dn: eqpkUid=s\neqpkName:: " + lutil_b64_ntop("real") + "\neqpkName: decoy\n";
    const std::string other_case = "dn: eqpkUid=c\nEQPKNAME: real\neqpkName: decoy\n";
    std::string error;
    const std::string body =
        qpk_index_body(7, {entry("plain"), folded, base64, entry("last"), shadowed, other_case});
    const std::optional<QpkIndexEntries> split = qpk_index_split(body, error);
    ASSERT_TRUE(split) << error;
    EXPECT_EQ(split->created, 7);
    ASSERT_EQ(split->entries.size(), 6u);
    const struct {
        size_t entry;
        std::string_view name;
    } cases[] = {{0, "plain"}, {1, ""}, {2, ""}, {3, "last"}, {4, ""}, {5, ""}};
    for (const auto &c : cases)
        EXPECT_EQ(qpk_index_entry_name(split->entries[c.entry]), c.name) << c.entry;

    // Parsing one entry reads it as the whole index would.
    const QpiPtr last = qpk_index_parse_entry(split->entries[3], "test");
    ASSERT_TRUE(last);
    EXPECT_EQ(last->name, "last");
    EXPECT_EQ(last->file_size, 1234);
    EXPECT_FALSE(qpk_index_split("dn: eqpiIndex=QPKINDEX\neqpiFormat: 9\n", error));
}

// A local list of package files names each by its path, keeps the
// signature and puts its own attributes where no description can shadow them.
TEST(QpkIndex, EntryFormsForARepositoryAndForALocalList)
{
    const std::string desc = description("alpha", "eqpkRsaSigSubj: /CN=x\neqpkRsaSigData:: " +
                                                      lutil_b64_ntop(std::string("\0sig\0", 5)) + "\neqpiDevice: 9\n");
    EXPECT_FALSE(qpk_index_entry(desc, 1, HASH, "/srv/pkgs/alpha.qpk"));

    QpkEntryForm form;
    form.full_path = true;
    form.keep_signature = true;
    form.extra = "eqpiDevice: 1\n";
    const std::optional<std::string> local = qpk_index_entry(desc, 1, HASH, "/srv/pkgs/alpha.qpk", form);
    ASSERT_TRUE(local);
    EXPECT_EQ(local->find("eqpiDevice: 1\neqpmVersion"), local->find("eqpiDevice"));
    const QpiPtr qpi = qpk_info_parse("t", QPK_KIND_FILE, *local);
    ASSERT_TRUE(qpi);
    EXPECT_EQ(qpi->signature, std::string("\0sig\0", 5));
    EXPECT_EQ(ldif_entry_get_attr(*local, "eqpkRelativeURI", 1), "/srv/pkgs/alpha.qpk");

    form.extra = "eqpiDevice: 1"; // not a whole line
    EXPECT_FALSE(qpk_index_entry(desc, 1, HASH, "/srv/pkgs/alpha.qpk", form));
    form.extra = {};
    EXPECT_FALSE(qpk_index_entry(desc, 1, HASH, "/srv/pkgs/alpha.txt", form));
    EXPECT_EQ(entry("alpha").find("eqpkRsaSigData"), std::string::npos);
}
