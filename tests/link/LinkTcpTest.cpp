// Links over TCP/IP to a module played by a plain socket on 127.0.0.1: the
// registry's create and destroy, sync, heartbeats, an orderly close and a
// reset of the connection, idle cost, and stop and reset racing traffic.
#include "tests/link/LinkTestSupport.h"

#include <sys/resource.h>

namespace
{
constexpr uint32_t kSerial = 0x40F5849A;

double ProcessCpuSeconds()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A TCP link to the peer, accepted and routed.
struct TcpLink
{
    TcpPeer peer;
    uint32_t id = 0;

    TcpLink()
    {
        id = kxLink_CreateTCPIP(kSerial, TcpPeer::Loopback(), peer.port);
        EXPECT_NE(id, 0u);
        EXPECT_TRUE(peer.Accept(1000));
        EXPECT_TRUE(peer.AwaitCount(kRouteOn, 1, 1000));
    }
    ~TcpLink()
    {
        if (id != 0)
        {
            kxLink_Destroy(&id);
        }
    }
};
} // namespace

TEST(LinkTcp, RequestAndReplyThroughTheRegistry)
{
    TcpLink link;
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(link.id), 1);
    uint32_t ident0 = 0, ident1 = 0, ident2 = 0, type = 0;
    ASSERT_TRUE(kxLinkManagerInternal_GetIdentity(link.id, &ident0, &ident1, &ident2, &type));
    EXPECT_EQ(ident0, kSerial);
    EXPECT_EQ(ident1, TcpPeer::Loopback());
    EXPECT_EQ(ident2, link.peer.port);
    EXPECT_EQ(type, static_cast<uint32_t>(kxLINKTYPE_TCPIP));

    ASSERT_EQ(Put(link.id, 0x04, {0x03, 0x48, 0x20}), kxErrNone);
    ASSERT_TRUE(link.peer.AwaitCount({0x04, 0x03, 0x03, 0x48, 0x20}, 1, 1000));
    link.peer.Send({0x04, 0x04, 0x03, 0x48, 0x20, 0x0B});
    uint8_t command = 0x03;
    kxPacket* reply = kxLink_AwaitFirst(link.id, FirstDataByteIs, &command, 1000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(WireOf(reply), Bytes({0x04, 0x04, 0x03, 0x48, 0x20, 0x0B}));
    kxPacket_Destroy(&reply);
}

TEST(LinkTcp, ASecondCreateSharesTheLinkUntilTheLastDestroy)
{
    TcpLink link;
    uint32_t again = kxLink_CreateTCPIP(kSerial, TcpPeer::Loopback(), link.peer.port);
    EXPECT_EQ(again, link.id);
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(link.id), 2);
    EXPECT_FALSE(link.peer.Accept(100));
    EXPECT_EQ(kxLink_Destroy(&again), kxErrNone);
    EXPECT_EQ(again, 0u);
    EXPECT_EQ(kxLink_GetStatus(link.id), kLinkStatusRunning);
    uint32_t last = link.id;
    link.id = 0;
    EXPECT_EQ(kxLink_Destroy(&last), kxErrNone);
    // Route-off reached the module before the connection closed.
    EXPECT_TRUE(link.peer.AwaitCount(kRouteOff, 1, 1000));
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(again), -1);
    EXPECT_EQ(kxLink_Destroy(&last), kxErrParam);
}

TEST(LinkTcp, SyncOverTheSocket)
{
    TcpLink link;
    std::thread module(
        [&]
        {
            if (link.peer.AwaitCount(kSyncRequest, 6, 2000))
            {
                link.peer.Send({0x06, 0x00, 0x06, 0x00, 0x06, 0x00});
            }
        });
    EXPECT_EQ(kxLink_Sync(link.id), kxErrNone);
    module.join();
    uint8_t address = 0;
    kxLink_GetSyncAddress(link.id, &address);
    EXPECT_EQ(address, 6);
}

TEST(LinkTcp, HeartbeatAnsweredOnTheWire)
{
    TcpLink link;
    link.peer.Send({0x04, 0x02, 0x00, 0x01});
    EXPECT_TRUE(link.peer.AwaitCount({0x04, 0x02, 0x00, 0x03}, 1, 1000));
    EXPECT_EQ(kxLink_GetPacket(link.id), nullptr);
}

TEST(LinkTcp, AnOrderlyCloseGivesStatus6UntilReset)
{
    TcpLink link;
    link.peer.CloseInOrder();
    ASSERT_TRUE(WaitFor([&] { return kxLink_GetStatus(link.id) == kLinkStatusIOError; }, 1000));
    // It stays so: the module is gone, not merely quiet.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(kxLink_GetStatus(link.id), kLinkStatusIOError);
    EXPECT_EQ(kxLink_AwaitFirst(link.id, AnyPacket, nullptr, 500), nullptr);

    EXPECT_EQ(kxLink_Reset(link.id), kxErrNone);
    ASSERT_TRUE(link.peer.Accept(1000));
    EXPECT_TRUE(link.peer.AwaitCount(kRouteOn, 1, 1000));
    EXPECT_EQ(kxLink_GetStatus(link.id), kLinkStatusRunning);
    link.peer.Send({0x04, 0x01, 0x51});
    kxPacket* packet = kxLink_AwaitFirst(link.id, AnyPacket, nullptr, 1000);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->data[0], 0x51);
    kxPacket_Destroy(&packet);
}

TEST(LinkTcp, AResetConnectionGivesStatus6ThenRunsAgainAfterReset)
{
    TcpLink link;
    link.peer.ResetConnection();
    ASSERT_TRUE(WaitFor([&] { return kxLink_GetStatus(link.id) == kLinkStatusIOError; }, 1000));
    // Nothing connected again behind the link's back.
    EXPECT_FALSE(link.peer.Accept(200));
    EXPECT_EQ(kxLink_Reset(link.id), kxErrNone);
    ASSERT_TRUE(link.peer.Accept(1000));
    EXPECT_TRUE(link.peer.AwaitCount(kRouteOn, 1, 1000));
    EXPECT_EQ(kxLink_GetStatus(link.id), kLinkStatusRunning);
    ASSERT_EQ(Put(link.id, 0x04, {0x52}), kxErrNone);
    EXPECT_TRUE(link.peer.AwaitCount({0x04, 0x01, 0x52}, 1, 1000));
}

TEST(LinkTcp, AResetWithNobodyListeningGivesUpInBoundedTime)
{
    TcpLink link;
    link.peer.StopListening();
    link.peer.ResetConnection();
    ASSERT_TRUE(WaitFor([&] { return kxLink_GetStatus(link.id) == kLinkStatusIOError; }, 1000));
    auto start = Clock::now();
    EXPECT_EQ(kxLink_Reset(link.id), kxErrNone);
    EXPECT_LT(Clock::now() - start,
              std::chrono::milliseconds(kxLINK_RESET_ATTEMPTS * (kxLINK_RESET_PAUSE_MS + 100)));
    // The link runs without a stream until it is reset again or destroyed.
    EXPECT_TRUE(WaitFor([&] { return kxLink_GetStatus(link.id) == kLinkStatusIOError; }, 1000));
}

TEST(LinkTcp, AnIdleLinkDoesNotSpin)
{
    TcpLink link;
    double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(ProcessCpuSeconds() - before, 0.2);
}

TEST(LinkTcp, CreateFailsCleanlyWhenNobodyListens)
{
    uint16_t port = 0;
    {
        TcpPeer closed;
        port = closed.port;
    }
    EXPECT_EQ(kxLink_CreateTCPIP(kSerial, TcpPeer::Loopback(), port), 0u);
    EXPECT_EQ(kxLinkManagerInternal_LookupByIdentifier(kSerial, kxLINKTYPE_TCPIP), 0u);
}

// A module that answers every packet to its address with the same packet,
// sends a packet of its own every millisecond, answers sync requests, and
// accepts a new connection whenever the link makes one.
class EchoModule
{
public:
    EchoModule() : worker([this] { Run(); }) {}
    ~EchoModule()
    {
        stop = true;
        worker.join();
    }
    uint16_t Port() const { return peer.port; }
    std::atomic<int> connections{0};
    std::atomic<int> echoed{0};

private:
    void Run()
    {
        uint8_t counter = 0;
        Clock::time_point quietUntil = Clock::now();
        while (!stop)
        {
            // A new connection replaces the old one (the link was reset).
            if (peer.Accept(0))
            {
                connections++;
            }
            if (peer.fd < 0)
            {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            peer.Pump(1);
            auto packets = SplitPackets(peer.received);
            size_t used = 0;
            for (const Bytes& packet : packets)
            {
                used += packet.size();
                if (packet[0] == 0xAD)
                {
                    // Sync answers go out back to back: the module keeps
                    // quiet otherwise for a while.
                    Send({0x04, 0x00});
                    quietUntil = Clock::now() + std::chrono::milliseconds(20);
                }
                else if (packet[0] == 0x04 && Clock::now() >= quietUntil)
                {
                    Send(packet);
                    echoed++;
                }
            }
            peer.received.erase(peer.received.begin(), peer.received.begin() + used);
            if (Clock::now() >= quietUntil)
            {
                Send({0x04, 0x02, 0x99, counter++});
            }
        }
    }
    void Send(const Bytes& bytes)
    {
        if (send(peer.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
        {
            peer.CloseConnection();
        }
    }

    TcpPeer peer;
    std::atomic<bool> stop{false};
    std::thread worker;
};

TEST(LinkTcp, StopAndResetRacingTrafficInBothDirections)
{
    EchoModule module;
    uint32_t id = kxLink_CreateTCPIP(kSerial, TcpPeer::Loopback(), module.Port());
    ASSERT_NE(id, 0u);
    std::atomic<bool> done{false};
    std::atomic<int> sent{0};
    std::atomic<int> received{0};
    std::thread sender(
        [&]
        {
            for (uint8_t i = 0; !done; i++)
            {
                if (Put(id, 0x04, {0x10, i}) == kxErrNone)
                {
                    sent++;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        });
    std::thread receiver(
        [&]
        {
            while (!done)
            {
                kxPacket* packet = kxLink_AwaitFirst(id, AnyPacket, nullptr, 20);
                if (packet != nullptr)
                {
                    received++;
                    kxPacket_Destroy(&packet);
                }
                else
                {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });
    for (int round = 0; round < 10; round++)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (round % 2 == 0)
        {
            EXPECT_EQ(kxLink_Reset(id), kxErrNone);
        }
        else
        {
            EXPECT_EQ(kxLink_Stop(kxLinkManagerInternal_GetLink(id)), kxErrNone);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_EQ(kxLink_Start(id), kxErrNone);
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    done = true;
    sender.join();
    receiver.join();
    EXPECT_GT(sent, 0);
    EXPECT_GT(received, 0);
    EXPECT_GE(module.connections, 6);
    // After the storm the link works as before (once it has found the packet
    // boundaries again, should a stop have cut a packet).
    EXPECT_TRUE(WaitFor([&] { return kxLink_GetStatus(id) == kLinkStatusRunning; }, 2000));
    kxLink_DrainPackets(id, AnyPacket, nullptr);
    ASSERT_EQ(Put(id, 0x04, {0x20, 0x01}), kxErrNone);
    uint8_t command = 0x20;
    kxPacket* reply = kxLink_AwaitFirst(id, FirstDataByteIs, &command, 1000);
    EXPECT_NE(reply, nullptr);
    kxPacket_Destroy(&reply);
    EXPECT_EQ(kxLink_Destroy(&id), kxErrNone);
}
