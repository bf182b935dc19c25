// The device server's loopback multicast responder: answers local searches
// for servers with the server's link specifier.
#include "kxServer_ZeroMQ_internal.h"

#include <lumbrixon/kxMulticast.h>
#include <lumbrixon/kxPortClaim.h>

#include <string.h>

namespace
{
constexpr uint32_t sLoopback = 0x0100007Fu; // 127.0.0.1 in network byte order

// The request port this server answers on: the first from 9850 on that no
// other server holds. Its claim makes it this server's alone while it runs
// (the multicast sockets share their ports with anyone). False when none
// could be had.
bool sOpenSockets(int* claim, kxMulticast** receiver, kxMulticast** sender, uint16_t* port)
{
    uint32_t group = 0;
    kxMulticast_ParseIPv4(kxSERVER_MULTICAST_GROUP, &group);
    for (int i = 0; i < kxSERVER_LOCAL_PORT_COUNT; i++)
    {
        auto candidate = static_cast<uint16_t>(kxSERVER_LOCAL_PORT_FIRST + i);
        *claim = kxPortClaim_Take(candidate);
        if (*claim < 0)
        {
            continue;
        }
        *receiver = kxMulticast_Create(sLoopback, group, candidate, false);
        *sender = *receiver != nullptr
                      ? kxMulticast_Create(
                            sLoopback, group,
                            static_cast<uint16_t>(candidate + kxSERVER_LOCAL_REPLY_OFFSET), true)
                      : nullptr;
        if (*sender != nullptr)
        {
            *port = candidate;
            return true;
        }
        kxMulticast_Destroy(receiver);
        kxPortClaim_Release(claim);
    }
    return false;
}
} // namespace

void kxServer_LocalResponderActor(zsock_t* pipe, void* args)
{
    auto* server = static_cast<kxServer*>(args);
    int claim = -1;
    kxMulticast* receiver = nullptr;
    kxMulticast* sender = nullptr;
    uint16_t port = 0;
    bool open = sOpenSockets(&claim, &receiver, &sender, &port);
    kxDebug_Printf(kxDebugServer, "Discovery port offset: %d\n",
                   open ? port - kxSERVER_LOCAL_PORT_FIRST : -1);
    zpoller_t* poller = zpoller_new(pipe, nullptr);
    zsock_signal(pipe, 0);
    while (poller != nullptr)
    {
        // Each receive waits at most a second, so a stop is seen within one.
        void* which = zpoller_wait(poller, open ? 0 : kxSERVER_POLL_MS);
        if (which == pipe || zpoller_terminated(poller))
        {
            break;
        }
        if (!open)
        {
            continue;
        }
        uint8_t datagram[kxSERVER_SPEC_SIZE];
        long received = kxMulticast_Receive(receiver, datagram, sizeof(datagram));
        uint32_t query = 0;
        if (received != 4)
        {
            continue;
        }
        memcpy(&query, datagram, sizeof(query));
        if (query != kxSERVER_LOCAL_QUERY)
        {
            continue;
        }
        if (server->model.load() == 0)
        {
            kxDebug_Printf(kxDebugServer, "Discovery not allowed (Multicast), model not set.\n");
            continue;
        }
        uint8_t spec[kxSERVER_SPEC_SIZE];
        kxServer_BuildSpec(server, spec);
        long sent = kxMulticast_Send(sender, spec, sizeof(spec));
        kxDebug_Printf(kxDebugServer, "Sent: %ld to the reply port\n", sent);
    }
    zpoller_destroy(&poller);
    kxMulticast_Destroy(&receiver);
    kxMulticast_Destroy(&sender);
    kxPortClaim_Release(&claim);
    kxServer_ActorExits(server);
}
