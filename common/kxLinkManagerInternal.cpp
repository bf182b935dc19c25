// The link registry: the entry list, identifiers and use counts, and the
// creation and destruction of links over each transport.
#include <lumbrixon/kxLinkManagerInternal.h>

#include "kxLink_internal.h"
#include <lumbrixon/kxStream_ZeroMQClient.h>
#include <lumbrixon/kxMutex.h>
#include <lumbrixon/kxTime.h>

#include <stdlib.h>

namespace
{
// Where an entry is in its life. A create makes its entry Creating, under the
// registry mutex in the same step as the lookup that found none; only a
// Ready entry is shared or given up; the last use makes it Closing, and it
// leaves the list once its link is torn down. A create that finds the
// device's entry Creating or Closing waits for it to settle.
enum : uint8_t
{
    sReady = 0, // also the entries the registry primitives make
    sCreating = 1,
    sClosing = 2,
};

// One registry entry. Threads: `id`, the identities, `type` and `link` are set
// at creation and only read afterwards; `state`, `useCount`, `chainedId`,
// `server` and `next` (the list) are read and written under the registry
// mutex. Only the thread that made an entry Creating or Closing touches its
// link until the entry is Ready or gone. The link record has its own rules
// (common/kxLink.cpp). The registry mutex is taken before any lock of a link
// and is never held while a link is started, stopped or destroyed, nor while a
// server is destroyed.
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
    uint8_t state;
    kxLink* link;
    kxLinkEntry* next;
};

// `changed` is broadcast under `lock` whenever an entry becomes Ready or
// leaves the list. `serverDestroy` is read and written under `lock`.
struct kxRegistry
{
    kxMutex* lock;
    kxCondition* changed;
    kxLinkEntry* entries;
    uint32_t nextId;
    uint32_t nextClient;
    kxLinkServerDestroyFunction serverDestroy;
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
            made->changed = kxCondition_Create();
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

// Called with the registry mutex held.
void sChanged()
{
    kxCondition_Broadcast(sRegistry().changed);
}

// Waits, with the registry mutex held, for an entry to change; false once
// the deadline has passed.
bool sAwaitChange(uint64_t deadlineNs)
{
    if (kxTime_GetMonotonicNS() >= deadlineNs)
    {
        return false;
    }
    kxCondition_WaitUntil(sRegistry().changed, sRegistry().lock, deadlineNs);
    return true;
}

uint64_t sSettleDeadline()
{
    return kxTime_GetMonotonicNS() + static_cast<uint64_t>(kxLINK_SETTLE_WAIT_MS) * 1000000u;
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

// A new entry at the head of the list; the caller holds the registry mutex.
kxLinkEntry* sCreateLocked(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type,
                           uint8_t state)
{
    auto* entry = static_cast<kxLinkEntry*>(calloc(1, sizeof(kxLinkEntry)));
    if (entry == nullptr)
    {
        return nullptr;
    }
    kxRegistry& registry = sRegistry();
    entry->ident0 = ident0;
    entry->ident1 = ident1;
    entry->ident2 = ident2;
    entry->type = type;
    entry->state = state;
    entry->id = registry.nextId++;
    entry->link = kxLink_CreateRecord(entry->id);
    if (entry->link == nullptr)
    {
        free(entry);
        return nullptr;
    }
    entry->next = registry.entries;
    registry.entries = entry;
    return entry;
}

uint32_t sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type,
                  uint8_t state = sReady)
{
    sLock();
    kxLinkEntry* entry = sCreateLocked(ident0, ident1, ident2, type, state);
    uint32_t id = entry != nullptr ? entry->id : 0;
    sUnlock();
    return id;
}

// Tears down the link of an entry that is Closing (its last use gone, or a
// create that failed) and then takes the entry out; the result of destroying
// the link's out FIFO.
kxErr sTearDown(kxLinkEntry* entry)
{
    kxErr result = kxErrUnknown;
    if (entry->link != nullptr)
    {
        kxLink_RemoveUserFilter(entry->link);
        kxLink_Stop(entry->link);
    }
    sLock();
    kxServer* server = entry->server;
    kxLinkServerDestroyFunction serverDestroy = sRegistry().serverDestroy;
    entry->server = nullptr;
    uint32_t chained = entry->chainedId;
    sUnlock();
    if (server != nullptr && serverDestroy != nullptr)
    {
        serverDestroy(&server);
    }
    if (chained != 0)
    {
        kxLink_Destroy(&chained);
    }
    if (entry->link != nullptr)
    {
        result = kxLink_DestroyRecord(&entry->link);
    }
    sLock();
    sExtractEntry(entry->id);
    sChanged();
    sUnlock();
    free(entry);
    return result;
}

// Removes the entry of a create that failed.
void sRemove(uint32_t id)
{
    sLock();
    kxLinkEntry* entry = sLookupEntryByID(id);
    if (entry != nullptr)
    {
        entry->state = sClosing;
    }
    sUnlock();
    if (entry != nullptr)
    {
        sTearDown(entry);
    }
}

// The entry of a create that succeeded becomes Ready with its first use.
void sPublish(uint32_t id)
{
    sLock();
    if (kxLinkEntry* entry = sLookupEntryByID(id))
    {
        entry->state = sReady;
        entry->useCount = 1;
        sChanged();
    }
    sUnlock();
}

// What sUseOrCreate did.
enum class sOutcome
{
    Used,    // one more use of the device's Ready entry
    Created, // a new Creating entry: the caller builds its link
    Served,  // the device's entry is shared by a device server
    Failed,  // none could be made, or the device's entry did not settle
};

// In one step under the registry mutex: one more use of the newest Ready
// entry for (ident0, type), or, when there is none, a new Creating entry for
// the identities. An entry of the device that is being created or torn down
// is waited for, at most kxLINK_SETTLE_WAIT_MS. With `refuseServed`, an
// entry shared by a device server is not used.
sOutcome sUseOrCreate(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type,
                      bool refuseServed, uint32_t* id)
{
    *id = 0;
    sOutcome outcome = sOutcome::Failed;
    uint64_t deadline = sSettleDeadline();
    sLock();
    for (;;)
    {
        kxLinkEntry* entry = sLookupEntryByIdentifier(ident0, type);
        if (entry == nullptr)
        {
            entry = sCreateLocked(ident0, ident1, ident2, type, sCreating);
            if (entry != nullptr)
            {
                *id = entry->id;
                outcome = sOutcome::Created;
            }
            break;
        }
        if (entry->state == sReady)
        {
            if (refuseServed && entry->server != nullptr)
            {
                outcome = sOutcome::Served;
            }
            else
            {
                sChangeUseCount(entry, 1);
                *id = entry->id;
                outcome = sOutcome::Used;
            }
            break;
        }
        if (!sAwaitChange(deadline))
        {
            break;
        }
    }
    sUnlock();
    if (outcome == sOutcome::Used)
    {
        uint32_t status = kxLink_GetStatus(*id);
        kxDebug_Printf(kxDebugLink, "Using already created object:(0x%08X, running:%d, state=%d)\n",
                       ident0, status == kLinkStatusRunning ? 1 : 0, static_cast<int>(status));
    }
    else if (outcome == sOutcome::Served)
    {
        kxDebug_Printf(kxDebugLink, "This device is already being used as a \"SERVER\". \n"
                                    "You must connect by \"CLIENT\" \n");
    }
    else if (outcome == sOutcome::Failed)
    {
        kxDebug_Printf(kxDebugLink, "The link to 0x%08X could not be made or shared\n", ident0);
    }
    return outcome;
}

// Prepares and starts the link of a new Creating entry over `stream` (the
// link owns it from here); on failure the entry goes.
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

// A USB or TCP/IP link: the shared one, or a new one.
uint32_t sCreateDevice(uint32_t serialNumber, uint32_t address, uint16_t port, uint32_t type)
{
    uint32_t id = 0;
    sOutcome outcome = type == kxLINKTYPE_USB
                           ? sUseOrCreate(serialNumber, 0, 0, type, true, &id)
                           : sUseOrCreate(serialNumber, address, port, type, true, &id);
    if (outcome != sOutcome::Created)
    {
        return id;
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
            sRemove(id);
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
    sPublish(id);
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
    // A link being torn down is nobody's any more.
    kxLink* link = entry != nullptr && entry->state != sClosing ? entry->link : nullptr;
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

uint32_t kxLink_CreateUSB(uint32_t serialNumber)
{
    return sCreateDevice(serialNumber, 0, 0, kxLINKTYPE_USB);
}

uint32_t kxLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port)
{
    return sCreateDevice(serialNumber, address, port, kxLINKTYPE_TCPIP);
}

bool kxLinkManagerInternal_SetServer(uint32_t id, kxServer* server)
{
    sLock();
    kxLinkEntry* entry = sLookupEntryByID(id);
    bool found = entry != nullptr && entry->state != sClosing;
    if (found)
    {
        entry->server = server;
    }
    sUnlock();
    return found;
}

kxServer* kxLinkManagerInternal_GetServer(uint32_t id)
{
    sLock();
    kxLinkEntry* entry = sLookupEntryByID(id);
    kxServer* server = entry != nullptr ? entry->server : nullptr;
    sUnlock();
    return server;
}

void kxLinkManagerInternal_SetServerDestroy(kxLinkServerDestroyFunction destroy)
{
    sLock();
    sRegistry().serverDestroy = destroy;
    sUnlock();
}

uint32_t kxLink_CreateSerial(uint32_t serialNumber, const char* portPath, uint32_t baudRate)
{
    uint32_t id = 0;
    if (sUseOrCreate(serialNumber, 0, 0, kxLINKTYPE_SERIAL, false, &id) != sOutcome::Created)
    {
        return id;
    }
    uint32_t baudIndex = 0;
    if (!sBaudIndex(baudRate, &baudIndex))
    {
        sRemove(id);
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
    sPublish(id);
    return id;
}

uint32_t kxLink_CreateClient(uint32_t address, uint16_t port, uint32_t ref)
{
    if (ref != 0)
    {
        bool used = false;
        uint64_t deadline = sSettleDeadline();
        sLock();
        for (;;)
        {
            kxLinkEntry* entry = sLookupEntryByID(ref);
            if (entry != nullptr && entry->state == sReady)
            {
                sChangeUseCount(entry, 1);
                used = true;
            }
            if (entry == nullptr || entry->state != sCreating || used || !sAwaitChange(deadline))
            {
                break;
            }
        }
        sUnlock();
        if (!used)
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
    uint32_t id = sCreate2(address, port, client, kxLINKTYPE_CLIENT, sCreating);
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
    if (sInitAndStart(id, stream) != kxErrNone)
    {
        return 0;
    }
    sPublish(id);
    return id;
}

uint32_t kxLink_Create(kxStream* stream)
{
    if (!kxVALIDSTREAM(stream))
    {
        return 0;
    }
    uint32_t id = sCreate2(kxLINK_STREAM_IDENT, 0, 0, kxLINKTYPE_STREAM, sCreating);
    if (id == 0)
    {
        kxStream_Destroy(&stream);
        return 0;
    }
    if (sInitAndStart(id, stream) != kxErrNone)
    {
        return 0;
    }
    sPublish(id);
    return id;
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
    // Only a Ready entry has uses to give back: one being created belongs to
    // its creator, one being torn down to nobody.
    if (entry == nullptr || entry->state != sReady)
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
    // The last use: in the same step the entry stops being shared, so nobody
    // can take a new use of a link being torn down; a create of the same
    // device waits until it has left the list.
    entry->state = sClosing;
    sUnlock();
    return sTearDown(entry);
}
