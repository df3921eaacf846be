#include "package/qpk_info.h"

#include "package/signature.h"
#include "support/hostile_archive.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace qpm;
using test::Attributes;
using test::LogFile;

namespace {

qpk_info busybox(std::optional<std::string> variant = std::nullopt)
{
    qpk_info qpi;
    qpi.name = "busybox";
    qpi.variant = std::move(variant);
    qpi.version = "1.36.1-2";
    qpi.architecture = QPM_ARCH_X86_64;
    qpi.description = "Tiny versions of common UNIX utilities";
    return qpi;
}

using Entries = std::vector<std::pair<std::string, std::optional<std::string>>>;

Entries entries_of(const Ekva *e)
{
    Entries out;
    for (const EkvaEntry &entry : e->entries())
        out.emplace_back(entry.key, entry.value);
    return out;
}

// The description of busybox with one attribute replaced (or dropped when
// `value` is nullopt), or added when it was not there.
std::string description_with(const std::string &name, std::optional<std::string> value,
                             Attributes attrs = test::basic_attributes())
{
    bool found = false;
    for (auto it = attrs.begin(); it != attrs.end();) {
        if (it->first == name) {
            found = true;
            if (!value) {
                it = attrs.erase(it);
                continue;
            }
            it->second = *value;
        }
        ++it;
    }
    if (!found && value)
        attrs.emplace_back(name, *value);
    return test::make_description(attrs);
}

constexpr std::nullopt_t none = std::nullopt;

} // namespace

TEST(QpkArch, NamesAndIdentifiersMapBothWaysCaseSensitively)
{
    EXPECT_EQ(qpm_arch_getid("any"), 1);
    EXPECT_EQ(qpm_arch_getid("i686"), 2);
    EXPECT_EQ(qpm_arch_getid("x86_64"), 4);
    EXPECT_EQ(qpm_arch_getid("mips"), 8);
    EXPECT_EQ(qpm_arch_getid("X86_64"), 99);
    EXPECT_EQ(qpm_arch_getid(""), 99);
    EXPECT_STREQ(qpm_arch_getname(8), "mips");
    EXPECT_EQ(qpm_arch_getname(3), nullptr);
    EXPECT_EQ(qpm_arch_getname(99), nullptr);
}

TEST(QpkPuname, PackageWithoutVariantRoundTrips)
{
    EXPECT_EQ(qpk_puname(busybox()), "busybox_x86_64_1.36.1-2");
    const EkvaPtr e = qpk_puname_decode("busybox_x86_64_1.36.1-2");
    ASSERT_TRUE(e);
    const Entries expected = {{"eqpkName", "busybox"}, {"eqpkVersion", "1.36.1-2"}, {"eqpkArchitecture", "x86_64"}};
    EXPECT_EQ(entries_of(e.get()), expected);
    EXPECT_EQ(e->capacity(), 20);
    EXPECT_EQ(e->kind(), 4);
}

TEST(QpkPuname, PackageWithVariantRoundTrips)
{
    EXPECT_EQ(qpk_puname(busybox("static")), "busybox_static_x86_64_1.36.1-2");
    const EkvaPtr e = qpk_puname_decode("busybox_static_x86_64_1.36.1-2");
    ASSERT_TRUE(e);
    const Entries expected = {{"eqpkName", "busybox"},
                              {"eqpkVariant", "static"},
                              {"eqpkVersion", "1.36.1-2"},
                              {"eqpkArchitecture", "x86_64"}};
    EXPECT_EQ(entries_of(e.get()), expected);
    // An empty variant is no variant: the puname must decode back.
    EXPECT_EQ(qpk_puname(busybox("")), "busybox_x86_64_1.36.1-2");
}

TEST(QpkPuname, SingleWordMiddlesAreArchitectureOrVariantAndArchitecture)
{
    EkvaPtr e = qpk_puname_decode("foo_mips_1.0");
    ASSERT_TRUE(e);
    EXPECT_EQ(ekva_cntval(e.get(), "eqpkVariant"), 0);
    EXPECT_STREQ(ekva_getval(e.get(), "eqpkArchitecture"), "mips");

    e = qpk_puname_decode("foo_static_mips_1.0");
    ASSERT_TRUE(e);
    EXPECT_STREQ(ekva_getval(e.get(), "eqpkVariant"), "static");
    EXPECT_STREQ(ekva_getval(e.get(), "eqpkArchitecture"), "mips");

    // Three underscores in the middle: no variant and no architecture.
    e = qpk_puname_decode("foo_a_b_c_d_1.0");
    ASSERT_TRUE(e);
    EXPECT_EQ(ekva_cntval(e.get(), "eqpkVariant"), 0);
    ASSERT_EQ(ekva_cntval(e.get(), "eqpkArchitecture"), 1);
    EXPECT_EQ(ekva_getval(e.get(), "eqpkArchitecture"), nullptr);
}

TEST(QpkPuname, DecodingFailuresSayWhichPartIsMissing)
{
    LogFile log;
    EXPECT_FALSE(qpk_puname_decode(nullptr));
    EXPECT_TRUE(log.has("qpk_puname_decode: No puname given"));
    EXPECT_FALSE(qpk_puname_decode("busybox"));
    EXPECT_TRUE(log.has("qpk_puname_decode: could not determine package name in puname <busybox>"));
    EXPECT_FALSE(qpk_puname_decode("busybox_1.0"));
    EXPECT_TRUE(log.has("qpk_puname_decode: could not determine package version in puname <busybox_1.0>"));
    EXPECT_FALSE(qpk_puname_decode("busybox_sparc_1.0"));
    EXPECT_TRUE(log.has("qpk_puname_decode: arch sparc is invalid"));
    EXPECT_FALSE(qpk_puname_decode("busybox_static_sparc_1.0"));
    EXPECT_TRUE(log.has("qpk_puname_decode: 1 underscore in <static_sparc>, first at 6"));
    EXPECT_TRUE(log.has("qpk_puname_decode: len_rest: 16 len_vers: 3 = 13"));
}

TEST(QpkPuname, LongNamesAreCutAt1023Characters)
{
    qpk_info qpi = busybox();
    qpi.name.assign(2000, 'n');
    EXPECT_EQ(qpk_puname(qpi).size(), 1023u);
}

TEST(QpkInfoParse, PackageFormatIsRequiredExceptForCatalogueEntries)
{
    LogFile log;
    const std::string without = description_with("eqpmVersion", none);
    EXPECT_FALSE(qpk_info_parse("pkg", QPK_KIND_FILE, without));
    EXPECT_TRUE(log.has("qpk_info_parse: Unspecified package format"));
    EXPECT_TRUE(qpk_info_parse("pkg", QPK_KIND_CATALOGUE, without));

    EXPECT_TRUE(qpk_info_parse("pkg", QPK_KIND_FILE, description_with("eqpmVersion", "1.0")));
    EXPECT_TRUE(log.has("pkg: Package format: 1"));
    EXPECT_TRUE(qpk_info_parse("pkg", QPK_KIND_FILE, description_with("eqpmVersion", "2.0")));
    EXPECT_TRUE(log.has("pkg: Package format: 2"));
    EXPECT_FALSE(qpk_info_parse("pkg", QPK_KIND_FILE, description_with("eqpmVersion", "2.1")));
    EXPECT_TRUE(log.has("qpk_info_parse: Unknown package format 2.1"));
}

TEST(QpkInfoParse, MissingNameVersionOrDescriptionFailSilently)
{
    LogFile log;
    for (const char *attr : {"eqpkName", "eqpkVersion", "eqpkDescription"})
        EXPECT_FALSE(qpk_info_parse("pkg", QPK_KIND_FILE, description_with(attr, none))) << attr;
    EXPECT_EQ(log.text().find("qpk_info_parse:"), std::string::npos);
}

TEST(QpkInfoParse, ArchitectureMustBeGivenAndSupported)
{
    LogFile log;
    EXPECT_FALSE(qpk_info_parse("pkg", QPK_KIND_FILE, description_with("eqpkArchitecture", none)));
    EXPECT_TRUE(log.has("qpk_info_parse: Unspecified architecture"));
    EXPECT_FALSE(qpk_info_parse("pkg", QPK_KIND_FILE, description_with("eqpkArchitecture", "sparc")));
    EXPECT_TRUE(log.has("qpk_info_parse: Unsupported architecture: sparc"));
    const QpiPtr qpi = qpk_info_parse("pkg", QPK_KIND_FILE, description_with("eqpkArchitecture", "any"));
    ASSERT_TRUE(qpi);
    EXPECT_EQ(qpi->architecture, QPM_ARCH_ANY);
}

TEST(QpkInfoParse, DescriptionFieldsAndCatalogueFields)
{
    Attributes attrs = test::basic_attributes();
    attrs.emplace_back("eqpkDependency", "musl");
    attrs.emplace_back("eqpkDependency", "libfoo+bar");
    attrs.emplace_back("eqpkFileHash", "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    attrs.emplace_back("eqpkRsaSigSubj", "/C=QD/CN=Signer");
    attrs.emplace_back("eqpkRsaSigData;binary", std::string("\x01\x00\xff", 3));
    attrs.emplace_back("eqpkFileSize", "12345");
    attrs.emplace_back("eqpkAbsoluteURI", "/srv/pkgs/busybox.qpk");
    attrs.emplace_back("eqpkRelativeURI", "pkgs/busybox.qpk");
    const std::string text = test::make_description(attrs);

    const QpiPtr file = qpk_info_parse("pkg", QPK_KIND_FILE, text);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->name, "busybox");
    EXPECT_FALSE(file->variant);
    EXPECT_EQ(file->version, "1.36.1-2");
    EXPECT_EQ(file->creator, "Quendari Builders");
    EXPECT_EQ(file->dependencies, (StrArr{"musl", "libfoo+bar"}));
    EXPECT_EQ(file->data_size, 2048);
    EXPECT_EQ(file->file_hash, "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(file->signer_subject, "/C=QD/CN=Signer");
    EXPECT_EQ(file->signature, std::string("\x01\x00\xff", 3));
    EXPECT_EQ(file->signature_status, 0);
    // Only catalogue entries carry file size and locations.
    EXPECT_EQ(file->file_size, 0);
    EXPECT_FALSE(file->absolute_uri);

    const QpiPtr entry = qpk_info_parse("pkg", QPK_KIND_CATALOGUE, text);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->file_size, 12345);
    EXPECT_EQ(entry->absolute_uri, "/srv/pkgs/busybox.qpk");
    EXPECT_EQ(entry->relative_uri, "pkgs/busybox.qpk");
}

TEST(QpkInfoParse, InstallRecordOfInstalledPackages)
{
    LogFile log;
    const std::string desc = test::make_description(test::basic_attributes());
    const auto parse = [&](std::optional<std::string_view> record) {
        return qpk_info_parse("pkg", QPK_KIND_INSTALLED, desc, record);
    };

    QpiPtr qpi = parse("eqpkInstallTime: 1700000000\neqpkUpdateTime: 1700000100\n"
                       "eqpkUpdateTime: 1700000200\neqpkInstallType: X\n");
    ASSERT_TRUE(qpi);
    EXPECT_EQ(qpi->install_time, 1700000000);
    EXPECT_EQ(qpi->update_times, (std::vector<int64_t>{1700000100, 1700000200}));
    EXPECT_EQ(qpi->install_type, 'X');
    EXPECT_FALSE(qpi->install_head);

    qpi = parse("eqpkInstallTime: 1\neqpkInstallType: D\neqpkInstallHead: vim\n");
    ASSERT_TRUE(qpi);
    EXPECT_EQ(qpi->install_type, 'D');
    EXPECT_EQ(qpi->install_head, "vim");

    const std::pair<std::optional<std::string_view>, const char *> failures[] = {
        {std::nullopt, "qpk_info_parse: No install info found, package is corrupt"},
        {"eqpkInstallType: X\n", "qpk_info_parse: No install time found, package is corrupt"},
        {"eqpkInstallTime: soon\neqpkInstallType: X\n", "qpk_info_parse: Failed to parse install time"},
        {"eqpkInstallTime: 1\neqpkUpdateTime: later\neqpkInstallType: X\n",
         "qpk_info_parse: Failed to parse update time"},
        {"eqpkInstallTime: 1\n", "qpk_info_parse: No install type found, package is corrupt"},
        {"eqpkInstallTime: 1\neqpkInstallType:\n", "qpk_info_parse: Failed to parse install type"},
        {"eqpkInstallTime: 1\neqpkInstallType: Q\n", "qpk_info_parse: Invalid install type: Q"},
        {"eqpkInstallTime: 1\neqpkInstallType: D\n", "qpk_info_parse: No install head found, package is corrupt"},
    };
    for (const auto &[record, message] : failures) {
        EXPECT_FALSE(parse(record)) << message;
        EXPECT_TRUE(log.has(message)) << message;
    }
}

TEST(QpkInfoParse, RefusesIdentifiersThatCouldEscapeAPathOrCommand)
{
    LogFile log;
    const char *bad[] = {"",      ".",       "..",      ".hidden", "a/b",       "../../etc", "a b",
                         "a\tb",  "a;rm -rf", "$(id)",  "`id`",    "a|b",       "a\\b",      "a'b",
                         "a\"b",  "a*",       "a?",     "a\x01",   "caf\xc3\xa9", "a\nb"};
    struct Field {
        const char *attribute;
        const char *message;
    };
    const Field fields[] = {{"eqpkName", "qpk_info_parse: Invalid package name: "},
                            {"eqpkVariant", "qpk_info_parse: Invalid package variant: "},
                            {"eqpkVersion", "qpk_info_parse: Invalid package version: "},
                            {"eqpkDependency", "qpk_info_parse: Invalid dependency name: "}};
    for (const Field &field : fields) {
        for (const char *value : bad) {
            const std::string v(value);
            // An empty variant is no variant, not a refusal.
            if (v.empty() && std::string(field.attribute) == "eqpkVariant")
                continue;
            const std::string text = description_with(field.attribute, v);
            for (const int kind : {QPK_KIND_CATALOGUE, QPK_KIND_FILE})
                EXPECT_FALSE(qpk_info_parse("pkg", kind, text)) << field.attribute << " <" << v << ">";
        }
        EXPECT_TRUE(log.has(field.message)) << field.message;
    }
    // Control characters are shown escaped, so a value cannot forge log lines.
    EXPECT_TRUE(log.has("qpk_info_parse: Invalid package name: a\\x0ab"));
    EXPECT_TRUE(log.has("qpk_info_parse: Invalid package name: ../../etc"));

    const std::string good = "Lib+foo.bar~1@x_y-z:2";
    Attributes attrs = test::basic_attributes(good, good);
    attrs.emplace_back("eqpkVariant", good);
    attrs.emplace_back("eqpkDependency", good);
    const QpiPtr qpi = qpk_info_parse("pkg", QPK_KIND_FILE, test::make_description(attrs));
    ASSERT_TRUE(qpi);
    EXPECT_EQ(qpi->name, good);
    EXPECT_EQ(qpi->variant, good);
    EXPECT_EQ(qpi->dependencies, StrArr{good});

    const QpiPtr plain = qpk_info_parse("pkg", QPK_KIND_FILE, description_with("eqpkVariant", ""));
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->variant);
}

// Base64 values may carry any byte: the length counts, not the C string.
TEST(QpkInfoParse, NulInABase64ValueRefusesTheName)
{
    LogFile log;
    const std::string vic_nul_x = "dmljAHg="; // "vic\0x"
    for (const char *attribute : {"eqpkName", "eqpkVariant", "eqpkVersion", "eqpkDependency"}) {
        std::string text = description_with(attribute, std::nullopt);
        text += std::string(attribute) + ":: " + vic_nul_x + "\n";
        for (const int kind : {QPK_KIND_CATALOGUE, QPK_KIND_FILE})
            EXPECT_FALSE(qpk_info_parse("pkg", kind, text)) << attribute;
    }
    EXPECT_TRUE(log.has("qpk_info_parse: Invalid package name: vic\\x00x"));
    EXPECT_FALSE(qpk_ident_valid(std::string("vic\0x", 5)));
    EXPECT_FALSE(qpk_ident_valid(std::string("\0", 1)));
    EXPECT_TRUE(qpk_ident_valid("vic"));

    const std::string desc = test::make_description(test::basic_attributes());
    EXPECT_FALSE(qpk_info_parse("pkg", QPK_KIND_INSTALLED, desc,
                                "eqpkInstallTime: 1\neqpkInstallType: D\neqpkInstallHead:: " + vic_nul_x + "\n"));
    EXPECT_TRUE(log.has("qpk_info_parse: Invalid install head: vic\\x00x"));
}

TEST(QpkInfoParse, RepeatedAttributesKeepEveryValueInOrder)
{
    Attributes attrs = test::basic_attributes();
    StrArr expected;
    std::string record = "eqpkInstallTime: 1\n";
    std::vector<int64_t> times;
    for (int i = 0; i < 300; ++i) {
        expected.push_back("lib" + std::to_string(i));
        // Attribute names match without regard to case, as single look-ups do.
        attrs.emplace_back(i % 2 ? "eqpkDependency" : "EQPKDEPENDENCY", expected.back());
        record += "eqpkUpdateTime: " + std::to_string(100 + i) + "\n";
        times.push_back(100 + i);
    }
    record += "eqpkInstallType: X\n";
    const std::string text = test::make_description(attrs);
    const QpiPtr qpi = qpk_info_parse("pkg", QPK_KIND_INSTALLED, text, record);
    ASSERT_TRUE(qpi);
    EXPECT_EQ(qpi->dependencies, expected);
    EXPECT_EQ(qpi->update_times, times);
    // A dependency after the entry's end (an empty line) is not the package's.
    const QpiPtr cut = qpk_info_parse("pkg", QPK_KIND_FILE, text + "\neqpkDependency: other\n");
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->dependencies, expected);
}

TEST(QpkInfoParse, FileReferencesInDescriptionsAreNeverOpened)
{
    test::ScratchDir dir;
    const std::string secret = dir / "secret";
    test::write_file(secret, "TOP SECRET");
    std::string text = test::make_description(test::basic_attributes());
    text = text.substr(0, text.find("eqpkDescription")) + "eqpkDescription:< file://" + secret + "\n";
    const QpiPtr qpi = qpk_info_parse("pkg", QPK_KIND_FILE, text);
    ASSERT_TRUE(qpi);
    EXPECT_EQ(qpi->description, "");
}

TEST(QpkInfoEkva, EntriesInOrderWithSignatureWordAndNullDependency)
{
    qpk_info qpi = busybox();
    qpi.signature_status = QPS_INVALID;
    qpi.signer_subject = "/CN=x";
    qpi.signature = "abc";
    const EkvaPtr e = qpk_info_ekva(&qpi, QPK_KIND_FILE);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->capacity(), 40);
    EXPECT_EQ(e->kind(), 4);
    const Entries expected = {{"eqpkName", "busybox"},
                              {"eqpkVariant", none},
                              {"eqpkVersion", "1.36.1-2"},
                              {"eqpkArchitecture", "x86_64"},
                              {"eqpkCreator", none},
                              {"eqpkSignature", "Invalid"},
                              {"eqpkDescription", "Tiny versions of common UNIX utilities"},
                              {"eqpkDependency", none},
                              {"eqpkDataSize", "0"},
                              {"eqpkRsaSigSubj", "/CN=x"},
                              {"eqpkRsaSigData;binary", "YWJj"}};
    EXPECT_EQ(entries_of(e.get()), expected);

    const std::pair<int, const char *> words[] = {
        {1, "Verified"}, {-1, "Missing"}, {-2, "Untrusted"}, {0, nullptr}, {-4, nullptr}, {-5, nullptr}};
    for (const auto &[status, word] : words) {
        qpi.signature_status = status;
        const EkvaPtr s = qpk_info_ekva(&qpi, QPK_KIND_FILE);
        if (word)
            EXPECT_STREQ(ekva_getval(s.get(), "eqpkSignature"), word);
        else
            EXPECT_EQ(ekva_cntval(s.get(), "eqpkSignature"), 0) << status;
    }
}

TEST(QpkInfoEkva, InstalledAndCatalogueKindsAddTheirFields)
{
    qpk_info qpi = busybox();
    qpi.install_time = 100;
    qpi.update_times = {200, 300};
    qpi.install_type = 'D';
    qpi.install_head = "vim";
    qpi.file_size = 4096;
    qpi.file_hash = "ab";
    EkvaPtr e = qpk_info_ekva(&qpi, QPK_KIND_INSTALLED);
    EXPECT_EQ(ekva_getvals(e.get(), "eqpkUpdateTime"), (StrArr{"200", "300"}));
    EXPECT_STREQ(ekva_getval(e.get(), "eqpkInstallType"), "D");
    EXPECT_STREQ(ekva_getval(e.get(), "eqpkInstallHead"), "vim");
    EXPECT_EQ(ekva_cntval(e.get(), "eqpkRsaSigSubj"), 0);
    EXPECT_EQ(ekva_cntval(e.get(), "eqpkFileSize"), 0);

    qpi.update_times.clear();
    qpi.install_type = 'X';
    e = qpk_info_ekva(&qpi, QPK_KIND_INSTALLED);
    ASSERT_EQ(ekva_cntval(e.get(), "eqpkUpdateTime"), 1);
    EXPECT_EQ(ekva_getval(e.get(), "eqpkUpdateTime"), nullptr);
    EXPECT_EQ(ekva_cntval(e.get(), "eqpkInstallHead"), 0);

    e = qpk_info_ekva(&qpi, QPK_KIND_CATALOGUE);
    EXPECT_STREQ(ekva_getval(e.get(), "eqpkFileSize"), "4096");
    EXPECT_STREQ(ekva_getval(e.get(), "eqpkFileHash"), "ab");
    EXPECT_EQ(ekva_cntval(e.get(), "eqpkInstallTime"), 0);
}

TEST(QpkInfoEkva, NullRecordGivesTheTableTemplate)
{
    const auto keys = [](int kind) {
        StrArr out;
        const EkvaPtr e = qpk_info_ekva(nullptr, kind);
        for (const EkvaEntry &entry : e->entries()) {
            EXPECT_FALSE(entry.value) << entry.key;
            out.push_back(entry.key);
        }
        return out;
    };
    const StrArr common = {"eqpkName",        "eqpkVariant",    "eqpkVersion",   "eqpkArchitecture",
                           "eqpkCreator",     "eqpkDescription", "eqpkDependency", "eqpkRsaSigSubj",
                           "eqpkRsaSigData;binary"};
    EXPECT_EQ(keys(QPK_KIND_FILE), common);
    StrArr catalogue = common;
    arr_tail(catalogue, {"eqpkFileSize", "eqpkFileHash", "eqpkAbsoluteURI", "eqpkRelativeURI"});
    EXPECT_EQ(keys(QPK_KIND_CATALOGUE), catalogue);
    StrArr installed = common;
    arr_tail(installed, {"eqpkInstallTime", "eqpkUpdateTime", "eqpkInstallType", "eqpkInstallHead"});
    EXPECT_EQ(keys(QPK_KIND_INSTALLED), installed);
}

TEST(QpkFileIsQpk, NeedsTheExactSuffixAndARegularFile)
{
    LogFile log;
    test::ScratchDir dir;
    test::write_file(dir / "a.qpk", "x");
    test::write_file(dir / "b.QPK", "x");
    ASSERT_EQ(mkdir((dir / "c.qpk").c_str(), 0755), 0);
    EXPECT_EQ(qpk_file_is_qpk(dir / "a.qpk"), 1);
    EXPECT_EQ(qpk_file_is_qpk(dir / "b.QPK"), 0);
    EXPECT_TRUE(log.has(dir / "b.QPK has not suffix qpk"));
    EXPECT_EQ(qpk_file_is_qpk(dir / "c.qpk"), 0);
    EXPECT_EQ(qpk_file_is_qpk(dir / "missing.qpk"), 0);
    EXPECT_TRUE(log.has("file " + (dir / "missing.qpk") + " could not be stated: No such file or directory"));
}

TEST(QpiMatch, NameWildcardsVersionsAndVariants)
{
    qpk_info libfoo = busybox();
    libfoo.name = "libfoo";
    EXPECT_EQ(qpm_qpi_match(&libfoo, 1, "lib*", none, none, nullptr), 1);
    EXPECT_EQ(qpm_qpi_match(&libfoo, 1, "libfoo", none, none, nullptr), 1);
    EXPECT_EQ(qpm_qpi_match(&libfoo, 1, "libbar", none, none, nullptr), 0);
    EXPECT_EQ(qpm_qpi_match(&libfoo, 1, none, none, none, nullptr), 1);
    EXPECT_EQ(qpm_qpi_match(&libfoo, 1, "lib*", none, "1.36.1-2", nullptr), 1);
    EXPECT_EQ(qpm_qpi_match(&libfoo, 1, "lib*", none, "1.36.1", nullptr), 0);

    const qpk_info plain = busybox();
    const qpk_info stat = busybox("static");
    EXPECT_EQ(qpm_qpi_match(&plain, 1, none, "default", none, nullptr), 1);
    EXPECT_EQ(qpm_qpi_match(&plain, 1, none, "", none, nullptr), 1);
    EXPECT_EQ(qpm_qpi_match(&stat, 1, none, "default", none, nullptr), 0);
    EXPECT_EQ(qpm_qpi_match(&stat, 1, none, "", none, nullptr), 0);
    EXPECT_EQ(qpm_qpi_match(&stat, 1, none, "static", none, nullptr), 1);
    EXPECT_EQ(qpm_qpi_match(&plain, 1, none, "static", none, nullptr), 0);
}

TEST(QpiMatch, AttributePatternsApplyWhenTheNameDoesNotMatch)
{
    LogFile log;
    const qpk_info qpi = busybox();
    const auto attrs = [](std::initializer_list<std::pair<const char *, const char *>> pairs) {
        EkvaPtr e = ekva_new(10, 3);
        for (const auto &[k, v] : pairs)
            ekva_addval(e, k, v, EKVA_APPEND);
        return e;
    };
    EkvaPtr a = attrs({{"eqpkCreator", "*nobody*"}, {"eqpkdescription", "*UNIX*"}});
    EXPECT_EQ(qpm_qpi_match(&qpi, 1, "shell", none, none, a.get()), 1);
    EXPECT_TRUE(log.has("Getting values for eqpkCreator in busybox"));
    EXPECT_TRUE(log.has("Found matching attribite eqpkdescription with value *UNIX*: "
                        "Tiny versions of common UNIX utilities"));

    a = attrs({{"eqpkDescription", "*perl*"}});
    EXPECT_EQ(qpm_qpi_match(&qpi, 1, "shell", none, none, a.get()), 0);
    // Absent values match no pattern, not even "*".
    a = attrs({{"eqpkVariant", "*"}});
    EXPECT_EQ(qpm_qpi_match(&qpi, 1, "shell", none, none, a.get()), 0);
    // Attributes never widen the other filters.
    a = attrs({{"eqpkDescription", "*UNIX*"}});
    EXPECT_EQ(qpm_qpi_match(&qpi, 1, "shell", "static", none, a.get()), 0);
}

TEST(QpiListSort, SortsByNameKeepingTheOrderOfEqualNames)
{
    LogFile log;
    QpiList list;
    for (const char *name : {"b", "a", "c", "a"}) {
        list.push_back(std::make_unique<qpk_info>(busybox()));
        list.back()->name = name;
    }
    const qpk_info *first_a = list[1].get();
    const qpk_info *second_a = list[3].get();
    qpm_qpi_list_sort(list);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].get(), first_a);
    EXPECT_EQ(list[1].get(), second_a);
    EXPECT_EQ(list[2]->name, "b");
    EXPECT_EQ(list[3]->name, "c");
    EXPECT_TRUE(log.has("qpm_qpi_list_sort(): bsort took "));
}
