// Named, non-recursive mutexes.
#pragma once

#include "common/kxError.h"

#ifdef __cplusplus
extern "C"
{
#endif

    typedef struct kxMutex kxMutex;

    kxMutex* kxMutex_Create(const char* name);
    const char* kxMutex_Identifier(kxMutex* mutex);
    kxErr kxMutex_Destroy(kxMutex** mutex);
    kxErr kxMutex_Lock(kxMutex* mutex);
    kxErr kxMutex_TryLock(kxMutex* mutex);
    kxErr kxMutex_Unlock(kxMutex* mutex);

#ifdef __cplusplus
}
#endif
