// Named, non-recursive mutexes and condition waits (platform interface,
// implemented in unix/unix_mutex.cpp). Every lock of the library is one of
// these.
#pragma once

#include <lumbrixon/kxError.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxMUTEX_CHECK 0xB0B5
#define kxCONDITION_CHECK 0xC0D7
#define kxMUTEX_NAME_MAX 255

    // A mutex with default attributes: locking it twice from one thread is not
    // allowed (kxErrDuplicate where the system notices). The name, at most
    // kxMUTEX_NAME_MAX characters (null gives an empty one), only labels it.
    typedef struct kxMutex kxMutex;

    // Null for a longer name or when the system mutex cannot be made.
    kxMutex* kxMutex_Create(const char* name);
    // The name given at creation; null for a null or invalid mutex.
    const char* kxMutex_Identifier(kxMutex* mutex);
    // Destroys the system mutex, frees the record and sets *mutex to null in
    // every case. kxErrBusy while it is locked (the record is freed all the
    // same: a locked mutex must not be destroyed).
    kxErr kxMutex_Destroy(kxMutex** mutex);
    // kxErrDuplicate when the calling thread already holds it (if detected).
    kxErr kxMutex_Lock(kxMutex* mutex);
    // kxErrBusy when another thread holds it.
    kxErr kxMutex_TryLock(kxMutex* mutex);
    // kxErrPermission when the system reports that the caller does not own it.
    kxErr kxMutex_Unlock(kxMutex* mutex);

    // A condition variable that waiting threads sleep on, with any kxMutex.
    typedef struct kxCondition kxCondition;

    // Null when the system condition cannot be made.
    kxCondition* kxCondition_Create(void);
    // Frees the record and sets *condition to null in every case. No thread
    // may be waiting on it.
    kxErr kxCondition_Destroy(kxCondition** condition);
    // Called with `mutex` held: releases it, sleeps until the condition is
    // signalled or the monotonic clock (kxTime_GetMonotonicNS) reaches
    // deadlineNs, and takes the mutex again before returning. kxErrTimeout
    // when the deadline has passed; kxErrNone when woken, which may happen
    // without a signal, so callers test their predicate in a loop.
    kxErr kxCondition_WaitUntil(kxCondition* condition, kxMutex* mutex, uint64_t deadlineNs);
    // Wakes one waiter, or every waiter.
    kxErr kxCondition_Signal(kxCondition* condition);
    kxErr kxCondition_Broadcast(kxCondition* condition);

#ifdef __cplusplus
}
#endif
