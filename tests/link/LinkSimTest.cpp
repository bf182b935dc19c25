// Links to the module simulator over TCP/IP and its serial line, with the
// simulator's faults. At this level the module answers every sync request
// (0xAD, length 0) with an empty packet from its address, so the tests use
// that as their request and its answer as the reply.
//
// Each fault ends in a defined state: the link runs again (by itself, or
// after kxLink_Reset where the connection went), and no reply that arrived
// intact is lost.
#include "tests/link/LinkTestSupport.h"
#include "tools/modsim/Simulator.h"

using modsim::CutKind;
using modsim::CutRule;
using modsim::Faults;
using modsim::ModuleStats;

namespace
{
constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kAddress = 0x06;

bool IsAnswer(const kxPacket* packet, void*)
{
    return packet->address == kAddress && packet->length == 0;
}

Faults Switch(const std::string& name, const std::string& value = "")
{
    Faults faults;
    std::string error;
    EXPECT_TRUE(modsim::applyFaultOption(faults, name, value, error)) << error;
    return faults;
}

// A simulated module and a started link to it, over TCP/IP or the serial line.
struct SimLink
{
    modsim::Simulator sim;
    size_t m = 0;
    uint32_t id = 0;

    explicit SimLink(bool serial, unsigned heartbeatMs = 0)
    {
        modsim::ModuleSpec spec;
        spec.module.serial = kSerial;
        spec.module.address = kAddress;
        spec.module.heartbeatMs = heartbeatMs;
        if (serial)
        {
            spec.serialLine = true;
        }
        else
        {
            spec.tcp.push_back(modsim::TcpSpec());
        }
        m = sim.addModule(spec);
        std::string error;
        EXPECT_TRUE(sim.start(&error)) << error;
        id = serial ? kxLink_CreateSerial(kSerial, sim.ptyPath(m).c_str(), 115200)
                    : kxLink_CreateTCPIP(kSerial, TcpPeer::Loopback(), sim.tcpPort(m));
        EXPECT_NE(id, 0u);
        EXPECT_TRUE(sim.waitFor(
            m, [](const ModuleStats& s) { return s.routeOn; }, 2000));
    }
    ~SimLink()
    {
        if (id != 0)
        {
            kxLink_Destroy(&id);
        }
        sim.stop();
    }
    uint32_t Status() { return kxLink_GetStatus(id); }
    // Sends `count` requests one after the other, each given `waitMs` for its
    // answer; the number of answers.
    int Exchange(int count, int waitMs = 300)
    {
        int answered = 0;
        for (int i = 0; i < count; i++)
        {
            Put(id, kxLINK_SYNC_ADDRESS, {});
            kxPacket* answer = kxLink_AwaitFirst(id, IsAnswer, nullptr, waitMs);
            if (answer != nullptr)
            {
                answered++;
                kxPacket_Destroy(&answer);
            }
        }
        return answered;
    }
    // Back to running with the faults off: the link finds the packet
    // boundaries again by itself, and the surplus answers of its sync are
    // discarded. Then every request is answered, and nothing else arrives.
    void ExpectRecovered()
    {
        sim.setFaults(m, Faults());
        EXPECT_TRUE(WaitFor([&] { return Status() == kLinkStatusRunning; }, 2000));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kxLink_DrainPackets(id, AnyPacket, nullptr);
        EXPECT_EQ(Exchange(10, 1000), 10);
        EXPECT_EQ(kxLink_GetPacket(id), nullptr);
    }
};

class LinkSim : public ::testing::TestWithParam<bool>
{
};
} // namespace

TEST_P(LinkSim, SyncsRoutesAnswersHeartbeatsAndRoutesOffAtTheEnd)
{
    SimLink link(GetParam(), 20);
    EXPECT_EQ(kxLink_Sync(link.id), kxErrNone);
    uint8_t address = 0;
    kxLink_GetSyncAddress(link.id, &address);
    EXPECT_EQ(address, kAddress);
    EXPECT_TRUE(link.sim.waitFor(
        link.m, [](const ModuleStats& s) { return s.heartbeatAnswers >= 10; }, 3000));
    ModuleStats stats = link.sim.stats(link.m);
    EXPECT_EQ(stats.unexpectedHeartbeatAnswers, 0u);
    // A loaded machine may delay an answer past the next heartbeat; the late
    // answer is still the right one, and no more than a few are late.
    EXPECT_LE(stats.heartbeatsUnanswered, 3u);
    EXPECT_LE(stats.lateHeartbeatAnswers, stats.heartbeatsUnanswered);
    EXPECT_EQ(kxLink_GetPacket(link.id), nullptr) << "heartbeats stay out of the in FIFO";
    EXPECT_EQ(link.Exchange(5), 5);

    kxLink_Destroy(&link.id);
    EXPECT_TRUE(link.sim.waitFor(
        link.m, [](const ModuleStats& s) { return s.routeOffRequests == 1 && !s.routeOn; }, 2000));
}

TEST_P(LinkSim, DroppedRepliesAreMissingAndTheLinkGoesOn)
{
    SimLink link(GetParam());
    link.sim.setFaults(link.m, Switch("--drop", "4"));
    EXPECT_EQ(link.Exchange(20), 15);
    EXPECT_EQ(link.Status(), kLinkStatusRunning);
    EXPECT_EQ(link.sim.stats(link.m).packetsDropped, 5u);
    link.ExpectRecovered();
}

TEST_P(LinkSim, AModuleThatStopsAnsweringLeavesARunningLinkThatStillStops)
{
    SimLink link(GetParam(), 20);
    link.sim.setSilent(link.m, true);
    EXPECT_EQ(link.Exchange(3, 100), 0);
    EXPECT_EQ(link.Status(), kLinkStatusRunning);
    auto start = Clock::now();
    kxLink_Destroy(&link.id);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

INSTANTIATE_TEST_SUITE_P(TcpAndSerial, LinkSim, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info)
                         { return info.param ? "Serial" : "Tcp"; });

TEST(LinkSimSerial, ACorruptedFrameIsDroppedByItsCrcAndTheLinkGoesOn)
{
    SimLink link(true);
    link.sim.setFaults(link.m, Switch("--corrupt", "3"));
    // Every third answer fails its CRC; the others all arrive, and the link
    // never loses its framing.
    EXPECT_EQ(link.Exchange(12), 8);
    EXPECT_EQ(link.Status(), kLinkStatusRunning);
    EXPECT_EQ(link.sim.stats(link.m).packetsCorrupted, 4u);
    link.ExpectRecovered();
}

TEST(LinkSimSerial, GarbageBeforeAReplyIsABadFrameOfItsOwn)
{
    SimLink link(true);
    link.sim.setFaults(link.m, Switch("--garbage", "2"));
    EXPECT_EQ(link.Exchange(10), 10);
    EXPECT_EQ(link.Status(), kLinkStatusRunning);
    EXPECT_EQ(link.sim.stats(link.m).garbageSent, 5u);
}

TEST(LinkSimSerial, AHungUpLineGivesStatus6AndIsNotRebuiltByReset)
{
    SimLink link(true);
    link.sim.setFaults(link.m, Switch("--close-on", "sync"));
    EXPECT_EQ(link.Exchange(1, 200), 0);
    EXPECT_TRUE(WaitFor([&] { return link.Status() == kLinkStatusIOError; }, 1000));
    EXPECT_EQ(kxLink_Reset(link.id), kxErrParam);
    EXPECT_EQ(link.Status(), kLinkStatusIOError);
}

// On TCP/IP nothing checks the bytes: a corrupted address (odd) or length
// (29 or more) loses the framing, and the link syncs again by itself.
TEST(LinkSimTcp, ACorruptedAddressOrLengthByteMakesTheLinkResync)
{
    for (const char* corrupt : {"3:0:01", "3:1:20"})
    {
        SimLink link(false);
        link.sim.setFaults(link.m, Switch("--corrupt", corrupt));
        auto start = Clock::now();
        link.Exchange(9);
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        ModuleStats stats = link.sim.stats(link.m);
        EXPECT_GT(stats.packetsCorrupted, 0u) << corrupt;
        EXPECT_GE(stats.syncRequests, 9u + kxLINK_SYNC_REQUESTS) << corrupt;
        // Resyncing answers that keep losing the framing sends requests at a
        // bounded rate, not ever more of them.
        EXPECT_LE(stats.syncRequests,
                  9u + kxLINK_SYNC_REQUESTS * (seconds * 1000 / kxLINK_SYNC_RESEND_MS + 2))
            << corrupt;
        link.ExpectRecovered();
    }
}

TEST(LinkSimTcp, GarbageBeforeAReplyMakesTheLinkResync)
{
    SimLink link(false);
    link.sim.setFaults(link.m, Switch("--garbage", "3"));
    link.Exchange(6);
    EXPECT_GT(link.sim.stats(link.m).garbageSent, 0u);
    link.ExpectRecovered();
}

TEST(LinkSimTcp, AResetConnectionGivesStatus6ThenRunsAgainAfterReset)
{
    SimLink link(false);
    link.sim.setFaults(link.m, Switch("--reset-after", "1"));
    link.Exchange(1, 500);
    EXPECT_TRUE(WaitFor([&] { return link.Status() == kLinkStatusIOError; }, 1000));
    EXPECT_EQ(link.sim.stats(link.m).resetByModule, 1u);
    EXPECT_EQ(kxLink_Reset(link.id), kxErrNone);
    EXPECT_EQ(link.Status(), kLinkStatusRunning);
    EXPECT_TRUE(link.sim.waitFor(
        link.m,
        [](const ModuleStats& s) { return s.connectionsAccepted == 2 && s.routeOnRequests == 2; },
        2000));
    EXPECT_EQ(link.Exchange(5), 5);
}

TEST(LinkSimTcp, AnOrderlyCloseGivesStatus6UntilReset)
{
    SimLink link(false, 20);
    link.sim.setFaults(link.m, Switch("--close-after", "1"));
    link.Exchange(1, 500);
    EXPECT_TRUE(WaitFor([&] { return link.Status() == kLinkStatusIOError; }, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(link.Status(), kLinkStatusIOError) << "the link does not look alive";
    EXPECT_EQ(link.sim.stats(link.m).closedByModule, 1u);
    EXPECT_EQ(kxLink_Reset(link.id), kxErrNone);
    EXPECT_EQ(link.Exchange(5), 5);
    EXPECT_TRUE(link.sim.waitFor(
        link.m, [](const ModuleStats& s) { return s.heartbeatAnswers >= 3; }, 2000));
}

TEST(LinkSimTcp, StopAndResetRacingTrafficInBothDirections)
{
    SimLink link(false, 5);
    std::atomic<bool> done{false};
    std::atomic<int> answers{0};
    std::thread sender(
        [&]
        {
            while (!done)
            {
                Put(link.id, kxLINK_SYNC_ADDRESS, {});
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
    std::thread receiver(
        [&]
        {
            while (!done)
            {
                kxPacket* answer = kxLink_AwaitFirst(link.id, IsAnswer, nullptr, 20);
                if (answer != nullptr)
                {
                    answers++;
                    kxPacket_Destroy(&answer);
                }
                else
                {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });
    for (int round = 0; round < 8; round++)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        if (round % 2 == 0)
        {
            EXPECT_EQ(kxLink_Reset(link.id), kxErrNone);
        }
        else
        {
            EXPECT_EQ(kxLink_Stop(kxLinkManagerInternal_GetLink(link.id)), kxErrNone);
            EXPECT_EQ(kxLink_Start(link.id), kxErrNone);
        }
    }
    done = true;
    sender.join();
    receiver.join();
    EXPECT_GT(answers, 0);
    link.ExpectRecovered();
    EXPECT_GT(link.sim.stats(link.m).heartbeatAnswers, 0u);
}
