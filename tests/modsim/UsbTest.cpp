// The simulator's USB module in this process (run under umockdev-wrapper),
// reached through raw libusb as a host would: sync, heartbeats, and a reset
// that unplugs the module under a waiting transfer.
#include "tools/modsim/Simulator.h"
#include "tools/usbsim/usb_fake.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
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

// Several modules on the bus at once, as a host's enumeration sees them: two
// that answer, one whose serial string has 7 characters and one whose serial
// string cannot be read.
TEST(ModsimUsbBus, OffersSeveralModulesAtOnce)
{
    if (!usbsim::FakeBus::available())
        GTEST_SKIP() << "needs umockdev-wrapper";
    modsim::Simulator sim;
    auto add = [&](uint32_t serial, uint8_t address, uint8_t model, modsim::UsbSpec usb)
    {
        modsim::ModuleSpec spec;
        spec.module.serial = serial;
        spec.module.address = address;
        spec.module.model = model;
        spec.module.heartbeatMs = 0;
        spec.usb = usb;
        return sim.addModule(spec);
    };
    size_t cd = add(0x40F584CD, 0x04, 0x10, {});
    size_t ce = add(0x40F584CE, 0x06, 0x12, {});
    modsim::UsbSpec seven;
    seven.serialString = "4F584CF";
    add(0x040F584C, 0x08, 0x10, seven);
    modsim::UsbSpec unreadable;
    unreadable.serialUnreadable = true;
    add(0x40F584D0, 0x0A, 0x10, unreadable);
    std::string error;
    ASSERT_TRUE(sim.start(&error)) << error;

    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    std::vector<std::string> seen;
    std::vector<libusb_device_handle*> good;
    for (ssize_t i = 0; i < n; i++)
    {
        libusb_device_descriptor d;
        libusb_device_handle* h = nullptr;
        if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idVendor != 0x5A17 ||
            libusb_open(list[i], &h) != 0)
            continue;
        unsigned char serial[64] = {};
        int r = libusb_get_string_descriptor_ascii(h, d.iSerialNumber, serial, sizeof serial);
        char line[96];
        snprintf(line, sizeof line, "%04X %s", d.idProduct, r < 0 ? "(unreadable)" : (char*)serial);
        seen.push_back(line);
        if (r == 8)
            good.push_back(h);
        else
            libusb_close(h);
    }
    libusb_free_device_list(list, 1);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, std::vector<std::string>(
                        {"0010 (unreadable)", "0010 40F584CD", "0010 4F584CF", "0012 40F584CE"}));
    // Each module that a host would take answers on its own endpoints.
    std::vector<Bytes> answers;
    for (libusb_device_handle* h : good)
    {
        ASSERT_EQ(libusb_claim_interface(h, 0), 0);
        uint8_t sync[] = {0xAD, 0x00};
        int done = 0;
        EXPECT_EQ(libusb_bulk_transfer(h, 0x01, sync, 2, &done, 500), 0);
        unsigned char buffer[64];
        EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buffer, sizeof buffer, &done, 1000), 0);
        answers.emplace_back(buffer, buffer + done);
        libusb_close(h);
    }
    std::sort(answers.begin(), answers.end());
    EXPECT_EQ(answers, std::vector<Bytes>({{0x04, 0x00}, {0x06, 0x00}}));
    EXPECT_EQ(sim.stats(cd).syncAnswered, 1u);
    EXPECT_EQ(sim.stats(ce).syncAnswered, 1u);
    libusb_exit(ctx);
    sim.stop();
}

// A module one host has claimed: another open device cannot claim it or send
// to it until the first is closed; an occupied module cannot be claimed.
TEST(ModsimUsbBus, AClaimedModuleIsBusyForAnotherHost)
{
    if (!usbsim::FakeBus::available())
        GTEST_SKIP() << "needs umockdev-wrapper";
    modsim::Simulator sim;
    modsim::ModuleSpec spec;
    spec.module.heartbeatMs = 0;
    spec.usb = modsim::UsbSpec();
    size_t m = sim.addModule(spec);
    std::string error;
    ASSERT_TRUE(sim.start(&error)) << error;
    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device* device = nullptr;
    for (ssize_t i = 0; i < n && device == nullptr; i++)
    {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == 0x5A17)
            device = libusb_ref_device(list[i]);
    }
    libusb_free_device_list(list, 1);
    ASSERT_NE(device, nullptr);
    libusb_device_handle *first = nullptr, *second = nullptr;
    ASSERT_EQ(libusb_open(device, &first), 0);
    ASSERT_EQ(libusb_open(device, &second), 0);
    EXPECT_EQ(libusb_claim_interface(first, 0), 0);
    EXPECT_EQ(libusb_claim_interface(second, 0), LIBUSB_ERROR_BUSY);
    uint8_t sync[] = {0xAD, 0x00};
    int done = 0;
    EXPECT_NE(libusb_bulk_transfer(second, 0x01, sync, 2, &done, 300), 0);
    libusb_close(first);
    // umockdev sees the device closed on its own thread, a moment later.
    int claimed = LIBUSB_ERROR_BUSY;
    for (int i = 0; i < 100 && claimed == LIBUSB_ERROR_BUSY; i++)
    {
        usleep(10000);
        claimed = libusb_claim_interface(second, 0);
    }
    EXPECT_EQ(claimed, 0) << "the first host closed the device";
    libusb_release_interface(second, 0);
    sim.setOccupied(m, true);
    claimed = 0;
    for (int i = 0; i < 100 && claimed == 0; i++)
    {
        libusb_release_interface(second, 0);
        usleep(10000);
        claimed = libusb_claim_interface(second, 0);
    }
    EXPECT_EQ(claimed, LIBUSB_ERROR_BUSY) << "another host holds the module";
    libusb_close(second);
    libusb_unref_device(device);
    libusb_exit(ctx);
    sim.stop();
}
