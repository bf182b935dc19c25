// One UEI exchange with a module: the record the Link object sends and fills.
//
// A UEI packet's data bytes are command, option, index and the value (none,
// 1, 2 or 4 bytes, most significant first). Byte values travel in segments
// of up to kxUEI_SEGMENT_BYTES value bytes followed by a sequence byte: bit 7
// set when more segments follow, bits 0 to 6 the packet's number from 0.
//
// Option byte: bits 0-5 the option code; bit 7 alone a set request, bit 6
// alone a get request, both an acknowledgement of a set, neither a value
// report (the answer to a get, or a streamed value).
// Index byte: bits 0-4 the entity index; bit 5 set in every host request;
// bit 6 set in a streamed value; bit 7 set in an error reply, whose value
// byte is then the module's kxErr code.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxUEI_SEGMENT_BYTES 24
#define kxUEI_SEQUENCE_MORE 0x80
#define kxUEI_SEQUENCE_MASK 0x7F

#define kxUEI_OPTION_MASK 0x3F
#define kxUEI_OPTION_GET 0x40
#define kxUEI_OPTION_SET 0x80
#define kxUEI_OPTION_ACK 0xC0
#define kxUEI_INDEX_MASK 0x1F
#define kxUEI_INDEX_REQUEST 0x20
#define kxUEI_INDEX_STREAM 0x40
#define kxUEI_INDEX_ERROR 0x80

    typedef enum ueiType
    {
        ueiTypeVoid = 0,
        ueiTypeByte = 1,
        ueiTypeShort = 2,
        ueiTypeInt = 4,
        ueiTypeBytes = 5,
    } ueiType;

    // A plain value record, copied freely; for type bytes it points at the
    // caller's buffer and counter, which it does not own.
    typedef struct uei
    {
        uint8_t module;  // module address (even, non-zero)
        uint8_t command; // entity class command code
        uint8_t option;  // option code with direction bits
        uint8_t index;   // entity index with flag bits
        union
        {
            uint8_t u8;
            uint16_t u16;
            uint32_t u32;
            uint8_t* bytes; // type bytes: the buffer (write cursor while receiving)
        } value;
        uint8_t sequence; // bytes transfer: sequence number expected next
        uint8_t more;     // bytes transfer: the last segment said more follow
        size_t length;    // bytes transfer: bytes to send, or capacity to receive into
        size_t* received; // bytes transfer: running count of bytes received
        ueiType type;
    } uei;

#ifdef __cplusplus
}
#endif
