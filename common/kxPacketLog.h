// A link's packet log: a byte ring of records, each a type (1 byte), a length
// n (1 byte) and n bytes. The link's pipes record into it every packet they
// write and receive; its user adds text records and takes the records out,
// oldest first.
//
// The ring is made when the log is first enabled, with the size set before
// (kxPACKETLOG_DEFAULT_SIZE when none was); from then on the size is fixed.
// One byte of the ring always stays free, so that a full ring and an empty
// one differ. A record that does not fit beside the ones held pushes out the
// oldest records until it does.
//
// Threads: any thread may call anything; every call that touches the ring or
// the settings takes the log's own lock, and kxPacketLog_Exists reads a flag
// without it. Nothing else is called while the lock is held.
#pragma once

#include <lumbrixon/kxError.h>

#include <stdbool.h>
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

    // A log without a ring yet, its lock named `lockName`; null when memory or
    // the lock runs out.
    kxPacketLog* kxPacketLog_Create(const char* lockName);
    // Frees the log and its ring and clears the caller's pointer (also when it
    // was null or not a log: kxErrParam).
    kxErr kxPacketLog_Destroy(kxPacketLog** log);

    // The ring's size in bytes: kxErrParam for an invalid log or a size above
    // kxPACKETLOG_MAX_SIZE, kxErrBusy once the ring exists; 0 or less means
    // the default.
    kxErr kxPacketLog_SetSize(kxPacketLog* log, int32_t size);
    // Makes the ring if there is none (kxErrResource when it cannot be made)
    // and marks the log enabled.
    kxErr kxPacketLog_Enable(kxPacketLog* log);
    // Marks the log disabled; kxErrNotReady without a ring.
    kxErr kxPacketLog_Disable(kxPacketLog* log);
    // True once the ring exists.
    bool kxPacketLog_Exists(const kxPacketLog* log);
    // Frees the ring and forgets the size: the log is as new.
    void kxPacketLog_Clear(kxPacketLog* log);

    // Adds one record of `length` bytes. kxErrNotReady without a ring;
    // kxErrParam for an invalid log or null bytes with a length; kxErrSize for
    // a length above kxPACKETLOG_MAX_RECORD; kxErrOverrun when the record and
    // its two header bytes cannot fit the ring at all.
    kxErr kxPacketLog_Add(kxPacketLog* log, uint8_t type, uint32_t length, const uint8_t* bytes);
    // Takes the oldest record. On entry *length is the buffer's capacity; it
    // receives the record's length. kxErrNotReady without a ring;
    // kxErrNotFound when the ring is empty; kxErrOverrun when the record is
    // longer than the capacity (the record stays for a later call with a
    // larger buffer, and *length tells its length); kxErrParam for null
    // arguments.
    kxErr kxPacketLog_Take(kxPacketLog* log, uint8_t* type, uint32_t* length, uint8_t* buffer);

    // Bytes of the ring in use, header bytes included.
    uint32_t kxPacketLog_Used(kxPacketLog* log);

#ifdef __cplusplus
}
#endif
