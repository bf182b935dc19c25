// Thread-safe packet queues with blocking and filtered waits, referred to by
// identifiers from a process-wide registry (0 is never a FIFO).
#pragma once

#include <lumbrixon/kxError.h>
#include <lumbrixon/kxPacket.h>

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxPACKETFIFO_CAPACITY 1000

    // Judges one queued packet (read only) with the caller's reference. Runs with
    // the FIFO's lock held: it must not call into the same FIFO.
    typedef bool (*kxPacketFifoFilter)(const kxPacket* packet, void* ref);

    uint64_t kxPacketFifo_Create(void);
    kxErr kxPacketFifo_Destroy(uint64_t* id);
    kxErr kxPacketFifo_Put(uint64_t id, const kxPacket* packet);
    // Put queues a copy of the caller's packet (the caller keeps its own). A packet
    // handed out is that queued copy, removed from the FIFO: the caller destroys it.
    kxPacket* kxPacketFifo_Get(uint64_t id);
    kxPacket* kxPacketFifo_Await(uint64_t id, uint32_t timeoutMs);
    kxPacket* kxPacketFifo_GetFirst(uint64_t id, kxPacketFifoFilter filter, void* ref);
    kxPacket* kxPacketFifo_AwaitFirst(uint64_t id, kxPacketFifoFilter filter, void* ref,
                                      uint32_t timeoutMs);
    size_t kxPacketFifo_DrainPackets(uint64_t id, kxPacketFifoFilter filter, void* ref);
    size_t kxPacketFifo_GetLength(uint64_t id);

#ifdef __cplusplus
}
#endif
