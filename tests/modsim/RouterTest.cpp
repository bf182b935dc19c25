// A routing module with two modules behind it on its I2C bus: the probe the
// scan uses, "route to me", and children that answer only through their
// router while it routes to that link.
#include "tests/modsim/HostEnd.h"

#include <algorithm>

using modsim::ModuleSpec;
using modsim::Simulator;

namespace
{

ModuleSpec _spec(uint32_t serial, uint8_t address, uint8_t model)
{
    ModuleSpec spec;
    spec.module.serial = serial;
    spec.module.address = address;
    spec.module.model = model;
    spec.module.heartbeatMs = 0;
    return spec;
}

struct Lab
{
    Simulator sim;
    size_t router = 0, first = 0, second = 0;

    Lab()
    {
        ModuleSpec r = _spec(0x40F58500, 0x02, 0x10);
        r.tcp.push_back({});
        router = sim.addModule(r);
        first = sim.addChild(router, _spec(0x40F58510, 0x10, 0x11));
        second = sim.addChild(router, _spec(0x40F58514, 0x14, 0x11));
        std::string error;
        EXPECT_TRUE(sim.start(&error)) << error;
    }
};

} // namespace

TEST(ModsimRouter, ChildrenAnswerOnlyThroughTheirRouterWhileItRoutesToThatLink)
{
    Lab lab;
    TcpHost host(lab.sim.tcpPort(lab.router));
    TcpHost other(lab.sim.tcpPort(lab.router));
    Bytes serial = {0x10, 0x03, 0x03, 0x49, 0x20};
    host.write(serial);
    EXPECT_TRUE(Quiet(host, 200)) << "before route to me";
    // Route to me (system option 20, set to 1) on the router.
    EXPECT_EQ(Ask(host, {0x02, 0x04, 0x03, 0x94, 0x20, 0x01}, 6),
              Bytes({0x02, 0x04, 0x03, 0xD4, 0x00, 0x01}));
    EXPECT_EQ(Ask(host, serial, 9), Bytes({0x10, 0x07, 0x03, 0x09, 0x00, 0x40, 0xF5, 0x85, 0x10}));
    EXPECT_EQ(Ask(host, {0x14, 0x03, 0x03, 0x42, 0x20}, 6),
              Bytes({0x14, 0x04, 0x03, 0x02, 0x00, 0x02}))
        << "a child reports its router's address";
    EXPECT_EQ(Ask(host, {0x10, 0x03, 0x03, 0x48, 0x20}, 6),
              Bytes({0x10, 0x04, 0x03, 0x08, 0x00, 0x11}));
    other.write(serial);
    EXPECT_TRUE(Quiet(other, 200)) << "another link of the router";
    // A child's own faults hold behind the router.
    modsim::Faults f;
    std::string error;
    ASSERT_TRUE(modsim::applyFaultOption(f, "--no-reply", "03:49", error));
    lab.sim.setFaults(lab.first, f);
    host.write(serial);
    EXPECT_TRUE(Quiet(host, 200));
    lab.sim.setFaults(lab.first, modsim::Faults());
    // Route to me 0 from the other link changes nothing; from this one it ends.
    EXPECT_EQ(Ask(other, {0x02, 0x04, 0x03, 0x94, 0x20, 0x00}, 6).size(), 6u);
    EXPECT_EQ(Ask(host, serial, 9).size(), 9u);
    EXPECT_EQ(Ask(host, {0x02, 0x04, 0x03, 0x94, 0x20, 0x00}, 6),
              Bytes({0x02, 0x04, 0x03, 0xD4, 0x00, 0x00}));
    host.write(serial);
    EXPECT_TRUE(Quiet(host, 200));
    EXPECT_FALSE(lab.sim.stats(lab.router).routeToMe);
    EXPECT_EQ(lab.sim.stats(lab.first).ueiGets, 4u);
    EXPECT_EQ(lab.sim.stats(lab.router).foreignPackets, 3u);
    // The route also ends with the link.
    EXPECT_EQ(Ask(other, {0x02, 0x04, 0x03, 0x94, 0x20, 0x01}, 6).size(), 6u);
    other.closeFd();
    EXPECT_TRUE(lab.sim.waitFor(
        lab.router, [](const modsim::ModuleStats& s) { return !s.routeToMe; }, 2000));
}

TEST(ModsimRouter, TheI2cProbeFindsTheChildrenAtTheirAddresses)
{
    Lab lab;
    TcpHost host(lab.sim.tcpPort(lab.router));
    // A write of two zero bytes: acknowledged where a child sits.
    EXPECT_EQ(Ask(host, {0x02, 0x07, 0x08, 0x00, 0x10, 0x02, 0x03, 0x00, 0x00}, 7),
              Bytes({0x02, 0x05, 0x08, 0x00, 0x10, 0x00, 0x00}));
    EXPECT_EQ(Ask(host, {0x02, 0x07, 0x08, 0x00, 0x12, 0x02, 0x03, 0x00, 0x00}, 7),
              Bytes({0x02, 0x05, 0x08, 0x00, 0x12, 0x00, 0x83}));
    // A read, too long a transfer, another bus, the pull-up.
    EXPECT_EQ(Ask(host, {0x02, 0x05, 0x08, 0x00, 0x15, 0x03, 0x03}, 10),
              Bytes({0x02, 0x08, 0x08, 0x00, 0x15, 0x03, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Ask(host, {0x02, 0x05, 0x08, 0x00, 0x15, 0x18, 0x03}, 7),
              Bytes({0x02, 0x05, 0x08, 0x00, 0x15, 0x00, 0x8E}));
    EXPECT_EQ(Ask(host, {0x02, 0x07, 0x08, 0x01, 0x10, 0x02, 0x03, 0x00, 0x00}, 7),
              Bytes({0x02, 0x05, 0x08, 0x01, 0x10, 0x00, 0x9C}));
    EXPECT_EQ(Ask(host, {0x02, 0x04, 0x08, 0x00, 0x01, 0x01}, 7),
              Bytes({0x02, 0x05, 0x08, 0x00, 0x01, 0x01, 0x00}));
    modsim::ModuleStats s = lab.sim.stats(lab.router);
    EXPECT_EQ(s.i2cWrites, (std::map<uint8_t, unsigned>{{0x10, 2}, {0x12, 1}}));
    EXPECT_EQ(s.i2cReads, (std::map<uint8_t, unsigned>{{0x14, 2}}));
    EXPECT_EQ(s.i2cWrites.count(0x02), 0u);
    std::vector<std::string> lines = lab.sim.endpoints();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "module 40F58514 address 14 behind 40F58500"),
              lines.end());
}
