// Device packets on the heap, byte accumulation and the UEI byte helpers.
#include <lumbrixon/kxPacket.h>

#include <cstdlib>
#include <cstring>

static_assert(sizeof(kxPacket) == 34, "the packet record is copied as a block");
static_assert(offsetof(kxPacket, address) + 1 == offsetof(kxPacket, length));
static_assert(offsetof(kxPacket, length) + 1 == offsetof(kxPacket, data));

kxPacket* kxPacket_Create(void)
{
    kxPacket* packet = static_cast<kxPacket*>(calloc(1, sizeof(kxPacket)));
    if (packet)
        packet->check = kxPACKET_CHECK;
    return packet;
}

kxPacket* kxPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data)
{
    if (length > kxPACKET_MAX_DATA || !data)
        return nullptr;
    kxPacket* packet = kxPacket_Create();
    if (!packet)
        return nullptr;
    packet->address = address;
    packet->length = length;
    memcpy(packet->data, data, length);
    packet->count = static_cast<uint8_t>(length + 2);
    return packet;
}

kxPacket* kxPacket_Copy(const kxPacket* packet)
{
    if (!kxVALIDPACKET(packet) || packet->length > kxPACKET_MAX_DATA)
        return nullptr;
    return kxPacket_CreateWithData(packet->address, packet->length, packet->data);
}

kxErr kxPacket_Destroy(kxPacket** packet)
{
    if (!packet)
        return kxErrParam;
    kxPacket* record = *packet;
    *packet = nullptr;
    if (!kxVALIDPACKET(record))
        return kxErrParam;
    record->check = 0;
    free(record);
    return kxErrNone;
}

kxErr kxPacket_Reset(kxPacket* packet)
{
    if (!kxVALIDPACKET(packet))
        return kxErrParam;
    packet->count = 0;
    packet->address = 0;
    packet->length = 0;
    memset(packet->data, 0, sizeof packet->data);
    return kxErrNone;
}

kxErr kxPacket_AddByte(kxPacket* packet, uint8_t byte)
{
    if (!kxVALIDPACKET(packet))
        return kxErrParam;
    if (packet->count < 0xFF)
        packet->count++;
    if (packet->count > kxPACKET_COUNT_LIMIT)
        return kxErrOverrun;
    if (packet->address == 0)
    {
        if (byte == 0)
            return kxErrPacket;
        packet->address = byte;
        return kxErrNone;
    }
    if (packet->length == 0)
    {
        packet->length = byte;
        return byte <= kxPACKET_MAX_DATA ? kxErrNone : kxErrPacket;
    }
    // A length beyond 28 was refused above and stays stored: nothing more fits.
    if (packet->length > kxPACKET_MAX_DATA || packet->length + 2 < packet->count)
        return kxErrPacket;
    packet->data[packet->count - 3] = byte;
    return kxErrNone;
}

bool kxPacket_IsComplete(const kxPacket* packet)
{
    return kxVALIDPACKET(packet) && packet->count == packet->length + 2;
}

kxErr kxPacket_GetBytes(const kxPacket* packet, uint8_t* buffer, size_t capacity, size_t* size)
{
    if (!kxVALIDPACKET(packet) || !buffer || packet->length > kxPACKET_MAX_DATA)
        return kxErrParam;
    size_t wire = packet->length + 2u;
    if (capacity < wire)
        return kxErrOverrun;
    memcpy(buffer, &packet->address, wire);
    if (size)
        *size = wire;
    return kxErrNone;
}

static kxErr sDataByte(const kxPacket* packet, unsigned position, uint8_t mask, uint8_t* out)
{
    if (!out)
        return kxErrParam;
    if (!kxVALIDPACKET(packet) || packet->length <= position || packet->length > kxPACKET_MAX_DATA)
        return kxErrPacket;
    *out = packet->data[position] & mask;
    return kxErrNone;
}

kxErr kxPacket_GetCmd(const kxPacket* packet, uint8_t* cmd)
{
    return sDataByte(packet, 0, 0xFF, cmd);
}

kxErr kxPacket_GetOption(const kxPacket* packet, uint8_t* option)
{
    return sDataByte(packet, 1, 0x3F, option);
}

kxErr kxPacket_GetIndex(const kxPacket* packet, uint8_t* index)
{
    return sDataByte(packet, 2, 0x1F, index);
}

void kxUEI_StoreShort(uint8_t* out, uint16_t value)
{
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value);
}

void kxUEI_StoreInt(uint8_t* out, uint32_t value)
{
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

uint16_t kxUEI_RetrieveShort(const uint8_t* in)
{
    return static_cast<uint16_t>((in[0] << 8) | in[1]);
}

uint32_t kxUEI_RetrieveInt(const uint8_t* in)
{
    return (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
           (static_cast<uint32_t>(in[2]) << 8) | in[3];
}

void kxUEI_ModifyIntBuffer(uint32_t* values, size_t count)
{
    for (size_t i = 0; values && i < count; ++i)
        values[i] = __builtin_bswap32(values[i]);
}

// The last data byte of a segmented byte value carries the sequence number
// and the continuation bit.
static uint8_t sLastDataByte(const kxPacket* packet)
{
    if (!kxVALIDPACKET(packet) || packet->length == 0 || packet->length > kxPACKET_MAX_DATA)
        return 0;
    return packet->data[packet->length - 1];
}

uint8_t kxUEI_getBytesSequence(const kxPacket* packet)
{
    return sLastDataByte(packet) & 0x7F;
}

uint8_t kxUEI_getBytesContinue(const kxPacket* packet)
{
    return (sLastDataByte(packet) >> 7) & 1;
}

bool kxUEI_getBytesFullPacket(const kxPacket* packet)
{
    return kxVALIDPACKET(packet) && (packet->length == 27 || packet->length == 28);
}

bool kxUEI_isNotUEIPayload(const kxPacket* packet)
{
    if (!kxVALIDPACKET(packet))
        return false;
    switch (packet->data[0])
    {
        case 0:
        case 1:
        case 2:
        case 4:
        case 8:
        case 9:
        case 23:
        case 24:
        case 73:
        case 94:
        case 95:
        case 173:
        case 175:
            return true;
        default:
            return false;
    }
}

bool kxUEI_isUEIPayload(const kxPacket* packet)
{
    return !kxUEI_isNotUEIPayload(packet);
}

bool kxUEI_isStreamPacket(const kxPacket* packet)
{
    return kxVALIDPACKET(packet) && packet->length >= 5 && kxUEI_isUEIPayload(packet) &&
           packet->data[1] <= 0x3F && (packet->data[2] & 0x40) != 0;
}
