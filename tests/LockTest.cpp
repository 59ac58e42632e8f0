#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "IQXMemory.h"

namespace {

// True if another thread can take and leave the lock within a few seconds.
bool FreeForAnotherThread(CriticalSectionLock& lock) {
    auto taken = std::async(std::launch::async, [&] {
        lock.Lock();
        lock.Unlock();
    });
    return taken.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
}

}  // namespace

TEST(CriticalSectionLock, NestedEntriesMustAllBeLeft) {
    CriticalSectionLock lock;
    lock.Lock();
    lock.Lock();  // the owner enters again without blocking
    lock.Unlock();
    auto blocked = std::async(std::launch::async, [&] {
        lock.Lock();
        lock.Unlock();
    });
    EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
        << "one Unlock of two must leave the lock held";
    lock.Unlock();
    EXPECT_EQ(blocked.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(FreeForAnotherThread(lock));
}

TEST(CriticalSectionLock, ScopedLockReleasesOnEarlyReturn) {
    CriticalSectionLock lock;
    auto guarded = [&](bool leaveEarly) {
        ScopedLock hold(lock);
        if (leaveEarly) return 1;
        return 2;
    };
    EXPECT_EQ(guarded(true), 1);
    EXPECT_TRUE(FreeForAnotherThread(lock));
    EXPECT_EQ(guarded(false), 2);
    EXPECT_TRUE(FreeForAnotherThread(lock));
}

TEST(CriticalSectionLock, ExcludesOtherThreadsUnderContention) {
    CriticalSectionLock lock;
    long counter = 0;
    const int perThread = 20000;
    auto work = [&] {
        for (int i = 0; i < perThread; ++i) {
            ScopedLock outer(lock);
            ScopedLock inner(lock);
            long seen = counter;
            counter = seen + 1;
        }
    };
    std::thread a(work), b(work), c(work);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(counter, 3L * perThread);
}

TEST(CriticalSectionLock, VirtualSlotsDriveTheSameLock) {
    CriticalSectionLock lock;
    ILock& asInterface = lock;
    asInterface.Lock();
    lock.Enter();
    lock.Leave();
    asInterface.Unlock();
    EXPECT_TRUE(FreeForAnotherThread(lock));
}
