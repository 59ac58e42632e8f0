// A private ThreadTagStore over a fake runtime heap and thread-local slots that fail on demand.
// Each case builds its own store, so the slot index and every context are the case's own.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/ThreadLocalSlots.h"
#include "stats/ThreadTagStore.h"
#include "support/FakeRuntimeHeap.h"
#include "system/OutOfMemoryHandler.h"
#include "system/SystemHeap.h"

namespace {

// The platform's slots, counted, with allocation and storing failing when asked.
class FakeSlots final : public ThreadLocalSlots {
public:
    uint32_t Alloc() override {
        ++allocs;
        return index = failAlloc ? NoIndex : real_.Alloc();
    }
    void* GetValue(uint32_t slot) override {
        ++gets;
        return real_.GetValue(slot);
    }
    bool SetValue(uint32_t slot, void* value) override {
        ++sets;
        return !failSet && real_.SetValue(slot, value);
    }
    void Free(uint32_t slot) override {
        freed.push_back(slot);
        real_.Free(slot);
    }

    bool failAlloc = false;
    std::atomic<bool> failSet{false};
    std::atomic<int> allocs{0}, gets{0}, sets{0};
    uint32_t index = NoIndex;
    std::vector<uint32_t> freed;

private:
    ThreadLocalSlots& real_ = PlatformThreadLocalSlots();
};

class NoFlush final : public CacheFlusher {
public:
    void Flush() override {}
};

void ExpectTag(const ThreadTagContext* context, const AllocTag& tag, uint32_t depth) {
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(std::make_tuple(context->tag.firstName, context->tag.secondName, context->tag.value,
                              context->depth),
              std::make_tuple(tag.firstName, tag.secondName, tag.value, depth));
}

const AllocTag defaultTag{ThreadTagStore::DefaultName, ThreadTagStore::DefaultName, 0};

class ThreadTagStoreTest : public ::testing::Test {
protected:
    // Built on first use, so a case can make the slot allocation fail beforehand.
    ThreadTagStore& Store() {
        if (!store) store = std::make_unique<ThreadTagStore>(system, slots);
        return *store;
    }

    FakeRuntimeHeap runtime;
    OutOfMemoryHandler handler;
    NoFlush flusher;
    SystemHeap system{runtime, handler, flusher};
    FakeSlots slots;
    std::unique_ptr<ThreadTagStore> store;
    const AllocTag x{"Host.X", "Loading", 11}, y{"Host.Y", "Parsing", 22};
    const AllocTag z{"Host.Z", "Drawing", 33};
};

}  // namespace

TEST_F(ThreadTagStoreTest, FirstPopMakesAContextWithTheDefaultTag) {
    ThreadTagContext* context = Store().Pop();
    ExpectTag(context, defaultTag, 0);
    EXPECT_STREQ(ThreadTagStore::DefaultName, "All.Unknown");
    ASSERT_EQ(runtime.Live().size(), 1u);
    EXPECT_EQ(runtime.Live()[0].address, context);
    EXPECT_EQ(runtime.Live()[0].size, sizeof(ThreadTagContext));
#if UINTPTR_MAX == 0xFFFFFFFFu
    EXPECT_EQ(runtime.Live()[0].size, 16u);
#endif
}

TEST_F(ThreadTagStoreTest, OnlyTheOutermostPushSetsTheTag) {
    ThreadTagContext* context = Store().Push(&x);
    ExpectTag(context, x, 1);
    EXPECT_EQ(Store().Push(&y), context);
    ExpectTag(context, x, 2);
    EXPECT_EQ(Store().Pop(), context);
    ExpectTag(context, x, 1);
    EXPECT_EQ(Store().Pop(), context);
    ExpectTag(context, x, 0);  // the last pop keeps the tag; the default does not come back
    EXPECT_EQ(Store().Pop(), context);
    ExpectTag(context, x, 0);
    EXPECT_EQ(Store().Push(&z), context);
    ExpectTag(context, z, 1);
    // After the first call a thread costs no allocation and no further store.
    EXPECT_EQ(runtime.Calls(), 1u);
    EXPECT_EQ(slots.sets, 1);
}

TEST_F(ThreadTagStoreTest, NullTagsOnlyRaiseTheDepth) {
    // Our choice for a null tag at depth 0: the bracket opens and the current tag stays.
    ThreadTagContext* context = Store().Push(nullptr);
    ExpectTag(context, defaultTag, 1);
    Store().Pop();
    Store().Push(&x);
    EXPECT_EQ(Store().Push(nullptr), context) << "an inner push does not read its tag";
    ExpectTag(context, x, 2);
    Store().Pop();
    Store().Pop();
    Store().Push(nullptr);
    ExpectTag(context, x, 1);
}

TEST_F(ThreadTagStoreTest, EachThreadKeepsItsOwnContext) {
    ThreadTagContext* mine = Store().Push(&x);
    ThreadTagContext* theirs = nullptr;
    std::thread([&] {
        theirs = Store().Pop();
        ExpectTag(theirs, defaultTag, 0);
        Store().Push(&y);
        EXPECT_EQ(Store().Push(&z), theirs);
    }).join();
    EXPECT_NE(theirs, mine);
    ExpectTag(theirs, y, 2);
    EXPECT_EQ(Store().Pop(), mine);
    ExpectTag(mine, x, 0);
    ExpectTag(theirs, y, 2);
    EXPECT_EQ(runtime.Outstanding(), 2u) << "a thread's context outlives the thread";
}

TEST_F(ThreadTagStoreTest, WithoutASlotEveryCallFailsAndTakesNothing) {
    slots.failAlloc = true;
    EXPECT_FALSE(Store().HasIndex());
    // A null tag would be read by any push that got past the missing slot.
    EXPECT_EQ(Store().Push(nullptr), nullptr);
    EXPECT_EQ(Store().Push(&x), nullptr);
    EXPECT_EQ(Store().Pop(), nullptr);
    std::thread([&] { EXPECT_EQ(Store().Pop(), nullptr); }).join();
    EXPECT_EQ(runtime.Calls(), 0u);
    EXPECT_EQ(slots.gets, 0) << "without a slot the platform is not asked";
    EXPECT_EQ(slots.sets, 0);
    EXPECT_EQ(slots.allocs, 1) << "a failed allocation is not retried";
    store.reset();
    EXPECT_TRUE(slots.freed.empty());
}

TEST_F(ThreadTagStoreTest, FailedCreationLeavesNothingAndTheNextCallTriesAgain) {
    runtime.FailAll(true);
    EXPECT_EQ(Store().Push(&x), nullptr);
    EXPECT_EQ(slots.sets, 0) << "nothing to store";
    runtime.FailAll(false);

    slots.failSet = true;
    const unsigned calls = runtime.Calls();
    EXPECT_EQ(Store().Pop(), nullptr);
    EXPECT_EQ(Store().Push(&x), nullptr);
    EXPECT_EQ(runtime.Calls(), calls + 2) << "each call allocates again";
    EXPECT_EQ(runtime.Released().size(), 2u);
    EXPECT_EQ(runtime.Outstanding(), 0u);

    slots.failSet = false;
    ThreadTagContext* context = Store().Push(&x);
    ExpectTag(context, x, 1);
    EXPECT_EQ(Store().Pop(), context);
    EXPECT_EQ(runtime.Outstanding(), 1u);
}

TEST_F(ThreadTagStoreTest, DestroyingTheStoreFreesItsSlotButNoContext) {
    ASSERT_TRUE(Store().HasIndex());
    ASSERT_NE(Store().Pop(), nullptr);
    store.reset();
    EXPECT_EQ(slots.freed, std::vector<uint32_t>{slots.index});
    EXPECT_EQ(slots.allocs, 1);
    EXPECT_EQ(runtime.Outstanding(), 1u);
}
