// Joinable threads (platform interface, implemented in unix/unix_thread.cpp).
#pragma once

#include <lumbrixon/kxError.h>
#include <stdbool.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxTHREAD_CHECK 0x7EAD

    typedef struct kxThread kxThread;
    // The thread's function; its result is not read.
    typedef int (*kxThreadFunction)(void* argument);

    // Starts a joinable thread with default attributes running
    // function(argument). Null when function is null, or allocation or thread
    // creation fails.
    kxThread* kxThread_Create(kxThreadFunction function, void* argument);
    // Waits for the thread to end (join), frees the record, sets *thread to
    // null and returns 0, or the system's non-zero join status unchanged. The
    // result is a system error number, not a kxErr: a null *thread or one that
    // is not a thread gives EINVAL (and *thread is set to null). A thread that
    // destroys its own record gets EDEADLK: the record is freed all the same
    // and the thread detached, so that it ends on its own.
    int kxThread_Destroy(kxThread** thread);
    // True when called from the thread the record runs; false for any other
    // thread and for a null or invalid record.
    bool kxThread_IsCurrent(const kxThread* thread);
    // Sleeps 5 microseconds; for busy-wait loops.
    void kxThread_Yield(void);
    // Gives the processor to another thread that is ready to run, if any, and
    // returns at once otherwise (no sleep); for short polling loops.
    void kxThread_Relinquish(void);

#ifdef __cplusplus
}
#endif
