// A background thread that runs one logging callback against an output file.
#pragma once

#include "common/kxError.h"
#include "unix/unix_file.h"
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

    typedef struct kxLogger kxLogger;
    typedef void (*kxLoggerCallback)(kxFileRef file, int32_t value);

    kxLogger* kxLogger_Create(int32_t value, kxLoggerCallback callback, const char* path);
    kxErr kxLogger_Enable(kxLogger* logger);
    kxErr kxLogger_Disable(kxLogger* logger);
    kxErr kxLogger_Destroy(kxLogger** logger);

#ifdef __cplusplus
}
#endif
