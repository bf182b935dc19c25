// The link registry against the module simulator over TCP/IP: one link per
// device shared by use count, torn down with the last use, rebuilt by a reset
// after the module closed the connection, and creates and destroys of one
// device racing on several threads.
#include "tests/link/LinkTestSupport.h"
#include "tools/modsim/Simulator.h"

#include <memory>

using modsim::ModuleStats;

namespace
{
constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kAddress = 0x06;

bool IsAnswer(const kxPacket* packet, void*)
{
    return packet->address == kAddress && packet->length == 0;
}

modsim::ModuleSpec Module(uint16_t port = 0)
{
    modsim::ModuleSpec spec;
    spec.module.serial = kSerial;
    spec.module.address = kAddress;
    spec.module.heartbeatMs = 0;
    spec.tcp.push_back({"127.0.0.1", port});
    return spec;
}

// One request and its answer.
bool Exchange(uint32_t id, uint32_t waitMs = 1000)
{
    if (Put(id, kxLINK_SYNC_ADDRESS, {}) != kxErrNone)
    {
        return false;
    }
    kxPacket* answer = kxLink_AwaitFirst(id, IsAnswer, nullptr, waitMs);
    bool got = answer != nullptr;
    kxPacket_Destroy(&answer);
    return got;
}

int64_t MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

struct SimModule
{
    modsim::Simulator sim;
    size_t m = 0;
    explicit SimModule(uint16_t port = 0)
    {
        m = sim.addModule(Module(port));
        std::string error;
        EXPECT_TRUE(sim.start(&error)) << error;
    }
    uint16_t Port() const { return sim.tcpPort(m); }
    ModuleStats Stats() const { return sim.stats(m); }
};
} // namespace

TEST(Registry, TheSameDeviceTwiceIsOneLinkTornDownWithItsLastUse)
{
    SimModule module;
    uint32_t first = kxLink_CreateTCPIP(kSerial, TcpPeer::Loopback(), module.Port());
    ASSERT_NE(first, 0u);
    uint32_t second = kxLink_CreateTCPIP(kSerial, TcpPeer::Loopback(), module.Port());
    EXPECT_EQ(second, first);
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(first), 2);
    EXPECT_TRUE(module.sim.waitFor(
        module.m, [](const ModuleStats& s) { return s.routeOnRequests == 1; }, 2000));
    EXPECT_EQ(module.Stats().connectionsAccepted, 1u);

    uint32_t id = first;
    EXPECT_EQ(kxLink_Destroy(&second), kxErrNone);
    EXPECT_EQ(second, 0u);
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(id), 1);
    EXPECT_EQ(kxLink_GetStatus(id), (uint32_t)kLinkStatusRunning);
    EXPECT_TRUE(Exchange(id));

    EXPECT_EQ(kxLink_Destroy(&first), kxErrNone);
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(id), -1);
    EXPECT_EQ(kxLinkManagerInternal_GetLink(id), nullptr);
    EXPECT_EQ(kxLink_GetStatus(id), (uint32_t)kLinkStatusInvalid);
    EXPECT_EQ(kxLink_Destroy(&id), kxErrParam);
    // The threads sent route-off in their final drain and the stream closed.
    EXPECT_TRUE(module.sim.waitFor(
        module.m,
        [](const ModuleStats& s)
        { return s.routeOffRequests == 1 && s.closedByHost == 1 && s.connectionsOpen == 0; },
        2000));

    uint32_t again = kxLink_CreateTCPIP(kSerial, TcpPeer::Loopback(), module.Port());
    EXPECT_GT(again, id) << "identifiers are not reused";
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(again), 1);
    EXPECT_EQ(kxLink_Destroy(&again), kxErrNone);
}

TEST(Registry, AResetAfterTheModuleClosedTheConnectionBringsTheLinkBack)
{
    SimModule module;
    modsim::Faults faults;
    faults.cuts.push_back({modsim::CutKind::Close, 1, "", 1, false});
    module.sim.setFaults(module.m, faults);
    uint32_t id = kxLink_CreateTCPIP(kSerial, TcpPeer::Loopback(), module.Port());
    ASSERT_NE(id, 0u);
    Exchange(id, 300);
    EXPECT_TRUE(WaitFor([&] { return kxLink_GetStatus(id) == kLinkStatusIOError; }, 2000));
    EXPECT_EQ(module.Stats().closedByModule, 1u);
    EXPECT_EQ(kxLink_Reset(id), kxErrNone);
    EXPECT_EQ(kxLink_GetStatus(id), (uint32_t)kLinkStatusRunning);
    EXPECT_TRUE(Exchange(id));
    EXPECT_TRUE(module.sim.waitFor(
        module.m, [](const ModuleStats& s) { return s.connectionsAccepted == 2; }, 2000));
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(id), 1) << "a reset takes no use";
    EXPECT_EQ(kxLink_Destroy(&id), kxErrNone);
}

TEST(Registry, AResetWaitsForTheModuleToAcceptAgainOrGivesUpInBoundedTime)
{
    auto module = std::make_unique<SimModule>();
    uint16_t port = module->Port();
    uint32_t id = kxLink_CreateTCPIP(kSerial, TcpPeer::Loopback(), port);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(Exchange(id));

    // Gone, and back on the same port while the reset tries again.
    module.reset();
    EXPECT_TRUE(WaitFor([&] { return kxLink_GetStatus(id) == kLinkStatusIOError; }, 3000));
    std::unique_ptr<SimModule> back;
    std::thread comeBack(
        [&]
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            back = std::make_unique<SimModule>(port);
        });
    auto start = Clock::now();
    EXPECT_EQ(kxLink_Reset(id), kxErrNone);
    int64_t took = MsSince(start);
    comeBack.join();
    EXPECT_GE(took, 400);
    EXPECT_LT(took, kxLINK_RESET_ATTEMPTS * kxLINK_RESET_PAUSE_MS);
    EXPECT_EQ(kxLink_GetStatus(id), (uint32_t)kLinkStatusRunning);
    EXPECT_TRUE(Exchange(id));

    // Gone for good: the reset gives up and leaves a link without a stream.
    back.reset();
    EXPECT_TRUE(WaitFor([&] { return kxLink_GetStatus(id) == kLinkStatusIOError; }, 3000));
    start = Clock::now();
    kxLink_Reset(id);
    took = MsSince(start);
    EXPECT_GE(took, (kxLINK_RESET_ATTEMPTS - 1) * kxLINK_RESET_PAUSE_MS);
    EXPECT_LT(took, kxLINK_RESET_ATTEMPTS * kxLINK_RESET_PAUSE_MS + 3000);
    EXPECT_NE(kxLink_GetStatus(id), (uint32_t)kLinkStatusRunning);
    EXPECT_FALSE(Exchange(id, 200));
    start = Clock::now();
    EXPECT_EQ(kxLink_Destroy(&id), kxErrNone);
    EXPECT_LT(MsSince(start), 3000);
}

// Several threads create and give up links to one device, and share them by
// identifier, all at once: every create gets a link that runs while it is
// held, the last use always tears it down, and no use is ever taken of an
// entry on its way out.
TEST(Registry, CreatesAndDestroysOfOneDeviceRacingOnSeveralThreads)
{
    SimModule module;
    uint16_t port = module.Port();
    constexpr int kThreads = 4;
    constexpr int kRounds = 12;
    std::atomic<uint32_t> latest{0};
    std::atomic<int> created{0}, failed{0}, shared{0}, answered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
    {
        threads.emplace_back(
            [&, t]
            {
                for (int round = 0; round < kRounds; round++)
                {
                    uint32_t id = kxLink_CreateTCPIP(kSerial, TcpPeer::Loopback(), port);
                    if (id == 0)
                    {
                        failed++;
                        continue;
                    }
                    created++;
                    latest = id;
                    if (kxLinkManagerInternal_GetUseCount(id) < 1)
                    {
                        failed++;
                    }
                    // A use by identifier of whatever link another thread made
                    // last: it may be gone, but a use taken is a running link.
                    uint32_t other = kxLink_CreateClient(0, 0, latest.load());
                    if (other != 0)
                    {
                        shared++;
                        if (kxLink_GetStatus(other) == kLinkStatusInvalid)
                        {
                            failed++;
                        }
                        kxLink_Destroy(&other);
                    }
                    if ((round + t) % 3 == 0 && Exchange(id, 1000))
                    {
                        answered++;
                    }
                    if (kxLink_Destroy(&id) != kxErrNone)
                    {
                        failed++;
                    }
                }
            });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(created, kThreads * kRounds);
    EXPECT_GT(shared, 0);
    EXPECT_GT(answered, 0);
    EXPECT_EQ(kxLinkManagerInternal_LookupByIdentifier(kSerial, kxLINKTYPE_TCPIP), 0u);
    EXPECT_TRUE(module.sim.waitFor(
        module.m, [](const ModuleStats& s) { return s.connectionsOpen == 0; }, 3000));
    // Every connection was the link's, and each one was closed by it.
    ModuleStats stats = module.Stats();
    EXPECT_GE(stats.connectionsAccepted, 1u);
    EXPECT_LE(stats.connectionsAccepted, (unsigned)(kThreads * kRounds));
    EXPECT_EQ(stats.closedByHost, stats.connectionsAccepted);
}
