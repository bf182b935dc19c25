// Model numbers of the Lumbrixon family and their display names.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxDEFS_FIRST_MODEL 4
#define kxDEFS_LAST_MODEL 27

    // The display name of a model number; "Unknown" outside 4..27 and for the
    // numbers without a product.
    const char* kxDefs_GetModelName(uint32_t model);

#ifdef __cplusplus
}
#endif
