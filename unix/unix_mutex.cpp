// Named mutexes over POSIX mutexes with default attributes.
#include "unix/unix_mutex.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

struct kxMutex
{
    pthread_mutex_t mutex;
    char identifier[256];
};

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
    return m;
}

const char* kxMutex_Identifier(kxMutex* mutex)
{
    return mutex ? mutex->identifier : nullptr;
}

kxErr kxMutex_Destroy(kxMutex** mutex)
{
    if (!mutex)
        return kxErrParam;
    kxMutex* m = *mutex;
    *mutex = nullptr;
    if (!m)
        return kxErrParam;
    int rc = pthread_mutex_destroy(&m->mutex);
    free(m);
    switch (rc)
    {
        case 0:
            return kxErrNone;
        case EBUSY:
            return kxErrBusy;
        case EINVAL:
            return kxErrParam;
        case EAGAIN:
            return kxErrResource;
        default:
            return kxErrUnknown;
    }
}

kxErr kxMutex_Lock(kxMutex* mutex)
{
    if (!mutex)
        return kxErrParam;
    switch (pthread_mutex_lock(&mutex->mutex))
    {
        case 0:
            return kxErrNone;
        case EDEADLK:
            return kxErrDuplicate;
        case EINVAL:
            return kxErrParam;
        default:
            return kxErrUnknown;
    }
}

kxErr kxMutex_TryLock(kxMutex* mutex)
{
    if (!mutex)
        return kxErrParam;
    switch (pthread_mutex_trylock(&mutex->mutex))
    {
        case 0:
            return kxErrNone;
        case EBUSY:
            return kxErrBusy;
        case EINVAL:
            return kxErrParam;
        default:
            return kxErrUnknown;
    }
}

kxErr kxMutex_Unlock(kxMutex* mutex)
{
    if (!mutex)
        return kxErrParam;
    switch (pthread_mutex_unlock(&mutex->mutex))
    {
        case 0:
            return kxErrNone;
        case EPERM:
            return kxErrPermission;
        case EINVAL:
            return kxErrParam;
        default:
            return kxErrUnknown;
    }
}
