// Wall-clock milliseconds and sleeps cut into slices under one second.
#include <lumbrixon/kxTime.h>
#include "unix_time_internal.h"

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

uint64_t kxTime_GetMSTicks(void)
{
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0)
        return 0;
    uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_usec) / 1000u;
    return ms == UINT64_MAX ? 0 : ms;
}

uint64_t kxTime_GetMonotonicNS(void)
{
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// The next slice of a sleep with `remaining` microseconds left: never a whole second.
static uint32_t sNextSlice(uint64_t remaining)
{
    return remaining > 999999u ? 999999u : static_cast<uint32_t>(remaining);
}

size_t kxTime_SleepSlices(uint32_t ms, uint32_t* slices, size_t capacity)
{
    uint64_t remaining = static_cast<uint64_t>(ms) * 1000u;
    size_t count = 0;
    while (remaining > 0)
    {
        uint32_t slice = sNextSlice(remaining);
        if (slices && count < capacity)
            slices[count] = slice;
        ++count;
        remaining -= slice;
    }
    return count;
}

kxErr kxTime_MSSleep(uint32_t ms)
{
    uint64_t remaining = static_cast<uint64_t>(ms) * 1000u;
    while (remaining > 0)
    {
        uint32_t slice = sNextSlice(remaining);
        usleep(slice);
        remaining -= slice;
    }
    return kxErrNone;
}

kxErr osMSSleep(uint32_t ms)
{
    return kxTime_MSSleep(ms);
}
