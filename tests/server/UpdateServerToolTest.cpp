// The local update server as a program: its command line and its faults.
#include "app/server/HTTPRequest.h"
#include "app/server/base64.h"
#include "tests/server/ServerHarness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
using Query = std::map<std::string, std::string>;

std::string _server(const std::string& arguments, int* status)
{
    return RunShell(std::string(UPDATE_SERVER_PATH) + " " + arguments + " 2>&1", status);
}

class ServerFaults : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mkdir((dir.path() + "/00001A2B").c_str(), 0755);
        bird = MakeBird(1234, "2.10.3", "00001A2B", "ROUTER", 5000);
        WriteBytes(dir.path() + "/00001A2B/1234.bird", bird);
        WriteBytes(dir.path() + "/00001A2B/notes.txt", "not a build");
        WriteBytes(dir.path() + "/00001A2B/77.bird", "not a bird file");
        mkdir((dir.path() + "/00001A2B/unlisted").c_str(), 0755);
        WriteBytes(dir.path() + "/00001A2B/unlisted/5000.bird",
                   MakeBird(5000, "9.0.0", "00001A2B", "ROUTER"));
    }

    HTTPResponse Get(Query query) { return HTTPRequest::GET(server.URL().c_str(), query); }

    TempDir dir;
    LocalServer server;
    std::string bird;
};

} // namespace

TEST(UpdateServerTool, CommandLine)
{
    int status = -1;
    std::string help = _server("--help", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(help.find("Usage: update-server [options] PORT DIRECTORY"), std::string::npos);
    EXPECT_NE(help.find("--stall OP=MS"), std::string::npos);

    EXPECT_NE(_server("", &status).find("Usage:"), std::string::npos);
    EXPECT_EQ(status, 2);
    EXPECT_NE(_server("--bogus 0 /tmp", &status).find("unknown option --bogus"), std::string::npos);
    EXPECT_EQ(status, 2);
    _server("--stall hi 0 /tmp", &status);
    EXPECT_EQ(status, 2);
    _server("70000 /tmp", &status);
    EXPECT_EQ(status, 2);
}

TEST_F(ServerFaults, OnlyBuildFilesThatReadAreOffered)
{
    ASSERT_TRUE(server.Start(dir.path()));
    HTTPResponse list = Get({{"op", "builds"}, {"sn", "1a2b"}});
    EXPECT_EQ(list.get_status(), 200);
    EXPECT_STREQ(list.get_response(), "ok\n1234;2.10.3\n");
    EXPECT_EQ(Get({{"op", "nope"}, {"sn", "1A2B"}}).get_status(), 400);
    EXPECT_EQ(Get({{"op", "qu"}, {"sn", "../etc"}}).get_status(), 400);
    EXPECT_EQ(Get({{"op", "bird"}, {"sn", "1A2B"}, {"bld", "77"}}).get_status(), 404);
    // Unlisted builds are served, but neither listed nor the latest.
    EXPECT_EQ(Get({{"op", "bird"}, {"sn", "1A2B"}, {"bld", "5000"}}).get_status(), 200);
    EXPECT_STREQ(Get({{"op", "qu"}, {"sn", "1A2B"}}).get_response(), "ok\n1234\n00001A2B\n");
    Query other;
    EXPECT_EQ(HTTPRequest::GET(("http://127.0.0.1:" + std::to_string(server.Port()) + "/x").c_str(),
                               other)
                  .get_status(),
              404);
}

TEST_F(ServerFaults, TruncatedAndForeignBodies)
{
    ASSERT_TRUE(server.Start(dir.path(), {"--truncate", "bird", "--truncate", "builds"}));
    std::string body = Get({{"op", "bird"}, {"sn", "00001A2B"}, {"bld", "1234"}}).get_response();
    ASSERT_EQ(body.compare(0, 3, "ok\n"), 0);
    std::string line = body.substr(3, body.size() - 4);
    EXPECT_EQ(line.size() % 4, 0u);
    unsigned long length = 0;
    char* data = base64_decode(line.data(), line.size(), &length);
    ASSERT_NE(data, nullptr);
    // A proper beginning of the file, and only about half of it.
    EXPECT_EQ(std::string(data, length), bird.substr(0, length));
    EXPECT_LT(length, bird.size() * 3 / 4);
    free(data);

    EXPECT_STREQ(Get({{"op", "builds"}, {"sn", "00001A2B"}}).get_response(), "ok\n1234");
}

TEST_F(ServerFaults, NonBase64Body)
{
    ASSERT_TRUE(server.Start(dir.path(), {"--bad-base64", "bird"}));
    std::string body = Get({{"op", "bird"}, {"sn", "00001A2B"}, {"bld", "1234"}}).get_response();
    ASSERT_EQ(body.compare(0, 3, "ok\n"), 0);
    std::string line = body.substr(3, body.size() - 4);
    EXPECT_EQ(base64_decode(line.data(), line.size(), nullptr), nullptr);
}

// The catalogue is indexed once, and again for what changed while it runs.
TEST_F(ServerFaults, CatalogueFollowsChangesWhileRunning)
{
    ASSERT_TRUE(server.Start(dir.path()));
    EXPECT_STREQ(Get({{"op", "builds"}, {"sn", "1A2B"}}).get_response(), "ok\n1234;2.10.3\n");
    // A new build, a build rewritten in place, a build that becomes unreadable.
    WriteBytes(dir.path() + "/00001A2B/1300.bird", MakeBird(1300, "2.11.0", "00001A2B", "R"));
    WriteBytes(dir.path() + "/00001A2B/1234.bird",
               MakeBird(1234, "2.10.4", "00001A2B", "ROUTER", 6000));
    EXPECT_STREQ(Get({{"op", "builds"}, {"sn", "1A2B"}}).get_response(),
                 "ok\n1234;2.10.4\n1300;2.11.0\n");
    WriteBytes(dir.path() + "/00001A2B/1300.bird", "no longer a bird file");
    unlink((dir.path() + "/00001A2B/1234.bird").c_str());
    EXPECT_STREQ(Get({{"op", "builds"}, {"sn", "1A2B"}}).get_response(), "ok\n");
    EXPECT_EQ(Get({{"op", "qu"}, {"sn", "1A2B"}}).get_status(), 404);
}

TEST_F(ServerFaults, EndlessAndZeroByteAnswers)
{
    ASSERT_TRUE(server.Start(dir.path(), {"--endless", "hi", "--nul", "ent_jwt"}));
    Query hi{{"op", "hi"}};
    try
    {
        HTTPRequest::GET(server.URL().c_str(), hi, 1 << 20);
        ADD_FAILURE() << "an endless answer ended";
    }
    catch (const HTTPError& error)
    {
        EXPECT_NE(error.detail().find("larger than 1048576 bytes"), std::string::npos)
            << error.detail();
    }
    HTTPResponse token = Get({{"op", "ent_jwt"}, {"sn", "1A2B"}});
    std::string body(token.get_response(), token.get_length());
    ASSERT_GT(body.size(), 6u);
    EXPECT_EQ(body.substr(0, 6), std::string("ok\n\0\0\0", 6));
}
