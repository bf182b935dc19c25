// A module's I2C bus and, on a routing module, the modules behind it.
//
// Every module has I2C bus 0 (command 8, raw packets; the fifth answer byte
// is a status: 0 good, bit 7 set a failure whose low bits are the code):
//   write    08 B A N SPEED BYTES(N)  ->  08 B A 00 STATUS
//   read     08 B A|1 N SPEED         ->  08 B A|1 COUNT STATUS BYTES(COUNT)
//   pull-up  08 B 01 EN               ->  08 B 01 EN STATUS
// A transfer to an address where a module behind the router sits is
// acknowledged (status 0; a read gives N zero bytes); elsewhere it is not
// (status 0x83, NotFound). So a host probes an address with a write of two
// zero bytes. N above 23 or not matching the bytes sent fails with 0x8E
// (Size); another bus than 0 with 0x9C (InvalidEntity). The module counts
// the writes and reads by address (ModuleStats::i2cWrites, i2cReads).
//
// The modules behind a router have no transport of their own: a host
// reaches one by sending packets to its address on the router's link, once
// it has told the router, with the system entity's "route to me" (option
// 20 set to 1), to route its network to that link. From then on until
// "route to me" 0 comes on that link, or the link ends, the router hands
// every packet for one of its modules to it, and the module answers on the
// router's link (its streamed values go there too). A packet for a module
// behind the router on any other link, or before, is not answered.
//
// Threads: the simulator's loop thread, with its lock held.
#pragma once

#include "ModuleCore.h"

#include <vector>

namespace modsim
{

class Firmware;

class Router
{
public:
    explicit Router(Firmware& firmware);

    // A module on the bus, at the address of its configuration.
    void addChild(Firmware& child);
    const std::vector<Firmware*>& children() const { return children_; }

    // "Route to me" from `link`: returns the code to answer (0).
    uint8_t setRouteToMe(Link& link, bool on, Time now);

private:
    Firmware* child(uint8_t address) const;
    void handleI2c(Link& link, const Packet& p, Time now);
    void forward(Link& link, const Packet& p, Time now);
    void route(Link* link);

    Firmware& firmware_;
    std::vector<Firmware*> children_;
    Link* routeLink_ = nullptr;
    uint64_t routeLinkId_ = 0;
};

} // namespace modsim
