// The TCP/IP search against the module simulator, inside the test's own
// network namespace (its main makes it): a veth pair with a TEST-NET address
// beside loopback, the simulator's modules answering on that address.
#include "tests/multicast/NetNamespace.h"
#include "tools/modsim/NetLab.h"
#include "tools/modsim/Simulator.h"

#include <lumbrixon/discover.h>
#include <lumbrixon/kxLink.h>
#include <lumbrixon/kxLinkManagerInternal.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <atomic>
#include <net/if.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace
{
constexpr const char* kInterface = "192.0.2.1";

uint32_t Address(const char* text)
{
    in_addr address = {};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

modsim::ModuleSpec Module(uint32_t serial, uint8_t address, uint8_t model, unsigned replyLength)
{
    modsim::ModuleSpec spec;
    spec.module.serial = serial;
    spec.module.address = address;
    spec.module.model = model;
    spec.module.heartbeatMs = 0;
    spec.tcp.push_back({kInterface, 0});
    spec.discovery = modsim::DiscoverySpec{kInterface, replyLength, 0};
    return spec;
}

struct Found
{
    std::vector<linkSpec> specs;
    size_t stopAfter = 0; // 0: never stop
};

bool Collect(const linkSpec* spec, uint8_t* success, void* ref)
{
    auto* found = static_cast<Found*>(ref);
    found->specs.push_back(*spec);
    *success = 1;
    return found->stopAfter == 0 || found->specs.size() < found->stopAfter;
}

const linkSpec* BySerial(const Found& found, uint32_t serial)
{
    for (const linkSpec& spec : found.specs)
    {
        if (spec.serialNumber == serial)
        {
            return &spec;
        }
    }
    return nullptr;
}

int64_t MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class NetworkSearch : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!testInPrivateNetwork())
        {
            GTEST_SKIP() << "no private network namespace here: the search is not sent";
        }
        if (if_nametoindex("dsc0") == 0)
        {
            std::string error;
            ASSERT_TRUE(modsim::addVethPair("dsc0", "192.0.2.1/24", "dsc1", "", error)) << error;
        }
    }
    void Start()
    {
        std::string error;
        ASSERT_TRUE(sim.start(&error)) << error;
    }
    modsim::Simulator sim;
};
} // namespace

TEST_F(NetworkSearch, EveryModuleIsFoundWithEveryFieldAndCanBeReachedByIt)
{
    size_t a = sim.addModule(Module(0x40F5849A, 0x06, 0x12, 16));
    size_t b = sim.addModule(Module(0x40F5849B, 0x04, 0x10, 16));
    Start();

    for (uint32_t through : {0u, Address(kInterface), Address("127.0.0.1")})
    {
        Found found;
        EXPECT_EQ(kxDiscovery_EnumerateModules(kxLinkTypeTCPIP, Collect, &found, through), 2);
        ASSERT_EQ(found.specs.size(), 2u);
        const linkSpec* first = BySerial(found, 0x40F5849A);
        const linkSpec* second = BySerial(found, 0x40F5849B);
        ASSERT_NE(first, nullptr);
        ASSERT_NE(second, nullptr);
        for (auto [spec, module, address, model] :
             {std::tuple{first, a, 0x06u, 0x12u}, std::tuple{second, b, 0x04u, 0x10u}})
        {
            EXPECT_EQ(spec->type, 2u);
            EXPECT_EQ(spec->module, address);
            EXPECT_EQ(spec->router, address);
            EXPECT_EQ(spec->routerSerialNumber, spec->serialNumber);
            EXPECT_EQ(spec->model, model);
            EXPECT_EQ(spec->address, Address(kInterface));
            EXPECT_EQ(spec->port, sim.tcpPort(module));
            const uint8_t* tail = reinterpret_cast<const uint8_t*>(spec) + 32;
            EXPECT_EQ(std::vector<uint8_t>(tail, tail + 96), std::vector<uint8_t>(96, 0));
        }
    }
    EXPECT_EQ(sim.stats(a).discoveryRequests, 3u) << "one request a search";

    // What the search found is what a link needs.
    linkSpec* found = kxDiscovery_FindModule(kxLinkTypeTCPIP, 0x40F5849B, 0);
    ASSERT_NE(found, nullptr);
    uint32_t id = kxLink_CreateTCPIP(found->serialNumber, found->address, (uint16_t)found->port);
    kxLinkSpec_Destroy(&found);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(sim.waitFor(
        b, [](const modsim::ModuleStats& s) { return s.routeOn; }, 2000));
    EXPECT_EQ(kxLink_Destroy(&id), kxErrNone);
}

TEST_F(NetworkSearch, ATwelveByteReplyHasModel255AndOneUnderEightBytesIsIgnored)
{
    size_t twelve = sim.addModule(Module(0x40F5849A, 0x06, 0x12, 12));
    size_t seven = sim.addModule(Module(0x40F5849B, 0x04, 0x10, 7));
    size_t eight = sim.addModule(Module(0x40F5849C, 0x05, 0x11, 8));
    Start();
    Found found;
    EXPECT_EQ(kxDiscovery_EnumerateModules(kxLinkTypeTCPIP, Collect, &found, 0), 2);
    ASSERT_EQ(found.specs.size(), 2u);
    const linkSpec* spec = BySerial(found, 0x40F5849A);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->model, 255u);
    EXPECT_EQ(spec->module, 0x06u);
    EXPECT_EQ(spec->port, sim.tcpPort(twelve));
    spec = BySerial(found, 0x40F5849C);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->model, 255u);
    EXPECT_EQ(spec->port, sim.tcpPort(eight));
    EXPECT_EQ(BySerial(found, 0x40F5849B), nullptr);
    EXPECT_EQ(sim.stats(seven).discoveryReplies, 1u) << "the short reply was sent";
}

TEST_F(NetworkSearch, NothingAnsweringGivesZeroAfterTheTimeOut)
{
    Found found;
    auto start = Clock::now();
    EXPECT_EQ(kxDiscovery_EnumerateModules(kxLinkTypeTCPIP, Collect, &found, 0), 0);
    int64_t took = MsSince(start);
    EXPECT_TRUE(found.specs.empty());
    EXPECT_GE(took, 1900);
    EXPECT_LT(took, 4000);

    // A module that hears the search and keeps quiet is the same.
    size_t quiet = sim.addModule(Module(0x40F5849A, 0x06, 0x12, 0));
    Start();
    EXPECT_EQ(kxDiscovery_EnumerateModules(kxLinkTypeTCPIP, Collect, &found, 0), 0);
    EXPECT_EQ(sim.stats(quiet).discoveryRequests, 1u);
    EXPECT_TRUE(found.specs.empty());
}

TEST_F(NetworkSearch, AStreamOfDatagramsThatAreNoRepliesDoesNotProlongTheSearch)
{
    // Short datagrams to the reply port every 5 ms for up to 4 s, longer
    // than the search's time-out; each one alone would restart a per-read
    // time-out.
    std::atomic<bool> done{false};
    std::thread flood(
        [&]
        {
            int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in to = {};
            to.sin_family = AF_INET;
            to.sin_port = htons(kxDISCOVERY_REPLY_PORT);
            to.sin_addr.s_addr = Address("127.0.0.1");
            const uint8_t junk[3] = {0x00, 0x06, 0xA0};
            for (int i = 0; i < 800 && !done; i++)
            {
                sendto(s, junk, sizeof junk, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            close(s);
        });
    Found found;
    auto start = Clock::now();
    EXPECT_EQ(kxDiscovery_EnumerateModules(kxLinkTypeTCPIP, Collect, &found, 0), 0);
    int64_t took = MsSince(start);
    done = true;
    flood.join();
    EXPECT_TRUE(found.specs.empty());
    EXPECT_GE(took, 1900);
    EXPECT_LT(took, 3000);
}

TEST_F(NetworkSearch, ACallbackThatStopsEndsTheSearchAtOnce)
{
    sim.addModule(Module(0x40F5849A, 0x06, 0x12, 16));
    sim.addModule(Module(0x40F5849B, 0x04, 0x10, 16));
    Start();
    Found found;
    found.stopAfter = 1;
    auto start = Clock::now();
    EXPECT_EQ(kxDiscovery_EnumerateModules(kxLinkTypeTCPIP, Collect, &found, 0), 1);
    EXPECT_LT(MsSince(start), 1500) << "no wait for the time-out";
    EXPECT_EQ(found.specs.size(), 1u);
}

TEST_F(NetworkSearch, FindModuleAndFindFirstModule)
{
    sim.addModule(Module(0x40F5849A, 0x06, 0x12, 16));
    size_t b = sim.addModule(Module(0x40F5849B, 0x04, 0x10, 16));
    Start();
    linkSpec* spec = kxDiscovery_FindModule(kxLinkTypeTCPIP, 0x40F5849B, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, 2u);
    EXPECT_EQ(spec->serialNumber, 0x40F5849Bu);
    EXPECT_EQ(spec->module, 0x04u);
    EXPECT_EQ(spec->port, sim.tcpPort(b));
    kxLinkSpec_Destroy(&spec);

    EXPECT_EQ(kxDiscovery_FindModule(kxLinkTypeTCPIP, 0x12345678, 0), nullptr);

    spec = kxDiscovery_FindFirstModule(kxLinkTypeTCPIP, Address(kInterface));
    ASSERT_NE(spec, nullptr);
    EXPECT_TRUE(spec->serialNumber == 0x40F5849A || spec->serialNumber == 0x40F5849B);
    EXPECT_EQ(spec->address, Address(kInterface));
    kxLinkSpec_Destroy(&spec);
}
