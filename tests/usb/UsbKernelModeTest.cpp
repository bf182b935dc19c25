// The USB driver's kernel device-file mode, with a pseudo-terminal standing in
// for the kernel's device file.
#include <lumbrixon/lxusb_driver.h>

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <termios.h>
#include <unistd.h>

namespace
{

int _initCalls = 0;

int _countingInit(libusb_context** context)
{
    _initCalls++;
    *context = nullptr;
    return LIBUSB_ERROR_OTHER;
}

class UsbKernelMode : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/lxusb-devXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        setenv(lxusbDEVICE_DIR_ENV, dir.c_str(), 1);

        char slaveName[128];
        ASSERT_EQ(openpty(&master, &slave, slaveName, nullptr, nullptr), 0);
        struct termios raw;
        ASSERT_EQ(tcgetattr(slave, &raw), 0);
        cfmakeraw(&raw);
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
        devicePath = dir + "/lumbrixon.40F5849A";
        ASSERT_EQ(symlink(slaveName, devicePath.c_str()), 0);

        _initCalls = 0;
        Lumbrixon_libusb_exit();
        Lumbrixon_libusb_set_init_function(_countingInit);
    }

    void TearDown() override
    {
        if (usb != nullptr)
            lxusb_destroy(&usb);
        if (master >= 0)
            close(master);
        if (slave >= 0)
            close(slave);
        unlink(devicePath.c_str());
        rmdir((dir + "/lumbrixon.00000001").c_str());
        rmdir(dir.c_str());
        unsetenv(lxusbDEVICE_DIR_ENV);
        Lumbrixon_libusb_set_init_function(nullptr);
    }

    void openDevice()
    {
        usb = lxusb_create_usb(lxusbModeKernel);
        ASSERT_NE(usb, nullptr);
        ASSERT_EQ(lxusb_open_lumbrixon_device(usb, "40F5849A"), kxErrNone);
    }

    std::string dir, devicePath;
    int master = -1, slave = -1;
    lxusb_device* usb = nullptr;
};

TEST_F(UsbKernelMode, DeviceFileIsLookedUpInTheConfiguredDirectory)
{
    char path[256];
    ASSERT_EQ(lxusb_kernel_device_path(0x40F5849A, path, sizeof path), kxErrNone);
    EXPECT_EQ(std::string(path), devicePath);
    EXPECT_TRUE(lxusb_is_kernel_driver_installed(0x40F5849A));
    EXPECT_FALSE(lxusb_is_kernel_driver_installed(0x40F5849B));
    // A directory of that name is not a device file.
    ASSERT_EQ(mkdir((dir + "/lumbrixon.00000001").c_str(), 0700), 0);
    EXPECT_FALSE(lxusb_is_kernel_driver_installed(1));
    EXPECT_EQ(lxusb_kernel_device_path(1, path, 8), kxErrFileNameLength);

    unsetenv(lxusbDEVICE_DIR_ENV);
    ASSERT_EQ(lxusb_kernel_device_path(0xAB, path, sizeof path), kxErrNone);
    EXPECT_STREQ(path, "/dev/lumbrixon.000000AB");
    setenv(lxusbDEVICE_DIR_ENV, "", 1);
    ASSERT_EQ(lxusb_kernel_device_path(0xAB, path, sizeof path), kxErrNone);
    EXPECT_STREQ(path, "/dev/lumbrixon.000000AB");
}

TEST_F(UsbKernelMode, BytesTravelThroughTheDeviceFileWithoutLibusb)
{
    openDevice();
    EXPECT_EQ(lxusb_get_mode(usb), (uint32_t)lxusbModeKernel);

    const uint8_t out[] = {0x04, 0x00, 0x81, 0x02, 0x10, 0x20};
    ASSERT_EQ(lxusb_write_to_device(usb, out, sizeof out), kxErrNone);
    ASSERT_EQ(lxusb_write_to_kernel_device(usb, out, 2), kxErrNone);
    uint8_t seen[16] = {0};
    ssize_t total = 0;
    while (total < 8)
    {
        ssize_t n = read(master, seen + total, sizeof seen - total);
        ASSERT_GT(n, 0);
        total += n;
    }
    EXPECT_EQ(memcmp(seen, out, 6), 0);
    EXPECT_EQ(memcmp(seen + 6, out, 2), 0);

    const uint8_t in[] = {0xC0, 0x00, 0xFF};
    ASSERT_EQ(write(master, in, sizeof in), 3);
    for (uint8_t expected : in)
    {
        uint8_t byte = 0;
        ASSERT_EQ(lxusb_get_from_device(usb, &byte), kxErrNone);
        EXPECT_EQ(byte, expected);
    }
    EXPECT_EQ(_initCalls, 0);
}

TEST_F(UsbKernelMode, BytesOfOneReadAreHandedOutOneAtATime)
{
    openDevice();
    const uint8_t in[] = {0x11, 0x22, 0x33, 0x44};
    ASSERT_EQ(write(master, in, sizeof in), (ssize_t)sizeof in);
    // Wait (bounded) until all four bytes are readable on the device side.
    int queued = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ioctl(slave, FIONREAD, &queued) == 0 && queued < (int)sizeof in &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(queued, (int)sizeof in);

    uint8_t byte = 0;
    ASSERT_EQ(lxusb_get_from_device(usb, &byte), kxErrNone);
    EXPECT_EQ(byte, 0x11);
    ASSERT_EQ(ioctl(slave, FIONREAD, &queued), 0);
    EXPECT_EQ(queued, 0) << "the first read took every byte there was";
    // The rest come from the record, even once the far end has hung up; only
    // then is the hang-up reported.
    close(master);
    master = -1;
    for (uint8_t expected : {0x22, 0x33, 0x44})
    {
        ASSERT_EQ(lxusb_get_from_kernel_device(usb, &byte), kxErrNone);
        EXPECT_EQ(byte, expected);
    }
    EXPECT_EQ(lxusb_get_from_device(usb, &byte), kxErrIO);
}

TEST_F(UsbKernelMode, ReadWithNothingThereIsNotReadyWithinTheReadTimeOut)
{
    openDevice();
    uint8_t byte = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lxusb_get_from_kernel_device(usb, &byte), kxErrNotReady);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_LT(ms, 2000);
}

TEST_F(UsbKernelMode, HangUpOfTheFarEndIsAnIOError)
{
    openDevice();
    close(master);
    master = -1;
    uint8_t byte = 0;
    EXPECT_EQ(lxusb_get_from_device(usb, &byte), kxErrIO);
    EXPECT_EQ(lxusb_write_to_device(usb, &byte, 1), kxErrIO);
}

TEST_F(UsbKernelMode, OpeningAndClosingFollowTheRecordsMode)
{
    usb = lxusb_create_usb(lxusbModeKernel);
    ASSERT_NE(usb, nullptr);
    uint8_t byte = 0;
    EXPECT_EQ(lxusb_get_from_kernel_device(usb, &byte), kxErrMode);
    EXPECT_EQ(lxusb_write_to_kernel_device(usb, &byte, 1), kxErrMode);
    EXPECT_EQ(lxusb_close_lumbrixon_device(usb), kxErrMode);
    EXPECT_EQ(lxusb_open_lumbrixon_device(usb, "40F5849B"), kxErrIO);

    ASSERT_EQ(lxusb_open_lumbrixon_device(usb, "40F5849A"), kxErrNone);
    EXPECT_EQ(lxusb_open_lumbrixon_device(usb, "40F5849A"), kxErrDuplicate);
    EXPECT_EQ(lxusb_close_lumbrixon_device(usb), kxErrNone);
    EXPECT_EQ(lxusb_get_state(usb), (uint32_t)lxusbStateClosed);
    EXPECT_EQ(lxusb_get_from_device(usb, &byte), kxErrMode);

    // Destroying a record whose device file is still open closes it.
    ASSERT_EQ(lxusb_open_lumbrixon_device(usb, "40F5849A"), kxErrNone);
    EXPECT_EQ(lxusb_destroy(&usb), kxErrNone);
    EXPECT_EQ(usb, nullptr);
    EXPECT_EQ(_initCalls, 0);
}

} // namespace
