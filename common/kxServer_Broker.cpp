// The device server's broker actor: clients' requests in, replies and stream
// batches out, UEI byte values pooled, and beacon queries answered.
#include "kxServer_ZeroMQ_internal.h"

#include <lumbrixon/kxLink.h>

#include <deque>
#include <list>
#include <string.h>
#include <vector>

namespace
{
constexpr uint8_t sCmdStream = 93;
constexpr uint8_t sStreamEnable = 0x81;
constexpr uint8_t sFlushSignal = 5;

// The segments of one client's UEI byte value, until the last one comes.
struct sPool
{
    zframe_t* identity;
    uint8_t lastSequence;
    int ttl;
    std::vector<kxPacket*> packets;
};

// The broker's own state; only its thread touches it.
struct sBroker
{
    kxServer* server;
    std::vector<zframe_t*> subscribers;
    // The clients awaiting replies, oldest first.
    std::deque<zframe_t*> waiting;
    std::list<sPool> pools;
};

void sDestroyPool(sPool& pool)
{
    zframe_destroy(&pool.identity);
    for (kxPacket*& packet : pool.packets)
    {
        kxPacket_Destroy(&packet);
    }
    pool.packets.clear();
}

// Sends [identity, bytes] to a client without waiting. The identity stays the
// caller's. False when it could not go; *gone tells a client no longer
// connected from one that is only slow.
bool sSendToClient(sBroker& broker, zframe_t* identity, const void* bytes, size_t size, bool* gone)
{
    zsock_t* frontend = broker.server->frontend;
    *gone = false;
    if (zframe_send(&identity, frontend, ZFRAME_MORE | ZFRAME_REUSE | ZFRAME_DONTWAIT) != 0)
    {
        *gone = zmq_errno() == EHOSTUNREACH;
        return false;
    }
    zframe_t* data = zframe_new(bytes, size);
    if (data == nullptr)
    {
        // The message must still end: an empty last part the client takes as
        // an empty frame, which its stream passes over.
        data = zframe_new_empty();
    }
    if (data == nullptr || zframe_send(&data, frontend, ZFRAME_DONTWAIT) != 0)
    {
        zframe_destroy(&data);
        return false;
    }
    return true;
}

void sClearWaiting(sBroker& broker)
{
    for (zframe_t*& identity : broker.waiting)
    {
        zframe_destroy(&identity);
    }
    broker.waiting.clear();
}

zframe_t* sPopWaiting(sBroker& broker)
{
    if (broker.waiting.empty())
    {
        kxDebug_Printf(kxDebugServer, "no id to pop\n");
        return nullptr;
    }
    zframe_t* identity = broker.waiting.front();
    broker.waiting.pop_front();
    return identity;
}

void sPushWaiting(sBroker& broker, zframe_t* identity)
{
    zframe_t* copy = zframe_dup(identity);
    if (copy != nullptr)
    {
        broker.waiting.push_back(copy);
    }
}

void sForwardToSync(sBroker& broker, const kxPacket* packet)
{
    zframe_t* frame = zframe_new(&packet->address, packet->length + 2u);
    if (frame == nullptr || zframe_send(&frame, broker.server->syncBroker, ZFRAME_DONTWAIT) != 0)
    {
        zframe_destroy(&frame);
        kxDebug_Printf(kxDebugServer, "Failed to send packet out!\n");
    }
}

void sHandleStreamBatch(sBroker& broker)
{
    zframe_t* batch = zframe_recv(broker.server->streamIn);
    if (batch == nullptr)
    {
        return;
    }
    for (auto it = broker.subscribers.begin(); it != broker.subscribers.end();)
    {
        bool gone = false;
        if (!sSendToClient(broker, *it, zframe_data(batch), zframe_size(batch), &gone))
        {
            kxDebug_Printf(kxDebugServer, "failed to send id\n");
            if (gone)
            {
                zframe_destroy(&*it);
                it = broker.subscribers.erase(it);
                continue;
            }
        }
        ++it;
    }
    zframe_destroy(&batch);
}

void sHandleSync(sBroker& broker)
{
    kxServer* server = broker.server;
    zframe_t* frame = zframe_recv(server->syncBroker);
    if (frame == nullptr)
    {
        return;
    }
    const uint8_t* bytes = zframe_data(frame);
    size_t size = zframe_size(frame);
    // While replies are announced every frame is one of them, so a reply of
    // three bytes is never taken for a command.
    if (server->expectedReplies == 0 && size == 3)
    {
        uint16_t count = static_cast<uint16_t>((bytes[1] << 8) | bytes[2]);
        if (bytes[0] == kxSERVER_CMD_INCOMING_PACKETS && count > 0)
        {
            zframe_t* identity = sPopWaiting(broker);
            if (identity != nullptr)
            {
                for (uint16_t i = 1; i < count; i++)
                {
                    zframe_t* copy = zframe_dup(identity);
                    if (copy != nullptr)
                    {
                        broker.waiting.push_front(copy);
                    }
                }
                broker.waiting.push_front(identity);
            }
            server->expectedReplies = count;
        }
        else if (bytes[0] == kxSERVER_CMD_DROPPED_PACKET ||
                 bytes[0] == kxSERVER_CMD_INCOMING_PACKETS)
        {
            zframe_t* identity = sPopWaiting(broker);
            kxDebug_Printf(kxDebugServer, "dropping id: fifo size: %d\n",
                           static_cast<int>(broker.waiting.size()));
            zframe_destroy(&identity);
        }
        else
        {
            kxDebug_Printf(kxDebugServer, "Unknown Server cmd: %d\n", bytes[0]);
        }
        zframe_destroy(&frame);
        return;
    }
    if (server->expectedReplies == 0)
    {
        kxDebug_Printf(kxDebugServer, "Error, sending more packets then expected\n");
        zframe_destroy(&frame);
        return;
    }
    server->expectedReplies--;
    zframe_t* identity = sPopWaiting(broker);
    bool gone = false;
    if (identity != nullptr && !sSendToClient(broker, identity, bytes, size, &gone))
    {
        kxDebug_Printf(kxDebugServer, "failed to send sync message\n");
    }
    zframe_destroy(&identity);
    zframe_destroy(&frame);
}

// UEI byte values: true when the packet was taken by a pool.
bool sPoolPacket(sBroker& broker, zframe_t* identity, const kxPacket* packet)
{
    for (auto it = broker.pools.begin(); it != broker.pools.end();)
    {
        if (it->ttl == 0)
        {
            kxDebug_Printf(kxDebugServer, "setUEIBytes is stale, destroying\n");
            sDestroyPool(*it);
            it = broker.pools.erase(it);
            continue;
        }
        it->ttl--;
        ++it;
    }
    uint8_t sequence = kxUEI_getBytesSequence(packet);
    bool full = kxUEI_getBytesFullPacket(packet);
    bool more = kxUEI_getBytesContinue(packet) != 0;
    for (auto it = broker.pools.begin(); it != broker.pools.end(); ++it)
    {
        if (!zframe_eq(it->identity, identity))
        {
            continue;
        }
        if (sequence != it->lastSequence + 1)
        {
            kxDebug_Printf(kxDebugServer, "BOOM: Sequence mix up. ttl will clean it up. \n");
            return true;
        }
        kxPacket* copy = kxPacket_Copy(packet);
        if (copy != nullptr)
        {
            it->packets.push_back(copy);
        }
        if (full && more)
        {
            it->lastSequence = sequence;
            return true;
        }
        if (kxServer_NeedsReply(packet))
        {
            sPushWaiting(broker, identity);
        }
        for (kxPacket* pooled : it->packets)
        {
            kxDebug_Printf(kxDebugServer, "Pool Packet: %d\n", kxUEI_getBytesSequence(pooled));
            sForwardToSync(broker, pooled);
        }
        sDestroyPool(*it);
        broker.pools.erase(it);
        return true;
    }
    if (packet->length == kxPACKET_MAX_DATA && full && more && sequence == 0 &&
        packet->address != kxLINK_ROUTE_ADDRESS)
    {
        sPool pool = {zframe_dup(identity), 0, kxSERVER_POOL_TTL, {}};
        kxPacket* copy = kxPacket_Copy(packet);
        if (pool.identity == nullptr || copy == nullptr)
        {
            kxPacket_Destroy(&copy);
            sDestroyPool(pool);
            return true;
        }
        pool.packets.push_back(copy);
        broker.pools.push_back(pool);
        return true;
    }
    return false;
}

void sHandleClientPacket(sBroker& broker, zframe_t* identity, const kxPacket* packet)
{
    if (packet->length == 7 && packet->data[0] == sCmdStream)
    {
        if (packet->data[1] == sStreamEnable)
        {
            bool known = false;
            for (zframe_t* subscriber : broker.subscribers)
            {
                known = known || zframe_eq(subscriber, identity);
            }
            zframe_t* copy = known ? nullptr : zframe_dup(identity);
            if (copy != nullptr)
            {
                broker.subscribers.push_back(copy);
                kxDebug_Printf(kxDebugServer, "Added stream entry\n");
            }
        }
        else
        {
            kxDebug_Printf(kxDebugServer, "unknown stream enable: %d\n", packet->data[1]);
        }
    }
    if (!kxUEI_isNotUEIPayload(packet) && sPoolPacket(broker, identity, packet))
    {
        return;
    }
    if (packet->address == kxLINK_ROUTE_ADDRESS && packet->length == 1)
    {
        kxDebug_Printf(kxDebugServer, "Blocking cmdFORCEROUTE from remote client\n");
        return;
    }
    if (kxServer_NeedsReply(packet))
    {
        sPushWaiting(broker, identity);
    }
    sForwardToSync(broker, packet);
}

void sHandleFrontend(sBroker& broker)
{
    zmsg_t* message = zmsg_recv(broker.server->frontend);
    if (message == nullptr)
    {
        return;
    }
    // [identity, packet]; anything else is no request.
    if (zmsg_size(message) == 2)
    {
        zframe_t* identity = zmsg_pop(message);
        zframe_t* body = zmsg_pop(message);
        kxPacket* packet = kxServer_PacketFromFrame(zframe_data(body), zframe_size(body));
        if (packet != nullptr)
        {
            sHandleClientPacket(broker, identity, packet);
            kxPacket_Destroy(&packet);
        }
        else
        {
            kxDebug_Printf(kxDebugServer, "Bad content packet: dSize: %d\n",
                           static_cast<int>(zframe_size(body)));
        }
        zframe_destroy(&identity);
        zframe_destroy(&body);
    }
    else
    {
        kxDebug_Printf(kxDebugServer, "Bad content packet: frames: %d\n",
                       static_cast<int>(zmsg_size(message)));
    }
    zmsg_destroy(&message);
}

void sHandleBeacon(sBroker& broker)
{
    kxServer* server = broker.server;
    char* sender = zstr_recv(server->discovery);
    zframe_t* content = sender != nullptr ? zframe_recv(server->discovery) : nullptr;
    const size_t queryLength = strlen(kxSERVER_BEACON_QUERY);
    if (server->model.load() == 0)
    {
        kxDebug_Printf(kxDebugServer, "Discovery not allowed (beacon), model not set.\n");
    }
    else if (content != nullptr && zframe_size(content) >= queryLength &&
             memcmp(zframe_data(content), kxSERVER_BEACON_QUERY, queryLength) == 0 &&
             !server->publishing)
    {
        uint8_t spec[kxSERVER_SPEC_SIZE];
        kxServer_BuildSpec(server, spec);
        zsock_send(server->discovery, "sbi", "PUBLISH", spec, sizeof(spec),
                   kxSERVER_BEACON_INTERVAL_MS);
        server->publishing = true;
        server->publishStartMs = kxServer_NowMs();
        kxDebug_Printf(kxDebugServer, "Beacon publishing for %s\n", sender);
    }
    zframe_destroy(&content);
    zstr_free(&sender);
}

// True when the loop goes on.
bool sHandlePipe(sBroker& broker, zsock_t* pipe)
{
    zmsg_t* message = zmsg_recv(pipe);
    if (message == nullptr)
    {
        return false;
    }
    zframe_t* first = zmsg_first(message);
    bool flush = zmsg_size(message) == 1 && first != nullptr && zframe_size(first) == 8 &&
                 zframe_data(first)[0] == sFlushSignal;
    zmsg_destroy(&message);
    if (flush)
    {
        kxDebug_Printf(kxDebugServer, "Flushing FIFO\n");
        sClearWaiting(broker);
    }
    return flush;
}
} // namespace

void kxServer_BrokerActor(zsock_t* pipe, void* args)
{
    sBroker broker;
    broker.server = static_cast<kxServer*>(args);
    kxServer* server = broker.server;
    zpoller_t* poller =
        zpoller_new(pipe, server->syncBroker, server->frontend, server->streamIn, nullptr);
    if (poller != nullptr && server->beaconMode)
    {
        zpoller_add(poller, server->discovery);
    }
    zsock_signal(pipe, 0);
    bool running = poller != nullptr;
    while (running)
    {
        void* which = zpoller_wait(poller, kxSERVER_POLL_MS);
        if (zpoller_terminated(poller))
        {
            break;
        }
        if (which == server->streamIn)
        {
            sHandleStreamBatch(broker);
        }
        else if (which == server->syncBroker)
        {
            sHandleSync(broker);
        }
        else if (which == server->frontend)
        {
            sHandleFrontend(broker);
        }
        else if (which == pipe)
        {
            running = sHandlePipe(broker, pipe);
        }
        else if (which != nullptr && server->beaconMode && which == server->discovery)
        {
            sHandleBeacon(broker);
        }
        if (server->publishing &&
            kxServer_NowMs() - server->publishStartMs > kxSERVER_BEACON_PUBLISH_MS)
        {
            zstr_sendx(server->discovery, "SILENCE", nullptr);
            server->publishing = false;
            kxDebug_Printf(kxDebugServer, "Beacon silenced\n");
        }
    }
    zpoller_destroy(&poller);
    sClearWaiting(broker);
    for (zframe_t*& subscriber : broker.subscribers)
    {
        zframe_destroy(&subscriber);
    }
    for (sPool& pool : broker.pools)
    {
        sDestroyPool(pool);
    }
    kxServer_ActorExits(server);
}
