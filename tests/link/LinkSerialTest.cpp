// Links over a serial line carrying COBS frames, with the module's end
// played on the master side of a pseudo-terminal.
#include "tests/link/LinkTestSupport.h"

#include <lumbrixon/cobs.h>
#include <lumbrixon/crc8.h>
#include "tests/stream/PtyPair.h"

namespace
{
constexpr uint32_t kSerial = 0x1234ABCD;

// The frame of one packet: packet, CRC-8, COBS-encoded, then 0x00.
Bytes Frame(const Bytes& packet)
{
    Bytes plain = packet;
    plain.push_back(crc8_create(packet.data(), packet.size()));
    Bytes frame(COBS_ENCODED_MAX(plain.size()) + 1);
    size_t n = cobs_encode(plain.data(), plain.size(), frame.data());
    frame.resize(n);
    frame.push_back(0x00);
    return frame;
}

// Decodes the frames that arrived, dropping none silently.
std::vector<Bytes> Unframe(const Bytes& bytes)
{
    std::vector<Bytes> packets;
    Bytes frame;
    for (uint8_t byte : bytes)
    {
        if (byte != 0)
        {
            frame.push_back(byte);
            continue;
        }
        Bytes plain(frame.size());
        size_t n = cobs_decode(frame.data(), frame.size(), plain.data());
        plain.resize(n);
        if (n >= 3 && crc8_check(plain.data(), n - 1, plain[n - 1]))
        {
            packets.emplace_back(plain.begin(), plain.end() - 1);
        }
        frame.clear();
    }
    return packets;
}

struct SerialLink
{
    PtyPair pty;
    uint32_t id = 0;
    Bytes wire;

    SerialLink()
    {
        id = kxLink_CreateSerial(kSerial, pty.path.c_str(), 115200);
        EXPECT_NE(id, 0u);
    }
    ~SerialLink()
    {
        if (id != 0)
        {
            kxLink_Destroy(&id);
        }
    }
    bool AwaitPacket(const Bytes& packet, int timeoutMs)
    {
        auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;)
        {
            auto packets = Unframe(wire);
            if (std::find(packets.begin(), packets.end(), packet) != packets.end())
            {
                return true;
            }
            if (Clock::now() >= end)
            {
                return false;
            }
            Bytes more = pty.Read(256, 10);
            wire.insert(wire.end(), more.begin(), more.end());
        }
    }
    Bytes NextPacket(int timeoutMs)
    {
        kxPacket* packet = kxLink_AwaitFirst(id, AnyPacket, nullptr, timeoutMs);
        if (packet == nullptr)
        {
            return {};
        }
        Bytes bytes = WireOf(packet);
        kxPacket_Destroy(&packet);
        return bytes;
    }
};
} // namespace

TEST(LinkSerial, RoutesOnAndReadsTheFrameOfAnEmptyPacket)
{
    SerialLink link;
    ASSERT_NE(link.id, 0u);
    EXPECT_TRUE(link.AwaitPacket(kRouteOn, 1000));
    // The frame of the packet 0x04 0x00, byte for byte.
    link.pty.Write({0x02, 0x04, 0x02, 0x3B, 0x00});
    EXPECT_EQ(link.NextPacket(1000), Bytes({0x04, 0x00}));
}

TEST(LinkSerial, AFrameWithABadCrcIsDroppedAndTheLinkGoesOn)
{
    SerialLink link;
    ASSERT_TRUE(link.AwaitPacket(kRouteOn, 1000));
    Bytes bad = Frame({0x04, 0x02, 0x61, 0x62});
    bad[3] ^= 0x40; // a data byte: the CRC no longer matches
    Bytes wire = Frame({0x04, 0x01, 0x60});
    wire.insert(wire.end(), bad.begin(), bad.end());
    Bytes last = Frame({0x04, 0x01, 0x63});
    wire.insert(wire.end(), last.begin(), last.end());
    link.pty.Write(wire);
    EXPECT_EQ(link.NextPacket(1000), Bytes({0x04, 0x01, 0x60}));
    EXPECT_EQ(link.NextPacket(1000), Bytes({0x04, 0x01, 0x63}));
    EXPECT_EQ(kxLink_GetPacket(link.id), nullptr);
    EXPECT_EQ(kxLink_GetStatus(link.id), kLinkStatusRunning);
}

TEST(LinkSerial, HeartbeatsAndPacketsTravelFramed)
{
    SerialLink link;
    ASSERT_TRUE(link.AwaitPacket(kRouteOn, 1000));
    link.pty.Write(Frame({0x04, 0x02, 0x00, 0x01}));
    EXPECT_TRUE(link.AwaitPacket({0x04, 0x02, 0x00, 0x03}, 1000));
    ASSERT_EQ(Put(link.id, 0x04, {0x03, 0x48, 0x20}), kxErrNone);
    EXPECT_TRUE(link.AwaitPacket({0x04, 0x03, 0x03, 0x48, 0x20}, 1000));
    EXPECT_EQ(kxLink_GetPacket(link.id), nullptr);
}

TEST(LinkSerial, ASerialLinkIsNotRebuiltByReset)
{
    SerialLink link;
    ASSERT_TRUE(link.AwaitPacket(kRouteOn, 1000));
    EXPECT_EQ(kxLink_Reset(link.id), kxErrParam);
    EXPECT_EQ(kxLink_GetStatus(link.id), kLinkStatusRunning);
    link.pty.Write(Frame({0x04, 0x01, 0x64}));
    EXPECT_EQ(link.NextPacket(1000), Bytes({0x04, 0x01, 0x64}));
}

TEST(LinkSerial, AnUnsupportedRateLeavesNoEntry)
{
    PtyPair pty;
    EXPECT_EQ(kxLink_CreateSerial(kSerial, pty.path.c_str(), 1200), 0u);
    EXPECT_EQ(kxLinkManagerInternal_LookupByIdentifier(kSerial, kxLINKTYPE_SERIAL), 0u);
    uint32_t id = kxLink_CreateSerial(kSerial, pty.path.c_str(), 9600);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(id), 1);
    EXPECT_EQ(kxLink_CreateSerial(kSerial, "/dev/does-not-exist", 9600), id);
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(id), 2);
    kxLink_Destroy(&id);
    uint32_t same = kxLinkManagerInternal_LookupByIdentifier(kSerial, kxLINKTYPE_SERIAL);
    EXPECT_NE(same, 0u);
    kxLink_Destroy(&same);
    EXPECT_EQ(kxLinkManagerInternal_LookupByIdentifier(kSerial, kxLINKTYPE_SERIAL), 0u);
    EXPECT_EQ(kxLink_CreateSerial(kSerial + 1, "/dev/does-not-exist", 9600), 0u);
}
