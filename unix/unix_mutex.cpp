// Named mutexes over POSIX mutexes with default attributes.
#include "unix/unix_mutex.h"
#include "unix/unix_mutex_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

static const uint16_t kMutexCheck = 0xB0B5;

// Threads: any thread may lock, try-lock and unlock `mutex`; `check` and
// `identifier` are written once by the creating thread and only read after.
// Destroy must not race with any other use. Only the one system lock exists.
struct kxMutex
{
    uint16_t check;
    pthread_mutex_t mutex;
    char identifier[256];
};

static bool sValid(const kxMutex* m)
{
    return m && m->check == kMutexCheck;
}

kxErr kxMutex_MapResult(kxMutexOperation operation, int systemResult)
{
    if (systemResult == 0)
        return kxErrNone;
    switch (operation)
    {
        case kxMutexOpDestroy:
            if (systemResult == EBUSY)
                return kxErrBusy;
            if (systemResult == EAGAIN)
                return kxErrResource;
            break;
        case kxMutexOpLock:
            if (systemResult == EDEADLK)
                return kxErrDuplicate;
            break;
        case kxMutexOpTryLock:
            if (systemResult == EBUSY)
                return kxErrBusy;
            break;
        case kxMutexOpUnlock:
            if (systemResult == EPERM)
                return kxErrPermission;
            break;
    }
    return systemResult == EINVAL ? kxErrParam : kxErrUnknown;
}

kxMutex* kxMutex_Create(const char* name)
{
    size_t length = name ? strnlen(name, 256) : 0;
    if (length >= 256)
        return nullptr;
    kxMutex* m = static_cast<kxMutex*>(calloc(1, sizeof(kxMutex)));
    if (!m)
        return nullptr;
    if (pthread_mutex_init(&m->mutex, nullptr) != 0)
    {
        free(m);
        return nullptr;
    }
    if (length)
        memcpy(m->identifier, name, length);
    m->identifier[length] = '\0';
    m->check = kMutexCheck;
    return m;
}

const char* kxMutex_Identifier(kxMutex* mutex)
{
    return sValid(mutex) ? mutex->identifier : nullptr;
}

kxErr kxMutex_Destroy(kxMutex** mutex)
{
    if (!mutex)
        return kxErrParam;
    kxMutex* m = *mutex;
    *mutex = nullptr;
    if (!sValid(m))
        return kxErrParam;
    int rc = pthread_mutex_destroy(&m->mutex);
    m->check = 0;
    free(m);
    return kxMutex_MapResult(kxMutexOpDestroy, rc);
}

kxErr kxMutex_Lock(kxMutex* mutex)
{
    if (!sValid(mutex))
        return kxErrParam;
    return kxMutex_MapResult(kxMutexOpLock, pthread_mutex_lock(&mutex->mutex));
}

kxErr kxMutex_TryLock(kxMutex* mutex)
{
    if (!sValid(mutex))
        return kxErrParam;
    return kxMutex_MapResult(kxMutexOpTryLock, pthread_mutex_trylock(&mutex->mutex));
}

kxErr kxMutex_Unlock(kxMutex* mutex)
{
    if (!sValid(mutex))
        return kxErrParam;
    return kxMutex_MapResult(kxMutexOpUnlock, pthread_mutex_unlock(&mutex->mutex));
}
