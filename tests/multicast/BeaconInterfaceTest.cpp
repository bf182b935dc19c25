// The beacon-interface lock and CZMQ's interface setting.
#include <lumbrixon/kxError.h>
#include <lumbrixon/zBeaconInterface.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace
{

using namespace std::chrono_literals;

// Another thread that takes the lock and gives it back. The thread is detached
// and shares its promise with the caller, so a lock that stays held blocks
// only that thread: the caller's wait on the future is bounded, and dropping
// the future never waits (unlike one from std::async).
std::future<void> _takeLock()
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> taken = done->get_future();
    std::thread(
        [done]
        {
            zBeaconInterface_getAndLock();
            zBeaconInterface_unlock();
            done->set_value();
        })
        .detach();
    return taken;
}

// True when another thread can take the lock within the time given. When it
// cannot, the lock was left held by this thread, where every locking call of
// these tests is made: it is released, so that the other thread finishes and
// the tests that follow do not deadlock on it.
bool _lockIsFree(std::chrono::milliseconds within)
{
    if (_takeLock().wait_for(within) == std::future_status::ready)
        return true;
    zBeaconInterface_unlock();
    return false;
}

class BeaconInterface : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(zBeaconInterface_setAndLock(""));
        zBeaconInterface_unlock();
    }
    void TearDown() override
    {
        kxLumbrixonDebuggingEnable = 0;
        kxLumbrixonDebuggingLevel = 0;
    }
};

TEST_F(BeaconInterface, InvalidTextsAreRefusedWithoutLocking)
{
    for (const char* text : {"eth0", "256.1.1.1", "10.0.0", "10.0.0.5 ", "**", "localhost"})
    {
        EXPECT_FALSE(zBeaconInterface_setAndLock(text)) << text;
        EXPECT_FALSE(zBeaconInterface_backupSetAndLock(text)) << text;
    }
    EXPECT_FALSE(zBeaconInterface_setAndLock(nullptr));
    EXPECT_STREQ(zBeaconInterface_get(), "");
    EXPECT_TRUE(_lockIsFree(2000ms));
}

TEST_F(BeaconInterface, ValidTextsLockAndSetTheInterface)
{
    for (const char* text : {"*", "192.168.1.10", ""})
    {
        ASSERT_TRUE(zBeaconInterface_setAndLock(text)) << text;
        EXPECT_STREQ(zBeaconInterface_get(), text);
        std::future<void> other = _takeLock();
        EXPECT_EQ(other.wait_for(50ms), std::future_status::timeout) << text;
        zBeaconInterface_unlock();
        EXPECT_EQ(other.wait_for(2000ms), std::future_status::ready) << text;
    }
}

TEST_F(BeaconInterface, RestoreSetsBackWhatWasThereBefore)
{
    ASSERT_TRUE(zBeaconInterface_setAndLock("192.168.1.10"));
    zBeaconInterface_unlock();

    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("10.0.0.5"));
    EXPECT_STREQ(zBeaconInterface_get(), "10.0.0.5");
    EXPECT_STREQ(zBeaconInterface_getBackup(), "192.168.1.10");
    zBeaconInterface_restoreAndUnlock();
    EXPECT_STREQ(zBeaconInterface_get(), "192.168.1.10");
    EXPECT_TRUE(_lockIsFree(2000ms));

    EXPECT_STREQ(zBeaconInterface_getBackupAndLock(), "192.168.1.10");
    zBeaconInterface_unlock();
}

TEST_F(BeaconInterface, ThreadsNeverConfigureOnEachOthersInterface)
{
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> mismatches{0};
    auto worker = [&](const char* text, bool backup)
    {
        for (int i = 0; i < 200; i++)
        {
            bool locked = backup ? zBeaconInterface_backupSetAndLock(text)
                                 : zBeaconInterface_setAndLock(text);
            if (!locked)
            {
                mismatches++;
                continue;
            }
            if (inside.fetch_add(1) != 0)
                overlaps++;
            std::this_thread::yield();
            if (std::string(zBeaconInterface_get()) != text)
                mismatches++;
            inside.fetch_sub(1);
            if (backup)
                zBeaconInterface_restoreAndUnlock();
            else
                zBeaconInterface_unlock();
        }
    };
    std::thread server(worker, "192.168.1.10", false);
    std::thread search(worker, "10.0.0.5", true);
    worker("*", false);
    server.join();
    search.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(BeaconInterface, LockMessagesAppearOnlyWithLibraryDebugging)
{
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(zBeaconInterface_setAndLock("*"));
    zBeaconInterface_unlock();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

    kxLumbrixonDebuggingEnable = 1;
    kxLumbrixonDebuggingLevel = kxDebugBeacon;
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(zBeaconInterface_setAndLock("*"));
    zBeaconInterface_unlock();
    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("10.0.0.5"));
    zBeaconInterface_restoreAndUnlock();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("zBeaconInterface_setAndLock PRE-LOCK\n"), std::string::npos) << out;
    EXPECT_NE(out.find("zBeaconInterface_setAndLock LOCKED\n"), std::string::npos) << out;
    EXPECT_NE(out.find("zBeaconInterface_unlock: UNLOCKING\n"), std::string::npos) << out;
    EXPECT_NE(out.find("zBeaconInterface_restoreAndUnlock UNLOCKING\n"), std::string::npos) << out;
}

} // namespace
