// One device packet: module address, length 0 to 28 and the data bytes.
// The record doubles as the accumulator a reader fills byte by byte.
#pragma once

#include <lumbrixon/kxError.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxPACKET_CHECK 0xBEEF
#define kxPACKET_MAX_DATA 28
#define kxPACKET_MAX_WIRE 30
#define kxPACKET_COUNT_LIMIT 30

    // The bytes from `address` on are the packet's wire form: address, length
    // and data can be sent as one block of length + 2 bytes.
    typedef struct kxPacket
    {
        uint16_t check;
        uint8_t count;
        uint8_t address;
        uint8_t length;
        uint8_t data[kxPACKET_MAX_DATA];
        uint8_t spare;
    } kxPacket;

#define kxVALIDPACKET(p) ((p) != NULL && (p)->check == kxPACKET_CHECK)

    kxPacket* kxPacket_Create(void);
    kxPacket* kxPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
    kxPacket* kxPacket_Copy(const kxPacket* packet);
    kxErr kxPacket_Destroy(kxPacket** packet);
    kxErr kxPacket_Reset(kxPacket* packet);
    kxErr kxPacket_AddByte(kxPacket* packet, uint8_t byte);
    bool kxPacket_IsComplete(const kxPacket* packet);
    kxErr kxPacket_GetBytes(const kxPacket* packet, uint8_t* buffer, size_t capacity, size_t* size);
    kxErr kxPacket_GetCmd(const kxPacket* packet, uint8_t* cmd);
    kxErr kxPacket_GetOption(const kxPacket* packet, uint8_t* option);
    kxErr kxPacket_GetIndex(const kxPacket* packet, uint8_t* index);

    // UEI payload helpers: multi-byte values are most significant byte first.
    void kxUEI_StoreShort(uint8_t* out, uint16_t value);
    void kxUEI_StoreInt(uint8_t* out, uint32_t value);
    uint16_t kxUEI_RetrieveShort(const uint8_t* in);
    uint32_t kxUEI_RetrieveInt(const uint8_t* in);
    void kxUEI_ModifyIntBuffer(uint32_t* values, size_t count);
    uint8_t kxUEI_getBytesSequence(const kxPacket* packet);
    uint8_t kxUEI_getBytesContinue(const kxPacket* packet);
    bool kxUEI_getBytesFullPacket(const kxPacket* packet);
    bool kxUEI_isNotUEIPayload(const kxPacket* packet);
    bool kxUEI_isUEIPayload(const kxPacket* packet);
    bool kxUEI_isStreamPacket(const kxPacket* packet);

#ifdef __cplusplus
}
#endif
