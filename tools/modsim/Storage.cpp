// Store slots and factory data.
#include "Storage.h"

#include "Firmware.h"
#include "Link.h"

namespace modsim
{

namespace
{

constexpr size_t kMaxOpen = 4;
constexpr size_t kSlotChunk = 25;    // bytes a read answer carries
constexpr size_t kFactoryChunk = 26; // bytes a factory answer carries
constexpr size_t kFactoryMax = 1024;

uint16_t _key(uint8_t store, uint8_t slot)
{
    return (uint16_t)((store << 8) | slot);
}

} // namespace

Storage::Storage(Firmware& firmware) : firmware_(firmware)
{
    const FirmwareSpec& spec = firmware.spec();
    if (spec.slots.empty())
    {
        for (uint8_t s = 0; s < 4; s++)
            slots_[_key(0, s)].capacity = 1024;
        for (uint8_t i = 0; i < 40; i++)
            slots_[_key(0, 0)].data.push_back(i);
    }
    for (const SlotSpec& s : spec.slots)
    {
        Slot& slot = slots_[_key(s.store, s.slot)];
        slot.capacity = s.capacity;
        slot.data = s.data;
        if (slot.data.size() > slot.capacity)
            slot.data.resize(slot.capacity);
        slot.readOnly = s.readOnly;
    }
    factory_ = spec.factory;
    if (factory_.empty())
    {
        for (uint8_t i = 0; i < 60; i++)
            factory_[0].push_back((uint8_t)(0xA0 + i));
        for (uint8_t i = 0; i < 26; i++)
            factory_[1].push_back((uint8_t)(0x10 + i));
    }
    locked_ = spec.lockedFactory;
    ModuleCore& core = firmware.core();
    core.onCommand(cmdSLOT,
                   [this](Link& link, const Packet& p, Time now) { handleSlot(link, p, now); });
    core.onCommand(cmdFACTORY,
                   [this](Link& link, const Packet& p, Time now) { handleFactory(link, p, now); });
    core.onLinkEnded(
        [this](Link&)
        {
            // The host is gone: what it had open is closed, a factory
            // transfer under way is forgotten.
            for (auto& [h, handle] : handles_)
                slots_[handle.slot].open = false;
            handles_.clear();
            transfer_ = Transfer();
        });
}

std::optional<std::vector<uint8_t>> Storage::slot(uint8_t store, uint8_t slot) const
{
    auto it = slots_.find(_key(store, slot));
    if (it == slots_.end())
        return std::nullopt;
    return it->second.data;
}

std::optional<std::vector<uint8_t>> Storage::factory(uint8_t selector) const
{
    auto it = factory_.find(selector);
    if (it == factory_.end())
        return std::nullopt;
    return it->second;
}

void Storage::handleSlot(Link& link, const Packet& p, Time now)
{
    const std::vector<uint8_t>& d = p.data;
    ModuleCore& core = firmware_.core();
    core.stats().slotRequests++;
    if (d.size() < 3)
    {
        core.stats().unhandledPackets++;
        return;
    }
    uint8_t op = d[1];
    auto reply = [&](std::vector<uint8_t> data)
    { firmware_.answer(link, p, {firmware_.packet(std::move(data))}, now); };
    auto refuse = [&](size_t echo, uint8_t code)
    {
        core.stats().errorReplies++;
        std::vector<uint8_t> data(d.begin(), d.begin() + (long)echo);
        data[1] = (uint8_t)(0x80 | op);
        data.push_back(code);
        reply(std::move(data));
    };
    if (op >= 1 && op <= 4)
    {
        if (d.size() != 4)
        {
            core.stats().unhandledPackets++;
            return;
        }
        auto it = slots_.find(_key(d[2], d[3]));
        if (it == slots_.end())
            return refuse(4, err::NotFound);
        Slot& slot = it->second;
        std::vector<uint8_t> data(d.begin(), d.end());
        if (op == 1 || op == 2)
        {
            putValue(data, ValueType::Short, op == 1 ? slot.capacity : (uint32_t)slot.data.size());
            return reply(std::move(data));
        }
        if (slot.open)
            return refuse(4, err::Busy);
        if (op == 4 && slot.readOnly)
            return refuse(4, err::Permission);
        if (handles_.size() >= kMaxOpen)
            return refuse(4, err::Resource);
        while (handles_.count(nextHandle_) != 0 || nextHandle_ == 0 || nextHandle_ == 255)
            nextHandle_ = (uint8_t)(nextHandle_ + 1);
        uint8_t h = nextHandle_++;
        handles_[h] = Handle{it->first, op == 4, 0};
        slot.open = true;
        if (op == 4)
            slot.data.clear();
        data.push_back(h);
        return reply(std::move(data));
    }
    if (op >= 6 && op <= 8)
    {
        auto it = handles_.find(d[2]);
        if (it == handles_.end())
            return refuse(3, err::NotFound);
        Handle& h = it->second;
        Slot& slot = slots_[h.slot];
        if (op == 6)
        {
            if (d.size() != 3)
                return refuse(3, err::Param);
            if (h.writing)
                return refuse(3, err::Mode);
            size_t n = slot.data.size() - h.position;
            n = n < kSlotChunk ? n : kSlotChunk;
            std::vector<uint8_t> data = {cmdSLOT, 6, d[2]};
            data.insert(data.end(), slot.data.begin() + (long)h.position,
                        slot.data.begin() + (long)(h.position + n));
            h.position += n;
            return reply(std::move(data));
        }
        if (op == 7)
        {
            if (!h.writing)
                return refuse(3, err::Mode);
            size_t n = d.size() - 3;
            if (n > kSlotChunk)
                return refuse(3, err::Size);
            if (slot.data.size() + n > slot.capacity)
                return refuse(3, err::Overrun);
            uint8_t sum = 0;
            for (size_t i = 3; i < d.size(); i++)
                sum = (uint8_t)(sum + d[i]);
            slot.data.insert(slot.data.end(), d.begin() + 3, d.end());
            return reply({cmdSLOT, 7, d[2], sum});
        }
        slot.open = false;
        handles_.erase(it);
        return reply({cmdSLOT, 8, d[2], 0x00});
    }
    core.stats().unhandledPackets++;
}

void Storage::handleFactory(Link& link, const Packet& p, Time now)
{
    const std::vector<uint8_t>& d = p.data;
    ModuleCore& core = firmware_.core();
    core.stats().factoryRequests++;
    if (d.size() < 2)
    {
        core.stats().unhandledPackets++;
        return;
    }
    uint8_t op = d[1] >> 4, selector = d[1] & 0x0F;
    auto reply = [&](std::vector<uint8_t> data)
    { firmware_.answer(link, p, {firmware_.packet(std::move(data))}, now); };
    auto refuse = [&](uint8_t code)
    {
        core.stats().errorReplies++;
        transfer_ = Transfer();
        reply({cmdFACTORY, (uint8_t)(0x80 | selector), code});
    };
    switch (op)
    {
        case 0x4: // read, first
        case 0x0: // read, next
        {
            if (d.size() != 2)
                return refuse(err::Size);
            if (op == 0x4)
            {
                auto it = factory_.find(selector);
                if (it == factory_.end())
                    return refuse(err::NotFound);
                transfer_ = Transfer{true, false, selector, 0, it->second};
            }
            else if (!transfer_.active || transfer_.writing || transfer_.selector != selector)
                return refuse(err::Param);
            size_t left = transfer_.bytes.size() - transfer_.count;
            size_t n = left < kFactoryChunk ? left : kFactoryChunk;
            std::vector<uint8_t> data = {cmdFACTORY, selector};
            data.insert(data.end(), transfer_.bytes.begin() + (long)transfer_.count,
                        transfer_.bytes.begin() + (long)(transfer_.count + n));
            transfer_.count += n;
            return reply(std::move(data));
        }
        case 0x5: // write, first
        case 0x1: // write, next
        {
            if (op == 0x5)
            {
                if (locked_.count(selector) != 0)
                    return refuse(err::Permission);
                transfer_ = Transfer{true, true, selector, 0, {}};
            }
            else if (!transfer_.active || !transfer_.writing || transfer_.selector != selector)
                return refuse(err::Param);
            size_t n = d.size() - 2;
            if (n > kFactoryChunk || transfer_.bytes.size() + n > kFactoryMax)
                return refuse(err::Size);
            transfer_.bytes.insert(transfer_.bytes.end(), d.begin() + 2, d.end());
            transfer_.count += n;
            return reply({cmdFACTORY, selector});
        }
        case 0x2: // confirm the count
        {
            if (d.size() != 4)
                return refuse(err::Size);
            size_t count = (size_t)((d[2] << 8) | d[3]);
            Transfer t = transfer_;
            transfer_ = Transfer();
            if (count != (t.active ? t.count : 0))
                return refuse(err::Size);
            if (t.active && t.writing)
                factory_[t.selector] = t.bytes;
            return reply({cmdFACTORY, selector});
        }
        default:
            return refuse(err::Param);
    }
}

} // namespace modsim
