// A module that already has a host, from a second host's side: refused,
// dropped, or held by another host from the start.
#include "tests/modsim/HostEnd.h"

using modsim::ModuleStats;
using modsim::SecondHost;
using modsim::Simulator;

namespace
{

size_t _start(Simulator& sim, SecondHost policy, bool occupied = false)
{
    modsim::ModuleSpec spec;
    spec.module.heartbeatMs = 0;
    spec.module.secondHost = policy;
    spec.module.occupied = occupied;
    spec.tcp.push_back({});
    size_t m = sim.addModule(spec);
    std::string error;
    EXPECT_TRUE(sim.start(&error)) << error;
    return m;
}

// Connects until it succeeds or `ms` pass; the connect's errno (0: connected).
int _connectWithin(uint16_t port, int ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int error = 0;
    do
    {
        TcpHost host(port, "127.0.0.1", true);
        error = host.error();
        if (error == 0)
            return 0;
        usleep(20000);
    } while (std::chrono::steady_clock::now() < deadline);
    return error;
}

} // namespace

TEST(ModsimHosts, RefuseStopsListeningWhileTheModuleHasAHost)
{
    Simulator sim;
    size_t m = _start(sim, SecondHost::Refuse);
    uint16_t port = sim.tcpPort(m);
    {
        TcpHost first(port);
        EXPECT_EQ(Ask(first, {0xAD, 0x00}, 2), Bytes({0x04, 0x00}));
        TcpHost second(port, "127.0.0.1", true);
        EXPECT_EQ(second.error(), ECONNREFUSED);
        EXPECT_EQ(Ask(first, {0xAD, 0x00}, 2), Bytes({0x04, 0x00})) << "the first keeps its link";
    }
    // The first host is gone: the module listens on the same port again.
    EXPECT_EQ(_connectWithin(port, 2000), 0);
    EXPECT_TRUE(Traced(sim, {"listening again on port " + std::to_string(port)}));
    EXPECT_TRUE(sim.waitFor(
        m, [](const ModuleStats& s) { return s.connectionsAccepted == 2; }, 2000));
}

TEST(ModsimHosts, DropResetsTheSecondConnectionAndOccupiedEveryOne)
{
    Simulator sim;
    size_t m = _start(sim, SecondHost::Drop);
    uint16_t port = sim.tcpPort(m);
    TcpHost first(port);
    EXPECT_EQ(Ask(first, {0xAD, 0x00}, 2), Bytes({0x04, 0x00}));
    TcpHost second(port);
    End how = End::Count;
    second.read(1, 2000, &how);
    EXPECT_EQ(how, End::Reset);
    EXPECT_EQ(Ask(first, {0xAD, 0x00}, 2), Bytes({0x04, 0x00}));
    first.closeFd();
    ASSERT_TRUE(sim.waitFor(
        m, [](const ModuleStats& s) { return s.connectionsOpen == 0; }, 2000));
    // Another host holds it now: even the first connection is reset.
    sim.setOccupied(m, true);
    TcpHost third(port);
    third.read(1, 2000, &how);
    EXPECT_EQ(how, End::Reset);
    sim.setOccupied(m, false);
    TcpHost fourth(port);
    EXPECT_EQ(Ask(fourth, {0xAD, 0x00}, 2), Bytes({0x04, 0x00}));
    EXPECT_EQ(sim.stats(m).connectionsRefused, 2u);
    EXPECT_TRUE(Traced(sim, {"reset: another host holds the module"}));
}

TEST(ModsimHosts, AnOccupiedModuleThatRefusesNeverListens)
{
    Simulator sim;
    size_t m = _start(sim, SecondHost::Refuse, true);
    uint16_t port = sim.tcpPort(m);
    ASSERT_NE(port, 0u);
    TcpHost host(port, "127.0.0.1", true);
    EXPECT_EQ(host.error(), ECONNREFUSED);
    sim.setOccupied(m, false);
    EXPECT_EQ(_connectWithin(port, 2000), 0);
}
