// The link engine over a stream the test plays the module's end of: start,
// sync, framing loss, heartbeats, the user filter, pooled writes, stop, reset
// and the packet log, with the literal bytes a module sends and receives.
#include "tests/link/LinkTestSupport.h"

#include <lumbrixon/kxPacketLog.h>

#include <time.h>

namespace
{
// A started link over a scripted peer, destroyed at the end of the test.
struct ScriptedLink
{
    ScriptedPeer peer;
    uint32_t id = 0;

    explicit ScriptedLink(int readWaitMs = 5)
    {
        peer.readWaitMs = readWaitMs;
        id = kxLink_Create(peer.Stream());
        EXPECT_NE(id, 0u);
        EXPECT_TRUE(peer.AwaitCount(kRouteOn, 1, 1000));
    }
    ~ScriptedLink()
    {
        if (id != 0)
        {
            kxLink_Destroy(&id);
        }
    }
    kxLink* Record() { return kxLinkManagerInternal_GetLink(id); }
};

std::atomic<int> gHeartbeatsDown{0};
std::atomic<int> gHeartbeatsUp{0};
void CountHeartbeat(bool down)
{
    (down ? gHeartbeatsDown : gHeartbeatsUp)++;
}

double ProcessCpuSeconds()
{
    struct timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}
} // namespace

TEST(LinkEngine, StartsRoutesAndStartingTwiceStartsNothing)
{
    ScriptedLink link;
    EXPECT_EQ(link.id, 1u);
    EXPECT_EQ(kxLink_GetStatus(link.id), kLinkStatusRunning);
    EXPECT_EQ(kxLink_Start(link.id), kxErrNone);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // Route-on went out once: a second start neither started threads nor
    // queued another.
    EXPECT_EQ(link.peer.Count(kRouteOn), 1u);
    EXPECT_EQ(kxLink_GetStatus(99), kLinkStatusInvalid);
    EXPECT_EQ(kxLink_Start(99), kxErrParam);
    EXPECT_EQ(kxLink_ForceRoute(99, 1), kxErrNotFound);
}

TEST(LinkEngine, PacketsFlowBothWaysAndWaitersTakeOnlyTheirs)
{
    ScriptedLink link;
    ASSERT_EQ(Put(link.id, 0x04, {0x10, 0x01, 0x02}), kxErrNone);
    EXPECT_TRUE(link.peer.AwaitCount({0x04, 0x03, 0x10, 0x01, 0x02}, 1, 1000));

    link.peer.Send({0x04, 0x01, 0x20, 0x04, 0x01, 0x21, 0x04, 0x01, 0x22});
    uint8_t wanted = 0x22;
    kxPacket* reply = kxLink_AwaitFirst(link.id, FirstDataByteIs, &wanted, 1000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(WireOf(reply), Bytes({0x04, 0x01, 0x22}));
    kxPacket_Destroy(&reply);
    // The two others stay, in order.
    kxPacket* first = kxLink_AwaitPacket(link.id, 100);
    kxPacket* second = kxLink_GetPacket(link.id);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->data[0], 0x20);
    EXPECT_EQ(second->data[0], 0x21);
    kxPacket_Destroy(&first);
    kxPacket_Destroy(&second);
    EXPECT_EQ(kxLink_AwaitFirst(link.id, AnyPacket, nullptr, 0), nullptr);
    EXPECT_EQ(kxLink_PutPacket(99, nullptr), kxErrParam);
}

TEST(LinkEngine, SyncsToTheAddressOfACompleteAnswer)
{
    ScriptedLink link;
    std::thread module(
        [&]
        {
            if (link.peer.AwaitCount(kSyncRequest, 6, 2000))
            {
                link.peer.Send({0x06, 0x00, 0x06, 0x00, 0x06, 0x00, 0x06, 0x00});
            }
        });
    EXPECT_EQ(kxLink_Sync(link.id), kxErrNone);
    module.join();
    EXPECT_EQ(kxLink_GetStatus(link.id), kLinkStatusRunning);
    uint8_t address = 0;
    EXPECT_EQ(kxLink_GetSyncAddress(link.id, &address), kxErrNone);
    EXPECT_EQ(address, 6);
    // The answers to the surplus requests were discarded, not queued.
    EXPECT_EQ(kxLink_GetPacket(link.id), nullptr);
}

TEST(LinkEngine, AnAnswerFromTwoAddressesDoesNotSync)
{
    ScriptedLink link;
    std::thread module(
        [&]
        {
            if (link.peer.AwaitCount(kSyncRequest, 6, 2000))
            {
                link.peer.Send({0x06, 0x00, 0x08, 0x00});
            }
        });
    auto start = Clock::now();
    EXPECT_EQ(kxLink_Sync(link.id), kxErrNotReady);
    module.join();
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kxLINK_SYNC_WAIT_MS));
    EXPECT_EQ(kxLink_GetStatus(link.id), kLinkStatusSyncing);
}

TEST(LinkEngine, AnOddAddressOrALengthOf29MakesTheLinkResync)
{
    ScriptedLink link;
    for (const Bytes& lost : {Bytes{0x05}, Bytes{0x04, 0x1D}})
    {
        link.peer.ClearWritten();
        link.peer.Send(lost);
        ASSERT_TRUE(link.peer.AwaitCount(kSyncRequest, 6, 1000));
        EXPECT_EQ(kxLink_GetStatus(link.id), kLinkStatusSyncing);
        link.peer.Send({0x04, 0x00, 0x04, 0x00});
        ASSERT_TRUE(WaitFor([&] { return kxLink_GetStatus(link.id) == kLinkStatusRunning; }, 1000));
        // Framing is back: the next packet arrives whole.
        link.peer.Send({0x04, 0x02, 0x31, 0x32});
        kxPacket* packet = kxLink_AwaitFirst(link.id, AnyPacket, nullptr, 1000);
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(WireOf(packet), Bytes({0x04, 0x02, 0x31, 0x32}));
        kxPacket_Destroy(&packet);
        EXPECT_EQ(kxLink_GetPacket(link.id), nullptr);
    }
}

TEST(LinkEngine, HeartbeatsAreAnsweredAndKeptOutOfTheInFifo)
{
    ScriptedLink link;
    gHeartbeatsDown = 0;
    gHeartbeatsUp = 0;
    ASSERT_EQ(kxLink_InstallHeartbeatCallback(link.id, CountHeartbeat), kxErrNone);
    link.peer.Send({0x04, 0x02, 0x00, 0x01});
    EXPECT_TRUE(link.peer.AwaitCount({0x04, 0x02, 0x00, 0x03}, 1, 1000));
    link.peer.Send({0x08, 0x02, 0x00, 0x00});
    EXPECT_TRUE(link.peer.AwaitCount({0x08, 0x02, 0x00, 0x02}, 1, 1000));
    EXPECT_TRUE(WaitFor([] { return gHeartbeatsDown == 1 && gHeartbeatsUp == 1; }, 1000));
    EXPECT_EQ(kxLink_GetPacket(link.id), nullptr);
}

namespace
{
struct Consumed
{
    std::atomic<int> count{0};
};
bool ConsumeAll(const kxPacket*, void* ref)
{
    static_cast<Consumed*>(ref)->count++;
    return true;
}
} // namespace

TEST(LinkEngine, AConsumingUserFilterTakesEveryPacketHeartbeatsIncluded)
{
    ScriptedLink link;
    Consumed consumed;
    ASSERT_EQ(kxLink_InstallUserPacketFilter(link.id, ConsumeAll, &consumed), kxErrNone);
    link.peer.Send({0x04, 0x01, 0x44, 0x04, 0x02, 0x00, 0x01});
    ASSERT_TRUE(WaitFor([&] { return consumed.count == 2; }, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(kxLink_GetPacket(link.id), nullptr);
    // The filter ran first, so the heartbeat was not answered.
    EXPECT_EQ(link.peer.Count({0x04, 0x02, 0x00, 0x03}), 0u);

    ASSERT_EQ(kxLink_InstallUserPacketFilter(link.id, nullptr, nullptr), kxErrNone);
    link.peer.Send({0x04, 0x01, 0x45});
    kxPacket* packet = kxLink_AwaitFirst(link.id, AnyPacket, nullptr, 1000);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->data[0], 0x45);
    kxPacket_Destroy(&packet);
    EXPECT_EQ(consumed.count, 2);
}

TEST(LinkEngine, PooledPacketsGoOutInWritesOfAtMost4096Bytes)
{
    ScriptedLink link;
    ASSERT_EQ(kxLink_EnablePooledPackets(link.id, true), kxErrNone);
    link.peer.ClearWritten();
    // The out-pipe is held in its first write while 300 more are queued.
    link.peer.Hold(true);
    ASSERT_EQ(Put(link.id, 0x04, {0xFF}), kxErrNone);
    ASSERT_TRUE(WaitFor([&] { return link.peer.writesHeld == 1; }, 1000));
    Bytes expected = {0x04, 0x01, 0xFF};
    for (int i = 0; i < 300; i++)
    {
        Bytes data(28, static_cast<uint8_t>(i));
        ASSERT_EQ(Put(link.id, 0x04, data), kxErrNone);
        expected.push_back(0x04);
        expected.push_back(28);
        expected.insert(expected.end(), data.begin(), data.end());
    }
    link.peer.Hold(false);
    ASSERT_TRUE(WaitFor([&] { return link.peer.Written().size() >= expected.size(); }, 2000));
    EXPECT_EQ(link.peer.Written(), expected);
    auto sizes = link.peer.WriteSizes();
    EXPECT_EQ(sizes.front(), 3u);
    for (size_t size : sizes)
    {
        EXPECT_LE(size, static_cast<size_t>(kxLINK_POOL_BYTES));
    }
    // 9000 bytes of packets need three writes of at most 4096 bytes.
    EXPECT_GE(sizes.size(), 4u);
    EXPECT_LE(sizes.size(), 10u);
}

TEST(LinkEngine, StopWritesRouteOffBeforeTheThreadsEnd)
{
    ScriptedLink link;
    link.peer.ClearWritten();
    EXPECT_EQ(kxLink_Stop(link.Record()), kxErrNone);
    // Stop joined the out-pipe, so it was that thread which wrote route-off,
    // and it was the last thing it wrote.
    Bytes written = link.peer.Written();
    ASSERT_GE(written.size(), 3u);
    EXPECT_EQ(Bytes(written.end() - 3, written.end()), kRouteOff);
    EXPECT_EQ(kxLink_GetStatus(link.id), kLinkStatusStopped);
    EXPECT_EQ(kxLink_Stop(link.Record()), kxErrNone);
    EXPECT_EQ(kxLink_AwaitFirst(link.id, AnyPacket, nullptr, 1000), nullptr);
    // And it starts again.
    ASSERT_EQ(kxLink_Start(link.id), kxErrNone);
    EXPECT_TRUE(link.peer.AwaitCount(kRouteOn, 1, 1000));
    EXPECT_EQ(kxLink_Stop(nullptr), kxErrParam);
}

TEST(LinkEngine, ResetOfALinkThatCannotBeRebuiltLeavesItRunning)
{
    ScriptedLink link;
    EXPECT_EQ(kxLink_Reset(link.id), kxErrParam);
    EXPECT_EQ(link.peer.deleted, 0);
    EXPECT_EQ(kxLink_GetStatus(link.id), kLinkStatusRunning);
    link.peer.Send({0x04, 0x01, 0x46});
    kxPacket* packet = kxLink_AwaitFirst(link.id, AnyPacket, nullptr, 1000);
    ASSERT_NE(packet, nullptr);
    kxPacket_Destroy(&packet);
    EXPECT_EQ(kxLink_Reset(99), kxErrParam);
}

TEST(LinkEngine, AFailingReadGivesStatus6AndTheLinkRecoversBySync)
{
    ScriptedLink link;
    link.peer.FailReads(kxErrIO);
    ASSERT_TRUE(WaitFor([&] { return kxLink_GetStatus(link.id) == kLinkStatusIOError; }, 1000));
    link.peer.ClearWritten();
    link.peer.FailReads(kxErrNone);
    ASSERT_TRUE(link.peer.AwaitCount(kSyncRequest, 6, 1000));
    link.peer.Send({0x04, 0x00, 0x04, 0x00});
    EXPECT_TRUE(WaitFor([&] { return kxLink_GetStatus(link.id) == kLinkStatusRunning; }, 1000));
}

TEST(LinkEngine, AnIdleLinkOverAStreamThatNeverWaitsDoesNotSpin)
{
    ScriptedLink link(0);
    double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    double used = ProcessCpuSeconds() - before;
    // Flat-out polling would use the whole second; the link sleeps instead.
    EXPECT_LT(used, 0.3);
    // It still reads what arrives.
    link.peer.Send({0x04, 0x01, 0x47});
    kxPacket* packet = kxLink_AwaitFirst(link.id, AnyPacket, nullptr, 1000);
    ASSERT_NE(packet, nullptr);
    kxPacket_Destroy(&packet);
}

TEST(LinkEngine, ASilentModuleGetsSyncRequestsAtABoundedRate)
{
    ScriptedLink link(0);
    link.peer.ClearWritten();
    EXPECT_EQ(kxLink_Sync(link.id), kxErrNotReady);
    // Over the 2.1 s of the sync: a first round, then one every
    // kxLINK_SYNC_RESEND_MS at most.
    size_t requests = link.peer.Count(kSyncRequest);
    EXPECT_GE(requests, 6u);
    EXPECT_LE(requests, 6u * (2100 / kxLINK_SYNC_RESEND_MS + 2));
}

TEST(LinkEngine, StopAndDestroyEndWithADeadStream)
{
    ScriptedPeer peer;
    uint32_t id = kxLink_Create(peer.Stream());
    ASSERT_NE(id, 0u);
    peer.FailReads(kxErrIO);
    // Every write now takes 100 ms and fails, and 500 packets wait: written
    // one by one they would hold the stop for 50 s.
    peer.SetWrites(kxErrIO, 100);
    for (int i = 0; i < 500; i++)
    {
        Put(id, 0x04, {0x01});
    }
    auto start = Clock::now();
    EXPECT_EQ(kxLink_Destroy(&id), kxErrNone);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kxLINK_FINAL_DRAIN_MS + 1500));
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(peer.deleted, 1);
}

TEST(LinkEngine, PacketLogRecordsBothPipesAndKeepsItsRules)
{
    ScriptedLink link;
    EXPECT_EQ(kxLink_PacketDebug_Read(link.id, nullptr, nullptr, nullptr), kxErrNotReady);
    EXPECT_EQ(kxLink_PacketDebug_Disable(link.id), kxErrNotReady);
    EXPECT_EQ(kxLink_PacketDebug_SetLogSize(link.id, kxPACKETLOG_MAX_SIZE + 1), kxErrParam);
    ASSERT_EQ(kxLink_PacketDebug_SetLogSize(link.id, 64), kxErrNone);
    ASSERT_EQ(kxLink_PacketDebug_Enable(link.id), kxErrNone);
    EXPECT_EQ(kxLink_PacketDebug_SetLogSize(link.id, 128), kxErrBusy);

    ASSERT_EQ(Put(link.id, 0x04, {0x11}), kxErrNone);
    link.peer.AwaitCount({0x04, 0x01, 0x11}, 1, 1000);
    // The out-pipe records a packet once its write has returned.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    link.peer.Send({0x04, 0x01, 0x22});
    kxPacket* packet = kxLink_AwaitFirst(link.id, AnyPacket, nullptr, 1000);
    kxPacket_Destroy(&packet);

    uint8_t type = 0;
    uint8_t buffer[255];
    uint32_t length = 2;
    // Too small a buffer: the record stays and tells its length.
    EXPECT_EQ(kxLink_PacketDebug_Read(link.id, &type, &length, buffer), kxErrOverrun);
    EXPECT_EQ(length, 3u);
    length = sizeof(buffer);
    ASSERT_EQ(kxLink_PacketDebug_Read(link.id, &type, &length, buffer), kxErrNone);
    EXPECT_EQ(type, kxPacketLogWritten);
    EXPECT_EQ(Bytes(buffer, buffer + length), Bytes({0x04, 0x01, 0x11}));
    length = sizeof(buffer);
    ASSERT_EQ(kxLink_PacketDebug_Read(link.id, &type, &length, buffer), kxErrNone);
    EXPECT_EQ(type, kxPacketLogReceived);
    EXPECT_EQ(Bytes(buffer, buffer + length), Bytes({0x04, 0x01, 0x22}));
    length = sizeof(buffer);
    EXPECT_EQ(kxLink_PacketDebug_Read(link.id, &type, &length, buffer), kxErrNotFound);

    // Eight records of 12 bytes into 64: the oldest go first, one byte stays
    // free, so the last five remain.
    for (uint8_t i = 0; i < 8; i++)
    {
        Bytes text(10, i);
        ASSERT_EQ(kxLink_PacketDebug_Write(link.id, kxPacketLogText, 10, text.data()), kxErrNone);
    }
    for (uint8_t i = 3; i < 8; i++)
    {
        length = sizeof(buffer);
        ASSERT_EQ(kxLink_PacketDebug_Read(link.id, &type, &length, buffer), kxErrNone);
        EXPECT_EQ(type, kxPacketLogText);
        EXPECT_EQ(Bytes(buffer, buffer + length), Bytes(10, i));
    }
    length = sizeof(buffer);
    EXPECT_EQ(kxLink_PacketDebug_Read(link.id, &type, &length, buffer), kxErrNotFound);
    // A record that could never fit is refused.
    Bytes big(62, 0x01);
    EXPECT_EQ(kxLink_PacketDebug_Write(link.id, kxPacketLogText, 62, big.data()), kxErrOverrun);
    EXPECT_EQ(kxLink_PacketDebug_Disable(link.id), kxErrNone);
}

TEST(PacketLog, ARecordFillingTheRingExactlyIsRefused)
{
    kxPacketLog* log = kxPacketLog_Create("test log");
    ASSERT_NE(log, nullptr);
    Bytes one(1, 0x01);
    EXPECT_EQ(kxPacketLog_Add(log, kxPacketLogText, 1, one.data()), kxErrNotReady);
    ASSERT_EQ(kxPacketLog_SetSize(log, 12), kxErrNone);
    ASSERT_EQ(kxPacketLog_Enable(log), kxErrNone);
    Bytes ten(10, 0x33);
    EXPECT_EQ(kxPacketLog_Add(log, kxPacketLogText, 10, ten.data()), kxErrOverrun);
    EXPECT_EQ(kxPacketLog_Add(log, kxPacketLogText, 9, ten.data()), kxErrNone);
    EXPECT_EQ(kxPacketLog_Used(log), 11u);
    // Wrapping around the end of the ring keeps records whole.
    for (uint8_t i = 0; i < 20; i++)
    {
        Bytes three(3, i);
        ASSERT_EQ(kxPacketLog_Add(log, kxPacketLogText, 3, three.data()), kxErrNone);
    }
    uint8_t type = 0;
    uint8_t buffer[16];
    uint32_t length = sizeof(buffer);
    ASSERT_EQ(kxPacketLog_Take(log, &type, &length, buffer), kxErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + length), Bytes(3, 18));
    length = sizeof(buffer);
    ASSERT_EQ(kxPacketLog_Take(log, &type, &length, buffer), kxErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + length), Bytes(3, 19));
    EXPECT_EQ(kxPacketLog_Add(log, kxPacketLogText, 256, ten.data()), kxErrSize);
    EXPECT_EQ(kxPacketLog_Destroy(&log), kxErrNone);
    EXPECT_EQ(log, nullptr);
    EXPECT_EQ(kxPacketLog_Destroy(&log), kxErrParam);
}
