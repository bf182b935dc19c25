// For the link registry only: making and freeing the link record that each
// registry entry owns.
#pragma once

#include <lumbrixon/kxLink.h>

#ifdef __cplusplus
extern "C"
{
#endif

    // A new, not yet prepared link record for registry entry `id` (its locks
    // made, no stream, no FIFOs), or null when memory or a lock runs out.
    kxLink* kxLink_CreateRecord(uint32_t id);

    // Removes the user filter (waiting for one that runs).
    void kxLink_RemoveUserFilter(kxLink* link);

    // Removes the user filter, stops the link if it runs, destroys its FIFOs,
    // accumulator, packet log, locks and stream, frees the record and clears
    // the caller's pointer. The result is that of destroying the out FIFO
    // (kxErrNotFound for a record never prepared); kxErrParam for no record.
    kxErr kxLink_DestroyRecord(kxLink** link);

    // For tests: hands the bytes to the in-pipe's byte handling on the
    // calling thread, as if the stream had given them. kxErrParam for an
    // invalid record, kxErrBusy while the pipe threads run.
    kxErr kxLink_FeedBytesForTest(kxLink* link, const uint8_t* bytes, size_t count);
    // For tests: takes the next packet queued for the module (the caller
    // destroys it), or null.
    kxPacket* kxLink_TakeOutgoingForTest(kxLink* link);

#ifdef __cplusplus
}
#endif
