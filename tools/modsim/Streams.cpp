// Stream control and the samples it starts.
#include "Streams.h"

#include "Firmware.h"
#include "Link.h"

#include <set>

namespace modsim
{

namespace
{

uint32_t _mask(ValueType type, uint32_t value)
{
    switch (type)
    {
        case ValueType::Byte:
            return value & 0xFF;
        case ValueType::Short:
            return value & 0xFFFF;
        default:
            return value;
    }
}

bool _streamable(const Option& o)
{
    return o.readable && o.type != ValueType::Void && (!o.present || o.present());
}

} // namespace

Streams::Streams(Firmware& firmware) : firmware_(firmware)
{
    ModuleCore& core = firmware.core();
    core.onCommand(cmdSTREAM,
                   [this](Link& link, const Packet& p, Time now) { handle(link, p, now); });
    core.addTicker([this](Time now) { return tick(now); });
}

std::vector<Streams::Source> Streams::sources(const Pattern& p) const
{
    std::vector<Source> found;
    for (const auto& [key, entity] : firmware_.entities())
    {
        uint8_t command = (uint8_t)(key >> 8), index = (uint8_t)key;
        if ((p.command != 0xFF && p.command != command) || (p.index != 0xFF && p.index != index) ||
            command == cmdSTREAM)
            continue;
        for (const auto& [code, o] : entity.options)
        {
            bool named = p.option == code;
            if ((named || (p.option == 0xFF && o.streamMs != 0)) && _streamable(o))
                found.emplace_back(command, index, code);
        }
    }
    return found;
}

void Streams::handle(Link& link, const Packet& p, Time now)
{
    const std::vector<uint8_t>& d = p.data;
    ModuleCore& core = firmware_.core();
    if (d.size() < 3 || ((d[1] & 0x80) != 0) == ((d[1] & 0x40) != 0))
    {
        core.stats().unhandledPackets++;
        return;
    }
    bool isSet = (d[1] & 0x80) != 0;
    uint8_t code = d[1] & 0x3F, index = d[2] & 0x1F;
    uint8_t answerOption = isSet ? (uint8_t)(0xC0 | code) : code;
    auto refuse = [&](uint8_t why)
    {
        core.stats().errorReplies++;
        firmware_.answer(link, p, {firmware_.ueiError(cmdSTREAM, answerOption, index, why)}, now);
    };
    if (isSet)
        core.stats().ueiSets++;
    else
        core.stats().ueiGets++;
    if (index != 0)
        return refuse(err::InvalidEntity);
    if (!isSet)
    {
        if (code != 1)
            return refuse(err::InvalidOption);
        firmware_.answer(
            link, p, {firmware_.packet({cmdSTREAM, 0x01, 0x00, (uint8_t)(streaming() ? 1 : 0)})},
            now);
        return;
    }
    if (code != 1 && code != 2)
        return refuse(err::InvalidOption);
    if (d.size() != 7)
        return refuse(err::Size);
    if (d[3] != core.address())
        return refuse(err::Param);
    Pattern pattern = {d[4], d[5], d[6]};
    if (code == 1)
    {
        if (sources(pattern).empty())
            return refuse(err::InvalidOption);
        bool known = false;
        for (const Pattern& e : enabled_)
            known = known || e == pattern;
        if (!known)
            enabled_.push_back(pattern);
    }
    else
    {
        auto covers = [&](const Pattern& e)
        {
            return (pattern.command == 0xFF || pattern.command == e.command) &&
                   (pattern.option == 0xFF || pattern.option == e.option) &&
                   (pattern.index == 0xFF || pattern.index == e.index);
        };
        std::erase_if(enabled_, covers);
    }
    core.stats().streamsEnabled = (unsigned)enabled_.size();
    firmware_.answer(
        link, p, {firmware_.packet({cmdSTREAM, answerOption, 0x00, d[3], d[4], d[5], d[6]})}, now);
}

Time Streams::tick(Time now)
{
    if (enabled_.empty())
    {
        next_.clear();
        return kNever;
    }
    std::set<Source> all;
    for (const Pattern& p : enabled_)
        for (const Source& s : sources(p))
            all.insert(s);
    std::erase_if(next_, [&](const auto& item) { return all.count(item.first) == 0; });
    ModuleCore& core = firmware_.core();
    Link* route = core.routeLink();
    Time earliest = kNever;
    for (const Source& s : all)
    {
        auto [command, index, code] = s;
        Option* o = firmware_.option(command, index, code);
        if (o == nullptr)
            continue;
        unsigned ms = o->streamMs != 0 ? o->streamMs : firmware_.spec().streamMs;
        std::chrono::milliseconds period(ms != 0 ? ms : 100);
        auto it = next_.find(s);
        if (it == next_.end())
            it = next_.emplace(s, now + period).first;
        else if (it->second <= now)
        {
            // Only a link with the route gets samples; without one none are made.
            if (route != nullptr && !core.silent())
                sample(*route, s, *o, now);
            it->second += period;
            if (it->second <= now)
                it->second = now + period;
        }
        if (it->second < earliest)
            earliest = it->second;
    }
    return earliest;
}

void Streams::sample(Link& link, const Source& source, Option& o, Time now)
{
    auto [command, index, code] = source;
    uint64_t micros = (uint64_t)std::chrono::duration_cast<std::chrono::microseconds>(
                          now - firmware_.core().started())
                          .count();
    std::vector<std::vector<uint8_t>> packets;
    if (o.type == ValueType::Bytes)
        packets = segmentBytes({command, code, (uint8_t)(0x40 | index), 4}, o.currentBytes(), 23);
    else
    {
        uint8_t type = o.type == ValueType::Byte ? 1 : o.type == ValueType::Short ? 2 : 3;
        auto one = [&](int sub, uint32_t value)
        {
            std::vector<uint8_t> d = {command, code, (uint8_t)(0x40 | index),
                                      (uint8_t)(sub < 0 ? type : type + 4)};
            if (sub >= 0)
                d.push_back((uint8_t)sub);
            putValue(d, ValueType::Int, (uint32_t)(micros >> 32));
            putValue(d, ValueType::Int, (uint32_t)micros);
            putValue(d, o.type, value);
            d.push_back(0x00);
            packets.push_back(std::move(d));
        };
        bool step = !o.read && o.streamStep != 0;
        if (o.sub.empty())
        {
            if (step)
                o.value = _mask(o.type, o.value + (uint32_t)o.streamStep);
            one(-1, o.current());
        }
        else
            for (auto& [sub, value] : o.sub)
            {
                if (step)
                    value = _mask(o.type, value + (uint32_t)o.streamStep);
                one(sub, value);
            }
    }
    for (auto& d : packets)
    {
        link.send(firmware_.packet(std::move(d)), now);
        firmware_.core().stats().streamPackets++;
    }
}

} // namespace modsim
