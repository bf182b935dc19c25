// Clocks and sleeps (platform interface, implemented in unix/unix_time.cpp).
#pragma once

#include <lumbrixon/kxError.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

    // Milliseconds of the wall clock (seconds of the time of day x 1000 +
    // microseconds / 1000); 0 when the clock cannot be read. The link layer's
    // deadlines are computed from it.
    uint64_t kxTime_GetMSTicks(void);
    // Nanoseconds of a monotonic clock that no change of the time of day
    // moves; the deadlines of condition waits (kxCondition_WaitUntil) are
    // given in it.
    uint64_t kxTime_GetMonotonicNS(void);
    // Sleeps ms milliseconds in slices of at most 999,999 microseconds;
    // always kxErrNone. osMSSleep is the same operation.
    kxErr kxTime_MSSleep(uint32_t ms);
    kxErr osMSSleep(uint32_t ms);

#ifdef __cplusplus
}
#endif
