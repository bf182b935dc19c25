// The network search from the host's side, inside the test's own network
// namespace: a veth pair with a TEST-NET address beside loopback. Every
// datagram is written and read byte for byte.
#include "tests/modsim/HostEnd.h"
#include "tests/multicast/NetNamespace.h"
#include "tools/modsim/NetLab.h"

#include <net/if.h>

using modsim::ModuleSpec;
using modsim::Simulator;

namespace
{

class ModsimDiscovery : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!testInPrivateNetwork())
            GTEST_SKIP() << "no private network namespace here: the search is not sent";
        std::string error;
        // Once a process: the namespace lives as long as it does.
        if (if_nametoindex("mds0") == 0)
        {
            ASSERT_TRUE(modsim::addVethPair("mds0", "192.0.2.1/24", "mds1", "", error)) << error;
        }
        listener_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(9889);
        ASSERT_EQ(bind(listener_, (sockaddr*)&sa, sizeof sa), 0) << strerror(errno);
    }
    void TearDown() override
    {
        if (listener_ >= 0)
            close(listener_);
    }

    // Sends a search through the interface with `interface`.
    void search(const char* interface, const Bytes& request = Bytes(16, 0))
    {
        Bytes r = request;
        if (r.size() == 16 && request == Bytes(16, 0))
            r[0] = 0x01;
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        in_addr iface = {};
        inet_pton(AF_INET, interface, &iface);
        ASSERT_EQ(setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface), 0);
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(9888);
        inet_pton(AF_INET, "232.2.2.2", &to.sin_addr);
        EXPECT_EQ(sendto(s, r.data(), r.size(), 0, (sockaddr*)&to, sizeof to), (ssize_t)r.size());
        close(s);
    }

    // The answers that come within `ms`, with their senders.
    std::vector<std::pair<std::string, Bytes>> answers(int ms)
    {
        std::vector<std::pair<std::string, Bytes>> all;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;)
        {
            int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                           deadline - std::chrono::steady_clock::now())
                           .count();
            pollfd p = {listener_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0)
                return all;
            uint8_t buffer[64];
            sockaddr_in from = {};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(listener_, buffer, sizeof buffer, 0, (sockaddr*)&from, &len);
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
            all.emplace_back(text, Bytes(buffer, buffer + (n > 0 ? n : 0)));
        }
    }

    int listener_ = -1;
};

ModuleSpec _module(uint32_t serial, uint8_t address, uint8_t model, const char* interface)
{
    ModuleSpec spec;
    spec.module.serial = serial;
    spec.module.address = address;
    spec.module.model = model;
    spec.module.heartbeatMs = 0;
    spec.tcp.push_back({interface, 0});
    spec.discovery = modsim::DiscoverySpec{interface, 16, 0};
    return spec;
}

} // namespace

TEST_F(ModsimDiscovery, EachModuleAnswersOnTheInterfaceItIsToldWithItsFields)
{
    Simulator sim;
    size_t a = sim.addModule(_module(0x40F5849A, 0x06, 0x12, "192.0.2.1"));
    size_t b = sim.addModule(_module(0x40F5849B, 0x04, 0x10, "127.0.0.1"));
    std::string error;
    ASSERT_TRUE(sim.start(&error)) << error;
    uint16_t port = sim.tcpPort(a);

    search("192.0.2.1");
    auto got = answers(500);
    ASSERT_EQ(got.size(), 1u) << "only the module on 192.0.2.1 answers";
    EXPECT_EQ(got[0].first, "192.0.2.1");
    EXPECT_EQ(got[0].second, Bytes({0x00, 0x06, (uint8_t)port, (uint8_t)(port >> 8), 0x9A, 0x84,
                                    0xF5, 0x40, 0x00, 0x00, 0x00, 0x00, 0x12, 0x00, 0x00, 0x00}));
    // The address and port announced reach the module.
    TcpHost host(port, "192.0.2.1");
    EXPECT_EQ(Ask(host, {0xAD, 0x00}, 2), Bytes({0x06, 0x00}));

    search("127.0.0.1");
    got = answers(500);
    ASSERT_EQ(got.size(), 1u);
    uint16_t portB = sim.tcpPort(b);
    EXPECT_EQ(got[0].second, Bytes({0x00, 0x04, (uint8_t)portB, (uint8_t)(portB >> 8), 0x9B, 0x84,
                                    0xF5, 0x40, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00}));
    EXPECT_EQ(sim.stats(a).discoveryRequests, 1u);
    EXPECT_EQ(sim.stats(a).discoveryReplies, 1u);
    EXPECT_EQ(sim.stats(b).discoveryReplies, 1u);
    EXPECT_TRUE(Traced(sim, {"40F5849A out", "udp:192.0.2.1:9889", "search answer 16:"}));
}

TEST_F(ModsimDiscovery, ShortAnswersNoAnswerAndDatagramsThatAreNoSearch)
{
    Simulator sim;
    ModuleSpec spec = _module(0x40F5849A, 0x06, 0x12, "192.0.2.1");
    spec.discovery->replyLength = 12;
    size_t m = sim.addModule(spec);
    std::string error;
    ASSERT_TRUE(sim.start(&error)) << error;
    uint16_t port = sim.tcpPort(m);

    search("192.0.2.1");
    auto got = answers(500);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].second, Bytes({0x00, 0x06, (uint8_t)port, (uint8_t)(port >> 8), 0x9A, 0x84,
                                    0xF5, 0x40, 0x00, 0x00, 0x00, 0x00}));
    sim.setDiscoveryReplyLength(m, 7);
    search("192.0.2.1");
    got = answers(500);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].second.size(), 7u);
    sim.setDiscoveryReplyLength(m, 0);
    search("192.0.2.1");
    EXPECT_TRUE(answers(400).empty());

    // Not a search: another first byte, another length.
    sim.setDiscoveryReplyLength(m, 16);
    Bytes other(16, 0);
    other[0] = 0x02;
    search("192.0.2.1", other);
    search("192.0.2.1", Bytes({0x01, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(answers(400).empty());
    modsim::ModuleStats s = sim.stats(m);
    EXPECT_EQ(s.discoveryRequests, 3u);
    EXPECT_EQ(s.discoveryReplies, 2u);
    EXPECT_EQ(s.discoveryIgnored, 2u);
}

TEST_F(ModsimDiscovery, AnInterfaceNoOneHasIsAClearError)
{
    Simulator sim;
    sim.addModule(_module(0x40F5849A, 0x06, 0x12, "127.0.0.1"));
    ModuleSpec missing = _module(0x40F5849B, 0x06, 0x12, "127.0.0.1");
    missing.discovery->interface = "198.51.100.7";
    sim.addModule(missing);
    std::string error;
    EXPECT_FALSE(sim.start(&error));
    EXPECT_NE(error.find("no interface has the address 198.51.100.7"), std::string::npos) << error;
}
