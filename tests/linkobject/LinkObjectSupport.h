// A simulated module and a Link object connected to it, over TCP/IP, the
// serial line or (networking mode) through a local device server, and the
// UEI exchanges the tests make through the Link.
#pragma once

#include "tests/link/LinkTestSupport.h"
#include "tools/modsim/Simulator.h"

#include <lumbrixon/Link.h>

#include <cstring>
#include <string>

using Kavrel::Lumbrixon::kxEtherConfig;
using Kavrel::Lumbrixon::Link;

namespace linkobject
{

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kAddress = 0x06;
constexpr uint8_t kTest = 0x20; // the simulator's test entity

enum class Transport
{
    Tcp,
    Serial,
    Served, // TCP/IP behind a local device server (networking mode)
};

inline const char* TransportName(Transport t)
{
    return t == Transport::Tcp ? "Tcp" : t == Transport::Serial ? "Serial" : "Served";
}

struct SimModule
{
    modsim::Simulator sim;
    size_t m = 0;
    Link link{"test link"};
    kxErr connected = kxErrUnknown;

    explicit SimModule(Transport transport, modsim::FirmwareSpec firmware = {})
    {
        modsim::ModuleSpec spec;
        spec.module.serial = kSerial;
        spec.module.address = kAddress;
        spec.firmware = std::move(firmware);
        if (transport == Transport::Serial)
        {
            spec.serialLine = true;
        }
        else
        {
            spec.tcp.push_back(modsim::TcpSpec());
        }
        m = sim.addModule(spec);
        std::string error;
        EXPECT_TRUE(sim.start(&error)) << error;
        linkSpec ls;
        std::memset(&ls, 0, sizeof(ls));
        ls.serialNumber = kSerial;
        if (transport == Transport::Serial)
        {
            ls.type = kxLinkTypeSerial;
            ls.baudRate = 115200;
            std::string path = sim.ptyPath(m);
            std::strncpy(ls.portName, path.c_str(), sizeof(ls.portName) - 1);
        }
        else
        {
            ls.type = kxLinkTypeTCPIP;
            ls.address = TcpPeer::Loopback();
            ls.port = sim.tcpPort(m);
        }
        EXPECT_EQ(link.setLinkSpecifier(ls), kxErrNone);
        kxEtherConfig config;
        config.serverMode = transport == Transport::Served ? 1 : 0;
        config.transportFallback = 0;
        EXPECT_EQ(link.setConfig(config), kxErrNone);
        connected = link.connect();
        EXPECT_EQ(connected, kxErrNone);
        EXPECT_TRUE(sim.waitFor(
            m, [](const modsim::ModuleStats& s) { return s.routeOn; }, 2000));
    }
    ~SimModule()
    {
        link.disconnect();
        sim.stop();
    }
    uint32_t Value(uint8_t option, uint8_t index = 0)
    {
        auto o = sim.option(m, kTest, index, option);
        EXPECT_TRUE(o.has_value());
        return o ? o->value : 0;
    }
};

inline uei Record(uint8_t option, uint8_t index = 0, uint8_t module = kAddress,
                  uint8_t command = kTest)
{
    uei r;
    std::memset(&r, 0, sizeof(r));
    r.module = module;
    r.command = command;
    r.option = option;
    r.index = index;
    r.type = ueiTypeVoid;
    return r;
}

// A get: the request, then the value report (option and index bare).
inline kxErr Get(Link& link, uint8_t option, uei* out, uint8_t index = 0, uint8_t module = kAddress)
{
    uei r = Record(static_cast<uint8_t>(kxUEI_OPTION_GET | option),
                   static_cast<uint8_t>(kxUEI_INDEX_REQUEST | index), module);
    kxErr err = link.sendUEI(r);
    if (err != kxErrNone)
    {
        return err;
    }
    r.option = option;
    r.index = index;
    err = link.receiveUEI(module, kTest, option, index, &r);
    *out = r;
    return err;
}

// A set of `value` (its type and value), then the acknowledgement.
inline kxErr Set(Link& link, uint8_t option, uei value, uei* out, int subindex = -1)
{
    value.module = kAddress;
    value.command = kTest;
    value.option = static_cast<uint8_t>(kxUEI_OPTION_SET | option);
    value.index = kxUEI_INDEX_REQUEST;
    kxErr err =
        subindex < 0 ? link.sendUEI(value) : link.sendUEI(value, static_cast<uint8_t>(subindex));
    if (err != kxErrNone)
    {
        return err;
    }
    uei ack = Record(static_cast<uint8_t>(kxUEI_OPTION_ACK | option));
    ack.type = value.type;
    ack.length = value.type == ueiTypeBytes ? value.length : 0;
    err = link.receiveUEI(kAddress, kTest, ack.option, 0, &ack);
    *out = ack;
    return err;
}

// A get of a byte value: its segments in order through the bytes filter.
inline kxErr GetBytes(Link& link, uint8_t option, uint8_t* buffer, size_t capacity,
                      size_t* received)
{
    *received = 0;
    uei r = Record(static_cast<uint8_t>(kxUEI_OPTION_GET | option), kxUEI_INDEX_REQUEST);
    kxErr err = link.sendUEI(r);
    if (err != kxErrNone)
    {
        return err;
    }
    r.option = option;
    r.index = 0;
    r.value.bytes = buffer;
    r.length = capacity;
    r.received = received;
    for (;;)
    {
        err = link.receiveUEI(kAddress, kTest, option, 0, &r, Link::ueiBytesFilter);
        if (err != kxErrNone)
        {
            return err;
        }
        if ((r.index & kxUEI_INDEX_ERROR) != 0)
        {
            return static_cast<kxErr>(r.value.u8);
        }
        if (r.more != 1)
        {
            return kxErrNone;
        }
        r.sequence = static_cast<uint8_t>((r.sequence + 1) & kxUEI_SEQUENCE_MASK);
    }
}

inline modsim::Faults Withhold(std::vector<int> pattern, unsigned occurrence = 0)
{
    modsim::Faults f;
    modsim::ReplyRule rule;
    rule.kind = modsim::ReplyFault::Withhold;
    rule.pattern = std::move(pattern);
    rule.occurrence = occurrence;
    f.replies.push_back(rule);
    return f;
}

inline int ElapsedMs(Clock::time_point since)
{
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

} // namespace linkobject
