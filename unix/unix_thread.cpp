// Joinable threads over POSIX threads.
#include <lumbrixon/kxThread.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <pthread.h>
#include <sched.h>
#include <time.h>

// Threads: the creating thread writes every field before the new thread
// starts; the new thread only reads `function` and `argument`, before it calls
// the function, and never touches the record afterwards. The thread that
// destroys the record joins first, so nobody reads it after the free.
struct kxThread
{
    uint16_t check;
    pthread_t handle;
    kxThreadFunction function;
    void* argument;
};

// The record of the thread running here; null in threads not made here.
static thread_local const kxThread* sCurrent = nullptr;

static bool sValid(const kxThread* t)
{
    return t && t->check == kxTHREAD_CHECK;
}

static void* sThreadMain(void* context)
{
    kxThread* t = static_cast<kxThread*>(context);
    sCurrent = t;
    kxThreadFunction function = t->function;
    void* argument = t->argument;
    function(argument);
    return nullptr;
}

kxThread* kxThread_Create(kxThreadFunction function, void* argument)
{
    if (!function)
        return nullptr;
    kxThread* t = static_cast<kxThread*>(calloc(1, sizeof(kxThread)));
    if (!t)
        return nullptr;
    t->check = kxTHREAD_CHECK;
    t->function = function;
    t->argument = argument;
    if (pthread_create(&t->handle, nullptr, sThreadMain, t) != 0)
    {
        free(t);
        return nullptr;
    }
    return t;
}

int kxThread_Destroy(kxThread** thread)
{
    if (!thread)
        return EINVAL;
    kxThread* t = *thread;
    *thread = nullptr;
    if (!sValid(t))
        return EINVAL;
    int rc = pthread_join(t->handle, nullptr);
    if (rc == EDEADLK)
        pthread_detach(t->handle);
    t->check = 0;
    free(t);
    return rc;
}

bool kxThread_IsCurrent(const kxThread* thread)
{
    return sValid(thread) && sCurrent == thread;
}

void kxThread_Yield(void)
{
    struct timespec pause = {0, 5000};
    nanosleep(&pause, nullptr);
}

void kxThread_Relinquish(void)
{
    sched_yield();
}
