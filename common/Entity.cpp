// Entities: UEI gets, sets and calls of every value type, segmented byte
// values, the store entity and the entity's stream subscriptions.
#include <lumbrixon/Entity.h>
#include <lumbrixon/Module.h>

#include <lumbrixon/kxLink.h>
#include <lumbrixon/kxTime.h>

#include <algorithm>

#include <cstring>

namespace Kavrel::Lumbrixon
{

struct EntityClass::impl
{
    EntityClass* owner = nullptr;
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;
};

namespace
{

// The value of a value report in value.u32, zero-extended, whatever member
// the reply filled.
void sNormalise(uei* record)
{
    switch (record->type)
    {
        case ueiTypeByte:
            record->value.u32 = record->value.u8;
            break;
        case ueiTypeShort:
            record->value.u32 = record->value.u16;
            break;
        default:
            break;
    }
}

// The module's link and address; null without a module or link.
Link* sLink(Module* module, uint8_t* address)
{
    if (module == nullptr || module->getLink() == nullptr)
        return nullptr;
    *address = module->getModuleAddress();
    return module->getLink();
}

kxErr sResult(kxErr received, const uei* record)
{
    if (received != kxErrNone)
        return received;
    if (record->index & kxUEI_INDEX_ERROR)
        return (kxErr)record->value.u8;
    return kxErrNone;
}

// The wait for what is left of a broken byte value: it ends this long after
// its last segment came, and at most one reply wait after it began.
constexpr uint32_t kLeftoverQuietMs = 30;

// Takes the segments of one byte value into the record. A value's segments
// come in order on the link, so the first queued packet of this value is its
// next segment: one with another sequence number means a segment was lost,
// and the record is marked with kxErrParse (taking a later packet with the
// expected number instead would splice in a segment 128 further on of a
// long value). A packet too short for the index and sequence bytes is not a
// segment. An error reply (index bit 7) ends the value with its code; a
// segment that does not fit the buffer with kxErrMemory.
bool sSegmentFilter(const kxPacket* packet, void* ref)
{
    uei* record = static_cast<uei*>(ref);
    if (packet->address != record->module || packet->length < 4 ||
        packet->data[0] != record->command || packet->data[1] != record->option ||
        (packet->data[2] & kxUEI_INDEX_MASK) != record->index)
        return false;
    if (packet->data[2] & kxUEI_INDEX_ERROR)
    {
        record->index = packet->data[2];
        record->value.u8 = packet->data[3];
        return true;
    }
    const uint8_t last = packet->data[packet->length - 1];
    if ((last & kxUEI_SEQUENCE_MASK) != record->sequence)
    {
        record->index = (uint8_t)(record->index | kxUEI_INDEX_ERROR);
        record->value.u8 = kxErrParse;
        return true;
    }
    const size_t n = packet->length - 4u;
    if (*record->received + n > record->length)
    {
        record->index = (uint8_t)(record->index | kxUEI_INDEX_ERROR);
        record->value.u8 = kxErrMemory;
        return true;
    }
    if (n > 0)
        memcpy(record->value.bytes, &packet->data[3], n);
    record->value.bytes += n;
    *record->received += n;
    record->sequence = (uint8_t)(last & kxUEI_SEQUENCE_MASK);
    record->more = (last & kxUEI_SEQUENCE_MORE) ? 1 : 0;
    return true;
}

// Any packet of the value named by the record (segments and error replies).
bool sLeftoverFilter(const kxPacket* packet, void* ref)
{
    const uei* record = static_cast<const uei*>(ref);
    return packet->address == record->module && packet->length >= 3 &&
           packet->data[0] == record->command && packet->data[1] == record->option &&
           (packet->data[2] & kxUEI_INDEX_MASK) == (record->index & kxUEI_INDEX_MASK);
}

// Drops what is left of a broken byte value, also the segments still on
// their way: until none came for kLeftoverQuietMs, at most one reply wait.
void sDropLeftovers(Link* link, uei* record)
{
    const uint32_t id = link->getLinkId();
    const uint64_t end = kxTime_GetMonotonicNS() / 1000000u + Link::kReplyWaitMs;
    for (;;)
    {
        const uint64_t now = kxTime_GetMonotonicNS() / 1000000u;
        if (now >= end)
            break;
        uint32_t wait = (uint32_t)std::min<uint64_t>(kLeftoverQuietMs, end - now);
        kxPacket* packet = kxLink_AwaitFirst(id, sLeftoverFilter, record, wait);
        if (packet == nullptr)
            break;
        kxPacket_Destroy(&packet);
    }
}

} // namespace

EntityClass::EntityClass() : impl_(std::make_unique<impl>())
{
    impl_->owner = this;
}

EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, uint8_t command, uint8_t index)
{
    impl_->module = module;
    impl_->command = command;
    impl_->index = index;
}

uint8_t EntityClass::getIndex() const
{
    return impl_->index;
}

uint8_t EntityClass::getCommand() const
{
    return impl_->command;
}

Module* EntityClass::getModule() const
{
    return impl_->module;
}

kxErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data)
{
    uint8_t address = 0;
    Link* link = sLink(impl_->module, &address);
    if (link == nullptr)
        return kxErrResource;
    return link->sendPacket(address, command, length, data);
}

kxErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data)
{
    uint8_t address = 0;
    Link* link = sLink(impl_->module, &address);
    if (link == nullptr)
        return kxErrResource;
    return link->receivePacket(address, match, length, data);
}

kxErr EntityClass::getUEI(uint8_t option, uei* record)
{
    if (record == nullptr)
        return kxErrParam;
    uint8_t address = 0;
    Link* link = sLink(impl_->module, &address);
    if (link == nullptr)
        return kxErrResource;
    const uint8_t code = option & kxUEI_OPTION_MASK;
    const uint8_t index = impl_->index & kxUEI_INDEX_MASK;
    const uint8_t subindex = record->type == ueiTypeByte ? record->value.u8 : 0;

    uint32_t cached = 0;
    kxErr e = link->getStreamValue(address, impl_->command, code, index, subindex, &cached);
    if (e == kxErrNone || e == kxErrStreamStale)
    {
        record->value.u32 = cached;
        return e;
    }

    // A value report still queued from an earlier get (one that came after
    // its wait ended) is not this request's answer.
    link->dropMatchingUEIPackets(address, impl_->command, code, index);
    record->module = address;
    record->command = impl_->command;
    record->option = (uint8_t)(code | kxUEI_OPTION_GET);
    record->index = (uint8_t)(index | kxUEI_INDEX_REQUEST);
    e = link->sendUEI(*record);
    if (e != kxErrNone)
        return e;
    record->option = code;
    record->index = index;
    e = sResult(link->receiveUEI(address, impl_->command, code, index, record), record);
    if (e == kxErrNone)
        sNormalise(record);
    return e;
}

static kxErr sSet(Link* link, uint8_t address, uint8_t command, uint8_t entityIndex, uint8_t option,
                  const uint8_t* subindex, uei* record)
{
    const uint8_t code = option & kxUEI_OPTION_MASK;
    const uint8_t index = entityIndex & kxUEI_INDEX_MASK;
    const uint8_t ack = (uint8_t)(code | kxUEI_OPTION_ACK);
    link->dropMatchingUEIPackets(address, command, ack, index);
    record->module = address;
    record->command = command;
    record->option = (uint8_t)(code | kxUEI_OPTION_SET);
    record->index = (uint8_t)(index | kxUEI_INDEX_REQUEST);
    kxErr e = subindex != nullptr ? link->sendUEI(*record, *subindex) : link->sendUEI(*record);
    if (e != kxErrNone)
        return e;
    record->option = ack;
    record->index = index;
    const bool bytes = record->type == ueiTypeBytes;
    e = sResult(link->receiveUEI(address, command, ack, index, record), record);
    if (e == kxErrNone)
        sNormalise(record);
    else if (bytes)
    {
        // A module that refused a segment refuses each one after it too:
        // those refusals are not the answer to a later set.
        sDropLeftovers(link, record);
    }
    return e;
}

kxErr EntityClass::setUEI(uint8_t option, uei* record)
{
    if (record == nullptr)
        return kxErrParam;
    uint8_t address = 0;
    Link* link = sLink(impl_->module, &address);
    if (link == nullptr)
        return kxErrResource;
    return sSet(link, address, impl_->command, impl_->index, option, nullptr, record);
}

kxErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* record)
{
    if (record == nullptr)
        return kxErrParam;
    uint8_t address = 0;
    Link* link = sLink(impl_->module, &address);
    if (link == nullptr)
        return kxErrResource;
    return sSet(link, address, impl_->command, impl_->index, option, &subindex, record);
}

namespace
{

uei sRecord(ueiType type, uint32_t value)
{
    uei record;
    memset(&record, 0, sizeof record);
    record.type = type;
    switch (type)
    {
        case ueiTypeByte:
            record.value.u8 = (uint8_t)value;
            break;
        case ueiTypeShort:
            record.value.u16 = (uint16_t)value;
            break;
        case ueiTypeInt:
            record.value.u32 = value;
            break;
        default:
            break;
    }
    return record;
}

} // namespace

kxErr EntityClass::callUEI(uint8_t option)
{
    uei record = sRecord(ueiTypeVoid, 0);
    return setUEI(option, &record);
}

kxErr EntityClass::setUEI8(uint8_t option, uint8_t value)
{
    uei record = sRecord(ueiTypeByte, value);
    return setUEI(option, &record);
}

kxErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value)
{
    uei record = sRecord(ueiTypeByte, value);
    return setUEI(option, subindex, &record);
}

kxErr EntityClass::setUEI16(uint8_t option, uint16_t value)
{
    uei record = sRecord(ueiTypeShort, value);
    return setUEI(option, &record);
}

kxErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value)
{
    uei record = sRecord(ueiTypeShort, value);
    return setUEI(option, subindex, &record);
}

kxErr EntityClass::setUEI32(uint8_t option, uint32_t value)
{
    uei record = sRecord(ueiTypeInt, value);
    return setUEI(option, &record);
}

kxErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value)
{
    uei record = sRecord(ueiTypeInt, value);
    return setUEI(option, subindex, &record);
}

kxErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length)
{
    if (data == nullptr && length != 0)
        return kxErrParam;
    uei record = sRecord(ueiTypeBytes, 0);
    static uint8_t sEmpty = 0;
    // The record does not write through its pointer when it sends.
    record.value.bytes = const_cast<uint8_t*>(data != nullptr ? data : &sEmpty);
    record.length = length;
    return setUEI(option, &record);
}

namespace
{

// A get of a value of `width` bytes; the value is written for kxErrNone and
// kxErrStreamStale only.
template <typename T>
kxErr sGet(EntityClass& entity, uint8_t option, const uint8_t* subindex, T* value)
{
    if (value == nullptr)
        return kxErrParam;
    uei record = subindex != nullptr ? sRecord(ueiTypeByte, *subindex) : sRecord(ueiTypeVoid, 0);
    kxErr e = entity.getUEI(option, &record);
    if (e == kxErrNone || e == kxErrStreamStale)
        *value = (T)record.value.u32;
    return e;
}

} // namespace

kxErr EntityClass::getUEI8(uint8_t option, uint8_t* value)
{
    return sGet(*this, option, nullptr, value);
}

kxErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value)
{
    return sGet(*this, option, &subindex, value);
}

kxErr EntityClass::getUEI16(uint8_t option, uint16_t* value)
{
    return sGet(*this, option, nullptr, value);
}

kxErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value)
{
    return sGet(*this, option, &subindex, value);
}

kxErr EntityClass::getUEI32(uint8_t option, uint32_t* value)
{
    return sGet(*this, option, nullptr, value);
}

kxErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value)
{
    return sGet(*this, option, &subindex, value);
}

kxErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t bufferLength,
                               size_t* received)
{
    if (buffer == nullptr || bufferLength == 0 || received == nullptr)
        return kxErrParam;
    *received = 0;
    uint8_t address = 0;
    Link* link = sLink(impl_->module, &address);
    if (link == nullptr)
        return kxErrResource;
    const uint8_t command = impl_->command;
    const uint8_t code = option & kxUEI_OPTION_MASK;
    const uint8_t index = impl_->index & kxUEI_INDEX_MASK;

    link->dropMatchingUEIPackets(address, command, code, index);
    uei record = sRecord(ueiTypeVoid, 0);
    record.module = address;
    record.command = command;
    record.option = (uint8_t)(code | kxUEI_OPTION_GET);
    record.index = (uint8_t)(index | kxUEI_INDEX_REQUEST);
    kxErr e = link->sendUEI(record);
    if (e != kxErrNone)
        return e;

    // The segments are taken in order; each has the full reply wait (the
    // record stays of type void).
    record.option = code;
    record.index = index;
    record.sequence = 0;
    record.more = 0;
    record.value.bytes = buffer;
    record.length = bufferLength;
    record.received = received;
    for (;;)
    {
        e = link->receiveUEI(address, command, code, index, &record, sSegmentFilter);
        if (e != kxErrNone)
            break; // a segment that did not come: never a short value
        if (record.index & kxUEI_INDEX_ERROR)
        {
            e = (kxErr)record.value.u8;
            break;
        }
        if (record.more != 1)
            return kxErrNone;
        record.sequence = (uint8_t)((record.sequence + 1) & kxUEI_SEQUENCE_MASK);
    }
    // What is left of this value must not be taken by a later request.
    sDropLeftovers(link, &record);
    return e;
}

kxErr EntityClass::getUEIBytesCheck(size_t* count, size_t unitSize)
{
    if (count == nullptr || unitSize == 0)
        return kxErrParam;
    if (*count % unitSize != 0)
        return kxErrMemory;
    *count /= unitSize;
    return kxErrNone;
}

kxErr EntityClass::awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t timeout)
{
    (void)timeout; // the Link's reply wait applies
    if (value == nullptr)
        return kxErrParam;
    uint8_t address = 0;
    Link* link = sLink(impl_->module, &address);
    if (link == nullptr)
        return kxErrResource;
    const uint8_t code = (uint8_t)(option & kxUEI_OPTION_MASK);
    const uint8_t index = impl_->index & kxUEI_INDEX_MASK;
    uei record = sRecord(ueiTypeVoid, 0);
    record.module = address;
    record.command = impl_->command;
    record.option = code;
    record.index = index;
    kxErr e = sResult(link->receiveUEI(address, impl_->command, code, index, &record), &record);
    if (e == kxErrNone)
    {
        sNormalise(&record);
        *value = record.value.u32;
    }
    return e;
}

kxErr EntityClass::drainUEI(uint8_t option)
{
    uint8_t address = 0;
    Link* link = sLink(impl_->module, &address);
    if (link == nullptr)
        return kxErrResource;
    return link->dropMatchingUEIPackets(address, impl_->command, option,
                                        impl_->index & kxUEI_INDEX_MASK);
}

namespace
{

kxErr sStore(Module* module, uint8_t command, uint8_t index, uint8_t operation)
{
    EntityClass store;
    store.init(module, EntityClass::cmdSTORE, 0);
    return store.setUEI32(operation, (uint32_t)((command << 8) | index));
}

} // namespace

kxErr EntityClass::saveEntityToStore()
{
    return sStore(impl_->module, impl_->command, impl_->index, 0);
}

kxErr EntityClass::resetEntityToFactoryDefaults()
{
    return sStore(impl_->module, impl_->command, impl_->index, 1);
}

kxErr EntityClass::loadEntityFromStore()
{
    return sStore(impl_->module, impl_->command, impl_->index, 2);
}

kxErr EntityClass::setStreamEnabled(uint8_t enable)
{
    uint8_t address = 0;
    Link* link = sLink(impl_->module, &address);
    if (link == nullptr)
        return kxErrResource;
    return link->enableStream(address, impl_->command, Link::kStreamAny, impl_->index, enable != 0);
}

kxErr EntityClass::registerOptionCallback(uint8_t option, bool enable,
                                          Link::StreamCallback callback, void* context)
{
    uint8_t address = 0;
    Link* link = sLink(impl_->module, &address);
    if (link == nullptr)
        return kxErrResource;
    return link->registerStreamCallback(address, impl_->command, option, impl_->index, enable,
                                        std::move(callback), context);
}

kxErr EntityClass::getStreamStatus(Link::StreamStatusEntry* entries, size_t count, size_t* found)
{
    uint8_t address = 0;
    Link* link = sLink(impl_->module, &address);
    if (link == nullptr)
        return kxErrResource;
    return link->getStreamStatus(address, impl_->command, Link::kStreamAny, impl_->index,
                                 Link::kStreamAny, entries, count, found);
}

} // namespace Kavrel::Lumbrixon
