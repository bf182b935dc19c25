// Packet accumulation fed arbitrary wire bytes one at a time, the way a link
// reader does: completeness is tested after every byte, and the record is reset
// after an error or after the finished packet was taken. The first input byte
// picks how often the reader "forgets" to reset a finished packet, so that the
// bytes that follow a packet also land on a record that was never reset.
//
// After every byte the record is compared with its state before: the tag and
// the spare byte never change, at most one data byte changes and only at the
// position the count names, and the result agrees with the count, address and
// length bytes. Every finished packet has a length of at most 28 and copies out
// as exactly length + 2 wire bytes.
#include <lumbrixon/kxPacket.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace
{
void sRequire(bool condition)
{
    if (!condition)
        abort();
}

void sCheckStep(const kxPacket& before, const kxPacket& after, uint8_t byte, kxErr result)
{
    sRequire(after.check == kxPACKET_CHECK);
    sRequire(after.spare == before.spare);
    sRequire(after.count == before.count + 1 || (before.count == 0xFF && after.count == 0xFF));

    int changed = -1;
    for (int i = 0; i < kxPACKET_MAX_DATA; ++i)
    {
        if (after.data[i] == before.data[i])
            continue;
        sRequire(changed < 0);
        changed = i;
    }
    if (changed >= 0)
    {
        sRequire(result == kxErrNone);
        sRequire(changed == after.count - 3);
        sRequire(after.data[changed] == byte);
    }

    if (after.count > kxPACKET_COUNT_LIMIT)
    {
        sRequire(result == kxErrOverrun);
        sRequire(changed < 0);
        sRequire(after.address == before.address && after.length == before.length);
        return;
    }
    if (before.address == 0)
    {
        sRequire(after.length == before.length);
        if (byte == 0)
            sRequire(result == kxErrPacket && after.address == 0);
        else
            sRequire(result == kxErrNone && after.address == byte);
        return;
    }
    sRequire(after.address == before.address);
    if (before.length == 0)
    {
        sRequire(after.length == byte);
        sRequire((result == kxErrNone) == (byte <= kxPACKET_MAX_DATA));
        return;
    }
    sRequire(after.length == before.length);
    // A byte past the end of a packet that was not reset is refused.
    if (before.length + 2 < after.count)
        sRequire(result == kxErrPacket);
}

void sTakePacket(const kxPacket* packet)
{
    sRequire(packet->length <= kxPACKET_MAX_DATA);
    sRequire(packet->count == packet->length + 2);
    sRequire(packet->address != 0);

    uint8_t wire[kxPACKET_MAX_WIRE + 1];
    memset(wire, 0xA5, sizeof wire);
    size_t size = 0;
    sRequire(kxPacket_GetBytes(packet, wire, packet->length + 1u, &size) == kxErrOverrun);
    sRequire(kxPacket_GetBytes(packet, wire, kxPACKET_MAX_WIRE, &size) == kxErrNone);
    sRequire(size == packet->length + 2u);
    sRequire(wire[0] == packet->address && wire[1] == packet->length);
    sRequire(memcmp(wire + 2, packet->data, packet->length) == 0);
    for (size_t i = size; i < sizeof wire; ++i)
        sRequire(wire[i] == 0xA5);

    kxPacket* copy = kxPacket_Copy(packet);
    sRequire(copy != nullptr);
    sRequire(kxPacket_IsComplete(copy));
    sRequire(copy->address == packet->address && copy->length == packet->length);
    sRequire(memcmp(copy->data, packet->data, packet->length) == 0);
    kxPacket_Destroy(&copy);
    sRequire(copy == nullptr);
}

void sReset(kxPacket* packet)
{
    sRequire(kxPacket_Reset(packet) == kxErrNone);
    static const kxPacket fresh = {kxPACKET_CHECK, 0, 0, 0, {}, 0};
    sRequire(memcmp(packet, &fresh, sizeof fresh) == 0);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // 0 = a careful reader; otherwise every n-th finished packet stays unreset.
    const unsigned forgetEvery = data[0] & 0x07;
    kxPacket* packet = kxPacket_Create();
    sRequire(packet != nullptr);

    unsigned finished = 0;
    for (size_t i = 1; i < size; ++i)
    {
        kxPacket before = *packet;
        kxErr result = kxPacket_AddByte(packet, data[i]);
        sCheckStep(before, *packet, data[i], result);
        if (result != kxErrNone)
        {
            sReset(packet);
            continue;
        }
        if (!kxPacket_IsComplete(packet))
            continue;
        sTakePacket(packet);
        ++finished;
        if (forgetEvery == 0 || finished % forgetEvery != 0)
            sReset(packet);
    }

    kxPacket* invalid = kxPacket_Create();
    invalid->check = 0;
    sRequire(kxPacket_AddByte(invalid, 1) == kxErrParam);
    sRequire(!kxPacket_IsComplete(invalid));
    invalid->check = kxPACKET_CHECK;
    kxPacket_Destroy(&invalid);
    kxPacket_Destroy(&packet);
    return 0;
}
