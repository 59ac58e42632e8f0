// The block cache over a fake runtime heap: which blocks it keeps, which it frees and in what
// order, and how it behaves when the heap runs dry underneath it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <map>
#include <random>
#include <vector>

#include "common/DefaultAlignment.h"
#include "common/HeaderWord.h"
#include "common/MemoryChecker.h"
#include "support/PoolWiring.h"

namespace {

// The runtime-heap block behind a block the cache handed out, read from its kind-1 word. Only
// valid while the block is alive.
void* RawOf(void* block) {
    return static_cast<char*>(block) - 4 - HeaderWord::Payload(HeaderWord::Read(block));
}

std::vector<void*> RawsOf(std::initializer_list<void*> blocks) {
    std::vector<void*> raws;
    for (void* block : blocks) raws.push_back(RawOf(block));
    return raws;
}

std::vector<uint32_t> reportedSizes;
void RecordReport(uint32_t size, uintptr_t) { reportedSizes.push_back(size); }

class BlockCacheTest : public ::testing::Test {
protected:
    void SetUp() override { reportedSizes.clear(); }

    void* Get(int32_t sizeClass) { return cache.Get(sizeClass, &tag); }
    void GiveBack(int32_t sizeClass, std::initializer_list<void*> blocks) {
        for (void* block : blocks) cache.Release(sizeClass, block);
    }
    // Runtime-heap blocks freed since the given count of releases.
    std::vector<void*> FreedSince(size_t mark) const {
        std::vector<void*> released = runtime.Released();
        return std::vector<void*>(released.begin() + std::min(mark, released.size()),
                                  released.end());
    }

    PoolWiring wiring;
    BlockCache& cache = wiring.cache;
    FakeRuntimeHeap& runtime = wiring.runtime;
    const AllocTag tag{"", "", 0};
};

}  // namespace

TEST_F(BlockCacheTest, GivenBackBlockIsCachedAndHandedOutAgain) {
    uint32_t cached = 0;
    for (int32_t sizeClass = 0; sizeClass < BlockClassCount; ++sizeClass) {
        SCOPED_TRACE(sizeClass);
        const uint32_t size = BlockClassSize(sizeClass);
        void* block = Get(sizeClass);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 8, 0u);
        EXPECT_EQ(runtime.Live().back().size, size + DefaultAlignment) << "an aligned heap block";
        EXPECT_EQ(cache.InUseBytes(), size);
        std::memset(block, 0xCD, size);  // the whole block is the taker's

        cache.Release(sizeClass, block);
        cached += size;
        EXPECT_EQ(cache.InUseBytes(), 0u);
        EXPECT_EQ(cache.CachedBytes(), cached);
        EXPECT_EQ(cache.CachedCount(sizeClass), 1u);
        EXPECT_TRUE(cache.Validate());

        const unsigned calls = runtime.Calls();
        EXPECT_EQ(Get(sizeClass), block);
        EXPECT_EQ(runtime.Calls(), calls);
        EXPECT_EQ(cache.InUseBytes(), size);
        EXPECT_EQ(cache.CachedBytes(), cached - size);
        cache.Release(sizeClass, block);
        EXPECT_TRUE(cache.Validate());
    }
    EXPECT_TRUE(runtime.Released().empty());
}

TEST_F(BlockCacheTest, WithinAClassTheLastBlockGivenBackComesOutFirst) {
    void* b1 = Get(1);
    void* b2 = Get(1);
    void* b3 = Get(1);
    GiveBack(1, {b1, b2, b3});
    // The newest block's header reads as linked (before b2 in its class, after the anchor b1)
    // even before anything links it; Get hands it out with those bytes.
    const CachedBlock header = *static_cast<const CachedBlock*>(b3);
    EXPECT_TRUE(header.next == b2 && header.ringNext == b2 && header.ringPrev == b1 &&
                header.size == 8192);
    EXPECT_EQ(Get(1), b3);
    cache.Release(1, b3);
    EXPECT_EQ(cache.CachedCount(1), 3u);
    EXPECT_EQ(Get(1), b3);
    EXPECT_TRUE(cache.Validate());
    EXPECT_EQ(Get(1), b2);
    EXPECT_TRUE(cache.Validate());
    EXPECT_EQ(Get(1), b1);
    EXPECT_EQ(cache.CachedBytes(), 0u);
    EXPECT_EQ(cache.InUseBytes(), 3 * 8192u);
    EXPECT_EQ(runtime.Calls(), 3u);
    EXPECT_TRUE(cache.Validate());
}

TEST_F(BlockCacheTest, ClassesOutsideZeroToFourAndNullAreRefused) {
    EXPECT_EQ(Get(5), nullptr);
    EXPECT_EQ(Get(-1), nullptr);
    EXPECT_EQ(Get(INT32_MIN), nullptr);
    EXPECT_EQ(runtime.Calls(), 0u);
    EXPECT_EQ(cache.InUseBytes(), 0u);

    void* block = Get(4);
    ASSERT_NE(block, nullptr);
    cache.Release(5, block);
    cache.Release(-1, block);
    for (int32_t sizeClass = 0; sizeClass < BlockClassCount; ++sizeClass)
        cache.Release(sizeClass, nullptr);
    EXPECT_EQ(cache.InUseBytes(), 65536u);
    EXPECT_EQ(cache.CachedBytes(), 0u);
    EXPECT_TRUE(runtime.Released().empty());
    EXPECT_TRUE(cache.Validate());

    // The block is still the taker's and goes back normally with its own class.
    cache.Release(4, block);
    EXPECT_EQ(cache.CachedBytes(), 65536u);
    EXPECT_EQ(cache.InUseBytes(), 0u);
    EXPECT_TRUE(cache.Validate());
}

TEST_F(BlockCacheTest, DefaultBudgetFreesTheFirstOf257BlocksAndCachesTheRest) {
    std::vector<void*> blocks;
    for (int i = 0; i < 257; ++i) {
        blocks.push_back(Get(4));
        ASSERT_NE(blocks.back(), nullptr);
    }
    EXPECT_EQ(cache.InUseBytes(), 257 * 65536u) << "a budget that cannot be met is no failure";
    void* firstRaw = RawOf(blocks[0]);
    for (void* block : blocks) cache.Release(4, block);
    EXPECT_EQ(runtime.Released(), std::vector<void*>{firstRaw});
    EXPECT_EQ(cache.CachedBytes(), 0x1000000u);
    EXPECT_EQ(cache.InUseBytes(), 0u);
    EXPECT_EQ(cache.CachedCount(4), 256u);
    EXPECT_TRUE(cache.Validate());
}

TEST_F(BlockCacheTest, LoweringTheLimitEvictsTheNewestAndKeepsTheAnchor) {
    void* b[5];
    for (void*& block : b) block = Get(0);
    const std::vector<void*> raws = RawsOf({b[0], b[1], b[2], b[3], b[4]});
    GiveBack(0, {b[0], b[1], b[2], b[3], b[4]});

    cache.SetLimit(8192);
    EXPECT_EQ(runtime.Released(), (std::vector<void*>{raws[4], raws[3], raws[2]}));
    EXPECT_EQ(cache.CachedBytes(), 8192u);
    EXPECT_EQ(cache.Limit(), 8192u);
    EXPECT_TRUE(cache.Validate());

    // Raising it evicts nothing; the survivors keep their class order.
    cache.SetLimit(BlockCache::DefaultLimit);
    EXPECT_EQ(runtime.Released().size(), 3u);
    EXPECT_EQ(Get(0), b[1]);
    EXPECT_EQ(Get(0), b[0]);
    EXPECT_TRUE(cache.Validate());
}

TEST_F(BlockCacheTest, WithALimitOfZeroOnlyTheLastBlockInUseIsCached) {
    cache.SetLimit(0);
    void* a = Get(0);
    void* b = Get(0);
    const std::vector<void*> raws = RawsOf({a, b});
    cache.Release(0, b);  // a is still in use
    EXPECT_EQ(runtime.Released(), std::vector<void*>{raws[1]});
    cache.Release(0, a);  // nothing else in use or cached
    EXPECT_EQ(runtime.Released().size(), 1u);
    EXPECT_EQ(cache.CachedBytes(), 4096u);
    EXPECT_TRUE(cache.Validate());

    // A new block of another class evicts it first, even though the budget stays out of reach.
    void* c = Get(1);
    void* d = Get(1);
    ASSERT_NE(c, nullptr);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(runtime.Released(), (std::vector<void*>{raws[1], raws[0]}));
    EXPECT_EQ(cache.CachedBytes(), 0u);
    void* rawC = RawOf(c);
    cache.Release(1, c);
    cache.Release(1, d);
    EXPECT_EQ(FreedSince(2), std::vector<void*>{rawC});
    EXPECT_EQ(cache.CachedBytes(), 8192u);
    EXPECT_EQ(cache.InUseBytes(), 0u);
    EXPECT_TRUE(cache.Validate());

    // Raising the limit evicts nothing, even the block that stands above the old one.
    cache.SetLimit(4096);
    EXPECT_EQ(runtime.Released().size(), 3u);
    EXPECT_EQ(cache.CachedBytes(), 8192u);
    EXPECT_EQ(Get(1), d);
}

TEST_F(BlockCacheTest, FlushFreesTheAnchorThenItsRingPredecessors) {
    cache.Flush();  // on an empty cache: nothing to do
    EXPECT_TRUE(runtime.Released().empty());
    EXPECT_TRUE(cache.Validate());

    void* b1 = Get(0);
    void* b2 = Get(1);
    void* b3 = Get(0);
    void* b4 = Get(2);
    void* kept = Get(3);
    const std::vector<void*> raws = RawsOf({b1, b2, b3, b4});
    cache.Release(0, b1);
    cache.Release(1, b2);
    cache.Release(0, b3);
    cache.Release(2, b4);

    cache.Flush();
    EXPECT_EQ(runtime.Released(), raws);
    EXPECT_EQ(cache.CachedBytes(), 0u);
    EXPECT_EQ(cache.InUseBytes(), 32768u) << "blocks in use are not the flush's business";
    for (int32_t sizeClass = 0; sizeClass < BlockClassCount; ++sizeClass)
        EXPECT_EQ(cache.CachedCount(sizeClass), 0u);
    EXPECT_TRUE(cache.Validate());

    // A block taken before the flush can still be given back, and a Get allocates anew.
    cache.Release(3, kept);
    EXPECT_EQ(cache.CachedBytes(), 32768u);
    EXPECT_EQ(cache.InUseBytes(), 0u);
    const unsigned calls = runtime.Calls();
    EXPECT_NE(Get(0), nullptr);
    EXPECT_EQ(runtime.Calls(), calls + 1);
    EXPECT_TRUE(cache.Validate());
}

TEST_F(BlockCacheTest, TakingTheAnchorPassesItToItsSuccessor) {
    void* b1 = Get(0);
    void* b2 = Get(1);
    void* b3 = Get(2);
    const std::vector<void*> raws = RawsOf({b1, b2, b3});
    cache.Release(0, b1);
    cache.Release(1, b2);
    cache.Release(2, b3);

    EXPECT_EQ(Get(0), b1);
    EXPECT_TRUE(cache.Validate());
    cache.Flush();
    EXPECT_EQ(runtime.Released(), (std::vector<void*>{raws[2], raws[1]}));
    EXPECT_EQ(cache.CachedBytes(), 0u);
    EXPECT_EQ(cache.InUseBytes(), 4096u);
    EXPECT_TRUE(cache.Validate());
}

TEST_F(BlockCacheTest, NewBlockEvictsOtherClassesNewestFirstUntilItFits) {
    cache.SetLimit(16384);
    void* a[4];
    for (void*& block : a) block = Get(0);
    const std::vector<void*> raws = RawsOf({a[0], a[1], a[2], a[3]});
    GiveBack(0, {a[0], a[1], a[2], a[3]});
    ASSERT_EQ(cache.CachedBytes(), 16384u);

    void* wide = Get(1);  // needs 8192 of room: two of the four go
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(runtime.Released(), (std::vector<void*>{raws[3], raws[2]}));
    EXPECT_EQ(cache.CachedBytes(), 8192u);
    EXPECT_EQ(cache.InUseBytes(), 8192u);
    EXPECT_TRUE(cache.Validate());
    EXPECT_EQ(Get(0), a[1]);
    void* wideRaw = RawOf(wide);
    cache.Release(0, a[1]);  // back in as the anchor's successor
    cache.Release(1, wide);  // and this one in front of it
    EXPECT_EQ(runtime.Released().size(), 2u);
    EXPECT_EQ(cache.CachedBytes(), 16384u);

    // A block larger than the limit empties the cache, the anchor last.
    void* huge = Get(4);
    ASSERT_NE(huge, nullptr);
    EXPECT_EQ(FreedSince(2), (std::vector<void*>{wideRaw, raws[1], raws[0]}));
    EXPECT_EQ(cache.CachedBytes(), 0u);
    EXPECT_EQ(cache.InUseBytes(), 65536u);
    EXPECT_TRUE(cache.Validate());
}

TEST_F(BlockCacheTest, HeapFailureInsideGetFlushesThisCacheAndRetries) {
    void* b1 = Get(0);
    void* b2 = Get(1);
    const std::vector<void*> raws = RawsOf({b1, b2});
    cache.Release(0, b1);
    cache.Release(1, b2);

    runtime.FailCall(1);  // the request Get makes while holding its lock
    void* block = Get(4);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(wiring.flusher.flushes, 1);
    EXPECT_EQ(runtime.Released(), raws) << "the flush ran inside Get, anchor first";
    EXPECT_EQ(cache.InUseBytes(), 65536u);
    EXPECT_EQ(cache.CachedBytes(), 0u);
    EXPECT_EQ(cache.CachedCount(0) + cache.CachedCount(1), 0u);
    EXPECT_TRUE(cache.Validate());

    cache.Release(4, block);
    EXPECT_EQ(cache.CachedBytes(), 65536u);
    EXPECT_TRUE(cache.Validate());
}

TEST_F(BlockCacheTest, FailedRetryReportsTheRawSizeAndCountsNothing) {
    wiring.handler.SetHandler(RecordReport, 0);
    cache.SetLimit(65536 + 4096);
    void* held = Get(0);
    void* spare = Get(1);
    void* spareRaw = RawOf(spare);
    cache.Release(1, spare);
    ASSERT_EQ(cache.CachedBytes(), 8192u);

    runtime.FailAll(true);
    EXPECT_EQ(Get(4), nullptr);
    EXPECT_EQ(reportedSizes, std::vector<uint32_t>{65536 + DefaultAlignment});
    EXPECT_EQ(runtime.FailedRequests(),
              (std::vector<uint32_t>{65536 + DefaultAlignment, 65536 + DefaultAlignment}));
    EXPECT_EQ(cache.InUseBytes(), 4096u);
    EXPECT_EQ(cache.CachedBytes(), 0u);
    EXPECT_EQ(runtime.Released(), std::vector<void*>{spareRaw}) << "the trim's eviction stands";
    EXPECT_TRUE(cache.Validate());

    runtime.FailAll(false);
    cache.Release(0, held);
    EXPECT_EQ(cache.CachedBytes(), 4096u);
    EXPECT_TRUE(cache.Validate());
}

namespace {

// The cache as plain containers: the ring from the anchor forward, each class list with its
// head at the back. Predicts the blocks every operation frees, in order.
struct CacheModel {
    bool Trim(uint32_t target) {
        while (inUse + cached > target) {
            if (ring.empty()) return false;
            Evict(ring.size() > 1 ? ring[1] : ring[0]);
        }
        return true;
    }
    void Evict(void* block) {
        Unlink(block);
        freed.push_back(block);
    }
    void Unlink(void* block) {
        const int32_t sizeClass = classOf.at(block);
        ring.erase(std::find(ring.begin(), ring.end(), block));
        auto& list = lists[sizeClass];
        list.erase(std::find(list.begin(), list.end(), block));
        cached -= BlockClassSize(sizeClass);
    }
    uint32_t TargetFor(uint32_t size) const { return size < limit ? limit - size : 0; }

    uint32_t inUse = 0;
    uint32_t cached = 0;
    uint32_t limit = BlockCache::DefaultLimit;
    std::vector<void*> ring;
    std::vector<void*> lists[BlockClassCount];
    std::map<void*, int32_t> classOf;
    std::vector<void*> freed;
};

}  // namespace

TEST_F(BlockCacheTest, RandomWalkAgreesWithAPlainModel) {
    CacheModel model;
    std::map<void*, void*> raw;
    std::vector<std::pair<void*, int32_t>> held;
    std::mt19937 random(20240601);
    const uint32_t limits[] = {0, 4096, 12288, 65536, 200000, BlockCache::DefaultLimit};

    for (int step = 0; step < 1500; ++step) {
        SCOPED_TRACE(step);
        const size_t mark = runtime.Released().size();
        model.freed.clear();
        const unsigned pick = random() % 20;
        if (pick < 9 && held.size() < 24) {
            const int32_t sizeClass = int32_t(random() % BlockClassCount);
            const uint32_t size = BlockClassSize(sizeClass);
            void* expected = nullptr;
            if (!model.lists[sizeClass].empty()) {
                expected = model.lists[sizeClass].back();
                model.Unlink(expected);
            } else {
                model.Trim(model.TargetFor(size));
            }
            const unsigned calls = runtime.Calls();
            void* block = Get(sizeClass);
            ASSERT_NE(block, nullptr);
            if (expected) {
                EXPECT_EQ(block, expected);
                EXPECT_EQ(runtime.Calls(), calls);
            } else {
                EXPECT_EQ(runtime.Calls(), calls + 1);
            }
            model.inUse += size;
            model.classOf[block] = sizeClass;
            raw[block] = RawOf(block);
            held.push_back({block, sizeClass});
        } else if (pick < 18 && !held.empty()) {
            const size_t index = random() % held.size();
            const auto [block, sizeClass] = held[index];
            held.erase(held.begin() + index);
            const uint32_t size = BlockClassSize(sizeClass);
            model.inUse -= size;
            if (!model.Trim(model.TargetFor(size))) {
                model.freed.push_back(block);
            } else {
                model.lists[sizeClass].push_back(block);
                model.ring.insert(model.ring.empty() ? model.ring.end() : model.ring.begin() + 1,
                                  block);
                model.cached += size;
            }
            cache.Release(sizeClass, block);
        } else if (pick == 18) {
            const uint32_t limit = limits[random() % 6];
            if (limit < model.limit) model.Trim(limit);
            model.limit = limit;
            cache.SetLimit(limit);
        } else {
            if (!model.ring.empty()) {
                model.freed.push_back(model.ring[0]);
                for (size_t i = model.ring.size() - 1; i > 0; --i)
                    model.freed.push_back(model.ring[i]);
            }
            model.ring.clear();
            for (auto& list : model.lists) list.clear();
            model.cached = 0;
            cache.Flush();
        }

        std::vector<void*> expectedRaws;
        for (void* block : model.freed) expectedRaws.push_back(raw.at(block));
        ASSERT_EQ(FreedSince(mark), expectedRaws);
        ASSERT_EQ(cache.InUseBytes(), model.inUse);
        ASSERT_EQ(cache.CachedBytes(), model.cached);
        ASSERT_EQ(cache.Limit(), model.limit);
        for (int32_t sizeClass = 0; sizeClass < BlockClassCount; ++sizeClass)
            ASSERT_EQ(cache.CachedCount(sizeClass), model.lists[sizeClass].size());
        ASSERT_TRUE(cache.Validate());
    }
}

namespace {

// A runtime heap whose blocks stand in for much larger ones: every request gets the next 64-byte
// slot of one array, room for the aligned heap's word and the cache's header, which is all of a
// block the cache ever touches. Tens of thousands of 64 KiB blocks then cost a few MiB. Slots are
// handed out in order and never reused; releases are recorded by slot number.
class StandInRuntimeHeap final : public RuntimeHeap {
public:
    static constexpr size_t SlotWords = 8;  // 64 bytes, 8-aligned

    explicit StandInRuntimeHeap(size_t slots) : storage_(slots * SlotWords) {}

    void* Allocate(uint32_t size) override {
        if (handedOut_ * SlotWords == storage_.size()) return nullptr;
        requested.push_back(size);
        return &storage_[handedOut_++ * SlotWords];
    }
    void Release(void* raw) override {
        released.push_back(size_t(static_cast<uint64_t*>(raw) - storage_.data()) / SlotWords);
    }

    std::vector<uint32_t> requested;
    std::vector<size_t> released;

private:
    std::vector<uint64_t> storage_;
    size_t handedOut_ = 0;
};

// A block cache over the stand-in heap, wired like the library's own.
class BlockCacheBudgetTest : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(QXMEMORY_ASAN) || defined(QXMEMORY_VALGRIND)
        // The checkers mark whole class sizes, which the stand-in blocks do not have.
        GTEST_SKIP() << "stand-in blocks under a memory checker";
#endif
    }

    static constexpr uint32_t Block = 65536;                                        // class 4
    static constexpr uint32_t KeptUnderDefault = BlockCache::DefaultLimit / Block;  // 256

    // n class-4 blocks taken under a budget of 0xFFFFFFFF and given back in order, then the
    // budget lowered to the default. Under the high budget a block is cached once the blocks
    // still in use leave room for it (the first n - 65535 are freed); the lower one keeps the
    // anchor and the 255 blocks cached right after it, and frees the rest newest first.
    void GiveBackAndLowerTheBudget(size_t n) {
        PoolWiringOver<StandInRuntimeHeap> wiring(n + 1);
        StandInRuntimeHeap& runtime = wiring.runtime;
        BlockCache& cache = wiring.cache;
        const AllocTag tag{"", "", 0};

        cache.SetLimit(0xFFFFFFFFu);
        std::vector<void*> blocks;
        for (size_t i = 0; i < n; ++i) blocks.push_back(cache.Get(4, &tag));
        ASSERT_EQ(runtime.requested, std::vector<uint32_t>(n, Block + DefaultAlignment));
        EXPECT_EQ(uint64_t(cache.InUseBytes()), uint64_t(n) * Block);

        const size_t firstCached = n > 65535 ? n - 65535 : 0;
        for (void* block : blocks) cache.Release(4, block);
        std::vector<size_t> expectedFreed;
        for (size_t i = 0; i < firstCached; ++i) expectedFreed.push_back(i);
        ASSERT_EQ(runtime.released, expectedFreed);
        EXPECT_EQ(cache.InUseBytes(), 0u);
        EXPECT_EQ(uint64_t(cache.CachedBytes()), uint64_t(n - firstCached) * Block);
        EXPECT_EQ(cache.CachedCount(4), n - firstCached);
        EXPECT_TRUE(cache.Validate());

        cache.SetLimit(BlockCache::DefaultLimit);
        for (size_t i = n; i-- > firstCached + KeptUnderDefault;) expectedFreed.push_back(i);
        ASSERT_EQ(runtime.released, expectedFreed);
        EXPECT_EQ(cache.CachedBytes(), BlockCache::DefaultLimit);
        EXPECT_EQ(cache.CachedCount(4), KeptUnderDefault);
        EXPECT_TRUE(cache.Validate());

        // The survivors are what they should be: the newest comes out first and goes back in
        // within the budget, and a flush frees the anchor, then the blocks cached after it.
        void* newest = blocks[firstCached + KeptUnderDefault - 1];
        EXPECT_EQ(cache.Get(4, &tag), newest);
        cache.Release(4, newest);
        EXPECT_EQ(runtime.released.size(), expectedFreed.size());
        EXPECT_EQ(cache.CachedBytes(), BlockCache::DefaultLimit);
        cache.Flush();
        for (size_t i = firstCached; i < firstCached + KeptUnderDefault; ++i)
            expectedFreed.push_back(i);
        EXPECT_EQ(runtime.released, expectedFreed);
        EXPECT_EQ(cache.CachedBytes(), 0u);
        EXPECT_EQ(runtime.requested.size(), n) << "no block was taken anew";
    }
};

}  // namespace

TEST_F(BlockCacheBudgetTest, JustUnderFourGiBGivenBackIsTrimmedToALowerBudget) {
    GiveBackAndLowerTheBudget(65535);
}

#if UINTPTR_MAX > 0xFFFFFFFFu
// On 32-bit targets blocks in use and cached cannot pass the address space.
TEST_F(BlockCacheBudgetTest, MoreThanFourGiBGivenBackIsTrimmedToALowerBudget) {
    GiveBackAndLowerTheBudget(65537);
}
#endif
