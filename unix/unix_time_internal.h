// For tests: how kxTime_MSSleep cuts a sleep into microsecond slices.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Stores up to `capacity` slice lengths (µs) and returns how many slices a
// sleep of `ms` milliseconds takes.
size_t kxTime_SleepSlices(uint32_t ms, uint32_t* slices, size_t capacity);
