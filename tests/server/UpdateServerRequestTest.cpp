#include "app/Log.h"
#include "app/server/UpdateServerRequest.h"
#include "app/server/base64.h"
#include "tests/server/ServerHarness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

namespace
{
using Builds = std::map<std::string, std::string>;
using Pairs = std::vector<std::pair<std::string, std::string>>;

const unsigned int kSerial = 0x1A2B;

// A firmware directory: device 00001A2B of model ROUTER with one own build and
// two model builds, and one recovery fingerprint.
class UpdateServer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const std::string& d = dir.path();
        mkdir((d + "/00001A2B").c_str(), 0755);
        mkdir((d + "/models").c_str(), 0755);
        mkdir((d + "/models/ROUTER").c_str(), 0755);
        own = MakeBird(1234, "2.10.3", "00001A2B", "ROUTER");
        WriteBytes(d + "/00001A2B/1234.bird", own);
        WriteBytes(d + "/models/ROUTER/1300.bird", MakeBird(1300, "2.11.0", "", "ROUTER"));
        WriteBytes(d + "/models/ROUTER/1100.bird", MakeBird(1100, "1.9.9", "", "ROUTER"));
        WriteBytes(d + "/devices", "# serial model features\n00001A2B ROUTER usb tcp\n");
        WriteBytes(d + "/fingerprints", "00000001 00000002 00000003 00000004 1A2B 0x10\n");
    }

    void Start(const std::vector<std::string>& args = {})
    {
        ASSERT_TRUE(server.Start(dir.path(), args));
        url = server.URL();
    }

    TempDir dir;
    LocalServer server;
    std::string url;
    std::string own;
};

} // namespace

TEST_F(UpdateServer, EveryQuerySendsItsKeysInOrder)
{
    Start();
    const char* u = url.c_str();
    std::string build, firmware, bird, jwt;
    Builds builds;
    unsigned int fingerprint[4] = {1, 2, 3, 4};
    unsigned int serial = 0, number = 0;

    EXPECT_TRUE(UpdateServerRequest::ping(u));
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, firmware, u));
    EXPECT_TRUE(UpdateServerRequest::GetBuild(kSerial, "00001A2B", "1234", bird, u, false));
    EXPECT_TRUE(UpdateServerRequest::GetBuild(kSerial, "00001A2B", "1234", bird, u, true));
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, u));
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &number, u));
    EXPECT_TRUE(UpdateServerRequest::GetDeviceJWT(kSerial, jwt, u));

    std::vector<std::string> expected = {
        "/cgi/u?op=hi&rv=2&",
        "/cgi/u?op=qu&sn=00001A2B&",
        "/cgi/u?bld=1234&fw=00001A2B&no_cal=false&op=bird&sn=00001A2B&",
        "/cgi/u?bld=1234&fw=00001A2B&no_cal=true&op=bird&sn=00001A2B&",
        "/cgi/u?op=builds&sn=00001A2B&",
        "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&",
        "/cgi/u?json=false&op=ent_jwt&sn=00001A2B&",
    };
    EXPECT_EQ(server.Requests(), expected);
}

TEST_F(UpdateServer, AnswersAreReadFromTheirLines)
{
    Start();
    const char* u = url.c_str();

    std::string build, firmware;
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, firmware, u));
    EXPECT_EQ(build, "1300");
    EXPECT_EQ(firmware, "ROUTER");

    std::string bird = "stale";
    ASSERT_TRUE(UpdateServerRequest::GetBuild(kSerial, "00001A2B", "1234", bird, u));
    unsigned long length = 0;
    char* bytes = base64_decode(bird.data(), bird.size(), &length);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(bytes, length), own);
    free(bytes);

    Builds builds{{"stale", "0.0.0"}};
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, u));
    EXPECT_EQ(builds, (Builds{{"1100", "1.9.9"}, {"1234", "2.10.3"}, {"1300", "2.11.0"}}));

    unsigned int fingerprint[4] = {1, 2, 3, 4};
    unsigned int serial = 0, number = 0;
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &number, u));
    EXPECT_EQ(serial, 0x1A2Bu);
    EXPECT_EQ(number, 16u);

    std::string jwt;
    ASSERT_TRUE(UpdateServerRequest::GetDeviceJWT(kSerial, jwt, u));
    size_t first = jwt.find('.');
    size_t second = jwt.find('.', first + 1);
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(jwt.find('.', second + 1), std::string::npos);
    EXPECT_EQ(jwt.substr(0, first), "eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9");
}

TEST_F(UpdateServer, RefusedRepliesGiveFalseAndOneLogLine)
{
    Start({"--status", "qu=500", "--status", "hi=503", "--no-ok", "builds", "--empty", "bird"});
    const char* u = url.c_str();
    LogCapture log(DEBUG_ServerComm);

    EXPECT_FALSE(UpdateServerRequest::ping(u));
    EXPECT_NE(log.Text().find("PING ==> [503] [error forced status\n]"), std::string::npos);

    std::string build = "keep", firmware = "keep";
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(kSerial, build, firmware, u));
    EXPECT_EQ(build, "keep");
    EXPECT_EQ(firmware, "keep");
    EXPECT_NE(log.Text().find("QueryBuild ==> [500] [error forced status\n]"), std::string::npos);

    // A 200 reply whose first line is not "ok" names the request URL.
    Builds builds{{"stale", "1.0.0"}};
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(kSerial, builds, u));
    EXPECT_TRUE(builds.empty());
    EXPECT_NE(log.Text().find("ServerCommClass: GetBuildList failed [" + url +
                              "?op=builds&sn=00001A2B&]"),
              std::string::npos);

    // "ok" with no line 2: accepted, nothing to decode.
    std::string bird = "stale";
    EXPECT_TRUE(UpdateServerRequest::GetBuild(kSerial, "x", "1234", bird, u));
    EXPECT_EQ(bird, "");

    // Unknown device: the server's 404 reaches the caller as false.
    std::string jwt = "keep";
    EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(0xFFFF, jwt, u));
    EXPECT_EQ(jwt, "keep");
}

TEST(UpdateServerRequestTransport, NoServerGivesFalseWithLibcurlText)
{
    int port = 0;
    {
        CannedReply probe(200, "");
        port = probe.Port();
    }
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
    LogCapture log(DEBUG_ServerComm);
    std::string bird = "stale";
    EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "f", "1", bird, url.c_str()));
    EXPECT_EQ(bird, "");
    EXPECT_NE(log.Text().find("GetBuild ==> [Couldn't connect to server]"), std::string::npos);
}

TEST(UpdateServerRequestReplies, EmptyBodyIsNoAnswer)
{
    CannedReply canned(200, "");
    EXPECT_FALSE(UpdateServerRequest::ping(canned.URL().c_str()));
}

TEST(UpdateServerRequestReplies, QueryBuildLinesAndLineEnds)
{
    {
        CannedReply canned(200, "ok\n1234\nFW-A\n");
        std::string build, firmware;
        EXPECT_TRUE(
            UpdateServerRequest::QueryBuild(kSerial, build, firmware, canned.URL().c_str()));
        EXPECT_EQ(canned.RequestLine(), "GET /cgi/u?op=qu&sn=00001A2B& HTTP/1.1");
        EXPECT_EQ(build, "1234");
        EXPECT_EQ(firmware, "FW-A");
    }
    {
        // Empty lines are skipped; the identifier ends at a carriage return.
        CannedReply canned(200, "ok\r\n\n1234\n\nFW-B\r\n");
        std::string build, firmware;
        EXPECT_TRUE(
            UpdateServerRequest::QueryBuild(kSerial, build, firmware, canned.URL().c_str()));
        EXPECT_EQ(build, "1234");
        EXPECT_EQ(firmware, "FW-B");
    }
    {
        CannedReply canned(200, "okay\n77\n");
        std::string build = "x", firmware = "unchanged";
        EXPECT_TRUE(
            UpdateServerRequest::QueryBuild(kSerial, build, firmware, canned.URL().c_str()));
        EXPECT_EQ(build, "77");
        EXPECT_EQ(firmware, "unchanged");
    }
}

TEST(UpdateServerRequestReplies, GetBuildKeepsCarriageReturnInData)
{
    CannedReply canned(200, "ok\nYWJj\r\n");
    std::string bird;
    EXPECT_TRUE(UpdateServerRequest::GetBuild(kSerial, "f", "1", bird, canned.URL().c_str()));
    EXPECT_EQ(bird, "YWJj\r");
}

TEST(UpdateServerRequestReplies, BuildListFirstLineForABuildWins)
{
    CannedReply canned(200, "ok\n1234;2.10.3\n1300;2.11.0\r\n1234;9.9.9\n12\n1400\n;3.0.0\n");
    Builds builds;
    LogCapture log(DEBUG_ServerComm);
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, canned.URL().c_str()));
    EXPECT_EQ(builds, (Builds{{"1234", "2.10.3"}, {"1300", "2.11.0"}, {"1400", ""}}));
    EXPECT_NE(log.Text().find("GetBuildList processing entry: [1234;9.9.9]"), std::string::npos);

    CannedReply none(200, "ok\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, none.URL().c_str()));
    EXPECT_TRUE(builds.empty());
}

TEST(UpdateServerRequestReplies, RecoveryInfoBasesAndMissingLines)
{
    unsigned int fingerprint[4] = {0xDEADBEEF, 0, 0x10, 0xFFFFFFFF};
    {
        CannedReply canned(200, "ok\n40F5849A\n1234\n");
        unsigned int serial = 0, build = 0;
        EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &build,
                                                         canned.URL().c_str()));
        EXPECT_EQ(canned.RequestLine(),
                  "GET /cgi/u?brief=true&fp=DEADBEEF%2000000000%2000000010%20FFFFFFFF&op=fix& "
                  "HTTP/1.1");
        EXPECT_EQ(serial, 0x40F5849Au);
        EXPECT_EQ(build, 1234u);
    }
    {
        CannedReply canned(200, "ok\n1a2b\r\n");
        unsigned int serial = 0, build = 99;
        EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &build,
                                                         canned.URL().c_str()));
        EXPECT_EQ(serial, 0x1A2Bu);
        EXPECT_EQ(build, 99u);
    }
    {
        // A line that holds no number is not an answer.
        CannedReply canned(200, "ok\nnot-a-serial\n5\n");
        unsigned int serial = 7, build = 8;
        EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &build,
                                                          canned.URL().c_str()));
        EXPECT_EQ(serial, 7u);
        EXPECT_EQ(build, 8u);
    }
    {
        CannedReply canned(200, "ok\n1A2B\n0x1FFFFFFFF\n");
        unsigned int serial = 7, build = 8;
        EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &build,
                                                          canned.URL().c_str()));
    }
}

TEST(UpdateServerRequestReplies, TokenNeedsThreePiecesOfTwoCharacters)
{
    struct Case
    {
        const char* body;
        bool accepted;
        const char* token;
    };
    const Case cases[] = {
        {"ok\naa.bb.cc\n", true, "aa.bb.cc"},
        {"ok\naa.bb.cc\r\n", true, "aa.bb.cc"},
        {"ok\naa.b.cc\n", false, ""},
        {"ok\na.bb.cc\n", false, ""},
        {"ok\naa.bb.c\n", false, ""},
        {"ok\naa.bbcc\n", false, ""},
        {"ok\nab\n", false, ""},
        {"ok\n", false, ""},
    };
    for (const Case& c : cases)
    {
        CannedReply canned(200, c.body);
        std::string jwt;
        EXPECT_EQ(UpdateServerRequest::GetDeviceJWT(kSerial, jwt, canned.URL().c_str()), c.accepted)
            << c.body;
        EXPECT_EQ(jwt, c.token) << c.body;
    }
}

TEST(BuildSorting, SplitNeedsExactlyThreePieces)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(UpdateServerRequest::SplitLumbrixonVersion("2.10.3"), (V{"2", "10", "3"}));
    EXPECT_EQ(UpdateServerRequest::SplitLumbrixonVersion("1..2"), (V{"1", "", "2"}));
    EXPECT_TRUE(UpdateServerRequest::SplitLumbrixonVersion("2.10").empty());
    EXPECT_TRUE(UpdateServerRequest::SplitLumbrixonVersion("2.10.3.1").empty());
    EXPECT_TRUE(UpdateServerRequest::SplitLumbrixonVersion("").empty());
}

TEST(BuildSorting, NewestVersionFirst)
{
    Pairs sorted = UpdateServerRequest::SortBuildsByVersion(
        {{"1234", "2.10.3"}, {"1300", "2.11.0"}, {"1100", "1.9.9"}});
    EXPECT_EQ(sorted, (Pairs{{"1300", "2.11.0"}, {"1234", "2.10.3"}, {"1100", "1.9.9"}}));
    EXPECT_TRUE(UpdateServerRequest::SortBuildsByVersion({}).empty());
}

TEST(BuildSorting, ComponentsCompareAsEightBitValues)
{
    using P = std::pair<std::string, std::string>;
    EXPECT_FALSE(UpdateServerRequest::_sortVersion(P{"a", "1.256.0"}, P{"b", "1.0.0"}));
    EXPECT_FALSE(UpdateServerRequest::_sortVersion(P{"b", "1.0.0"}, P{"a", "1.256.0"}));
    EXPECT_TRUE(UpdateServerRequest::_sortVersion(P{"a", "1.255.0"}, P{"b", "1.0.0"}));
    EXPECT_TRUE(UpdateServerRequest::_sortVersion(P{"a", " +2.0.0"}, P{"b", "1.9.9"}));
    EXPECT_FALSE(UpdateServerRequest::_sortVersion(P{"a", "2.0.0"}, P{"b", "2.0.0"}));
    // Equal as 8-bit values: kept in the map's order.
    Pairs sorted = UpdateServerRequest::SortBuildsByVersion(
        {{"1", "1.256.0"}, {"2", "1.0.0"}, {"3", "1.0.1"}});
    EXPECT_EQ(sorted, (Pairs{{"3", "1.0.1"}, {"1", "1.256.0"}, {"2", "1.0.0"}}));
}

TEST(BuildSorting, UnreadableVersionsFollowInTheirOrder)
{
    using P = std::pair<std::string, std::string>;
    LogCapture log(DEBUG_ServerComm);
    EXPECT_FALSE(UpdateServerRequest::_sortVersion(P{"a", "beta"}, P{"b", "1.0.0"}));
    EXPECT_FALSE(UpdateServerRequest::_sortVersion(P{"a", "1.0.0"}, P{"b", "x.y.z"}));
    EXPECT_FALSE(UpdateServerRequest::_sortVersion(P{"a", "1.99999999999.0"}, P{"b", "1.0.0"}));
    EXPECT_FALSE(UpdateServerRequest::_sortVersion(P{"a", "beta"}, P{"b", "gamma"}));
    EXPECT_NE(log.Text().find("_sortVersion: Exception converting version: stoi"),
              std::string::npos);

    Builds builds{{"10", "beta"},  {"11", "1.0.0"}, {"12", ""},
                  {"13", "3.0.0"}, {"14", "2.x.1"}, {"15", "2.0.0"}};
    Pairs sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    EXPECT_EQ(sorted, (Pairs{{"13", "3.0.0"},
                             {"15", "2.0.0"},
                             {"11", "1.0.0"},
                             {"10", "beta"},
                             {"12", ""},
                             {"14", "2.x.1"}}));
}
