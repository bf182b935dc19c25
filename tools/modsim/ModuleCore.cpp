// The module's core: handler table, tickers, route target and switches.
#include "ModuleCore.h"

#include "Link.h"

#include <cstdio>

namespace modsim
{

ModuleCore::ModuleCore(const ModuleConfig& config) : config_(config)
{
    setFaults(config.faults);
}

std::string ModuleCore::serialText() const
{
    char text[16];
    snprintf(text, sizeof text, "%08X", config_.serial);
    return text;
}

void ModuleCore::setFaults(const Faults& faults)
{
    faults_ = faults;
    faultsGeneration_++;
    fired_.assign(faults.cuts.size(), false);
    stats_.silent = faults_.silent;
}

void ModuleCore::setSilent(bool silent)
{
    faults_.silent = silent;
    stats_.silent = silent;
}

void ModuleCore::markRuleFired(size_t i)
{
    if (i < fired_.size())
        fired_[i] = true;
}

void ModuleCore::onControl(uint8_t address, Handler handler)
{
    control_[address] = std::move(handler);
}

void ModuleCore::onCommand(uint8_t command, Handler handler)
{
    commands_[command] = std::move(handler);
}

void ModuleCore::onOtherAddress(Handler handler)
{
    other_ = std::move(handler);
}

void ModuleCore::addTicker(Ticker ticker)
{
    tickers_.push_back(std::move(ticker));
}

void ModuleCore::dispatch(Link& link, const Packet& packet, Time now)
{
    const Handler* handler = nullptr;
    if (packet.address == config_.address)
    {
        if (!packet.data.empty())
        {
            auto it = commands_.find(packet.data[0]);
            if (it != commands_.end())
                handler = &it->second;
        }
        if (handler == nullptr)
        {
            stats_.unhandledPackets++;
            return;
        }
    }
    else if (packet.address & 1)
    {
        auto it = control_.find(packet.address);
        if (it == control_.end())
        {
            stats_.unhandledPackets++;
            return;
        }
        handler = &it->second;
    }
    else
    {
        if (!other_)
        {
            stats_.foreignPackets++;
            return;
        }
        handler = &other_;
    }
    (*handler)(link, packet, now);
}

Time ModuleCore::tick(Time now)
{
    Time next = kNever;
    for (Ticker& t : tickers_)
    {
        Time due = t(now);
        if (due < next)
            next = due;
    }
    return next;
}

void ModuleCore::routeTo(Link* link)
{
    routeLink_ = link;
    routeLinkId_ = link ? link->id() : 0;
    stats_.routeOn = link != nullptr;
    stats_.routeLink = link ? link->name() : std::string();
}

void ModuleCore::routeOff(Link& link)
{
    if (routeLink_ == &link)
        routeTo(nullptr);
}

void ModuleCore::linkEnded(Link& link)
{
    routeOff(link);
}

} // namespace modsim
