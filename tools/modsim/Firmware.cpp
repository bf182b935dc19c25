// The module's UEI values: gets, sets, calls, byte values in segments, and
// the reply faults every answer of this level passes.
#include "Firmware.h"

#include "Link.h"
#include "Router.h"
#include "Storage.h"
#include "Streams.h"
#include "System.h"

namespace modsim
{

namespace
{

uint16_t _key(uint8_t command, uint8_t index)
{
    return (uint16_t)((command << 8) | index);
}

} // namespace

Firmware::Firmware(ModuleCore& core, const FirmwareSpec& spec) : core_(core), spec_(spec)
{
    installSystem(*this);
    if (spec_.testEntity)
        installTestEntity(*this);
    for (const EntitySpec& e : spec_.entities)
    {
        Entity& entity = addEntity(e.command, e.index);
        entity.group = e.group;
        for (const auto& [code, option] : e.options)
            entity.options[code] = option;
    }
    streams_ = std::make_unique<Streams>(*this);
    storage_ = std::make_unique<Storage>(*this);
    router_ = std::make_unique<Router>(*this);
    core_.onUnknownCommand([this](Link& link, const Packet& p, Time now)
                           { handleUnknown(link, p, now); });
    core_.onLinkEnded(
        [this](Link& link)
        {
            for (auto it = inbound_.begin(); it != inbound_.end();)
                it = it->first.first == link.id() ? inbound_.erase(it) : std::next(it);
        });
    keepDefaults();
}

Firmware::~Firmware() = default;

Entity* Firmware::entity(uint8_t command, uint8_t index)
{
    auto it = entities_.find(_key(command, index));
    return it == entities_.end() ? nullptr : &it->second;
}

Option* Firmware::option(uint8_t command, uint8_t index, uint8_t option)
{
    Entity* e = entity(command, index);
    if (e == nullptr)
        return nullptr;
    auto it = e->options.find(option);
    return it == e->options.end() ? nullptr : &it->second;
}

Entity& Firmware::addEntity(uint8_t command, uint8_t index)
{
    if (commands_.insert(command).second)
        core_.onCommand(command,
                        [this](Link& link, const Packet& p, Time now) { handleUei(link, p, now); });
    return entities_[_key(command, index)];
}

Packet Firmware::packet(std::vector<uint8_t> data) const
{
    Packet p;
    p.address = core_.address();
    p.data = std::move(data);
    return p;
}

Packet Firmware::ueiError(uint8_t command, uint8_t optionByte, uint8_t index, uint8_t code) const
{
    return packet({command, optionByte, (uint8_t)(0x80 | (index & 0x1F)), code});
}

void Firmware::answer(Link& link, const Packet& request, std::vector<Packet> replies, Time now,
                      unsigned delayMs)
{
    ModuleStats& stats = core_.stats();
    // A module behind a router that fell silent: the router's link would
    // still carry its answers, so they stop here.
    if (core_.silent())
    {
        stats.suppressed += (unsigned)replies.size();
        return;
    }
    const std::vector<ReplyRule>& rules = core_.faults().replies;
    for (size_t i = 0; i < rules.size(); i++)
    {
        const ReplyRule& r = rules[i];
        if (!patternMatches(r.pattern, request.data))
            continue;
        unsigned seen = core_.countReplyRule(i);
        if (r.occurrence != 0 && seen != r.occurrence)
            continue;
        if (r.kind == ReplyFault::Withhold)
        {
            stats.repliesWithheld++;
            link.note("no answer to " + hex(request.wire()) + " (--no-reply)", now);
            return;
        }
        if (r.kind == ReplyFault::WrongUei)
        {
            for (Packet& p : replies)
                if (p.data.size() >= 2)
                    p.data[1] = (uint8_t)((p.data[1] & 0xC0) | ((p.data[1] + 1) & 0x3F));
            stats.repliesMisdirected++;
            link.note("answer to " + hex(request.wire()) + " names the next option (--wrong-uei)",
                      now);
        }
        if (r.kind == ReplyFault::LoseSegment && !replies.empty())
        {
            size_t n = r.segment >= 0 ? (size_t)r.segment : replies.size() / 2;
            if (n < replies.size())
            {
                link.note("segment " + std::to_string(n) + " of the answer to " +
                              hex(request.wire()) + " left out (--lose-segment)",
                          now);
                replies.erase(replies.begin() + (long)n);
                stats.segmentsLost++;
            }
        }
    }
    for (const Packet& p : replies)
        link.reply(p, now, std::chrono::milliseconds(delayMs));
}

void Firmware::handleUnknown(Link& link, const Packet& p, Time now)
{
    // A UEI request to an entity class the module does not have is refused;
    // other commands it does not know go unanswered, as firmware ignores them.
    const std::vector<uint8_t>& d = p.data;
    bool request = d.size() >= 3 && (((d[1] & 0x80) != 0) != ((d[1] & 0x40) != 0));
    if (!request || !isUeiCommand(d[0]))
    {
        core_.stats().unhandledPackets++;
        return;
    }
    core_.stats().errorReplies++;
    uint8_t optionByte = (d[1] & 0x80) ? (uint8_t)(0xC0 | (d[1] & 0x3F)) : (uint8_t)(d[1] & 0x3F);
    answer(link, p, {ueiError(d[0], optionByte, d[2], err::InvalidEntity)}, now);
}

void Firmware::handleUei(Link& link, const Packet& p, Time now)
{
    const std::vector<uint8_t>& d = p.data;
    ModuleStats& stats = core_.stats();
    if (d.size() < 3)
    {
        // Too short to be answered: there is no index to answer for.
        stats.unhandledPackets++;
        return;
    }
    bool isSet = (d[1] & 0x80) != 0, isGet = (d[1] & 0x40) != 0;
    if (isSet == isGet)
    {
        // An acknowledgement or a value report: nothing a host sends.
        stats.unhandledPackets++;
        return;
    }
    if ((d[2] & 0x20) == 0)
        stats.requestsWithoutHostBit++;
    uint8_t code = d[1] & 0x3F, index = d[2] & 0x1F;
    uint8_t answerOption = isGet ? code : (uint8_t)(0xC0 | code);
    (isGet ? stats.ueiGets : stats.ueiSets)++;
    Entity* e = entity(d[0], index);
    Option* o = nullptr;
    uint8_t refusal = 0;
    if (e == nullptr)
        refusal = err::InvalidEntity;
    else
    {
        auto it = e->options.find(code);
        if (it == e->options.end() || (it->second.present && !it->second.present()))
            refusal = err::InvalidOption;
        else
            o = &it->second;
    }
    if (refusal != 0)
    {
        stats.errorReplies++;
        answer(link, p, {ueiError(d[0], answerOption, index, refusal)}, now);
        return;
    }
    if (isGet)
        get(link, p, *o, now);
    else if (o->type == ValueType::Bytes)
        setBytes(link, p, *o, now);
    else
        set(link, p, *o, now);
}

void Firmware::get(Link& link, const Packet& p, Option& o, Time now)
{
    const std::vector<uint8_t>& d = p.data;
    uint8_t command = d[0], code = d[1] & 0x3F, index = d[2] & 0x1F;
    auto refuse = [&](uint8_t why)
    {
        core_.stats().errorReplies++;
        answer(link, p, {ueiError(command, code, index, why)}, now, o.delayMs);
    };
    if (!o.readable || o.type == ValueType::Void)
        return refuse(err::Mode);
    std::vector<uint8_t> head = {command, code, index};
    if (o.type == ValueType::Bytes)
    {
        std::vector<Packet> segments;
        for (auto& s : segmentBytes(head, o.currentBytes()))
            segments.push_back(packet(std::move(s)));
        core_.stats().segmentsOut += (unsigned)segments.size();
        answer(link, p, std::move(segments), now, o.delayMs);
        return;
    }
    int sub = -1;
    if (d.size() >= 4)
    {
        sub = d[3];
        if (o.sub.empty() && sub != 0)
            return refuse(err::IndexRange);
    }
    if (!o.sub.empty() && o.sub.count(sub < 0 ? 0 : (uint8_t)sub) == 0)
        return refuse(err::IndexRange);
    putValue(head, o.type, o.current(sub));
    answer(link, p, {packet(std::move(head))}, now, o.delayMs);
}

void Firmware::set(Link& link, const Packet& p, Option& o, Time now)
{
    const std::vector<uint8_t>& d = p.data;
    uint8_t command = d[0], code = d[1] & 0x3F, index = d[2] & 0x1F;
    uint8_t ack = (uint8_t)(0xC0 | code);
    auto refuse = [&](uint8_t why)
    {
        core_.stats().errorReplies++;
        answer(link, p, {ueiError(command, ack, index, why)}, now, o.delayMs);
    };
    if (!o.writable)
        return refuse(err::Permission);
    size_t n = valueSize(o.type), given = d.size() - 3;
    int sub = -1;
    uint32_t value = 0;
    if (o.type == ValueType::Void)
    {
        if (given > 1) // a call may name a sub-index, nothing more
            return refuse(err::Size);
    }
    else if (given == n)
        value = takeValue(d.data() + 3, n);
    else if (given == n + 1)
    {
        sub = d[3];
        value = takeValue(d.data() + 4, n);
    }
    else
        return refuse(err::Size);
    if (o.type != ValueType::Void)
    {
        if (o.sub.empty() && sub > 0)
            return refuse(err::IndexRange);
        if (!o.sub.empty() && o.sub.count(sub < 0 ? 0 : (uint8_t)sub) == 0)
            return refuse(err::IndexRange);
    }
    if (o.onSet)
    {
        uint8_t result = o.onSet(link, value, sub, now);
        if (result != 0)
            return refuse(result);
    }
    else if (!o.sub.empty())
        o.sub[sub < 0 ? 0 : (uint8_t)sub] = value;
    else
        o.value = value;
    std::vector<uint8_t> reply = {command, ack, index};
    if (o.type != ValueType::Void)
        putValue(reply, o.type, value);
    answer(link, p, {packet(std::move(reply))}, now, o.delayMs);
}

void Firmware::setBytes(Link& link, const Packet& p, Option& o, Time now)
{
    const std::vector<uint8_t>& d = p.data;
    uint8_t command = d[0], code = d[1] & 0x3F, index = d[2] & 0x1F;
    uint8_t ack = (uint8_t)(0xC0 | code);
    auto refuse = [&](uint8_t why)
    {
        core_.stats().errorReplies++;
        answer(link, p, {ueiError(command, ack, index, why)}, now, o.delayMs);
    };
    if (d.size() < 4)
        return refuse(err::Size);
    core_.stats().segmentsIn++;
    auto key = std::make_pair(link.id(), (uint32_t)((command << 16) | (index << 8) | code));
    uint8_t sequence = d.back() & 0x7F;
    bool more = (d.back() & 0x80) != 0;
    auto it = inbound_.find(key);
    // Sequence 0 starts a value, unless a value under way expects it: its
    // sequence numbers wrapped after 127.
    bool wrapped = sequence == 0 && it != inbound_.end() && it->second.expected == 0 &&
                   !it->second.bytes.empty();
    if (sequence == 0 && !wrapped)
        it = inbound_.insert_or_assign(key, Inbound()).first;
    else if (it == inbound_.end() || it->second.expected != sequence)
    {
        // A segment was lost on the way: the value is refused, never kept short.
        if (it != inbound_.end())
            inbound_.erase(it);
        return refuse(err::Parse);
    }
    Inbound& in = it->second;
    in.bytes.insert(in.bytes.end(), d.begin() + 3, d.end() - 1);
    in.expected = (uint8_t)((sequence + 1) & 0x7F);
    if (in.failed == 0 && in.bytes.size() > o.capacity)
        in.failed = err::Size;
    if (more)
        return;
    Inbound done = std::move(in);
    inbound_.erase(it);
    if (done.failed != 0)
        return refuse(done.failed);
    if (!o.writable)
        return refuse(err::Permission);
    if (o.onSetBytes)
    {
        uint8_t result = o.onSetBytes(link, done.bytes, now);
        if (result != 0)
            return refuse(result);
    }
    else
        o.bytes = std::move(done.bytes);
    answer(link, p, {packet({command, ack, index})}, now, o.delayMs);
}

} // namespace modsim
