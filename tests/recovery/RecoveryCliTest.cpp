// `Updater -N` and `Updater -U -t RECOVER` run as a user would, against the
// ISP bootloader simulator on a pseudo-terminal and the local update server:
// exit status, output, the store, and the simulator's flash afterwards.
#include "tests/cli/ProcessRunner.h"
#include "tests/recovery/LpcSimHarness.h"
#include "tests/server/ServerHarness.h"
#include "tools/birdtool/BirdPack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>

namespace
{
// The simulator's serial-number words: the chip's fingerprint and the key its
// images are scrambled with.
const std::vector<uint32_t> kChipKey = {0x1A2B3C4D, 0x11223344, 0x55667788, 0x99AABBCC};
const char* const kFingerprintLine = "[ 1A2B3C4D 11223344 55667788 99AABBCC ]\n";
const char* const kNoServer = "http://127.0.0.1:9/cgi/u";

struct Block
{
    uint32_t address;
    std::vector<uint8_t> payload;
};

bool _has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// True when every needle appears after the one before it.
bool _in_order(const std::string& text, const std::vector<std::string>& needles)
{
    size_t at = 0;
    for (const std::string& needle : needles)
    {
        size_t found = text.find(needle, at);
        if (found == std::string::npos)
        {
            return false;
        }
        at = found + needle.size();
    }
    return true;
}

size_t _lines(const std::string& text)
{
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

bool _blank(const std::vector<uint8_t>& flash, size_t from, size_t to)
{
    return std::all_of(flash.begin() + static_cast<long>(from),
                       flash.begin() + static_cast<long>(to), [](uint8_t b) { return b == 0xFF; });
}

bool _holds(const std::vector<uint8_t>& flash, const Block& block)
{
    return flash.size() >= block.address + block.payload.size() &&
           std::equal(block.payload.begin(), block.payload.end(),
                      flash.begin() + static_cast<long>(block.address));
}

class Recovery : public ::testing::Test
{
protected:
    // A vector table block at 0 that ends in sector 1, and a block of 10000
    // bytes at 0x2000 that ends in the middle of sector 4.
    void SetUp() override
    {
        vectors = {0x0000, MakeFirmware(6000, 1, true)};
        body = {0x2000, MakeFirmware(10000, 2, false)};
    }

    // A BIRD file of the blocks, scrambled with `key` (none: plain), and an
    // end marker block (4 bytes of payload) when asked.
    std::string Image(const std::string& name, const std::vector<Block>& blocks,
                      std::vector<uint32_t> key = kChipKey, bool marker = true,
                      bool personalisable = false)
    {
        BirdManifest manifest;
        manifest.blocks.push_back(BirdPack_InfoBlock(1234, "2.10.3", 0, "DIO16"));
        if (personalisable)
        {
            manifest.blocks.push_back(BirdPack_OffsetsBlock(0x2100, 0));
        }
        for (const Block& block : blocks)
        {
            manifest.blocks.push_back(BirdPack_AddressBlock(1, 0, block.address, block.payload));
        }
        if (marker)
        {
            manifest.blocks.push_back(BirdPack_AddressBlock(1, 0, 0x40000, {1, 2, 3, 4}));
        }
        if (!key.empty())
        {
            manifest.key = key;
        }
        std::vector<uint8_t> bytes = BirdPack_File(manifest);
        std::string path = files.sub(name);
        WriteBytes(path, std::string(bytes.begin(), bytes.end()));
        return path;
    }

    void Sim(const std::vector<std::string>& args = {}) { ASSERT_TRUE(sim.Start(args)); }

    RunResult Updater(std::vector<std::string> args, const std::string& url = kNoServer)
    {
        args.insert(args.end(), {"-i", store.path(), "-u", url});
        RunOptions options;
        options.setEnv = {{"HOME", home.path()}};
        options.timeoutMs = 60000;
        RunResult run = RunProgram(UPDATER_PATH, args, options);
        EXPECT_FALSE(run.setupFailed);
        return run;
    }

    RunResult Recover(const std::string& image, std::vector<std::string> more = {})
    {
        std::vector<std::string> args = {"-U", "-t", "RECOVER", "-s", sim.Port(), "-f", image};
        args.insert(args.end(), more.begin(), more.end());
        return Updater(args);
    }

    // The chip after the run, as the simulator saved it.
    std::vector<uint8_t> Flash()
    {
        sim.Stop();
        return sim.Flash();
    }

    TempDir files, store, home, firmware;
    LpcSim sim;
    LocalServer server;
    Block vectors, body;
};

} // namespace

TEST_F(Recovery, FingerprintOfAnLpcChip)
{
    Sim();
    RunResult run = Updater({"-N", "-s", sim.Port()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(_has(run.out, kFingerprintLine)) << run.out;
    EXPECT_EQ(run.err, "");
}

TEST_F(Recovery, FingerprintOnASilentPort)
{
    Sim({"--silent"});
    RunResult run = Updater({"-N", "-s", sim.Port()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Got no response from chip\n");
    EXPECT_FALSE(_has(run.out, "["));

    RunResult missing = Updater({"-N", "-s", files.sub("no-such-port")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Got no response from chip\n");
}

TEST_F(Recovery, FromTheUpdateServerByFingerprint)
{
    const std::string serial = "40F5849A";
    mkdir((firmware.path() + "/" + serial).c_str(), 0755);
    std::string image = Image("served.bird", {vectors, body});
    std::string served = ReadBytes(image);
    WriteBytes(firmware.path() + "/" + serial + "/1234.bird", served);
    WriteBytes(firmware.path() + "/devices", serial + " DIO16\n");
    WriteBytes(firmware.path() + "/fingerprints",
               "1A2B3C4D 11223344 55667788 99AABBCC " + serial + " 1234\n");
    ASSERT_TRUE(server.Start(firmware.path()));
    Sim();

    RunResult run = Updater({"-U", "-t", "RECOVER", "-s", sim.Port()}, server.URL());
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(_in_order(run.out, {"Recovering firmware with build: 1234\n",
                                    "Downloading firmware build 1234\n", "Build 1234 is valid\n",
                                    // the block clear of sector 0 goes first
                                    "Transferring firmware block 2 of 2, 10000 bytes\n",
                                    "Transferring firmware block 1 of 2, 6000 bytes\n",
                                    "Transferred 2 blocks, 16000 total bytes\n",
                                    "Rebooting Device\n", "Update time: "}))
        << run.out;
    EXPECT_EQ(ReadBytes(store.path() + "/updater/" + serial + "/1234.bird"), served);
    EXPECT_TRUE(_has(ReadBytes(store.path() + "/updater/" + serial + "/.settings"),
                     "LATEST_DOWNLOAD=1234.bird"));
    std::vector<std::string> requests = server.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0],
              "/cgi/u?brief=true&fp=1A2B3C4D%2011223344%2055667788%2099AABBCC&op=fix&");

    std::string commands = sim.Commands();
    // 10000 bytes: 4096, 4096 and 1808 with the rest of its 4096-byte copy
    // filled, each copy's sectors prepared; the block's end lies in sector 4.
    EXPECT_TRUE(_in_order(
        commands,
        {"< W 268439552 4096\n", "< P 2 2\n", "< C 8192 268439552 4096\n", "< W 268439552 4096\n",
         "< P 3 3\n", "< C 12288 268439552 4096\n", "< W 268439552 1808\n", "< W 268441360 2288\n",
         "< P 4 4\n", "< C 16384 268439552 4096\n",
         // the vector table's block: sector 1, then sector 0 last
         "< W 268439552 1904\n", "< W 268441456 2192\n", "< P 1 1\n", "< C 4096 268439552 4096\n",
         "< W 268439552 4096\n", "< P 0 0\n", "< C 0 268439552 4096\n", "< A 1\n", "< G 0 T\n",
         "go: the user code is valid"}))
        << commands;
    EXPECT_EQ(commands.find("< C ", commands.find("< C 0 268439552 4096") + 1), std::string::npos);

    std::vector<uint8_t> flash = Flash();
    ASSERT_EQ(flash.size(), 0x80000u);
    EXPECT_TRUE(_holds(flash, vectors));
    EXPECT_TRUE(_holds(flash, body));
    EXPECT_TRUE(_blank(flash, 6000, 0x2000));
    EXPECT_TRUE(_blank(flash, 0x2000 + 10000, 0x80000)); // the end marker is not written
}

TEST_F(Recovery, AtAnotherRateTheChipIsSwitchedFirst)
{
    Sim();
    RunResult run = Recover(Image("fw.bird", {vectors}), {"-o", "9600"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(_in_order(sim.Commands(),
                          {"autobaud: 115200 baud", "< N\n", "< B 9600 1\n", "baud rate: 9600",
                           "< U 23130\n", "< W 268439552 4096\n", "< G 0 T\n"}))
        << sim.Commands();
    EXPECT_TRUE(_holds(Flash(), vectors));
}

TEST_F(Recovery, ARateTheChipRefusesStopsBeforeTheErase)
{
    Sim();
    RunResult run = Recover(Image("fw.bird", {vectors}), {"-o", "2400"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Recovery failed: switching the chip to 2400 baud: baud rate: the chip "
                       "answered 17 INVALID_BAUD_RATE\n");
    EXPECT_FALSE(_has(sim.Commands(), "< E "));
}

TEST_F(Recovery, ABlockOfOddLengthIsWrittenWhole)
{
    Block odd = {0x3000, MakeFirmware(1001, 5, false)};
    Sim();
    RunResult run = Recover(Image("odd.bird", {odd}, kChipKey, false));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(_has(run.out, "Transferred 1 blocks, 1001 total bytes\n")) << run.out;
    EXPECT_TRUE(_in_order(sim.Commands(), {"< W 268439552 1004\n", "< W 268440556 20\n",
                                           "< P 3 3\n", "< C 12288 268439552 1024\n"}))
        << sim.Commands();
    std::vector<uint8_t> flash = Flash();
    EXPECT_TRUE(_holds(flash, odd));
    EXPECT_TRUE(_blank(flash, 0x3000 + 1001, 0x80000));
    EXPECT_TRUE(_blank(flash, 0, 0x3000));
}

TEST_F(Recovery, FingerprintThenRecoveryOnTheSameChip)
{
    Sim();
    RunResult probe = Updater({"-N", "-s", sim.Port()});
    EXPECT_EQ(probe.status, 0) << probe.err;
    // The chip is still synchronised from the first run.
    RunResult run = Recover(Image("fw.bird", {vectors, body}));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(_has(sim.Commands(), "< ?\n> 1\n")) << sim.Commands();
    std::vector<uint8_t> flash = Flash();
    EXPECT_TRUE(_holds(flash, vectors));
    EXPECT_TRUE(_holds(flash, body));
}

TEST_F(Recovery, ImagesThatCannotGoToThisChipAreRefusedBeforeTheErase)
{
    Sim();
    RunResult generic = Recover(Image("generic.bird", {vectors}, kChipKey, true, true));
    EXPECT_EQ(generic.status, 1);
    EXPECT_EQ(generic.err, "Updater does not support offline recovery\n");

    // Scrambled for another chip, the vector table comes out wrong.
    RunResult other = Recover(Image("other.bird", {vectors}, {1, 2, 3, 4}));
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(other.err, "Recovery refused: the vector table of firmware block 1 has no valid "
                         "checksum word: the image is not meant for this chip, or it is "
                         "damaged\n");

    RunResult empty = Recover(Image("empty.bird", {}));
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.err, "Recovery refused: the image holds no firmware to write\n");

    RunResult missing = Recover(files.sub("missing.bird"));
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Failed to load bird file\n");
    EXPECT_FALSE(_has(sim.Commands(), "< E "));
    EXPECT_FALSE(_has(sim.Commands(), "< U "));
}

TEST_F(Recovery, WithoutServerOrImageTheRecoveryStops)
{
    Sim();
    RunResult run = Updater({"-U", "-t", "RECOVER", "-s", sim.Port()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Failed to retrieve recovery information from Kavrel server\n");
}

TEST_F(Recovery, PassingFaultsAreRidden)
{
    Sim({"--resend", "2"});
    RunResult run = Recover(Image("fw.bird", {vectors, body}));
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<uint8_t> flash = Flash();
    EXPECT_TRUE(_holds(flash, vectors));
    EXPECT_TRUE(_holds(flash, body));
}

namespace
{
struct Fault
{
    const char* name;
    std::vector<std::string> switches;
    const char* error; // the one error line, or its beginning
};

const Fault kFaults[] = {
    {"Silent", {"--silent"}, "Could not get Device Identifier\n"},
    {"GarbledFromTheStart", {"--garble-from", "1"}, "Could not get Device Identifier\n"},
    {"SerialNumberRefused", {"--fail", "N=19"}, "Could not get Device Identifier\n"},
    {"UnlockRefused",
     {"--fail", "U=16"},
     "Recovery failed: unlocking the flash: unlock: the chip answered 16 INVALID_CODE\n"},
    {"EraseRefused",
     {"--fail", "E=9"},
     "Recovery failed: erasing the flash: erase: the chip answered 9 "
     "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION\n"},
    {"CopyRefused",
     {"--fail", "C=10"},
     "Recovery failed: copying to flash at 0x00002000: copy to flash: the chip answered 10 "
     "COMPARE_ERROR\n"},
    {"ChecksumAlwaysRefused",
     {"--resend", "all"},
     "Recovery failed: writing to the chip's RAM for 0x00002000: write: the chip refused the "
     "data checksum 3 times\n"},
    {"GarbledDuringTheData",
     {"--garble-from", "16"},
     "Recovery failed: writing to the chip's RAM for 0x00002000: write: unexpected reply to the "
     "data checksum [##\\r\\n]\n"},
    {"LineDroppedMidWrite",
     {"--drop-after", "6000"},
     "Recovery failed: writing to the chip's RAM for 0x00003000: write: data checksum: no "
     "answer from the chip\n"},
    {"EchoNotBackOn",
     {"--fail", "A 1=12"},
     "Recovery Error transfering data to device ==> [2, kxErrParam]: echo on: the chip "
     "answered 12 PARAM_ERROR\n"},
};

void PrintTo(const Fault& fault, std::ostream* out)
{
    *out << fault.name;
}

class FaultMatrix : public Recovery, public ::testing::WithParamInterface<Fault>
{
};

} // namespace

TEST_P(FaultMatrix, EndsInOneErrorLineAndStatus1)
{
    const Fault& fault = GetParam();
    Sim(fault.switches);
    RunResult run = Recover(Image("fw.bird", {vectors, body}));
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_EQ(run.err, fault.error);
    EXPECT_EQ(_lines(run.err), 1u);
    EXPECT_FALSE(_has(run.out, "Rebooting Device"));
    std::vector<uint8_t> flash = Flash();
    // However far it got, sector 0 is blank or whole: a chip cut off in the
    // middle starts in its ROM bootloader again.
    if (!flash.empty() && !_holds(flash, vectors))
    {
        EXPECT_TRUE(_blank(flash, 0, 0x1000)) << fault.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Switches, FaultMatrix, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& info)
                         { return std::string(info.param.name); });
