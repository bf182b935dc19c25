// Multicast sockets, inside the private network namespace the test main sets up.
#include <lumbrixon/kxError.h>
#include <lumbrixon/kxMulticast.h>
#include "tests/multicast/NetNamespace.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <string>

namespace
{

const uint32_t _group = htonl(0xE0000007);    // 224.0.0.7
const uint32_t _loopback = htonl(0x7F000001); // 127.0.0.1
const uint16_t _port = 9850;

class Multicast : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!testInPrivateNetwork())
            GTEST_SKIP() << "no private network namespace";
    }
    void TearDown() override
    {
        kxMulticast_Destroy(&receiver);
        kxMulticast_Destroy(&sender);
        kxLumbrixonDebuggingEnable = 0;
        kxLumbrixonDebuggingLevel = 0;
    }
    kxMulticast* receiver = nullptr;
    kxMulticast* sender = nullptr;
};

TEST_F(Multicast, ReceiverHearsASenderInTheSameProcess)
{
    receiver = kxMulticast_Create(_loopback, _group, _port, false);
    sender = kxMulticast_Create(_loopback, _group, _port, true);
    ASSERT_NE(receiver, nullptr);
    ASSERT_NE(sender, nullptr);

    const uint8_t request[4] = {0xBA, 0xDC, 0xCD, 0xAB};
    EXPECT_EQ(kxMulticast_Send(sender, request, sizeof request), 4);
    uint8_t buffer[128] = {0};
    ASSERT_EQ(kxMulticast_Receive(receiver, buffer, sizeof buffer), 4);
    EXPECT_EQ(memcmp(buffer, request, 4), 0);
}

TEST_F(Multicast, InterfaceZeroMeansLoopbackAndEveryReceiverOnThePortHears)
{
    receiver = kxMulticast_Create(0, _group, _port + 1, false);
    kxMulticast* second = kxMulticast_Create(_loopback, _group, _port + 1, false);
    sender = kxMulticast_Create(0, _group, _port + 1, true);
    ASSERT_NE(receiver, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_NE(sender, nullptr);

    std::string text(128, 'x');
    EXPECT_EQ(kxMulticast_Send(sender, text.data(), text.size()), 128);
    char a[200], b[200];
    EXPECT_EQ(kxMulticast_Receive(receiver, a, sizeof a), 128);
    EXPECT_EQ(kxMulticast_Receive(second, b, sizeof b), 128);
    kxMulticast_Destroy(&second);
}

TEST_F(Multicast, DatagramsAreCutToTheBufferSize)
{
    receiver = kxMulticast_Create(_loopback, _group, _port + 2, false);
    sender = kxMulticast_Create(_loopback, _group, _port + 2, true);
    ASSERT_NE(receiver, nullptr);
    ASSERT_NE(sender, nullptr);
    const char text[] = "0123456789";
    EXPECT_EQ(kxMulticast_Send(sender, text, 10), 10);
    char buffer[4] = {0};
    EXPECT_EQ(kxMulticast_Receive(receiver, buffer, sizeof buffer), 4);
    EXPECT_EQ(memcmp(buffer, "0123", 4), 0);
}

TEST_F(Multicast, WrongDirectionAndMissingObjectsAreRefused)
{
    receiver = kxMulticast_Create(_loopback, _group, _port + 3, false);
    sender = kxMulticast_Create(_loopback, _group, _port + 3, true);
    ASSERT_NE(receiver, nullptr);
    ASSERT_NE(sender, nullptr);
    uint8_t buffer[16] = {1, 2, 3};

    EXPECT_EQ(kxMulticast_Send(receiver, buffer, 3), -3);
    EXPECT_EQ(kxMulticast_Receive(sender, buffer, sizeof buffer), -3);
    EXPECT_EQ(kxMulticast_Send(nullptr, buffer, 3), -2);
    EXPECT_EQ(kxMulticast_Receive(nullptr, buffer, sizeof buffer), -2);

    // The refused send put nothing on the wire: a second receiver sees only
    // the one datagram the sender sends.
    EXPECT_EQ(kxMulticast_Send(sender, buffer, 2), 2);
    EXPECT_EQ(kxMulticast_Receive(receiver, buffer, sizeof buffer), 2);

    kxMulticast* none = nullptr;
    EXPECT_EQ(kxMulticast_Destroy(&none), -2);
    EXPECT_EQ(kxMulticast_Destroy(nullptr), -2);
    EXPECT_EQ(kxMulticast_Destroy(&sender), 0);
    EXPECT_EQ(sender, nullptr);
}

TEST_F(Multicast, ReceiveWithNothingToReadTimesOutAfterASecondWithoutLogging)
{
    receiver = kxMulticast_Create(_loopback, _group, _port + 4, false);
    ASSERT_NE(receiver, nullptr);
    kxLumbrixonDebuggingEnable = 1;
    kxLumbrixonDebuggingLevel = kxDebugMulticast;
    uint8_t buffer[16];
    ::testing::internal::CaptureStdout();
    auto start = std::chrono::steady_clock::now();
    long n = kxMulticast_Receive(receiver, buffer, sizeof buffer);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(n, -1);
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 2500);
    EXPECT_EQ(out, "");
}

TEST_F(Multicast, CreationFailuresReleaseEverythingAndReturnNull)
{
    kxLumbrixonDebuggingEnable = 1;
    kxLumbrixonDebuggingLevel = kxDebugMulticast;
    ::testing::internal::CaptureStdout();
    // Not a multicast group: joining it fails.
    kxMulticast* notGroup = kxMulticast_Create(_loopback, htonl(0x0A000001), _port, false);
    // An interface address no interface of this namespace has.
    kxMulticast* noInterface = kxMulticast_Create(htonl(0xC0000201), _group, _port, false);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(notGroup, nullptr);
    EXPECT_EQ(noInterface, nullptr);
    EXPECT_NE(out.find("_joinMulticastGroup"), std::string::npos) << out;
    EXPECT_NE(out.find("in cleanup function"), std::string::npos) << out;
}

} // namespace
