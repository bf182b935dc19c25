// Joinable threads over POSIX threads.
#include "unix/unix_thread.h"

#include <cstdint>
#include <cstdlib>
#include <pthread.h>
#include <time.h>

static const uint16_t kThreadCheck = 0x7EAD;

// Threads: the creating thread writes every field before the new thread
// starts; the new thread only reads `function` and `argument`. The thread
// that destroys the record joins first, so nobody reads it after the free.
struct kxThread
{
    uint16_t check;
    pthread_t handle;
    kxThreadFunction function;
    void* argument;
};

static void* sThreadMain(void* context)
{
    kxThread* t = static_cast<kxThread*>(context);
    t->function(t->argument);
    return nullptr;
}

kxThread* kxThread_Create(kxThreadFunction function, void* argument)
{
    if (!function)
        return nullptr;
    kxThread* t = static_cast<kxThread*>(calloc(1, sizeof(kxThread)));
    if (!t)
        return nullptr;
    t->function = function;
    t->argument = argument;
    t->check = kThreadCheck;
    if (pthread_create(&t->handle, nullptr, sThreadMain, t) != 0)
    {
        free(t);
        return nullptr;
    }
    return t;
}

int kxThread_Destroy(kxThread** thread)
{
    if (!thread || !*thread || (*thread)->check != kThreadCheck)
        return kxErrParam;
    kxThread* t = *thread;
    int rc = pthread_join(t->handle, nullptr);
    t->check = 0;
    free(t);
    *thread = nullptr;
    return rc;
}

void kxThread_Yield(void)
{
    struct timespec pause = {0, 5000};
    nanosleep(&pause, nullptr);
}
