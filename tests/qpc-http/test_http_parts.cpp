// The parts of the qpc-http plug-in that need no network: its configuration
// and its progress line.
#include "http_conf.h"
#include "progress.h"

#include <gtest/gtest.h>

using namespace qpm::http;

TEST(HttpConf, RepositoriesCollectTheirMirrorsAndBadLinesAreNamedByNumber)
{
    const Config c = parse_config("# mirrors\n"
                                  "parallel = 3\n"
                                  "retries=0\n"
                                  "\n"
                                  "[main]\n"
                                  "  https://a.example/repo/  \n"
                                  "file:///srv/repo\n"
                                  "mirror.example/repo\n"
                                  "parallel = 2\n"
                                  "[../up]\n"
                                  "http://lost.example/\n"
                                  "[extra]\n"
                                  "[main]\n"
                                  "http://b.example\n",
                                  "/etc/qpc-http.conf");
    EXPECT_EQ(c.settings.parallel, 3);
    EXPECT_EQ(c.settings.retries, 0);
    ASSERT_EQ(c.repositories.size(), 1u);
    EXPECT_EQ(c.repositories[0].name, "main");
    EXPECT_EQ(c.repositories[0].mirrors,
              (std::vector<std::string>{"https://a.example/repo", "file:///srv/repo", "http://b.example"}));
    EXPECT_EQ(c.problems, (std::vector<std::string>{
                              "/etc/qpc-http.conf:8: not a URL: mirror.example/repo",
                              "/etc/qpc-http.conf:9: not a URL: parallel = 2",
                              "/etc/qpc-http.conf:10: not a repository name: [../up]",
                              "/etc/qpc-http.conf:11: a mirror URL outside a [repository] section",
                              "/etc/qpc-http.conf:13: repository [main] given twice, its mirrors are joined",
                              "/etc/qpc-http.conf: repository [extra] has no mirror",
                          }));
}

TEST(HttpConf, SettingsOutsideTheirRangeAreRefusedAndKeepTheirDefault)
{
    const Config c = parse_config("parallel = 0\nretries = x\nconnect_timeout = 10s\nlow_speed_limit = 1\nwhat = 1\n",
                                  "f");
    EXPECT_EQ(c.settings.parallel, Settings{}.parallel);
    EXPECT_EQ(c.settings.retries, Settings{}.retries);
    EXPECT_EQ(c.settings.connect_timeout, Settings{}.connect_timeout);
    EXPECT_EQ(c.settings.low_speed_limit, 1);
    EXPECT_EQ(c.problems, (std::vector<std::string>{
                              "f:1: parallel takes a number from 1 to 16, not \"0\"",
                              "f:2: retries takes a number from 0 to 10, not \"x\"",
                              "f:3: connect_timeout takes a number from 1 to 3600, not \"10s\"",
                              "f:5: unknown setting \"what\"",
                          }));
}

TEST(HttpConf, MirrorUrlsNeedAKnownSchemeAndSomethingAfterIt)
{
    for (const char *good : {"http://h", "https://h/p", "file:///srv"})
        EXPECT_TRUE(is_mirror_url(good)) << good;
    for (const char *bad : {"http://", "ftp://h", "file:/srv", "http://h p", "HTTP://h", ""})
        EXPECT_FALSE(is_mirror_url(bad)) << bad;
}

TEST(HttpProgress, LineShowsPackagesBytesAndRate)
{
    EXPECT_EQ(Progress::line(2, 5, 1536, 3 * 1048576, 512 * 1024),
              "qpc-http: package 2 of 5, 1.5 KiB of 3.0 MiB, 512.0 KiB/s");
    EXPECT_EQ(human_bytes(0), "0 B");
    EXPECT_EQ(human_bytes(1023), "1023 B");
    EXPECT_EQ(human_bytes(1.5 * 1024 * 1024 * 1024), "1.5 GiB");
}

TEST(HttpConf, CaFileIsGlobalOrPerRepositoryAndAnAbsolutePath)
{
    const Config c = parse_config("cafile = /etc/ssl/ours.pem\n"
                                  "[main]\n"
                                  "https://a.example/main\n"
                                  "[extra]\n"
                                  "cafile=/etc/ssl/extra.pem\n"
                                  "https://b.example/extra\n"
                                  "cafile = ssl/relative.pem\n"
                                  "[bad name]\n"
                                  "cafile = /etc/ssl/lost.pem\n",
                                  "f");
    ASSERT_EQ(c.repositories.size(), 2u);
    EXPECT_EQ(c.settings.cafile, "/etc/ssl/ours.pem");
    EXPECT_EQ(c.repositories[0].cafile, "/etc/ssl/ours.pem");
    EXPECT_EQ(c.repositories[1].cafile, "/etc/ssl/extra.pem");
    // A refused section's cafile is nobody's, the global one least of all.
    EXPECT_EQ(c.problems, (std::vector<std::string>{
                              "f:7: cafile takes an absolute path, not \"ssl/relative.pem\"",
                              "f:8: not a repository name: [bad name]",
                              "f:9: not a URL: cafile = /etc/ssl/lost.pem",
                          }));
    // Without one, the system's store.
    EXPECT_EQ(parse_config("[main]\nhttp://a\n", "f").repositories[0].cafile, "");
}
