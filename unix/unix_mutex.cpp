// Named mutexes over POSIX mutexes with default attributes, and condition
// waits over POSIX condition variables on the monotonic clock.
#include <lumbrixon/kxMutex.h>
#include "unix_mutex_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <time.h>

// Threads: any thread may lock, try-lock and unlock `mutex`; `check` and
// `identifier` are written once by the creating thread and only read after.
// Destroy must not race with any other use. Only the one system lock exists.
struct kxMutex
{
    uint16_t check;
    pthread_mutex_t mutex;
    char identifier[kxMUTEX_NAME_MAX + 1];
};

static bool sValid(const kxMutex* m)
{
    return m && m->check == kxMUTEX_CHECK;
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
    size_t length = name ? strnlen(name, kxMUTEX_NAME_MAX + 1) : 0;
    if (length > kxMUTEX_NAME_MAX)
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
    m->check = kxMUTEX_CHECK;
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

// Threads: waiters and signallers use `condition` from any thread, each waiter
// with its own mutex held; `check` is written once by the creating thread.
// Destroy must not race with any other use. No lock of its own.
struct kxCondition
{
    uint16_t check;
    pthread_cond_t condition;
};

static bool sValid(const kxCondition* c)
{
    return c && c->check == kxCONDITION_CHECK;
}

kxCondition* kxCondition_Create(void)
{
    kxCondition* c = static_cast<kxCondition*>(calloc(1, sizeof(kxCondition)));
    if (!c)
        return nullptr;
    pthread_condattr_t attributes;
    bool made = pthread_condattr_init(&attributes) == 0;
    if (made)
    {
        made = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
               pthread_cond_init(&c->condition, &attributes) == 0;
        pthread_condattr_destroy(&attributes);
    }
    if (!made)
    {
        free(c);
        return nullptr;
    }
    c->check = kxCONDITION_CHECK;
    return c;
}

kxErr kxCondition_Destroy(kxCondition** condition)
{
    if (!condition)
        return kxErrParam;
    kxCondition* c = *condition;
    *condition = nullptr;
    if (!sValid(c))
        return kxErrParam;
    int rc = pthread_cond_destroy(&c->condition);
    c->check = 0;
    free(c);
    return rc == 0 ? kxErrNone : rc == EBUSY ? kxErrBusy : kxErrUnknown;
}

kxErr kxCondition_WaitUntil(kxCondition* condition, kxMutex* mutex, uint64_t deadlineNs)
{
    if (!sValid(condition) || !sValid(mutex))
        return kxErrParam;
    struct timespec deadline;
    deadline.tv_sec = static_cast<time_t>(deadlineNs / 1000000000u);
    deadline.tv_nsec = static_cast<long>(deadlineNs % 1000000000u);
    int rc = pthread_cond_timedwait(&condition->condition, &mutex->mutex, &deadline);
    if (rc == 0)
        return kxErrNone;
    return rc == ETIMEDOUT ? kxErrTimeout : rc == EINVAL ? kxErrParam : kxErrUnknown;
}

kxErr kxCondition_Signal(kxCondition* condition)
{
    if (!sValid(condition))
        return kxErrParam;
    return pthread_cond_signal(&condition->condition) == 0 ? kxErrNone : kxErrUnknown;
}

kxErr kxCondition_Broadcast(kxCondition* condition)
{
    if (!sValid(condition))
        return kxErrParam;
    return pthread_cond_broadcast(&condition->condition) == 0 ? kxErrNone : kxErrUnknown;
}
