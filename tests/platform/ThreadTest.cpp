#include "tests/support/TempDir.h"
#include <lumbrixon/kxLogger.h>
#include <lumbrixon/kxMutex.h>
#include "unix/unix_mutex_internal.h"
#include <lumbrixon/kxThread.h>
#include <lumbrixon/kxTime.h>
#include "unix/unix_time_internal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

TEST(Mutex, NameLimits)
{
    std::string name255(255, 'm');
    kxMutex* m = kxMutex_Create(name255.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(std::string(kxMutex_Identifier(m)), name255);
    EXPECT_EQ(kxMutex_Destroy(&m), kxErrNone);
    EXPECT_EQ(m, nullptr);
    std::string name256(256, 'm');
    EXPECT_EQ(kxMutex_Create(name256.c_str()), nullptr);
    kxMutex* unnamed = kxMutex_Create(nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(kxMutex_Identifier(unnamed), "");
    kxMutex_Destroy(&unnamed);
}

TEST(Mutex, NullReferences)
{
    kxMutex* none = nullptr;
    EXPECT_EQ(kxMutex_Destroy(&none), kxErrParam);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(kxMutex_Destroy(nullptr), kxErrParam);
    EXPECT_EQ(kxMutex_Lock(nullptr), kxErrParam);
    EXPECT_EQ(kxMutex_TryLock(nullptr), kxErrParam);
    EXPECT_EQ(kxMutex_Unlock(nullptr), kxErrParam);
}

TEST(Mutex, TryLockHeldElsewhere)
{
    kxMutex* m = kxMutex_Create("held");
    ASSERT_EQ(kxMutex_Lock(m), kxErrNone);
    kxErr seen = kxErrNone;
    std::thread other([&] { seen = kxMutex_TryLock(m); });
    other.join();
    EXPECT_EQ(seen, kxErrBusy);
    EXPECT_EQ(kxMutex_Unlock(m), kxErrNone);
    std::thread again(
        [&]
        {
            seen = kxMutex_TryLock(m);
            if (seen == kxErrNone)
                kxMutex_Unlock(m);
        });
    again.join();
    EXPECT_EQ(seen, kxErrNone);
    kxMutex_Destroy(&m);
}

// Default mutexes on this system do not check the owner, so an unlock by a
// thread that does not hold the mutex is never reported as EPERM by the
// system itself; the mapping of the results the system can report is checked
// directly.
TEST(Mutex, SystemResultsMapToErrorCodes)
{
    EXPECT_EQ(kxMutex_MapResult(kxMutexOpUnlock, EPERM), kxErrPermission);
    EXPECT_EQ(kxMutex_MapResult(kxMutexOpUnlock, EINVAL), kxErrParam);
    EXPECT_EQ(kxMutex_MapResult(kxMutexOpUnlock, EBUSY), kxErrUnknown);
    EXPECT_EQ(kxMutex_MapResult(kxMutexOpLock, EDEADLK), kxErrDuplicate);
    EXPECT_EQ(kxMutex_MapResult(kxMutexOpLock, EPERM), kxErrUnknown);
    EXPECT_EQ(kxMutex_MapResult(kxMutexOpTryLock, EBUSY), kxErrBusy);
    EXPECT_EQ(kxMutex_MapResult(kxMutexOpTryLock, EINVAL), kxErrParam);
    EXPECT_EQ(kxMutex_MapResult(kxMutexOpDestroy, EBUSY), kxErrBusy);
    EXPECT_EQ(kxMutex_MapResult(kxMutexOpDestroy, EAGAIN), kxErrResource);
    EXPECT_EQ(kxMutex_MapResult(kxMutexOpDestroy, EINVAL), kxErrParam);
    EXPECT_EQ(kxMutex_MapResult(kxMutexOpDestroy, EDEADLK), kxErrUnknown);
    EXPECT_EQ(kxMutex_MapResult(kxMutexOpLock, 0), kxErrNone);
}

// A wait that nobody signals ends at its deadline on the monotonic clock,
// with the mutex held again; a broadcast ends another thread's wait early.
TEST(Condition, WaitEndsAtTheDeadlineOrOnABroadcast)
{
    kxMutex* m = kxMutex_Create("condition");
    kxCondition* c = kxCondition_Create();
    ASSERT_NE(m, nullptr);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(kxMutex_Lock(m), kxErrNone);
    uint64_t start = kxTime_GetMonotonicNS();
    uint64_t deadline = start + 30000000u;
    kxErr rc = kxErrNone;
    for (int wakeups = 0; rc == kxErrNone && wakeups < 100; ++wakeups)
        rc = kxCondition_WaitUntil(c, m, deadline);
    uint64_t waitedMs = (kxTime_GetMonotonicNS() - start) / 1000000u;
    EXPECT_EQ(rc, kxErrTimeout);
    EXPECT_GE(waitedMs, 29u);
    EXPECT_LT(waitedMs, 2000u);
    EXPECT_EQ(kxMutex_TryLock(m), kxErrBusy) << "the mutex is held again after the wait";
    ASSERT_EQ(kxMutex_Unlock(m), kxErrNone);

    std::atomic<bool> woken{false};
    bool ready = false;
    std::thread waiter(
        [&]
        {
            kxMutex_Lock(m);
            ready = true;
            uint64_t far = kxTime_GetMonotonicNS() + 5000000000u;
            while (!woken.load() && kxCondition_WaitUntil(c, m, far) == kxErrNone)
            {
            }
            kxMutex_Unlock(m);
        });
    uint64_t sent = kxTime_GetMonotonicNS();
    for (bool seen = false; !seen && kxTime_GetMonotonicNS() - sent < 2000000000u;)
    {
        kxMutex_Lock(m);
        seen = ready;
        if (seen)
        {
            woken = true;
            EXPECT_EQ(kxCondition_Broadcast(c), kxErrNone);
        }
        kxMutex_Unlock(m);
        if (!seen)
            kxTime_MSSleep(1);
    }
    waiter.join();
    EXPECT_TRUE(woken.load());
    EXPECT_LT(kxTime_GetMonotonicNS() - sent, 2000000000u) << "the broadcast ended the wait";
    kxCondition_Destroy(&c);
    kxMutex_Destroy(&m);
}

TEST(Thread, RunsAndJoins)
{
    std::atomic<int> ran{0};
    kxThread* t = kxThread_Create(
        [](void* arg) -> int
        {
            static_cast<std::atomic<int>*>(arg)->store(42);
            return 0;
        },
        &ran);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(kxThread_Destroy(&t), 0);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(ran.load(), 42);
    EXPECT_EQ(kxThread_Create(nullptr, nullptr), nullptr);
}

namespace
{
struct SelfProbe
{
    std::atomic<kxThread*> self{nullptr};
    std::atomic<int> current{-1};
};
} // namespace

// A thread recognises its own record; every other thread does not.
TEST(Thread, IsCurrentOnlyInsideTheThread)
{
    SelfProbe probe;
    kxThread* t = kxThread_Create(
        [](void* arg) -> int
        {
            auto* p = static_cast<SelfProbe*>(arg);
            for (int i = 0; i < 2000 && p->self.load() == nullptr; ++i)
                kxTime_MSSleep(1);
            p->current = kxThread_IsCurrent(p->self.load()) ? 1 : 0;
            return 0;
        },
        &probe);
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(kxThread_IsCurrent(t));
    probe.self = t;
    EXPECT_EQ(kxThread_Destroy(&t), 0);
    EXPECT_EQ(probe.current.load(), 1);
}

TEST(Time, SleepSlicesStayUnderOneSecond)
{
    uint32_t slices[4] = {};
    ASSERT_EQ(kxTime_SleepSlices(2500, slices, 4), 3u);
    EXPECT_EQ(slices[0], 999999u);
    EXPECT_EQ(slices[1], 999999u);
    EXPECT_EQ(slices[2], 500002u);
    EXPECT_EQ(kxTime_SleepSlices(0, slices, 4), 0u);
    EXPECT_EQ(kxTime_SleepSlices(1, slices, 4), 1u);
    EXPECT_EQ(slices[0], 1000u);
}

TEST(Time, SleepAndTicks)
{
    uint64_t before = kxTime_GetMSTicks();
    EXPECT_GT(before, 0u);
    EXPECT_EQ(kxTime_MSSleep(30), kxErrNone);
    uint64_t slept = kxTime_GetMSTicks() - before;
    EXPECT_GE(slept, 29u);
    EXPECT_LT(slept, 2000u);
}

namespace
{
// Counts callback calls and the distinct threads that made them.
struct LoggerProbe
{
    std::mutex lock;
    std::set<std::thread::id> threads;
    std::atomic<int> calls{0};
    std::atomic<kxLogger*> self{nullptr};
    std::atomic<int> selfDisable{-1};
    std::atomic<int> selfDestroy{-1};
    std::atomic<bool> destroyOnce{false};
};
LoggerProbe* gProbe = nullptr;

void probeCallback(kxFileRef file, int32_t value)
{
    {
        std::lock_guard<std::mutex> g(gProbe->lock);
        gProbe->threads.insert(std::this_thread::get_id());
    }
    if (gProbe->calls++ == 0)
        kxFile_Printf(file, "value %d\n", value);
    if (kxLogger* self = gProbe->self.load())
    {
        gProbe->selfDisable = static_cast<int>(kxLogger_Disable(self));
        if (gProbe->destroyOnce.exchange(false))
        {
            kxLogger* copy = self;
            gProbe->selfDestroy = static_cast<int>(kxLogger_Destroy(&copy));
        }
    }
    kxTime_MSSleep(2);
}
// Polls `done` every millisecond for up to five seconds.
template <typename Condition> bool eventually(Condition done)
{
    for (int waited = 0; waited < 5000; ++waited)
    {
        if (done())
            return true;
        kxTime_MSSleep(1);
    }
    return done();
}
} // namespace

TEST(Logger, EnableTwiceRunsOneThread)
{
    TempDir dir;
    LoggerProbe probe;
    gProbe = &probe;
    std::string path = dir / "packets.log";
    kxLogger* logger = kxLogger_Create(7, probeCallback, path.c_str());
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(kxLogger_Disable(logger), kxErrNone) << "stopped logger";
    EXPECT_EQ(kxLogger_Enable(logger), kxErrNone);
    EXPECT_EQ(kxLogger_Enable(logger), kxErrNone);
    ASSERT_TRUE(eventually([&] { return probe.calls >= 5; }));
    EXPECT_EQ(kxLogger_Disable(logger), kxErrNone);
    int after = probe.calls;
    kxTime_MSSleep(10);
    EXPECT_EQ(probe.calls, after) << "no calls after disable";
    EXPECT_EQ(probe.threads.size(), 1u);
    EXPECT_EQ(kxLogger_Destroy(&logger), kxErrNone);
    EXPECT_EQ(logger, nullptr);
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "value 7");
    gProbe = nullptr;
}

TEST(Logger, DisableFromLoggingThreadDoesNotStop)
{
    TempDir dir;
    LoggerProbe probe;
    gProbe = &probe;
    kxLogger* logger = kxLogger_Create(1, probeCallback, (dir / "l").c_str());
    ASSERT_NE(logger, nullptr);
    probe.self = logger;
    ASSERT_EQ(kxLogger_Enable(logger), kxErrNone);
    ASSERT_TRUE(eventually([&] { return probe.calls >= 3; }));
    EXPECT_EQ(probe.selfDisable.load(), static_cast<int>(kxErrNone));
    int mid = probe.calls;
    kxTime_MSSleep(10);
    EXPECT_GT(probe.calls, mid) << "still running";
    probe.destroyOnce = true;
    ASSERT_TRUE(eventually([&] { return probe.selfDestroy.load() >= 0; }));
    EXPECT_EQ(probe.selfDestroy.load(), static_cast<int>(kxErrBusy))
        << "the logging thread cannot free its own logger";
    mid = probe.calls;
    kxTime_MSSleep(10);
    EXPECT_GT(probe.calls, mid) << "record kept, still running";
    probe.self = nullptr;
    EXPECT_EQ(kxLogger_Destroy(&logger), kxErrNone) << "destroy stops a running logger";
    EXPECT_EQ(logger, nullptr);
    gProbe = nullptr;
}

TEST(Logger, RefusesBadInput)
{
    EXPECT_EQ(kxLogger_Create(0, probeCallback, "/nonexistent-dir/x/y"), nullptr);
    EXPECT_EQ(kxLogger_Enable(nullptr), kxErrParam);
    EXPECT_EQ(kxLogger_Disable(nullptr), kxErrParam);
    kxLogger* none = nullptr;
    EXPECT_EQ(kxLogger_Destroy(&none), kxErrNone);
}
