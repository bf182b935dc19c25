// The registry side of the device server: a running link shared through a
// server, reached by a client link that learns the module's address and
// model for the server's announcements.
#include <lumbrixon/kxServer_ZeroMQ.h>

#include <lumbrixon/kxLink.h>
#include <lumbrixon/kxLinkManagerInternal.h>
#include <lumbrixon/kxTime.h>

namespace
{
constexpr int sAttempts = 5;
constexpr uint32_t sAttemptPauseMs = 10;
constexpr uint32_t sQueryWaitMs = 1000;
// The system entity's model query: command 3, get option 8, index 0.
constexpr uint8_t sModelQuery[3] = {0x03, 0x48, 0x20};

// The registry destroys a link's server with the link.
void sDestroyServer(kxServer** server)
{
    kxServer_Destroy(server);
}

bool sAcceptAll(const kxPacket*, void*)
{
    return true;
}

kxErr sQuery(uint32_t client, uint8_t address, uint8_t length, const uint8_t* data,
             kxPacket** reply)
{
    uint8_t none = 0;
    kxPacket* request = kxPacket_CreateWithData(address, length, length > 0 ? data : &none);
    if (request == nullptr)
    {
        return kxErrMemory;
    }
    kxErr err = kxLink_PutPacket(client, request);
    kxPacket_Destroy(&request);
    if (err != kxErrNone)
    {
        return err;
    }
    *reply = kxLink_AwaitFirst(client, sAcceptAll, nullptr, sQueryWaitMs);
    return *reply != nullptr ? kxErrNone : kxErrTimeout;
}

// The module's address (the answer to a sync request) and its model.
kxErr sLearnModule(uint32_t client, uint8_t* address, uint8_t* model)
{
    kxLink_DrainPackets(client, sAcceptAll, nullptr);
    kxPacket* reply = nullptr;
    kxErr err = sQuery(client, kxLINK_SYNC_ADDRESS, 0, nullptr, &reply);
    if (err != kxErrNone)
    {
        return err;
    }
    bool ok = reply->length == 0 && reply->address != 0;
    *address = reply->address;
    kxPacket_Destroy(&reply);
    if (!ok)
    {
        return kxErrIO;
    }
    err = sQuery(client, *address, sizeof(sModelQuery), sModelQuery, &reply);
    if (err != kxErrNone)
    {
        return err;
    }
    ok = reply->address == *address && reply->length == 4 && reply->data[0] == sModelQuery[0];
    *model = reply->data[3];
    kxPacket_Destroy(&reply);
    return ok ? kxErrNone : kxErrIO;
}
} // namespace

uint32_t kxLink_CreateServer(uint32_t linkId, uint16_t* port, uint32_t* interfaceAddress,
                             bool loopbackOnly)
{
    if (linkId == 0 || port == nullptr || interfaceAddress == nullptr ||
        kxLinkManagerInternal_GetUseCount(linkId) < 0 ||
        kxLinkManagerInternal_GetServer(linkId) != nullptr)
    {
        return 0;
    }
    kxLinkManagerInternal_SetServerDestroy(sDestroyServer);
    kxServer* server = kxServer_Create(linkId, *interfaceAddress, loopbackOnly);
    if (server == nullptr)
    {
        return 0;
    }
    if (!kxLinkManagerInternal_SetServer(linkId, server))
    {
        kxDebug_Printf(kxDebugServer, "Failed to create server\n");
        kxServer_Destroy(&server);
        return 0;
    }
    uint16_t serverPort = 0;
    uint32_t served = 0;
    uint32_t client = 0;
    kxErr err = kxServer_Start(server);
    if (err == kxErrNone)
    {
        kxServer_GetPort(server, &serverPort);
        kxServer_GetInterface(server, &served);
        client = kxLink_CreateClient(served, serverPort, 0);
        err = client != 0 ? kxErrNone : kxErrConnection;
    }
    if (err == kxErrNone)
    {
        for (int attempt = 0; attempt < sAttempts; attempt++)
        {
            if (attempt > 0)
            {
                kxServer_FlushFIFO(server);
                kxTime_MSSleep(sAttemptPauseMs);
            }
            uint8_t address = 0;
            uint8_t model = 0;
            err = sLearnModule(client, &address, &model);
            if (err == kxErrNone)
            {
                kxServer_SetModuleAddress(server, address);
                kxServer_SetModel(server, model);
                break;
            }
        }
    }
    if (err == kxErrNone && kxLinkManagerInternal_SetChainedId(client, linkId))
    {
        *port = serverPort;
        *interfaceAddress = served;
        return client;
    }
    // Nothing stays: the client link goes without the served link (whose use
    // is still the caller's), then the server.
    kxDebug_Printf(kxDebugServer, "Failed to create server\n");
    if (client != 0)
    {
        kxLink_Destroy(&client);
    }
    kxLinkManagerInternal_SetServer(linkId, nullptr);
    kxServer_Destroy(&server);
    return 0;
}
