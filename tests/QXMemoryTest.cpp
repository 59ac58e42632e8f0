// The interface object, reached the way hosts reach it, over a fake runtime heap.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "IQXMemory.h"
#include "common/DefaultAlignment.h"
#include "common/HeaderWord.h"
#include "support/FakeRuntimeHeap.h"

namespace {

// The process-wide block cache may hold blocks of the real heap: they go back there before the
// fake heap is installed, and blocks cached during a case go back to the fake before it goes.
IQXMemory* WithEmptyBlockCache() {
    GetIQXMemory()->FlushBlockCache();
    return GetIQXMemory();
}

class QXMemoryTest : public ::testing::Test {
protected:
    void TearDown() override {
        memory->SetOutOfMemoryHandler(nullptr, 0);
        memory->FlushBlockCache();
    }

    IQXMemory* memory = WithEmptyBlockCache();
    FakeRuntimeHeap runtime;
    ScopedRuntimeHeap seam{runtime};
};

std::vector<std::pair<uint32_t, uintptr_t>> reports;
void Record(uint32_t size, uintptr_t userData) { reports.push_back({size, userData}); }

}  // namespace

TEST_F(QXMemoryTest, GetIQXMemoryAnswersTheSameObjectFromEveryThread) {
    ASSERT_NE(memory, nullptr);
    std::vector<IQXMemory*> seen(4);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = GetIQXMemory(); });
    for (auto& t : threads) t.join();
    for (IQXMemory* other : seen) EXPECT_EQ(other, memory);
}

TEST_F(QXMemoryTest, LinkagePointsAtAZeroedObject) {
    ASSERT_NE(_pQXMemoryLinkageExported, nullptr);
    for (uint32_t word : _pQXMemoryLinkageExported->reserved) EXPECT_EQ(word, 0u);
}

TEST_F(QXMemoryTest, LargeRequestsAreAlignedHeapBlocks) {
    for (uint32_t size : {512u, 513u, 4096u, 1u << 20}) {
        char* block = static_cast<char*>(memory->Alloc(size));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(HeaderWord::Kind(HeaderWord::Read(block)), HeaderWord::KindAlignedBlock);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % QXMEMORY_ALLOC_ALIGNMENT, 0u);
        EXPECT_EQ(runtime.Live().back().size, size + DefaultAlignment);
        block[0] = block[size - 1] = 1;
        memory->Free(block);
    }
    EXPECT_EQ(runtime.Outstanding(), 0u);
}

TEST_F(QXMemoryTest, AlignedRequestsNeverUseTheSmallBins) {
    char* block = static_cast<char*>(memory->AllocAligned(100, 8));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(HeaderWord::Kind(HeaderWord::Read(block)), HeaderWord::KindAlignedBlock);
    EXPECT_EQ(runtime.Live().back().size, 108u);
    memory->Free(block);
    char* wide = static_cast<char*>(memory->AllocAligned(3, 4096));
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(wide) % 4096, 0u);
    memory->Free(wide);
    EXPECT_EQ(runtime.Outstanding(), 0u);
}

TEST_F(QXMemoryTest, TaggedOverloadsAnswerAsTheUntaggedOnes) {
    char* tagged = static_cast<char*>(memory->Alloc(600, uintptr_t(0x1234)));
    ASSERT_NE(tagged, nullptr);
    EXPECT_EQ(runtime.Live().back().size, 600 + DefaultAlignment);
    memory->Free(tagged);
    char* aligned = static_cast<char*>(memory->AllocAligned(50, 64, uintptr_t(7)));
    ASSERT_NE(aligned, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(aligned) % 64, 0u);
    EXPECT_EQ(runtime.Live().back().size, 50u + 64 + 3);
    memory->Free(aligned);
    EXPECT_EQ(memory->AllocAligned(10, 0, uintptr_t(1)), nullptr);
}

TEST_F(QXMemoryTest, RejectedRequestsAllocateNothing) {
    EXPECT_EQ(memory->AllocAligned(100, 0), nullptr);
    EXPECT_EQ(memory->AllocAligned(100, 0x10000001u), nullptr);
    EXPECT_EQ(memory->Alloc(0xFFFFFFFFu), nullptr);
    EXPECT_EQ(memory->AllocAligned(0xFFFFFFF0u, 64), nullptr);
    EXPECT_EQ(runtime.Calls(), 0u);
}

TEST_F(QXMemoryTest, FreeDispatchesOnTheKindOnly) {
    memory->Free(nullptr);
    // A bank element (kind 0) and the never-written kinds are left alone.
    uint32_t fakeElement[2] = {0x00000005u, 0};
    memory->Free(&fakeElement[1]);
    uint32_t strange[2] = {0xA0000000u, 0};
    memory->Free(&strange[1]);
    EXPECT_TRUE(runtime.Released().empty());
}

TEST_F(QXMemoryTest, InertSlotsGiveTheirFixedAnswers) {
    int local = 0;
    memory->LargeBlockHookA(1, 2);
    memory->LargeBlockHookB(3, 4);
    EXPECT_FALSE(memory->LargeBlockTest(&local));
    EXPECT_FALSE(memory->LargeBlockTest(nullptr));
    EXPECT_EQ(memory->LargeBlockQuery(&local, 99), 0);
    EXPECT_EQ(memory->LargeHeapCounter(), 0u);
    EXPECT_EQ(memory->SmallHeapCounter(), 0u);
    EXPECT_EQ(runtime.Calls(), 0u);
}

TEST_F(QXMemoryTest, OutOfMemoryReachesTheCallbackOnceWithTheRawSize) {
    reports.clear();
    memory->SetOutOfMemoryHandler(Record, 42);
    runtime.FailAll(true);
    EXPECT_EQ(memory->Alloc(1000), nullptr);
    EXPECT_EQ(memory->AllocAligned(10, 32), nullptr);  // the handler is empty by now
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].first, 1000 + DefaultAlignment);
    EXPECT_EQ(reports[0].second, 42u);
}

TEST_F(QXMemoryTest, ReportOutOfMemoryActsAsAFailedAllocation) {
    reports.clear();
    memory->ReportOutOfMemory(5);  // nothing installed
    memory->SetOutOfMemoryHandler(Record, 8);
    memory->ReportOutOfMemory(77);
    memory->ReportOutOfMemory(78);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].first, 77u);
    EXPECT_EQ(reports[0].second, 8u);
}

TEST_F(QXMemoryTest, ConcurrentLargeBlocksComeBackWhole) {
    auto work = [this](int seed) {
        std::vector<char*> held;
        for (int i = 0; i < 300; ++i) {
            const uint32_t size = 512 + uint32_t((i * 7919 + seed) % 5000);
            char* block = static_cast<char*>(memory->Alloc(size));
            ASSERT_NE(block, nullptr);
            block[0] = char(seed);
            block[size - 1] = char(seed);
            held.push_back(block);
            if (held.size() > 20) {
                ASSERT_EQ(held.front()[0], char(seed));
                memory->Free(held.front());
                held.erase(held.begin());
            }
        }
        for (char* block : held) memory->Free(block);
    };
    std::thread a(work, 1), b(work, 2);
    a.join();
    b.join();
    EXPECT_EQ(runtime.Outstanding(), 0u);
}
