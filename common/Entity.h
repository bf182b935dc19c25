// Entities of a module: a command code (the entity's class: system, I2C,
// upgrade, ...) and an index (which one of that class on the module), whose
// values are reached with UEI exchanges (common/kxUEI.h) over the module's
// Link.
//
//   Module module(0x04, 0);
//   module.connectFromSpec(spec);
//   EntityClass entity;
//   entity.init(&module, 0x20, 0);
//   uint32_t value;
//   kxErr e = entity.getUEI32(3, &value);
//
// A get is a request C, 0x40|O, 0x20|I [, SUB] answered by the value report
// C, O, I, VALUE; a set is C, 0x80|O, 0x20|I [, SUB], VALUE answered by the
// acknowledgement C, 0xC0|O, I. An answer whose index byte has bit 7 set is
// an error reply: its value byte is the module's kxErr code, which the
// operation returns. Byte values travel in segments of up to 24 bytes, each
// with a sequence byte; a segment that does not come within the reply wait
// ends the transfer with kxErrTimeout (never a short value reported as
// complete), and what is left of that value on the link is dropped.
//
// Before every request the answers of earlier requests for the same value
// that are still queued (a late reply after a time-out, the segments left of
// a broken transfer) are dropped, so an answer is always one to this request.
//
// Every wait is the Link's reply wait: 1000 ms per answer and per segment,
// 4000 ms for the acknowledgement of a byte value over 1000 bytes.
//
// Threads: an entity is used from one thread at a time (the Link's stream
// cache, which getUEI reads first, is locked by the Link).
#pragma once

#include <lumbrixon/Link.h>
#include <lumbrixon/kxError.h>
#include <lumbrixon/kxUEI.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace Kavrel::Lumbrixon
{

class Module;

class EntityClass
{
public:
    // The store entity: option 0 saves an entity's values, 1 resets them to
    // the factory defaults, 2 loads them.
    static constexpr uint8_t cmdSTORE = 92;

    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    // The module is not owned and must outlive the entity's use.
    void init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;
    uint8_t getCommand() const;
    Module* getModule() const;

    // Raw command packets to and from the module (Link::sendPacket and
    // Link::receivePacket); kxErrResource without a module or link.
    kxErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    kxErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data);

    // One exchange with a record the caller prepared. getUEI reads the
    // Link's stream cache first (kxErrNone for a new value, kxErrStreamStale
    // for one read before, without traffic); a record of type byte gives its
    // value byte as the sub-index. After a value report the record's value
    // holds the value zero-extended in value.u32 (bytes, shorts and ints).
    kxErr getUEI(uint8_t option, uei* record);
    kxErr setUEI(uint8_t option, uei* record);
    kxErr setUEI(uint8_t option, uint8_t subindex, uei* record);
    kxErr callUEI(uint8_t option);

    kxErr setUEI8(uint8_t option, uint8_t value);
    kxErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    kxErr setUEI16(uint8_t option, uint16_t value);
    kxErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    kxErr setUEI32(uint8_t option, uint32_t value);
    kxErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    // kxErrParam for null data with a non-zero length; length 0 sends an
    // empty value.
    kxErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);

    // The output is written only for kxErrNone and kxErrStreamStale.
    kxErr getUEI8(uint8_t option, uint8_t* value);
    kxErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    kxErr getUEI16(uint8_t option, uint16_t* value);
    kxErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    kxErr getUEI32(uint8_t option, uint32_t* value);
    kxErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);
    // A byte value into `buffer`; *received counts the bytes copied, also
    // after a failure. kxErrMemory when a segment does not fit (*received
    // counts the bytes before it), kxErrTimeout when a segment does not come.
    kxErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t bufferLength, size_t* received);
    // Turns a byte count into a count of `unitSize` units: 1 when the count
    // is not a multiple of it (the count is left), kxErrParam for null or a
    // unit size of 0.
    static kxErr getUEIBytesCheck(size_t* count, size_t unitSize);

    // Waits, without asking, for a value report of the option (1000 ms;
    // `timeout` does not change the wait).
    kxErr awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t timeout);
    // Drops the queued value reports of the option.
    kxErr drainUEI(uint8_t option);

    kxErr saveEntityToStore();
    kxErr loadEntityFromStore();
    kxErr resetEntityToFactoryDefaults();

    // Stream subscriptions of this entity (any option, any sub-index).
    kxErr setStreamEnabled(uint8_t enable);
    kxErr registerOptionCallback(uint8_t option, bool enable, Link::StreamCallback callback,
                                 void* context);
    kxErr getStreamStatus(Link::StreamStatusEntry* entries, size_t count, size_t* found);

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

} // namespace Kavrel::Lumbrixon
