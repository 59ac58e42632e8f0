// Every lock of the library taken and left as the fork handlers do it, driven without forking:
// which locks are held, how deeply, and that the order agrees with every path a thread of the
// library or of a host can be on when the fork comes, so that taking them all cannot deadlock.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "common/DefaultAlignment.h"
#include "interface/LibraryLocks.h"
#include "support/LockProbe.h"
#include "support/PoolWiring.h"

namespace {

// A runtime heap that can stop the next request of a given size until told to go on, so that a
// thread can be caught holding the locks it holds while it asks for memory.
class GatedRuntimeHeap final : public FakeRuntimeHeap {
public:
    void* Allocate(uint32_t size) override {
        {
            std::unique_lock<std::mutex> hold(mutex_);
            if (size == pauseSize_) {
                pauseSize_ = 0;
                paused_ = true;
                changed_.notify_all();
                changed_.wait(hold, [&] { return !paused_; });
            }
        }
        return FakeRuntimeHeap::Allocate(size);
    }

    void PauseAt(uint32_t size) {
        std::lock_guard<std::mutex> hold(mutex_);
        pauseSize_ = size;
    }
    void WaitUntilPaused() {
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait(hold, [&] { return paused_; });
    }
    void Resume() {
        std::lock_guard<std::mutex> hold(mutex_);
        paused_ = false;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    uint32_t pauseSize_ = 0;
    bool paused_ = false;
};

// Every subsystem with a lock, wired like the library's singletons.
struct Library : PoolWiringOver<GatedRuntimeHeap> {
    LibraryLocks Locks() { return {&registry, &small, &cache, &handler}; }

    SmallMemAllocator small{cache};
    BankRegistry registry{system, cache};
};

std::vector<CriticalSectionLock*> InOrder(const LibraryLocks& locks, bool reversed = false) {
    std::vector<CriticalSectionLock*> all;
    locks.ForEachLock([&](CriticalSectionLock& lock) { all.push_back(&lock); }, reversed);
    return all;
}

// How many locks, from the first in order, the thread owns; -1 when it owns any after those.
int OwnedPrefix(const LibraryLocks& locks, uintptr_t thread) {
    const std::vector<CriticalSectionLock*> all = InOrder(locks);
    size_t owned = 0;
    while (owned < all.size() && LockProbe::Owner(*all[owned]) == thread) ++owned;
    for (size_t i = owned; i < all.size(); ++i)
        if (LockProbe::Owner(*all[i]) == thread) return -1;
    return int(owned);
}

// A deadlock cannot be undone from inside the process: report it and end the run, rather than
// leave it hanging.
void FinishOrDie(std::future<void>& done, const char* what) {
    if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return;
    std::fprintf(stderr, "%s: still waiting after 10 s, locks taken in conflicting orders\n", what);
    std::fflush(stderr);
    std::_Exit(1);
}

// A thread doing what the fork handlers do around a fork: takes every lock, holds them until
// told to go on, then leaves each once.
class Forker {
public:
    explicit Forker(const LibraryLocks& locks) : locks_(locks) {
        acquired_ = acquiredSignal_.get_future();
        done_ = std::async(std::launch::async, [this] {
            id_.set_value(LockProbe::Self());
            locks_.Acquire();
            acquiredSignal_.set_value();
            release_.get_future().wait();
            locks_.Release();
        });
        thread_ = id_.get_future().get();
    }
    ~Forker() {
        if (!released_) Release();
    }
    Forker(const Forker&) = delete;
    Forker& operator=(const Forker&) = delete;

    uintptr_t Thread() const { return thread_; }
    void WaitUntilHoldingAll() { FinishOrDie(acquired_, "taking every lock"); }
    void Release() {
        released_ = true;
        release_.set_value();
        FinishOrDie(done_, "leaving every lock");
    }

private:
    const LibraryLocks locks_;
    std::promise<uintptr_t> id_;
    std::promise<void> acquiredSignal_;
    std::promise<void> release_;
    std::future<void> acquired_;
    std::future<void> done_;
    uintptr_t thread_ = 0;
    bool released_ = false;
};

// A host thread that takes a lock of the library and holds it until told to go on, then does
// its work under it (leaving the lock last).
class HostHolding {
public:
    template <typename Take, typename Work>
    HostHolding(Take take, Work work) {
        std::promise<void> held;
        std::future<void> isHeld = held.get_future();
        std::future<void> goOn = goOn_.get_future();
        done_ = std::async(std::launch::async, [take, work, &held, goOn = std::move(goOn)] {
            take();
            held.set_value();
            goOn.wait();
            work();
        });
        isHeld.wait();
    }
    void GoOnAndFinish(const char* what) {
        goOn_.set_value();
        FinishOrDie(done_, what);
    }

private:
    // The promise goes first if a test stops early: the host then goes on and ends.
    std::future<void> done_;
    std::promise<void> goOn_;
};

// CreateBank on another thread, into made, held where it asks the runtime heap for a new chunk
// (under the registry's lock) until the runtime is told to resume.
std::future<void> CreateBankPausedForAChunk(Library& library, IAllocator*& made) {
    library.runtime.PauseAt(sizeof(BankChunk));
    auto creator =
        std::async(std::launch::async, [&] { made = library.registry.CreateBank(24, 100, false); });
    library.runtime.WaitUntilPaused();
    return creator;
}

// Long enough for a thread that was just started to reach a lock it must wait for.
void LetItRunIntoTheLock() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

}  // namespace

TEST(LibraryLocksTest, TakesEveryLockOnceAndLeavesEachAsItWas) {
    Library library;
    std::vector<IAllocator*> banks;
    for (uint32_t i = 0; i <= BankChunk::SlotCount; ++i)
        banks.push_back(library.registry.CreateBank(16, 10, false));
    void* element = banks.back()->Alloc();
    void* small = library.small.Alloc(100);
    ASSERT_NE(element, nullptr);
    ASSERT_NE(small, nullptr);

    const LibraryLocks locks = library.Locks();
    const std::vector<CriticalSectionLock*> all = InOrder(locks);
    ASSERT_EQ(all.size(), 3 + 2 * BankChunk::SlotCount + SmallMemAllocator::BinCount + 2)
        << "three of the registry, every bank of both chunks, the bins, cache and handler";
    const std::set<CriticalSectionLock*> distinct(all.begin(), all.end());
    EXPECT_EQ(distinct.size(), all.size());
    const std::vector<CriticalSectionLock*> backwards = InOrder(locks, true);
    EXPECT_EQ(std::set<CriticalSectionLock*>(backwards.begin(), backwards.end()), distinct);
    EXPECT_EQ(backwards.size(), all.size());

    // The forking thread may hold a lock already, here the user list while walking it: the
    // handlers enter it once more and leave it once, so this thread still holds it afterwards.
    ListNode* first;
    ListNode* end;
    library.registry.LockUserList(&first, &end);
    CriticalSectionLock& userList = *all[0];
    ASSERT_EQ(LockProbe::Depth(userList), 1u) << "the user list comes first";

    locks.Acquire();
    for (CriticalSectionLock* lock : all) {
        EXPECT_EQ(LockProbe::Owner(*lock), LockProbe::Self());
        EXPECT_EQ(LockProbe::Depth(*lock), lock == &userList ? 2u : 1u);
    }
    locks.Release();
    EXPECT_EQ(LockProbe::Owner(userList), LockProbe::Self());
    EXPECT_EQ(LockProbe::Depth(userList), 1u);
    for (size_t i = 1; i < all.size(); ++i) EXPECT_TRUE(LockProbe::IsFree(*all[i])) << i;
    library.registry.UnlockUserList();
    EXPECT_TRUE(LockProbe::IsFree(userList));

    // Another thread finds everything free.
    auto other = std::async(std::launch::async, [&] {
        library.small.Free(small);
        banks.back()->Free(element);
        library.small.Free(library.small.Alloc(300));
        IAllocator* bank = library.registry.CreateBank(40, 20, false);
        bank->Free(bank->Alloc());
        bank->Release();
        library.cache.Flush();
        library.handler.SetHandler(nullptr, 0);
    });
    FinishOrDie(other, "using the library after the locks were left");
    EXPECT_TRUE(library.registry.Validate());
    EXPECT_TRUE(library.cache.Validate());
    EXPECT_TRUE(library.small.Bin(3).Validate());
}

TEST(LibraryLocksTest, SubsystemsNotYetMadeAreLeftOut) {
    Library library;
    const LibraryLocks none;
    EXPECT_TRUE(InOrder(none).empty());
    none.Acquire();
    none.Release();

    LibraryLocks cacheOnly;
    cacheOnly.cache = &library.cache;
    EXPECT_EQ(InOrder(cacheOnly), std::vector<CriticalSectionLock*>{&library.cache.GetLock()});
    cacheOnly.Acquire();
    EXPECT_EQ(LockProbe::Owner(library.cache.GetLock()), LockProbe::Self());
    cacheOnly.Release();
    EXPECT_TRUE(LockProbe::IsFree(library.cache.GetLock()));

    // A registry that has made no chunk has its three locks and no bank.
    LibraryLocks registryOnly;
    registryOnly.registry = &library.registry;
    EXPECT_EQ(InOrder(registryOnly).size(), 3u);
}

// The order, checked against each path on which a thread holds one lock and then takes another:
// a fork prepared meanwhile must wait at the first and never hold the second, or neither thread
// would go on. While it waits, it holds exactly the locks before the one it waits for.

TEST(LibraryLocksTest, AHostHoldingTheUserListMayCreateBanksAndAllocate) {
    Library library;
    const LibraryLocks locks = library.Locks();
    HostHolding host(
        [&] {
            ListNode* first;
            ListNode* end;
            library.registry.LockUserList(&first, &end);
        },
        [&] {
            IAllocator* bank = library.registry.CreateBank(24, 100, false);
            bank->Free(bank->Alloc());
            bank->Release();
            library.small.Free(library.small.Alloc(100));
            library.registry.UnlockUserList();
        });

    Forker forker(locks);
    LetItRunIntoTheLock();
    EXPECT_EQ(OwnedPrefix(locks, forker.Thread()), 0);
    host.GoOnAndFinish("a host holding the user list, creating a bank");
    forker.WaitUntilHoldingAll();
    EXPECT_EQ(OwnedPrefix(library.Locks(), forker.Thread()), int(InOrder(library.Locks()).size()))
        << "including the banks of the chunk the host made";
    forker.Release();
}

TEST(LibraryLocksTest, AHostHoldingTheBankListMayAllocateFromBanks) {
    Library library;
    IAllocator* bank = library.registry.CreateBank(24, 100, true);
    const LibraryLocks locks = library.Locks();
    HostHolding host(
        [&] {
            ListNode* first;
            ListNode* end;
            library.registry.LockBankList(&first, &end);
        },
        [&] {
            void* element = bank->Alloc();  // a bank, then the cache for its first page
            bank->Free(element);
            library.small.Free(library.small.Alloc(500));
            library.handler.SetHandler(nullptr, 0);
            library.registry.UnlockBankList();
        });

    Forker forker(locks);
    LetItRunIntoTheLock();
    EXPECT_EQ(OwnedPrefix(locks, forker.Thread()), 2) << "the user list and the registry";
    host.GoOnAndFinish("a host holding the bank list, allocating");
    forker.WaitUntilHoldingAll();
    forker.Release();
    bank->Release();
}

TEST(LibraryLocksTest, ARegistryWaitingForAChunkGoesOnToTheBankList) {
    Library library;
    const LibraryLocks locks = library.Locks();
    IAllocator* made = nullptr;
    auto creator = CreateBankPausedForAChunk(library, made);

    Forker forker(locks);
    LetItRunIntoTheLock();
    EXPECT_EQ(OwnedPrefix(locks, forker.Thread()), 1) << "the user list only";
    library.runtime.Resume();  // the chunk's banks are linked under the bank list's lock
    FinishOrDie(creator, "CreateBank making a chunk");
    ASSERT_NE(made, nullptr);
    forker.WaitUntilHoldingAll();
    EXPECT_EQ(OwnedPrefix(locks, forker.Thread()), int(InOrder(locks).size()))
        << "the fork walked the chunks once it held the registry, and met the new one";
    forker.Release();
    made->Release();
}

namespace {

int reports = 0;
void CountReport(uint32_t, uintptr_t) { ++reports; }

}  // namespace

TEST(LibraryLocksTest, ARegistryWhoseChunkRequestFailsFlushesTheCacheAndReports) {
    Library library;
    const LibraryLocks locks = library.Locks();
    library.handler.SetHandler(CountReport, 0);
    reports = 0;
    IAllocator* made = &library.small.Bin(0);
    auto creator = CreateBankPausedForAChunk(library, made);

    Forker forker(locks);
    LetItRunIntoTheLock();
    EXPECT_EQ(OwnedPrefix(locks, forker.Thread()), 1) << "the user list only";
    library.runtime.FailAll(true);
    library.runtime.Resume();  // the flush takes the cache's lock, the report the handler's
    FinishOrDie(creator, "CreateBank failing to make a chunk");
    EXPECT_EQ(made, nullptr);
    EXPECT_EQ(reports, 1);
    forker.WaitUntilHoldingAll();
    forker.Release();
    library.runtime.FailAll(false);
}

TEST(LibraryLocksTest, ACacheWhoseBlockRequestFailsReports) {
    Library library;
    library.registry.CreateBank(24, 100, false)->Release();  // a chunk of banks for the fork
    const LibraryLocks locks = library.Locks();
    library.handler.SetHandler(CountReport, 0);
    reports = 0;
    library.runtime.PauseAt(65536 + DefaultAlignment);
    void* block = &library;
    const AllocTag tag{"", "", 0};
    auto taker = std::async(std::launch::async, [&] { block = library.cache.Get(4, &tag); });
    library.runtime.WaitUntilPaused();

    Forker forker(locks);
    LetItRunIntoTheLock();
    const std::vector<CriticalSectionLock*> all = InOrder(locks);
    EXPECT_EQ(OwnedPrefix(locks, forker.Thread()), int(all.size()) - 2)
        << "everything before the cache: the registry's locks, its banks and the bins";
    library.runtime.FailAll(true);
    library.runtime.Resume();
    FinishOrDie(taker, "a block request failing under the cache's lock");
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(reports, 1);
    forker.WaitUntilHoldingAll();
    forker.Release();
    library.runtime.FailAll(false);
}
