// The COBS framing stream over an in-memory inner stream.
#include <lumbrixon/crc8.h>
#include <lumbrixon/kxPacket.h>
#include <lumbrixon/kxStream.h>
#include <lumbrixon/kxStream_CobsEncoding.h>
#include "tests/stream/MemoryStream.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace
{
using Bytes = std::vector<uint8_t>;

// The five bytes of the empty packet from address 4 on a serial link.
const Bytes sFrameOf0400 = {0x02, 0x04, 0x02, 0x3B, 0x00};

class CobsStreamTest : public ::testing::Test
{
protected:
    void SetUp() override { stream = memory.CobsStream(); }
    void TearDown() override { kxStream_Destroy(&stream); }
    MemoryStream memory;
    kxStream* stream = nullptr;
};

Bytes Packet(uint8_t address, uint8_t length)
{
    Bytes packet = {address, length};
    for (uint8_t i = 0; i < length; i++)
    {
        packet.push_back(static_cast<uint8_t>(i * 37));
    }
    return packet;
}

// The frame of a packet on a serial link, encoded here step by step: the
// packet, its CRC-8, COBS (every block here is shorter than 254 bytes) and the
// 0x00 delimiter.
Bytes HandFrame(const Bytes& packet)
{
    Bytes content = packet;
    content.push_back(crc8_create(packet.data(), packet.size()));
    Bytes frame = {0};
    size_t code = 0;
    for (uint8_t b : content)
    {
        if (b == 0)
        {
            frame[code] = static_cast<uint8_t>(frame.size() - code);
            code = frame.size();
            frame.push_back(0);
        }
        else
        {
            frame.push_back(b);
        }
    }
    frame[code] = static_cast<uint8_t>(frame.size() - code);
    frame.push_back(0);
    return frame;
}
} // namespace

TEST_F(CobsStreamTest, FiveByteFrameYieldsThePacket)
{
    ASSERT_NE(stream, nullptr);
    memory.atEnd = kxErrNotReady;
    memory.Feed(sFrameOf0400);
    uint8_t byte = 0;
    for (size_t i = 0; i < sFrameOf0400.size(); i++)
    {
        EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrNotReady) << i;
    }
    uint8_t packet[2] = {};
    EXPECT_EQ(kxStream_Read(stream, packet, 2), kxErrNone);
    EXPECT_EQ(Bytes(packet, packet + 2), Bytes({0x04, 0x00}));
    EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrNotReady);
}

TEST_F(CobsStreamTest, WritingThePacketGivesTheFiveByteFrame)
{
    const uint8_t packet[2] = {0x04, 0x00};
    EXPECT_EQ(kxStream_Write(stream, packet, 2), kxErrNone);
    EXPECT_EQ(memory.written, sFrameOf0400);
    EXPECT_EQ(memory.writeCalls, 1);
}

TEST_F(CobsStreamTest, BadFramesAreDroppedWholeOnce)
{
    Bytes corrupted = sFrameOf0400;
    corrupted[3] ^= 0x10;
    memory.Feed({0x00, 0x00}); // stray delimiters
    memory.Feed(corrupted);
    memory.Feed({0x02, 0x04, 0x05, 0x3B, 0x00}); // length byte does not match
    memory.Feed(Bytes(40, 0x33));                // longer than any frame
    memory.Feed({0x00});
    memory.Feed({0x01, 0x00}); // decodes to nothing
    memory.Feed(sFrameOf0400);
    memory.atEnd = kxErrNotReady;
    int packetErrors = 0;
    Bytes got = Drain(stream, 80, &packetErrors);
    EXPECT_EQ(packetErrors, 4);
    EXPECT_EQ(got, Bytes({0x04, 0x00}));
}

TEST_F(CobsStreamTest, HandFramingMatchesTheKnownFrame)
{
    EXPECT_EQ(HandFrame({0x04, 0x00}), sFrameOf0400);
}

TEST_F(CobsStreamTest, TheLongestPacketsArrive)
{
    // 27 and 28 data bytes: the longest packet and its CRC are 31 bytes,
    // 32 once encoded.
    const Bytes longer = Packet(0x06, 27);
    const Bytes longest = Packet(0x08, kxPACKET_MAX_DATA);
    const Bytes longestFrame = HandFrame(longest);
    ASSERT_EQ(longestFrame.size(), static_cast<size_t>(kxCOBS_MAX_ENCODED_FRAME_BYTES + 1));
    memory.Feed(HandFrame(longer));
    memory.Feed(longestFrame);
    memory.atEnd = kxErrNotReady;
    Bytes expected = longer;
    expected.insert(expected.end(), longest.begin(), longest.end());
    int packetErrors = 0;
    EXPECT_EQ(Drain(stream, 200, &packetErrors), expected);
    EXPECT_EQ(packetErrors, 0);

    // One data byte more does not fit a frame: one packet error, nothing read,
    // and the stream goes on with the next frame.
    Bytes tooLong = {0x0A, kxPACKET_MAX_DATA + 1};
    tooLong.resize(kxPACKET_MAX_DATA + 3, 0x5A);
    const Bytes tooLongFrame = HandFrame(tooLong);
    ASSERT_EQ(tooLongFrame.size(), static_cast<size_t>(kxCOBS_MAX_ENCODED_FRAME_BYTES + 2));
    memory.Feed(tooLongFrame);
    memory.Feed(sFrameOf0400);
    packetErrors = 0;
    EXPECT_EQ(Drain(stream, 200, &packetErrors), Bytes({0x04, 0x00}));
    EXPECT_EQ(packetErrors, 1);
}

TEST_F(CobsStreamTest, InnerFailuresArePassedOnAndTheFrameUnderWayStays)
{
    memory.Feed({0x02, 0x04});
    memory.FeedResult(kxErrIO);
    memory.Feed({0x02, 0x3B, 0x00});
    memory.atEnd = kxErrEOF;
    uint8_t byte = 0;
    EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrNotReady);
    EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrNotReady);
    // A hung-up line is not "nothing yet".
    EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrIO);
    for (int i = 0; i < 3; i++)
    {
        EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrNotReady) << i;
    }
    EXPECT_EQ(Drain(stream, 2), Bytes({0x04, 0x00}));
    EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrEOF);
}

TEST_F(CobsStreamTest, PacketsOfEveryLengthRoundTrip)
{
    MemoryStream far;
    kxStream* reader = far.CobsStream();
    Bytes expected;
    for (uint8_t length = 0; length <= 26; length++)
    {
        Bytes packet = Packet(static_cast<uint8_t>(2 + 2 * length), length);
        ASSERT_EQ(kxStream_Write(stream, packet.data(), packet.size()), kxErrNone) << +length;
        expected.insert(expected.end(), packet.begin(), packet.end());
    }
    EXPECT_EQ(std::count(memory.written.begin(), memory.written.end(), 0), 27);
    far.Feed(memory.written);
    far.atEnd = kxErrNotReady;
    EXPECT_EQ(Drain(reader, 2000), expected);
    kxStream_Destroy(&reader);
}

TEST_F(CobsStreamTest, WrittenFramesMatchHandFraming)
{
    MemoryStream putOnly;
    kxStream* byteWise = nullptr;
    ASSERT_EQ(kxStream_CreateCobsEncoding(MemoryStream::Get, MemoryStream::Put, nullptr,
                                          MemoryStream::Delete, &putOnly, &byteWise),
              kxErrNone);
    Bytes batch;
    Bytes expected;
    for (uint8_t length = 0; length <= kxCOBS_MAX_WRITE_PACKET_BYTES - 2; length++)
    {
        Bytes packet = Packet(static_cast<uint8_t>(0xFF - length), length);
        memory.written.clear();
        ASSERT_EQ(kxStream_Write(stream, packet.data(), packet.size()), kxErrNone) << +length;
        EXPECT_EQ(memory.written, HandFrame(packet)) << +length;
        batch.insert(batch.end(), packet.begin(), packet.end());
        Bytes frame = HandFrame(packet);
        expected.insert(expected.end(), frame.begin(), frame.end());
    }
    // The whole sequence in one write, by `write` and by `put` alone.
    memory.written.clear();
    EXPECT_EQ(kxStream_Write(stream, batch.data(), batch.size()), kxErrNone);
    EXPECT_EQ(memory.written, expected);
    EXPECT_EQ(kxStream_Write(byteWise, batch.data(), batch.size()), kxErrNone);
    EXPECT_EQ(putOnly.written, expected);
    kxStream_Destroy(&byteWise);
}

TEST_F(CobsStreamTest, AFailedFrameInABatchIsReported)
{
    Bytes batch = Packet(0x04, 0);
    Bytes second = Packet(0xAF, 1);
    batch.insert(batch.end(), second.begin(), second.end());
    const kxErr firstFails[] = {kxErrIO, kxErrNone};
    const kxErr secondFails[] = {kxErrNone, kxErrTimeout};
    for (const kxErr* results : {firstFails, secondFails})
    {
        memory.written.clear();
        memory.writeCalls = 0;
        memory.writeResults.assign(results, results + 2);
        kxErr expected = results[0] != kxErrNone ? results[0] : results[1];
        EXPECT_EQ(kxStream_Write(stream, batch.data(), batch.size()), expected);
        // Both frames were handed over.
        EXPECT_EQ(memory.writeCalls, 2);
        EXPECT_EQ(std::count(memory.written.begin(), memory.written.end(), 0), 2);
    }
}

TEST_F(CobsStreamTest, OneWriteMayCarrySeveralPackets)
{
    Bytes batch = Packet(0x04, 0);
    Bytes second = Packet(0xAF, 1);
    batch.insert(batch.end(), second.begin(), second.end());
    EXPECT_EQ(kxStream_Write(stream, batch.data(), batch.size()), kxErrNone);
    EXPECT_EQ(memory.writeCalls, 2);
    EXPECT_EQ(std::count(memory.written.begin(), memory.written.end(), 0), 2);
}

TEST_F(CobsStreamTest, WriteRejectsWhatIsNotWholePackets)
{
    struct Case
    {
        Bytes bytes;
        kxErr expected;
    };
    Bytes tooLong = Packet(0x04, 27);
    Bytes longest = Packet(0x04, 28);
    Bytes good = Packet(0x04, 3);
    Bytes goodThenCut = good;
    goodThenCut.insert(goodThenCut.end(), {0x06, 0x05, 0x01});
    Bytes lengthOver28 = {0x04, 29};
    lengthOver28.resize(31, 0x55);
    const Case cases[] = {
        {{0x04, 0x02, 0x00}, kxErrPacket}, // data missing
        {{0x00, 0x00}, kxErrPacket},       // no address
        {goodThenCut, kxErrPacket},        // second packet cut short
        {lengthOver28, kxErrPacket},       // no packet is that long
        {tooLong, kxErrSize},              // 29 bytes: too long for a frame
        {longest, kxErrSize},              // 30 bytes
        {Packet(0xFF, 255), kxErrPacket},
    };
    for (const Case& c : cases)
    {
        memory.written.clear();
        EXPECT_EQ(kxStream_Write(stream, c.bytes.data(), c.bytes.size()), c.expected)
            << c.bytes.size();
        EXPECT_TRUE(memory.written.empty());
    }
    // The stream is still fine afterwards.
    memory.written.clear();
    const uint8_t packet[2] = {0x04, 0x00};
    EXPECT_EQ(kxStream_Write(stream, packet, 2), kxErrNone);
    EXPECT_EQ(memory.written, sFrameOf0400);
}

TEST_F(CobsStreamTest, InnerResultsPutAndDelete)
{
    memory.writeResult = kxErrIO;
    Bytes packet = Packet(0x04, 1);
    EXPECT_EQ(kxStream_Write(stream, packet.data(), packet.size()), kxErrIO);
    memory.written.clear();
    const uint8_t one = 0x55;
    EXPECT_EQ(kxStream_Write(stream, &one, 1), kxErrNone);
    EXPECT_EQ(memory.written, Bytes({0x55}));
    EXPECT_EQ(kxStream_Destroy(&stream), kxErrNone);
    EXPECT_EQ(memory.deleteCalls, 1);

    EXPECT_EQ(kxStream_CreateCobsEncoding(MemoryStream::Get, MemoryStream::Put, nullptr, nullptr,
                                          &memory, nullptr),
              kxErrParam);
}
