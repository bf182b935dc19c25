// Link::discoverAndConnect against the module simulator's network search,
// inside the test's own network namespace (its main makes it): a veth pair
// with a TEST-NET address beside loopback, the modules answering on it.
#include "tests/multicast/NetNamespace.h"
#include "tools/modsim/NetLab.h"
#include "tools/modsim/Simulator.h"

#include <lumbrixon/Link.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <string>
#include <cstring>
#include <net/if.h>

using Kavrel::Lumbrixon::kxEtherConfig;
using Kavrel::Lumbrixon::Link;
using Clock = std::chrono::steady_clock;

namespace
{
constexpr const char* kInterface = "192.0.2.1";

modsim::ModuleSpec Module(uint32_t serial, uint8_t address, uint8_t model)
{
    modsim::ModuleSpec spec;
    spec.module.serial = serial;
    spec.module.address = address;
    spec.module.model = model;
    spec.module.heartbeatMs = 0;
    spec.tcp.push_back({kInterface, 0});
    spec.discovery = modsim::DiscoverySpec{kInterface, 16, 0};
    return spec;
}

kxEtherConfig Direct(bool fallback)
{
    kxEtherConfig config;
    config.serverMode = 0;
    config.transportFallback = fallback ? 1 : 0;
    return config;
}

// The module's 32-bit serial number read through the link (system entity 3,
// option 9).
kxErr SerialThrough(Link& link, uint8_t address, uint32_t* serial)
{
    uei r;
    std::memset(&r, 0, sizeof(r));
    r.module = address;
    r.command = 3;
    r.option = kxUEI_OPTION_GET | 9;
    r.index = kxUEI_INDEX_REQUEST;
    kxErr err = link.sendUEI(r);
    if (err != kxErrNone)
    {
        return err;
    }
    r.option = 9;
    r.index = 0;
    err = link.receiveUEI(address, 3, 9, 0, &r);
    *serial = r.value.u32;
    return err;
}

class LinkDiscovery : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!testInPrivateNetwork())
        {
            GTEST_SKIP() << "no private network namespace here: the search is not sent";
        }
        if (if_nametoindex("lnk0") == 0)
        {
            std::string error;
            ASSERT_TRUE(modsim::addVethPair("lnk0", "192.0.2.1/24", "lnk1", "", error)) << error;
        }
        sim.addModule(Module(0x40F5849A, 0x06, 0x12));
        sim.addModule(Module(0x40F5849B, 0x04, 0x10));
        std::string error;
        ASSERT_TRUE(sim.start(&error)) << error;
    }
    modsim::Simulator sim;
};
} // namespace

TEST_F(LinkDiscovery, FindsAModuleBySerialNumberOrByModelAndConnects)
{
    Link bySerial("by serial");
    ASSERT_EQ(bySerial.setConfig(Direct(false)), kxErrNone);
    ASSERT_EQ(bySerial.discoverAndConnect(kxLinkTypeTCPIP, 0x40F5849B, 0), kxErrNone);
    linkSpec spec;
    ASSERT_EQ(bySerial.getLinkSpecifier(&spec), kxErrNone);
    EXPECT_EQ(spec.serialNumber, 0x40F5849Bu);
    EXPECT_EQ(spec.module, 0x04u);
    uint32_t serial = 0;
    ASSERT_EQ(SerialThrough(bySerial, 0x04, &serial), kxErrNone);
    EXPECT_EQ(serial, 0x40F5849Bu);
    // Connected: another search does not replace the link.
    EXPECT_EQ(bySerial.discoverAndConnect(kxLinkTypeTCPIP, 0x40F5849A, 0), kxErrConnection);

    Link byModel("by model");
    ASSERT_EQ(byModel.setConfig(Direct(false)), kxErrNone);
    ASSERT_EQ(byModel.discoverAndConnect(kxLinkTypeTCPIP, 0, 0x12), kxErrNone);
    ASSERT_EQ(byModel.getLinkSpecifier(&spec), kxErrNone);
    EXPECT_EQ(spec.serialNumber, 0x40F5849Au);
    ASSERT_EQ(SerialThrough(byModel, 0x06, &serial), kxErrNone);
    EXPECT_EQ(serial, 0x40F5849Au);
}

TEST_F(LinkDiscovery, NothingFoundFallsBackToTheServerSearchOnce)
{
    Link once("no fallback");
    ASSERT_EQ(once.setConfig(Direct(false)), kxErrNone);
    EXPECT_EQ(once.discoverAndConnect(kxLinkTypeTCPIP, 0x12345678, 0), kxErrNotFound);
    EXPECT_EQ(once.discoverAndConnect(kxLinkTypeTCPIP, 0, 0x77), kxErrNotFound);

    // With the fallback the search for servers runs as well (and finds
    // none), once; the library says so at debug level bit 0. No link thread
    // of the library runs while the switches change.
    Link twice("fallback");
    ASSERT_EQ(twice.setConfig(Direct(true)), kxErrNone);
    kxLumbrixonDebuggingLevel = 1;
    kxLumbrixonDebuggingEnable = 1;
    ::testing::internal::CaptureStdout();
    kxErr err = twice.discoverAndConnect(kxLinkTypeTCPIP, 0x12345678, 0);
    std::string said = ::testing::internal::GetCapturedStdout();
    kxLumbrixonDebuggingEnable = 0;
    kxLumbrixonDebuggingLevel = 0;
    EXPECT_EQ(err, kxErrNotFound);
    EXPECT_NE(said.find("Executing Fallback - old type: 2 - new type: 4\n"), std::string::npos)
        << said;
    EXPECT_EQ(said.find("Executing Fallback - old type: 4"), std::string::npos) << said;
    EXPECT_FALSE(twice.isConnected());
    kxEtherConfig config;
    ASSERT_EQ(twice.getConfig(&config), kxErrNone);
    EXPECT_EQ(config.transportFallback, 1);
}
