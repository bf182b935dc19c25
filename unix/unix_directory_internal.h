// For tests: how the home directory is chosen and copied.
#pragma once

#include <lumbrixon/kxError.h>
#include <stddef.h>

// Copies `passwordHome` when it is set and non-empty, else `environmentHome`,
// into `buffer`; the buffer is left empty on failure.
kxErr kxDirectory_ChooseHome(const char* passwordHome, const char* environmentHome, char* buffer,
                             size_t size);
