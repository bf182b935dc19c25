// The simulator's USB module in this process (run under umockdev-wrapper),
// reached through raw libusb as a host would: sync, heartbeats, and a reset
// that unplugs the module under a waiting transfer.
#include "tools/modsim/Simulator.h"
#include "tools/usbsim/usb_fake.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <cstring>
#include <vector>

using Bytes = std::vector<uint8_t>;
using modsim::ModuleStats;

namespace
{

class ModsimUsb : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!usbsim::FakeBus::available())
            GTEST_SKIP() << "needs umockdev-wrapper";
        modsim::ModuleSpec spec;
        spec.module.address = 0x04;
        spec.module.heartbeatMs = 50;
        spec.usb = modsim::UsbSpec();
        spec.module.faults.cuts.push_back({modsim::CutKind::Reset, 0, "heartbeat", 2, false});
        m = sim.addModule(spec);
        std::string error;
        ASSERT_TRUE(sim.start(&error)) << error;
        ASSERT_EQ(libusb_init(&ctx), 0);
        libusb_device** list = nullptr;
        ssize_t n = libusb_get_device_list(ctx, &list);
        for (ssize_t i = 0; i < n && handle == nullptr; i++)
        {
            libusb_device_descriptor d;
            libusb_get_device_descriptor(list[i], &d);
            unsigned char serial[64] = {};
            libusb_device_handle* h = nullptr;
            if (d.idVendor == 0x5A17 && libusb_open(list[i], &h) == 0)
            {
                libusb_get_string_descriptor_ascii(h, d.iSerialNumber, serial, sizeof serial);
                if (strcmp((const char*)serial, "40F5849A") == 0)
                    handle = h;
                else
                    libusb_close(h);
            }
        }
        libusb_free_device_list(list, 1);
        ASSERT_NE(handle, nullptr) << "the module is not on the bus";
        ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
    }

    void TearDown() override
    {
        if (handle)
            libusb_close(handle);
        if (ctx)
            libusb_exit(ctx);
        sim.stop();
    }

    int out(Bytes bytes)
    {
        int sent = 0;
        return libusb_bulk_transfer(handle, 0x01, bytes.data(), (int)bytes.size(), &sent, 500);
    }

    Bytes in(int* result = nullptr)
    {
        unsigned char buffer[1024];
        int got = 0;
        int r = libusb_bulk_transfer(handle, 0x81, buffer, sizeof buffer, &got, 1000);
        if (result)
            *result = r;
        return Bytes(buffer, buffer + got);
    }

    modsim::Simulator sim;
    size_t m = 0;
    libusb_context* ctx = nullptr;
    libusb_device_handle* handle = nullptr;
};

} // namespace

TEST_F(ModsimUsb, SyncHeartbeatsAndAResetThatUnplugs)
{
    ASSERT_EQ(out({0xAD, 0x00}), 0);
    EXPECT_EQ(in(), Bytes({0x04, 0x00}));
    ASSERT_EQ(out({0xAF, 0x01, 0x01}), 0);
    EXPECT_EQ(in(), Bytes({0x04, 0x02, 0x00, 0x01}));
    ASSERT_EQ(out({0x04, 0x02, 0x00, 0x03}), 0);
    EXPECT_TRUE(sim.waitFor(
        m, [](const ModuleStats& s) { return s.heartbeatAnswers == 1; }, 1000));
    EXPECT_EQ(sim.stats(m).routeLink, "usb:40F5849A");

    // The second heartbeat is not sent: the module leaves the bus while the
    // host waits for it, and the waiting transfer ends.
    int result = 0;
    EXPECT_EQ(in(&result), Bytes());
    EXPECT_EQ(sim.stats(m).resetByModule, 1u);
    EXPECT_EQ(result, LIBUSB_ERROR_NO_DEVICE);
}
