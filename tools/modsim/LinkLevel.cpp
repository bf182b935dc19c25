// Sync answers, route control and heartbeats.
#include "LinkLevel.h"

#include "Link.h"

#include <memory>

namespace modsim
{

namespace
{

struct _Heartbeat
{
    uint64_t link = 0; // id of the link heartbeats go to (the route link)
    Time next = kNever;
    bool outstanding = false;
    uint8_t value = 0;
    // The last heartbeat given up as unanswered: an answer to it may still be
    // on its way (a loaded host or a slow line), and is late, not unexpected.
    bool missed = false;
    uint8_t missedValue = 0;
    bool nextDown = true;
};

uint8_t _direction(_Heartbeat& hb, HeartbeatDirection direction)
{
    if (direction == HeartbeatDirection::Down)
        return 1;
    if (direction == HeartbeatDirection::Up)
        return 0;
    uint8_t v = hb.nextDown ? 1 : 0;
    hb.nextDown = !hb.nextDown;
    return v;
}

Time _heartbeatTick(ModuleCore& m, _Heartbeat& hb, Time now)
{
    const std::chrono::milliseconds interval(m.config().heartbeatMs);
    Link* target = m.routeLink();
    uint64_t id = m.routeLinkId();
    if (id != hb.link)
    {
        // The route moved (or went off): start afresh on the new link.
        hb = _Heartbeat();
        hb.link = id;
    }
    if (target == nullptr || interval.count() == 0)
    {
        hb.next = kNever;
        hb.outstanding = false;
        return kNever;
    }
    if (hb.next == kNever)
        hb.next = now + interval;
    if (now < hb.next)
        return hb.next;
    hb.next += interval;
    if (hb.next <= now)
        hb.next = now + interval;
    if (m.silent())
    {
        hb.outstanding = false;
        return hb.next;
    }
    if (hb.outstanding)
    {
        hb.outstanding = false;
        hb.missed = true;
        hb.missedValue = hb.value;
        m.stats().heartbeatsUnanswered++;
        if (!target->event("heartbeat-missed", now) || m.routeLinkId() != id)
            return hb.next;
    }
    uint8_t v = _direction(hb, m.config().heartbeatDirection);
    if (!target->event("heartbeat", now) || m.routeLinkId() != id)
        return hb.next;
    Packet p;
    p.address = m.config().address;
    p.data = {0, v};
    target->send(p, now);
    hb.outstanding = true;
    hb.value = v;
    m.stats().heartbeatsSent++;
    return hb.next;
}

} // namespace

void installLinkLevel(ModuleCore& module)
{
    ModuleCore* m = &module;
    auto hb = std::make_shared<_Heartbeat>();

    module.onControl(kSyncAddress,
                     [m](Link& link, const Packet& p, Time now)
                     {
                         if (!p.data.empty())
                         {
                             m->stats().unhandledPackets++;
                             return;
                         }
                         m->stats().syncRequests++;
                         if (!link.event("sync", now))
                             return;
                         Packet answer;
                         answer.address = m->config().address;
                         link.reply(answer, now);
                         m->stats().syncAnswered++;
                     });

    module.onControl(kRouteAddress,
                     [m](Link& link, const Packet& p, Time now)
                     {
                         if (p.data.size() != 1 || p.data[0] > 1)
                         {
                             m->stats().unhandledPackets++;
                             return;
                         }
                         if (p.data[0] == 1)
                         {
                             m->stats().routeOnRequests++;
                             m->routeTo(&link);
                             link.event("route-on", now);
                         }
                         else
                         {
                             m->stats().routeOffRequests++;
                             m->routeOff(link);
                             link.event("route-off", now);
                         }
                     });

    // Heartbeat answers come as command 0 to the module's address.
    module.onCommand(0,
                     [m, hb](Link& link, const Packet& p, Time now)
                     {
                         if (p.data.size() != 2)
                         {
                             m->stats().unhandledPackets++;
                             return;
                         }
                         if (hb->outstanding && hb->link == link.id() &&
                             p.data[1] == (uint8_t)(hb->value + 2))
                         {
                             hb->outstanding = false;
                             m->stats().heartbeatAnswers++;
                             link.event("heartbeat-answer", now);
                         }
                         else if (hb->missed && hb->link == link.id() &&
                                  p.data[1] == (uint8_t)(hb->missedValue + 2))
                         {
                             hb->missed = false;
                             m->stats().lateHeartbeatAnswers++;
                         }
                         else
                             m->stats().unexpectedHeartbeatAnswers++;
                     });

    module.addTicker([m, hb](Time now) { return _heartbeatTick(*m, *hb, now); });
}

} // namespace modsim
