#include <lumbrixon/crc8.h>
#include <lumbrixon/kxPacket.h>

#include <gtest/gtest.h>

#include <cstring>

namespace
{
struct PacketPtr
{
    kxPacket* p = kxPacket_Create();
    ~PacketPtr() { kxPacket_Destroy(&p); }
};
} // namespace

TEST(Packet, FreshRecordIsZeroButTag)
{
    PacketPtr r;
    ASSERT_TRUE(kxVALIDPACKET(r.p));
    EXPECT_EQ(r.p->count, 0);
    EXPECT_EQ(r.p->address, 0);
    EXPECT_EQ(r.p->length, 0);
    EXPECT_FALSE(kxPacket_IsComplete(r.p) && r.p->count != 0);
}

TEST(Packet, ZeroLengthPacketCompletesAfterHeader)
{
    PacketPtr r;
    EXPECT_EQ(kxPacket_AddByte(r.p, 0x04), kxErrNone);
    EXPECT_FALSE(kxPacket_IsComplete(r.p));
    EXPECT_EQ(kxPacket_AddByte(r.p, 0x00), kxErrNone);
    EXPECT_TRUE(kxPacket_IsComplete(r.p));
    EXPECT_EQ(r.p->length, 0);
}

TEST(Packet, ZeroAddressRefusedButCounted)
{
    PacketPtr r;
    EXPECT_EQ(kxPacket_AddByte(r.p, 0x00), kxErrPacket);
    EXPECT_EQ(r.p->address, 0);
    EXPECT_EQ(r.p->count, 1);
}

TEST(Packet, LengthLimits)
{
    PacketPtr r;
    kxPacket_AddByte(r.p, 0x04);
    EXPECT_EQ(kxPacket_AddByte(r.p, 0x1D), kxErrPacket);
    EXPECT_EQ(r.p->length, 0x1D);
    // Nothing more is stored into a packet whose length was refused.
    EXPECT_EQ(kxPacket_AddByte(r.p, 0x55), kxErrPacket);

    kxPacket_Reset(r.p);
    kxPacket_AddByte(r.p, 0x04);
    EXPECT_EQ(kxPacket_AddByte(r.p, 0x1C), kxErrNone);
    for (int i = 0; i < 28; ++i)
    {
        EXPECT_FALSE(kxPacket_IsComplete(r.p));
        EXPECT_EQ(kxPacket_AddByte(r.p, static_cast<uint8_t>(i + 1)), kxErrNone);
    }
    EXPECT_TRUE(kxPacket_IsComplete(r.p));
    EXPECT_EQ(r.p->data[0], 1);
    EXPECT_EQ(r.p->data[27], 28);
    // A 31st byte into a record never reset.
    EXPECT_EQ(kxPacket_AddByte(r.p, 0x99), kxErrOverrun);
}

TEST(Packet, ByteAfterCompletePacketRefused)
{
    PacketPtr r;
    for (uint8_t b : {0x04, 0x02, 0x10, 0x20})
        ASSERT_EQ(kxPacket_AddByte(r.p, b), kxErrNone);
    ASSERT_TRUE(kxPacket_IsComplete(r.p));
    EXPECT_EQ(kxPacket_AddByte(r.p, 0x30), kxErrPacket);
}

TEST(Packet, CreateWithDataBoundsAndWireForm)
{
    uint8_t data[29] = {};
    for (int i = 0; i < 29; ++i)
        data[i] = static_cast<uint8_t>(0xA0 + i);
    kxPacket* p = kxPacket_CreateWithData(0x04, 28, data);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->count, 30);
    EXPECT_EQ(kxPacket_CreateWithData(0x04, 29, data), nullptr);
    EXPECT_EQ(kxPacket_CreateWithData(0x04, 0, nullptr), nullptr);

    uint8_t wire[30];
    size_t size = 0;
    EXPECT_EQ(kxPacket_GetBytes(p, wire, 29, &size), kxErrOverrun);
    EXPECT_EQ(kxPacket_GetBytes(p, wire, 30, &size), kxErrNone);
    EXPECT_EQ(size, 30u);
    EXPECT_EQ(wire[0], 0x04);
    EXPECT_EQ(wire[1], 28);
    EXPECT_EQ(0, memcmp(wire + 2, data, 28));

    kxPacket* copy = kxPacket_Copy(p);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, p);
    EXPECT_EQ(0, memcmp(&copy->address, &p->address, 30));
    kxPacket_Destroy(&copy);
    kxPacket_Destroy(&p);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(kxPacket_Destroy(&p), kxErrParam);
}

TEST(Packet, InvalidTagRefusedEverywhere)
{
    kxPacket forged = {};
    forged.check = 0x1234;
    uint8_t out = 0;
    EXPECT_EQ(kxPacket_AddByte(&forged, 1), kxErrParam);
    EXPECT_EQ(kxPacket_Reset(&forged), kxErrParam);
    EXPECT_EQ(kxPacket_Copy(&forged), nullptr);
    EXPECT_FALSE(kxPacket_IsComplete(&forged));
    EXPECT_EQ(kxPacket_GetCmd(&forged, &out), kxErrPacket);
}

TEST(Packet, CommandGetters)
{
    const uint8_t one[] = {0x42};
    kxPacket* p = kxPacket_CreateWithData(0x04, 1, one);
    uint8_t v = 0;
    EXPECT_EQ(kxPacket_GetCmd(p, &v), kxErrNone);
    EXPECT_EQ(v, 0x42);
    EXPECT_EQ(kxPacket_GetOption(p, &v), kxErrPacket);
    EXPECT_EQ(kxPacket_GetOption(p, nullptr), kxErrParam);
    kxPacket_Destroy(&p);

    const uint8_t three[] = {0x10, 0xFF, 0xFF};
    p = kxPacket_CreateWithData(0x04, 3, three);
    EXPECT_EQ(kxPacket_GetOption(p, &v), kxErrNone);
    EXPECT_EQ(v, 0x3F);
    EXPECT_EQ(kxPacket_GetIndex(p, &v), kxErrNone);
    EXPECT_EQ(v, 0x1F);
    kxPacket_Destroy(&p);
}

TEST(PacketUEI, ByteOrderAndSegments)
{
    uint8_t b[4];
    kxUEI_StoreInt(b, 0x11223344);
    EXPECT_EQ(b[0], 0x11);
    EXPECT_EQ(b[3], 0x44);
    EXPECT_EQ(kxUEI_RetrieveInt(b), 0x11223344u);
    kxUEI_StoreShort(b, 0xABCD);
    EXPECT_EQ(b[0], 0xAB);
    EXPECT_EQ(kxUEI_RetrieveShort(b), 0xABCD);
    uint32_t words[2] = {0x01020304, 0xA0B0C0D0};
    kxUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 0x04030201u);
    EXPECT_EQ(words[1], 0xD0C0B0A0u);

    uint8_t data[27] = {0x30};
    data[26] = 0x85;
    kxPacket* p = kxPacket_CreateWithData(0x04, 27, data);
    EXPECT_EQ(kxUEI_getBytesSequence(p), 5);
    EXPECT_EQ(kxUEI_getBytesContinue(p), 1);
    EXPECT_TRUE(kxUEI_getBytesFullPacket(p));
    EXPECT_EQ(kxUEI_getBytesSequence(nullptr), 0);
    kxPacket_Destroy(&p);
}

TEST(PacketUEI, PayloadKinds)
{
    for (uint8_t cmd : {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175})
    {
        const uint8_t d[] = {cmd, 0, 0, 0, 0};
        kxPacket* p = kxPacket_CreateWithData(0x04, 5, d);
        EXPECT_TRUE(kxUEI_isNotUEIPayload(p)) << int(cmd);
        EXPECT_FALSE(kxUEI_isUEIPayload(p));
        kxPacket_Destroy(&p);
    }
    const uint8_t stream[] = {0x30, 0x3F, 0x40, 0, 0};
    kxPacket* p = kxPacket_CreateWithData(0x04, 5, stream);
    EXPECT_TRUE(kxUEI_isStreamPacket(p));
    kxPacket_Destroy(&p);
    const uint8_t noStream[] = {0x30, 0x40, 0x40, 0, 0};
    p = kxPacket_CreateWithData(0x04, 5, noStream);
    EXPECT_FALSE(kxUEI_isStreamPacket(p));
    kxPacket_Destroy(&p);
    EXPECT_FALSE(kxUEI_isNotUEIPayload(nullptr));
}

TEST(Crc8, CheckValues)
{
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc8_create(digits, 9), 0xA1);
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(crc8_create(abc, 3), 0x42);
    EXPECT_EQ(crc8_create(abc, 0), 0);
    uint8_t crc = 0;
    for (uint8_t b : digits)
        crc = crc8_update(crc, b);
    EXPECT_EQ(crc, 0xA1);
    EXPECT_TRUE(crc8_check(digits, 9, 0xA1));
    EXPECT_FALSE(crc8_check(digits, 9, 0xA2));
}
