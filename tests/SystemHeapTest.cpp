#include <gtest/gtest.h>

#include <vector>

#include "support/FakeRuntimeHeap.h"
#include "system/OutOfMemoryHandler.h"
#include "system/SystemHeap.h"

namespace {

struct Call {
    uint32_t size;
    uintptr_t userData;
};
std::vector<Call> calls;

void Record(uint32_t size, uintptr_t userData) { calls.push_back({size, userData}); }

class CountingFlusher final : public CacheFlusher {
public:
    void Flush() override { ++flushes; }
    int flushes = 0;
};

class SystemHeapTest : public ::testing::Test {
protected:
    void SetUp() override { calls.clear(); }

    FakeRuntimeHeap runtime;
    OutOfMemoryHandler handler;
    CountingFlusher cache;
    SystemHeap heap{runtime, handler, cache};
};

}  // namespace

TEST_F(SystemHeapTest, PassesRequestsThroughWhileTheRuntimeHeapServes) {
    void* block = heap.Alloc(123);
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(runtime.Live().size(), 1u);
    EXPECT_EQ(runtime.Live()[0].size, 123u);
    EXPECT_EQ(cache.flushes, 0);
    heap.Free(999, block);  // the size is not needed
    EXPECT_EQ(runtime.Outstanding(), 0u);
    heap.Free(16, nullptr);
    EXPECT_EQ(runtime.Released().size(), 1u);
}

TEST_F(SystemHeapTest, FailureAfterTheFlushReportsOnceWithTheRequestedSize) {
    handler.SetHandler(Record, 77);
    runtime.FailAll(true);
    EXPECT_EQ(heap.Alloc(4096), nullptr);
    EXPECT_EQ(cache.flushes, 1);
    EXPECT_EQ(runtime.Calls(), 2u);  // one try, one retry after the flush, no third
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].size, 4096u);
    EXPECT_EQ(calls[0].userData, 77u);
    // One-shot: the next failure finds no callback.
    EXPECT_EQ(heap.Alloc(8), nullptr);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(cache.flushes, 2);
    EXPECT_TRUE(handler.Validate());
}

TEST_F(SystemHeapTest, RetrySucceedingAfterTheFlushDoesNotReport) {
    handler.SetHandler(Record, 1);
    runtime.FailCall(1);
    void* block = heap.Alloc(64);
    EXPECT_NE(block, nullptr);
    EXPECT_EQ(cache.flushes, 1);
    EXPECT_TRUE(calls.empty());
    heap.Free(64, block);
}

namespace {
OutOfMemoryHandler* rearmTarget;
void Rearm(uint32_t size, uintptr_t userData) {
    calls.push_back({size, userData});
    rearmTarget->SetHandler(Rearm, userData + 1);  // must not block: no handler lock is held
}
}  // namespace

TEST_F(SystemHeapTest, CallbackMayReinstallItselfFromInsideTheCall) {
    rearmTarget = &handler;
    handler.SetHandler(Rearm, 10);
    handler.Report(5);
    handler.Report(6);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].size, 5u);
    EXPECT_EQ(calls[0].userData, 10u);
    EXPECT_EQ(calls[1].size, 6u);
    EXPECT_EQ(calls[1].userData, 11u);
    handler.SetHandler(nullptr, 0);
}

TEST_F(SystemHeapTest, UninstalledOrReplacedHandlers) {
    handler.SetHandler(Record, 3);
    handler.SetHandler(nullptr, 9);
    handler.Report(1);
    EXPECT_TRUE(calls.empty());
    handler.SetHandler(Record, 4);
    handler.SetHandler(Record, 5);  // replaces in place
    handler.Report(2);
    handler.Report(3);  // emptied by the first report
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].userData, 5u);
}
