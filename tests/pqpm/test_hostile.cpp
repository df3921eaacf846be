// Hostile packages against the real pqpm in a sandbox root: headers that
// lie about the signed description, payloads past their declared size,
// names with a NUL, and links inside and out of a package tree.
#include "package/sha1.h"
#include "support/hostile_archive.h"
#include "support/sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace qpm;
using namespace qpm::test;

namespace {

namespace fs = std::filesystem;

// The attributes of a small package for any architecture.
Attributes attributes(const std::string &name, const std::string &data_size = "5")
{
    Attributes attrs = basic_attributes(name, "1.0");
    for (auto &[key, value] : attrs) {
        if (key == "eqpkArchitecture")
            value = "any";
        if (key == "eqpkDataSize")
            value = data_size;
    }
    return attrs;
}

// A signed package made by hand, for what qpm-pack never writes: data
// entries (files and links) with a hash list of `hashes` ("DIGEST:PATH"
// lines), and, unless `signed_copy` is false, the signed copy of the
// description with its own hash list.
std::string hand_made(const Sandbox &box, const Attributes &attrs, std::vector<PayloadEntry> entries,
                      const std::string &hashes, bool signed_copy = true)
{
    entries.push_back(file_entry("hash/data.txt", hashes));
    if (signed_copy) {
        const std::string desc = make_description(attrs);
        entries.push_back(file_entry("info/desc.txt", desc));
        entries.push_back(file_entry("hash/info.txt", sha1_data(desc) + ":desc.txt\n"));
    }
    std::string name;
    for (const auto &[key, value] : attrs)
        if (key == "eqpkName")
            name = value;
    const std::string path = box.repo() + "/" + name + "_any_1.0.qpk";
    write_package(path, attrs, make_payload(entries), &box.signer());
    return path;
}

// The package file with the first `from` of its header description replaced.
void rewrite_header(const std::string &path, const std::string &from, const std::string &to)
{
    const std::string bytes = read_file(path);
    const size_t length = std::stoul(bytes.substr(6, 5));
    std::string description = bytes.substr(11, length);
    const size_t at = description.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    description.replace(at, from.size(), to);
    write_file(path, make_qpk(description, bytes.substr(11 + length)));
}

PackageSpec pkg(const std::string &name, std::vector<std::string> depends = {})
{
    PackageSpec pkg_spec;
    pkg_spec.name = name;
    pkg_spec.depends = std::move(depends);
    pkg_spec.file("data/usr/share/" + name + "/" + name + ".txt", name + "\n");
    return pkg_spec;
}

class PqpmHostile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(box.ok()) << box.error(); }

    std::string inv(const std::string &path) const { return box.path("/var/lib/qpm/" + path); }
    bool installed(const std::string &name) const { return file_exists(inv("installed/" + name + "/inst.txt")); }
    // Stage directories (not the fetched package files) left in the stage area.
    std::vector<std::string> stage_dirs() const
    {
        std::vector<std::string> dirs;
        for (const auto &entry : fs::directory_iterator(inv("stagearea")))
            if (entry.is_directory())
                dirs.push_back(entry.path().filename().string());
        return dirs;
    }

    Sandbox box;
};

} // namespace

// The header is not signed: a field that differs from the signed copy
// refuses the package, naming the attribute, with nothing installed.
TEST_F(PqpmHostile, HeaderThatDiffersFromTheSignedCopyIsRefusedNamingTheField)
{
    struct Case {
        const char *request; // the name asked for
        const char *field;
        const char *from;
        const char *to;
    };
    const Case cases[] = {
        {"app", "eqpkDependency", "eqpkDependency: lib\n", "eqpkDependency: evil\n"},
        {"evil", "eqpkName", "eqpkName: app\n", "eqpkName: evil\n"}, // a signed payload relabelled
        {"app", "eqpkDataSize", "eqpkDataSize: ", "eqpkDataSize: 1"},
        {"app", "eqpkDescription", "eqpkDescription: test package", "eqpkDescription: trusted package"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.field);
        Sandbox run_box;
        ASSERT_TRUE(run_box.ok()) << run_box.error();
        run_box.add_package(pkg("lib"));
        run_box.add_package(pkg("evil"));
        const std::string app = run_box.add_package(pkg("app", {"lib"}));
        if (std::string(c.request) == "evil") {
            fs::remove(run_box.repo() + "/evil_any_1.0.qpk");
            rewrite_header(app, c.from, c.to);
            fs::rename(app, run_box.repo() + "/evil_any_1.0.qpk");
        } else {
            rewrite_header(app, c.from, c.to);
        }

        const RunResult r = run_box.pqpm({"install", c.request});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find(std::string("pqpm: failure installing ") + c.request), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(std::string(c.field) + " of "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("differs from its signed description (info/desc.txt), refusing it"), std::string::npos);
        EXPECT_FALSE(file_exists(run_box.path("/var/lib/qpm/installed/" + std::string(c.request))));
        EXPECT_FALSE(file_exists(run_box.path("/usr/share/app/app.txt")));
        EXPECT_FALSE(file_exists(run_box.path("/var/lib/qpm/installed/app")));
    }
}

TEST_F(PqpmHostile, UnsignedHeaderIsRefusedUnlessTheConfigurationAllowsIt)
{
    hand_made(box, attributes("old"), {file_entry("data/usr/bin/old", "old!\n")},
              sha1_data("old!\n") + ":usr/bin/old\n", false);

    RunResult r = box.pqpm({"install", "old"});
    EXPECT_EQ(r.out, "pqpm: failure installing old, rc: -1\n");
    EXPECT_NE(r.err.find("has no signed description (info/desc.txt), refusing it"), std::string::npos) << r.err;
    EXPECT_FALSE(installed("old"));
    EXPECT_FALSE(file_exists(box.path("/usr/bin/old")));
    EXPECT_TRUE(stage_dirs().empty());

    write_file(box.path("/etc/qpm.conf"), read_file(box.path("/etc/qpm.conf")) + "qpm_unsigned_header=yes\n");
    r = box.pqpm({"install", "old"});
    EXPECT_EQ(r.out, "pqpm: old successfully installed\n") << r.err;
    EXPECT_EQ(read_file(box.path("/usr/bin/old")), "old!\n");
}

// Unpacking is held to the declared size: a payload past it stops at the
// first block over the bound, a declared size past the free space stops
// before the first; neither leaves a stage directory.
TEST_F(PqpmHostile, PayloadPastItsDeclaredSizeStopsEarlyAndLeavesNoStageDirectory)
{
    const std::string big(8 << 20, '\0'); // 8 MiB of zeros: a few KiB packed
    const std::string hashes = sha1_data(big) + ":usr/share/big\n";
    hand_made(box, attributes("liar", "100"), {file_entry("data/usr/share/big", big)}, hashes);
    hand_made(box, attributes("huge", "999999999999999999"), {file_entry("data/usr/share/big", "small\n")},
              sha1_data("small\n") + ":usr/share/big\n");

    RunResult r = box.pqpm({"install", "liar"});
    EXPECT_EQ(r.out, "pqpm: failure installing liar, rc: -1\n");
    EXPECT_NE(r.err.find("Refusing to unpack further: the files written pass the declared size of 100 bytes "
                         "(allowance 65536) at data/usr/share/big"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(stage_dirs().empty());
    EXPECT_FALSE(installed("liar"));

    r = box.pqpm({"install", "huge"});
    EXPECT_EQ(r.out, "pqpm: failure installing huge, rc: -1\n");
    EXPECT_NE(r.err.find("Not enough space to unpack"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(": 999999999999999999 bytes declared, "), std::string::npos) << r.err;
    EXPECT_TRUE(stage_dirs().empty());
}

// A NUL in a Base64 name, in the header or in the signed copy, refuses the
// package: it never registers under the name before the NUL.
TEST_F(PqpmHostile, NameWithANulIsRefusedWhereverItIsRead)
{
    Attributes nul_header = attributes("vic");
    nul_header[1] = {"eqpkName;binary", std::string("vic\0x", 5)};
    const std::string in_header = box.repo() + "/nul-header.qpk";
    write_package(in_header, nul_header, make_payload({file_entry("data/usr/bin/vic", "vic\n")}), &box.signer());

    const std::string in_copy = hand_made(box, attributes("vic"), {file_entry("data/usr/bin/vic", "vic\n")},
                                          sha1_data("vic\n") + ":usr/bin/vic\n");
    // The signed copy names "vic\0x" while the header says "vic".
    {
        std::vector<PayloadEntry> entries = {file_entry("data/usr/bin/vic", "vic\n"),
                                             file_entry("hash/data.txt", sha1_data("vic\n") + ":usr/bin/vic\n")};
        const std::string desc = make_description(nul_header);
        entries.push_back(file_entry("info/desc.txt", desc));
        entries.push_back(file_entry("hash/info.txt", sha1_data(desc) + ":desc.txt\n"));
        write_package(in_copy, attributes("vic"), make_payload(entries), &box.signer());
    }

    for (const std::string &file : {in_header, in_copy}) {
        SCOPED_TRACE(file);
        const RunResult r = box.pqpm({"install", file});
        EXPECT_EQ(r.status, 1);
        EXPECT_FALSE(file_exists(inv("installed/vic")));
        EXPECT_FALSE(file_exists(box.path("/usr/bin/vic")));
    }
    const RunResult r = box.pqpm({"install", "vic"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(inv("installed/vic")));
    EXPECT_TRUE(stage_dirs().empty());
}

// A link in the data tree to a regular file of the same tree verifies (and
// installs as a copy of that file); one that leads out of the tree fails.
TEST_F(PqpmHostile, LinkInsideTheTreeVerifiesAndALinkOutFails)
{
    const std::string lib = "library\n";
    const std::string hashes = sha1_data(lib) + ":usr/lib/libx.so.1\n" + sha1_data(lib) + ":usr/lib/libx.so\n";
    hand_made(box, attributes("inside"),
              {file_entry("data/usr/lib/libx.so.1", lib), symlink_entry("data/usr/lib/libx.so", "libx.so.1")}, hashes);
    write_file(box.path("/etc/secret"), lib); // the same content, outside the tree
    hand_made(box, attributes("outside"),
              {file_entry("data/usr/lib/liby.so.1", lib), symlink_entry("data/usr/lib/liby.so", "/etc/secret")},
              sha1_data(lib) + ":usr/lib/liby.so.1\n" + sha1_data(lib) + ":usr/lib/liby.so\n");

    RunResult r = box.pqpm({"install", "inside"});
    EXPECT_EQ(r.out, "pqpm: inside successfully installed\n") << r.err;
    EXPECT_EQ(read_file(box.path("/usr/lib/libx.so")), lib);
    EXPECT_EQ(read_file(box.path("/usr/lib/libx.so.1")), lib);

    r = box.pqpm({"install", "outside"});
    EXPECT_NE(r.out.find("pqpm: failure installing outside, rc: "), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("usr/lib/liby.so"), std::string::npos) << r.err;
    EXPECT_FALSE(installed("outside"));
    EXPECT_FALSE(file_exists(box.path("/usr/lib/liby.so.1")));
    EXPECT_TRUE(stage_dirs().empty());
}
