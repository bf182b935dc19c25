// Joinable threads.
#pragma once

#include "common/kxError.h"

#ifdef __cplusplus
extern "C"
{
#endif

    typedef struct kxThread kxThread;
    typedef int (*kxThreadFunction)(void* argument);

    kxThread* kxThread_Create(kxThreadFunction function, void* argument);
    // Joins the thread; returns 0 or the system's join status.
    int kxThread_Destroy(kxThread** thread);
    void kxThread_Yield(void);

#ifdef __cplusplus
}
#endif
