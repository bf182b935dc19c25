// The ISP bootloader simulator spoken to in literal protocol text, the way a
// host at the other end of the chip's UART would.
#include "tests/recovery/LpcSimHarness.h"

#include <gtest/gtest.h>

#include <chrono>

namespace
{
// Synchronises at `baud`; the chip echoes with its echo still on.
void _sync(IspHost& host)
{
    ASSERT_EQ(host.Ask("?", "\r\n"), "Synchronized\r\n");
    ASSERT_EQ(host.Ask("Synchronized\r\n", "OK\r\n"), "Synchronized\r\nOK\r\n");
    ASSERT_EQ(host.Ask("14746\r\n", "OK\r\n"), "14746\r\nOK\r\n");
}

class SimTest : public ::testing::Test
{
protected:
    void Run(const std::vector<std::string>& args = {}, uint32_t baud = 115200)
    {
        ASSERT_TRUE(sim.Start(args));
        host = std::make_unique<IspHost>(sim.Port(), baud);
        ASSERT_TRUE(host->Open());
    }
    LpcSim sim;
    std::unique_ptr<IspHost> host;
};

} // namespace

TEST_F(SimTest, SynchronisesAndIdentifiesWithEcho)
{
    Run();
    // Anything before the sync character is noise to the autobaud routine.
    host->Send("xyz");
    _sync(*host);
    EXPECT_EQ(host->Ask("J\r\n", "637615927\r\n"), "J\r\n0\r\n637615927\r\n");
    EXPECT_EQ(host->Ask("K\r\n", "1\r\n"), "K\r\n0\r\n4\r\n1\r\n");
    EXPECT_EQ(host->Ask("A 0\r\n", "A 0\r\n0\r\n"), "A 0\r\n0\r\n");
    EXPECT_EQ(host->Ask("N\r\n", "2578103244\r\n"),
              "0\r\n439041101\r\n287454020\r\n1432778632\r\n2578103244\r\n");
    EXPECT_EQ(host->Ask("Q 1\r\n", "\r\n"), "1\r\n");  // INVALID_COMMAND
    EXPECT_EQ(host->Ask("J 7\r\n", "\r\n"), "12\r\n"); // PARAM_ERROR
    EXPECT_EQ(host->Ask("A 1\r\n", "0\r\n"), "0\r\n");
    EXPECT_EQ(host->Ask("J\r\n", "637615927\r\n"), "J\r\n0\r\n637615927\r\n");
}

TEST_F(SimTest, SyncStartsOverOnAWrongAnswer)
{
    Run();
    ASSERT_EQ(host->Ask("?", "\r\n"), "Synchronized\r\n");
    EXPECT_EQ(host->Ask("Synchronised\r\n", "\r\n"), "Synchronised\r\n");
    EXPECT_EQ(host->Receive(1, 200), "");
    _sync(*host);
}

TEST_F(SimTest, FlashNeedsUnlockAndPrepare)
{
    Run({"--serial", "1,2,3,4"});
    _sync(*host);
    host->Ask("A 0\r\n", "A 0\r\n0\r\n");
    EXPECT_EQ(host->Ask("N\r\n", "4\r\n"), "0\r\n1\r\n2\r\n3\r\n4\r\n");
    EXPECT_EQ(host->Ask("E 0 1\r\n", "\r\n"), "15\r\n");  // CMD_LOCKED
    EXPECT_EQ(host->Ask("U 1234\r\n", "\r\n"), "16\r\n"); // INVALID_CODE
    EXPECT_EQ(host->Ask("U 23130\r\n", "\r\n"), "0\r\n");
    EXPECT_EQ(host->Ask("E 0 1\r\n", "\r\n"), "9\r\n");
    EXPECT_EQ(host->Ask("P 0 30\r\n", "\r\n"), "7\r\n"); // INVALID_SECTOR
    EXPECT_EQ(host->Ask("P 2 1\r\n", "\r\n"), "7\r\n");
    EXPECT_EQ(host->Ask("P 0 1\r\n", "\r\n"), "0\r\n");
    EXPECT_EQ(host->Ask("E 0 1\r\n", "\r\n"), "0\r\n");
    // A successful erase protects its sectors again.
    EXPECT_EQ(host->Ask("E 0 1\r\n", "\r\n"), "9\r\n");
    EXPECT_EQ(host->Ask("I 0 29\r\n", "\r\n"), "0\r\n"); // blank
}

TEST_F(SimTest, WritesRamInChecksummedGroupsAndCopiesToFlash)
{
    Run();
    _sync(*host);
    host->Ask("A 0\r\n", "A 0\r\n0\r\n");
    host->Ask("U 23130\r\n", "0\r\n");
    EXPECT_EQ(host->Ask("W 268435457 4\r\n", "\r\n"), "13\r\n"); // ADDR_ERROR
    EXPECT_EQ(host->Ask("W 268435456 6\r\n", "\r\n"), "6\r\n");  // COUNT_ERROR
    EXPECT_EQ(host->Ask("W 4096 4\r\n", "\r\n"), "14\r\n");      // flash is not RAM
    EXPECT_EQ(host->Ask("W 268435456 4\r\n", "\r\n"), "0\r\n");
    host->Send("$0V%T(0``\r\n");
    // "Cat!" adds up to 313.
    EXPECT_EQ(host->Ask("314\r\n", "\r\n"), "RESEND\r\n");
    host->Send("$0V%T(0``\r\n");
    EXPECT_EQ(host->Ask("313\r\n", "\r\n"), "OK\r\n");
    EXPECT_EQ(host->Ask("R 268435456 4\r\n", "313\r\n"), "0\r\n$0V%T(0``\r\n313\r\n");
    host->Send("OK\r\n");

    // 256 bytes: the word, then zeros, copied to 0x1000.
    EXPECT_EQ(host->Ask("C 4096 268435456 256\r\n", "\r\n"), "9\r\n");
    EXPECT_EQ(host->Ask("P 1 1\r\n", "\r\n"), "0\r\n");
    EXPECT_EQ(host->Ask("C 4097 268435456 256\r\n", "\r\n"), "3\r\n"); // DST_ADDR_ERROR
    EXPECT_EQ(host->Ask("C 4096 268435456 300\r\n", "\r\n"), "6\r\n"); // COUNT_ERROR
    EXPECT_EQ(host->Ask("C 4096 268435456 256\r\n", "\r\n"), "0\r\n");
    EXPECT_EQ(host->Ask("M 4096 268435456 4\r\n", "\r\n"), "0\r\n");
    EXPECT_EQ(host->Ask("M 4096 268435460 8\r\n", "\r\n0\r\n"), "10\r\n0\r\n"); // COMPARE_ERROR
    EXPECT_EQ(host->Ask("I 1 1\r\n", "\r\n"), "8\r\n");

    std::vector<uint8_t> flash = sim.Flash();
    ASSERT_EQ(flash.size(), 0x80000u);
    EXPECT_EQ(std::string(flash.begin() + 0x1000, flash.begin() + 0x1004), "Cat!");
    EXPECT_EQ(flash[0x1004], 0);    // RAM is zero
    EXPECT_EQ(flash[0x1100], 0xFF); // past the copy
    EXPECT_EQ(flash[0x0FFF], 0xFF);
}

TEST_F(SimTest, EchoesDataLinesWhileEchoIsOn)
{
    Run();
    _sync(*host);
    EXPECT_EQ(host->Ask("W 268435456 4\r\n", "0\r\n"), "W 268435456 4\r\n0\r\n");
    EXPECT_EQ(host->Ask("$````````\r\n", "\r\n"), "$````````\r\n");
    EXPECT_EQ(host->Ask("0\r\n", "OK\r\n"), "0\r\nOK\r\n");
}

TEST_F(SimTest, BaudRateCommandMovesTheLine)
{
    Run();
    _sync(*host);
    host->Ask("A 0\r\n", "A 0\r\n0\r\n");
    EXPECT_EQ(host->Ask("B 4800 1\r\n", "\r\n"), "17\r\n"); // INVALID_BAUD_RATE
    EXPECT_EQ(host->Ask("B 9600 3\r\n", "\r\n"), "18\r\n"); // INVALID_STOP_BIT
    // The return code still comes at the old rate.
    EXPECT_EQ(host->Ask("B 9600 1\r\n", "\r\n"), "0\r\n");
    // At the old rate the chip hears noise and the host gets noise back.
    host->Send("J\r\n");
    EXPECT_EQ(host->Receive(64, 300), "");
    host->SetBaud(9600);
    host->Send("\r\n"); // ends the line of noise
    EXPECT_EQ(host->ReceiveUntil("\r\n"), "1\r\n");
    EXPECT_EQ(host->Ask("J\r\n", "637615927\r\n"), "0\r\n637615927\r\n");
    EXPECT_NE(sim.Trace().find("baud rate: 9600"), std::string::npos);
}

TEST_F(SimTest, AutobaudTakesTheHostSpeed)
{
    Run({}, 19200);
    _sync(*host);
    EXPECT_NE(sim.Trace().find("autobaud: 19200 baud"), std::string::npos);
    host->SetBaud(115200);
    host->Send("J\r\n");
    std::string noise = host->Receive(64, 300);
    EXPECT_EQ(noise.find("637615927"), std::string::npos) << noise;
}

TEST_F(SimTest, PacesAtTheCharacterTime)
{
    Run({"--pace"}, 9600);
    _sync(*host);
    // The echo of "N\r\n" and the reply are 52 characters: at 9600 baud
    // 54 ms on the wire.
    auto start = std::chrono::steady_clock::now();
    std::string reply = host->Ask("N\r\n", "2578103244\r\n");
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_EQ(reply.size(), 52u) << reply;
    EXPECT_GE(ms, 50);
}

TEST_F(SimTest, GoStartsTheCodeAndTellsWhetherItIsValid)
{
    Run();
    _sync(*host);
    host->Ask("A 0\r\n", "A 0\r\n0\r\n");
    EXPECT_EQ(host->Ask("G 0 T\r\n", "\r\n"), "15\r\n");
    host->Ask("U 23130\r\n", "0\r\n");
    EXPECT_EQ(host->Ask("G 0 T\r\n", "\r\n"), "0\r\n");
    EXPECT_NE(sim.Trace().find("not valid, a reset brings back the ROM bootloader"),
              std::string::npos);
    // The bootloader has gone.
    host->Send("J\r\n");
    EXPECT_EQ(host->Receive(1, 200), "");
}

TEST_F(SimTest, FaultSilent)
{
    Run({"--silent"});
    host->Send("?");
    EXPECT_EQ(host->Receive(1, 300), "");
}

TEST_F(SimTest, FaultGarbledLines)
{
    Run({"--garble-from", "3"});
    ASSERT_EQ(host->Ask("?", "\r\n"), "Synchronized\r\n");
    ASSERT_EQ(host->Ask("Synchronized\r\n", "OK\r\n"), "Synchronized\r\nOK\r\n");
    EXPECT_EQ(host->Ask("14746\r\n", "##\r\n"), "14746\r\n##\r\n");
}

TEST_F(SimTest, FaultForcedReturnCode)
{
    Run({"--fail", "E=9", "--fail", "J=19x1"});
    _sync(*host);
    host->Ask("A 0\r\n", "A 0\r\n0\r\n");
    EXPECT_EQ(host->Ask("J\r\n", "\r\n"), "19\r\n");
    EXPECT_EQ(host->Ask("J\r\n", "637615927\r\n"), "0\r\n637615927\r\n");
    host->Ask("U 23130\r\n", "0\r\n");
    host->Ask("P 0 29\r\n", "0\r\n");
    EXPECT_EQ(host->Ask("E 0 29\r\n", "\r\n"), "9\r\n");
    EXPECT_EQ(host->Ask("E 0 29\r\n", "\r\n"), "9\r\n");
}

TEST_F(SimTest, FaultChecksumRefusedAndLineDropped)
{
    Run({"--resend", "1", "--drop-after", "8"});
    _sync(*host);
    host->Ask("A 0\r\n", "A 0\r\n0\r\n");
    EXPECT_EQ(host->Ask("W 268435456 4\r\n", "\r\n"), "0\r\n");
    host->Send("$0V%T(0``\r\n");
    EXPECT_EQ(host->Ask("313\r\n", "\r\n"), "RESEND\r\n"); // right, but refused once
    host->Send("$0V%T(0``\r\n");
    // Eight bytes of data have arrived by now: the line is dead.
    host->Send("313\r\n");
    EXPECT_EQ(host->Receive(1, 300), "");
    EXPECT_NE(sim.Trace().find("fault: the line drops after 8 bytes"), std::string::npos);
}

TEST(SimTool, HelpNamesEverySwitch)
{
    FILE* help = popen(LPCSIM_PATH " --help", "r");
    ASSERT_NE(help, nullptr);
    std::string text;
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, help)) > 0)
    {
        text.append(chunk, n);
    }
    EXPECT_EQ(pclose(help), 0);
    for (const char* option : {"--pace", "--flash-out", "--flash-in", "--trace", "--silent",
                               "--garble-from", "--resend", "--fail", "--drop-after", "--serial"})
    {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }
}
