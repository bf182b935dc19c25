// USB streams through the driver's kernel-device mode, with a pseudo-terminal
// standing in for the module's device file.
#include <lumbrixon/kxStream.h>
#include "tests/stream/PtyPair.h"
#include <lumbrixon/lxusb_driver.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace
{
using Bytes = std::vector<uint8_t>;

class UsbStreamTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kx_usb_stream_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        setenv(lxusbDEVICE_DIR_ENV, dir.c_str(), 1);
        pty.MakeRaw();
    }
    void TearDown() override
    {
        unlink(device.c_str());
        rmdir(dir.c_str());
        unsetenv(lxusbDEVICE_DIR_ENV);
    }
    void InstallDevice(const char* serial)
    {
        device = dir + "/lumbrixon." + serial;
        ASSERT_EQ(symlink(pty.path.c_str(), device.c_str()), 0);
    }
    std::string dir;
    std::string device;
    PtyPair pty;
};
} // namespace

TEST_F(UsbStreamTest, ModuleBytesBothWays)
{
    InstallDevice("40F5849A");
    kxStream* stream = nullptr;
    ASSERT_EQ(kxStream_CreateUSB(0x40F5849A, &stream), kxErrNone);
    const uint8_t packet[4] = {0x04, 0x02, 0x00, 0x03};
    EXPECT_EQ(kxStream_Write(stream, packet, 4), kxErrNone);
    EXPECT_EQ(pty.Read(4, 1000), Bytes(packet, packet + 4));

    pty.Write({0x04, 0x00});
    // Read only once the bytes are there: a device file may block when empty.
    struct pollfd pfd = {pty.slave, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 1000), 1);
    uint8_t got[2] = {};
    EXPECT_EQ(kxStream_Read(stream, got, 2), kxErrNone);
    EXPECT_EQ(Bytes(got, got + 2), Bytes({0x04, 0x00}));
    EXPECT_EQ(kxStream_Destroy(&stream), kxErrNone);
}

TEST_F(UsbStreamTest, RefusedSerialNumbers)
{
    kxStream* stream = nullptr;
    EXPECT_EQ(kxStream_CreateUSB(0, &stream), kxErrParam);
    EXPECT_EQ(kxStream_CreateUSB(0x40F5849A, nullptr), kxErrParam);
    // No device file and no such module on the bus.
    EXPECT_NE(kxStream_CreateUSB(0x0BADF00D, &stream), kxErrNone);
    EXPECT_EQ(stream, nullptr);
}
