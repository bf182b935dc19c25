// A byte ring of packet log records: type (1 byte), length n (1 byte), then n
// bytes. A link records into it every packet its pipes write and read, and
// text of its user's; a reader takes the records out oldest first.
//
// One byte of the ring always stays free, so that a full ring and an empty
// one differ. A record that does not fit beside the ones held pushes out the
// oldest records until it does.
//
// Threads: the ring is not locked; its owner (the link) takes its own lock
// around every call.
#pragma once

#include "common/kxError.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxPACKETLOG_DEFAULT_SIZE 65536
#define kxPACKETLOG_MAX_SIZE 0x4000000
#define kxPACKETLOG_MAX_RECORD 255

    // Record types.
    enum
    {
        kxPacketLogWritten = 1,  // a packet written to the module
        kxPacketLogReceived = 2, // a packet received from the module
        kxPacketLogText = 3,     // text of the log's user
    };

    typedef struct kxPacketLog kxPacketLog;

    // A ring of `size` bytes (2 to kxPACKETLOG_MAX_SIZE), or null.
    kxPacketLog* kxPacketLog_Create(uint32_t size);
    // Frees the ring and clears the caller's pointer; kxErrParam for none.
    kxErr kxPacketLog_Destroy(kxPacketLog** log);

    // Adds one record of `length` bytes. kxErrParam for an invalid ring or null
    // bytes with a length; kxErrSize for a length above kxPACKETLOG_MAX_RECORD;
    // kxErrOverrun when the record and its two header bytes cannot fit the
    // ring at all. Oldest records are discarded to make room.
    kxErr kxPacketLog_Add(kxPacketLog* log, uint8_t type, uint32_t length, const uint8_t* bytes);

    // Takes the oldest record. On entry *length is the buffer's capacity; it
    // receives the record's length. kxErrNotFound when the ring is empty;
    // kxErrOverrun when the record is longer than the capacity (the record
    // stays for a later call with a larger buffer, and *length tells its
    // length); kxErrParam for null arguments.
    kxErr kxPacketLog_Take(kxPacketLog* log, uint8_t* type, uint32_t* length, uint8_t* buffer);

    // Bytes in use, header bytes included.
    uint32_t kxPacketLog_Used(const kxPacketLog* log);

#ifdef __cplusplus
}
#endif
