#include "app/server/HTTPRequest.h"
#include "tests/server/ServerHarness.h"

#include <gtest/gtest.h>

#include <httplib.h>

#include <chrono>
#include <stdexcept>
#include <sys/stat.h>

namespace
{
using Query = std::map<std::string, std::string>;

std::string _thrown(const char* url, Query query = {})
{
    try
    {
        HTTPRequest::GET(url, query);
    }
    catch (const std::runtime_error& error)
    {
        return error.what();
    }
    return "<nothing thrown>";
}

// Restores the default time-outs however a test ends.
struct ShortTimeouts
{
    ShortTimeouts() { HTTPRequest::SetTimeouts(2, 1); }
    ~ShortTimeouts() { HTTPRequest::SetTimeouts(0, 0); }
};

class HTTPRequestServer : public ::testing::Test
{
protected:
    void Start(const std::vector<std::string>& args = {})
    {
        WriteBytes(dir.path() + "/devices", "00001A2B ROUTER\n");
        mkdir((dir.path() + "/00001A2B").c_str(), 0755);
        // Large enough to need many write-callback calls.
        WriteBytes(dir.path() + "/00001A2B/1234.bird",
                   MakeBird(1234, "2.10.3", "00001A2B", "ROUTER", 300000));
        ASSERT_TRUE(server.Start(dir.path(), args));
    }

    TempDir dir;
    LocalServer server;
};

} // namespace

TEST(HTTPRequestURL, QueryAppendedInKeyOrderWithTrailingAmpersand)
{
    EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {}), "http://h/cgi/u");
    EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {{"b", "2"}, {"a", "1"}}),
              "http://h/cgi/u?a=1&b=2&");
    // Sent as given: callers encode blanks themselves.
    EXPECT_EQ(HTTPRequest::BuildURL("u", {{"fp", "1 2"}, {"Z", "%20"}}), "u?Z=%20&fp=1 2&");
}

TEST(HTTPResponseTest, CollectsBodyAndStatus)
{
    HTTPResponse response("http://h/x");
    EXPECT_STREQ(response.get_request(), "http://h/x");
    EXPECT_EQ(response.get_status(), 0);
    EXPECT_STREQ(response.get_response(), "");
    response.process("ok\n", 3);
    response.process(std::string("a\0b", 3).data(), 3);
    response.set_status(404);
    EXPECT_EQ(response.get_status(), 404);
    EXPECT_EQ(response.get_length(), 6u);
    EXPECT_EQ(std::string(response.get_response(), response.get_length()),
              std::string("ok\na\0b", 6));
}

TEST_F(HTTPRequestServer, ReturnsStatusAndWholeBody)
{
    Start();
    Query query{{"op", "bird"}, {"sn", "00001A2B"}, {"bld", "1234"}, {"fw", "00001A2B"}};
    HTTPResponse response = HTTPRequest::GET(server.URL().c_str(), query);
    EXPECT_EQ(response.get_status(), 200);
    EXPECT_EQ(std::string(response.get_request()),
              server.URL() + "?bld=1234&fw=00001A2B&op=bird&sn=00001A2B&");
    std::string body = response.get_response();
    ASSERT_EQ(body.compare(0, 3, "ok\n"), 0);
    EXPECT_GT(body.size(), 300000u);

    // An HTTP error is an answer, not a failure of the transport.
    Query unknown{{"op", "qu"}, {"sn", "FFFFFFFF"}};
    HTTPResponse missing = HTTPRequest::GET(server.URL().c_str(), unknown);
    EXPECT_EQ(missing.get_status(), 404);
    EXPECT_STREQ(missing.get_response(), "error unknown device\n");
}

TEST_F(HTTPRequestServer, BlankInValueIsRefusedUntilEncoded)
{
    Start();
    // Values travel as given: libcurl refuses a URL with a raw blank before
    // anything is sent, so the caller must encode it.
    Query query{{"v", "a b"}};
    EXPECT_EQ(_thrown(server.URL().c_str(), query), "URL using bad/illegal format or missing URL");
    Query encoded{{"v", "a%20b"}};
    HTTPResponse response = HTTPRequest::GET(server.URL().c_str(), encoded);
    EXPECT_EQ(response.get_status(), 400);
    EXPECT_EQ(server.Requests(), std::vector<std::string>{"/cgi/u?v=a%20b&"});
}

TEST(HTTPRequestFailures, TransportFailuresThrowLibcurlText)
{
    // A port that was just free: nothing listens there.
    int port = 0;
    {
        CannedReply probe(200, "");
        port = probe.Port();
    }
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
    EXPECT_EQ(_thrown(url.c_str()), "Couldn't connect to server");
    EXPECT_EQ(_thrown("http://bad host name/"), "URL using bad/illegal format or missing URL");
    EXPECT_EQ(_thrown(nullptr), "URL using bad/illegal format or missing URL");
    // Only the web protocols are spoken: no local file is read as a reply.
    EXPECT_EQ(_thrown("file:///etc/hostname"), "Unsupported protocol");
}

TEST_F(HTTPRequestServer, SilentServerIsAbandonedAfterStallTime)
{
    Start({"--stall", "hi=8000"});
    ShortTimeouts shortened;
    auto start = std::chrono::steady_clock::now();
    Query query{{"op", "hi"}};
    EXPECT_EQ(_thrown(server.URL().c_str(), query), "Timeout was reached");
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 5.0);
}

TEST_F(HTTPRequestServer, SlowButMovingDownloadIsNeverCutOff)
{
    // 20 pieces over 3 s: three times the stall time in all, but never a
    // silent second.
    Start({"--drip", "bird=3000"});
    ShortTimeouts shortened;
    auto start = std::chrono::steady_clock::now();
    Query query{{"op", "bird"}, {"sn", "00001A2B"}, {"bld", "1234"}};
    HTTPResponse response = HTTPRequest::GET(server.URL().c_str(), query);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(response.get_status(), 200);
    EXPECT_GT(response.get_length(), 300000u);
    EXPECT_GE(seconds, 2.5);
}

TEST(HTTPRequestTLS, ServerCertificateIsVerified)
{
    TempDir dir;
    int status = -1;
    RunShell("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
             "-addext subjectAltName=IP:127.0.0.1 -keyout '" +
                 dir.path() + "/key.pem' -out '" + dir.path() + "/cert.pem' 2>/dev/null",
             &status);
    if (status != 0)
    {
        GTEST_SKIP() << "openssl cannot make a test certificate";
    }
    httplib::SSLServer tls((dir.path() + "/cert.pem").c_str(), (dir.path() + "/key.pem").c_str());
    ASSERT_TRUE(tls.is_valid());
    tls.Get("/cgi/u", [](const httplib::Request&, httplib::Response& response)
            { response.set_content("ok\n", "text/plain"); });
    int port = tls.bind_to_any_port("127.0.0.1");
    std::thread listener([&] { tls.listen_after_bind(); });
    std::string url = "https://127.0.0.1:" + std::to_string(port) + "/cgi/u";
    std::string error = _thrown(url.c_str());
    tls.stop();
    listener.join();
    // A self-signed certificate matching the host is still not trusted.
    EXPECT_NE(error.find("certificate"), std::string::npos) << error;
}
