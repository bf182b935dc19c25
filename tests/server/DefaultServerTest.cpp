// The built-in update-server address, checked from a private network
// namespace.
#include "app/server/UpdateServerRequest.h"
#include "tests/multicast/NetNamespace.h"
#include "tests/server/ServerHarness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

TEST(UpdateServerRequestTransport, DefaultURLIsUsedWhenNoneIsGiven)
{
    // The default host is reached through a proxy on loopback, and the
    // process has a network of its own with nothing but loopback in it, so
    // the request cannot leave the machine even if the proxy were ignored.
    if (!testInPrivateNetwork())
    {
        GTEST_SKIP() << "no private network namespace";
    }
    CannedReply proxy(200, "ok\n");
    std::string proxyURL = "http://127.0.0.1:" + std::to_string(proxy.Port());
    setenv("http_proxy", proxyURL.c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    bool answered = UpdateServerRequest::ping(nullptr);
    unsetenv("http_proxy");
    EXPECT_TRUE(answered);
    EXPECT_EQ(proxy.RequestLine(),
              std::string("GET ") + UpdateServerRequest::DefaultURL() + "?op=hi&rv=2& HTTP/1.1");
    std::string base = UpdateServerRequest::DefaultURL();
    EXPECT_EQ(base.compare(0, 7, "http://"), 0);
    EXPECT_EQ(base.substr(base.size() - 6), "/cgi/u");
}
