// The USB search against the simulator's modules on an emulated bus (run
// under umockdev-wrapper): two modules, and devices the search must pass by.
#include "tools/modsim/Simulator.h"
#include "tools/usbsim/usb_fake.h"

#include <lumbrixon/discover.h>
#include <lumbrixon/kxLink.h>
#include <lumbrixon/kxLinkManagerInternal.h>
#include <lumbrixon/lxusb_driver.h>

#include <gtest/gtest.h>

#include <vector>

namespace
{
modsim::ModuleSpec Module(uint32_t serial, uint8_t model)
{
    modsim::ModuleSpec spec;
    spec.module.serial = serial;
    spec.module.address = 0x04;
    spec.module.model = model;
    spec.module.heartbeatMs = 0;
    spec.usb = modsim::UsbSpec();
    return spec;
}

struct Found
{
    std::vector<linkSpec> specs;
    bool stop = false;
};

bool Collect(const linkSpec* spec, uint8_t* success, void* ref)
{
    auto* found = static_cast<Found*>(ref);
    found->specs.push_back(*spec);
    *success = 1;
    return !found->stop;
}

class UsbSearch : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!usbsim::FakeBus::available())
        {
            GTEST_SKIP() << "needs umockdev-wrapper";
        }
        sim.addModule(Module(0x40F5849A, 0x12));
        modsim::ModuleSpec unreadable = Module(0x40F5849C, 0x12);
        unreadable.usb->serialUnreadable = true;
        sim.addModule(unreadable);
        modsim::ModuleSpec seven = Module(0x40F5849D, 0x12);
        seven.usb->serialString = "40F5849";
        sim.addModule(seven);
        modsim::ModuleSpec nine = Module(0x40F5849E, 0x12);
        nine.usb->serialString = "40F5849EE";
        sim.addModule(nine);
        modsim::ModuleSpec notModule = Module(0x40F5849F, 0x12);
        notModule.usb->product = 0x8001;
        sim.addModule(notModule);
        modsim::ModuleSpec otherVendor = Module(0x40F58490, 0x12);
        otherVendor.usb->vendor = 0x1234;
        sim.addModule(otherVendor);
        second = sim.addModule(Module(0x40F5849B, 0x10));
        std::string error;
        ASSERT_TRUE(sim.start(&error)) << error;
    }
    void TearDown() override
    {
        sim.stop();
        Lumbrixon_libusb_exit();
    }
    modsim::Simulator sim;
    size_t second = 0;
};
} // namespace

TEST_F(UsbSearch, ListsTheTwoModulesAndPassesTheOtherDevicesBy)
{
    Found found;
    EXPECT_EQ(kxDiscovery_EnumerateModules(kxLinkTypeUSB, Collect, &found, 0), 2);
    ASSERT_EQ(found.specs.size(), 2u);
    std::vector<uint32_t> serials;
    for (const linkSpec& spec : found.specs)
    {
        serials.push_back(spec.serialNumber);
        EXPECT_EQ(spec.type, 1u);
        EXPECT_EQ(spec.address, spec.serialNumber);
        EXPECT_EQ(spec.module, 0u);
        EXPECT_EQ(spec.router, 0u);
        EXPECT_EQ(spec.routerSerialNumber, 0u);
        EXPECT_EQ(spec.model, spec.serialNumber == 0x40F5849A ? 0x12u : 0x10u);
        EXPECT_EQ(spec.port, 0u);
    }
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(serials, (std::vector<uint32_t>{0x40F5849A, 0x40F5849B}));

    Found first;
    first.stop = true;
    EXPECT_EQ(kxDiscovery_EnumerateModules(kxLinkTypeUSB, Collect, &first, 0), 1);
    EXPECT_EQ(first.specs.size(), 1u);
}

TEST_F(UsbSearch, FindsOneModuleByItsSerialNumberOrTheFirstOne)
{
    linkSpec* spec = kxDiscovery_FindModule(kxLinkTypeUSB, 0x40F5849B, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, 1u);
    EXPECT_EQ(spec->serialNumber, 0x40F5849Bu);
    EXPECT_EQ(spec->model, 0x10u);
    kxLinkSpec_Destroy(&spec);
    // Not connected, not a module, or not readable.
    for (uint32_t serial : {0x12345678u, 0x40F5849Fu, 0x40F5849Cu, 0x40F58490u})
    {
        EXPECT_EQ(kxDiscovery_FindModule(kxLinkTypeUSB, serial, 0), nullptr) << std::hex << serial;
    }
    spec = kxDiscovery_FindFirstModule(kxLinkTypeUSB, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_TRUE(spec->serialNumber == 0x40F5849A || spec->serialNumber == 0x40F5849B);
    kxLinkSpec_Destroy(&spec);
}

TEST_F(UsbSearch, AFoundModuleGetsOneSharedLink)
{
    linkSpec* spec = kxDiscovery_FindModule(kxLinkTypeUSB, 0x40F5849B, 0);
    ASSERT_NE(spec, nullptr);
    uint32_t id = kxLink_CreateUSB(spec->serialNumber);
    kxLinkSpec_Destroy(&spec);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(kxLink_GetStatus(id), (uint32_t)kLinkStatusRunning);
    EXPECT_TRUE(sim.waitFor(
        second, [](const modsim::ModuleStats& s) { return s.routeOn; }, 2000));
    uint32_t again = kxLink_CreateUSB(0x40F5849B);
    EXPECT_EQ(again, id);
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(id), 2);
    EXPECT_EQ(kxLink_Destroy(&again), kxErrNone);
    EXPECT_EQ(kxLink_GetStatus(id), (uint32_t)kLinkStatusRunning);
    EXPECT_EQ(kxLink_Destroy(&id), kxErrNone);
    EXPECT_EQ(kxLinkManagerInternal_GetUseCount(again), -1);
    EXPECT_EQ(kxLinkManagerInternal_LookupByIdentifier(0x40F5849B, kxLINKTYPE_USB), 0u);
}
