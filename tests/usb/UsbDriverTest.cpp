// The USB driver through the real libusb against modules emulated with umockdev.
#include "tools/usbsim/usb_fake.h"
#include <lumbrixon/lxusb_driver.h>

#include <gtest/gtest.h>
#include <libusb.h>

#include <cerrno>
#include <chrono>
#include <thread>

using usbsim::FakeBus;
using usbsim::FakeModule;
using usbsim::FakeModuleConfig;
using usbsim::FakeTransfer;

namespace
{

FakeModuleConfig _module(const char* serial, uint16_t product = 0x0010)
{
    FakeModuleConfig c;
    c.serial = serial;
    c.product = product;
    return c;
}

std::vector<uint8_t> _pattern(size_t n, uint8_t seed = 0)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (uint8_t)(seed + i * 7);
    return v;
}

class UsbDriver : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!FakeBus::available())
            GTEST_SKIP() << "needs umockdev-wrapper";
        bus.reset(new FakeBus);
    }

    void TearDown() override
    {
        if (usb != nullptr)
            lxusb_destroy(&usb);
        // Every test starts from a fresh context that sees only its own devices.
        Lumbrixon_libusb_exit();
        Lumbrixon_libusb_set_init_function(nullptr);
        bus.reset();
    }

    FakeModule& openModule(const FakeModuleConfig& config)
    {
        FakeModule& m = bus->addModule(config);
        usb = lxusb_create_usb(lxusbModeLibusb);
        EXPECT_NE(usb, nullptr);
        EXPECT_EQ(lxusb_open_lumbrixon_device(usb, config.serial.c_str()), kxErrNone);
        return m;
    }

    std::unique_ptr<FakeBus> bus;
    lxusb_device* usb = nullptr;
};

TEST_F(UsbDriver, DevicesThatAreNotModulesAreNeverOpened)
{
    FakeModule& highProduct = bus->addModule(_module("40F5849A", 0x8001));
    FakeModuleConfig otherVendor = _module("40F5849A");
    otherVendor.vendor = 0x1234;
    FakeModule& foreign = bus->addModule(otherVendor);

    usb = lxusb_create_usb(lxusbModeLibusb);
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(lxusb_open_lumbrixon_device(usb, "40F5849A"), kxErrNotFound);
    EXPECT_EQ(highProduct.opens(), 0);
    EXPECT_EQ(foreign.opens(), 0);
    EXPECT_EQ(lxusb_get_state(usb), (uint32_t)lxusbStateCreated);
}

TEST_F(UsbDriver, SerialStringSelectsOneOfTwoModulesExactly)
{
    FakeModule& first = bus->addModule(_module("40F584CD"));
    FakeModule& second = bus->addModule(_module("40F584CE"));

    usb = lxusb_create_usb(lxusbModeLibusb);
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(lxusb_open_lumbrixon_device(usb, "40f584ce"), kxErrNotFound);
    EXPECT_EQ(lxusb_open_lumbrixon_device(usb, "40F584C"), kxErrNotFound);

    ASSERT_EQ(lxusb_open_lumbrixon_device(usb, "40F584CE"), kxErrNone);
    EXPECT_EQ(lxusb_get_state(usb), (uint32_t)lxusbStateReady);
    EXPECT_TRUE(second.claimed());
    EXPECT_FALSE(first.claimed());
    const uint8_t bytes[] = {0x04, 0x00};
    ASSERT_EQ(lxusb_write_to_device(usb, bytes, sizeof bytes), kxErrNone);
    EXPECT_EQ(second.outBytes(), std::vector<uint8_t>(bytes, bytes + 2));
    EXPECT_TRUE(first.outTransfers().empty());
    // An open record is not opened again over itself.
    EXPECT_EQ(lxusb_open_lumbrixon_device(usb, "40F584CD"), kxErrDuplicate);
}

TEST_F(UsbDriver, ClaimsTheVendorInterfaceAndReleasesItOnClose)
{
    FakeModule& m = openModule(_module("40F5849A"));
    EXPECT_TRUE(m.claimed());
    EXPECT_EQ(lxusb_get_in_max_packet(usb), 512);
    EXPECT_EQ(lxusb_get_out_max_packet(usb), 512);

    EXPECT_EQ(lxusb_close_lumbrixon_device(usb), kxErrNone);
    EXPECT_FALSE(m.claimed());
    EXPECT_EQ(lxusb_get_state(usb), (uint32_t)lxusbStateClosed);
    EXPECT_EQ(lxusb_get_out_max_packet(usb), 0);
    EXPECT_EQ(lxusb_close_lumbrixon_device(usb), kxErrMode);

    uint8_t byte = 0;
    EXPECT_EQ(lxusb_get_from_device(usb, &byte), kxErrConnection);
    EXPECT_EQ(lxusb_write_to_device(usb, &byte, 1), kxErrConnection);
}

TEST_F(UsbDriver, ModulesWithoutAUsableVendorInterfaceAreRefused)
{
    FakeModuleConfig wrongProtocol = _module("00000001");
    wrongProtocol.interfaceProtocol = 0x11;
    FakeModuleConfig noIn = _module("00000002");
    noIn.withInEndpoint = false;
    FakeModule& a = bus->addModule(wrongProtocol);
    FakeModule& b = bus->addModule(noIn);

    usb = lxusb_create_usb(lxusbModeLibusb);
    EXPECT_EQ(lxusb_open_lumbrixon_device(usb, "00000001"), kxErrConfiguration);
    EXPECT_EQ(lxusb_get_state(usb), (uint32_t)lxusbStateClosed);
    EXPECT_EQ(lxusb_open_lumbrixon_device(usb, "00000002"), kxErrConfiguration);
    EXPECT_FALSE(a.claimed());
    EXPECT_FALSE(b.claimed());
}

TEST_F(UsbDriver, InterruptEndpointsServeButIsochronousOnesDoNot)
{
    FakeModuleConfig interrupt = _module("00000001");
    interrupt.endpointAttributes = 0x03;
    interrupt.maxPacket = 64;
    FakeModuleConfig isochronous = _module("00000002");
    isochronous.endpointAttributes = 0x01;
    FakeModule& m = bus->addModule(interrupt);
    bus->addModule(isochronous);

    usb = lxusb_create_usb(lxusbModeLibusb);
    EXPECT_EQ(lxusb_open_lumbrixon_device(usb, "00000002"), kxErrConfiguration);
    ASSERT_EQ(lxusb_open_lumbrixon_device(usb, "00000001"), kxErrNone);
    EXPECT_EQ(lxusb_get_in_max_packet(usb), 64);
    m.queueIn({0x5A});
    uint8_t byte = 0;
    ASSERT_EQ(lxusb_get_from_device(usb, &byte), kxErrNone);
    EXPECT_EQ(byte, 0x5A);
}

TEST_F(UsbDriver, ClaimFailuresAreMapped)
{
    FakeModule& busy = bus->addModule(_module("00000001"));
    busy.setClaimError(EBUSY);
    FakeModule& odd = bus->addModule(_module("00000002"));
    odd.setClaimError(EINVAL);

    usb = lxusb_create_usb(lxusbModeLibusb);
    EXPECT_EQ(lxusb_open_lumbrixon_device(usb, "00000001"), kxErrBusy);
    EXPECT_EQ(lxusb_get_state(usb), (uint32_t)lxusbStateClosed);
    EXPECT_EQ(lxusb_open_lumbrixon_device(usb, "00000002"), kxErrUnknown);
    busy.setClaimError(0);
    EXPECT_EQ(lxusb_open_lumbrixon_device(usb, "00000001"), kxErrNone);
}

TEST_F(UsbDriver, WritesAreCutIntoPacketSizedChunksAvoidingFull512)
{
    FakeModule& m = openModule(_module("40F5849A"));
    std::vector<uint8_t> data = _pattern(1024);
    ASSERT_EQ(lxusb_write_to_device(usb, data.data(), (uint32_t)data.size()), kxErrNone);
    std::vector<size_t> sizes;
    for (const auto& t : m.outTransfers())
        sizes.push_back(t.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{511, 511, 2}));
    EXPECT_EQ(m.outBytes(), data);
    EXPECT_EQ(lxusb_write_to_device(usb, data.data(), 0), kxErrNone);
    EXPECT_EQ(lxusb_write_to_device(usb, nullptr, 4), kxErrParam);
}

TEST_F(UsbDriver, FullSpeedEndpointsTakeWholePackets)
{
    FakeModuleConfig config = _module("40F5849A");
    config.maxPacket = 64;
    FakeModule& m = openModule(config);
    std::vector<uint8_t> data = _pattern(130, 3);
    ASSERT_EQ(lxusb_write_to_device(usb, data.data(), (uint32_t)data.size()), kxErrNone);
    std::vector<size_t> sizes;
    for (const auto& t : m.outTransfers())
        sizes.push_back(t.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{64, 64, 2}));
    EXPECT_EQ(m.outBytes(), data);
}

TEST_F(UsbDriver, ShortWritesContinueFromTheBytesSent)
{
    FakeModule& m = openModule(_module("40F5849A"));
    FakeTransfer partial;
    partial.limit = 100;
    m.queueOut(partial);
    std::vector<uint8_t> data = _pattern(300);
    ASSERT_EQ(lxusb_write_to_device(usb, data.data(), (uint32_t)data.size()), kxErrNone);
    EXPECT_EQ(m.outBytes(), data);
    EXPECT_EQ(m.outTransfers().size(), 2u);
}

TEST_F(UsbDriver, StalledOutEndpointIsClearedAndTheDataResent)
{
    FakeModule& m = openModule(_module("40F5849A"));
    FakeTransfer stall;
    stall.kind = FakeTransfer::Stall;
    m.queueOut(stall);
    std::vector<uint8_t> data = _pattern(10);
    ASSERT_EQ(lxusb_write_to_device(usb, data.data(), (uint32_t)data.size()), kxErrNone);
    EXPECT_EQ(m.clearedHalts(), std::vector<unsigned>{0x01});
    EXPECT_EQ(m.outBytes(), data);
}

TEST_F(UsbDriver, WriteGivesUpAfterTenFailedTransfers)
{
    FakeModule& m = openModule(_module("40F5849A"));
    FakeTransfer failure;
    failure.kind = FakeTransfer::Fail;
    failure.error = EPROTO;
    for (int i = 0; i < 10; i++)
        m.queueOut(failure);
    std::vector<uint8_t> data = _pattern(8);
    EXPECT_EQ(lxusb_write_to_device(usb, data.data(), (uint32_t)data.size()), kxErrWrite);
    EXPECT_TRUE(m.outTransfers().empty());
    // Not a device failure: the next write goes through.
    EXPECT_EQ(lxusb_write_to_device(usb, data.data(), (uint32_t)data.size()), kxErrNone);
    EXPECT_EQ(lxusb_get_state(usb), (uint32_t)lxusbStateReady);
}

TEST_F(UsbDriver, UnclearableOutStallsCountTowardsTheFailedState)
{
    FakeModule& m = openModule(_module("40F5849A"));
    m.setClearHaltError(EIO);
    FakeTransfer stall;
    stall.kind = FakeTransfer::Stall;
    for (int i = 0; i < 5; i++)
        m.queueOut(stall);
    uint8_t byte = 0x55;
    for (int i = 0; i < 4; i++)
    {
        EXPECT_EQ(lxusb_write_to_device(usb, &byte, 1), kxErrNotReady) << i;
        EXPECT_EQ(lxusb_get_state(usb), (uint32_t)lxusbStateReady);
    }
    EXPECT_EQ(lxusb_write_to_device(usb, &byte, 1), kxErrIO);
    EXPECT_EQ(lxusb_get_state(usb), (uint32_t)lxusbStateFailed);
}

TEST_F(UsbDriver, BytesOfOneBulkTransferAreHandedOutOneAtATime)
{
    FakeModule& m = openModule(_module("40F5849A"));
    std::vector<uint8_t> data = _pattern(1024, 1);
    m.queueIn(data);
    m.queueIn({0xAA});
    std::vector<uint8_t> got;
    uint8_t byte = 0;
    for (int i = 0; i < 1025; i++)
    {
        ASSERT_EQ(lxusb_get_from_device(usb, &byte), kxErrNone) << i;
        got.push_back(byte);
    }
    data.push_back(0xAA);
    EXPECT_EQ(got, data);
}

TEST_F(UsbDriver, StalledInEndpointIsClearedAndReadsAsNoData)
{
    FakeModule& m = openModule(_module("40F5849A"));
    m.queueInStall();
    m.queueIn({0x42});
    uint8_t byte = 0;
    EXPECT_EQ(lxusb_get_from_device(usb, &byte), kxErrNotReady);
    EXPECT_EQ(m.clearedHalts(), std::vector<unsigned>{0x81});
    ASSERT_EQ(lxusb_get_from_device(usb, &byte), kxErrNone);
    EXPECT_EQ(byte, 0x42);
}

TEST_F(UsbDriver, FiveConsecutiveFailuresPutTheRecordIntoTheFailedState)
{
    FakeModule& m = openModule(_module("40F5849A"));
    for (int i = 0; i < 5; i++)
        m.queueInFailure(EPROTO);
    uint8_t byte = 0x77;
    for (int i = 0; i < 4; i++)
    {
        // Reported as "no byte yet", never as a received byte.
        EXPECT_EQ(lxusb_get_from_device(usb, &byte), kxErrNotReady) << i;
        EXPECT_EQ(byte, 0x77);
        EXPECT_EQ(lxusb_get_state(usb), (uint32_t)lxusbStateReady);
    }
    EXPECT_EQ(lxusb_get_from_device(usb, &byte), kxErrIO);
    EXPECT_EQ(lxusb_get_state(usb), (uint32_t)lxusbStateFailed);

    m.queueIn({0x01});
    EXPECT_EQ(lxusb_get_from_device(usb, &byte), kxErrIO);
    EXPECT_EQ(lxusb_write_to_device(usb, &byte, 1), kxErrIO);
    EXPECT_TRUE(m.outTransfers().empty());
}

TEST_F(UsbDriver, ASuccessfulTransferResetsTheFailureCount)
{
    FakeModule& m = openModule(_module("40F5849A"));
    for (int i = 0; i < 4; i++)
        m.queueInFailure(EPROTO);
    m.queueIn({0x10});
    for (int i = 0; i < 4; i++)
        m.queueInFailure(EPROTO);
    m.queueIn({0x20});
    uint8_t byte = 0;
    std::vector<uint8_t> got;
    for (int i = 0; i < 10; i++)
    {
        kxErr e = lxusb_get_from_device(usb, &byte);
        if (e == kxErrNone)
            got.push_back(byte);
        else
            EXPECT_EQ(e, kxErrNotReady) << i;
    }
    EXPECT_EQ(got, (std::vector<uint8_t>{0x10, 0x20}));
    EXPECT_EQ(lxusb_get_state(usb), (uint32_t)lxusbStateReady);
}

TEST_F(UsbDriver, ReadWithNothingToReadTimesOutAsNoData)
{
    openModule(_module("40F5849A"));
    uint8_t byte = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lxusb_get_from_device(usb, &byte), kxErrNotReady);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 3000);
    EXPECT_EQ(lxusb_get_state(usb), (uint32_t)lxusbStateReady);
}

TEST_F(UsbDriver, RecordsRefuseUseOutsideTheirState)
{
    bus->addModule(_module("40F5849A"));
    uint8_t byte = 0;
    EXPECT_EQ(lxusb_get_from_device(nullptr, &byte), kxErrParam);
    EXPECT_EQ(lxusb_write_to_device(nullptr, &byte, 1), kxErrParam);
    EXPECT_EQ(lxusb_open_lumbrixon_device(nullptr, "40F5849A"), kxErrParam);
    EXPECT_EQ(lxusb_destroy(nullptr), kxErrParam);
    lxusb_device* none = nullptr;
    EXPECT_EQ(lxusb_destroy(&none), kxErrParam);

    usb = lxusb_create_usb(lxusbModeLibusb);
    EXPECT_EQ(lxusb_get_from_device(usb, &byte), kxErrNotReady);
    EXPECT_EQ(lxusb_write_to_device(usb, &byte, 1), kxErrNotReady);
    EXPECT_EQ(lxusb_open_lumbrixon_device(usb, nullptr), kxErrParam);
    EXPECT_EQ(lxusb_write_to_kernel_device(usb, &byte, 1), kxErrMode);

    lxusb_device* odd = lxusb_create_usb(2);
    EXPECT_EQ(lxusb_open_lumbrixon_device(odd, "40F5849A"), kxErrMode);
    EXPECT_EQ(lxusb_close_lumbrixon_device(odd), kxErrMode);
    EXPECT_EQ(lxusb_destroy(&odd), kxErrNone);
    EXPECT_EQ(odd, nullptr);

    // Destroying an open record closes it.
    ASSERT_EQ(lxusb_open_lumbrixon_device(usb, "40F5849A"), kxErrNone);
    EXPECT_EQ(lxusb_destroy(&usb), kxErrNone);
    EXPECT_EQ(usb, nullptr);
}

int _failingInit(libusb_context** context)
{
    *context = nullptr;
    return LIBUSB_ERROR_OTHER;
}

TEST_F(UsbDriver, ContextIsCreatedAgainAfterExitAndItsFailureIsReported)
{
    bus->addModule(_module("40F5849A"));
    ASSERT_NE(Lumbrixon_libusb_context(), nullptr);
    EXPECT_EQ(Lumbrixon_libusb_init(), Lumbrixon_libusb_context());
    Lumbrixon_libusb_exit();

    Lumbrixon_libusb_set_init_function(_failingInit);
    usb = lxusb_create_usb(lxusbModeLibusb);
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(Lumbrixon_libusb_context(), nullptr);
    EXPECT_EQ(lxusb_open_lumbrixon_device(usb, "40F5849A"), kxErrInitialization);
    EXPECT_EQ(lxusb_get_state(usb), (uint32_t)lxusbStateCreated);

    Lumbrixon_libusb_set_init_function(nullptr);
    EXPECT_EQ(lxusb_open_lumbrixon_device(usb, "40F5849A"), kxErrNone);
    EXPECT_NE(Lumbrixon_libusb_context(), nullptr);
    lxusb_destroy(&usb);

    // A fresh context after exit still finds the module.
    Lumbrixon_libusb_exit();
    usb = lxusb_create_usb(lxusbModeLibusb);
    EXPECT_EQ(lxusb_open_lumbrixon_device(usb, "40F5849A"), kxErrNone);
}

TEST_F(UsbDriver, OneThreadReadsWhileAnotherWrites)
{
    FakeModule& m = openModule(_module("40F5849A"));
    const int blocks = 20;
    for (int i = 0; i < blocks; i++)
        m.queueIn(_pattern(32, (uint8_t)i));
    std::vector<uint8_t> got;
    std::thread reader(
        [&]
        {
            uint8_t byte = 0;
            for (int tries = 0; tries < 2000 && got.size() < (size_t)blocks * 32; tries++)
                if (lxusb_get_from_device(usb, &byte) == kxErrNone)
                    got.push_back(byte);
        });
    std::vector<uint8_t> sent;
    for (int i = 0; i < blocks; i++)
    {
        std::vector<uint8_t> block = _pattern(28, (uint8_t)(100 + i));
        EXPECT_EQ(lxusb_write_to_device(usb, block.data(), (uint32_t)block.size()), kxErrNone);
        sent.insert(sent.end(), block.begin(), block.end());
    }
    reader.join();
    EXPECT_EQ(m.outBytes(), sent);
    std::vector<uint8_t> expected;
    for (int i = 0; i < blocks; i++)
    {
        std::vector<uint8_t> block = _pattern(32, (uint8_t)i);
        expected.insert(expected.end(), block.begin(), block.end());
    }
    EXPECT_EQ(got, expected);
}

} // namespace

namespace
{

TEST_F(UsbDriver, AModuleThatAnswersWhatItIsSentIsReadBack)
{
    FakeModule& m = openModule(_module("40F5849A"));
    m.setOutListener([&m](const std::vector<uint8_t>& data) { m.queueIn(data); });
    const uint8_t packet[] = {0x04, 0x02, 0x11, 0x22};
    ASSERT_EQ(lxusb_write_to_device(usb, packet, sizeof packet), kxErrNone);
    for (uint8_t expected : packet)
    {
        uint8_t byte = 0;
        ASSERT_EQ(lxusb_get_from_device(usb, &byte), kxErrNone);
        EXPECT_EQ(byte, expected);
    }
}

TEST_F(UsbDriver, AnUnpluggedModuleFailsAndIsFoundAgainByANewRecord)
{
    FakeModule& m = openModule(_module("40F5849A"));
    bus->removeModule(m);
    uint8_t byte = 0x33;
    // A write gives up with its bytes unsent; reads fail until the fifth
    // failure in a row puts the record into the failed state.
    EXPECT_EQ(lxusb_write_to_device(usb, &byte, 1), kxErrWrite);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(lxusb_get_from_device(usb, &byte), kxErrNotReady) << i;
    EXPECT_EQ(lxusb_get_from_device(usb, &byte), kxErrIO);
    EXPECT_EQ(lxusb_write_to_device(usb, &byte, 1), kxErrIO);
    EXPECT_EQ(lxusb_get_state(usb), (uint32_t)lxusbStateFailed);
    lxusb_destroy(&usb);

    // The module comes back (as its loader, under another product identifier).
    FakeModule& loader = bus->addModule(_module("40F5849A", 0x0011));
    usb = lxusb_create_usb(lxusbModeLibusb);
    ASSERT_EQ(lxusb_open_lumbrixon_device(usb, "40F5849A"), kxErrNone);
    EXPECT_TRUE(loader.claimed());
}

} // namespace
