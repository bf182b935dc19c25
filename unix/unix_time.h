// Millisecond clock and sleeps.
#pragma once

#include "common/kxError.h"
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

    uint64_t kxTime_GetMSTicks(void);
    kxErr kxTime_MSSleep(uint32_t ms);
    kxErr osMSSleep(uint32_t ms);

#ifdef __cplusplus
}
#endif
