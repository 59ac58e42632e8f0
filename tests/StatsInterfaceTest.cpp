// Tag, statistics and snapshot slots reached the way hosts reach them, through GetIQXMemory().
// The singletons live for the whole process, so tag cases run on threads of their own and the
// block cache is left flushed.
#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "IQXMemory.h"
#include "interface/Singletons.h"
#include "pool/BlockCache.h"
#include "support/SnapshotBuilder.h"

namespace {

// Word 3 holds 7, every other word something non-zero.
MemStats Dirty() {
    MemStats stats = Words(0x100);
    stats.words[3] = 7;
    return stats;
}

void ExpectReset(const MemStats& stats) {
    for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(stats.words[i], i == 3 ? 7u : 0u) << "word " << i;
}

// Contexts of ended threads stay taken until the process ends; listed here, and never
// destroyed, they stay reachable to leak checkers.
std::vector<ThreadTagContext*>& EndedThreadContexts() {
    static auto* kept = new std::vector<ThreadTagContext*>;
    return *kept;
}

}  // namespace

TEST(StatsInterface, StatisticsSlotsResetTheRecordEvenWithBlocksCached) {
    IQXMemory* memory = GetIQXMemory();
    const AllocTag tag{"Host.Stats", "Test", 1};
    void* kept = memory->AllocBlock(0, &tag);
    ASSERT_NE(kept, nullptr);
    memory->FreeBlock(1, memory->AllocBlock(1, &tag));
    const uint32_t cached = GetBlockCache().CachedBytes();
    ASSERT_GT(cached, 0u);

    uint32_t out[4];
    const std::function<void(MemStats*)> slots[] = {
        [&](MemStats* s) { memory->GetSystemHeapStats(s); },
        [&](MemStats* s) { memory->GetLargeHeapStats(s); },
        [&](MemStats* s) { memory->GetBlockCacheStats(s, &out[0]); },
        [&](MemStats* s) { memory->GetSmallHeapStats(s); },
        [&](MemStats* s) { memory->GetBlockCacheStatsFor(1, s); },
        [&](MemStats* s) { memory->GetSmallBinStats(2, s, &out[0], &out[1], &out[2], &out[3]); },
    };
    for (size_t slot = 0; slot < 6; ++slot) {
        SCOPED_TRACE(slot == 5 ? 40 : 35 + slot);
        MemStats stats = Dirty();
        out[0] = 0xFFFFFFFFu;
        slots[slot](&stats);
        ExpectReset(stats);
        if (slot == 2 || slot == 5) {
            EXPECT_EQ(out[0], 0u);
        }
    }
    EXPECT_EQ(GetBlockCache().CachedBytes(), cached) << "a query leaves the cache alone";
    memory->FreeBlock(0, kept);
    memory->FlushBlockCache();
}

TEST(StatsInterface, TagSlotsKeepOneContextPerThread) {
    IQXMemory* memory = GetIQXMemory();
    const AllocTag outer{"Host.Outer", "Job", 5}, inner{"Host.Inner", "Step", 6};
    ThreadTagContext* first = nullptr;
    ThreadTagContext* second = nullptr;
    std::thread([&] {
        first = memory->PopTag();
        ASSERT_NE(first, nullptr);
        EXPECT_STREQ(first->tag.firstName, "All.Unknown");
        EXPECT_EQ(first->tag.secondName, first->tag.firstName);
        EXPECT_EQ(first->tag.value + first->depth, 0u);
        EXPECT_EQ(memory->PushTag(&outer), first);
        EXPECT_EQ(memory->PushTag(&inner), first);
        EXPECT_EQ(memory->PopTag(), first);
    }).join();
    std::thread([&] { second = memory->PushTag(&inner); }).join();
    EndedThreadContexts().push_back(first);
    EndedThreadContexts().push_back(second);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first) << "contexts of ended threads are never reused";
    EXPECT_EQ(first->tag.firstName, outer.firstName);
    EXPECT_EQ(first->tag.value, 5u);
    EXPECT_EQ(first->depth, 1u);
    EXPECT_EQ(second->tag.firstName, inner.firstName);
    EXPECT_EQ(second->depth, 1u);
}

TEST(StatsInterface, SnapshotSlotsReadTheHostsSnapshot) {
    IQXMemory* memory = GetIQXMemory();
    SnapshotBuilder host;
    CategoryNode* all = host.Add("All", 1);
    host.AddRecord(host.Add("All.Pool", 2, all), 0x11u, 0x22u, Words(70));
    host.Add("All.Range", 3, all);
    MemSnapshot* snapshot = &host.snapshot;

    EXPECT_EQ(memory->GetCategoryCount(snapshot), 3u);
    EXPECT_EQ(memory->GetRecordCount(snapshot), 1u);
    MemStats first, second;
    ASSERT_TRUE(memory->GetCategoryStatsByName(snapshot, "all", &first, &second));
    EXPECT_TRUE(SameWords(first, all->first) && SameWords(second, all->second));
    uint32_t id = 0, firstWord = 0, secondWord = 0;
    ASSERT_TRUE(memory->GetRecord(snapshot, 0, &id, &firstWord, &secondWord, &first));
    EXPECT_EQ(id + firstWord + secondWord, 2u + 0x11u + 0x22u);
    EXPECT_TRUE(SameWords(first, Words(70)));
    EXPECT_EQ(memory->GetChildCategoryCount(snapshot, "All"), 2u);
    memory->GetChildCategoryId(snapshot, "All", 1, &id);
    EXPECT_EQ(id, 3u) << "All.Range hashes above All.Pool";
}
