// The system entity, the debug and info queries, the store entity and the
// test entity.
#include "System.h"

#include "Firmware.h"
#include "Link.h"
#include "Router.h"

#include <memory>

namespace modsim
{

namespace
{

Option _byte(uint32_t value, bool writable = false)
{
    Option o;
    o.type = ValueType::Byte;
    o.value = value;
    o.writable = writable;
    return o;
}

Option _short(uint32_t value, bool writable = false)
{
    Option o = _byte(value, writable);
    o.type = ValueType::Short;
    return o;
}

Option _int(uint32_t value, bool writable = false)
{
    Option o = _byte(value, writable);
    o.type = ValueType::Int;
    return o;
}

Option _bound(ValueType type, std::function<uint32_t()> read)
{
    Option o;
    o.type = type;
    o.read = std::move(read);
    return o;
}

Option _call(std::function<uint8_t(Link&, Time)> run = nullptr)
{
    Option o;
    o.type = ValueType::Void;
    o.readable = false;
    o.writable = true;
    o.onSet = [run](Link& link, uint32_t, int, Time now) { return run ? run(link, now) : 0; };
    return o;
}

Option _bytes(std::vector<uint8_t> value, size_t capacity, bool writable = true)
{
    Option o;
    o.type = ValueType::Bytes;
    o.bytes = std::move(value);
    o.capacity = capacity;
    o.writable = writable;
    return o;
}

// The saved values of an entity: what a store entity's save keeps.
struct _Saved
{
    std::map<uint16_t, std::map<uint8_t, Option>> entities;
};

// Copies the stored values (not the bindings) of `from` into `to`.
void _restore(std::map<uint8_t, Option>& to, const std::map<uint8_t, Option>& from)
{
    for (auto& [code, o] : to)
    {
        auto it = from.find(code);
        if (it == from.end())
            continue;
        o.value = it->second.value;
        o.bytes = it->second.bytes;
        o.sub = it->second.sub;
    }
}

void _info(Firmware& fw, Link& link, const Packet& p, Time now)
{
    const std::vector<uint8_t>& d = p.data;
    ModuleCore& core = fw.core();
    core.stats().infoRequests++;
    if (d.size() < 2)
    {
        core.stats().unhandledPackets++;
        return;
    }
    std::vector<uint8_t> reply(d.begin(), d.begin() + 2);
    switch (d[1])
    {
        case 1: // UEI support
        {
            if (d.size() != 6)
                break;
            uint8_t result = 0;
            Entity* e = fw.entity(d[2], d[4] & 0x1F);
            Option* o = e ? fw.option(d[2], d[4] & 0x1F, d[3] & 0x3F) : nullptr;
            if (e == nullptr)
                result = err::InvalidEntity;
            else if (o == nullptr || (o->present && !o->present()))
                result = err::InvalidOption;
            else if (d[5] == 0x40 && (!o->readable || o->type == ValueType::Void))
                result = err::Mode;
            else if (d[5] == 0x80 && !o->writable)
                result = err::Permission;
            else if (d[5] != 0 && d[5] != 0x40 && d[5] != 0x80)
                result = err::Param;
            reply.insert(reply.end(), d.begin() + 2, d.end() - 1);
            reply.push_back(result);
            fw.answer(link, p, {fw.packet(reply)}, now);
            return;
        }
        case 4: // how many entities of a class
        {
            if (d.size() != 3)
                break;
            unsigned n = 0;
            for (const auto& [key, e] : fw.entities())
                n += (key >> 8) == d[2];
            reply.push_back(d[2]);
            reply.push_back((uint8_t)n);
            fw.answer(link, p, {fw.packet(reply)}, now);
            return;
        }
        case 5: // how many options an entity has
        case 6: // the entity's group
        {
            if (d.size() != 4)
                break;
            Entity* e = fw.entity(d[2], d[3] & 0x1F);
            reply.push_back(d[2]);
            reply.push_back(d[3]);
            uint8_t value = 0;
            if (e != nullptr)
                value = d[1] == 5 ? (uint8_t)e->options.size() : e->group;
            reply.push_back(value);
            fw.answer(link, p, {fw.packet(reply)}, now);
            return;
        }
        case 0xFF: // the build number
        {
            if (d.size() != 2)
                break;
            putValue(reply, ValueType::Int, core.identity().build);
            reply.resize(core.config().buildReplyLength > 28 ? 28 : core.config().buildReplyLength,
                         0);
            fw.answer(link, p, {fw.packet(reply)}, now);
            return;
        }
        default:
            break;
    }
    core.stats().unhandledPackets++;
}

} // namespace

void installSystem(Firmware& fw)
{
    ModuleCore& core = fw.core();
    ModuleCore* c = &core;
    Firmware* f = &fw;
    auto& o = fw.addEntity(cmdSYSTEM, 0).options;
    o[1] = _bound(ValueType::Byte, [c] { return c->address(); });
    o[2] = _byte(core.router(), true);
    o[3] =
        _byte(core.config().heartbeatMs / 100 > 255 ? 255 : core.config().heartbeatMs / 100, true);
    o[4] = _byte(1, true);
    o[6] = _byte(0, true);
    o[7] = _bound(ValueType::Int, [c] { return c->identity().version; });
    o[8] = _bound(ValueType::Byte, [c] { return c->identity().model; });
    o[9] = _bound(ValueType::Int, [c] { return c->identity().serial; });
    o[10] = _call();
    o[11] = _call(
        [](Link& link, Time now)
        {
            link.event("reset", now);
            return (uint8_t)0;
        });
    o[12] = _int(24000);
    o[13] = _byte(0);
    o[14] = _byte(core.address());
    o[15] = _byte(0, true);
    o[16] = _byte(core.router());
    Option route = _byte(0, true);
    route.readable = false;
    route.onSet = [f](Link& link, uint32_t value, int, Time now)
    { return f->router().setRouteToMe(link, value != 0, now); };
    o[20] = route;
    o[21] = _int(350);
    o[22] = _bound(ValueType::Int,
                   [c]
                   {
                       return (uint32_t)std::chrono::duration_cast<std::chrono::seconds>(
                                  Clock::now() - c->started())
                           .count();
                   });
    o[23] = _int(4100);
    o[24] = _call();
    o[25] = _int(24100);
    o[26] = _int(420);
    o[27] = _int(3650);
    o[28] = _int(2100);
    o[29] = _byte(1);
    o[30] = _byte(0, true);
    o[31] = _bytes(std::vector<uint8_t>(8, 0), 64);
    Option name = _bytes({}, 32);
    name.present = [c] { return versionAtLeast(c->identity().version, 2, 10, 4); };
    name.readBytes = [c]
    { return std::vector<uint8_t>(c->identity().name.begin(), c->identity().name.end()); };
    name.onSetBytes = [c](Link&, const std::vector<uint8_t>& bytes, Time)
    {
        c->identity().name.assign(bytes.begin(), bytes.end());
        return (uint8_t)0;
    };
    o[32] = name;
    o[33] = _int(60000);
    o[34] = _int(60000, true);
    o[35] = _int(0);
    o[37] = _call();
    o[38] = _byte(0, true);
    o[40] = _int(3);
    o[41] = _int(0);
    o[42] = _byte(100, true);
    o[43] = _bound(ValueType::Int, [c] { return c->identity().build; });
    o[45] = _int(0x00000007);

    // The store entity: save, reset to defaults, load.
    auto saved = std::make_shared<_Saved>();
    auto& s = fw.addEntity(cmdSTORE, 0).options;
    for (uint8_t op = 0; op < 3; op++)
    {
        Option store = _int(0, true);
        store.readable = false;
        store.onSet = [f, saved, op](Link&, uint32_t value, int, Time) -> uint8_t
        {
            uint8_t command = (uint8_t)(value >> 8), index = (uint8_t)value;
            Entity* e = f->entity(command, index);
            if (e == nullptr)
                return err::InvalidEntity;
            uint16_t key = (uint16_t)(value & 0xFFFF);
            if (op == 0)
                saved->entities[key] = e->options;
            else if (op == 1)
            {
                auto it = f->defaults().find(key);
                if (it != f->defaults().end())
                    _restore(e->options, it->second.options);
            }
            else
            {
                auto it = saved->entities.find(key);
                if (it == saved->entities.end())
                    return err::NotFound;
                _restore(e->options, it->second);
            }
            return 0;
        };
        s[op] = store;
    }

    core.onCommand(cmdDEBUG, [f](Link& link, const Packet& p, Time now)
                   { f->answer(link, p, {f->packet(p.data)}, now); });
    core.onCommand(cmdINFO,
                   [f](Link& link, const Packet& p, Time now) { _info(*f, link, p, now); });
}

void installTestEntity(Firmware& fw)
{
    Firmware* f = &fw;
    auto& o = fw.addEntity(0x20, 0).options;
    o[1] = _byte(0x11, true);
    o[2] = _short(0x2222, true);
    o[3] = _int(0x33333333, true);
    o[4] = _bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 1024);
    o[5] = _int(0x55555555);
    o[6] = _int(0, true);
    o[6].sub = {{0, 0x60000000}, {1, 0x61}, {2, 0x62}, {3, 0x63}};
    o[7] = _call(
        [f](Link&, Time)
        {
            f->option(0x20, 0, 8)->value++;
            return (uint8_t)0;
        });
    o[7].delayMs = 300;
    o[8] = _int(0);
    o[9] = _short(0);
    o[9].streamMs = 50;
    std::vector<uint8_t> hundred(100);
    for (size_t i = 0; i < hundred.size(); i++)
        hundred[i] = (uint8_t)(3 * i);
    o[10] = _bytes(hundred, 100, false);
    o[11] = _byte(0, true);
    o[11].sub = {{0, 0x10}, {1, 0x11}, {2, 0x12}, {3, 0x13}};
    o[12] = _short(0, true);
    o[12].sub = {{0, 0x1200}, {1, 0x1201}, {2, 0x1202}, {3, 0x1203}};
    o[13] = _byte(0x13, true);
    o[13].delayMs = 1500;
    o[14] = _int(0, true);
    o[14].streamMs = 20;
}

} // namespace modsim
