// The client stream and client links against a device server's frontend
// played by a CZMQ ROUTER socket on 127.0.0.1.
#include "tests/link/LinkTestSupport.h"

#include <lumbrixon/kxStream_ZeroMQClient.h>

#include <czmq.h>

#if defined(__SANITIZE_THREAD__)
// libzmq and CZMQ come uninstrumented from Debian. ThreadSanitizer still sees
// the memory they allocate and copy, through its intercepted allocator and
// memcpy/memcmp, but not the lock-free pipes and mailboxes through which
// ZeroMQ hands its objects from the thread that made a socket to its own I/O
// thread, so it reports races inside ZeroMQ's objects (the endpoint strings of
// a connect, say) between the creating thread and "ZMQbg/IO/0". A report is
// suppressed only when a ZeroMQ frame made one of the two accesses; races in
// our own code have none and stay reported.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libzmq.so\nrace:libczmq.so\n";
}
#endif

namespace
{
// The server's frontend: every message is [client identity, frame].
struct Frontend
{
    zsock_t* router = nullptr;
    int port = 0;
    zframe_t* identity = nullptr;

    Frontend()
    {
        router = zsock_new(ZMQ_ROUTER);
        port = zsock_bind(router, "tcp://127.0.0.1:*");
        EXPECT_GT(port, 0);
    }
    ~Frontend()
    {
        zframe_destroy(&identity);
        zsock_destroy(&router);
    }
    // The next frame from any client, remembering its identity; empty after
    // `timeoutMs`.
    Bytes Receive(int timeoutMs)
    {
        zpoller_t* poller = zpoller_new(router, nullptr);
        void* which = zpoller_wait(poller, timeoutMs);
        zpoller_destroy(&poller);
        if (which == nullptr)
        {
            return {};
        }
        zmsg_t* message = zmsg_recv(router);
        zframe_t* from = zmsg_pop(message);
        zframe_t* frame = zmsg_pop(message);
        zmsg_destroy(&message);
        zframe_destroy(&identity);
        identity = from;
        Bytes bytes;
        if (frame != nullptr)
        {
            bytes.assign(zframe_data(frame), zframe_data(frame) + zframe_size(frame));
        }
        zframe_destroy(&frame);
        return bytes;
    }
    // Receives until `frame` came or `timeoutMs` passed.
    bool AwaitFrame(const Bytes& frame, int timeoutMs)
    {
        auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < end)
        {
            if (Receive(50) == frame)
            {
                return true;
            }
        }
        return false;
    }
    void SendToLast(const Bytes& bytes)
    {
        ASSERT_NE(identity, nullptr);
        zframe_t* to = zframe_dup(identity);
        zframe_send(&to, router, ZFRAME_MORE);
        zframe_t* frame = zframe_new(bytes.data(), bytes.size());
        zframe_send(&frame, router, 0);
    }
    Bytes Identity() const
    {
        return Bytes(zframe_data(identity), zframe_data(identity) + zframe_size(identity));
    }
};

uint16_t FreePort()
{
    zsock_t* probe = zsock_new(ZMQ_ROUTER);
    int port = zsock_bind(probe, "tcp://127.0.0.1:*");
    zsock_destroy(&probe);
    return static_cast<uint16_t>(port);
}
} // namespace

TEST(ClientStream, ConnectsLazilyAndAnEmptyReadTimesOut)
{
    kxStream* stream = nullptr;
    ASSERT_EQ(kxStream_CreateClient(TcpPeer::Loopback(), FreePort(), &stream), kxErrNone);
    ASSERT_NE(stream, nullptr);
    uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrNotReady);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(kxCLIENT_READ_WAIT_MS - 50));
    EXPECT_LT(waited, std::chrono::milliseconds(kxCLIENT_READ_WAIT_MS + 1000));
    EXPECT_EQ(kxStream_Destroy(&stream), kxErrNone);
    EXPECT_EQ(kxStream_CreateClient(TcpPeer::Loopback(), 1, nullptr), kxErrParam);
}

TEST(ClientStream, ABatchFrameIsReadByteByByteAndPutIsRefused)
{
    Frontend frontend;
    kxStream* stream = nullptr;
    ASSERT_EQ(kxStream_CreateClient(TcpPeer::Loopback(), frontend.port, &stream), kxErrNone);
    const uint8_t hello[2] = {0xAD, 0x00};
    ASSERT_EQ(kxStream_Write(stream, hello, 2), kxErrNone);
    EXPECT_EQ(frontend.Receive(2000), Bytes({0xAD, 0x00}));
    // Ten stream packets of 30 bytes back to back, as one frame.
    Bytes batch;
    for (int i = 0; i < 10; i++)
    {
        batch.push_back(0x04);
        batch.push_back(28);
        for (int j = 0; j < 28; j++)
        {
            batch.push_back(static_cast<uint8_t>(i * 28 + j));
        }
    }
    frontend.SendToLast(batch);
    Bytes got;
    auto end = Clock::now() + std::chrono::seconds(2);
    while (got.size() < batch.size() && Clock::now() < end)
    {
        uint8_t byte = 0;
        if (kxStream_Read(stream, &byte, 1) == kxErrNone)
        {
            got.push_back(byte);
        }
    }
    EXPECT_EQ(got, batch);
    // The frame is used up: the next read waits for a new one.
    uint8_t byte = 0;
    EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrNotReady);
    EXPECT_EQ(kxStream_Write(stream, hello, 1), kxErrUnimplemented);
    kxStream_Destroy(&stream);
}

TEST(ClientStream, AClientLinkTalksThroughTheFrontendAndResetRebuildsIt)
{
    Frontend frontend;
    uint32_t id = kxLink_CreateClient(TcpPeer::Loopback(), static_cast<uint16_t>(frontend.port), 0);
    ASSERT_NE(id, 0u);
    uint32_t ident0 = 0, ident1 = 0, ident2 = 0, type = 0;
    ASSERT_TRUE(kxLinkManagerInternal_GetIdentity(id, &ident0, &ident1, &ident2, &type));
    EXPECT_EQ(type, static_cast<uint32_t>(kxLINKTYPE_CLIENT));
    EXPECT_EQ(ident0, TcpPeer::Loopback());
    EXPECT_EQ(ident1, static_cast<uint32_t>(frontend.port));
    // Every packet written is one frame.
    EXPECT_TRUE(frontend.AwaitFrame(kRouteOn, 2000));
    Bytes first = frontend.Identity();
    ASSERT_EQ(Put(id, 0x04, {0x03, 0x48, 0x20}), kxErrNone);
    EXPECT_TRUE(frontend.AwaitFrame({0x04, 0x03, 0x03, 0x48, 0x20}, 2000));
    frontend.SendToLast({0x04, 0x04, 0x03, 0x48, 0x20, 0x0B});
    uint8_t command = 0x03;
    kxPacket* reply = kxLink_AwaitFirst(id, FirstDataByteIs, &command, 2000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->data[3], 0x0B);
    kxPacket_Destroy(&reply);

    // A reset builds a new client stream: a new connection to the frontend.
    EXPECT_EQ(kxLink_Reset(id), kxErrNone);
    EXPECT_TRUE(frontend.AwaitFrame(kRouteOn, 2000));
    EXPECT_NE(frontend.Identity(), first);
    EXPECT_EQ(kxLink_GetStatus(id), kLinkStatusRunning);

    // A second client link shares the first by reference.
    uint32_t shared = kxLink_CreateClient(0, 0, id);
    EXPECT_EQ(shared, id);
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(id), 2);
    EXPECT_EQ(kxLink_CreateClient(0, 0, 99), 0u);
    kxLink_Destroy(&shared);
    uint32_t gone = id;
    EXPECT_EQ(kxLink_Destroy(&id), kxErrNone);
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(gone), -1);
}
