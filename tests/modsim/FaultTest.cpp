// Each fault switch once, with what it puts on the wire.
#include "tests/modsim/HostEnd.h"

using modsim::CutKind;
using modsim::CutRule;
using modsim::Faults;
using modsim::ModuleStats;
using modsim::Simulator;

namespace
{

const Bytes kSync = {0xAD, 0x00};
const Bytes kAnswer = {0x04, 0x00};

Faults _switch(const std::string& name, const std::string& value = "")
{
    Faults f;
    std::string error;
    EXPECT_TRUE(modsim::applyFaultOption(f, name, value, error)) << error;
    return f;
}

// Sends one sync request and returns what arrives within `ms`.
Bytes _sync(HostFd& host, int ms = 300, End* how = nullptr)
{
    host.write(kSync);
    return host.read(2, ms, how);
}

} // namespace

TEST(ModsimFaults, DropLeavesOutEveryNthPacketSent)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 0, true, false, _switch("--drop", "2"));
    TcpHost host(sim.tcpPort(m));
    EXPECT_EQ(_sync(host), kAnswer);
    EXPECT_EQ(_sync(host), Bytes());
    EXPECT_EQ(_sync(host), kAnswer);
    EXPECT_EQ(sim.stats(m).packetsDropped, 1u);
    EXPECT_EQ(sim.stats(m).syncAnswered, 3u);
    EXPECT_TRUE(Traced(sim, {" out ", "len 0: 04 00 (dropped)"}));
}

TEST(ModsimFaults, DropInIgnoresEveryNthPacketReceived)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 0, true, false, _switch("--drop-in", "2"));
    TcpHost host(sim.tcpPort(m));
    host.write({0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00});
    EXPECT_EQ(host.read(6, 500), Bytes({0x04, 0x00, 0x04, 0x00}));
    EXPECT_EQ(sim.stats(m).packetsIgnored, 1u);
}

TEST(ModsimFaults, CorruptAltersOneByteAndOnTheSerialLineLeavesTheCrcWrong)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 0, true, true, _switch("--corrupt", "2"));
    TcpHost host(sim.tcpPort(m));
    EXPECT_EQ(_sync(host), kAnswer);
    EXPECT_EQ(_sync(host), Bytes({0x05, 0x00})) << "the address byte XOR 01";
    SerialHost line(sim.ptyPath(m));
    line.write({0x02, 0xAD, 0x02, 0x67, 0x00});
    EXPECT_EQ(line.read(5, 500), Bytes({0x02, 0x04, 0x02, 0x3B, 0x00}));
    // 05 00 goes with the CRC of 04 00 (3B; its own would be FF).
    line.write({0x02, 0xAD, 0x02, 0x67, 0x00});
    EXPECT_EQ(line.read(5, 500), Bytes({0x02, 0x05, 0x02, 0x3B, 0x00}));
    EXPECT_EQ(sim.stats(m).packetsCorrupted, 2u);

    // The length byte, with a mask of 1D: a length of 29 on the wire.
    Faults f = _switch("--corrupt", "1:1:1D");
    sim.setFaults(m, f);
    EXPECT_EQ(_sync(host), Bytes({0x04, 0x1D}));
}

TEST(ModsimFaults, DelayHoldsEveryReplyBack)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 0, true, false, _switch("--delay", "300"));
    TcpHost host(sim.tcpPort(m));
    auto before = std::chrono::steady_clock::now();
    host.write(kSync);
    EXPECT_EQ(host.read(2, 200), Bytes());
    EXPECT_EQ(host.read(2, 1000), kAnswer);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(300));
    EXPECT_EQ(sim.stats(m).repliesDelayed, 1u);
}

TEST(ModsimFaults, GarbageGoesOutRawBeforeTheReply)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 0, true, true, _switch("--garbage", "1"));
    TcpHost host(sim.tcpPort(m));
    host.write(kSync);
    EXPECT_EQ(host.read(5, 500), Bytes({0x05, 0xFF, 0x00, 0x04, 0x00}));
    // On the serial line the same bytes, unframed, then the reply's frame.
    SerialHost line(sim.ptyPath(m));
    line.write({0x02, 0xAD, 0x02, 0x67, 0x00});
    EXPECT_EQ(line.read(8, 500), Bytes({0x05, 0xFF, 0x00, 0x02, 0x04, 0x02, 0x3B, 0x00}));
    EXPECT_EQ(sim.stats(m).garbageSent, 2u);
}

TEST(ModsimFaults, CloseAfterNPacketsIsAnOrderlyCloseOnce)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 0, true, false, _switch("--close-after", "2"));
    TcpHost host(sim.tcpPort(m));
    EXPECT_EQ(_sync(host), kAnswer);
    End how;
    EXPECT_EQ(_sync(host, 1000, &how), kAnswer) << "the second packet is still answered";
    EXPECT_EQ(host.waitForEnd(3000), End::Fin);
    EXPECT_EQ(sim.stats(m).closedByModule, 1u);
    // It fired once: the next connection stays.
    TcpHost again(sim.tcpPort(m));
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(_sync(again), kAnswer);
}

TEST(ModsimFaults, ResetAfterNPacketsOnEveryConnection)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 0, true, false, _switch("--reset-after", "1,every"));
    for (int round = 0; round < 2; round++)
    {
        TcpHost host(sim.tcpPort(m));
        EXPECT_EQ(_sync(host, 1000), kAnswer);
        EXPECT_EQ(host.waitForEnd(2000), End::Reset) << "round " << round;
    }
    EXPECT_EQ(sim.stats(m).resetByModule, 2u);
}

TEST(ModsimFaults, CloseOnAnEventCutsInsteadOfAnswering)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 0, true, false, _switch("--close-on", "sync#2"));
    TcpHost host(sim.tcpPort(m));
    EXPECT_EQ(_sync(host), kAnswer);
    End how;
    EXPECT_EQ(_sync(host, 2000, &how), Bytes());
    EXPECT_EQ(how, End::Fin);
}

TEST(ModsimFaults, ResetOnRouteOnAndOnConnect)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 50, true, false, _switch("--reset-on", "route-on"));
    {
        TcpHost host(sim.tcpPort(m));
        EXPECT_EQ(_sync(host), kAnswer);
        host.write({0xAF, 0x01, 0x01});
        EXPECT_EQ(host.waitForEnd(2000), End::Reset);
        EXPECT_EQ(sim.stats(m).heartbeatsSent, 0u);
    }
    // A module that resets every connection as soon as it is accepted.
    sim.setFaults(m, _switch("--reset-on", "connect,every"));
    for (int round = 0; round < 2; round++)
    {
        TcpHost host(sim.tcpPort(m));
        End how;
        host.read(2, 2000, &how);
        EXPECT_EQ(how, End::Reset);
    }
    EXPECT_EQ(sim.stats(m).resetByModule, 3u);
}

TEST(ModsimFaults, SilenceStopsAllAnswersUntilCleared)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 50, true, false, _switch("--silent-after", "2"));
    TcpHost host(sim.tcpPort(m));
    EXPECT_EQ(_sync(host), kAnswer);
    host.write({0xAF, 0x01, 0x01});
    ASSERT_TRUE(sim.waitFor(
        m, [](const ModuleStats& s) { return s.silent; }, 1000));
    host.read(100, 100); // a heartbeat sent before
    EXPECT_EQ(_sync(host), Bytes());
    EXPECT_TRUE(Quiet(host, 200)) << "no heartbeats either";
    EXPECT_EQ(sim.stats(m).syncRequests, 2u);
    sim.setSilent(m, false);
    EXPECT_EQ(_sync(host, 1000), kAnswer);
}

TEST(ModsimFaults, SerialLineHangsUpOnACut)
{
    Simulator sim;
    size_t m = StartModule(sim, 0x04, 0, false, true, _switch("--close-on", "sync"));
    SerialHost line(sim.ptyPath(m));
    line.write({0x02, 0xAD, 0x02, 0x67, 0x00});
    End how;
    EXPECT_EQ(line.read(5, 2000, &how), Bytes());
    EXPECT_NE(how, End::Timeout) << "a hung-up line reads as ended";
    EXPECT_NE(how, End::Count);
    EXPECT_EQ(sim.stats(m).closedByModule, 1u);
}

TEST(ModsimFaults, SwitchesParseAsOnTheCommandLine)
{
    Faults f;
    std::string error;
    EXPECT_TRUE(modsim::applyFaultOption(f, "--reset-on", "loader-block:3#2,every", error));
    ASSERT_EQ(f.cuts.size(), 1u);
    EXPECT_EQ(f.cuts[0].kind, CutKind::Reset);
    EXPECT_EQ(f.cuts[0].onEvent, "loader-block:3");
    EXPECT_EQ(f.cuts[0].occurrence, 2u);
    EXPECT_TRUE(f.cuts[0].repeat);
    EXPECT_TRUE(modsim::applyFaultOption(f, "--garbage-bytes", "0xAB,0xcd", error));
    EXPECT_EQ(f.garbage, Bytes({0xAB, 0xCD}));
    EXPECT_FALSE(modsim::applyFaultOption(f, "--drop", "0", error));
    EXPECT_FALSE(modsim::applyFaultOption(f, "--corrupt", "1:2:00", error));
    EXPECT_FALSE(modsim::applyFaultOption(f, "--close-on", "#2", error));
    EXPECT_FALSE(modsim::applyFaultOption(f, "--garbage-bytes", "ABC", error));
}
