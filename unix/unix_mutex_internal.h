// For tests: how system mutex results become library error codes.
#pragma once

#include <lumbrixon/kxError.h>

enum kxMutexOperation
{
    kxMutexOpDestroy,
    kxMutexOpLock,
    kxMutexOpTryLock,
    kxMutexOpUnlock,
};

// Maps a pthread_mutex_* result of `operation` to its error code.
kxErr kxMutex_MapResult(kxMutexOperation operation, int systemResult);
