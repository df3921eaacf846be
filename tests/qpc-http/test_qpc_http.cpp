// The qpc-http plug-in end to end: a sandbox root whose pqpm loads
// qpc-http.so, repositories published with `qpm-pack index` and served by a
// real nginx on a loopback port (or read through file://).
#include "package/qpk_index.h"
#include "support/nginx.h"
#include "support/sandbox.h"
#include "util/strfmt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#if !defined(QPM_QPC_HTTP_SO) || !defined(QPM_PACK_EXE)
#error "the qpc-http tests need the paths of qpc-http.so and qpm-pack"
#endif

using namespace qpm;
using namespace qpm::test;

namespace {

namespace fs = std::filesystem;

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// `size` bytes that gzip cannot shrink, so a package is as large as asked.
std::string noise(size_t size, unsigned seed)
{
    std::string out(size, '\0');
    for (char &c : out) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return out;
}

PackageSpec pkg(const std::string &name, std::vector<std::string> depends = {}, size_t payload = 0)
{
    PackageSpec pkg_spec;
    pkg_spec.name = name;
    pkg_spec.depends = std::move(depends);
    pkg_spec.file("data/usr/share/" + name + "/" + name + ".txt", name + "\n");
    if (payload > 0)
        pkg_spec.file("data/usr/share/" + name + "/blob", noise(payload, static_cast<unsigned>(name[0])));
    return pkg_spec;
}

class QpcHttp : public ::testing::Test {
protected:
    explicit QpcHttp(const std::string &rate_limit = "") : web(rate_limit) {}

    void SetUp() override
    {
        ASSERT_TRUE(box.ok()) << box.error();
        ASSERT_TRUE(web.ok()) << web.error();
        fs::copy_file(QPM_QPC_HTTP_SO, box.path("/usr/lib/qpm/qpc-http.so"));
        write_file(box.path("/etc/qpm.conf"), read_file(box.path("/etc/qpm.conf")) + "qpc_backend=qpc-http.so\n");
        box.signer().write_pem(work / "repo.crt", work / "repo.key");
    }

    // Indexes the packages built so far and copies the repository to the
    // mirror directory `www/<mirror>`; returns that directory.
    std::string publish(const std::string &mirror, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args{QPM_PACK_EXE, "-k", work / "repo.key", "-c", work / "repo.crt"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {"index", box.repo()});
        const RunResult r = run_program(args);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string dir = web.www() + "/" + mirror;
        fs::create_directories(dir);
        for (const auto &entry : fs::directory_iterator(box.repo()))
            serve(dir + "/" + entry.path().filename().string(), read_file(entry.path()));
        return dir;
    }

    // Puts `content` at `path` with a modification time of its own, so the
    // server's validators change with every file served.
    void serve(const std::string &path, const std::string &content)
    {
        write_file(path, content);
        fs::last_write_time(path, fs::file_time_type::clock::now() + std::chrono::seconds(++m_served));
    }

    void configure(const std::vector<std::string> &mirrors, const std::string &settings = "")
    {
        std::string conf = "# test repositories\n" + settings + "[main]\n";
        for (const std::string &m : mirrors)
            conf += m + "\n";
        write_file(box.path("/etc/qpc-http.conf"), conf);
    }

    std::string cached_index() const { return box.path("/var/cache/qpm/qpc-http/main/QPKINDEX"); }
    std::string partial(const std::string &file) const
    {
        return box.path("/var/cache/qpm/qpc-http/main/partial/" + file + ".part");
    }
    bool installed(const std::string &name) const
    {
        return file_exists(box.path("/var/lib/qpm/installed/" + name + "/inst.txt"));
    }
    bool staged(const std::string &file) const { return file_exists(box.path("/var/lib/qpm/stagearea/" + file)); }

    // The requests for `uri`, in order.
    std::vector<AccessEntry> requests(const std::string &uri) const
    {
        std::vector<AccessEntry> out;
        for (AccessEntry &e : web.log())
            if (e.uri == uri)
                out.push_back(std::move(e));
        return out;
    }

    Sandbox box;
    Nginx web;
    ScratchDir work;

private:
    int m_served = 0;
};

} // namespace

TEST_F(QpcHttp, RefreshThenInstallWithDependenciesAndAskAgainConditionally)
{
    box.add_package(pkg("C"));
    box.add_package(pkg("B", {"C"}));
    box.add_package(pkg("A", {"B"}));
    publish("main");
    configure({web.url("/main/")});

    // Without a cached index the catalogue is empty, and nothing is asked.
    RunResult r = box.pqpm({"install", "A"});
    EXPECT_TRUE(contains(r.err, "qpc-http: [main] no index at " + cached_index() + ", refresh the catalogue first\n"))
        << r.err;
    EXPECT_FALSE(installed("A"));
    EXPECT_TRUE(web.log().empty());

    r = box.pqpm({"refresh", "-o", "verbose=yes"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "refreshed the package catalogue\n");
    EXPECT_TRUE(file_exists(cached_index()));

    r = box.pqpm({"install", "A"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "pqpm: A successfully installed\n");
    for (const char *name : {"A", "B", "C"}) {
        EXPECT_TRUE(installed(name)) << name;
        EXPECT_EQ(requests(std::string("/main/") + name + "_any_1.0.qpk").size(), 1u) << name;
    }
    EXPECT_EQ(read_file(box.path("/usr/share/C/C.txt")), "C\n");
    // The partial files became staged packages and are gone.
    EXPECT_FALSE(file_exists(partial("A_any_1.0.qpk")));

    r = box.pqpm({"refresh"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<AccessEntry> index = requests("/main/QPKINDEX");
    ASSERT_EQ(index.size(), 2u);
    EXPECT_EQ(index[0].status, 200);
    EXPECT_EQ(index[1].status, 304);
}

TEST_F(QpcHttp, MirrorsThatAreDownStallServeNothingOrTooLittleAreFailedOver)
{
    box.add_package(pkg("A", {}, 20000));
    const std::string good = publish("good");
    // Serves the index but not the package.
    fs::create_directories(web.www() + "/m404");
    serve(web.www() + "/m404/QPKINDEX", read_file(good + "/QPKINDEX"));
    // Serves the first part of the package only.
    const std::string package = read_file(good + "/A_any_1.0.qpk");
    const size_t cut = package.size() / 3;
    fs::create_directories(web.www() + "/short");
    serve(web.www() + "/short/A_any_1.0.qpk", package.substr(0, cut));
    SilentPort stalled;
    const std::string down = "http://127.0.0.1:" + std::to_string(free_loopback_port());
    configure({down, "http://127.0.0.1:" + std::to_string(stalled.port()), web.url("/m404"), web.url("/short"),
               web.url("/good")},
              "retries = 0\nlow_speed_time = 1\nconnect_timeout = 2\n");

    RunResult r = box.pqpm({"refresh"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "qpc-http: " + down + "/QPKINDEX: Couldn't connect to server, trying the next mirror"))
        << r.err;
    EXPECT_EQ(requests("/m404/QPKINDEX").size(), 1u);

    r = box.pqpm({"install", "A"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(installed("A"));
    EXPECT_TRUE(contains(r.err, "/m404/A_any_1.0.qpk: HTTP status 404, trying the next mirror")) << r.err;
    EXPECT_TRUE(contains(r.err, "/short/A_any_1.0.qpk: truncated, " + std::to_string(cut) + " of " +
                                    std::to_string(package.size()) + " bytes, trying the next mirror"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "Timeout was reached, trying the next mirror")) << r.err;
    // The last mirror goes on from where the short one stopped.
    const std::vector<AccessEntry> last = requests("/good/A_any_1.0.qpk");
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].status, 206);
    EXPECT_EQ(last[0].range, "bytes=" + std::to_string(cut) + "-");
}

TEST_F(QpcHttp, APackageNoMirrorServesRightFailsWithOneLineAndLeavesNothingStaged)
{
    box.add_package(pkg("A", {}, 5000));
    const std::string dir = publish("main");
    const std::string url = web.url("/main/A_any_1.0.qpk");
    const std::string package = read_file(dir + "/A_any_1.0.qpk");
    configure({web.url("/main")}, "retries = 1\n");
    ASSERT_EQ(box.pqpm({"refresh"}).status, 0);

    std::string flipped = package;
    flipped[flipped.size() / 2] ^= 0x20;
    const struct {
        const char *what;
        std::string served;
        std::string why;
    } cases[] = {
        {"one byte changed", flipped, "SHA-1 differs from the index"},
        {"longer", package + "x", strprintf("more than the %zu bytes the index gives", package.size())},
        {"truncated", package.substr(0, 100), strprintf("truncated, 100 of %zu bytes", package.size())},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        serve(dir + "/A_any_1.0.qpk", c.served);
        const RunResult r = box.pqpm({"install", "A"});
        EXPECT_EQ(r.out, "pqpm: failure installing A, rc: -1\n");
        EXPECT_TRUE(contains(r.err, "qpc-http: failed to fetch A_any_1.0.qpk: " + url + ": " + c.why + "\n")) << r.err;
        EXPECT_FALSE(installed("A"));
        EXPECT_FALSE(staged("A_any_1.0.qpk"));
    }
    // Served right again, it installs (resuming the good bytes kept).
    serve(dir + "/A_any_1.0.qpk", package);
    const RunResult r = box.pqpm({"install", "A"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(installed("A"));
}

TEST_F(QpcHttp, AnIndexThatDoesNotVerifyIsRefusedAndTheCachedOneStays)
{
    box.add_package(pkg("A"));
    const std::string dir = publish("main");
    configure({web.url("/main")});
    ASSERT_EQ(box.pqpm({"refresh"}).status, 0);
    const std::string cached = read_file(cached_index());

    std::string error;
    const std::optional<QpkIndexFile> good = qpk_index_unpack(cached, error);
    ASSERT_TRUE(good) << error;
    std::string changed_body = good->body;
    changed_body.replace(changed_body.find("test package"), 12, "evil package");
    CertOptions stranger_cert;
    stranger_cert.subject = {{"CN", "Stranger"}};
    const Signer stranger = make_signer(stranger_cert);
    const struct {
        const char *what;
        std::optional<std::string> served;
        const char *why;
    } cases[] = {
        {"a changed description", qpk_index_pack(changed_body, good->subject, good->signature), "signature Invalid"},
        {"signed by a stranger", qpk_index_pack(good->body, stranger.subject(), stranger.sign(good->body)),
         "signature Untrusted"},
        {"unsigned", qpk_index_pack(good->body, std::nullopt, ""), "signature Missing"},
        {"not gzip", std::string("dn: eqpiIndex=QPKINDEX\n"), "not a gzip file"},
        {"no header", qpk_index_pack("dn: eqpkUid=x\n", std::nullopt, ""), "no index header"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(c.served);
        serve(dir + "/QPKINDEX", *c.served);
        const RunResult r = box.pqpm({"refresh"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "failed to refresh the catalogue\n");
        EXPECT_TRUE(contains(r.err, "qpc-http: " + web.url("/main/QPKINDEX") + ": index refused: " + c.why + "\n"))
            << r.err;
        EXPECT_TRUE(contains(r.err, "qpc-http: [main] no mirror served a usable index, keeping the cached one\n"))
            << r.err;
        EXPECT_EQ(read_file(cached_index()), cached);
    }
    // The catalogue still answers from the cached index.
    const RunResult r = box.pqpm({"install", "A"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(QpcHttp, AnOlderIndexIsRefusedAndANewerMirrorIsTaken)
{
    box.add_package(pkg("A"));
    publish("main", {"--created", "2000"});
    configure({web.url("/main")});
    ASSERT_EQ(box.pqpm({"refresh"}).status, 0);
    const std::string cached = read_file(cached_index());

    publish("main", {"--created", "1000"});
    RunResult r = box.pqpm({"refresh"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "index refused: made at 1000, before the cached one (2000)")) << r.err;
    EXPECT_EQ(read_file(cached_index()), cached);

    // A lagging first mirror does not hide a current second one.
    publish("new", {"--created", "3000"});
    configure({web.url("/main"), web.url("/new")});
    r = box.pqpm({"refresh"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string error;
    const std::optional<QpkIndexFile> now = qpk_index_unpack(read_file(cached_index()), error);
    ASSERT_TRUE(now) << error;
    EXPECT_EQ(qpk_index_created(now->body), 3000);
}

TEST_F(QpcHttp, APartialDownloadIsResumedAndABadOneFetchedWhole)
{
    box.add_package(pkg("A", {}, 30000));
    box.add_package(pkg("B", {}, 30000));
    const std::string dir = publish("main");
    configure({web.url("/main")});
    ASSERT_EQ(box.pqpm({"refresh"}).status, 0);

    const std::string a = read_file(dir + "/A_any_1.0.qpk");
    const std::string b = read_file(dir + "/B_any_1.0.qpk");
    write_file(partial("A_any_1.0.qpk"), a.substr(0, a.size() / 2));
    write_file(partial("B_any_1.0.qpk"), noise(b.size() / 2, 7));

    for (const char *name : {"A", "B"}) {
        const RunResult r = box.pqpm({"install", name});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(installed(name)) << name;
    }
    const std::vector<AccessEntry> got_a = requests("/main/A_any_1.0.qpk");
    ASSERT_EQ(got_a.size(), 1u);
    EXPECT_EQ(got_a[0].status, 206);
    EXPECT_EQ(got_a[0].range, "bytes=" + std::to_string(a.size() / 2) + "-");
    EXPECT_EQ(got_a[0].bytes, static_cast<long>(a.size() - a.size() / 2));
    // The kept half of B was wrong: resumed, refused, fetched whole.
    const std::vector<AccessEntry> got_b = requests("/main/B_any_1.0.qpk");
    ASSERT_EQ(got_b.size(), 2u);
    EXPECT_EQ(got_b[0].status, 206);
    EXPECT_EQ(got_b[1].status, 200);
    EXPECT_EQ(got_b[1].range, "");
}

TEST_F(QpcHttp, AFileUrlServesARepositoryAndBadConfigurationLinesAreNamed)
{
    box.add_package(pkg("B"));
    box.add_package(pkg("A", {"B"}));
    const std::string dir = publish("main");
    const std::string conf = box.path("/etc/qpc-http.conf");
    write_file(conf, "parallel = 2\nspeed = 9\n[main]\nfile://" + dir + "\nftp://elsewhere/repo\n");

    RunResult r = box.pqpm({"refresh"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "qpc-http: " + conf + ":2: unknown setting \"speed\"\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "qpc-http: " + conf + ":5: not a URL: ftp://elsewhere/repo\n")) << r.err;
    r = box.pqpm({"install", "A"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(installed("A"));
    EXPECT_TRUE(installed("B"));
    EXPECT_TRUE(web.log().empty());
}

namespace {

// Responses slowed down, so transfers that overlap in time show it.
class QpcHttpSlow : public QpcHttp {
protected:
    QpcHttpSlow() : QpcHttp("64k") {}
};

} // namespace

TEST_F(QpcHttpSlow, TheFilesOfATransactionAreFetchedSideBySide)
{
    for (const char *name : {"B", "C", "D"})
        box.add_package(pkg(name, {}, 48000));
    box.add_package(pkg("A", {"B", "C", "D"}, 48000));
    publish("main");
    configure({web.url("/main")}, "parallel = 4\n");
    ASSERT_EQ(box.pqpm({"refresh"}).status, 0);

    const RunResult r = box.pqpm({"install", "A"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "qpc-http: fetching 4 packages, 4 at a time\n")) << r.err;
    double latest_start = 0;
    double earliest_end = 1e18;
    for (const char *name : {"A", "B", "C", "D"}) {
        EXPECT_TRUE(installed(name)) << name;
        const std::vector<AccessEntry> got = requests(std::string("/main/") + name + "_any_1.0.qpk");
        ASSERT_EQ(got.size(), 1u) << name;
        latest_start = std::max(latest_start, got[0].end - got[0].duration);
        earliest_end = std::min(earliest_end, got[0].end);
    }
    // Every download had begun before the first one ended.
    EXPECT_LT(latest_start, earliest_end);
}

// A repository that moves on brings the installed system along: the newer
// index is refreshed, and upgrade (named, then everything) fetches and
// updates from it, with a dependency the new version adds.
TEST_F(QpcHttp, UpgradeFollowsTheRepositoryAfterARefresh)
{
    box.add_package(pkg("A"));
    publish("main", {"--created", "1000"});
    configure({web.url("/main")});
    ASSERT_EQ(box.pqpm({"refresh"}).status, 0);
    ASSERT_EQ(box.pqpm({"install", "A"}).status, 0);

    PackageSpec next = pkg("A", {"B"});
    next.version = "2.0";
    next.files.front().content = "A 2.0\n";
    box.add_package(next);
    box.add_package(pkg("B"));
    publish("main", {"--created", "2000"});
    // Until the catalogue is refreshed, there is nothing newer to take.
    RunResult r = box.pqpm({"upgrade", "A"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(box.path("/usr/share/A/A.txt")), "A\n");

    ASSERT_EQ(box.pqpm({"refresh"}).status, 0);
    r = box.pqpm({"upgrade", "A"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(box.path("/usr/share/A/A.txt")), "A 2.0\n");
    EXPECT_TRUE(installed("B"));
    EXPECT_EQ(requests("/main/A_any_2.0.qpk").size(), 1u);
    EXPECT_TRUE(contains(read_file(box.path("/var/lib/qpm/installed/A/desc.txt")), "eqpkVersion: 2.0")) << "record";

    // Everything installed is current now: a whole upgrade fetches nothing.
    const size_t fetched = web.log().size();
    r = box.pqpm({"upgrade"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<AccessEntry> log = web.log();
    for (size_t i = fetched; i < log.size(); ++i)
        EXPECT_FALSE(log[i].uri.ends_with(".qpk")) << log[i].uri;
}

namespace {

// A throw-away certificate authority and server certificates it signed,
// made with the openssl command in a temporary directory.
class TestCa {
public:
    struct Server {
        std::string certificate; // PEM files
        std::string key;

        NginxOptions serving() const
        {
            NginxOptions options;
            options.tls_certificate = certificate;
            options.tls_key = key;
            return options;
        }
    };

    TestCa() { m_ok = openssl({"req", "-x509", "-subj", "/CN=qpc-http test CA", "-keyout", m_dir / "ca.key", "-out", pem()}); }

    bool ok() const { return m_ok; }
    std::string pem() const { return m_dir / "ca.pem"; }

    // A certificate for `alt_name` ("IP:127.0.0.1", "DNS:mirror.example").
    Server server(const std::string &file, const std::string &alt_name)
    {
        Server s{m_dir / (file + ".pem"), m_dir / (file + ".key")};
        EXPECT_TRUE(openssl({"req", "-x509", "-CA", pem(), "-CAkey", m_dir / "ca.key", "-subj", "/CN=qpc-http test mirror",
                             "-addext", "subjectAltName=" + alt_name, "-addext", "basicConstraints=critical,CA:FALSE",
                             "-keyout", s.key, "-out", s.certificate}));
        return s;
    }

private:
    bool openssl(std::vector<std::string> args) const
    {
        args.insert(args.begin(), "/usr/bin/openssl");
        args.insert(args.end(), {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2"});
        const RunResult r = run_program(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.status == 0;
    }

    ScratchDir m_dir;
    bool m_ok = false;
};

// Copies the files of `from` into `to` (made).
void copy_repository(const std::string &from, const std::string &to)
{
    fs::create_directories(to);
    for (const auto &entry : fs::directory_iterator(from))
        fs::copy_file(entry.path(), to + "/" + entry.path().filename().string());
}

size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

} // namespace

// HTTPS mirrors are checked against the system's CA store, or, for a
// repository given a cafile, against that file alone: an untrusted server,
// one whose name does not match, and a cafile that cannot be read each fail
// over to the next mirror with one line naming the mirror.
TEST_F(QpcHttp, HttpsMirrorsAreTrustedThroughTheSystemStoreOrTheConfiguredCaFileAlone)
{
    TestCa ca;
    ASSERT_TRUE(ca.ok());
    const TestCa::Server right = ca.server("right", "IP:127.0.0.1");
    const TestCa::Server wrong = ca.server("wrong", "DNS:mirror.example");
    Nginx secure(right.serving());
    Nginx misnamed(wrong.serving());
    ASSERT_TRUE(secure.ok()) << secure.error();
    ASSERT_TRUE(misnamed.ok()) << misnamed.error();
    box.add_package(pkg("A"));
    box.add_package(pkg("B", {}, 20000));
    const std::string dir = publish("main");
    copy_repository(dir, secure.www() + "/main");
    copy_repository(dir, misnamed.www() + "/main");

    // No cafile: our CA is in no system store, so the plain mirror serves.
    configure({secure.url("/main"), web.url("/main")});
    RunResult r = box.pqpm({"refresh"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string untrusted = ": SSL certificate problem: unable to get local issuer certificate, trying the next mirror\n";
    EXPECT_TRUE(contains(r.err, "qpc-http: " + secure.url("/main/QPKINDEX") + untrusted)) << r.err;
    EXPECT_EQ(count(r.err, secure.url()), 1u) << r.err;
    r = box.pqpm({"install", "A"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "qpc-http: " + secure.url("/main/A_any_1.0.qpk") + untrusted)) << r.err;
    EXPECT_TRUE(installed("A"));
    EXPECT_TRUE(secure.log().empty());

    // With the CA as the repository's cafile (below the system root).
    write_file(box.path("/etc/mirror-ca.pem"), read_file(ca.pem()));
    configure({misnamed.url("/main"), secure.url("/main")}, "cafile = /etc/mirror-ca.pem\n");
    r = box.pqpm({"refresh"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "qpc-http: " + misnamed.url("/main/QPKINDEX") +
                                    ": SSL: no alternative certificate subject name matches target host name "
                                    "'127.0.0.1', trying the next mirror\n"))
        << r.err;
    r = box.pqpm({"install", "B"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(installed("B"));
    EXPECT_EQ(secure.log().size(), 2u);
    EXPECT_EQ(requests("/main/B_any_1.0.qpk").size(), 0u); // not from the plain mirror
    EXPECT_TRUE(misnamed.log().empty());

    // A cafile that cannot be read is no reason to trust the system's store.
    write_file(box.path("/etc/qpc-http.conf"),
               "cafile = /etc/mirror-ca.pem\n[main]\n" + secure.url("/main") + "\ncafile = /etc/gone.pem\n");
    r = box.pqpm({"refresh"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "qpc-http: " + secure.url("/main/QPKINDEX") + ": cannot read the CA file " +
                                    box.path("/etc/gone.pem") + ": No such file or directory, trying the next mirror\n"))
        << r.err;
    EXPECT_EQ(secure.log().size(), 2u);
}

// libcurl reads http_proxy and no_proxy; nothing of ours turns that off.
TEST_F(QpcHttp, DownloadsGoThroughTheProxyTheEnvironmentNamesUnlessNoProxyExcludesIt)
{
    NginxOptions forward;
    forward.proxy = true;
    Nginx proxy(forward);
    ASSERT_TRUE(proxy.ok()) << proxy.error();
    box.add_package(pkg("A"));
    box.add_package(pkg("B"));
    publish("main");
    configure({web.url("/main")});
    const auto proxied = [&proxy] {
        std::vector<std::string> uris;
        for (const AccessEntry &e : proxy.log())
            uris.push_back(e.uri + " " + std::to_string(e.status));
        return uris;
    };

    RunOptions through;
    through.extra_env = {"http_proxy=" + proxy.url()};
    ASSERT_EQ(box.pqpm({"refresh"}, through).status, 0);
    RunResult r = box.pqpm({"install", "A"}, through);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(proxied(), (std::vector<std::string>{"/main/QPKINDEX 200", "/main/A_any_1.0.qpk 200"}));
    EXPECT_EQ(requests("/main/A_any_1.0.qpk").size(), 1u);

    RunOptions around = through;
    around.extra_env.push_back("no_proxy=127.0.0.1");
    r = box.pqpm({"install", "B"}, around);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(installed("B"));
    EXPECT_EQ(requests("/main/B_any_1.0.qpk").size(), 1u);
    EXPECT_EQ(proxied().size(), 2u);
}

// Start-up: a run that answers from the cached index alone never loads
// libcurl (and its two dozen libraries); one that transfers does.
TEST_F(QpcHttp, OnlyARunThatTransfersLoadsLibcurl)
{
    box.add_package(pkg("A"));
    publish("main");
    configure({web.url("/main")});
    RunOptions traced;
    traced.extra_env = {"LD_DEBUG=files"};
    RunResult r = box.pqpm({"refresh"}, traced);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "libcurl")) << r.err;
    r = box.pqpm({"install", "absent"}, traced);
    EXPECT_TRUE(contains(r.err, "qpc-http.so")) << r.err;
    EXPECT_FALSE(contains(r.err, "libcurl")) << r.err;
}
