// The ISP client: its encoding and argument rules on a scripted stream, and
// whole exchanges against the bootloader simulator.
#include "app/recovery/NXPSerialClass.h"
#include "tests/recovery/LpcSimHarness.h"
#include "tests/stream/MemoryStream.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{
std::string _text(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

TEST(IspText, UuEncoding)
{
    char line[64];
    NXPSerialClass::uuencode(line, reinterpret_cast<const uint8_t*>("Cat"), 3);
    EXPECT_STREQ(line, "#0V%T");
    const uint8_t zero = 0;
    NXPSerialClass::uuencode(line, &zero, 1);
    EXPECT_STREQ(line, "!````");
    uint8_t out[8] = {};
    EXPECT_EQ(NXPSerialClass::uudecode(out, sizeof out, "$0V%T(0``"), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), "Cat!");
    // A line announcing more than there is room for decodes nothing.
    EXPECT_EQ(NXPSerialClass::uudecode(out, 3, "$0V%T(0``"), 0u);
    // A line cut short decodes what it holds.
    EXPECT_EQ(NXPSerialClass::uudecode(out, sizeof out, "$0V%T"), 3u);
}

TEST(IspText, SectorsLengthsRatesAndCodes)
{
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0xFFFF), 15u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x10000), 16u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x7FFFF), 29u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x80000), 30u);
    EXPECT_EQ(NXPSerialClass::CopyLength(1), 256u);
    EXPECT_EQ(NXPSerialClass::CopyLength(257), 512u);
    EXPECT_EQ(NXPSerialClass::CopyLength(1808), 4096u);
    EXPECT_EQ(NXPSerialClass::CopyLength(5000), 5000u);
    EXPECT_EQ(NXPSerialClass::AcceptedRate(100000), 115200u);
    EXPECT_EQ(NXPSerialClass::AcceptedRate(500000), 9600u);
    EXPECT_EQ(NXPSerialClass::AcceptedRate(0), 2400u);
    EXPECT_EQ(NXPSerialClass::AcceptedRate(9600), 9600u);
    // The whole number at the line's end, echo before it or not.
    EXPECT_EQ(NXPSerialClass::ReturnCode("0\r\n"), 0);
    EXPECT_EQ(NXPSerialClass::ReturnCode("19\r\n"), 19);
    EXPECT_EQ(NXPSerialClass::ReturnCode("P 0 29\r10\r\n"), 10);
    EXPECT_EQ(NXPSerialClass::ReturnCode("OK\r\n"), -1);
    EXPECT_EQ(NXPSerialClass::ReturnCode("23130\r\n"), -1);
    EXPECT_STREQ(NXPSerialClass::GetErrorText("10\r\n"), "COMPARE_ERROR");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("19\r\n"), "CODE_READ_PROTECTION_ENABLED");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("x\r\n"), "Unknown error");
}

TEST(IspClient, RefusesBadArgumentsWithoutSending)
{
    MemoryStream memory;
    NXPSerialClass isp;
    isp.Attach(memory.Stream(), 115200);
    uint8_t data[8] = {};
    EXPECT_EQ(isp.CopyToFlash(0x1080, NXPSerialClass::WRITE_ADDRESS, 256), kxErrParam);
    EXPECT_EQ(isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 768), kxErrParam);
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 6, data), kxErrParam);
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 0, data), kxErrParam);
    EXPECT_EQ(isp.Prepare(3, 2), kxErrParam);
    EXPECT_EQ(isp.Erase(3, 2), kxErrParam);
    EXPECT_EQ(isp.SetBaudRate(100000), kxErrParam);
    EXPECT_TRUE(memory.written.empty());
}

TEST(IspClient, ReturnCodesAboveNineAndSilence)
{
    MemoryStream memory;
    memory.atEnd = kxErrNotReady; // a chip that says nothing more
    memory.Feed(
        std::vector<uint8_t>{'U', ' ', '2', '3', '1', '3', '0', '\r', '\n', '1', '5', '\r', '\n'});
    NXPSerialClass isp;
    isp.Attach(memory.Stream(), 115200);
    EXPECT_EQ(isp.Unlock(), kxErrParam);
    EXPECT_NE(isp.LastProblem().find("15 CMD_LOCKED"), std::string::npos) << isp.LastProblem();
    EXPECT_EQ(_text(memory.written), "U 23130\r\n");
    // Nothing comes back: the echo wait ends after its time-out.
    EXPECT_EQ(isp.Prepare(0, 29), kxErrTimeout);
}

TEST(IspClient, DataLinesInChecksummedGroups)
{
    // 48 bytes are two lines (45 and 3) in one group, closed by their sum.
    // Echo is off, as in the data phase of a recovery.
    MemoryStream memory;
    std::string replies = "A 0\r\n0\r\n" // the echo of "A 0" and its code
                          "0\r\nOK\r\n"; // W accepted, the group accepted
    memory.Feed(std::vector<uint8_t>(replies.begin(), replies.end()));
    NXPSerialClass isp;
    isp.Attach(memory.Stream(), 115200);
    ASSERT_EQ(isp.SetEcho(false), kxErrNone) << isp.LastProblem();
    ASSERT_FALSE(isp.Echo());
    memory.written.clear();

    std::vector<uint8_t> data(48);
    for (size_t i = 0; i < data.size(); ++i)
    {
        data[i] = static_cast<uint8_t>(i * 5);
    }
    ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 48, data.data()), kxErrNone)
        << isp.LastProblem();
    char first[64], second[64];
    NXPSerialClass::uuencode(first, data.data(), 45);
    NXPSerialClass::uuencode(second, data.data() + 45, 3);
    EXPECT_EQ(strlen(first), 61u);
    EXPECT_EQ(_text(memory.written),
              "W 268439552 48\r\n" + std::string(first) + "\r\n" + second + "\r\n" +
                  std::to_string(NXPSerialClass::sum(data.data(), 48)) + "\r\n");
}

namespace
{
class ClientOnSim : public ::testing::Test
{
protected:
    void Start(const std::vector<std::string>& args = {})
    {
        ASSERT_TRUE(sim.Start(args));
        ASSERT_EQ(isp.Connect(sim.Port().c_str(), 115200), kxErrNone) << isp.LastProblem();
        ASSERT_EQ(isp.Sync(), kxErrNone) << isp.LastProblem();
    }
    LpcSim sim;
    NXPSerialClass isp;
};
} // namespace

TEST_F(ClientOnSim, IdentifiesTheChip)
{
    Start({"--part-id", "0x26013F33", "--boot-version", "8.2"});
    ASSERT_EQ(isp.GetDeviceID(), kxErrNone) << isp.LastProblem();
    EXPECT_EQ(isp.DeviceID()[0], 0x1A2B3C4Du);
    EXPECT_EQ(isp.DeviceID()[3], 0x99AABBCCu);
    int64_t part = 0;
    ASSERT_EQ(isp.GetPartNumber(&part), kxErrNone);
    EXPECT_EQ(part, 0x26013F33);
    uint8_t major = 0, minor = 0;
    ASSERT_EQ(isp.GetBootLoaderVersion(&major, &minor), kxErrNone);
    EXPECT_EQ(major, 8);
    EXPECT_EQ(minor, 2);
}

TEST_F(ClientOnSim, WritesReadsAndCopiesWithAndWithoutEcho)
{
    Start();
    std::vector<uint8_t> data = MakeFirmware(4096, 3, false);
    ASSERT_EQ(isp.Unlock(), kxErrNone);
    // With echo on, each line's echo is taken back.
    ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 1000, data.data()), kxErrNone)
        << isp.LastProblem();
    ASSERT_EQ(isp.SetEcho(false), kxErrNone);
    ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS + 1000, 3096, data.data() + 1000), kxErrNone)
        << isp.LastProblem();
    std::vector<uint8_t> back(4096);
    ASSERT_EQ(isp.Read(NXPSerialClass::WRITE_ADDRESS, 4096, back.data()), kxErrNone)
        << isp.LastProblem();
    EXPECT_EQ(back, data);
    ASSERT_EQ(isp.Prepare(2, 2), kxErrNone);
    ASSERT_EQ(isp.CopyToFlash(0x2000, NXPSerialClass::WRITE_ADDRESS, 4096), kxErrNone);
    ASSERT_EQ(isp.SetEcho(true), kxErrNone);
    std::fill(back.begin(), back.end(), 0);
    ASSERT_EQ(isp.Read(0x2000, 4096, back.data()), kxErrNone) << isp.LastProblem();
    EXPECT_EQ(back, data);
    // Without preparing, the chip says so in a two-digit code.
    EXPECT_EQ(isp.CopyToFlash(0x3000, NXPSerialClass::WRITE_ADDRESS, 4096), kxErrParam);
    EXPECT_NE(isp.LastProblem().find("9 SECTOR_NOT_PREPARED"), std::string::npos);
}

TEST_F(ClientOnSim, ResendsRefusedGroupsTwiceAtMost)
{
    Start({"--resend", "2"});
    std::vector<uint8_t> data = MakeFirmware(1800, 4, false);
    ASSERT_EQ(isp.SetEcho(false), kxErrNone);
    ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 1800, data.data()), kxErrNone)
        << isp.LastProblem();
    std::vector<uint8_t> back(1800);
    ASSERT_EQ(isp.Read(NXPSerialClass::WRITE_ADDRESS, 1800, back.data()), kxErrNone);
    EXPECT_EQ(back, data);
}

TEST_F(ClientOnSim, GivesUpOnTheThirdResend)
{
    Start({"--resend", "all"});
    std::vector<uint8_t> data(900, 0x5A);
    ASSERT_EQ(isp.SetEcho(false), kxErrNone);
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 900, data.data()), kxErrTimeout);
    EXPECT_NE(isp.LastProblem().find("refused the data checksum 3 times"), std::string::npos);
}

TEST_F(ClientOnSim, SwitchesTheBaudRateBeforeThePortFollows)
{
    Start();
    ASSERT_EQ(isp.SetBaudRate(9600), kxErrNone) << isp.LastProblem();
    EXPECT_EQ(isp.Baud(), 9600u);
    int64_t part = 0;
    ASSERT_EQ(isp.GetPartNumber(&part), kxErrNone) << isp.LastProblem();
    EXPECT_EQ(part, 0x26013F37);
}

TEST_F(ClientOnSim, ASecondSessionFindsTheChipSynchronised)
{
    Start();
    ASSERT_EQ(isp.SetEcho(false), kxErrNone);
    NXPSerialClass second;
    ASSERT_EQ(second.Connect(sim.Port().c_str(), 115200), kxErrNone);
    ASSERT_EQ(second.Sync(), kxErrNone) << second.LastProblem();
    EXPECT_FALSE(second.Echo());
    ASSERT_EQ(second.GetDeviceID(), kxErrNone) << second.LastProblem();
    EXPECT_EQ(second.DeviceID()[1], 0x11223344u);
}

TEST(IspClientSilence, SyncEndsInBoundedTime)
{
    LpcSim sim;
    ASSERT_TRUE(sim.Start({"--silent"}));
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(sim.Port().c_str(), 115200), kxErrNone);
    EXPECT_EQ(isp.Sync(), kxErrTimeout);
    EXPECT_EQ(isp.LastProblem(), "no answer to the synchronisation");
}
