// The pooled slots reached the way hosts reach them, through GetIQXMemory(). The singletons
// live for the whole process, so each case reasons only about what it creates itself, leaves
// the cache flushed at its default budget, and takes banks only from the real runtime heap
// (a registry chunk must not come from a fake heap that dies with the test).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "IQXMemory.h"
#include "common/DefaultAlignment.h"
#include "common/HeaderWord.h"
#include "interface/Singletons.h"
#include "pool/BankRegistry.h"
#include "pool/BlockCache.h"
#include "pool/SmallMemAllocator.h"
#include "support/FakeRuntimeHeap.h"

namespace {

void* RawOf(void* block) {
    return static_cast<char*>(block) - 4 - HeaderWord::Payload(HeaderWord::Read(block));
}

std::vector<uint32_t> reportedSizes;
void RecordReport(uint32_t size, uintptr_t) { reportedSizes.push_back(size); }

class PoolInterfaceTest : public ::testing::Test {
protected:
    // Blocks cached so far came from the real heap: they go back there before any fake is in.
    void SetUp() override {
        memory->FlushBlockCache();
        reportedSizes.clear();
    }
    // Blocks cached during the case go back to whichever heap they came from.
    void TearDown() override {
        memory->FlushBlockCache();
        memory->SetBlockCacheLimit(BlockCache::DefaultLimit);
        memory->SetOutOfMemoryHandler(nullptr, 0);
        seam.reset();
        EXPECT_TRUE(GetBlockCache().Validate());
    }
    void WatchRuntimeHeap() { seam = std::make_unique<ScopedRuntimeHeap>(runtime); }
    std::vector<void*> FreedSince(size_t mark) const {
        std::vector<void*> released = runtime.Released();
        return std::vector<void*>(released.begin() + mark, released.end());
    }

    IQXMemory* memory = GetIQXMemory();
    FakeRuntimeHeap runtime;
    std::unique_ptr<ScopedRuntimeHeap> seam;
    const AllocTag tag{"Host.Blocks", "Test", 7};
};

}  // namespace

TEST_F(PoolInterfaceTest, BlockSlotsCacheWhatComesBack) {
    WatchRuntimeHeap();
    const uint32_t inUse = GetBlockCache().InUseBytes();
    void* block = memory->AllocBlock(4, &tag);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(runtime.Live().back().size, 65536u + DefaultAlignment);
    EXPECT_EQ(HeaderWord::Kind(HeaderWord::Read(block)), HeaderWord::KindAlignedBlock);
    EXPECT_EQ(GetBlockCache().InUseBytes(), inUse + 65536);
    void* raw = RawOf(block);

    EXPECT_EQ(memory->AllocBlock(5, &tag), nullptr);
    EXPECT_EQ(memory->AllocBlock(-1, &tag), nullptr);
    memory->FreeBlock(5, block);
    memory->FreeBlock(-1, block);
    memory->FreeBlock(4, nullptr);
    memory->FlushBlockCache();
    EXPECT_TRUE(runtime.Released().empty()) << "nothing was cached or freed";
    EXPECT_EQ(GetBlockCache().InUseBytes(), inUse + 65536);

    memory->FreeBlock(4, block);
    EXPECT_TRUE(runtime.Released().empty());
    EXPECT_EQ(memory->AllocBlock(4, &tag), block);
    EXPECT_EQ(runtime.Calls(), 1u);
    memory->FreeBlock(4, block);
    memory->FlushBlockCache();
    EXPECT_EQ(runtime.Released(), std::vector<void*>{raw});
    EXPECT_EQ(GetBlockCache().InUseBytes(), inUse);
}

TEST_F(PoolInterfaceTest, FlushAndLimitSlotsFreeInTheCacheOrder) {
    WatchRuntimeHeap();
    void* b1 = memory->AllocBlock(0, &tag);
    void* b2 = memory->AllocBlock(1, &tag);
    void* b3 = memory->AllocBlock(0, &tag);
    std::vector<void*> raws = {RawOf(b1), RawOf(b2), RawOf(b3)};
    memory->FreeBlock(0, b1);
    memory->FreeBlock(1, b2);
    memory->FreeBlock(0, b3);
    memory->FlushBlockCache();
    EXPECT_EQ(runtime.Released(), raws) << "the anchor, then its ring predecessors";

    b1 = memory->AllocBlock(0, &tag);
    b2 = memory->AllocBlock(1, &tag);
    b3 = memory->AllocBlock(0, &tag);
    raws = {RawOf(b1), RawOf(b2), RawOf(b3)};
    memory->FreeBlock(0, b1);
    memory->FreeBlock(1, b2);
    memory->FreeBlock(0, b3);
    memory->SetBlockCacheLimit(0);
    EXPECT_EQ(FreedSince(3), (std::vector<void*>{raws[2], raws[1], raws[0]}))
        << "the newest first, the anchor last";

    // With no budget a block given back while another is in use is freed at once.
    void* kept = memory->AllocBlock(2, &tag);
    void* given = memory->AllocBlock(2, &tag);
    void* givenRaw = RawOf(given);
    memory->FreeBlock(2, given);
    EXPECT_EQ(FreedSince(6), std::vector<void*>{givenRaw});
    memory->FreeBlock(2, kept);
}

TEST_F(PoolInterfaceTest, HeapFailureFlushesTheCacheThenReportsTheRawSize) {
    WatchRuntimeHeap();
    void* cached = memory->AllocBlock(1, &tag);
    void* cachedRaw = RawOf(cached);
    memory->FreeBlock(1, cached);

    runtime.FailCall(1);
    void* block = memory->AllocBlock(3, &tag);
    ASSERT_NE(block, nullptr) << "the retry after the flush succeeds";
    EXPECT_EQ(runtime.Released(), std::vector<void*>{cachedRaw});

    memory->SetOutOfMemoryHandler(RecordReport, 0);
    const uint32_t inUse = GetBlockCache().InUseBytes();
    runtime.FailAll(true);
    EXPECT_EQ(memory->AllocBlock(4, &tag), nullptr);
    EXPECT_EQ(reportedSizes, std::vector<uint32_t>{65536 + DefaultAlignment});
    EXPECT_EQ(GetBlockCache().InUseBytes(), inUse);
    runtime.FailAll(false);
    memory->FreeBlock(3, block);
}

TEST_F(PoolInterfaceTest, SmallRequestsUseTheBinsAndComeBackWhole) {
    WatchRuntimeHeap();
    EXPECT_EQ(memory->SmallHeapCounter(), 0u);
    struct Case {
        uint32_t size;
        uint32_t kind;
    };
#if UINTPTR_MAX == 0xFFFFFFFFu
    const Case cases[] = {{0, 2},   {20, 2},  {21, 3},  {68, 4},  {100, 5},
                          {196, 6}, {197, 7}, {388, 8}, {389, 9}, {511, 9}};
#else
    // Usable sizes 28, 44, 76, 140, 204, 268, 396 and 524: strides rounded to 16.
    const Case cases[] = {{0, 2},   {28, 2},  {29, 3},  {76, 4},  {100, 5},
                          {204, 6}, {205, 7}, {396, 8}, {397, 9}, {511, 9}};
#endif
    std::vector<char*> elements;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        char* element = static_cast<char*>(memory->Alloc(c.size));
        ASSERT_NE(element, nullptr);
        EXPECT_EQ(HeaderWord::Kind(HeaderWord::Read(element)), c.kind);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(element) % QXMEMORY_ALLOC_ALIGNMENT, 0u);
        std::memset(element, 0xEE, c.size);
        elements.push_back(element);
    }
    char* large = static_cast<char*>(memory->Alloc(512));
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(HeaderWord::Kind(HeaderWord::Read(large)), HeaderWord::KindAlignedBlock);
    memory->Free(large);

    // A freed element is handed out again by its bin with the same word.
    const uint32_t word = HeaderWord::Read(elements[4]);
    memory->Free(elements[4]);
    EXPECT_EQ(memory->Alloc(120), elements[4]);
    EXPECT_EQ(HeaderWord::Read(elements[4]), word);

    for (char* element : elements) memory->Free(element);
    for (uint32_t bin = 0; bin < SmallMemAllocator::BinCount; ++bin)
        EXPECT_TRUE(GetSmallMemAllocator().Bin(bin).Validate());
    memory->FlushBlockCache();
    EXPECT_EQ(runtime.Outstanding(), 0u) << "every page taken for these came back";
}

TEST_F(PoolInterfaceTest, SmallBinStatsResetTheRecord) {
    for (uint32_t bin : {0u, 3u, 7u, 8u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(bin);
        MemStats stats;
        for (uint32_t i = 0; i < 10; ++i) stats.words[i] = 0xF0 + i;
        uint32_t out[4] = {1, 1, 1, 1};
        memory->GetSmallBinStats(bin, &stats, &out[0], &out[1], &out[2], &out[3]);
        for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(stats.words[i], i == 3 ? 0xF3u : 0u) << i;
        for (uint32_t word : out) EXPECT_EQ(word, 0u);
    }
}

TEST_F(PoolInterfaceTest, BanksComeFromTheRegistryAndKeepTheirElements) {
    IAllocator* first = memory->CreateBank(24, 30, false);
    IAllocator* second = memory->CreateBank(24, 30, false);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(memory->CreateBank(0xFFFFFFF5u, 1, false), nullptr);

    char* element = static_cast<char*>(first->Alloc());
    ASSERT_NE(element, nullptr);
    EXPECT_EQ(HeaderWord::Kind(HeaderWord::Read(element)), HeaderWord::KindBankElement);
    memory->Free(element);  // not the general Free's business: the element stays out
    char* next = static_cast<char*>(first->Alloc());
    EXPECT_NE(next, element);
    first->Free(next);
    first->Free(element);

    // A shape nothing else asks for, shared between two shareable requests.
    IAllocator* shared = memory->CreateBank(1234, 7, true);
    EXPECT_EQ(memory->CreateBank(1230, 7, true), shared);
    EXPECT_EQ(static_cast<Bank*>(shared)->RefCount(), 2);

    // Every bank is on the bank list, found through the word after its node's links.
    ListNode* node;
    ListNode* end;
    memory->LockBankList(&node, &end);
    size_t count = 0;
    std::vector<IAllocator*> found;
    for (; node != end; node = node->next, ++count) {
        Bank* owner;
        std::memcpy(&owner, reinterpret_cast<char*>(node) + sizeof(ListNode), sizeof owner);
        for (IAllocator* mine : {first, second, shared})
            if (owner == mine) found.push_back(mine);
    }
    memory->UnlockBankList();
    EXPECT_EQ(count % 256, 0u);
    EXPECT_GE(count, 256u);
    EXPECT_EQ(found.size(), 3u);

    shared->Release();
    shared->Release();
    first->Release();
    second->Release();
    EXPECT_TRUE(GetBankRegistry().Validate());
}

TEST_F(PoolInterfaceTest, UserListSlotsLinkWalkAndUnlink) {
    ListNode a, b;
    memory->LinkUserNode(&a);
    memory->LinkUserNode(&b);
    ListNode* node;
    ListNode* end;
    memory->LockUserList(&node, &end);
    std::vector<ListNode*> mine;
    for (; node != end; node = node->next)
        if (node == &a || node == &b) mine.push_back(node);
    memory->UnlockUserList();
    EXPECT_EQ(mine, (std::vector<ListNode*>{&a, &b}));

    memory->UnlinkUserNode(&a);
    memory->UnlinkUserNode(&b);
    EXPECT_EQ(a.next, &a);
    EXPECT_EQ(b.prev, &b);
    memory->UnlinkUserNode(&a);
    EXPECT_EQ(a.prev, &a);
    EXPECT_TRUE(GetBankRegistry().Validate());
}
