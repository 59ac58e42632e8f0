// The companion header include/QXMemory.hpp over the library's own interface, GetIQXMemory():
// the pmr resource and the standard allocator, the owners, the locked list walks, the name hash
// and the snapshot builder. Included first, so it is seen to stand on its own.
#include "QXMemory.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <memory_resource>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "interface/QXMemory.h"
#include "pool/Bank.h"
#include "support/FakeRuntimeHeap.h"

namespace {

bool IsAligned(const void* p, size_t alignment) {
    return reinterpret_cast<uintptr_t>(p) % alignment == 0;
}

// Ten distinct words starting at base.
MemStats Stats(uint32_t base) {
    MemStats stats;
    for (uint32_t i = 0; i < 10; ++i) stats.words[i] = base + i;
    return stats;
}

// A size the compiler cannot see through, so that it does not object to huge constants.
size_t Opaque(size_t value) {
    volatile size_t hidden = value;
    return hidden;
}

bool Same(const MemStats& a, const MemStats& b) {
    return std::equal(a.words, a.words + 10, b.words);
}

// The hash is usable in constant expressions and folds case.
static_assert(qxmemory::HashCategoryName("") == 0u, "empty name");
static_assert(qxmemory::HashCategoryName(nullptr) == 0u, "null name");
static_assert(qxmemory::HashCategoryName("abc") == 846402u, "a, b, c");
static_assert(qxmemory::HashCategoryName("aBC") == 846402u, "either case");
static_assert(qxmemory::CategoryCharCode(' ') == 37u && qxmemory::CategoryCharCode('~') == 69u,
              "punctuation from 37 to 69");

}  // namespace

// --- Allocation ------------------------------------------------------------------------------

TEST(CompanionHeader, PmrVectorAllocatesFromTheLibrary) {
    qxmemory::MemoryResource resource;
    EXPECT_EQ(&resource.Memory(), GetIQXMemory());
    std::pmr::vector<int> numbers(&resource);
    for (int i = 0; i < 5000; ++i) numbers.push_back(i);  // small bins, then heap blocks
    long long sum = 0;
    for (int n : numbers) sum += n;
    EXPECT_EQ(sum, 5000LL * 4999 / 2);
    std::pmr::vector<std::pmr::string> words(&resource);
    words.emplace_back("a string long enough to leave the small-string buffer");
    EXPECT_EQ(words[0].get_allocator().resource(), &resource);
}

TEST(CompanionHeader, PmrResourceHonoursEveryAlignment) {
    qxmemory::MemoryResource resource(*GetIQXMemory());
    for (size_t alignment : {1, 2, 4, 8, 16, 32, 64, 256, 4096, 65536}) {
        for (size_t size : {0, 1, 24, 511, 512, 5000}) {
            void* block = resource.allocate(size, alignment);
            ASSERT_NE(block, nullptr);
            EXPECT_TRUE(IsAligned(block, alignment)) << size << " at " << alignment;
            std::memset(block, 0x5A, size);
            resource.deallocate(block, size, alignment);
        }
    }
    // The default alignment is alignof(std::max_align_t), above what Alloc guarantees.
    void* block = resource.allocate(40);
    EXPECT_TRUE(IsAligned(block, alignof(std::max_align_t)));
    resource.deallocate(block, 40);
}

TEST(CompanionHeader, AllocGuaranteesEightOnEveryPath) {
    IQXMemory& memory = qxmemory::DefaultMemory();
    std::vector<void*> blocks;
    for (uint32_t size = 0; size <= 1100; size += 7) blocks.push_back(memory.Alloc(size));
    for (void* block : blocks) {
        EXPECT_TRUE(IsAligned(block, qxmemory::AllocAlignment)) << block;
        memory.Free(block);
    }
}

TEST(CompanionHeader, RequestsTheLibraryCannotServeThrowBadAlloc) {
    qxmemory::MemoryResource resource;
    EXPECT_THROW((void)resource.allocate(Opaque(SIZE_MAX), 8), std::bad_alloc);
    EXPECT_THROW((void)resource.allocate(Opaque(SIZE_MAX), 64), std::bad_alloc);
    EXPECT_THROW((void)resource.allocate(16, qxmemory::MaxAlignment * 2), std::bad_alloc);
    if constexpr (sizeof(size_t) > sizeof(uint32_t)) {
        // Would truncate to 16 bytes if the size were cut to 32 bits.
        const size_t wide = Opaque(size_t(0xFFFFFFFFu) + 17);
        EXPECT_THROW((void)resource.allocate(wide, 8), std::bad_alloc);
        EXPECT_THROW((void)resource.allocate(wide, 4096), std::bad_alloc);
        EXPECT_EQ(qxmemory::TryAllocateBytes(resource.Memory(), wide, 16), nullptr);
    }
    qxmemory::Allocator<uint64_t> allocator;
    EXPECT_THROW((void)allocator.allocate(allocator.max_size() + 1), std::bad_alloc);
    EXPECT_THROW((void)allocator.allocate(Opaque(SIZE_MAX / 4)), std::bad_alloc)
        << "n * 8 overflows";
}

TEST(CompanionHeader, ResourcesAndAllocatorsAreEqualExactlyOverOneInterface) {
    qxmemory::MemoryResource a, b(*GetIQXMemory());
    EXPECT_TRUE(a.is_equal(a));
    EXPECT_TRUE(a.is_equal(b));
    EXPECT_TRUE(b == a);
    EXPECT_FALSE(a.is_equal(*std::pmr::new_delete_resource()));
    EXPECT_FALSE(std::pmr::new_delete_resource()->is_equal(a));

    QXMemory another;  // a second interface object: its blocks are not a's to free
    qxmemory::MemoryResource c(another);
    EXPECT_FALSE(a.is_equal(c));
    EXPECT_FALSE(c.is_equal(a));
    EXPECT_TRUE(qxmemory::Allocator<int>() == qxmemory::Allocator<long>(*GetIQXMemory()));
    EXPECT_TRUE(qxmemory::Allocator<int>() != qxmemory::Allocator<int>(another));
}

namespace {

struct alignas(64) Wide {
    unsigned char bytes[64];
};

}  // namespace

TEST(CompanionHeader, AllocatorServesStandardContainers) {
    std::vector<int, qxmemory::Allocator<int>> numbers;
    for (int i = 0; i < 3000; ++i) numbers.push_back(i * 3);
    EXPECT_EQ(numbers[2999], 8997);
    EXPECT_EQ(&numbers.get_allocator().Memory(), GetIQXMemory());

    using Entry = std::pair<const int, std::string>;
    std::unordered_map<int, std::string, std::hash<int>, std::equal_to<int>,
                       qxmemory::Allocator<Entry>>
        names;
    for (int i = 0; i < 500; ++i) names.emplace(i, "name number " + std::to_string(i));
    EXPECT_EQ(names.size(), 500u);
    EXPECT_EQ(names.at(321), "name number 321");
    names.erase(321);
    EXPECT_EQ(names.count(321), 0u);

    std::vector<Wide, qxmemory::Allocator<Wide>> wide(10);
    EXPECT_TRUE(IsAligned(wide.data(), 64));

    // Rebound copies allocate from the same interface and compare equal.
    qxmemory::Allocator<int> ints;
    qxmemory::Allocator<double> doubles(ints);
    std::allocator_traits<qxmemory::Allocator<int>>::rebind_alloc<Wide> rebound(ints);
    EXPECT_TRUE(ints == doubles);
    EXPECT_FALSE(ints != rebound);
    Wide* one = rebound.allocate(3);
    EXPECT_TRUE(IsAligned(one, 64));
    rebound.deallocate(one, 3);
}

// --- Owners ----------------------------------------------------------------------------------

namespace {

// Contexts of ended threads stay taken until the process ends; kept here so that leak
// checkers still reach them.
std::vector<ThreadTagContext*>& EndedThreadContexts() {
    static auto* kept = new std::vector<ThreadTagContext*>;
    return *kept;
}

}  // namespace

TEST(CompanionHeader, TagScopeRestoresTheDepth) {
    // On a thread of its own: the process-wide tag store outlives the case.
    std::thread([] {
        const AllocTag tag{"Host.Companion", "Scope", 42};
        ThreadTagContext* context = nullptr;
        {
            qxmemory::TagScope outer(tag);
            ASSERT_TRUE(outer);
            context = outer.Context();
            EndedThreadContexts().push_back(context);
            EXPECT_EQ(context->depth, 1u);
            EXPECT_STREQ(context->tag.firstName, "Host.Companion");
            EXPECT_EQ(context->tag.value, 42u);
            {
                qxmemory::TagScope inner(nullptr);
                EXPECT_EQ(inner.Context(), context) << "one context per thread";
                EXPECT_EQ(context->depth, 2u);
            }
            EXPECT_EQ(context->depth, 1u);
        }
        EXPECT_EQ(context->depth, 0u);
    }).join();
}

TEST(CompanionHeader, RangeHeapOwnerAllocatesFreesAndDestroys) {
    { qxmemory::RangeHeapOwner warm(4096, 4, 16, 0); }  // subsystems made before the fake
    FakeRuntimeHeap runtime;
    ScopedRuntimeHeap seam(runtime);
    {
        qxmemory::RangeHeapOwner owner(1 << 20, 16, 16, 0x10000000);
        ASSERT_TRUE(owner);
        EXPECT_EQ(runtime.Outstanding(), 1u) << "one block holds the heap";
        const qxmemory::RangeHeapInfo empty = owner.Info();
        EXPECT_EQ(empty.totalSize, 1u << 20);
        EXPECT_EQ(empty.largestFree, 1u << 20);

        const std::optional<qxmemory::RangeAllocation> low = owner.Alloc(1000, 256);
        const std::optional<qxmemory::RangeAllocation> high = owner.Alloc(5000, 4096, false);
        ASSERT_TRUE(low && high);
        EXPECT_EQ(low->offset, 0u);
        EXPECT_EQ((0x10000000u + high->offset) % 4096, 0u);
        EXPECT_LE(high->offset + 5000, 1u << 20);
        EXPECT_GT(high->offset, 1000u);
        EXPECT_LT(owner.Info().spareCount, empty.spareCount);
        EXPECT_FALSE(owner.Alloc(2u << 20, 16)) << "larger than the range";

        owner.Free(*low);
        owner.Free(high->handle);
        EXPECT_EQ(owner.Info().largestFree, 1u << 20);
        EXPECT_EQ(owner.Info().spareCount, empty.spareCount);

        qxmemory::RangeHeapOwner moved(std::move(owner));
        EXPECT_FALSE(owner);
        EXPECT_FALSE(owner.Alloc(16, 16));
        EXPECT_EQ(owner.Info().totalSize, 0u);
        ASSERT_TRUE(moved);
        EXPECT_TRUE(moved.Alloc(16, 16));
        EXPECT_EQ(runtime.Outstanding(), 1u);
    }
    EXPECT_EQ(runtime.Outstanding(), 0u) << "the owner destroyed its heap";
    EXPECT_EQ(runtime.ForeignReleases(), 0u);

    qxmemory::RangeHeapOwner refused(1000, 1, 16, 0);  // fewer than two descriptors
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.Get(), nullptr);
    EXPECT_EQ(runtime.Calls(), 1u) << "a refused count never reaches the heap";
}

TEST(CompanionHeader, BankOwnersEachHoldOneReference) {
    // A shape no other case asks for, so the shareable bank is this case's alone.
    const uint32_t size = 1237, count = 3;
    IAllocator* bank = nullptr;
    {
        qxmemory::BankOwner first(size, count, true);
        ASSERT_TRUE(first);
        bank = first.Get();
        EXPECT_EQ(static_cast<Bank*>(bank)->RefCount(), 1);
        {
            qxmemory::BankOwner second(size, count, true);
            EXPECT_EQ(second.Get(), bank) << "shared";
            EXPECT_EQ(static_cast<Bank*>(bank)->RefCount(), 2);
            void* element = second.Alloc();
            ASSERT_NE(element, nullptr);
            EXPECT_TRUE(IsAligned(element, 8));
            second.Free(element);

            qxmemory::BankOwner moved(std::move(second));
            EXPECT_FALSE(second);
            EXPECT_EQ(moved.Get(), bank);
            EXPECT_EQ(static_cast<Bank*>(bank)->RefCount(), 2) << "a move takes no reference";
        }
        EXPECT_EQ(static_cast<Bank*>(bank)->RefCount(), 1);

        // The bank list leads to the bank through the word after each node's links.
        bool listed = false;
        {
            qxmemory::LockedBankList banks;
            for (ListNode* node : banks)
                listed = listed || qxmemory::LockedBankList::BankOf(node) == bank;
        }
        EXPECT_TRUE(listed);
    }
    EXPECT_EQ(static_cast<Bank*>(bank)->RefCount(), 0) << "released on destruction";
    GetIQXMemory()->FlushBlockCache();
}

// --- Locked walks ----------------------------------------------------------------------------

TEST(CompanionHeader, LockedUserListWalksAndUnlocksOnScopeExit) {
    IQXMemory& memory = qxmemory::DefaultMemory();
    ListNode nodes[3];
    for (ListNode& node : nodes) memory.LinkUserNode(&node);

    std::future<size_t> otherThread;
    {
        qxmemory::LockedUserList users;
        size_t seen = 0;
        for (ListNode* node : users) seen += node >= nodes && node < nodes + 3;
        EXPECT_EQ(seen, 3u);
        EXPECT_NE(users.First(), users.End());

        // Another thread's walk waits while this scope holds the list.
        otherThread = std::async(std::launch::async, [] {
            qxmemory::LockedUserList theirs;
            size_t n = 0;
            for (ListNode* node : theirs) n += node != nullptr;
            return n;
        });
        EXPECT_EQ(otherThread.wait_for(std::chrono::milliseconds(100)),
                  std::future_status::timeout);
    }
    ASSERT_EQ(otherThread.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "the scope unlocked the list";
    EXPECT_GE(otherThread.get(), 3u);

    // The walk may unlink the node it stands on and still reach every node.
    size_t unlinked = 0;
    {
        qxmemory::LockedUserList users;
        for (ListNode* node : users) {
            if (node < nodes || node >= nodes + 3) continue;
            memory.UnlinkUserNode(node);  // the list's lock is re-entrant
            ++unlinked;
        }
    }
    EXPECT_EQ(unlinked, 3u);
    for (ListNode& node : nodes) EXPECT_EQ(node.next, &node) << "unlinked nodes self-link";

    // It may unlink the node after the one it stands on, and it sees nodes appended meanwhile.
    for (ListNode& node : nodes) memory.LinkUserNode(&node);
    ListNode appended;
    std::vector<ListNode*> visited;
    {
        qxmemory::LockedUserList users;
        for (ListNode* node : users) {
            if (node == &nodes[0]) memory.UnlinkUserNode(&nodes[1]);
            if (node == &nodes[2]) memory.LinkUserNode(&appended);
            if ((node >= nodes && node < nodes + 3) || node == &appended) visited.push_back(node);
            ASSERT_LT(visited.size(), 10u) << "the walk went round a self-linked node";
        }
    }
    EXPECT_EQ(visited, (std::vector<ListNode*>{&nodes[0], &nodes[2], &appended}));
    for (ListNode* node : {&nodes[0], &nodes[2], &appended}) memory.UnlinkUserNode(node);
}

// --- Hash and snapshots ----------------------------------------------------------------------

TEST(CompanionHeader, BuilderSnapshotAnswersTheInterfaceQueries) {
    IQXMemory& memory = qxmemory::DefaultMemory();
    qxmemory::SnapshotBuilder builder;
    MemSnapshot* snapshot = &builder.Snapshot();
    EXPECT_EQ(memory.GetCategoryCount(snapshot), 0u);

    // Added out of hash order on purpose.
    CategoryNode* other = builder.AddCategory("Other", 4, nullptr, Stats(400), Stats(450));
    CategoryNode* all = builder.AddCategory("All", 1, nullptr, Stats(100), Stats(150));
    CategoryNode* pool = builder.AddCategory("All.Pool", 2, all, Stats(200), Stats(250));
    builder.AddCategory("All.Range", 3, all, Stats(300), Stats(350));
    builder.AddRecord(pool, 0x11u, 0x22u, Stats(700));
    builder.AddRecord(other, 0x33u, 0x44u, Stats(800));
    EXPECT_EQ(builder.CategoryCount(), 4u);
    EXPECT_EQ(builder.RecordCount(), 2u);

    const MemSnapshot::CategoryMap& map = snapshot->categoryMap;
    ASSERT_EQ(map.count, 4u);
    for (uint32_t i = 1; i < map.count; ++i)
        EXPECT_LT(map.entries[i - 1].hash, map.entries[i].hash);

    MemStats first, second;
    EXPECT_EQ(memory.GetCategoryCount(snapshot), 4u);
    ASSERT_TRUE(memory.GetCategoryStatsByName(snapshot, "all.POOL", &first, &second));
    EXPECT_TRUE(Same(first, Stats(200)) && Same(second, Stats(250)));
    EXPECT_FALSE(memory.GetCategoryStatsByName(snapshot, "None", &first, &second));

    EXPECT_EQ(memory.GetChildCategoryCount(snapshot, "All"), 2u);
    EXPECT_EQ(memory.GetChildCategoryCount(snapshot, nullptr), 2u) << "All and Other";
    EXPECT_EQ(memory.GetChildCategoryCount(snapshot, "All.Pool"), 0u);
    std::vector<uint32_t> children;
    for (uint32_t i = 0; i < 2; ++i) {
        uint32_t id = 0;
        memory.GetChildCategoryId(snapshot, "All", i, &id);
        children.push_back(id);
    }
    std::sort(children.begin(), children.end());
    EXPECT_EQ(children, (std::vector<uint32_t>{2, 3}));

    uint32_t id = 0, firstWord = 0, secondWord = 0;
    ASSERT_EQ(memory.GetRecordCount(snapshot), 2u);
    ASSERT_TRUE(memory.GetRecord(snapshot, 1, &id, &firstWord, &secondWord, &first));
    EXPECT_EQ(id, 4u);
    EXPECT_EQ(firstWord, 0x33u);
    EXPECT_TRUE(Same(first, Stats(800)));

    // A snapshot the caller owns shows the same once published.
    MemSnapshot mine;
    builder.Publish(mine);
    EXPECT_EQ(memory.GetCategoryCount(&mine), 4u);
    EXPECT_EQ(memory.GetRecordCount(&mine), 2u);
    uint32_t index = 0;
    while (index < 4 && map.entries[index].node != other) ++index;
    ASSERT_TRUE(memory.GetCategoryStats(&mine, index, &id, &first, &second));
    EXPECT_EQ(id, 4u);
}
