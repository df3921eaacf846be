// The directory catalogue plug-in, loaded as the front ends load it.
#include "engine/backend.h"
#include "package/qpk_info.h"
#include "record/base64.h"
#include "record/ekva.h"
#include "record/ldif.h"
#include "support/test_support.h"
#include "util/log.h"
#include "util/raii.h"
#include "util/strfmt.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <utility>

#ifndef QPM_QPC_DIRS_SO
#error "QPM_QPC_DIRS_SO must name the built plug-in"
#endif

namespace qpm {
namespace {

using test::read_file;
using test::ScratchDir;
using test::write_file;

// An unsigned package file: header, LDIF description, payload bytes. The
// readers take it as long as the signature is not checked.
std::string write_package(const std::string &path, const std::string &name, const std::string &version = "1.0",
                          const std::optional<std::string> &variant = std::nullopt,
                          const std::string &payload = "payload", const std::string &extra = "")
{
    std::string desc = "dn: eqpkName=" + name + "\neqpmVersion: 1.0\neqpkName: " + name +
                       "\neqpkVersion: " + version + "\n";
    if (variant)
        desc += "eqpkVariant: " + *variant + "\n";
    desc += "eqpkArchitecture: x86_64\neqpkDescription: test package " + name + "\n" + extra;
    const std::string content = "EQPM10" + strprintf("%05zu", desc.size()) + desc + payload;
    write_file(path, content);
    return content;
}

std::string make_dir(const ScratchDir &scratch, const std::string &name)
{
    const std::string path = scratch / name;
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    EXPECT_FALSE(ec) << path;
    return path;
}

// Dates a file back by `minutes`, as a package file copied in a while ago
// is: only files that have been still for a moment are cached.
void settle(const std::string &path, int minutes = 60)
{
    timespec times[2]{};
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= minutes * 60;
    times[1] = times[0];
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

size_t count_of(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

class QpcDirs : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::error_code ec;
        std::filesystem::create_directories(m_root / "etc", ec);
        ASSERT_FALSE(ec);

        m_conf = ekva_new(20, 1);
        ekva_addval(m_conf, "arch_name", "x86_64", EKVA_APPEND);
        ekva_addval(m_conf, "dist_name", "quendari", EKVA_APPEND);
        ekva_addval(m_conf, "dist_vers", "2.0", EKVA_APPEND);

        m_library = qpm_qpc_load(QPM_QPC_DIRS_SO);
        ASSERT_TRUE(m_library);
    }

    void TearDown() override
    {
        if (m_connection)
            pqpm_qpc_release(m_connection);
        m_library.reset();
    }

    void write_conf(const std::string &text) { write_file(m_root / "etc/qpc-dirs.conf", text); }

    QpcConnection connect()
    {
        m_connection = pqpm_qpc_connect(m_conf.get(), llog.get());
        return m_connection;
    }

    QpiList find_all(int expected_count)
    {
        QpiList out;
        EXPECT_EQ(pqpm_qpc_findpkg(m_connection, nullptr, nullptr, nullptr, 5, nullptr, &out), expected_count);
        return out;
    }

    std::string log_text() const { return m_log.text(); }

    std::string cache_file() const { return m_root / "var/cache/qpm/qpc-dirs/cache"; }
    // Where a refresh has made the cache's directory, every run keeps it.
    void make_cache_dir() const
    {
        std::error_code ec;
        std::filesystem::create_directories(m_root / "var/cache/qpm/qpc-dirs", ec);
        ASSERT_FALSE(ec);
    }

    // One connection that asks for a name (and runs `queries`), then lets
    // the catalogue go: "N of M", as its log line says how many of the
    // package files it read afresh.
    std::string one_run(const std::function<void()> &queries = {})
    {
        const size_t from = log_text().size();
        EXPECT_NE(connect(), nullptr);
        QpiList out;
        pqpm_qpc_findpkg(m_connection, "none", nullptr, nullptr, 5, nullptr, &out);
        if (queries)
            queries();
        pqpm_qpc_release(std::exchange(m_connection, nullptr));
        const std::string log = log_text().substr(from);
        const size_t end = log.find(" package files read afresh");
        const size_t start = log.rfind("qpc-dirs: ", end);
        return end == std::string::npos ? "no count logged" : log.substr(start + 10, end - start - 10);
    }

    // The records a query gives, each in its full catalogue form.
    std::string records(const char *pattern, const char *variant = nullptr, const Ekva *attributes = nullptr)
    {
        QpiList out;
        const int n = pqpm_qpc_findpkg(m_connection, pattern, variant, nullptr, 5, attributes, &out);
        std::string text = std::to_string(n) + "\n";
        for (const QpiPtr &qpi : out)
            text += ekva2ldif(qpk_info_ekva(qpi.get(), QPK_KIND_CATALOGUE).get()).value_or("?") + "\n";
        return text;
    }

    ScratchDir m_root;
    ScratchDir m_repo;
    EkvaPtr m_conf;
    SharedLibrary m_library;
    QpcConnection m_connection = nullptr;

private:
    // Both put back after TearDown has let the plug-in go.
    test::ScopedSystemRoot m_system_root{m_root.path()};
    test::LogFile m_log{m_root / "qpm.log"};
};

TEST_F(QpcDirs, PackagesComeInConfigurationOrderThenFileNameOrderThenSortedByName)
{
    const std::string first = make_dir(m_repo, "zeta");
    const std::string second = make_dir(m_repo, "alpha");
    // Byte order: "B.qpk" before "a.qpk" whatever the locale's collation says.
    write_package(first + "/b.qpk", "same", "2");
    write_package(first + "/a.qpk", "same", "1");
    write_package(first + "/B.qpk", "same", "0");
    write_file(first + "/c.txt", "not a package");
    write_package(second + "/a.qpk", "same", "3");
    write_package(second + "/z.qpk", "early", "9");
    write_conf(first + "\n" + second + "\n");
    ASSERT_NE(connect(), nullptr);

    const QpiList found = find_all(5);
    ASSERT_EQ(found.size(), 5u);
    EXPECT_EQ(found[0]->name, "early");
    EXPECT_EQ(found[1]->version, "0");
    EXPECT_EQ(found[2]->version, "1");
    EXPECT_EQ(found[3]->version, "2");
    EXPECT_EQ(found[4]->version, "3");

    EXPECT_EQ(found[1]->relative_uri, first + "/B.qpk");
    std::error_code ec;
    EXPECT_EQ(found[1]->absolute_uri, std::filesystem::canonical(first + "/B.qpk", ec).string());
    EXPECT_EQ(found[1]->file_size, static_cast<int64_t>(std::filesystem::file_size(first + "/B.qpk", ec)));
    ASSERT_TRUE(found[1]->file_hash);
    EXPECT_EQ(found[1]->file_hash->size(), 40u);
    EXPECT_EQ(log_text().find("c.txt"), std::string::npos);
}

TEST_F(QpcDirs, AbsoluteUriResolvesSymbolicLinks)
{
    const std::string real = make_dir(m_repo, "real");
    write_package(real + "/p.qpk", "p");
    std::error_code ec;
    std::filesystem::create_directory_symlink(real, m_repo / "link", ec);
    ASSERT_FALSE(ec);
    write_conf(m_repo / "link/\n");
    ASSERT_NE(connect(), nullptr);

    const QpiList found = find_all(1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->relative_uri, m_repo / "link//p.qpk");
    EXPECT_EQ(found[0]->absolute_uri, std::filesystem::canonical(real + "/p.qpk", ec).string());
}

TEST_F(QpcDirs, FiltersByPatternVariantVersionAndAttributes)
{
    const std::string dir = make_dir(m_repo, "d");
    write_package(dir + "/foo-1.qpk", "foo", "1.0");
    write_package(dir + "/foo-2.qpk", "foo", "2.0");
    write_package(dir + "/foo-s.qpk", "foo", "1.0", "static");
    write_package(dir + "/libbar.qpk", "libbar", "1.0");
    write_conf(dir + "\n");
    ASSERT_NE(connect(), nullptr);

    const auto count = [&](const char *pattern, const char *variant, const char *version,
                           const Ekva *attributes = nullptr) {
        QpiList out;
        const int n = pqpm_qpc_findpkg(m_connection, pattern, variant, version, 5, attributes, &out);
        EXPECT_EQ(out.size(), static_cast<size_t>(n));
        return n;
    };
    EXPECT_EQ(count(nullptr, nullptr, nullptr), 4);
    EXPECT_EQ(count("foo", nullptr, nullptr), 3);
    EXPECT_EQ(count("lib*", nullptr, nullptr), 1);
    EXPECT_EQ(count("foo", nullptr, "2.0"), 1);
    EXPECT_EQ(count("foo", "static", nullptr), 1);
    EXPECT_EQ(count("foo", "default", nullptr), 2);
    EXPECT_EQ(count("foo", "", "1.0"), 1);
    EXPECT_EQ(count("nothing", nullptr, nullptr), 0);

    EkvaPtr attributes = ekva_new(10, 4);
    ekva_addval(attributes, "eqpkDescription", "*libbar", EKVA_APPEND);
    EXPECT_EQ(count("nothing", nullptr, nullptr, attributes.get()), 1);
}

TEST_F(QpcDirs, UnreadableEntriesAreSkippedNotFatal)
{
    const std::string dir = make_dir(m_repo, "d");
    write_package(dir + "/good.qpk", "good");
    write_file(dir + "/bad.qpk", "EQPM30 garbage");
    // A FIFO would block a reader forever; a directory cannot be read.
    ASSERT_EQ(mkfifo((dir + "/pipe.qpk").c_str(), 0600), 0);
    std::error_code ec;
    ASSERT_TRUE(std::filesystem::create_directory(dir + "/sub.qpk", ec));
    write_conf(m_repo / "missing\n" + dir + "\n");
    ASSERT_NE(connect(), nullptr);

    const QpiList found = find_all(1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->name, "good");
    const std::string log = log_text();
    EXPECT_NE(log.find("[WARNING] qpc-dirs: no packages found at " + (m_repo / "missing")), std::string::npos);
    for (const char *name : {"bad.qpk", "pipe.qpk", "sub.qpk"})
        EXPECT_NE(log.find("qpc-dirs: Skipping " + dir + "/" + name + ", failed to read info"), std::string::npos)
            << name;
}

TEST_F(QpcDirs, SameFileNameInTwoDirectoriesGivesTwoRecords)
{
    const std::string dir = make_dir(m_repo, "d");
    write_package(dir + "/p.qpk", "p");
    // Lines are taken verbatim: a trailing slash names another directory entry.
    write_conf(dir + "\n" + dir + "/\n");
    ASSERT_NE(connect(), nullptr);

    const QpiList found = find_all(2);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0]->relative_uri, dir + "/p.qpk");
    EXPECT_EQ(found[1]->relative_uri, dir + "//p.qpk");
}

TEST_F(QpcDirs, ConfigurationLinesAreVerbatimAndEmptyLinesIgnored)
{
    const std::string blank = make_dir(m_repo, "d ");
    write_package(blank + "/p.qpk", "p");
    write_conf("\n" + blank + "\n\n");
    ASSERT_NE(connect(), nullptr);
    EXPECT_EQ(find_all(1).size(), 1u);
    EXPECT_NE(log_text().find("qpc-dirs: Number of dirs read: 1"), std::string::npos);
}

TEST_F(QpcDirs, CommentAndBlankLinesNameNoDirectory)
{
    const std::string dir = make_dir(m_repo, "d");
    write_package(dir + "/p.qpk", "p");
    // Only a '#' in the first column starts a comment; a long comment is
    // skipped whole, not split into directories.
    write_conf("# packages\n" + dir + "\n \t\n#" + std::string(5000, 'c') + "\n #x\n");
    ASSERT_NE(connect(), nullptr);
    EXPECT_EQ(find_all(1).size(), 1u);
    const std::string log = log_text();
    EXPECT_NE(log.find("qpc-dirs: Number of dirs read: 2"), std::string::npos) << log;
    EXPECT_NE(log.find("qpc-dirs: Read line < #x> of length 3"), std::string::npos) << log;
}

TEST_F(QpcDirs, LastLineWithoutLineFeedIsReadWhole)
{
    const std::string one = make_dir(m_repo, "one");
    const std::string two = make_dir(m_repo, "two");
    write_package(one + "/p.qpk", "p");
    write_package(two + "/q.qpk", "q");

    write_conf(one);
    ASSERT_NE(connect(), nullptr);
    EXPECT_EQ(find_all(1).size(), 1u);
    pqpm_qpc_release(std::exchange(m_connection, nullptr));

    write_conf(one + "\n" + two);
    ASSERT_NE(connect(), nullptr);
    const QpiList found = find_all(2);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[1]->relative_uri, two + "/q.qpk");
}

TEST_F(QpcDirs, OneByteConfigurationIsOneDirectory)
{
    write_conf("x");
    ASSERT_NE(connect(), nullptr);
    find_all(0);
    const std::string log = log_text();
    EXPECT_NE(log.find("qpc-dirs: Read line <x> of length 1"), std::string::npos);
    EXPECT_NE(log.find("qpc-dirs: no packages found at x"), std::string::npos);
}

TEST_F(QpcDirs, EmptyConfigurationConnectsWithoutDirectories)
{
    write_conf("");
    ASSERT_NE(connect(), nullptr);
    QpiList out;
    EXPECT_EQ(pqpm_qpc_findpkg(m_connection, "x", nullptr, nullptr, 5, nullptr, &out), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_NE(log_text().find("qpc-dirs: Number of dirs read: 0"), std::string::npos);
}

TEST_F(QpcDirs, OnlyLinesLongerThan4095CharactersAreSplit)
{
    write_conf(std::string(4095, 'a') + "\n");
    ASSERT_NE(connect(), nullptr);
    EXPECT_NE(log_text().find("qpc-dirs: Number of dirs read: 1"), std::string::npos);
    pqpm_qpc_release(std::exchange(m_connection, nullptr));

    write_conf(std::string(5000, 'b') + "\n");
    ASSERT_NE(connect(), nullptr);
    EXPECT_NE(log_text().find("qpc-dirs: Number of dirs read: 2"), std::string::npos);
    EXPECT_NE(log_text().find("qpc-dirs: Read line <" + std::string(905, 'b') + "> of length 905"),
              std::string::npos);
}

TEST_F(QpcDirs, AtMostOneHundredDirectories)
{
    std::string conf;
    for (int i = 0; i < 105; ++i)
        conf += m_repo / ("d" + std::to_string(i)) + "\n";
    const std::string last = make_dir(m_repo, "d99");
    write_package(last + "/p.qpk", "p");
    write_package(make_dir(m_repo, "d100") + "/q.qpk", "q");
    write_conf(conf);
    ASSERT_NE(connect(), nullptr);

    const QpiList found = find_all(1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->name, "p");
    const std::string log = log_text();
    EXPECT_NE(log.find("qpc-dirs: Number of dirs read: 100"), std::string::npos);
    EXPECT_EQ(count_of(log, "[INFO] qpc-dirs: Maximum of 100 directories reached, skipping the rest"), 5u);
}

TEST_F(QpcDirs, ConnectFailures)
{
    EXPECT_EQ(connect(), nullptr);
    EXPECT_NE(log_text().find("[ERROR] qpc-dirs: Failed to open configuration file " +
                              (m_root / "etc/qpc-dirs.conf") + "\n"),
              std::string::npos);

    write_conf("");
    m_conf = ekva_new(20, 1);
    EXPECT_EQ(connect(), nullptr);
    EXPECT_NE(log_text().find("[ERROR] qpc-dirs: Failed to get arch_name from config"), std::string::npos);

    ekva_addval(m_conf, "arch_name", "sparc", EKVA_APPEND);
    EXPECT_EQ(connect(), nullptr);
    EXPECT_NE(log_text().find("[ERROR] qpc-dirs:Invalid architecture specified: sparc"), std::string::npos);
}

TEST_F(QpcDirs, NoConnectionFindsAndReadsNothing)
{
    write_conf("");
    ASSERT_NE(connect(), nullptr);
    QpiList out;
    out.push_back(std::make_unique<qpk_info>());
    EXPECT_EQ(pqpm_qpc_findpkg(nullptr, nullptr, nullptr, nullptr, 5, nullptr, &out), 0);
    EXPECT_TRUE(out.empty());
    qpk_info qpi;
    qpi.absolute_uri = m_root / "etc/qpc-dirs.conf";
    FilePtr sink = fopen_cloexec(m_root / "sink", "w");
    EXPECT_EQ(pqpm_qpc_readpkg(nullptr, &qpi, sink.get()), -1);
    EXPECT_EQ(count_of(log_text(), "[ERROR] qpc-dirs: Not connected"), 2u);
}

TEST_F(QpcDirs, ReadpkgCopiesThePackageByteForByte)
{
    const std::string dir = make_dir(m_repo, "d");
    std::string payload;
    for (int i = 0; i < 20000; ++i)
        payload += static_cast<char>(i * 7 % 256);
    const std::string content = write_package(dir + "/big.qpk", "big", "1.0", std::nullopt, payload);
    write_conf(dir + "\n");
    ASSERT_NE(connect(), nullptr);
    const QpiList found = find_all(1);
    ASSERT_EQ(found.size(), 1u);

    const std::string copy = m_repo / "copy.qpk";
    FilePtr out = fopen_cloexec(copy, "w");
    EXPECT_EQ(pqpm_qpc_readpkg(m_connection, found[0].get(), out.get()), static_cast<long>(content.size()));
    ASSERT_EQ(std::fclose(out.release()), 0);
    EXPECT_EQ(read_file(copy), content);
    EXPECT_NE(log_text().find(strprintf("qpc-dirs: Read %zu bytes", content.size())), std::string::npos);
}

TEST_F(QpcDirs, ReadpkgOfEmptyFileIsZeroAndFailuresAreMinusOne)
{
    write_conf("");
    ASSERT_NE(connect(), nullptr);
    write_file(m_repo / "empty.qpk", "");
    qpk_info qpi;
    qpi.absolute_uri = m_repo / "empty.qpk";
    FilePtr sink = fopen_cloexec(m_repo / "sink", "w");
    EXPECT_EQ(pqpm_qpc_readpkg(m_connection, &qpi, sink.get()), 0);

    qpi.absolute_uri = m_repo / "missing.qpk";
    EXPECT_EQ(pqpm_qpc_readpkg(m_connection, &qpi, sink.get()), -1);

    // A read error is a failure, not a short success.
    qpi.absolute_uri = m_repo.path();
    EXPECT_EQ(pqpm_qpc_readpkg(m_connection, &qpi, sink.get()), -1);

    // So is a stream that does not take the bytes, even when it only says so
    // once its buffer is flushed.
    write_file(m_repo / "p.qpk", std::string(100, 'p'));
    qpi.absolute_uri = m_repo / "p.qpk";
    FilePtr full = fopen_cloexec("/dev/full", "w");
    ASSERT_TRUE(full);
    EXPECT_EQ(pqpm_qpc_readpkg(m_connection, &qpi, full.get()), -1);
    FilePtr read_only = fopen_cloexec(m_repo / "p.qpk", "r");
    EXPECT_EQ(pqpm_qpc_readpkg(m_connection, &qpi, read_only.get()), -1);
}

TEST_F(QpcDirs, ExportedFileFilter)
{
    using MatchFn = int (*)(const char *, const char *);
    using FilterFn = int (*)(const struct dirent *);
    const auto match = reinterpret_cast<MatchFn>(dlsym(m_library.get(), "qpc_match_file"));
    const auto filter = reinterpret_cast<FilterFn>(dlsym(m_library.get(), "qpc_qpk_filter"));
    ASSERT_NE(match, nullptr);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(match("a.qpk", "*.qpk"), 1);
    EXPECT_EQ(match("a.qpk.bak", "*.qpk"), 0);
    EXPECT_EQ(match("a.QPK", "*.qpk"), 0);

    dirent entry{};
    std::snprintf(entry.d_name, sizeof entry.d_name, "%s", "x.qpk");
    EXPECT_EQ(filter(&entry), 1);
    std::snprintf(entry.d_name, sizeof entry.d_name, "%s", "x.txt");
    EXPECT_EQ(filter(&entry), 0);
}

TEST_F(QpcDirs, AWarmRunReadsOnlyNewAndChangedFiles)
{
    const std::string dir = make_dir(m_repo, "d");
    for (const char *name : {"a", "b", "c", "e"}) {
        write_package(dir + "/" + name + ".qpk", name);
        settle(dir + "/" + name + ".qpk");
    }
    write_conf(dir + "\n");
    make_cache_dir();
    EXPECT_EQ(one_run(), "4 of 4");
    struct stat st {};
    ASSERT_EQ(stat(cache_file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(one_run(), "0 of 4");

    // Another size; the same size with the times put back (as cp -p does);
    // gone; new.
    write_package(dir + "/a.qpk", "a", "2.0", std::nullopt, "a longer payload");
    settle(dir + "/a.qpk");
    ASSERT_EQ(stat((dir + "/b.qpk").c_str(), &st), 0);
    write_package(dir + "/b.qpk", "b", "1.1");
    const timespec kept[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir + "/b.qpk").c_str(), kept, 0), 0);
    std::filesystem::remove(dir + "/c.qpk");
    write_package(dir + "/d.qpk", "d");
    settle(dir + "/d.qpk");
    EXPECT_EQ(one_run([&] {
                  EXPECT_NE(records("a").find("eqpkVersion: 2.0"), std::string::npos);
                  EXPECT_NE(records("b").find("eqpkVersion: 1.1"), std::string::npos);
                  EXPECT_EQ(records("c"), "0\n");
                  EXPECT_EQ(records("d").substr(0, 2), "1\n");
              }),
              "3 of 4");
    EXPECT_EQ(read_file(cache_file()).find("/c.qpk"), std::string::npos);
    EXPECT_EQ(one_run(), "0 of 4");
}

TEST_F(QpcDirs, NameLookupsAndWildcardsGiveTheRecordsOfAColdRun)
{
    const std::string dir = make_dir(m_repo, "d");
    const std::string signature = "eqpkRsaSigSubj: /CN=signer\neqpkRsaSigData:: " +
                                  lutil_b64_ntop(std::string("\0sig\nnature\0", 12)) + "\n";
    write_package(dir + "/foo-1.qpk", "foo", "1.0", std::nullopt, "payload", signature);
    write_package(dir + "/foo-2.qpk", "foo", "2.0");
    write_package(dir + "/foo-s.qpk", "foo", "1.0", "static");
    write_package(dir + "/libbar.qpk", "libbar", "1.0");
    // A name only a parse can tell: it is found all the same.
    const std::string hidden = "dn: eqpkName=x\neqpmVersion: 1.0\neqpkName:: " + lutil_b64_ntop("hidden") +
                               "\neqpkVersion: 1.0\neqpkArchitecture: x86_64\neqpkDescription: x\n";
    write_file(dir + "/hidden.qpk", "EQPM10" + strprintf("%05zu", hidden.size()) + hidden + "payload");
    // One directory under two names: two records of each file, in order.
    write_conf(dir + "\n" + dir + "/\n");
    make_cache_dir();

    EkvaPtr attributes = ekva_new(10, 4);
    ekva_addval(attributes, "eqpkDescription", "*libbar", EKVA_APPEND);
    const auto answers = [&] {
        return std::vector<std::string>{records(nullptr), records("foo"), records("foo", "default"),
                                        records("foo", "static"), records("lib*"), records("hidden"),
                                        records("nothing", nullptr, attributes.get()), records("nothing")};
    };
    // Files changed just now give their records as read from the files;
    // settled ones, from the entries made of them, then from the cache.
    std::vector<std::string> cold, entries, warm;
    EXPECT_EQ(one_run([&] { cold = answers(); }), "10 of 10");
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        settle(entry.path().string());
    EXPECT_EQ(one_run([&] { entries = answers(); }), "10 of 10");
    EXPECT_EQ(one_run([&] { warm = answers(); }), "0 of 10");
    ASSERT_EQ(cold.size(), warm.size());
    for (size_t i = 0; i < cold.size(); ++i) {
        EXPECT_EQ(cold[i], entries[i]) << i;
        EXPECT_EQ(cold[i], warm[i]) << i;
    }
    EXPECT_TRUE(cold[0].starts_with("10\n")) << cold[0];
    EXPECT_TRUE(cold[1].starts_with("6\n")) << cold[1];
    EXPECT_TRUE(cold[5].starts_with("2\n")) << cold[5];
    // The signer is named; the signature itself stays in the file, which is
    // checked when it is installed.
    EXPECT_NE(cold[1].find("eqpkRsaSigSubj: /CN=signer"), std::string::npos);
    EXPECT_EQ(cold[1].find("eqpkRsaSigData"), std::string::npos);
    EXPECT_EQ(cold[7], "0\n");

    ASSERT_NE(connect(), nullptr);
    ASSERT_NE(pqpm_qpc_indexed, nullptr);
    EXPECT_EQ(pqpm_qpc_indexed(m_connection), 1);
    EXPECT_EQ(pqpm_qpc_indexed(nullptr), 0);
}

TEST_F(QpcDirs, ADamagedCacheIsIgnoredAndRebuilt)
{
    const std::string dir = make_dir(m_repo, "d");
    for (const char *name : {"a", "b"}) {
        write_package(dir + "/" + name + ".qpk", name);
        settle(dir + "/" + name + ".qpk");
    }
    write_conf(dir + "\n");
    make_cache_dir();
    std::string expected;
    EXPECT_EQ(one_run([&] { expected = records(nullptr); }), "2 of 2");
    const std::string good = read_file(cache_file());
    ASSERT_TRUE(good.starts_with("dn: eqpiIndex=QPKINDEX\n")) << good;

    const auto replaced = [&](const std::string &from, const std::string &to) {
        std::string text = good;
        const size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    };
    const auto line_of = [&](const char *attribute) {
        const size_t at = good.find(attribute);
        return good.substr(at, good.find('\n', at) + 1 - at);
    };
    const std::string device = line_of("eqpiDevice"), inode = line_of("eqpiInode");
    const struct {
        const char *what;
        std::string text;
        const char *count; // files read afresh on the first run after the damage
    } cases[] = {
        {"not an index", "garbage\n", "2 of 2"},
        {"empty", "", "2 of 2"},
        {"cut short", good.substr(0, good.size() / 2), "1 of 2"},
        {"head out of order", replaced(device + inode, inode + device), "1 of 2"},
        {"description spoiled", replaced("eqpkVersion: 1.0", "eqpkVersion: 1 0"), "0 of 2"},
    };
    for (const auto &c : cases) {
        write_file(cache_file(), c.text);
        std::string found;
        EXPECT_EQ(one_run([&] { found = records(nullptr); }), c.count) << c.what;
        EXPECT_EQ(found, expected) << c.what;
        EXPECT_EQ(read_file(cache_file()).size(), good.size()) << c.what;
        EXPECT_EQ(one_run([&] { found = records(nullptr); }), "0 of 2") << c.what;
        EXPECT_EQ(found, expected) << c.what;
    }
}

TEST_F(QpcDirs, RefreshStartsTheCacheAndAReadOnlyHostNeverWritesIt)
{
    const std::string dir = make_dir(m_repo, "d");
    write_package(dir + "/p.qpk", "p");
    settle(dir + "/p.qpk");
    write_conf(dir + "\n");
    // A root nobody refreshed stays as it is.
    EXPECT_EQ(one_run(), "1 of 1");
    EXPECT_FALSE(std::filesystem::exists(m_root / "var/cache"));
    ASSERT_NE(connect(), nullptr);
    EXPECT_EQ(pqpm_qpc_refresh(m_connection), 0);
    EXPECT_TRUE(std::filesystem::exists(cache_file()));
    pqpm_qpc_release(std::exchange(m_connection, nullptr));
    EXPECT_EQ(one_run(), "0 of 1");

    std::filesystem::remove(cache_file());
    ekva_addval(m_conf, "qpc_readonly", "yes", EKVA_APPEND);
    ASSERT_NE(connect(), nullptr);
    EXPECT_EQ(pqpm_qpc_refresh(m_connection), 0);
    pqpm_qpc_release(std::exchange(m_connection, nullptr));
    EXPECT_EQ(one_run(), "1 of 1");
    EXPECT_FALSE(std::filesystem::exists(cache_file()));
}

TEST_F(QpcDirs, FilesChangedMomentsAgoAreReadAgainUntilTheySettle)
{
    // Changed again within the same time stamp, such a file would keep its
    // key: it is not cached until it has been still for a while.
    const std::string dir = make_dir(m_repo, "d");
    write_package(dir + "/p.qpk", "p");
    write_conf(dir + "\n");
    make_cache_dir();
    EXPECT_EQ(one_run(), "1 of 1");
    EXPECT_EQ(one_run(), "1 of 1");
    settle(dir + "/p.qpk");
    EXPECT_EQ(one_run(), "1 of 1");
    EXPECT_EQ(one_run(), "0 of 1");
}

} // namespace
} // namespace qpm
