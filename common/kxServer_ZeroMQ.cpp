// The device server: its record, start and destruction, the setters, the
// stream filter on the link's reader thread and the sync-command actor.
#include "kxServer_ZeroMQ_internal.h"

#include <lumbrixon/discover.h>
#include <lumbrixon/kxLink.h>
#include <lumbrixon/kxLinkManagerInternal.h>
#include <lumbrixon/kxMulticast.h>
#include <lumbrixon/kxTime.h>
#include <lumbrixon/zBeaconInterface.h>

#include <new>
#include <stdio.h>
#include <string.h>

namespace
{
// A multi-packet answer ends after this many packets whatever they say (the
// segments of a byte value are numbered in 7 bits).
constexpr int sMaxReplyPackets = 128;
// The sync actor waits for a reply in slices of this length, so that a
// server being destroyed is not held up by a silent module.
constexpr uint32_t sReplySliceMs = 100;
constexpr uint32_t sLoopback = 0x0100007Fu; // 127.0.0.1 in network byte order
constexpr int sMaxInterfaces = 50;

bool sValid(const kxServer* server)
{
    return server != nullptr && server->check == kxSERVER_CHECK;
}

void sDotted(uint32_t address, char* text, size_t size)
{
    const auto* octets = reinterpret_cast<const uint8_t*>(&address);
    snprintf(text, size, "%u.%u.%u.%u", octets[0], octets[1], octets[2], octets[3]);
}

bool sAcceptAll(const kxPacket*, void*)
{
    return true;
}

// Sends without blocking; the frame is consumed either way.
void sSendFrame(zsock_t* socket, const void* bytes, size_t size, const char* what)
{
    zframe_t* frame = zframe_new(bytes, size);
    if (frame == nullptr || zframe_send(&frame, socket, ZFRAME_DONTWAIT) != 0)
    {
        zframe_destroy(&frame);
        kxDebug_Printf(kxDebugServer, "%s: send failed: %d\n", what, zmq_errno());
    }
}

void sSendCommand(kxServer* server, uint8_t command, uint16_t count)
{
    uint8_t bytes[3] = {command, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
    sSendFrame(server->syncWorker, bytes, sizeof(bytes), "server command");
}

void sPrintPacket(const kxPacket* packet)
{
    kxDebug_Printf(kxDebugServer, "packet: address 0x%02X length %d\n", packet->address,
                   packet->length);
}

// The next packet from the module within kxSERVER_REPLY_WAIT_MS, or null.
kxPacket* sAwaitReply(kxServer* server)
{
    uint64_t deadline = kxServer_NowMs() + kxSERVER_REPLY_WAIT_MS;
    while (!server->stopping.load())
    {
        uint64_t now = kxServer_NowMs();
        if (now >= deadline)
        {
            return nullptr;
        }
        uint64_t left = deadline - now;
        kxPacket* packet = kxLink_AwaitPacket(
            server->linkId, left < sReplySliceMs ? static_cast<uint32_t>(left) : sReplySliceMs);
        if (packet != nullptr)
        {
            return packet;
        }
    }
    return nullptr;
}

bool sIsContinuedSegment(const kxPacket* packet)
{
    return kxUEI_isUEIPayload(packet) && kxUEI_getBytesFullPacket(packet) &&
           kxUEI_getBytesContinue(packet) != 0;
}

// One request from the broker. Exactly one notice (dropped, or the count of
// the replies that follow) goes back for every request the broker queued a
// client for, so that the broker's queue of waiting clients stays in step.
void sHandleRequest(kxServer* server, zframe_t* frame)
{
    const uint8_t* bytes = zframe_data(frame);
    size_t size = zframe_size(frame);
    kxPacket* packet = kxServer_PacketFromFrame(bytes, size);
    if (packet == nullptr)
    {
        // Only a packet the broker passed on can have a client waiting (the
        // packet could not be made): that client is given up.
        kxDebug_Printf(kxDebugServer, "bad-packet\n");
        if (kxServer_IsPacketFrame(bytes, size) && bytes[0] != kxLINK_ROUTE_ADDRESS)
        {
            sSendCommand(server, kxSERVER_CMD_DROPPED_PACKET, 0);
        }
        return;
    }
    bool needsReply = kxServer_NeedsReply(packet);
    if (needsReply)
    {
        // Whatever waits on the link now answers no request of ours (a reply
        // that came after its request was given up): it must not be taken for
        // the reply to this one.
        size_t late = kxLink_DrainPackets(server->linkId, sAcceptAll, nullptr);
        if (late > 0)
        {
            kxDebug_Printf(kxDebugServer, "discarded %zu late packets\n", late);
        }
    }
    kxErr err = kxLink_PutPacket(server->linkId, packet);
    if (err != kxErrNone)
    {
        if (needsReply)
        {
            sSendCommand(server, kxSERVER_CMD_DROPPED_PACKET, 0);
        }
        sPrintPacket(packet);
        kxDebug_Printf(kxDebugServer, "Failed to PUT packet: err: %d\n", static_cast<int>(err));
        kxPacket_Destroy(&packet);
        return;
    }
    if (!needsReply)
    {
        kxDebug_Printf(kxDebugServer, "don't wait on this packet\n");
        kxPacket_Destroy(&packet);
        return;
    }
    kxPacket* replies[sMaxReplyPackets];
    int count = 0;
    while (count < sMaxReplyPackets)
    {
        kxPacket* reply = sAwaitReply(server);
        if (reply == nullptr)
        {
            break;
        }
        replies[count++] = reply;
        if (!sIsContinuedSegment(reply))
        {
            break;
        }
    }
    if (count > 0)
    {
        sSendCommand(server, kxSERVER_CMD_INCOMING_PACKETS, static_cast<uint16_t>(count));
        for (int i = 0; i < count; i++)
        {
            sSendFrame(server->syncWorker, &replies[i]->address, replies[i]->length + 2u, "reply");
            kxPacket_Destroy(&replies[i]);
        }
    }
    else
    {
        sSendCommand(server, kxSERVER_CMD_DROPPED_PACKET, 0);
        sPrintPacket(packet);
        kxDebug_Printf(kxDebugServer, "Failed to AWAIT packet\n");
    }
    kxPacket_Destroy(&packet);
}

void sSyncActor(zsock_t* pipe, void* args)
{
    auto* server = static_cast<kxServer*>(args);
    zpoller_t* poller = zpoller_new(pipe, server->syncWorker, nullptr);
    zsock_signal(pipe, 0);
    if (poller == nullptr)
    {
        kxServer_ActorExits(server);
        return;
    }
    for (;;)
    {
        void* which = zpoller_wait(poller, kxSERVER_POLL_MS);
        if (which == pipe || zpoller_terminated(poller))
        {
            break;
        }
        if (which == server->syncWorker)
        {
            zframe_t* frame = zframe_recv(server->syncWorker);
            if (frame != nullptr)
            {
                sHandleRequest(server, frame);
                zframe_destroy(&frame);
            }
        }
    }
    zpoller_destroy(&poller);
    kxServer_ActorExits(server);
}

// Runs on the link's reader thread for every packet received.
bool sStreamFilter(const kxPacket* packet, void* ref)
{
    auto* server = static_cast<kxServer*>(ref);
    bool stream = kxUEI_isStreamPacket(packet);
    if (stream)
    {
        size_t size = packet->length + 2u;
        if (server->streamFill + size > kxSERVER_STREAM_BUFFER)
        {
            sSendFrame(server->streamOut, server->streamBuffer, server->streamFill, "stream");
            server->streamFill = 0;
        }
        memcpy(server->streamBuffer + server->streamFill, &packet->address, size);
        server->streamFill = static_cast<uint16_t>(server->streamFill + size);
    }
    bool heartbeat = packet->length == 2 && packet->data[0] == 0;
    if (server->streamFill > kxSERVER_STREAM_FLUSH || (heartbeat && server->streamFill > 0))
    {
        sSendFrame(server->streamOut, server->streamBuffer, server->streamFill, "stream");
        server->streamFill = 0;
    }
    return stream;
}

// Binds `bound` to an ephemeral loopback port and connects `partner` to it;
// the port, or 0.
uint16_t sMakePair(zsock_t* bound, zsock_t* partner)
{
    int port = zsock_bind(bound, "tcp://127.0.0.1:*");
    if (port <= 0 || zsock_connect(partner, "tcp://127.0.0.1:%d", port) != 0)
    {
        return 0;
    }
    return static_cast<uint16_t>(port);
}

// The beacon on `interfaceAddress`, configured; false when it could not be.
bool sStartBeacon(kxServer* server, uint32_t interfaceAddress)
{
    char dotted[16];
    sDotted(interfaceAddress, dotted, sizeof(dotted));
    if (!zBeaconInterface_setAndLock(dotted))
    {
        return false;
    }
    server->discovery = zactor_new(zbeacon, nullptr);
    char* hostname = nullptr;
    if (server->discovery != nullptr)
    {
        zsock_send(server->discovery, "si", "CONFIGURE", kxSERVER_BEACON_PORT);
        hostname = zstr_recv(server->discovery);
    }
    zBeaconInterface_unlock();
    uint32_t address = 0;
    bool ok = hostname != nullptr && kxMulticast_ParseIPv4(hostname, &address);
    kxDebug_Printf(kxDebugServer, "beacon on %s: host %s\n", dotted, hostname ? hostname : "-");
    zstr_free(&hostname);
    if (!ok)
    {
        return false;
    }
    const char* query = kxSERVER_BEACON_QUERY;
    zsock_send(server->discovery, "sb", "SUBSCRIBE", query, strlen(query));
    zsock_set_rcvtimeo(server->discovery, kxSERVER_BEACON_INTERVAL_MS);
    server->discoveryAddress = address;
    server->beaconMode = true;
    return true;
}
} // namespace

void kxServer_ActorExits(kxServer* server)
{
    server->actorsExited.fetch_add(1, std::memory_order_release);
}

uint64_t kxServer_NowMs()
{
    return kxTime_GetMonotonicNS() / 1000000u;
}

bool kxServer_IsPacketFrame(const uint8_t* bytes, size_t size)
{
    return bytes != nullptr && size >= 2 && size <= kxPACKET_MAX_WIRE &&
           bytes[1] <= kxPACKET_MAX_DATA && bytes[1] + 2u == size;
}

kxPacket* kxServer_PacketFromFrame(const uint8_t* bytes, size_t size)
{
    if (!kxServer_IsPacketFrame(bytes, size))
    {
        return nullptr;
    }
    uint8_t none = 0;
    return kxPacket_CreateWithData(bytes[0], bytes[1], bytes[1] > 0 ? bytes + 2 : &none);
}

bool kxServer_NeedsReply(const kxPacket* packet)
{
    return kxVALIDPACKET(packet) && packet->address != kxLINK_ROUTE_ADDRESS &&
           !sIsContinuedSegment(packet);
}

void kxServer_BuildSpec(const kxServer* server, uint8_t spec[kxSERVER_SPEC_SIZE])
{
    linkSpec record = {};
    record.type = server->type;
    record.serialNumber = server->serialNumber;
    record.module = server->moduleAddress.load();
    record.model = server->model.load();
    record.address = server->discoveryAddress;
    record.port = server->frontendPort;
    kxLinkSpec_Encode(&record, spec);
}

kxServer* kxServer_Create(uint32_t linkId, uint32_t interfaceAddress, bool localOnly)
{
    uint32_t serial = 0;
    uint32_t type = 0;
    if (!kxLinkManagerInternal_GetIdentity(linkId, &serial, nullptr, nullptr, &type))
    {
        kxDebug_Printf(kxDebugServer, "Could not find device Item\n");
        return nullptr;
    }
    uint32_t advertised = 0;
    switch (type)
    {
        case kxLINKTYPE_USB:
            advertised = kxLINKTYPE_CLIENT_USB;
            break;
        case kxLINKTYPE_TCPIP:
            advertised = kxLINKTYPE_CLIENT_TCPIP;
            break;
        case kxLINKTYPE_SERIAL:
            advertised = kxLINKTYPE_CLIENT_SERIAL;
            break;
        default:
            kxDebug_Printf(kxDebugServer, "Unhandled linkType: %d\n", static_cast<int>(type));
            return nullptr;
    }
    auto* server = new (std::nothrow) kxServer{};
    if (server == nullptr)
    {
        return nullptr;
    }
    server->check = kxSERVER_CHECK;
    server->linkId = linkId;
    server->serialNumber = serial;
    server->type = advertised;
    server->localOnly = localOnly;
    server->interfaceAddress = interfaceAddress != 0 ? interfaceAddress : sLoopback;
    return server;
}

kxErr kxServer_Start(kxServer* server)
{
    if (!sValid(server))
    {
        return kxErrParam;
    }
    if (server->started)
    {
        return kxErrBusy;
    }
    server->started = true;
    server->frontend = zsock_new(ZMQ_ROUTER);
    server->streamIn = zsock_new(ZMQ_DEALER);
    server->streamOut = zsock_new(ZMQ_DEALER);
    server->syncBroker = zsock_new(ZMQ_DEALER);
    server->syncWorker = zsock_new(ZMQ_DEALER);
    if (server->frontend == nullptr || server->streamIn == nullptr ||
        server->streamOut == nullptr || server->syncBroker == nullptr ||
        server->syncWorker == nullptr)
    {
        return kxErrResource;
    }
    // A client that has gone is told apart from one that is only slow, and a
    // client's message far too long for a packet ends its connection.
    zsock_set_router_mandatory(server->frontend, 1);
    zsock_set_maxmsgsize(server->frontend, kxSERVER_MAX_CLIENT_MESSAGE);

    uint32_t interfaces[sMaxInterfaces] = {};
    int found = kxDiscovery_GetIPv4Interfaces(interfaces, sMaxInterfaces);
    kxDebug_Printf(kxDebugServer, "Interface Found: %d\n", found);
    if (found <= 0 || server->localOnly)
    {
        server->discoveryAddress = sLoopback;
    }
    else
    {
        uint32_t chosen =
            server->interfaceAddress == sLoopback ? interfaces[0] : server->interfaceAddress;
        if (!sStartBeacon(server, chosen))
        {
            kxDebug_Printf(kxDebugServer, "Could not find open port\n");
            return kxErrResource;
        }
        // The frontend listens where the beacon says the server is.
        server->interfaceAddress = chosen;
    }

    char dotted[16];
    sDotted(server->localOnly ? sLoopback : server->interfaceAddress, dotted, sizeof(dotted));
    int port = zsock_bind(server->frontend, "tcp://%s:*", dotted);
    server->frontendPort = port > 0 ? static_cast<uint16_t>(port) : 0;
    server->streamPort = sMakePair(server->streamIn, server->streamOut);
    server->syncPort = sMakePair(server->syncBroker, server->syncWorker);
    if (server->frontendPort == 0 || server->streamPort == 0 || server->syncPort == 0)
    {
        kxDebug_Printf(kxDebugServer, "Could not find open port\n");
        return kxErrResource;
    }

    server->broker = zactor_new(kxServer_BrokerActor, server);
    if (server->broker == nullptr)
    {
        return kxErrResource;
    }
    server->sync = zactor_new(sSyncActor, server);
    if (server->sync == nullptr)
    {
        return kxErrResource;
    }
    if (!server->beaconMode)
    {
        server->discovery = zactor_new(kxServer_LocalResponderActor, server);
        if (server->discovery == nullptr)
        {
            return kxErrResource;
        }
    }
    if (kxLink_InstallUserPacketFilter(server->linkId, sStreamFilter, server) != kxErrNone)
    {
        return kxErrResource;
    }
    kxLink_DrainPackets(server->linkId, sAcceptAll, nullptr);
    kxDebug_Printf(kxDebugServer, "server on %s:%d (stream %d, sync %d)\n", dotted,
                   server->frontendPort, server->streamPort, server->syncPort);
    return kxErrNone;
}

kxErr kxServer_Destroy(kxServer** reference)
{
    if (reference == nullptr)
    {
        return kxErrParam;
    }
    kxServer* server = *reference;
    *reference = nullptr;
    if (!sValid(server))
    {
        return kxErrParam;
    }
    server->stopping = true;
    if (server->started)
    {
        // Waits for a filter that runs; nothing for a link already torn down,
        // whose filter went with it.
        kxLink_InstallUserPacketFilter(server->linkId, nullptr, nullptr);
    }
    zactor_destroy(&server->sync);
    zactor_destroy(&server->broker);
    zactor_destroy(&server->discovery);
    (void)server->actorsExited.load(std::memory_order_acquire);
    zsock_destroy(&server->frontend);
    zsock_destroy(&server->streamIn);
    zsock_destroy(&server->streamOut);
    zsock_destroy(&server->syncBroker);
    zsock_destroy(&server->syncWorker);
    server->check = 0;
    delete server;
    return kxErrNone;
}

kxErr kxServer_GetPort(const kxServer* server, uint16_t* port)
{
    if (!sValid(server) || port == nullptr)
    {
        return kxErrParam;
    }
    *port = server->frontendPort;
    return kxErrNone;
}

kxErr kxServer_GetInterface(const kxServer* server, uint32_t* interfaceAddress)
{
    if (!sValid(server) || interfaceAddress == nullptr)
    {
        return kxErrParam;
    }
    *interfaceAddress = server->localOnly ? sLoopback : server->interfaceAddress;
    return kxErrNone;
}

kxErr kxServer_SetModuleAddress(kxServer* server, uint8_t address)
{
    if (!sValid(server))
    {
        return kxErrParam;
    }
    server->moduleAddress = address;
    return kxErrNone;
}

kxErr kxServer_SetModel(kxServer* server, uint8_t model)
{
    if (!sValid(server))
    {
        return kxErrParam;
    }
    server->model = model;
    return kxErrNone;
}

kxErr kxServer_FlushFIFO(kxServer* server)
{
    if (!sValid(server))
    {
        return kxErrParam;
    }
    if (server->broker == nullptr)
    {
        return kxErrNotReady;
    }
    return zsock_signal(server->broker, 5) == 0 ? kxErrNone : kxErrIO;
}

kxErr kxServer_GetNetworkSpec(const kxServer* server, uint8_t spec[kxSERVER_SPEC_SIZE])
{
    if (!sValid(server) || spec == nullptr)
    {
        return kxErrParam;
    }
    kxServer_BuildSpec(server, spec);
    return kxErrNone;
}
