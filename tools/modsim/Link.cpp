// A link: framing, fault switches and trace between a module and a transport.
#include "Link.h"

#include <atomic>

namespace modsim
{

namespace
{

std::atomic<uint64_t> _nextLinkId{1};

std::string _packetText(const std::vector<uint8_t>& wire, const std::string& note)
{
    std::string text = "len " + std::to_string(wire.size() >= 2 ? wire[1] : 0) + ": " + hex(wire);
    if (!note.empty())
        text += " (" + note + ")";
    return text;
}

} // namespace

Link::Link(ModuleCore& module, Wire& wire, Trace& trace, std::string name)
    : module_(module), wire_(wire), trace_(trace), name_(std::move(name)), id_(_nextLinkId++),
      deframer_(makeDeframer(wire.framing())), faultsGeneration_(module.faultsGeneration())
{
    module_.stats().connectionsOpen++;
}

Link::~Link()
{
    if (alive_)
    {
        module_.stats().connectionsOpen--;
        module_.linkEnded(*this);
    }
}

void Link::note(const std::string& what, Time now)
{
    trace_.add(now, module_.config().serial, "---", name_, what);
}

void Link::followFaults()
{
    if (faultsGeneration_ == module_.faultsGeneration())
        return;
    faultsGeneration_ = module_.faultsGeneration();
    received_ = sent_ = replies_ = 0;
    occurrences_.clear();
    firedHere_.clear();
}

void Link::receive(const uint8_t* bytes, size_t n, Time now)
{
    std::vector<Received> items;
    deframer_->feed(bytes, n, items);
    ModuleStats& stats = module_.stats();
    for (const Received& r : items)
    {
        if (!alive_)
            break;
        if (!r.isPacket)
        {
            stats.junkBytes += (unsigned)r.bytes.size();
            stats.badFrames++;
            trace_.add(now, module_.config().serial, "in", name_,
                       "junk " + std::to_string(r.bytes.size()) + ": " + hex(r.bytes) + " (" +
                           r.why + ")");
            continue;
        }
        followFaults();
        received_++;
        unsigned every = module_.faults().dropInEvery;
        if (every != 0 && received_ % every == 0)
        {
            stats.packetsIgnored++;
            trace_.add(now, module_.config().serial, "in", name_, _packetText(r.bytes, "ignored"));
        }
        else
        {
            stats.packetsReceived++;
            trace_.add(now, module_.config().serial, "in", name_, _packetText(r.bytes, ""));
            module_.dispatch(*this, r.packet, now);
        }
        checkAfterRules(now);
    }
}

void Link::reply(const Packet& packet, Time now)
{
    emit(packet, true, now);
}

void Link::send(const Packet& packet, Time now)
{
    emit(packet, false, now);
}

void Link::emit(const Packet& packet, bool isReply, Time now)
{
    if (!alive_)
        return;
    ModuleStats& stats = module_.stats();
    if (module_.silent())
    {
        stats.suppressed++;
        return;
    }
    followFaults();
    const Faults& f = module_.faults();
    Time due = now;
    if (isReply && f.delayMs > 0)
    {
        due += std::chrono::milliseconds(f.delayMs);
        stats.repliesDelayed++;
    }
    if (isReply)
    {
        replies_++;
        if (f.garbageEvery != 0 && replies_ % f.garbageEvery == 0 && !f.garbage.empty())
        {
            Out g;
            g.frame = f.garbage;
            g.packet = f.garbage;
            g.isPacket = false;
            g.note = "garbage";
            enqueue(due, std::move(g));
        }
    }
    sent_++;
    Out out;
    std::vector<uint8_t> wire = packet.wire();
    if (f.dropEvery != 0 && sent_ % f.dropEvery == 0)
    {
        out.kind = Out::Dropped;
        out.packet = wire;
        out.note = "dropped";
        enqueue(due, std::move(out));
        return;
    }
    Corruption c;
    if (f.corruptEvery != 0 && sent_ % f.corruptEvery == 0)
    {
        c.active = true;
        c.index = f.corruptByte;
        c.mask = f.corruptMask;
        size_t at = c.index < wire.size() ? c.index : wire.size() - 1;
        out.note = "corrupted byte " + std::to_string(at);
        out.corrupted = true;
    }
    out.frame = encodeFrame(wire_.framing(), wire, c);
    out.packet = corrupted(wire, c);
    enqueue(due, std::move(out));
}

void Link::enqueue(Time due, Out out)
{
    // Equal times keep their order: a multimap inserts after equal keys.
    queue_.emplace(due, std::move(out));
}

Time Link::flush(Time now)
{
    ModuleStats& stats = module_.stats();
    while (alive_ && !queue_.empty() && queue_.begin()->first <= now)
    {
        Out out = std::move(queue_.begin()->second);
        queue_.erase(queue_.begin());
        if (out.kind == Out::Cut)
        {
            cutNow(out.cut, now);
            continue;
        }
        if (module_.silent())
        {
            stats.suppressed++;
            continue;
        }
        if (out.kind == Out::Dropped)
        {
            stats.packetsDropped++;
            trace_.add(now, module_.config().serial, "out", name_,
                       _packetText(out.packet, out.note));
            continue;
        }
        if (out.isPacket)
        {
            stats.packetsSent++;
            if (out.corrupted)
                stats.packetsCorrupted++;
            trace_.add(now, module_.config().serial, "out", name_,
                       _packetText(out.packet, out.note));
        }
        else
        {
            stats.garbageSent++;
            trace_.add(now, module_.config().serial, "out", name_,
                       "junk " + std::to_string(out.packet.size()) + ": " + hex(out.packet) + " (" +
                           out.note + ")");
        }
        wire_.write(out.frame);
    }
    if (!alive_ || queue_.empty())
        return kNever;
    return queue_.begin()->first;
}

bool Link::mayFire(size_t rule) const
{
    const CutRule& r = module_.faults().cuts[rule];
    return r.repeat ? firedHere_.count(rule) == 0 : !module_.ruleFired(rule);
}

void Link::checkAfterRules(Time now)
{
    const std::vector<CutRule>& rules = module_.faults().cuts;
    for (size_t i = 0; i < rules.size(); i++)
    {
        if (rules[i].afterPackets == 0 || rules[i].afterPackets != received_ || !mayFire(i))
            continue;
        firedHere_.insert(i);
        module_.markRuleFired(i);
        // After the replies already queued for the packets before.
        Out out;
        out.kind = Out::Cut;
        out.cut = rules[i].kind;
        Time due = queue_.empty() ? now : queue_.rbegin()->first;
        enqueue(due < now ? now : due, std::move(out));
    }
}

bool Link::event(const std::string& name, Time now)
{
    followFaults();
    module_.stats().events[name]++;
    unsigned count = ++occurrences_[name];
    const std::vector<CutRule>& rules = module_.faults().cuts;
    for (size_t i = 0; i < rules.size() && alive_; i++)
    {
        if (rules[i].onEvent != name || rules[i].occurrence != count || !mayFire(i))
            continue;
        fire(i, rules[i].kind, now);
    }
    return alive_ && !module_.silent();
}

void Link::fire(size_t rule, CutKind kind, Time now)
{
    firedHere_.insert(rule);
    module_.markRuleFired(rule);
    cutNow(kind, now);
}

void Link::cutNow(CutKind kind, Time now)
{
    if (kind == CutKind::Silence)
    {
        module_.setSilent(true);
        note("silent", now);
        return;
    }
    if (!alive_)
        return;
    alive_ = false;
    queue_.clear();
    ModuleStats& stats = module_.stats();
    stats.connectionsOpen--;
    if (kind == CutKind::Reset)
        stats.resetByModule++;
    else
        stats.closedByModule++;
    module_.linkEnded(*this);
    note(kind == CutKind::Reset ? "reset by module" : "closed by module", now);
    wire_.cut(kind);
}

void Link::ended(const std::string& why, bool byHost, Time now)
{
    if (!alive_)
        return;
    alive_ = false;
    queue_.clear();
    ModuleStats& stats = module_.stats();
    stats.connectionsOpen--;
    if (byHost)
        stats.closedByHost++;
    module_.linkEnded(*this);
    note(why, now);
}

} // namespace modsim
