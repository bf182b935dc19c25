// The Link object: connection, UEI values, raw packets, store slots, factory
// data and the packet log. The stream subscriptions are in LinkStream.cpp.
#include "Link_internal.h"

#include <lumbrixon/kxFile.h>
#include <lumbrixon/kxLinkManagerInternal.h>
#include <lumbrixon/kxPacketLog.h>
#include <lumbrixon/kxServer_ZeroMQ.h>
#include <lumbrixon/kxTime.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace Kavrel::Lumbrixon
{

namespace
{

constexpr size_t kNameLimit = 1024;
constexpr uint8_t kMaxSendPacketBytes = 27;
constexpr size_t kSlotWriteChunk = 25;
constexpr size_t kFactoryChunk = 26;
constexpr uint32_t kWaitPolls = 200;
constexpr uint32_t kPollMs = 10;

enum : uint8_t
{
    kSlotCapacity = 1,
    kSlotSize = 2,
    kSlotOpenRead = 3,
    kSlotOpenWrite = 4,
    kSlotRead = 6,
    kSlotWrite = 7,
    kSlotClose = 8,
};

enum : uint8_t
{
    kFactoryNext = 0x00,
    kFactoryWriteNext = 0x10,
    kFactoryConfirm = 0x20,
    kFactoryReadFirst = 0x40,
    kFactoryWriteFirst = 0x50,
};

// Every link creation of every Link, one at a time: a process-wide mutex
// made before main and destroyed at exit.
struct CreationMutex
{
    kxMutex* mutex = kxMutex_Create("Link_create");
    ~CreationMutex() { kxMutex_Destroy(&mutex); }
} sCreationMutex;

bool sDebug(uint32_t bit)
{
    return kxLumbrixonDebuggingEnable == 1 && (kxLumbrixonDebuggingLevel & bit) != 0;
}

kxErr sCheckModule(uint8_t module)
{
    return (module == 0 || (module & 1) != 0) ? kxErrPacket : kxErrNone;
}

// Queues one packet (address, data); kxErrResource when it cannot be made.
kxErr sPut(uint32_t linkId, uint8_t address, const uint8_t* data, size_t length)
{
    uint8_t none = 0;
    kxPacket* packet =
        kxPacket_CreateWithData(address, static_cast<uint8_t>(length), length == 0 ? &none : data);
    if (packet == nullptr)
    {
        return kxErrResource;
    }
    kxErr err = kxLink_PutPacket(linkId, packet);
    kxPacket_Destroy(&packet);
    return err;
}

bool sAnyEmptyPacket(const kxPacket* packet, void*)
{
    return packet->length == 0;
}

struct RawMatch
{
    const uint8_t* match;
    uint8_t length;
};

bool sRawFilter(const kxPacket* packet, void* ref)
{
    auto* m = static_cast<RawMatch*>(ref);
    return m->length == 0 ||
           (packet->length >= m->length && std::memcmp(packet->data, m->match, m->length) == 0);
}

struct SlotMatch
{
    uint8_t module;
    uint8_t operation;
    uint8_t first;  // store, or the handle
    uint8_t second; // slot (operations 1 to 4)
};

bool sSlotFilter(const kxPacket* packet, void* ref)
{
    auto* m = static_cast<SlotMatch*>(ref);
    if (packet->address != m->module || packet->length < 4 || packet->data[0] != Link::cmdSLOT ||
        (packet->data[1] & 0x7F) != m->operation || packet->data[2] != m->first)
    {
        return false;
    }
    return m->operation > kSlotOpenWrite || packet->data[3] == m->second;
}

struct FactoryMatch
{
    uint8_t module;
    uint8_t nibble;
};

bool sFactoryFilter(const kxPacket* packet, void* ref)
{
    auto* m = static_cast<FactoryMatch*>(ref);
    return packet->address == m->module && packet->length >= 2 &&
           packet->data[0] == Link::cmdFACTORY && (packet->data[1] & 0x7F) == m->nibble;
}

bool sIsError(const kxPacket* reply)
{
    return (reply->data[1] & 0x80) != 0;
}

uint8_t sBytePart(uint32_t value, int shift)
{
    return static_cast<uint8_t>(value >> shift);
}

// Ends a factory-data transfer of `count` bytes: the module confirms it, or
// names its error; no confirmation is a time-out.
kxErr sFactoryConfirm(uint32_t id, uint8_t module, uint32_t count)
{
    const uint8_t confirm[] = {Link::cmdFACTORY, kFactoryConfirm, sBytePart(count, 8),
                               sBytePart(count, 0)};
    kxErr err = sPut(id, module, confirm, sizeof(confirm));
    if (err != kxErrNone)
    {
        return err;
    }
    FactoryMatch c{module, 0};
    kxPacket* reply = kxLink_AwaitFirst(id, sFactoryFilter, &c, Link::kReplyWaitMs);
    if (reply == nullptr)
    {
        return kxErrTimeout;
    }
    if (reply->length == 3 && sIsError(reply))
    {
        err = static_cast<kxErr>(reply->data[2]);
    }
    kxPacket_Destroy(&reply);
    return err;
}

// Writes one packet-log record as a text line; sleeps a little when the ring
// is empty. Runs on the logger's thread.
void sLogLine(kxFileRef file, int32_t value)
{
    uint8_t bytes[64];
    uint8_t kind = 0;
    uint32_t length = sizeof(bytes);
    if (kxLink_PacketDebug_Read(static_cast<uint32_t>(value), &kind, &length, bytes) != kxErrNone)
    {
        kxTime_MSSleep(5);
        return;
    }
    kxFile_Printf(file, "%d %s ", static_cast<int>(length), kind == 1 ? ">" : "<");
    for (uint32_t i = 0; i < length; ++i)
    {
        if (kind == kxPacketLogText)
        {
            kxFile_Printf(file, "%c", bytes[i]);
        }
        else
        {
            kxFile_Printf(file, "0x%X ", bytes[i]);
        }
    }
    kxFile_Printf(file, "\r\n");
}

} // namespace

// Construction and identity.

Link::Link(const char* name) : impl_(std::make_unique<impl>())
{
    impl_->owner = this;
    const char* text = name != nullptr ? name : "";
    size_t length = strnlen(text, kNameLimit);
    impl_->name = new char[length + 1];
    std::memcpy(impl_->name, text, length);
    impl_->name[length] = '\0';
}

Link::Link(linkSpec spec, const char* name) : Link(name)
{
    impl_->spec = kxLinkSpec_Copy(spec);
}

Link::~Link()
{
    impl_->installStreamFilter(false);
    impl_->stopWorker();
    if (impl_->linkId != 0)
    {
        kxLink_Destroy(&impl_->linkId);
    }
    if (impl_->spec != nullptr)
    {
        kxLinkSpec_Destroy(&impl_->spec);
    }
    kxLogger_Destroy(&impl_->logger);
    delete[] impl_->name;
}

const char* Link::getName() const
{
    return impl_->name;
}

uint32_t Link::getLinkId() const
{
    return impl_->linkId;
}

kxErr Link::getLinkSpecifier(linkSpec* out) const
{
    if (out == nullptr)
    {
        return kxErrParam;
    }
    if (impl_->spec == nullptr)
    {
        return kxErrNotFound;
    }
    *out = *impl_->spec;
    return kxErrNone;
}

kxErr Link::setLinkSpecifier(linkSpec spec)
{
    if (isConnected())
    {
        return kxErrBusy;
    }
    linkSpec* copy = kxLinkSpec_Copy(spec);
    if (copy == nullptr)
    {
        return kxErrResource;
    }
    if (impl_->spec != nullptr)
    {
        kxLinkSpec_Destroy(&impl_->spec);
    }
    impl_->spec = copy;
    return kxErrNone;
}

kxErr Link::getConfig(kxEtherConfig* out) const
{
    if (out == nullptr)
    {
        return kxErrParam;
    }
    *out = impl_->config;
    return kxErrNone;
}

kxErr Link::setConfig(kxEtherConfig config)
{
    if (isConnected())
    {
        return kxErrMode;
    }
    impl_->config = config;
    return kxErrNone;
}

// Connection.

namespace
{

// Creates the link the specifier names into *linkId (0 when it could not be
// made); the result is an error only for a type or mode that cannot be made.
kxErr sCreateLink(const linkSpec& spec, kxEtherConfig& config, uint32_t* linkId)
{
    LinkLock guard(sCreationMutex.mutex);
    uint32_t id = 0;
    switch (spec.type)
    {
        case kxLinkTypeUSB:
            id = kxLink_CreateUSB(spec.serialNumber);
            break;
        case kxLinkTypeTCPIP:
            id = kxLink_CreateTCPIP(spec.serialNumber, spec.address,
                                    static_cast<uint16_t>(spec.port));
            break;
        case kxLinkTypeSerial:
        {
            char port[kxLINKSPEC_PORTNAME_SIZE + 1];
            std::memcpy(port, spec.portName, kxLINKSPEC_PORTNAME_SIZE);
            port[kxLINKSPEC_PORTNAME_SIZE] = '\0';
            // The serial specifier keeps its rate where the address would be.
            id = kxLink_CreateSerial(spec.serialNumber, port, spec.baudRate);
            break;
        }
        case kxLinkTypeClient:
        case kxLinkTypeServedUSB:
        case kxLinkTypeServedTCPIP:
        case kxLinkTypeServedSerial:
            if (config.serverMode != 1)
            {
                return kxErrConfiguration;
            }
            *linkId = kxLink_CreateClient(spec.address, static_cast<uint16_t>(spec.port), *linkId);
            return kxErrNone;
        default:
            return kxErrMode;
    }
    *linkId = id;
    if (id != 0 && config.serverMode == 1)
    {
        uint32_t client = kxLink_CreateServer(id, &config.serverPort, &config.interfaceAddress,
                                              config.loopbackOnly != 0);
        if (sDebug(1))
        {
            std::printf("Link: device link %u, server client link %u\n", id, client);
        }
        if (client == 0)
        {
            if (sDebug(1))
            {
                std::printf("Failed to create server\n");
            }
            kxLink_Destroy(linkId);
        }
        else
        {
            *linkId = client;
        }
    }
    return kxErrNone;
}

kxErr sWaitForLink(uint32_t linkId, uint32_t count)
{
    uint32_t status = kxLink_GetStatus(linkId);
    switch (status)
    {
        case kLinkStatusStopped:
        case kLinkStatusStarting:
        case kLinkStatusSyncing:
            for (uint32_t i = 0; i < count && status != kLinkStatusRunning; ++i)
            {
                kxTime_MSSleep(kPollMs);
                status = kxLink_GetStatus(linkId);
            }
            return status == kLinkStatusRunning ? kxErrNone : kxErrConnection;
        case kLinkStatusRunning:
            return kxErrNone;
        case kLinkStatusStopping:
            return kxErrBusy;
        case kLinkStatusInvalid:
        case kLinkStatusIOError:
        case kLinkStatusError:
            return kxErrConnection;
        default:
            return kxErrDuplicate;
    }
}

struct EnumerateTemplate
{
    linkSpec spec;
};

bool sTakeFirstOfModel(const linkSpec* found, uint8_t* success, void* ref)
{
    auto* t = static_cast<EnumerateTemplate*>(ref);
    if (t->spec.model != 0 && found->model != t->spec.model)
    {
        return true;
    }
    t->spec = *found;
    *success = 1;
    return false;
}

} // namespace

// Creates and waits for the link from the stored specifier; `linkId` may
// hold another link's handle to share (connectThroughLinkModule).
static kxErr sConnectFromSpec(Link::impl& d)
{
    if (d.spec == nullptr)
    {
        return kxErrConfiguration;
    }
    linkSpec spec = *d.spec;
    kxErr err = sCreateLink(spec, d.config, &d.linkId);
    if (err != kxErrNone)
    {
        return err;
    }
    if (d.linkId == 0)
    {
        return kxErrConnection;
    }
    return sWaitForLink(d.linkId, kWaitPolls);
}

kxErr Link::connect()
{
    if (impl_->linkId != 0)
    {
        return kxErrConnection;
    }
    return sConnectFromSpec(*impl_);
}

kxErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model)
{
    kxErr err = kxErrNotFound;
    linkSpec* found = nullptr;
    if (serialNumber != 0)
    {
        found = kxDiscovery_FindModule(type, serialNumber, impl_->config.interfaceAddress);
    }
    else
    {
        EnumerateTemplate t{};
        t.spec.type = type;
        t.spec.model = model;
        if (kxDiscovery_EnumerateModules(type, sTakeFirstOfModel, &t,
                                         impl_->config.interfaceAddress) > 0)
        {
            found = kxLinkSpec_Copy(t.spec);
        }
    }
    if (found != nullptr)
    {
        if (kxLink_GetStatus(impl_->linkId) != kLinkStatusRunning)
        {
            if (impl_->spec != nullptr)
            {
                kxLinkSpec_Destroy(&impl_->spec);
            }
            impl_->spec = found;
            found = nullptr;
        }
        else
        {
            kxLinkSpec_Destroy(&found);
        }
        err = impl_->linkId != 0 ? kxErrConnection : sConnectFromSpec(*impl_);
    }
    bool retry = err == kxErrNotFound || err == kxErrInitialization || err == kxErrConnection;
    if (!retry || impl_->config.transportFallback != 1 || type == kxLinkTypeSerial)
    {
        return err;
    }
    linkType other =
        (type == kxLinkTypeUSB || type == kxLinkTypeTCPIP) ? kxLinkTypeClient : kxLinkTypeUSB;
    if (sDebug(1))
    {
        std::printf("Executing Fallback - old type: %d - new type: %d\n", type, other);
    }
    kxEtherConfig saved = impl_->config;
    impl_->config.transportFallback = 0; // once only
    err = discoverAndConnect(other, serialNumber, model);
    impl_->config.transportFallback = saved.transportFallback;
    return err;
}

kxErr Link::connectThroughLinkModule(Link& other)
{
    if (!other.impl_ || other.impl_->linkId == 0)
    {
        return kxErrInitialization;
    }
    if (impl_->linkId != 0)
    {
        return kxErrConnection;
    }
    impl_->linkId = other.impl_->linkId;
    kxErr err = sConnectFromSpec(*impl_);
    if (err != kxErrNone && impl_->linkId == other.impl_->linkId)
    {
        // Nothing of our own was made: the other's handle is not ours to keep.
        impl_->linkId = 0;
    }
    return err;
}

bool Link::isConnected() const
{
    return impl_->linkId != 0 && kxLink_GetStatus(impl_->linkId) == kLinkStatusRunning;
}

uint32_t Link::getStatus() const
{
    return impl_->linkId == 0 ? static_cast<uint32_t>(kLinkStatusError)
                              : kxLink_GetStatus(impl_->linkId);
}

kxErr Link::disconnect()
{
    impl_->installStreamFilter(false);
    impl_->stopWorker();
    if (impl_->logger != nullptr)
    {
        kxLogger_Destroy(&impl_->logger);
    }
    if (impl_->linkId != 0)
    {
        kxLink_Destroy(&impl_->linkId);
    }
    impl_->linkId = 0;
    return kxErrNone;
}

kxErr Link::reset()
{
    if (impl_->linkId != 0)
    {
        kxLink_Reset(impl_->linkId);
    }
    return kxErrNone;
}

kxErr Link::enablePooledPackets(bool on)
{
    return kxLink_EnablePooledPackets(impl_->linkId, on);
}

kxErr Link::getModuleAddress(uint8_t* address)
{
    if (address == nullptr)
    {
        return kxErrParam;
    }
    *address = 0;
    if (!isConnected())
    {
        return kxErrNotReady;
    }
    if (sDebug(1))
    {
        std::printf("getModuleAddress\n");
    }
    kxErr err = sPut(impl_->linkId, kSyncRequestAddress, nullptr, 0);
    if (err != kxErrNone)
    {
        return err;
    }
    if (sDebug(1))
    {
        std::printf("getModuleAddress wait\n");
    }
    kxPacket* reply = kxLink_AwaitFirst(impl_->linkId, sAnyEmptyPacket, nullptr, kReplyWaitMs);
    if (reply == nullptr)
    {
        return kxErrNotReady;
    }
    *address = reply->address;
    kxPacket_Destroy(&reply);
    return kxErrNone;
}

// UEI values.

kxErr Link::sendUEI(uei record)
{
    if (!isConnected())
    {
        return kxErrConnection;
    }
    kxErr err = sCheckModule(record.module);
    if (err != kxErrNone)
    {
        return err;
    }
    uint8_t data[kxPACKET_MAX_DATA] = {record.command, record.option, record.index};
    size_t length = 3;
    switch (record.type)
    {
        case ueiTypeVoid:
            break;
        case ueiTypeByte:
            data[length++] = record.value.u8;
            break;
        case ueiTypeShort:
            kxUEI_StoreShort(&data[length], record.value.u16);
            length += 2;
            break;
        case ueiTypeInt:
            kxUEI_StoreInt(&data[length], record.value.u32);
            length += 4;
            break;
        case ueiTypeBytes:
        {
            if (record.length > 0 && record.value.bytes == nullptr)
            {
                return kxErrParam;
            }
            size_t sent = 0;
            uint8_t sequence = 0;
            do
            {
                size_t n = std::min<size_t>(kxUEI_SEGMENT_BYTES, record.length - sent);
                if (n > 0)
                {
                    std::memcpy(&data[3], record.value.bytes + sent, n);
                }
                sent += n;
                bool more = sent < record.length;
                data[3 + n] = static_cast<uint8_t>((sequence & kxUEI_SEQUENCE_MASK) |
                                                   (more ? kxUEI_SEQUENCE_MORE : 0));
                err = sPut(impl_->linkId, record.module, data, 4 + n);
                if (err != kxErrNone)
                {
                    return err;
                }
                sequence = static_cast<uint8_t>((sequence + 1) & kxUEI_SEQUENCE_MASK);
            } while (sent < record.length);
            return kxErrNone;
        }
        default:
            length = 0;
            break;
    }
    return sPut(impl_->linkId, record.module, data, length);
}

kxErr Link::sendUEI(uei record, uint8_t subindex)
{
    if (!isConnected())
    {
        return kxErrConnection;
    }
    kxErr err = sCheckModule(record.module);
    if (err != kxErrNone)
    {
        return err;
    }
    uint8_t data[8] = {record.command, record.option, record.index, subindex};
    size_t length = 4;
    switch (record.type)
    {
        case ueiTypeVoid:
            break;
        case ueiTypeByte:
            data[length++] = record.value.u8;
            break;
        case ueiTypeShort:
            kxUEI_StoreShort(&data[length], record.value.u16);
            length += 2;
            break;
        case ueiTypeInt:
            kxUEI_StoreInt(&data[length], record.value.u32);
            length += 4;
            break;
        default:
            length = 0;
            break;
    }
    return sPut(impl_->linkId, record.module, data, length);
}

bool Link::ueiFilter(const kxPacket* packet, void* ref)
{
    auto* record = static_cast<uei*>(ref);
    if (packet->address != record->module || packet->length < 3 ||
        packet->data[0] != record->command || packet->data[1] != record->option ||
        (packet->data[2] & kxUEI_INDEX_MASK) != record->index)
    {
        return false;
    }
    if ((packet->data[2] & kxUEI_INDEX_ERROR) != 0)
    {
        record->index = packet->data[2];
        // An error reply without its code still is one.
        record->value.u8 =
            packet->length >= 4 ? packet->data[3] : static_cast<uint8_t>(kxErrUnknown);
        return true;
    }
    switch (packet->length)
    {
        case 3:
            record->type = ueiTypeVoid;
            break;
        case 4:
            record->type = ueiTypeByte;
            record->value.u8 = packet->data[3];
            break;
        case 5:
            record->type = ueiTypeShort;
            record->value.u16 = kxUEI_RetrieveShort(&packet->data[3]);
            break;
        case 7:
            record->type = ueiTypeInt;
            record->value.u32 = kxUEI_RetrieveInt(&packet->data[3]);
            break;
        default:
            break;
    }
    return true;
}

bool Link::ueiBytesFilter(const kxPacket* packet, void* ref)
{
    auto* record = static_cast<uei*>(ref);
    // Command, option, index and at least the code or the sequence byte.
    if (packet->address != record->module || packet->length < 4 ||
        packet->data[0] != record->command || packet->data[1] != record->option ||
        (packet->data[2] & kxUEI_INDEX_MASK) != record->index)
    {
        return false;
    }
    if ((packet->data[2] & kxUEI_INDEX_ERROR) != 0)
    {
        record->index = packet->data[2];
        record->value.u8 = packet->data[3];
        return true;
    }
    uint8_t last = packet->data[packet->length - 1];
    if ((last & kxUEI_SEQUENCE_MASK) != record->sequence || record->received == nullptr)
    {
        return false;
    }
    size_t n = packet->length - 4u;
    if (*record->received + n > record->length)
    {
        record->index = static_cast<uint8_t>(record->index | kxUEI_INDEX_ERROR);
        record->value.u8 = kxErrMemory;
        return true;
    }
    if (n > 0)
    {
        std::memcpy(record->value.bytes, &packet->data[3], n);
    }
    record->value.bytes += n;
    *record->received += n;
    record->sequence = static_cast<uint8_t>(last & kxUEI_SEQUENCE_MASK);
    record->more = (last & kxUEI_SEQUENCE_MORE) != 0 ? 1 : 0;
    return true;
}

kxErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record)
{
    return receiveUEI(module, command, option, index, record, ueiFilter);
}

kxErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* record,
                       kxLinkPacketFilter filter)
{
    if (record == nullptr || filter == nullptr)
    {
        return kxErrParam;
    }
    if (!isConnected())
    {
        return kxErrConnection;
    }
    kxErr err = sCheckModule(module);
    if (err != kxErrNone)
    {
        return err;
    }
    uint32_t wait = kReplyWaitMs;
    if (record->type == ueiTypeBytes && record->length > kLargeReplyBytes)
    {
        wait = kLargeReplyWaitMs;
        if (sDebug(1))
        {
            std::printf("receiveUEI - Expanding timeout for large payload: %lu\n",
                        static_cast<unsigned long>(wait));
        }
    }
    kxPacket* reply = kxLink_AwaitFirst(impl_->linkId, filter, record, wait);
    if (reply == nullptr)
    {
        return kxErrTimeout;
    }
    kxPacket_Destroy(&reply);
    return kxErrNone;
}

kxErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index)
{
    if (!isConnected())
    {
        return kxErrConnection;
    }
    kxErr err = sCheckModule(module);
    if (err != kxErrNone)
    {
        return err;
    }
    uei record{};
    record.module = module;
    record.command = command;
    record.option = option;
    record.index = index;
    // The filter writes into the record it is given; each packet gets a
    // fresh copy of the pattern.
    struct Pattern
    {
        uei want;
    } pattern{record};
    kxLink_DrainPackets(
        impl_->linkId,
        [](const kxPacket* packet, void* ref)
        {
            uei probe = static_cast<Pattern*>(ref)->want;
            return Link::ueiFilter(packet, &probe);
        },
        &pattern);
    return kxErrNone;
}

// Raw packets.

kxErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data)
{
    if (!isConnected())
    {
        return kxErrConnection;
    }
    kxErr err = sCheckModule(address);
    if (err != kxErrNone)
    {
        return err;
    }
    if (length > kMaxSendPacketBytes || (length > 0 && data == nullptr))
    {
        return kxErrParam;
    }
    uint8_t bytes[kxPACKET_MAX_DATA] = {command};
    if (length > 0)
    {
        std::memcpy(&bytes[1], data, length);
    }
    return sPut(impl_->linkId, address, bytes, 1u + length);
}

kxErr Link::receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* data)
{
    if (!isConnected())
    {
        return kxErrConnection;
    }
    kxErr err = sCheckModule(address);
    if (err != kxErrNone)
    {
        return err;
    }
    if (length == nullptr || data == nullptr || (*length > 0 && match == nullptr) ||
        *length > kxPACKET_MAX_DATA)
    {
        return kxErrParam;
    }
    RawMatch m{match, *length};
    kxPacket* reply = kxLink_AwaitFirst(impl_->linkId, sRawFilter, &m, kReplyWaitMs);
    if (reply == nullptr)
    {
        return kxErrTimeout;
    }
    *length = reply->length;
    std::memcpy(data, reply->data, reply->length);
    kxPacket_Destroy(&reply);
    return kxErrNone;
}

// Store slots.

namespace
{

// Sends one slot request and waits for its reply (null: none came, *err
// tells why: the queueing error or kxErrTimeout).
kxPacket* sSlotExchange(uint32_t linkId, uint8_t module, const uint8_t* data, size_t length,
                        uint32_t waitMs, kxErr* err)
{
    *err = sPut(linkId, module, data, length);
    if (*err != kxErrNone)
    {
        return nullptr;
    }
    SlotMatch m{module, data[1], data[2], length > 3 ? data[3] : uint8_t{0}};
    kxPacket* reply = kxLink_AwaitFirst(linkId, sSlotFilter, &m, waitMs);
    if (reply == nullptr)
    {
        *err = kxErrTimeout;
    }
    return reply;
}

uint8_t sSlotOpen(uint32_t linkId, uint8_t module, uint8_t operation, uint8_t store, uint8_t slot)
{
    const uint8_t request[] = {Link::cmdSLOT, operation, store, slot};
    kxErr err = kxErrNone;
    kxPacket* reply =
        sSlotExchange(linkId, module, request, sizeof(request), Link::kSlotOpenWaitMs, &err);
    uint8_t handle = Link::kInvalidSlotHandle;
    if (reply != nullptr && reply->length >= 5 && !sIsError(reply))
    {
        handle = reply->data[4];
    }
    kxPacket_Destroy(&reply);
    return handle;
}

kxErr sSlotClose(uint32_t linkId, uint8_t module, uint8_t handle)
{
    const uint8_t request[] = {Link::cmdSLOT, kSlotClose, handle};
    kxErr err = kxErrNone;
    kxPacket* reply =
        sSlotExchange(linkId, module, request, sizeof(request), Link::kReplyWaitMs, &err);
    if (reply == nullptr)
    {
        return err;
    }
    if (reply->length != 4)
    {
        err = kxErrIO;
    }
    else
    {
        err = sIsError(reply) ? static_cast<kxErr>(reply->data[3]) : kxErrNone;
    }
    kxPacket_Destroy(&reply);
    return err;
}

kxErr sSlotQuery(uint32_t linkId, uint8_t module, uint8_t operation, uint8_t store, uint8_t slot,
                 size_t* value)
{
    const uint8_t request[] = {Link::cmdSLOT, operation, store, slot};
    kxErr err = kxErrNone;
    kxPacket* reply =
        sSlotExchange(linkId, module, request, sizeof(request), Link::kReplyWaitMs, &err);
    if (reply == nullptr)
    {
        return err;
    }
    if (sIsError(reply))
    {
        err = reply->length >= 5 ? static_cast<kxErr>(reply->data[4]) : kxErrUnknown;
    }
    else if (reply->length == 6)
    {
        *value = kxUEI_RetrieveShort(&reply->data[4]);
        err = kxErrNone;
    }
    else
    {
        err = kxErrUnknown;
    }
    kxPacket_Destroy(&reply);
    return err;
}

} // namespace

kxErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity)
{
    if (!isConnected())
    {
        return kxErrConnection;
    }
    kxErr err = sCheckModule(module);
    if (err != kxErrNone)
    {
        return err;
    }
    if (capacity == nullptr)
    {
        return kxErrParam;
    }
    return sSlotQuery(impl_->linkId, module, kSlotCapacity, store, slot, capacity);
}

kxErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size)
{
    if (!isConnected())
    {
        return kxErrConnection;
    }
    kxErr err = sCheckModule(module);
    if (err != kxErrNone)
    {
        return err;
    }
    if (size == nullptr)
    {
        return kxErrParam;
    }
    return sSlotQuery(impl_->linkId, module, kSlotSize, store, slot, size);
}

kxErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data,
                          size_t length)
{
    if (!isConnected())
    {
        return kxErrConnection;
    }
    kxErr err = sCheckModule(module);
    if (err != kxErrNone)
    {
        return err;
    }
    if (data == nullptr)
    {
        return kxErrParam;
    }
    uint32_t id = impl_->linkId;
    uint8_t handle = sSlotOpen(id, module, kSlotOpenWrite, store, slot);
    if (handle == kInvalidSlotHandle)
    {
        return kxErrMedia;
    }
    kxErr writeErr = kxErrNone;
    for (size_t done = 0; done < length && writeErr == kxErrNone;)
    {
        size_t n = std::min(kSlotWriteChunk, length - done);
        uint8_t request[3 + kSlotWriteChunk] = {cmdSLOT, kSlotWrite, handle};
        std::memcpy(&request[3], data + done, n);
        uint8_t sum = 0;
        for (size_t i = 0; i < n; ++i)
        {
            sum = static_cast<uint8_t>(sum + data[done + i]);
        }
        kxPacket* reply = sSlotExchange(id, module, request, 3 + n, kReplyWaitMs, &writeErr);
        if (reply != nullptr && reply->length == 4)
        {
            if (sIsError(reply))
            {
                writeErr = static_cast<kxErr>(reply->data[3]);
            }
            else if (reply->data[3] != sum)
            {
                writeErr = kxErrIO;
            }
        }
        kxPacket_Destroy(&reply);
        done += n;
    }
    kxErr closeErr = sSlotClose(id, module, handle);
    return writeErr != kxErrNone ? writeErr : closeErr;
}

kxErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer,
                            size_t bufferLength, size_t* unloaded)
{
    if (!isConnected())
    {
        return kxErrConnection;
    }
    kxErr err = sCheckModule(module);
    if (err != kxErrNone)
    {
        return err;
    }
    if (buffer == nullptr || unloaded == nullptr)
    {
        return kxErrParam;
    }
    *unloaded = 0;
    uint32_t id = impl_->linkId;
    size_t size = 0;
    err = sSlotQuery(id, module, kSlotSize, store, slot, &size);
    if (err != kxErrNone)
    {
        return err;
    }
    uint8_t handle = sSlotOpen(id, module, kSlotOpenRead, store, slot);
    if (handle == kInvalidSlotHandle)
    {
        return kxErrMedia;
    }
    size_t want = std::min(size, bufferLength);
    size_t got = 0;
    kxErr readErr = kxErrNone;
    while (got < want)
    {
        const uint8_t request[] = {cmdSLOT, kSlotRead, handle};
        kxPacket* reply =
            sSlotExchange(id, module, request, sizeof(request), kReplyWaitMs, &readErr);
        if (reply == nullptr)
        {
            break;
        }
        if (sIsError(reply))
        {
            readErr = static_cast<kxErr>(reply->data[3]);
            kxPacket_Destroy(&reply);
            break;
        }
        size_t n = std::min<size_t>(reply->length - 3u, want - got);
        if (n == 0)
        {
            // The slot ended before its size said it would.
            readErr = kxErrEOF;
            kxPacket_Destroy(&reply);
            break;
        }
        std::memcpy(buffer + got, &reply->data[3], n);
        got += n;
        kxPacket_Destroy(&reply);
    }
    *unloaded = got;
    kxErr closeErr = sSlotClose(id, module, handle);
    if (readErr != kxErrNone)
    {
        return readErr;
    }
    if (closeErr != kxErrNone)
    {
        return closeErr;
    }
    return bufferLength < size ? kxErrOverrun : kxErrNone;
}

// Factory data.

kxErr Link::getFactoryData(uint8_t module, uint8_t selector, uint8_t* buffer, size_t bufferLength,
                           size_t* length)
{
    if (!isConnected())
    {
        return kxErrConnection;
    }
    kxErr err = sCheckModule(module);
    if (err != kxErrNone)
    {
        return err;
    }
    if (buffer == nullptr || length == nullptr || selector > 0x0F)
    {
        return kxErrParam;
    }
    *length = 0;
    uint32_t id = impl_->linkId;
    FactoryMatch m{module, selector};
    size_t count = 0;
    bool full = true;
    for (bool first = true; full; first = false)
    {
        const uint8_t request[] = {
            cmdFACTORY,
            static_cast<uint8_t>((first ? kFactoryReadFirst : kFactoryNext) | selector)};
        err = sPut(id, module, request, sizeof(request));
        if (err != kxErrNone)
        {
            return err;
        }
        kxPacket* reply = kxLink_AwaitFirst(id, sFactoryFilter, &m, kReplyWaitMs);
        if (reply == nullptr)
        {
            return kxErrTimeout;
        }
        if (sIsError(reply))
        {
            err = reply->length >= 3 ? static_cast<kxErr>(reply->data[2]) : kxErrUnknown;
            kxPacket_Destroy(&reply);
            return err;
        }
        size_t n = reply->length - 2u;
        if (count + n > bufferLength)
        {
            kxPacket_Destroy(&reply);
            return kxErrOverrun;
        }
        std::memcpy(buffer + count, &reply->data[2], n);
        count += n;
        full = reply->length == kxPACKET_MAX_DATA;
        kxPacket_Destroy(&reply);
    }
    err = sFactoryConfirm(id, module, static_cast<uint32_t>(count));
    if (err == kxErrNone)
    {
        *length = count;
    }
    return err;
}

kxErr Link::setFactoryData(uint8_t module, uint8_t selector, const uint8_t* data, size_t length)
{
    if (!isConnected())
    {
        return kxErrConnection;
    }
    kxErr err = sCheckModule(module);
    if (err != kxErrNone)
    {
        return err;
    }
    if ((data == nullptr && length > 0) || selector > 0x0F || length > 0xFFFF)
    {
        return kxErrParam;
    }
    uint32_t id = impl_->linkId;
    FactoryMatch m{module, selector};
    for (size_t done = 0; done < length;)
    {
        size_t n = std::min(kFactoryChunk, length - done);
        uint8_t request[2 + kFactoryChunk] = {
            cmdFACTORY,
            static_cast<uint8_t>((done == 0 ? kFactoryWriteFirst : kFactoryWriteNext) | selector)};
        std::memcpy(&request[2], data + done, n);
        err = sPut(id, module, request, 2 + n);
        if (err != kxErrNone)
        {
            return err;
        }
        kxPacket* reply = kxLink_AwaitFirst(id, sFactoryFilter, &m, kReplyWaitMs);
        if (reply == nullptr)
        {
            return kxErrTimeout;
        }
        bool good = reply->length == 2;
        kxPacket_Destroy(&reply);
        if (!good)
        {
            return kxErrSize;
        }
        done += n;
    }
    return sFactoryConfirm(id, module, static_cast<uint32_t>(length));
}

// Packet log.

kxErr Link::enablePacketLog(const char* path)
{
    if (impl_->linkId == 0)
    {
        return kxErrConfiguration;
    }
    if (path == nullptr)
    {
        return kxErrParam;
    }
    kxErr err = kxLink_PacketDebug_Enable(impl_->linkId);
    if (err != kxErrNone)
    {
        return err;
    }
    if (impl_->logger == nullptr)
    {
        impl_->logger = kxLogger_Create(static_cast<int32_t>(impl_->linkId), sLogLine, path);
        if (impl_->logger == nullptr)
        {
            return kxErrResource;
        }
    }
    err = kxLogger_Enable(impl_->logger);
    if (err != kxErrNone)
    {
        return err;
    }
    static const uint8_t kStart[] = "START";
    return kxLink_PacketDebug_Write(impl_->linkId, kxPacketLogText, sizeof(kStart), kStart);
}

kxErr Link::disablePacketLog()
{
    if (impl_->linkId == 0)
    {
        return kxErrConfiguration;
    }
    kxLink_PacketDebug_Disable(impl_->linkId);
    return impl_->logger != nullptr ? kxLogger_Disable(impl_->logger) : kxErrNone;
}

} // namespace Kavrel::Lumbrixon
