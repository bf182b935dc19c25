// A simulated module (modsim, in process) and a Module connected to it over
// TCP/IP or the serial line, without networking mode's device server.
#pragma once

#include <lumbrixon/Entity.h>
#include <lumbrixon/Module.h>

#include "tools/modsim/Simulator.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <vector>

namespace moduletest
{

using namespace Kavrel::Lumbrixon;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kAddress = 0x06;
// The simulator's test entity: a value of every kind.
constexpr uint8_t kTestCommand = 0x20;

inline modsim::Faults Switch(const std::string& name, const std::string& value)
{
    modsim::Faults faults;
    std::string error;
    EXPECT_TRUE(modsim::applyFaultOption(faults, name, value, error)) << error;
    return faults;
}

inline kxEtherConfig DirectConfig()
{
    kxEtherConfig config;
    config.serverMode = 0;
    config.transportFallback = 0;
    config.loopbackOnly = 1;
    return config;
}

inline linkSpec TcpSpec(uint32_t serial, uint16_t port)
{
    linkSpec spec;
    memset(&spec, 0, sizeof spec);
    spec.type = kxLinkTypeTCPIP;
    spec.serialNumber = serial;
    spec.address = htonl(INADDR_LOOPBACK);
    spec.port = port;
    return spec;
}

inline linkSpec SerialSpec(uint32_t serial, const std::string& path)
{
    linkSpec spec;
    memset(&spec, 0, sizeof spec);
    spec.type = kxLinkTypeSerial;
    spec.serialNumber = serial;
    spec.baudRate = 115200;
    strncpy(spec.portName, path.c_str(), sizeof spec.portName - 1);
    return spec;
}

inline long ElapsedMs(Clock::time_point since)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since)
        .count();
}

// One module at kAddress, connected through a Module whose address starts
// wrong (0x02): the address discovery after connecting corrects it.
struct SimModule
{
    modsim::Simulator sim;
    size_t m = 0;
    Module module{0x02, (uint8_t)0};
    EntityClass test;
    kxErr connected = kxErrUnknown;

    explicit SimModule(bool serial, const modsim::FirmwareSpec& firmware = {})
    {
        modsim::ModuleSpec spec;
        spec.module.serial = kSerial;
        spec.module.address = kAddress;
        spec.module.heartbeatMs = 0;
        spec.firmware = firmware;
        if (serial)
            spec.serialLine = true;
        else
            spec.tcp.push_back(modsim::TcpSpec());
        m = sim.addModule(spec);
        std::string error;
        EXPECT_TRUE(sim.start(&error)) << error;
        EXPECT_EQ(module.setConfig(DirectConfig()), kxErrNone);
        connected = module.connectFromSpec(serial ? SerialSpec(kSerial, sim.ptyPath(m))
                                                  : TcpSpec(kSerial, sim.tcpPort(m)));
        EXPECT_EQ(connected, kxErrNone);
        test.init(&module, kTestCommand, 0);
    }
    ~SimModule()
    {
        module.disconnect();
        sim.stop();
    }
    modsim::ModuleStats Stats() const { return sim.stats(m); }
    Bytes ModuleBytes(uint8_t option) const
    {
        auto o = sim.option(m, kTestCommand, 0, option);
        return o ? o->bytes : Bytes();
    }
};

inline Bytes Pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (uint8_t)(seed + 7 * i);
    return b;
}

} // namespace moduletest
