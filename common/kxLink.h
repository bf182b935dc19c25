// The link engine: one live connection to a module over one stream.
//
// A link turns its stream into two packet queues. Its in-pipe thread reads the
// stream byte by byte, rebuilds packets, answers the module's heartbeats,
// offers each packet to an optional user filter and queues the rest on the
// link's in FIFO; its out-pipe thread takes packets from the out FIFO and
// writes them to the stream, one write each or, pooled, many in one write of
// at most kxLINK_POOL_BYTES. The engine also finds the packet boundaries with
// the module (sync), turns the module's routing to this link on and off, and
// keeps an optional packet log.
//
// Links are named by the identifiers of the link registry
// (common/kxLinkManagerInternal.h), which creates, shares and destroys them;
// every operation here looks its link up there first. A caller must hold a
// use of a link while it works with it.
//
// Link-control packets on the wire (address, length, data):
//   0xAD 0x00              host -> module  sync request; the module answers
//                                          with an empty packet from its own
//                                          address, so a complete answer to
//                                          two requests reads A 0 A 0
//   0xAF 0x01 0x01 / 0x00  host -> module  route on / off
//   A 0x02 0x00 v          module -> host  heartbeat (bit 0 of v: 1 down, 0 up)
//   A 0x02 0x00 v+2        host -> module  its answer
//
// Waiting: every wait of the engine is bounded. An idle in-pipe waits in its
// stream's read (the socket stream waits for readability); over a stream
// whose read never waits it sleeps a millisecond between empty reads once
// they have come back empty many times in a row. While syncing it sends its
// six sync requests again at most every kxLINK_SYNC_RESEND_MS. While packets
// flow, the out-pipe after each write, and a caller in kxLink_AwaitFirst,
// look for the next packet for up to kxLINK_SPIN_US before they sleep. Stop and
// destroy end even with a dead stream or a silent module: the final writes
// after a stop last at most kxLINK_FINAL_DRAIN_MS.
#pragma once

#include <lumbrixon/kxError.h>
#include <lumbrixon/kxPacket.h>
#include <lumbrixon/kxStream.h>
#include <lumbrixon/packetfifo.h>

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxLINK_CHECK 0xCEED
#define kxLINK_SYNC_ADDRESS 0xAD
#define kxLINK_ROUTE_ADDRESS 0xAF
#define kxLINK_SYNC_REQUESTS 6
#define kxLINK_SYNC_RESEND_MS 250
#define kxLINK_SYNC_WAIT_MS 2000
#define kxLINK_START_WAIT_MS 2000
#define kxLINK_POOL_BYTES 4096
// A pooled write takes packets while it holds at most this many bytes, so the
// longest packet (30 bytes) still fits.
#define kxLINK_POOL_FILL_LIMIT 4066
#define kxLINK_OUT_WAIT_MS 100
// How long a waiter polls (yielding the processor) before it sleeps: a reply
// or the next packet that comes this soon is taken without the cost of waking
// a sleeping thread.
#define kxLINK_SPIN_US 50
#define kxLINK_READ_ERROR_PAUSE_MS 100
#define kxLINK_FINAL_DRAIN_MS 1000
#define kxLINK_RESET_ATTEMPTS 20
#define kxLINK_RESET_PAUSE_MS 100

    // Link status, as kxLink_GetStatus returns it.
    typedef enum
    {
        kLinkStatusStopped = 0,  // initialised with a stream, threads not running
        kLinkStatusStarting = 1, // threads being started
        kLinkStatusRunning = 2,  // framing established; packets flow
        kLinkStatusStopping = 3, // stop in progress (also left by stopping a link
                                 // that had no threads)
        kLinkStatusSyncing = 4,  // sync requested or in progress
        kLinkStatusInvalid = 5,  // initialised without a stream; unknown link
        kLinkStatusIOError = 6,  // the last stream read failed
        kLinkStatusError = 8,    // the in FIFO refused an incoming packet
    } kxLinkStatus;

    // Sync states of the in-pipe (0: synced or not syncing).
    typedef enum
    {
        kSyncStateStart = 1,
        kSyncStateByte1 = 2,
        kSyncStateByte2 = 3,
        kSyncStateByte3 = 4,
        kSyncStateByte4 = 5,
    } kxLinkSyncState;

    typedef struct kxLink kxLink;

    // Judges one packet (read only) with the caller's reference. For the waits
    // it runs with the FIFO's lock held (common/packetfifo.h); as a user filter
    // it runs on the in-pipe thread, and true consumes the packet.
    typedef kxPacketFifoFilter kxLinkPacketFilter;

    // Called on the in-pipe thread after each heartbeat answered, with true for
    // a "down" heartbeat.
    typedef void (*kxLinkHeartbeatCallback)(bool down);

    // Lifecycle (normally driven by the registry's create operations).

    // Prepares the link of registry entry `id` over `stream`, which the link
    // owns from then on: fresh FIFOs and accumulator, no filter, no log, not
    // pooled, status 0 (5 without a stream). A link prepared before is stopped
    // and its old FIFOs, stream and log are released first. Returns `id`, or 0
    // when there is no such entry or the FIFOs cannot be made.
    uint32_t kxLink_Init(uint32_t id, kxStream* stream);
    // Starts the pipe threads and turns routing on. kxErrNone (also at once for
    // a running link), kxErrParam (unknown link), kxErrResource (a thread could
    // not start), kxErrIndexRange (the threads did not report ready within
    // kxLINK_START_WAIT_MS), or the result of queuing route-on.
    kxErr kxLink_Start(uint32_t id);
    // Asks for sync and waits up to kxLINK_SYNC_WAIT_MS for it; then discards
    // what is queued to the module and, after 100 ms, what came from it (the
    // answers to the surplus requests). kxErrNone when synced, kxErrNotReady
    // when not (also for a link that is not running), kxErrParam for an
    // unknown link.
    kxErr kxLink_Sync(uint32_t id);
    // Stops the pipe threads: queues route-off, which the out-pipe writes in
    // its final drain, and joins both threads; status 0 afterwards. Nothing is
    // done when the status is 3 or 0. kxErrParam for an invalid record,
    // kxErrUnknown when a join failed.
    kxErr kxLink_Stop(kxLink* link);
    // Rebuilds a link whose stream failed: stops it, builds a new stream from
    // the registry entry (USB by serial number, TCP/IP and the client kinds by
    // address and port), fresh FIFOs, and starts it again; the user filter,
    // heartbeat callback, packet log and pooling stay. A link of any other
    // kind is left as it was and gets kxErrParam, as does an unknown link.
    // Up to kxLINK_RESET_ATTEMPTS attempts kxLINK_RESET_PAUSE_MS apart; after
    // that the link is started without a stream and runs in status 6. The
    // result is that of the start.
    kxErr kxLink_Reset(uint32_t id);
    // The status; kLinkStatusInvalid for an unknown link.
    uint32_t kxLink_GetStatus(uint32_t id);
    // Queues the route packet (0xAF, 1, [on]). kxErrNotFound for an unknown
    // identifier, kxErrParam when its link is not prepared, kxErrMemory when
    // the packet cannot be made, else the result of the put.
    kxErr kxLink_ForceRoute(uint32_t id, uint8_t on);
    // The module address the last sync saw (1 before any). kxErrParam for an
    // unknown link or a null output.
    kxErr kxLink_GetSyncAddress(uint32_t id, uint8_t* address);

    // Packets. The link queues copies; every packet handed out is the
    // caller's to destroy.

    // Queues a copy of `packet` for the module. kxErrParam for an unknown link.
    kxErr kxLink_PutPacket(uint32_t id, const kxPacket* packet);
    kxPacket* kxLink_GetPacket(uint32_t id);
    kxPacket* kxLink_AwaitPacket(uint32_t id, uint32_t timeoutMs);
    kxPacket* kxLink_GetFirst(uint32_t id, kxLinkPacketFilter filter, void* ref);
    // Waits up to `timeoutMs` for the first received packet that `filter`
    // accepts and removes it; the others stay queued. Only while the link runs:
    // null at once for a stopped link, and the wait ends when the link stops
    // or leaves the running status. A reset while waiting moves the wait to
    // the new FIFO.
    kxPacket* kxLink_AwaitFirst(uint32_t id, kxLinkPacketFilter filter, void* ref,
                                uint32_t timeoutMs);
    // Removes every received packet `filter` accepts; the count (0 for an
    // unknown link).
    size_t kxLink_DrainPackets(uint32_t id, kxLinkPacketFilter filter, void* ref);
    // Sets, or with a null filter removes, the user filter. It is offered every
    // complete packet received, heartbeats included, before anything else, and
    // is never removed while it runs. kxErrParam for an unknown link.
    kxErr kxLink_InstallUserPacketFilter(uint32_t id, kxLinkPacketFilter filter, void* ref);
    // Sets, or with null removes, the heartbeat callback. kxErrParam for an
    // unknown link.
    kxErr kxLink_InstallHeartbeatCallback(uint32_t id, kxLinkHeartbeatCallback callback);
    // Pooled writes on or off. kxErrParam for an unknown link.
    kxErr kxLink_EnablePooledPackets(uint32_t id, bool on);

    // Packet log (common/kxPacketLog.h): once it exists, the pipes record every
    // packet they write (type 1) and every packet they receive (type 2).

    // kxErrParam for an unknown link or a size above kxPACKETLOG_MAX_SIZE;
    // kxErrBusy once the log exists; a size of 0 or less means the default.
    kxErr kxLink_PacketDebug_SetLogSize(uint32_t id, int32_t size);
    // Creates the log if it does not exist (kxErrResource when it cannot be
    // made) and marks it enabled.
    kxErr kxLink_PacketDebug_Enable(uint32_t id);
    // Marks the log disabled; kxErrNotReady without one.
    kxErr kxLink_PacketDebug_Disable(uint32_t id);
    // Adds a record; kxErrNotReady without a log, otherwise kxPacketLog_Add's
    // result.
    kxErr kxLink_PacketDebug_Write(uint32_t id, uint8_t type, uint32_t length,
                                   const uint8_t* bytes);
    // Takes the oldest record: *length is the buffer's capacity on entry and
    // the record's length on return. kxErrNotFound when empty, kxErrOverrun
    // when the record is longer than the capacity (it stays), kxErrNotReady
    // without a log.
    kxErr kxLink_PacketDebug_Read(uint32_t id, uint8_t* type, uint32_t* length, uint8_t* buffer);

#ifdef __cplusplus
}
#endif
