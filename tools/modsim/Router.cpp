// The I2C bus, "route to me" and the modules behind a router.
#include "Router.h"

#include "Firmware.h"
#include "Link.h"

namespace modsim
{

Router::Router(Firmware& firmware) : firmware_(firmware)
{
    ModuleCore& core = firmware.core();
    core.onCommand(cmdI2C,
                   [this](Link& link, const Packet& p, Time now) { handleI2c(link, p, now); });
    core.onOtherAddress([this](Link& link, const Packet& p, Time now) { forward(link, p, now); });
    core.onLinkEnded(
        [this](Link& link)
        {
            if (link.id() == routeLinkId_)
                route(nullptr);
        });
}

void Router::addChild(Firmware& child)
{
    children_.push_back(&child);
    if (routeLink_ != nullptr)
        child.core().routeTo(routeLink_);
}

Firmware* Router::child(uint8_t address) const
{
    for (Firmware* c : children_)
        if (c->core().address() == address)
            return c;
    return nullptr;
}

void Router::route(Link* link)
{
    routeLink_ = link;
    routeLinkId_ = link ? link->id() : 0;
    firmware_.core().stats().routeToMe = link != nullptr;
    for (Firmware* c : children_)
        c->core().routeTo(link);
}

uint8_t Router::setRouteToMe(Link& link, bool on, Time now)
{
    if (on)
    {
        route(&link);
        link.event("route-to-me", now);
    }
    else if (link.id() == routeLinkId_)
    {
        route(nullptr);
        link.event("route-to-me-off", now);
    }
    return 0;
}

void Router::forward(Link& link, const Packet& p, Time now)
{
    ModuleCore& core = firmware_.core();
    Firmware* c = child(p.address);
    if (c == nullptr || link.id() != routeLinkId_)
    {
        core.stats().foreignPackets++;
        return;
    }
    core.stats().childPackets++;
    c->core().stats().packetsReceived++;
    c->core().dispatch(link, p, now);
}

void Router::handleI2c(Link& link, const Packet& p, Time now)
{
    const std::vector<uint8_t>& d = p.data;
    ModuleCore& core = firmware_.core();
    auto reply = [&](std::vector<uint8_t> data)
    { firmware_.answer(link, p, {firmware_.packet(std::move(data))}, now); };
    auto status = [&](uint8_t code) -> uint8_t
    {
        if (code != 0)
            core.stats().errorReplies++;
        return code == 0 ? 0 : (uint8_t)(0x80 | code);
    };
    if (d.size() == 4 && d[2] == 1)
    {
        // The pull-up resistors.
        uint8_t bus = d[1] == 0 ? 0 : err::InvalidEntity;
        return reply({cmdI2C, d[1], 1, d[3], status(bus)});
    }
    if (d.size() < 5)
    {
        core.stats().unhandledPackets++;
        return;
    }
    uint8_t bus = d[1], address = d[2], length = d[3];
    bool read = (address & 1) != 0;
    uint8_t device = (uint8_t)(address & 0xFE);
    Firmware* c = child(device);
    bool acknowledged = c != nullptr && !c->core().silent();
    uint8_t code = 0;
    if (bus != 0)
        code = err::InvalidEntity;
    else if (length > 23 || (!read && d.size() != (size_t)5 + length) || (read && d.size() != 5))
        code = err::Size;
    else if (!acknowledged)
        code = err::NotFound;
    (read ? core.stats().i2cReads : core.stats().i2cWrites)[device]++;
    if (!read)
        return reply({cmdI2C, bus, address, 0, status(code)});
    std::vector<uint8_t> data = {cmdI2C, bus, address, (uint8_t)(code == 0 ? length : 0),
                                 status(code)};
    if (code == 0)
        data.resize(data.size() + length, 0);
    reply(std::move(data));
}

} // namespace modsim
