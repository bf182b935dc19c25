// The in-pipe's handling of bytes from a module, fed arbitrary bytes: packet
// accumulation, framing loss and sync, heartbeat answers and the user filter.
// The first input byte picks whether a user filter takes the packets whose
// first data byte is odd.
//
// Whatever arrives, the link queues for its callers only whole packets from
// an even, non-zero address with at most 28 data bytes, never a heartbeat and
// never one the filter took; and it queues for the module only sync requests
// and heartbeat answers.
#include <lumbrixon/kxLink.h>
#include <lumbrixon/kxLinkManagerInternal.h>
#include "common/kxLink_internal.h"

#include <cstdint>
#include <cstdlib>

namespace
{
void sRequire(bool condition)
{
    if (!condition)
        abort();
}

bool sTakeOdd(const kxPacket* packet, void*)
{
    return packet->length > 0 && (packet->data[0] & 1) != 0;
}

// One link without a stream or threads, for the whole run.
uint32_t sLink()
{
    static uint32_t id = []
    {
        uint32_t made = kxLinkManagerInternal_Create(kxLINK_STREAM_IDENT, 0, kxLINKTYPE_STREAM);
        return kxLink_Init(made, nullptr);
    }();
    return id;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint32_t id = sLink();
    kxLink* link = kxLinkManagerInternal_GetLink(id);
    sRequire(link != nullptr);
    if (size == 0)
        return 0;
    bool filtered = (data[0] & 1) != 0;
    kxLink_InstallUserPacketFilter(id, filtered ? sTakeOdd : nullptr, nullptr);
    // Fed in slices, the queues emptied between them as callers and the
    // out-pipe would.
    for (size_t at = 1; at < size; at += 64)
    {
        size_t n = size - at < 64 ? size - at : 64;
        sRequire(kxLink_FeedBytesForTest(link, data + at, n) == kxErrNone);
        while (kxPacket* packet = kxLink_GetPacket(id))
        {
            sRequire(packet->address != 0 && (packet->address & 1) == 0);
            sRequire(packet->length <= kxPACKET_MAX_DATA);
            sRequire(!(packet->length == 2 && packet->data[0] == 0));
            sRequire(!filtered || !sTakeOdd(packet, nullptr));
            kxPacket_Destroy(&packet);
        }
        while (kxPacket* packet = kxLink_TakeOutgoingForTest(link))
        {
            bool syncRequest = packet->address == kxLINK_SYNC_ADDRESS && packet->length == 0;
            bool heartbeatAnswer =
                (packet->address & 1) == 0 && packet->length == 2 && packet->data[0] == 0;
            sRequire(syncRequest || heartbeatAnswer);
            kxPacket_Destroy(&packet);
        }
    }
    return 0;
}
