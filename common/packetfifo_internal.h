// For tests: a hook into the packet FIFO's put.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

    // Null outside tests. When set, every Put calls it with the FIFO's
    // identifier after finding the FIFO and before taking the FIFO's lock, so a
    // test can hold a put there while another thread destroys that FIFO.
    typedef void (*kxPacketFifoPutHook)(uint64_t id);
    void kxPacketFifo_SetPutHookForTest(kxPacketFifoPutHook hook);

#ifdef __cplusplus
}
#endif
