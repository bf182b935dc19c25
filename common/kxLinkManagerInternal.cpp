// The link registry: the entry list, identifiers and use counts, and the
// creation and destruction of links over each transport.
#include <lumbrixon/kxLinkManagerInternal.h>

#include "kxLink_internal.h"
#include <lumbrixon/kxStream_ZeroMQClient.h>
#include <lumbrixon/kxMutex.h>
#include <lumbrixon/kxServer_ZeroMQ.h>

#include <stdlib.h>

struct kxServer;

namespace
{
// One registry entry. Threads: `id`, the identities, `type` and `link` are set
// at creation and only read afterwards; `useCount`, `chainedId`, `server` and
// `next` (the list) are read and written under the registry mutex. The link
// record has its own rules (common/kxLink.cpp). The registry mutex is taken
// before any lock of a link and is never held while a link is started,
// stopped or destroyed.
struct kxLinkEntry
{
    uint32_t id;
    uint32_t chainedId;
    kxServer* server;
    uint32_t ident0;
    uint32_t ident1;
    uint32_t ident2;
    uint32_t type;
    int16_t useCount;
    kxLink* link;
    kxLinkEntry* next;
};

struct kxRegistry
{
    kxMutex* lock;
    kxLinkEntry* entries;
    uint32_t nextId;
    uint32_t nextClient;
};

// Made on first use and never destroyed, so links used while the process
// exits stay safe.
kxRegistry& sRegistry()
{
    static kxRegistry* registry = []
    {
        auto* made = static_cast<kxRegistry*>(calloc(1, sizeof(kxRegistry)));
        if (made != nullptr)
        {
            made->lock = kxMutex_Create("kxLink_Managed");
            made->nextId = 1;
        }
        return made;
    }();
    return *registry;
}

void sLock()
{
    kxMutex_Lock(sRegistry().lock);
}

void sUnlock()
{
    kxMutex_Unlock(sRegistry().lock);
}

// The lookups: the caller holds the registry mutex.
kxLinkEntry* sLookupEntryByID(uint32_t id)
{
    for (kxLinkEntry* entry = sRegistry().entries; entry != nullptr; entry = entry->next)
    {
        if (entry->id == id)
        {
            return entry;
        }
    }
    return nullptr;
}

kxLinkEntry* sLookupEntryByIdentifier(uint32_t ident0, uint32_t type)
{
    for (kxLinkEntry* entry = sRegistry().entries; entry != nullptr; entry = entry->next)
    {
        if (entry->ident0 == ident0 && entry->type == type)
        {
            return entry;
        }
    }
    return nullptr;
}

kxLinkEntry* sLookupEntryByTrident(uint32_t ident0, uint32_t ident1, uint32_t ident2)
{
    for (kxLinkEntry* entry = sRegistry().entries; entry != nullptr; entry = entry->next)
    {
        if (entry->ident0 == ident0 && entry->ident1 == ident1 && entry->ident2 == ident2)
        {
            return entry;
        }
    }
    return nullptr;
}

// Unlinks the entry from the list; the caller holds the registry mutex.
kxLinkEntry* sExtractEntry(uint32_t id)
{
    for (kxLinkEntry** at = &sRegistry().entries; *at != nullptr; at = &(*at)->next)
    {
        if ((*at)->id == id)
        {
            kxLinkEntry* entry = *at;
            *at = entry->next;
            entry->next = nullptr;
            return entry;
        }
    }
    return nullptr;
}

void sChangeUseCount(kxLinkEntry* entry, int delta)
{
    entry->useCount = static_cast<int16_t>(entry->useCount + delta);
}

uint32_t sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type)
{
    auto* entry = static_cast<kxLinkEntry*>(calloc(1, sizeof(kxLinkEntry)));
    if (entry == nullptr)
    {
        return 0;
    }
    entry->ident0 = ident0;
    entry->ident1 = ident1;
    entry->ident2 = ident2;
    entry->type = type;
    sLock();
    kxRegistry& registry = sRegistry();
    entry->id = registry.nextId++;
    entry->link = kxLink_CreateRecord(entry->id);
    if (entry->link == nullptr)
    {
        sUnlock();
        free(entry);
        return 0;
    }
    entry->next = registry.entries;
    registry.entries = entry;
    uint32_t id = entry->id;
    sUnlock();
    return id;
}

// Takes the entry out and destroys its link; the result of destroying the
// link's out FIFO. For an entry whose last use is gone, or a create that
// failed.
kxErr sTearDown(kxLinkEntry* entry)
{
    kxErr result = kxErrUnknown;
    if (entry->link != nullptr)
    {
        kxLink_RemoveUserFilter(entry->link);
        kxLink_Stop(entry->link);
    }
    if (entry->server != nullptr)
    {
        kxServer_Destroy(&entry->server);
    }
    if (entry->chainedId != 0)
    {
        uint32_t chained = entry->chainedId;
        kxLink_Destroy(&chained);
    }
    if (entry->link != nullptr)
    {
        result = kxLink_DestroyRecord(&entry->link);
    }
    free(entry);
    return result;
}

void sRemove(uint32_t id)
{
    sLock();
    kxLinkEntry* entry = sExtractEntry(id);
    sUnlock();
    if (entry != nullptr)
    {
        sTearDown(entry);
    }
}

// One more use of the newest entry for (ident0, type), in one step with the
// lookup. With `refuseServed`, an entry shared by a device server is not
// used: *served is then set. 0 when there is none to use.
uint32_t sUseExisting(uint32_t ident0, uint32_t type, bool refuseServed, bool* served)
{
    uint32_t id = 0;
    sLock();
    kxLinkEntry* entry = sLookupEntryByIdentifier(ident0, type);
    if (entry != nullptr && refuseServed && entry->server != nullptr)
    {
        *served = true;
    }
    else if (entry != nullptr)
    {
        sChangeUseCount(entry, 1);
        id = entry->id;
    }
    sUnlock();
    if (id != 0)
    {
        uint32_t status = kxLink_GetStatus(id);
        kxDebug_Printf(kxDebugLink, "Using already created object:(0x%08X, running:%d, state=%d)\n",
                       ident0, status == kLinkStatusRunning ? 1 : 0, static_cast<int>(status));
    }
    return id;
}

void sAddUse(uint32_t id)
{
    sLock();
    if (kxLinkEntry* entry = sLookupEntryByID(id))
    {
        sChangeUseCount(entry, 1);
    }
    sUnlock();
}

// Prepares and starts the link of a new entry over `stream` (the link owns
// it from here) and gives it its first use; on failure the entry goes.
kxErr sInitAndStart(uint32_t id, kxStream* stream)
{
    if (kxLink_Init(id, stream) != id)
    {
        if (kxLink* link = kxLinkManagerInternal_GetLink(id); link == nullptr)
        {
            kxStream_Destroy(&stream);
        }
        sRemove(id);
        return kxErrResource;
    }
    kxErr err = kxLink_Start(id);
    if (err != kxErrNone)
    {
        sRemove(id);
        return err;
    }
    sAddUse(id);
    return kxErrNone;
}

const struct
{
    uint32_t rate;
    uint32_t index;
} sBaudRates[] = {{2400, 0},  {4800, 1},  {9600, 2},   {19200, 3},
                  {38400, 4}, {57600, 5}, {115200, 6}, {230400, 7}};

bool sBaudIndex(uint32_t rate, uint32_t* index)
{
    for (const auto& entry : sBaudRates)
    {
        if (entry.rate == rate)
        {
            *index = entry.index;
            return true;
        }
    }
    return false;
}

// A new USB or TCP/IP link after the shared one was not found.
uint32_t sCreateDevice(uint32_t serialNumber, uint32_t address, uint16_t port, uint32_t type)
{
    bool served = false;
    uint32_t existing = sUseExisting(serialNumber, type, true, &served);
    if (existing != 0 || served)
    {
        if (served)
        {
            kxDebug_Printf(kxDebugLink, "This device is already being used as a \"SERVER\". \n"
                                        "You must connect by \"CLIENT\" \n");
        }
        return existing;
    }
    uint32_t id = type == kxLINKTYPE_USB ? sCreate2(serialNumber, 0, 0, type)
                                         : sCreate2(serialNumber, address, port, type);
    if (id == 0)
    {
        return 0;
    }
    kxStream* stream = nullptr;
    kxErr err = type == kxLINKTYPE_USB ? kxStream_CreateUSB(serialNumber, &stream)
                                       : kxStream_CreateSocket(address, port, &stream);
    if (err == kxErrNone && stream == nullptr)
    {
        err = kxErrConnection;
    }
    if (err == kxErrNone)
    {
        err = sInitAndStart(id, stream);
    }
    else
    {
        sRemove(id);
    }
    if (err == kxErrNone && type == kxLINKTYPE_USB)
    {
        err = kxLink_Sync(id);
        if (err != kxErrNone)
        {
            uint32_t failed = id;
            kxLink_Destroy(&failed);
        }
    }
    if (err != kxErrNone)
    {
        if (type == kxLINKTYPE_TCPIP)
        {
            kxDebug_Printf(kxDebugLink, " kxLink_CreateTCPIP() BAD BAD Error: %d\n",
                           static_cast<int>(err));
        }
        return 0;
    }
    return id;
}
} // namespace

uint32_t kxLinkManagerInternal_Create2(uint32_t ident0, uint32_t ident1, uint32_t ident2,
                                       uint32_t type)
{
    return sCreate2(ident0, ident1, ident2, type);
}

uint32_t kxLinkManagerInternal_Create(uint32_t ident0, uint32_t ident1, uint32_t type)
{
    return sCreate2(ident0, ident1, 0, type);
}

kxLink* kxLinkManagerInternal_GetLink(uint32_t id)
{
    if (id == 0)
    {
        return nullptr;
    }
    sLock();
    kxLinkEntry* entry = sLookupEntryByID(id);
    kxLink* link = entry != nullptr ? entry->link : nullptr;
    sUnlock();
    return link;
}

bool kxLinkManagerInternal_GetIdentity(uint32_t id, uint32_t* ident0, uint32_t* ident1,
                                       uint32_t* ident2, uint32_t* type)
{
    sLock();
    kxLinkEntry* entry = sLookupEntryByID(id);
    if (entry != nullptr)
    {
        if (ident0 != nullptr)
        {
            *ident0 = entry->ident0;
        }
        if (ident1 != nullptr)
        {
            *ident1 = entry->ident1;
        }
        if (ident2 != nullptr)
        {
            *ident2 = entry->ident2;
        }
        if (type != nullptr)
        {
            *type = entry->type;
        }
    }
    sUnlock();
    return entry != nullptr;
}

uint32_t kxLinkManagerInternal_LookupByIdentifier(uint32_t ident0, uint32_t type)
{
    sLock();
    kxLinkEntry* entry = sLookupEntryByIdentifier(ident0, type);
    uint32_t id = entry != nullptr ? entry->id : 0;
    sUnlock();
    return id;
}

uint32_t kxLinkManagerInternal_LookupByTrident(uint32_t ident0, uint32_t ident1, uint32_t ident2)
{
    sLock();
    kxLinkEntry* entry = sLookupEntryByTrident(ident0, ident1, ident2);
    uint32_t id = entry != nullptr ? entry->id : 0;
    sUnlock();
    return id;
}

int32_t kxLinkManagerInternal_GetUseCount(uint32_t id)
{
    sLock();
    kxLinkEntry* entry = sLookupEntryByID(id);
    int32_t count = entry != nullptr ? entry->useCount : -1;
    sUnlock();
    return count;
}

bool kxLinkManagerInternal_SetChainedId(uint32_t id, uint32_t chainedId)
{
    sLock();
    kxLinkEntry* entry = sLookupEntryByID(id);
    if (entry != nullptr)
    {
        entry->chainedId = chainedId;
    }
    sUnlock();
    return entry != nullptr;
}

bool kxLinkManagerInternal_SetServer(uint32_t id, kxServer* server)
{
    sLock();
    kxLinkEntry* entry = sLookupEntryByID(id);
    bool set = entry != nullptr && (server == nullptr || entry->server == nullptr);
    if (set)
    {
        entry->server = server;
    }
    sUnlock();
    return set;
}

uint32_t kxLink_CreateUSB(uint32_t serialNumber)
{
    return sCreateDevice(serialNumber, 0, 0, kxLINKTYPE_USB);
}

uint32_t kxLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port)
{
    return sCreateDevice(serialNumber, address, port, kxLINKTYPE_TCPIP);
}

uint32_t kxLink_CreateSerial(uint32_t serialNumber, const char* portPath, uint32_t baudRate)
{
    bool served = false;
    uint32_t existing = sUseExisting(serialNumber, kxLINKTYPE_SERIAL, false, &served);
    if (existing != 0)
    {
        return existing;
    }
    uint32_t baudIndex = 0;
    if (!sBaudIndex(baudRate, &baudIndex))
    {
        return 0;
    }
    uint32_t id = sCreate2(serialNumber, 0, 0, kxLINKTYPE_SERIAL);
    if (id == 0)
    {
        return 0;
    }
    kxStream* stream = nullptr;
    kxErr err = kxStream_CreateSerial_Packetized(portPath, baudIndex, 0, 0, 0, &stream);
    if (err == kxErrNone && stream == nullptr)
    {
        err = kxErrConnection;
    }
    if (err == kxErrNone)
    {
        err = sInitAndStart(id, stream);
    }
    else
    {
        sRemove(id);
    }
    if (err != kxErrNone)
    {
        kxDebug_Printf(kxDebugLink, " error creating USB Link, destroying the id (%d)\n",
                       static_cast<int>(id));
        return 0;
    }
    return id;
}

uint32_t kxLink_CreateClient(uint32_t address, uint16_t port, uint32_t ref)
{
    if (ref != 0)
    {
        sLock();
        kxLinkEntry* entry = sLookupEntryByID(ref);
        if (entry != nullptr)
        {
            sChangeUseCount(entry, 1);
        }
        sUnlock();
        if (entry == nullptr)
        {
            kxDebug_Printf(kxDebugLink, "The provided ref is invalid.\n");
            return 0;
        }
        kxDebug_Printf(kxDebugLink, "Using existing link - ConnectThroughLinkModule\n");
        return ref;
    }
    sLock();
    uint32_t client = sRegistry().nextClient++;
    sUnlock();
    uint32_t id = sCreate2(address, port, client, kxLINKTYPE_CLIENT);
    if (id == 0)
    {
        return 0;
    }
    kxStream* stream = nullptr;
    kxErr err = kxStream_CreateClient(address, port, &stream);
    if (err != kxErrNone || stream == nullptr)
    {
        sRemove(id);
        return 0;
    }
    return sInitAndStart(id, stream) == kxErrNone ? id : 0;
}

uint32_t kxLink_Create(kxStream* stream)
{
    if (!kxVALIDSTREAM(stream))
    {
        return 0;
    }
    uint32_t id = sCreate2(kxLINK_STREAM_IDENT, 0, 0, kxLINKTYPE_STREAM);
    if (id == 0)
    {
        kxStream_Destroy(&stream);
        return 0;
    }
    return sInitAndStart(id, stream) == kxErrNone ? id : 0;
}

kxErr kxLink_Destroy(uint32_t* id)
{
    if (id == nullptr)
    {
        return kxErrParam;
    }
    uint32_t target = *id;
    *id = 0;
    sLock();
    kxLinkEntry* entry = sLookupEntryByID(target);
    if (entry == nullptr)
    {
        sUnlock();
        return kxErrParam;
    }
    sChangeUseCount(entry, -1);
    if (entry->useCount > 0)
    {
        int count = entry->useCount;
        sUnlock();
        kxDebug_Printf(kxDebugLink, "kxLink_Destroy use_count: %d\n", count);
        return kxErrNone;
    }
    // The last use: the entry leaves the list in the same step, so nobody can
    // take a new use of a link being torn down.
    sExtractEntry(target);
    sUnlock();
    return sTearDown(entry);
}
