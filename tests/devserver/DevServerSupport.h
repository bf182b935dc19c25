// Helpers for the device-server tests: a simulated module behind a shared
// link, raw ZeroMQ clients that see the server's frames as they are, and UEI
// requests of the simulator's test entity (command 0x20, index 0).
#pragma once

#include "tests/link/LinkTestSupport.h"
#include "tools/modsim/Simulator.h"

#include <lumbrixon/discover.h>
#include <lumbrixon/kxServer_ZeroMQ.h>

#include <czmq.h>
#include <string>

namespace devserver
{
constexpr uint8_t kAddress = 0x06;
constexpr uint8_t kModel = 0x10;
constexpr uint8_t kTestEntity = 0x20;

// A get of the test entity's option: 20 (40|option) 20.
inline Bytes GetRequest(uint8_t option)
{
    return {kAddress, 3, kTestEntity, static_cast<uint8_t>(0x40 | option), 0x20};
}

// The values the simulator's test entity starts with (System.h).
inline Bytes ExpectedReply(uint8_t option)
{
    switch (option)
    {
        case 1:
            return {kAddress, 4, kTestEntity, 1, 0, 0x11};
        case 2:
            return {kAddress, 5, kTestEntity, 2, 0, 0x22, 0x22};
        case 3:
            return {kAddress, 7, kTestEntity, 3, 0, 0x33, 0x33, 0x33, 0x33};
        case 5:
            return {kAddress, 7, kTestEntity, 5, 0, 0x55, 0x55, 0x55, 0x55};
        default:
            return {};
    }
}

// A simulated TCP/IP module, a link to it and, once Share() ran, a device
// server with the client link kxLink_CreateServer returned.
struct SharedModule
{
    modsim::Simulator sim;
    size_t m = 0;
    uint32_t link = 0;
    uint32_t servedLink = 0; // the shared link, once its use passed to `client`
    uint32_t client = 0;
    uint16_t port = 0;
    uint32_t served = 0;

    explicit SharedModule(uint32_t serial, unsigned heartbeatMs = 1000)
    {
        modsim::ModuleSpec spec;
        spec.module.serial = serial;
        spec.module.address = kAddress;
        spec.module.model = kModel;
        spec.module.heartbeatMs = heartbeatMs;
        spec.tcp.push_back(modsim::TcpSpec());
        m = sim.addModule(spec);
        std::string error;
        EXPECT_TRUE(sim.start(&error)) << error;
        link = kxLink_CreateTCPIP(serial, TcpPeer::Loopback(), sim.tcpPort(m));
        EXPECT_NE(link, 0u);
    }
    // Shares the link on `interfaceAddress` (0: 127.0.0.1).
    bool Share(bool localOnly, uint32_t interfaceAddress = 0)
    {
        served = interfaceAddress;
        client = kxLink_CreateServer(link, &port, &served, localOnly);
        if (client != 0)
        {
            servedLink = link;
            link = 0; // its use now belongs to the client link
        }
        return client != 0;
    }
    ~SharedModule()
    {
        if (client != 0)
        {
            kxLink_Destroy(&client);
        }
        if (link != 0)
        {
            kxLink_Destroy(&link);
        }
        sim.stop();
    }
    unsigned Received() { return sim.stats(m).packetsReceived; }
};

// A DEALER connected to the server's frontend, used by one thread.
struct RawClient
{
    zsock_t* socket = nullptr;

    RawClient(uint32_t address, uint16_t port)
    {
        socket = zsock_new(ZMQ_DEALER);
        const auto* o = reinterpret_cast<const uint8_t*>(&address);
        EXPECT_EQ(zsock_connect(socket, "tcp://%u.%u.%u.%u:%u", o[0], o[1], o[2], o[3], port), 0);
    }
    ~RawClient() { zsock_destroy(&socket); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void Send(const Bytes& bytes)
    {
        zframe_t* frame = zframe_new(bytes.data(), bytes.size());
        ASSERT_EQ(zframe_send(&frame, socket, 0), 0);
    }
    // The next frame within `timeoutMs`; false when none came.
    bool Receive(Bytes& out, int timeoutMs)
    {
        zsock_set_rcvtimeo(socket, timeoutMs);
        zframe_t* frame = zframe_recv(socket);
        if (frame == nullptr)
        {
            return false;
        }
        out.assign(zframe_data(frame), zframe_data(frame) + zframe_size(frame));
        zframe_destroy(&frame);
        return true;
    }
};

// Every server the local search finds.
inline std::vector<linkSpec> SearchServers(uint32_t interfaceAddress)
{
    std::vector<linkSpec> found;
    kxDiscovery_Enumerate_kxEtherModules(
        [](const linkSpec* spec, uint8_t* success, void* ref)
        {
            static_cast<std::vector<linkSpec>*>(ref)->push_back(*spec);
            *success = 1;
            return true;
        },
        &found, interfaceAddress);
    return found;
}
} // namespace devserver
