// The simulator's link level from the host's side of the wire: sync answers,
// route control, heartbeats, the serial line's frames, reconnection and
// bounded start and stop. Every packet is written out by hand.
#include "tests/modsim/HostEnd.h"

#include <atomic>
#include <thread>

using modsim::ModuleStats;
using modsim::Simulator;

TEST(ModsimLink, SyncIsAnsweredFromTheModulesOwnAddressWhetherRoutedOrNot)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x06, 0);
    TcpHost host(sim.tcpPort(m));
    host.write({0xAD, 0x00});
    EXPECT_EQ(host.read(2, 2000), Bytes({0x06, 0x00}));
    // Six at once, as a host resyncing sends them: six answers.
    host.write({0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00});
    EXPECT_EQ(host.read(12, 2000),
              Bytes({0x06, 0x00, 0x06, 0x00, 0x06, 0x00, 0x06, 0x00, 0x06, 0x00, 0x06, 0x00}));
    ModuleStats s = sim.stats(m);
    EXPECT_EQ(s.syncRequests, 7u);
    EXPECT_EQ(s.syncAnswered, 7u);
    EXPECT_FALSE(s.routeOn);
    EXPECT_TRUE(Traced(sim, {" in ", "tcp:127.0.0.1:", "len 0: AD 00"}));
    EXPECT_TRUE(Traced(sim, {" out ", "tcp:127.0.0.1:", "len 0: 06 00"}));
}

TEST(ModsimLink, HeartbeatsFlowOnlyWhileRoutedAndUnansweredOnesAreCounted)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 100);
    TcpHost host(sim.tcpPort(m));
    EXPECT_TRUE(Quiet(host, 300)) << "a heartbeat before route on";

    host.write({0xAF, 0x01, 0x01});
    EXPECT_EQ(host.read(4, 1000), Bytes({0x04, 0x02, 0x00, 0x01}));
    host.write({0x04, 0x02, 0x00, 0x03});
    // The next one goes the other way; it is left unanswered.
    EXPECT_EQ(host.read(4, 1000), Bytes({0x04, 0x02, 0x00, 0x00}));
    EXPECT_EQ(host.read(4, 1000), Bytes({0x04, 0x02, 0x00, 0x01}));
    // The answer to the one given up comes late: late, not an answer to
    // the current one (which wants 0x03). A wrong answer counts as neither.
    host.write({0x04, 0x02, 0x00, 0x02});
    host.write({0x04, 0x02, 0x00, 0x07});
    EXPECT_TRUE(sim.waitFor(
        m, [](const ModuleStats& s) { return s.heartbeatsUnanswered >= 2; }, 2000));
    ModuleStats s = sim.stats(m);
    EXPECT_EQ(s.heartbeatAnswers, 1u);
    EXPECT_EQ(s.lateHeartbeatAnswers, 1u);
    EXPECT_EQ(s.unexpectedHeartbeatAnswers, 1u);
    EXPECT_TRUE(s.routeOn);
    EXPECT_EQ(s.events["heartbeat-missed"], s.heartbeatsUnanswered);

    // Route off: no more heartbeats, but a sync is still answered.
    host.write({0xAF, 0x01, 0x00});
    ASSERT_TRUE(sim.waitFor(
        m, [](const ModuleStats& st) { return !st.routeOn; }, 2000));
    host.read(100, 150); // a heartbeat that crossed the route-off on the wire
    EXPECT_TRUE(Quiet(host, 350));
    host.write({0xAD, 0x00});
    EXPECT_EQ(host.read(2, 1000), Bytes({0x04, 0x00}));
    EXPECT_EQ(sim.stats(m).routeOffRequests, 1u);
}

TEST(ModsimLink, RouteOnFromAnotherLinkTakesTheHeartbeatsAlong)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 100);
    TcpHost first(sim.tcpPort(m));
    TcpHost second(sim.tcpPort(m));
    first.write({0xAF, 0x01, 0x01});
    EXPECT_EQ(first.read(4, 1000), Bytes({0x04, 0x02, 0x00, 0x01}));
    second.write({0xAF, 0x01, 0x01});
    EXPECT_EQ(second.read(4, 1000), Bytes({0x04, 0x02, 0x00, 0x01}));
    first.read(100, 100);
    EXPECT_TRUE(Quiet(first, 300));
    // Route off from the link without the route changes nothing.
    first.write({0xAF, 0x01, 0x00});
    EXPECT_EQ(second.read(4, 1000).size(), 4u);
    // The routed link goes: the module keeps its traffic to itself.
    second.closeFd();
    EXPECT_TRUE(sim.waitFor(
        m, [](const ModuleStats& s) { return !s.routeOn; }, 2000));
    EXPECT_TRUE(Quiet(first, 300));
}

TEST(ModsimLink, ANewConnectionIsAcceptedAfterTheHostResetsItsOwn)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 0);
    for (int round = 0; round < 3; round++)
    {
        TcpHost host(sim.tcpPort(m));
        host.write({0xAD, 0x00});
        EXPECT_EQ(host.read(2, 1000), Bytes({0x04, 0x00})) << "round " << round;
        host.reset();
    }
    EXPECT_TRUE(sim.waitFor(
        m, [](const ModuleStats& s) { return s.closedByHost == 3; }, 2000));
    ModuleStats s = sim.stats(m);
    EXPECT_EQ(s.connectionsAccepted, 3u);
    EXPECT_EQ(s.connectionsOpen, 0u);
    EXPECT_TRUE(Traced(sim, {"reset by host"}));
}

TEST(ModsimLink, BytesThatMakeNoPacketAreSkippedAndTheNextPacketIsAnswered)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 0);
    TcpHost host(sim.tcpPort(m));
    // A zero address byte, then a length of 29, then a sync request.
    host.write({0x00, 0x04, 0x1D, 0xAD, 0x00});
    EXPECT_EQ(host.read(2, 1000), Bytes({0x04, 0x00}));
    // To the module with no handler at this level, and to another module.
    host.write({0x04, 0x03, 0x55, 0x01, 0x00, 0x08, 0x00});
    EXPECT_TRUE(Quiet(host, 200));
    ModuleStats s = sim.stats(m);
    EXPECT_EQ(s.junkBytes, 3u);
    EXPECT_EQ(s.badFrames, 2u);
    EXPECT_EQ(s.unhandledPackets, 1u);
    EXPECT_EQ(s.foreignPackets, 1u);
    EXPECT_TRUE(Traced(sim, {"junk 2: 04 1D (length over 28)"}));
}

TEST(ModsimLink, SerialLineCarriesCobsFramesWithCrc)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 100, false, true);
    ASSERT_FALSE(sim.ptyPath(m).empty());
    SerialHost line(sim.ptyPath(m));
    // Sync request AD 00 (CRC 67); the answer 04 00 with its CRC 3B.
    line.write({0x02, 0xAD, 0x02, 0x67, 0x00});
    EXPECT_EQ(line.read(5, 1000), Bytes({0x02, 0x04, 0x02, 0x3B, 0x00}));
    // The same frame with its CRC altered is dropped whole.
    line.write({0x02, 0xAD, 0x02, 0x66, 0x00});
    EXPECT_TRUE(Quiet(line, 200));
    EXPECT_EQ(sim.stats(m).badFrames, 1u);
    // Route on AF 01 01 (CRC 33): heartbeat 04 02 00 01 (CRC 1F), answered
    // with 04 02 00 03 (CRC A3).
    line.write({0x05, 0xAF, 0x01, 0x01, 0x33, 0x00});
    EXPECT_EQ(line.read(7, 1000), Bytes({0x03, 0x04, 0x02, 0x03, 0x01, 0x1F, 0x00}));
    line.write({0x03, 0x04, 0x02, 0x03, 0x03, 0xA3, 0x00});
    EXPECT_TRUE(sim.waitFor(
        m, [](const ModuleStats& s) { return s.heartbeatAnswers == 1; }, 1000));
    EXPECT_TRUE(Traced(sim, {" in ", "pty:" + sim.ptyPath(m), "junk 4: 02 AD 02 66 (bad CRC)"}));
}

TEST(ModsimLink, SeveralModulesAnswerEachFromItsOwnAddress)
{
    Simulator sim;
    modsim::ModuleSpec a, b;
    a.module.serial = 0x40F5849A;
    a.module.address = 0x04;
    a.tcp.push_back({});
    b.module.serial = 0x40F584CD;
    b.module.address = 0x06;
    b.tcp.push_back({});
    size_t ma = sim.addModule(a), mb = sim.addModule(b);
    std::string error;
    ASSERT_TRUE(sim.start(&error)) << error;
    TcpHost ha(sim.tcpPort(ma)), hb(sim.tcpPort(mb));
    ha.write({0xAD, 0x00});
    hb.write({0xAD, 0x00});
    EXPECT_EQ(ha.read(2, 1000), Bytes({0x04, 0x00}));
    EXPECT_EQ(hb.read(2, 1000), Bytes({0x06, 0x00}));
    EXPECT_TRUE(Traced(sim, {"40F584CD out", "06 00"}));
    EXPECT_EQ(sim.endpoints().size(), 2u);
}

TEST(ModsimLink, StartAndStopAreBoundedWhateverTheHostDoes)
{
    {
        // A transport that cannot be opened: start fails and says why.
        Simulator sim;
        modsim::ModuleSpec spec;
        spec.tcp.push_back({"300.1.2.3", 0});
        sim.addModule(spec);
        std::string error;
        EXPECT_FALSE(sim.start(&error));
        EXPECT_NE(error.find("300.1.2.3"), std::string::npos) << error;
    }
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 10);
    std::string error;
    EXPECT_FALSE(sim.start(&error)) << "started twice";
    // A host that routes, then sends sync requests without end and reads none
    // of the answers.
    TcpHost host(sim.tcpPort(m));
    host.write({0xAF, 0x01, 0x01});
    std::atomic<bool> done{false};
    std::thread flood(
        [&]
        {
            Bytes burst(2000);
            for (size_t i = 0; i < burst.size(); i += 2)
                burst[i] = 0xAD;
            for (int i = 0; i < 2000 && !done; i++)
                if (send(host.fd(), burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    EXPECT_TRUE(sim.waitFor(
        m, [](const ModuleStats& s) { return s.syncAnswered > 10000; }, 5000));
    auto before = std::chrono::steady_clock::now();
    sim.stop();
    auto took = std::chrono::steady_clock::now() - before;
    done = true;
    flood.join();
    EXPECT_LT(took, std::chrono::seconds(1));
    EXPECT_FALSE(sim.running());
    EXPECT_EQ(sim.stats(m).connectionsOpen, 0u);
    EXPECT_NE(host.waitForEnd(2000), End::Timeout);
}
