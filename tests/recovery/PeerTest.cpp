// The bootloader simulator against independent ISP clients from Debian:
// lpc21isp (part detection, writing and verifying an image) and lpctools'
// lpcprog (reading the chip's ID). Each test is skipped when its program is
// not installed.
#include "tests/cli/ProcessRunner.h"
#include "tests/recovery/LpcSimHarness.h"
#include "tests/server/ServerHarness.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace
{
const char* const kLpc21isp = "/usr/bin/lpc21isp";
const char* const kLpcprog = "/usr/bin/lpcprog";

bool _installed(const char* path)
{
    return access(path, X_OK) == 0;
}

bool _has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

RunResult _run(const char* program, const std::vector<std::string>& args)
{
    RunOptions options;
    options.timeoutMs = 60000;
    return RunProgram(program, args, options);
}
} // namespace

TEST(Lpc21isp, DetectsThePart)
{
    if (!_installed(kLpc21isp))
    {
        GTEST_SKIP() << "lpc21isp is not installed (Debian package lpc21isp)";
    }
    LpcSim sim;
    ASSERT_TRUE(sim.Start());
    RunResult run = _run(kLpc21isp, {"-detectonly", sim.Port(), "115200", "14746"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(_has(run.out + run.err, "LPC1768")) << run.out << run.err;
    EXPECT_TRUE(_has(run.out + run.err, "0x26013F37")) << run.out;
}

TEST(Lpc21isp, WritesAndVerifiesAnImage)
{
    if (!_installed(kLpc21isp))
    {
        GTEST_SKIP() << "lpc21isp is not installed (Debian package lpc21isp)";
    }
    TempDir dir;
    std::vector<uint8_t> image = MakeFirmware(20000, 9, true);
    WriteBytes(dir.sub("image.bin"), std::string(image.begin(), image.end()));
    LpcSim sim;
    ASSERT_TRUE(sim.Start());
    RunResult run =
        _run(kLpc21isp, {"-bin", "-verify", dir.sub("image.bin"), sim.Port(), "115200", "14746"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(_has(run.out + run.err, "Verified correct")) << run.out << run.err;
    sim.Stop();
    std::vector<uint8_t> flash = sim.Flash();
    ASSERT_EQ(flash.size(), 0x80000u);
    // The image carries its checksum word already, so lpc21isp leaves it.
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    // It fills the rest of the last sector it writes as it likes; the
    // sectors after that stay erased.
    EXPECT_TRUE(
        std::all_of(flash.begin() + 0x5000, flash.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(_has(sim.Trace(), "go: the user code is valid"));
}

TEST(Lpcprog, ReadsTheChipId)
{
    if (!_installed(kLpcprog))
    {
        GTEST_SKIP() << "lpcprog is not installed (Debian package lpctools)";
    }
    TempDir dir;
    // lpcprog looks the part up in a parts file; its own lists no LPC1768.
    WriteBytes(dir.sub("parts.def"), "0x26013F37, LPC1768FBD100, 0x00000000, 0x80000, 30, 0x04, "
                                     "0x10000000, 0x8000, 0x800, 0x800, 1\n");
    LpcSim sim;
    ASSERT_TRUE(sim.Start({"--serial", "0x01020304,5,6,0xCAFEF00D"}));
    RunResult run = _run(kLpcprog, {"-d", sim.Port(), "-c", "id", "-p", dir.sub("parts.def")});
    EXPECT_TRUE(_has(run.out, "Part ID is 0x26013f37")) << run.out << run.err;
    EXPECT_TRUE(_has(run.out, "UID: 0x01020304 - 0x00000005 - 0x00000006 - 0xcafef00d")) << run.out;
}
