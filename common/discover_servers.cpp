// The search for modules shared by device servers: on this machine through
// the servers' loopback multicast responders, on the network through
// beacons.
#include <lumbrixon/discover.h>

#include <lumbrixon/kxMulticast.h>
#include <lumbrixon/kxPortClaim.h>
#include <lumbrixon/kxServer_ZeroMQ.h>
#include <lumbrixon/kxTime.h>
#include <lumbrixon/zBeaconInterface.h>

#include <czmq.h>
#include <string.h>
#include <vector>

namespace
{
constexpr uint32_t sLoopback = 0x0100007Fu; // 127.0.0.1 in network byte order
// How long one probed server is given to answer.
constexpr uint64_t sLocalAnswerMs = 1000;

uint64_t sNowMs()
{
    return kxTime_GetMonotonicNS() / 1000000u;
}

struct sSearch
{
    kxDiscoveryCallback callback;
    void* ref;
    bool localOnly;
    uint32_t hostAddress;
    std::vector<linkSpec> seen;
    uint8_t found;
    bool stopped;
};

// Hands a specifier to the callback unless it was seen before in this search.
void sOffer(sSearch& search, const linkSpec& spec, const char* how)
{
    for (const linkSpec& known : search.seen)
    {
        if (kxLinkSpec_SameModule(&known, &spec))
        {
            return;
        }
    }
    search.seen.push_back(spec);
    kxDebug_Printf(kxDebugDiscovery,
                   "Got NEW linkSpec(%s): SN: 0x%08X - Port: %d - Address: %d - Type: %d - "
                   "Model: %d\n",
                   how, spec.serialNumber, static_cast<int>(spec.port),
                   static_cast<int>(spec.address), static_cast<int>(spec.type),
                   static_cast<int>(spec.model));
    uint8_t success = 0;
    bool goOn = search.callback(&spec, &success, search.ref);
    search.found = static_cast<uint8_t>(search.found + success);
    search.stopped = !goOn;
}

// Probes the server that holds request port `port`: one query, then up to
// sLocalAnswerMs for its 128-byte answer.
void sProbeLocal(sSearch& search, uint32_t group, uint16_t port)
{
    auto replyPort = static_cast<uint16_t>(port + kxSERVER_LOCAL_REPLY_OFFSET);
    kxMulticast* receiver = kxMulticast_Create(sLoopback, group, replyPort, false);
    kxMulticast* sender =
        receiver != nullptr ? kxMulticast_Create(sLoopback, group, port, true) : nullptr;
    if (sender != nullptr)
    {
        uint32_t query = kxDISCOVERY_LOCAL_REQUEST;
        uint8_t request[4];
        memcpy(request, &query, sizeof(request));
        kxMulticast_Send(sender, request, sizeof(request));
        uint64_t deadline = sNowMs() + sLocalAnswerMs;
        while (sNowMs() < deadline)
        {
            uint8_t reply[kxLINKSPEC_SIZE + 1];
            long received = kxMulticast_Receive(receiver, reply, sizeof(reply));
            linkSpec spec = {};
            if (received < 0 || !kxLinkSpec_Decode(reply, static_cast<size_t>(received), &spec))
            {
                continue;
            }
            if (search.localOnly && spec.address != sLoopback)
            {
                kxDebug_Printf(kxDebugDiscovery, "We are in local mode, ignoring(2)\n");
                continue;
            }
            sOffer(search, spec, "multicast");
            break;
        }
    }
    kxMulticast_Destroy(&sender);
    kxMulticast_Destroy(&receiver);
}

// Every server on this machine holds its request port exclusively while it
// answers (common/kxPortClaim.h), so the ports held are the ones to probe.
void sFindLocal(sSearch& search)
{
    uint32_t group = 0;
    kxMulticast_ParseIPv4(kxDISCOVERY_LOCAL_GROUP, &group);
    for (int i = 0; i < kxDISCOVERY_LOCAL_PORTS && !search.stopped; i++)
    {
        auto port = static_cast<uint16_t>(kxDISCOVERY_LOCAL_REQUEST_PORT + i);
        if (kxPortClaim_IsTaken(port))
        {
            sProbeLocal(search, group, port);
        }
    }
}

void sFindBeacons(sSearch& search)
{
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    if (beacon == nullptr)
    {
        return;
    }
    zsock_send(beacon, "si", "CONFIGURE", kxDISCOVERY_BEACON_PORT);
    char* hostname = zstr_recv(beacon);
    uint32_t host = 0;
    if (hostname == nullptr || !kxMulticast_ParseIPv4(hostname, &host))
    {
        zstr_free(&hostname);
        zactor_destroy(&beacon);
        return;
    }
    zstr_free(&hostname);
    search.hostAddress = host;
    const char* text = kxDISCOVERY_BEACON_TEXT;
    zsock_send(beacon, "sbi", "PUBLISH", text, strlen(text), kxDISCOVERY_BEACON_INTERVAL_MS);
    zsock_send(beacon, "sb", "SUBSCRIBE", "", static_cast<size_t>(0));
    zsock_set_rcvtimeo(beacon, kxDISCOVERY_BEACON_INTERVAL_MS);
    for (int round = 0; round < kxDISCOVERY_BEACON_ROUNDS && !search.stopped; round++)
    {
        char* sender = zstr_recv(beacon);
        if (sender == nullptr)
        {
            continue;
        }
        zframe_t* content = zframe_recv(beacon);
        linkSpec spec = {};
        if (content != nullptr &&
            kxLinkSpec_Decode(zframe_data(content), zframe_size(content), &spec))
        {
            if (!search.localOnly || spec.address == sLoopback || spec.address == host)
            {
                sOffer(search, spec, "beacon");
            }
            else
            {
                kxDebug_Printf(kxDebugDiscovery, "We are in local mode, ignoring(1)\n");
            }
        }
        zframe_destroy(&content);
        zstr_free(&sender);
    }
    zstr_sendx(beacon, "SILENCE", nullptr);
    zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
    zactor_destroy(&beacon);
}
} // namespace

uint8_t kxDiscovery_Enumerate_kxEtherModules(kxDiscoveryCallback callback, void* ref,
                                             uint32_t interfaceAddress)
{
    if (callback == nullptr)
    {
        return 0;
    }
    sSearch search = {callback, ref, true, 0, {}, 0, false};
    uint32_t interfaces[kxDISCOVERY_MAX_INTERFACES] = {};
    int count = kxDiscovery_GetIPv4Interfaces(interfaces, kxDISCOVERY_MAX_INTERFACES);
    if (count <= 0 || interfaceAddress == 0 || interfaceAddress == sLoopback)
    {
        sFindLocal(search);
    }
    else
    {
        char dotted[16] = {};
        kxDiscovery_ConvertIPv4Interface(interfaceAddress, dotted, sizeof(dotted));
        if (zBeaconInterface_backupSetAndLock(dotted))
        {
            search.localOnly = false;
            sFindBeacons(search);
            zBeaconInterface_restoreAndUnlock();
        }
    }
    kxDebug_Printf(kxDebugDiscovery, "Done with discovery\n");
    return search.found;
}
