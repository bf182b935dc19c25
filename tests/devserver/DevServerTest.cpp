// The device server against the module simulator: a link shared through a
// server, found by the local search and by its beacon, used at the same time
// by the creating process, raw ZeroMQ clients in this process and a second
// process, with timeouts, frames that are no packets and stream batches.
//
// Every test runs in the test's own network namespace (its main makes it);
// where none can be made the tests are skipped.
#include "tests/devserver/DevServerSupport.h"
#include "tests/cli/ProcessRunner.h"
#include "tests/multicast/NetNamespace.h"
#include "tools/modsim/NetLab.h"

#include <lumbrixon/kxMulticast.h>
#include <lumbrixon/kxPortClaim.h>

using namespace devserver;

namespace
{
constexpr uint32_t kSerialA = 0x40F5849A;
constexpr uint32_t kSerialB = 0x51A0B2C3;

#define REQUIRE_PRIVATE_NETWORK()                                                                  \
    if (!testInPrivateNetwork())                                                                   \
    GTEST_SKIP() << "no private network namespace could be made: device-server tests skipped"

uint32_t Address(const char* dotted)
{
    uint32_t address = 0;
    EXPECT_TRUE(kxMulticast_ParseIPv4(dotted, &address));
    return address;
}

bool AnyReply(const kxPacket*, void*)
{
    return true;
}

// One request through a link and whether its reply is the expected one.
bool Exchange(uint32_t link, uint8_t option)
{
    Bytes request = GetRequest(option);
    if (Put(link, request[0], Bytes(request.begin() + 2, request.end())) != kxErrNone)
    {
        return false;
    }
    kxPacket* reply = kxLink_AwaitFirst(link, AnyReply, nullptr, 5000);
    bool right = reply != nullptr && WireOf(reply) == ExpectedReply(option);
    kxPacket_Destroy(&reply);
    return right;
}

modsim::Faults Withhold(const std::vector<int>& pattern)
{
    modsim::Faults faults;
    modsim::ReplyRule rule;
    rule.kind = modsim::ReplyFault::Withhold;
    rule.pattern = pattern;
    faults.replies.push_back(rule);
    return faults;
}
} // namespace

TEST(DevServer, RefusesWhatItCannotServe)
{
    EXPECT_EQ(kxServer_Create(0, 0, true), nullptr);
    EXPECT_EQ(kxServer_Create(987654, 0, true), nullptr);
    ScriptedPeer peer;
    uint32_t own = kxLink_Create(peer.Stream());
    ASSERT_NE(own, 0u);
    EXPECT_EQ(kxServer_Create(own, 0, true), nullptr) << "a caller's stream is not served";
    uint16_t port = 0;
    uint32_t address = 0;
    EXPECT_EQ(kxLink_CreateServer(own, &port, &address, true), 0u);
    EXPECT_EQ(kxLink_CreateServer(own, nullptr, &address, true), 0u);
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(own), 1);
    kxLink_Destroy(&own);

    kxServer* none = nullptr;
    EXPECT_EQ(kxServer_Destroy(&none), kxErrParam);
    EXPECT_EQ(kxServer_Destroy(nullptr), kxErrParam);
    EXPECT_EQ(kxServer_Start(nullptr), kxErrParam);
    EXPECT_EQ(kxServer_GetPort(nullptr, &port), kxErrParam);
    EXPECT_EQ(kxServer_SetModel(nullptr, 1), kxErrParam);
    EXPECT_EQ(kxServer_FlushFIFO(nullptr), kxErrParam);

    EXPECT_FALSE(kxServer_IsPacketFrame(nullptr, 0));
    Bytes ok = {0x06, 0x01, 0x03};
    Bytes longest(30, 0x00);
    longest[1] = 28;
    Bytes tooLong(31, 0x00);
    tooLong[1] = 29;
    Bytes mismatch = {0x06, 0x02, 0x03};
    EXPECT_TRUE(kxServer_IsPacketFrame(ok.data(), ok.size()));
    EXPECT_TRUE(kxServer_IsPacketFrame(longest.data(), longest.size()));
    EXPECT_FALSE(kxServer_IsPacketFrame(tooLong.data(), tooLong.size()));
    EXPECT_FALSE(kxServer_IsPacketFrame(mismatch.data(), mismatch.size()));
    EXPECT_FALSE(kxServer_IsPacketFrame(ok.data(), 1));
}

TEST(DevServer, LocalServersEachHoldTheirOwnPortAndTheLocalSearchFindsThemAll)
{
    REQUIRE_PRIVATE_NETWORK();
    SharedModule a(kSerialA);
    SharedModule b(kSerialB);
    ASSERT_TRUE(a.Share(true));
    ASSERT_TRUE(b.Share(true));
    EXPECT_EQ(a.served, Address("127.0.0.1"));
    EXPECT_NE(a.port, b.port);
    ASSERT_TRUE(WaitFor(
        []
        {
            return kxPortClaim_IsTaken(kxSERVER_LOCAL_PORT_FIRST) &&
                   kxPortClaim_IsTaken(kxSERVER_LOCAL_PORT_FIRST + 1);
        },
        2000))
        << "each responder holds a request port of its own";

    std::vector<linkSpec> found = SearchServers(0);
    ASSERT_EQ(found.size(), 2u);
    for (const linkSpec& spec : found)
    {
        const SharedModule& which = spec.serialNumber == kSerialA ? a : b;
        EXPECT_EQ(spec.type, static_cast<uint32_t>(kxLinkTypeServedTCPIP));
        EXPECT_EQ(spec.module, kAddress);
        EXPECT_EQ(spec.model, kModel);
        EXPECT_EQ(spec.router, 0u);
        EXPECT_EQ(spec.address, Address("127.0.0.1"));
        EXPECT_EQ(spec.port, which.port);
    }
    EXPECT_NE(found[0].serialNumber, found[1].serialNumber);

    // The raw query of the responder: BA DC CD AB to 224.0.0.7:9850, answered
    // with 128 bytes on 9950.
    uint32_t group = Address("224.0.0.7");
    kxMulticast* receiver = kxMulticast_Create(0, group, 9950, false);
    kxMulticast* sender = kxMulticast_Create(0, group, 9850, true);
    ASSERT_NE(receiver, nullptr);
    ASSERT_NE(sender, nullptr);
    const uint8_t query[4] = {0xBA, 0xDC, 0xCD, 0xAB};
    EXPECT_EQ(kxMulticast_Send(sender, query, sizeof(query)), 4);
    uint8_t reply[200];
    EXPECT_EQ(kxMulticast_Receive(receiver, reply, sizeof(reply)), 128);
    kxMulticast_Destroy(&receiver);
    kxMulticast_Destroy(&sender);

    // A server gone is no longer found, and its port is free again.
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(b.servedLink), 1);
    kxLink_Destroy(&b.client);
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(b.servedLink), -1)
        << "the served link went with the client link";
    found = SearchServers(0);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].serialNumber, kSerialA);
}

TEST(DevServer, AServerWithoutAModelAnswersNoSearch)
{
    REQUIRE_PRIVATE_NETWORK();
    SharedModule shared(kSerialA);
    kxServer* server = kxServer_Create(shared.link, 0, true);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(kxServer_Start(server), kxErrNone);
    EXPECT_EQ(kxServer_Start(server), kxErrBusy);
    uint16_t port = 0;
    uint32_t served = 0;
    EXPECT_EQ(kxServer_GetPort(server, &port), kxErrNone);
    EXPECT_EQ(kxServer_GetInterface(server, &served), kxErrNone);
    EXPECT_NE(port, 0);
    EXPECT_EQ(served, Address("127.0.0.1"));
    EXPECT_TRUE(SearchServers(0).empty());

    EXPECT_EQ(kxServer_SetModuleAddress(server, kAddress), kxErrNone);
    EXPECT_EQ(kxServer_SetModel(server, 0x42), kxErrNone);
    std::vector<linkSpec> found = SearchServers(0);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].model, 0x42u);
    EXPECT_EQ(found[0].port, port);
    uint8_t spec[kxSERVER_SPEC_SIZE];
    ASSERT_EQ(kxServer_GetNetworkSpec(server, spec), kxErrNone);
    const uint8_t head[8] = {6, 0, 0, 0, 0x9A, 0x84, 0xF5, 0x40};
    EXPECT_TRUE(std::equal(head, head + 8, spec)) << "type and serial number, little-endian";

    // The server answers clients without having learnt anything itself.
    RawClient client(served, port);
    client.Send(GetRequest(1));
    Bytes got;
    ASSERT_TRUE(client.Receive(got, 5000));
    EXPECT_EQ(got, ExpectedReply(1));
    EXPECT_EQ(kxServer_FlushFIFO(server), kxErrNone);
    EXPECT_EQ(kxServer_Destroy(&server), kxErrNone);
    EXPECT_EQ(server, nullptr);
    EXPECT_TRUE(Exchange(shared.link, 2)) << "the link runs on without its server";
}

TEST(DevServer, ASecondProcessUsesTheModuleWhileTheFirstDoes)
{
    REQUIRE_PRIVATE_NETWORK();
    SharedModule shared(kSerialA);
    ASSERT_TRUE(shared.Share(true));
    RunResult child;
    std::thread second(
        [&]
        {
            RunOptions options;
            options.timeoutMs = 60000;
            child = RunProgram(DEVSERVER_CLIENT, {"40F5849A", "60"}, options);
        });
    int right = 0;
    for (int i = 0; i < 60; i++)
    {
        right += Exchange(shared.client, i % 2 == 0 ? 1 : 2) ? 1 : 0;
    }
    second.join();
    EXPECT_EQ(right, 60);
    EXPECT_EQ(child.status, 0) << child.out << child.err;
    EXPECT_NE(child.out.find("found " + std::to_string(shared.port) + " type 6 module 6 model 16"),
              std::string::npos)
        << child.out;
    EXPECT_NE(child.out.find("ok 60 of 60"), std::string::npos) << child.out;
}

TEST(DevServer, ATimedOutRequestLeavesItsClientWithoutAReplyAndTheOthersGetTheirs)
{
    REQUIRE_PRIVATE_NETWORK();
    SharedModule shared(kSerialA);
    ASSERT_TRUE(shared.Share(true));
    // The module never answers a get of option 1.
    shared.sim.setFaults(shared.m, Withhold({0x20, 0x41, 0x20}));
    RawClient a(shared.served, shared.port);
    RawClient b(shared.served, shared.port);
    a.Send(GetRequest(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    b.Send(GetRequest(2));
    Bytes got;
    ASSERT_TRUE(b.Receive(got, 5000));
    EXPECT_EQ(got, ExpectedReply(2));
    EXPECT_FALSE(a.Receive(got, 300)) << "the request that timed out has no reply";

    // Later requests are answered to the client that asked, in either order.
    b.Send(GetRequest(5));
    a.Send(GetRequest(3));
    ASSERT_TRUE(a.Receive(got, 5000));
    EXPECT_EQ(got, ExpectedReply(3));
    ASSERT_TRUE(b.Receive(got, 5000));
    EXPECT_EQ(got, ExpectedReply(5));
    EXPECT_TRUE(Exchange(shared.client, 2)) << "the creator's client link still works";
    EXPECT_FALSE(a.Receive(got, 100));
    EXPECT_FALSE(b.Receive(got, 100));
}

TEST(DevServer, ALateReplyIsNotTakenForTheNextRequests)
{
    REQUIRE_PRIVATE_NETWORK();
    SharedModule shared(kSerialA);
    ASSERT_TRUE(shared.Share(true));
    // Every reply leaves 2500 ms late: after the server gave the request up.
    modsim::Faults late;
    late.delayMs = 2500;
    shared.sim.setFaults(shared.m, late);
    RawClient a(shared.served, shared.port);
    a.Send(GetRequest(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(2700));
    shared.sim.setFaults(shared.m, modsim::Faults());
    RawClient b(shared.served, shared.port);
    b.Send(GetRequest(2));
    Bytes got;
    ASSERT_TRUE(b.Receive(got, 5000));
    EXPECT_EQ(got, ExpectedReply(2));
    EXPECT_FALSE(a.Receive(got, 200));
}

TEST(DevServer, FramesThatAreNoPacketsAndClientsThatGoReachNothing)
{
    REQUIRE_PRIVATE_NETWORK();
    SharedModule shared(kSerialA, 0); // no heartbeats: the module hears only requests
    ASSERT_TRUE(shared.Share(true));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    unsigned before = shared.Received();
    modsim::ModuleStats stats = shared.sim.stats(shared.m);
    {
        RawClient bad(shared.served, shared.port);
        Bytes tooLong(31, 0x11);
        tooLong[0] = kAddress;
        tooLong[1] = 29;
        bad.Send(tooLong);
        bad.Send({});
        bad.Send({kAddress});
        bad.Send({kAddress, 5, 0x20, 0x41});
        bad.Send({0xAF, 0x01, 0x00}); // route off from a remote client
        zstr_sendm(bad.socket, "two");
        zstr_send(bad.socket, "frames");
        Bytes got;
        EXPECT_FALSE(bad.Receive(got, 500));
    }
    EXPECT_EQ(shared.Received(), before) << "nothing reached the module";
    EXPECT_EQ(shared.sim.stats(shared.m).routeOffRequests, stats.routeOffRequests);
    {
        // A client that sends a request and goes before its reply.
        RawClient gone(shared.served, shared.port);
        gone.Send(GetRequest(3));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    {
        // Far more than a packet: the server drops the connection.
        RawClient flood(shared.served, shared.port);
        flood.Send(Bytes(4000, 0x06));
    }
    RawClient good(shared.served, shared.port);
    good.Send(GetRequest(2));
    Bytes got;
    ASSERT_TRUE(good.Receive(got, 5000));
    EXPECT_EQ(got, ExpectedReply(2));
    EXPECT_TRUE(Exchange(shared.client, 1));
    EXPECT_EQ(shared.Received(), before + 3) << "the request of the client that went, then two";
}

TEST(DevServer, StreamBatchesArriveAtTheHeartbeatForTheSubscribersOnly)
{
    REQUIRE_PRIVATE_NETWORK();
    SharedModule shared(kSerialA, 300);
    ASSERT_TRUE(shared.Share(true));
    RawClient subscriber(shared.served, shared.port);
    RawClient other(shared.served, shared.port);
    // Stream option 9 of the test entity (a short every 50 ms), enabled twice.
    const Bytes enable = {kAddress, 7, 0x5D, 0x81, 0x20, kAddress, kTestEntity, 9, 0};
    subscriber.Send(enable);
    subscriber.Send(enable);
    std::vector<Bytes> batches;
    std::vector<Clock::time_point> times;
    int acks = 0;
    auto end = Clock::now() + std::chrono::milliseconds(2000);
    while (Clock::now() < end)
    {
        Bytes frame;
        if (!subscriber.Receive(frame, 100))
        {
            continue;
        }
        if (frame.size() >= 3 && frame[2] == 0x5D)
        {
            acks++;
            continue;
        }
        batches.push_back(frame);
        times.push_back(Clock::now());
    }
    EXPECT_EQ(acks, 2);
    ASSERT_GE(batches.size(), 4u);
    size_t packets = 0;
    for (size_t i = 0; i < batches.size(); i++)
    {
        std::vector<Bytes> split = SplitPackets(batches[i]);
        size_t bytes = 0;
        for (const Bytes& p : split)
        {
            bytes += p.size();
            ASSERT_GE(p.size(), 5u);
            EXPECT_EQ(p[2], kTestEntity);
            EXPECT_EQ(p[3], 9);
            EXPECT_EQ(p[4] & 0x40, 0x40) << "a streamed value";
        }
        EXPECT_EQ(bytes, batches[i].size()) << "a batch is whole packets";
        packets += split.size();
        if (i > 0)
        {
            EXPECT_NE(batches[i], batches[i - 1]) << "a subscriber enabled twice gets one copy";
            EXPECT_GE(times[i] - times[i - 1], std::chrono::milliseconds(150))
                << "batches go at the heartbeat, not packet by packet";
        }
    }
    EXPECT_GE(packets, batches.size() * 3) << "about six samples between heartbeats";
    Bytes frame;
    EXPECT_FALSE(other.Receive(frame, 100)) << "a client that did not subscribe gets none";
}

TEST(DevServer, TheBeaconAnnouncesANetworkServer)
{
    REQUIRE_PRIVATE_NETWORK();
    std::string error;
    ASSERT_TRUE(modsim::addVethPair("dsv0", "192.0.2.1/24", "dsv1", "192.0.2.2/24", error))
        << error;
    SharedModule shared(kSerialA);
    ASSERT_TRUE(shared.Share(false, Address("192.0.2.1")));
    EXPECT_EQ(shared.served, Address("192.0.2.1"));
    std::vector<linkSpec> found = SearchServers(Address("192.0.2.1"));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].serialNumber, kSerialA);
    EXPECT_EQ(found[0].type, static_cast<uint32_t>(kxLinkTypeServedTCPIP));
    EXPECT_EQ(found[0].address, Address("192.0.2.1"));
    EXPECT_EQ(found[0].port, shared.port);
    EXPECT_EQ(found[0].model, kModel);
    uint32_t client =
        kxLink_CreateClient(found[0].address, static_cast<uint16_t>(found[0].port), 0);
    ASSERT_NE(client, 0u);
    EXPECT_TRUE(Exchange(client, 3));
    kxLink_Destroy(&client);
    EXPECT_TRUE(SearchServers(0).empty()) << "a network server answers no local search";

    // Asked for 127.0.0.1 but not local only: the beacon goes out on the
    // first interface, and the frontend listens there too.
    SharedModule second(kSerialB);
    ASSERT_TRUE(second.Share(false, 0));
    EXPECT_TRUE(second.served == Address("192.0.2.1") || second.served == Address("192.0.2.2"));
    found = SearchServers(second.served);
    auto it = std::find_if(found.begin(), found.end(),
                           [](const linkSpec& spec) { return spec.serialNumber == kSerialB; });
    ASSERT_NE(it, found.end());
    EXPECT_EQ(it->address, second.served);
    EXPECT_EQ(it->port, second.port);
    RawClient remote(it->address, static_cast<uint16_t>(it->port));
    remote.Send(GetRequest(5));
    Bytes got;
    ASSERT_TRUE(remote.Receive(got, 5000));
    EXPECT_EQ(got, ExpectedReply(5));
}

TEST(DevServer, CreateServerGivesUpInBoundedTimeAndLeavesTheLinkToItsCaller)
{
    REQUIRE_PRIVATE_NETWORK();
    SharedModule shared(kSerialA);
    shared.sim.setSilent(shared.m, true);
    auto start = Clock::now();
    EXPECT_FALSE(shared.Share(true));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(shared.link), 1);
    EXPECT_TRUE(SearchServers(0).empty());
    shared.sim.setSilent(shared.m, false);
    EXPECT_TRUE(Exchange(shared.link, 1)) << "the link is the caller's, unserved";
    uint32_t again =
        kxLink_CreateTCPIP(kSerialA, TcpPeer::Loopback(), shared.sim.tcpPort(shared.m));
    EXPECT_EQ(again, shared.link) << "no server holds it any more";
    kxLink_Destroy(&again);
    ASSERT_TRUE(shared.Share(true));
    uint32_t refused =
        kxLink_CreateTCPIP(kSerialA, TcpPeer::Loopback(), shared.sim.tcpPort(shared.m));
    EXPECT_EQ(refused, 0u) << "a served link is reached through its server";
}

TEST(DevServer, SeveralClientThreadsEachGetTheirOwnReplies)
{
    REQUIRE_PRIVATE_NETWORK();
    SharedModule shared(kSerialA, 100);
    ASSERT_TRUE(shared.Share(true));
    constexpr int kThreads = 4;
    constexpr int kRequests = 40;
    std::atomic<int> right{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
    {
        threads.emplace_back(
            [&, t]
            {
                uint32_t client = kxLink_CreateClient(shared.served, shared.port, 0);
                if (client == 0)
                {
                    return;
                }
                const uint8_t options[4] = {1, 2, 3, 5};
                for (int i = 0; i < kRequests; i++)
                {
                    right += Exchange(client, options[(t + i) % 4]) ? 1 : 0;
                }
                kxLink_Destroy(&client);
            });
    }
    for (int i = 0; i < kRequests; i++)
    {
        right += Exchange(shared.client, 2) ? 1 : 0;
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(right.load(), (kThreads + 1) * kRequests);
}
