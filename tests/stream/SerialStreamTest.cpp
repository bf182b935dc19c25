// Serial streams on pseudo-terminals.
#include <lumbrixon/kxStream.h>
#include <lumbrixon/kxStreamSerial.h>
#include "tests/stream/MemoryStream.h"
#include "tests/stream/PtyPair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <unistd.h>

namespace
{
using Bytes = std::vector<uint8_t>;

// Reads `count` bytes from a stream, polling for up to `timeoutMs`.
Bytes ReadStream(kxStream* stream, size_t count, int timeoutMs)
{
    Bytes bytes;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (bytes.size() < count && std::chrono::steady_clock::now() < end)
    {
        uint8_t byte = 0;
        kxErr err = kxStream_Read(stream, &byte, 1);
        if (err == kxErrNone)
        {
            bytes.push_back(byte);
        }
        else if (err == kxErrNotReady || err == kxErrPacket)
        {
            usleep(1000);
        }
        else
        {
            ADD_FAILURE() << "read failed: " << err;
            break;
        }
    }
    return bytes;
}
} // namespace

TEST(SerialStream, OpeningFailures)
{
    kxStream* stream = nullptr;
    EXPECT_EQ(kxStream_CreateSerial("/dev/no-such-serial-port", 6, 0, 0, 0, &stream),
              kxErrNotFound);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(kxStream_CreateSerial_Packetized("/dev/no-such-serial-port", 6, 0, 0, 0, &stream),
              kxErrNotFound);
    EXPECT_EQ(kxStream_CreateSerial("/", 6, 0, 0, 0, &stream), kxErrIO);
    // Not a terminal: the settings cannot be read.
    EXPECT_EQ(kxStream_CreateSerial("/dev/null", 6, 0, 0, 0, &stream), kxErrIO);
    EXPECT_EQ(stream, nullptr);

    PtyPair pty;
    EXPECT_EQ(kxStream_CreateSerial(pty.path.c_str(), 6, 0, 2, 0, &stream), kxErrResource);
    EXPECT_EQ(kxStream_CreateSerial(pty.path.c_str(), 6, 0, 0, 2, &stream), kxErrResource);
    // No speed for an index past the table: the port is left as it was.
    EXPECT_EQ(
        kxStream_CreateSerial(pty.path.c_str(), kxSERIAL_MAX_BAUD_INDEX + 1, 0, 0, 0, &stream),
        kxErrResource);
    EXPECT_EQ(kxStream_CreateSerial_Packetized(pty.path.c_str(), 0xFFFFFFFFu, 0, 0, 0, &stream),
              kxErrResource);
    struct termios untouched;
    ASSERT_EQ(tcgetattr(pty.slave, &untouched), 0);
    EXPECT_NE(untouched.c_lflag & ICANON, 0u);
    EXPECT_NE(cfgetospeed(&untouched), static_cast<speed_t>(B0));
    EXPECT_EQ(kxStream_CreateSerial(nullptr, 6, 0, 0, 0, &stream), kxErrResource);
    EXPECT_EQ(kxStream_CreateSerial(pty.path.c_str(), 6, 0, 0, 0, nullptr), kxErrResource);
    EXPECT_EQ(stream, nullptr);
}

TEST(SerialStream, RawSettingsAppliedAndRestored)
{
    PtyPair pty;
    struct termios before;
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0u);

    kxStream* stream = nullptr;
    ASSERT_EQ(kxStream_CreateSerial(pty.path.c_str(), 6, 0, 0, 0, &stream), kxErrNone);
    struct termios applied;
    ASSERT_EQ(tcgetattr(pty.slave, &applied), 0);
    EXPECT_EQ(applied.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(applied.c_oflag & OPOST, 0u);
    EXPECT_EQ(applied.c_iflag & (IGNBRK | IGNPAR | ICRNL | IXON), static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(applied.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(applied.c_cflag & CREAD, 0u);
    EXPECT_NE(applied.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(applied.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(applied.c_cc[VMIN], 0);
    EXPECT_EQ(applied.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&applied), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&applied), static_cast<speed_t>(B115200));
    EXPECT_EQ(kxStream_Destroy(&stream), kxErrNone);

    struct termios restored;
    ASSERT_EQ(tcgetattr(pty.slave, &restored), 0);
    EXPECT_EQ(restored.c_lflag, before.c_lflag);
    EXPECT_EQ(restored.c_cflag, before.c_cflag);

    // Seven data bits, even parity, two stop bits at 9600. A pseudo-terminal
    // always reports eight data bits without parity, so only the rest of the
    // settings can be seen here.
    ASSERT_EQ(kxStream_CreateSerial(pty.path.c_str(), 2, 1, 1, 1, &stream), kxErrNone);
    ASSERT_EQ(tcgetattr(pty.slave, &applied), 0);
    EXPECT_EQ(applied.c_cflag & PARODD, 0u);
    EXPECT_NE(applied.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(applied.c_iflag & (IGNBRK | IGNPAR | INPCK),
              static_cast<tcflag_t>(IGNBRK | IGNPAR | INPCK));
    EXPECT_EQ(cfgetospeed(&applied), static_cast<speed_t>(B9600));
    kxStream_Destroy(&stream);

    EXPECT_EQ(kxStreamSerial_BaudRate(0), 2400u);
    EXPECT_EQ(kxStreamSerial_BaudRate(7), 230400u);
    EXPECT_EQ(kxStreamSerial_BaudRate(8), 0u);
}

TEST(SerialStream, BytesTravelBothWays)
{
    PtyPair pty;
    // Bytes waiting before opening are discarded.
    pty.MakeRaw();
    pty.Write({'o', 'l', 'd'});
    kxStream* stream = nullptr;
    ASSERT_EQ(kxStream_CreateSerial(pty.path.c_str(), 6, 0, 0, 0, &stream), kxErrNone);
    uint8_t byte = 0;
    EXPECT_EQ(kxStream_Read(stream, &byte, 1), kxErrNotReady);

    const uint8_t out[5] = {'h', 0x00, '\n', 0xFF, '\r'};
    EXPECT_EQ(kxStream_Write(stream, out, 5), kxErrNone);
    EXPECT_EQ(kxStream_Write(stream, out, 1), kxErrNone);
    EXPECT_EQ(pty.Read(6, 1000), Bytes({'h', 0x00, '\n', 0xFF, '\r', 'h'}));

    pty.Write({0x03, '\r', 0x00, 0x7F});
    EXPECT_EQ(ReadStream(stream, 4, 1000), Bytes({0x03, '\r', 0x00, 0x7F}));
    kxStream_Destroy(&stream);
}

TEST(SerialStream, CobsFramedPacketsArriveIntact)
{
    PtyPair pty;
    kxStream* stream = nullptr;
    ASSERT_EQ(kxStream_CreateSerial_Packetized(pty.path.c_str(), 6, 0, 0, 0, &stream), kxErrNone);

    // Host to module: the frame on the wire decodes to the packet.
    const Bytes packet = {0x10, 0x04, 0x00, 0x21, 0x00, 0x7F};
    ASSERT_EQ(kxStream_Write(stream, packet.data(), packet.size()), kxErrNone);
    MemoryStream far;
    far.Feed(pty.Read(64, 1000, 0x00));
    far.atEnd = kxErrNotReady;
    kxStream* decoder = far.CobsStream();
    EXPECT_EQ(Drain(decoder, 40), packet);
    kxStream_Destroy(&decoder);

    // Module to host, with a corrupted frame first: the good one still arrives.
    const uint8_t reply[3] = {0x10, 0x01, 0x55};
    MemoryStream wire;
    kxStream* encoder = wire.CobsStream();
    ASSERT_EQ(kxStream_Write(encoder, reply, 3), kxErrNone);
    kxStream_Destroy(&encoder);
    Bytes bad = wire.written;
    bad[bad.size() - 2] ^= 0x01;
    pty.Write(bad);
    pty.Write(wire.written);
    EXPECT_EQ(ReadStream(stream, 3, 1000), Bytes(reply, reply + 3));
    kxStream_Destroy(&stream);
}

TEST(SerialStream, WriteToAPortThatTakesNothingEnds)
{
    PtyPair pty;
    kxStream* stream = nullptr;
    ASSERT_EQ(kxStream_CreateSerial(pty.path.c_str(), 7, 0, 0, 0, &stream), kxErrNone);
    // The far end never reads: the terminal's buffers fill and stay full.
    Bytes block(512 * 1024, 0x41);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kxStream_Write(stream, block.data(), block.size()), kxErrTimeout);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::milliseconds(kxSERIAL_STALL_MS + 1500));
    kxStream_Destroy(&stream);
}
