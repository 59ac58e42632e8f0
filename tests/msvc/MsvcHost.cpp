// A host as Microsoft's compiler sees the interface: compiled by clang for *-pc-windows-msvc
// (the Microsoft C++ ABI: one destructor entry, overloads grouped in reverse order) against the
// public header alone, with no C or C++ runtime of its own. It calls every slot of IQXMemory and
// IAllocator and checks that each reached its own operation by what only that operation does:
// header kinds, alignments, sizes, counts, contexts and callbacks.
//
// RunMsvcHost is its one entry; a MinGW main calls it, so no Microsoft runtime is needed. The
// main also hands it spies made with GCC's C++ ABI whose slots record their own numbers.
#include <IQXMemory.h>

namespace {

struct Checks {
    int failed;
    const char* first;
};

void Check(Checks& checks, bool ok, const char* what) {
    if (ok) return;
    if (!checks.failed) checks.first = what;
    ++checks.failed;
}

uint32_t HeaderWord(const void* block) {
    const unsigned char* word = static_cast<const unsigned char*>(block) - 4;
    return uint32_t(word[0]) | uint32_t(word[1]) << 8 | uint32_t(word[2]) << 16 |
           uint32_t(word[3]) << 24;
}

uint32_t Kind(const void* block) { return HeaderWord(block) >> 28; }

bool Aligned(const void* block, uintptr_t alignment) {
    return reinterpret_cast<uintptr_t>(block) % alignment == 0;
}

void Fill(MemStats& stats) {
    for (uint32_t i = 0; i < 10; ++i) stats.words[i] = 100 + i;
}

// A statistics call resets the record: every word zero except word 3.
bool IsReset(const MemStats& stats) {
    for (uint32_t i = 0; i < 10; ++i)
        if (stats.words[i] != (i == 3 ? 103u : 0u)) return false;
    return true;
}

bool SameRecord(const MemStats& a, const MemStats& b) {
    for (uint32_t i = 0; i < 10; ++i)
        if (a.words[i] != b.words[i]) return false;
    return true;
}

// The category hash the snapshot queries look names up by, for the lower-case names used here.
uint32_t Hash(const char* name) {
    uint32_t hash = 0;
    for (; *name; ++name) {
        const char c = *name;
        const uint32_t code = c >= 'a' && c <= 'z' ? uint32_t(c - 'a' + 1) : c == '.' ? 55 : 0;
        hash = hash * 919 + code;
    }
    return hash;
}

uint32_t reportedSize;
uintptr_t reportedData;
int reports;

void OnOutOfMemory(uint32_t size, uintptr_t userData) {
    reportedSize = size;
    reportedData = userData;
    ++reports;
}

void CheckGeneralAllocation(IQXMemory* memory, Checks& checks) {
    // Slot 1 (tagged) and slot 2: a small-bin element of bin 3 (kind 5) and a heap block.
    void* small = memory->Alloc(100, uintptr_t(0x5A5A));
    Check(checks,
          small && Kind(small) == 5 && (HeaderWord(small) & 0xFFFF) == 0 &&
              Aligned(small, QXMEMORY_ALLOC_ALIGNMENT),
          "slot 1 Alloc(size, tag) gives a bin-3 element");
    void* large = memory->Alloc(600);
    Check(checks, large && Kind(large) == 1 && Aligned(large, QXMEMORY_ALLOC_ALIGNMENT),
          "slot 2 Alloc(600) gives a heap block");
    void* tiny = memory->Alloc(0);
    Check(checks, tiny && Kind(tiny) == 2, "slot 2 Alloc(0) gives a bin-0 element");

    // Slot 3 (tagged) and slot 4: alignments only these two honour, one not a power of two.
    void* page = memory->AllocAligned(100, 4096, uintptr_t(7));
    Check(checks, page && Kind(page) == 1 && Aligned(page, 4096),
          "slot 3 AllocAligned(size, alignment, tag) aligns to 4096");
    void* odd = memory->AllocAligned(64, 96);
    Check(checks, odd && Kind(odd) == 1 && Aligned(odd, 96), "slot 4 AllocAligned aligns to 96");
    Check(checks, memory->AllocAligned(64, 0) == 0, "slot 4 refuses alignment 0");

    // Slot 5: a freed element of a bin is the next one that bin hands out.
    memory->Free(small);
    Check(checks, memory->Alloc(120) == small, "slot 5 Free returns the element to its bin");
    memory->Free(small);
    memory->Free(large);
    memory->Free(tiny);
    memory->Free(page);
    memory->Free(odd);
    memory->Free(0);

    // Slots 6, 7, 21, 22, 28 and 29 answer with fixed values.
    memory->LargeBlockHookA(1, 2);
    Check(checks, !memory->LargeBlockTest(&checks), "slot 7 LargeBlockTest is false");
    Check(checks, memory->LargeBlockQuery(&checks, 3) == 0, "slot 21 LargeBlockQuery is 0");
    memory->LargeBlockHookB(4, 5);
    Check(checks, memory->LargeHeapCounter() == 0, "slot 28 LargeHeapCounter is 0");
    Check(checks, memory->SmallHeapCounter() == 0, "slot 29 SmallHeapCounter is 0");
}

void CheckBlockCache(IQXMemory* memory, Checks& checks) {
    static const AllocTag tag = {"Host", "Blocks", 1};
    Check(checks, memory->AllocBlock(5, &tag) == 0, "slot 10 refuses class 5");
    // Slots 10 and 11: the block given back last is the next one handed out, and while cached
    // it carries the cache's header, whose last word is the class size.
    void* first = memory->AllocBlock(2, &tag);
    void* second = memory->AllocBlock(2, &tag);
    Check(checks, first && second && first != second && Aligned(first, 8), "slot 10 AllocBlock(2)");
    if (!first || !second) return;
    memory->FreeBlock(2, first);
    memory->FreeBlock(2, second);
    const uint32_t* cached = static_cast<const uint32_t*>(second);
    Check(checks, cached[(4 * sizeof(void*)) / 4] == 16384, "slot 11 FreeBlock caches the block");
    Check(checks, memory->AllocBlock(2, &tag) == second && memory->AllocBlock(2, &tag) == first,
          "slot 10 hands cached blocks out last in, first out");
    // Slot 9: under a budget of 0 a block given back while another is in use is freed, and the
    // last one in use is cached alone (its ring links point to itself).
    memory->SetBlockCacheLimit(0);
    memory->FreeBlock(2, first);
    memory->FreeBlock(2, second);
    Check(checks,
          cached[(2 * sizeof(void*)) / 4] == uint32_t(uintptr_t(second)) &&
              memory->AllocBlock(2, &tag) == second,
          "slot 9 SetBlockCacheLimit(0) caches only the last block in use");
    memory->SetBlockCacheLimit(0x1000000);
    // Slot 8 empties the cache; the cache still serves afterwards.
    memory->FreeBlock(2, second);
    memory->FlushBlockCache();
    void* fresh = memory->AllocBlock(2, &tag);
    Check(checks, fresh != 0, "slot 10 after slot 8");
    memory->FreeBlock(2, fresh);
}

void CheckBanks(IQXMemory* memory, Checks& checks) {
    // Slot 12: two shareable requests of one shape share a bank.
    IAllocator* bank = memory->CreateBank(48, 100, true);
    IAllocator* shared = memory->CreateBank(52, 100, true);
    Check(checks, bank && bank == shared, "slot 12 CreateBank shares a shareable bank");
    if (!bank) return;
    // IAllocator slots 1 and 2: kind-0 elements holding their slot index, freed last in, first out.
    void* a = bank->Alloc();
    void* b = bank->Alloc();
    Check(checks,
          a && b && HeaderWord(a) == 0 && HeaderWord(b) == 1 &&
              static_cast<char*>(b) - static_cast<char*>(a) == (sizeof(void*) == 4 ? 56 : 64),
          "IAllocator slot 1 Alloc gives slots 0 and 1 of one stride (56, or 64 on x64)");
    bank->Free(a);
    Check(checks, bank->Alloc() == a, "IAllocator slot 2 Free returns the element");
    // Slot 5 leaves bank elements alone.
    memory->Free(a);
    Check(checks, HeaderWord(a) == 0, "slot 5 ignores a bank element");
    bank->Free(a);
    bank->Free(b);
    // IAllocator slot 4: five zero words and a reset record.
    uint32_t words[5] = {1, 2, 3, 4, 5};
    MemStats stats;
    Fill(stats);
    bank->GetStats(&words[0], &stats, &words[1], &words[2], &words[3], &words[4]);
    Check(checks, IsReset(stats) && !words[0] && !words[1] && !words[2] && !words[3] && !words[4],
          "IAllocator slot 4 GetStats");
    // IAllocator slot 3 drops a holder: after both release, a different shape takes the slot.
    bank->Release();
    shared->Release();
    IAllocator* other = memory->CreateBank(200, 10, false);
    Check(checks, other == bank, "IAllocator slot 3 Release frees the bank's slot");
    if (other) other->Release();

    // Slots 13 to 16: the user list, in link order.
    ListNode nodes[2];
    memory->LinkUserNode(&nodes[0]);
    memory->LinkUserNode(&nodes[1]);
    ListNode* first = 0;
    ListNode* end = 0;
    memory->LockUserList(&first, &end);
    int count = 0;
    bool ordered = first == &nodes[0];
    for (ListNode* node = first; node != end && count < 1000; node = node->next) ++count;
    memory->UnlockUserList();
    Check(checks, ordered && count >= 2 && nodes[0].next == &nodes[1], "slots 13 and 15 user list");
    memory->UnlinkUserNode(&nodes[0]);
    memory->UnlinkUserNode(&nodes[1]);
    Check(checks, nodes[0].next == &nodes[0] && nodes[1].prev == &nodes[1],
          "slot 14 UnlinkUserNode leaves nodes self-linked");

    // Slots 17 and 18: the bank list holds every slot ever made, 256 to a chunk, and the word
    // after a node's links is its bank.
    memory->LockBankList(&first, &end);
    uint32_t banks = 0;
    bool found = false;
    for (ListNode* node = first; node != end && banks < 100000; node = node->next, ++banks)
        found = found || *reinterpret_cast<IAllocator**>(node + 1) == bank;
    memory->UnlockBankList();
    Check(checks, banks != 0 && banks % 256 == 0 && found, "slots 17 and 18 bank list");
}

void CheckTagsAndRanges(IQXMemory* memory, Checks& checks) {
    // Slots 19 and 20: one context per thread; only the outermost push sets the tag.
    static const AllocTag outer = {"Outer", "Tag", 42};
    static const AllocTag inner = {"Inner", "Tag", 43};
    ThreadTagContext* context = memory->PushTag(&outer);
    Check(checks, context && context->depth == 1 && context->tag.value == 42, "slot 19 PushTag");
    Check(checks,
          memory->PushTag(&inner) == context && context->depth == 2 && context->tag.value == 42,
          "slot 19 nested PushTag only counts");
    Check(checks, memory->PopTag() == context && context->depth == 1, "slot 20 PopTag");
    memory->PopTag();

    // Slots 23 to 27: the worked example of a 1000-byte range with 8 descriptors.
    RangeHeap* heap = memory->CreateRangeHeap(1000, 8, 16, 0);
    Check(checks, heap != 0, "slot 23 CreateRangeHeap");
    if (!heap) return;
    uint32_t offset = 1;
    uint16_t handle = 1;
    Check(checks,
          memory->RangeAlloc(heap, 100, 64, &offset, &handle, true) && offset == 0 && handle == 0,
          "slot 25 RangeAlloc bottom-up");
    Check(
        checks,
        memory->RangeAlloc(heap, 200, 32, &offset, &handle, false) && offset == 800 && handle == 1,
        "slot 25 RangeAlloc top-down");
    memory->RangeFree(heap, 0);
    uint32_t total = 0;
    uint32_t spare = 0;
    uint32_t largest = 0;
    MemStats stats;
    Fill(stats);
    memory->GetRangeHeapInfo(heap, &total, &spare, &stats, &largest);
    Check(checks, total == 1000 && spare == 6 && largest == 800 && IsReset(stats),
          "slots 26 and 27 RangeFree merges, GetRangeHeapInfo reports");
    memory->DestroyRangeHeap(heap);
    memory->DestroyRangeHeap(0);
}

void CheckStatistics(IQXMemory* memory, Checks& checks) {
    MemStats stats;
    uint32_t out[4] = {9, 9, 9, 9};
    Fill(stats);
    memory->GetSystemHeapStats(&stats);
    Check(checks, IsReset(stats), "slot 35 GetSystemHeapStats");
    Fill(stats);
    memory->GetLargeHeapStats(&stats);
    Check(checks, IsReset(stats), "slot 36 GetLargeHeapStats");
    Fill(stats);
    memory->GetBlockCacheStats(&stats, &out[0]);
    Check(checks, IsReset(stats) && out[0] == 0, "slot 37 GetBlockCacheStats");
    Fill(stats);
    memory->GetSmallHeapStats(&stats);
    Check(checks, IsReset(stats), "slot 38 GetSmallHeapStats");
    Fill(stats);
    memory->GetBlockCacheStatsFor(7, &stats);
    Check(checks, IsReset(stats), "slot 39 GetBlockCacheStatsFor");
    Fill(stats);
    out[0] = 9;
    memory->GetSmallBinStats(3, &stats, &out[0], &out[1], &out[2], &out[3]);
    Check(checks, IsReset(stats) && !out[0] && !out[1] && !out[2] && !out[3],
          "slot 40 GetSmallBinStats");
}

void CheckSnapshots(IQXMemory* memory, Checks& checks) {
    // A snapshot the host builds, its lock constructed by this host: "all", its child
    // "all.pool", and one record of the child.
    CategoryNode all = {};
    CategoryNode pool = {};
    Fill(all.first);
    all.first.words[0] = 1;
    Fill(all.second);
    all.id = 11;
    Fill(pool.first);
    pool.first.words[0] = 2;
    Fill(pool.second);
    pool.id = 12;
    pool.parent = &all;
    CategoryMapEntry entries[2] = {{Hash("all"), &all}, {Hash("all.pool"), &pool}};
    if (entries[1].hash < entries[0].hash) {
        CategoryMapEntry swap = entries[0];
        entries[0] = entries[1];
        entries[1] = swap;
    }
    SnapshotRecord record = {};
    record.firstWord = 21;
    record.secondWord = 22;
    record.category = &pool;
    Fill(record.stats);
    record.stats.words[9] = 99;
    RecordTableEntry table[1] = {};
    table[0].record = &record;

    MemSnapshot snapshot;
    snapshot.categoryMap.entries = entries;
    snapshot.categoryMap.count = 2;
    snapshot.records = table;
    snapshot.recordCount = 1;

    Check(checks, memory->GetCategoryCount(&snapshot) == 2, "slot 30 GetCategoryCount");
    MemStats first;
    MemStats second;
    Check(checks,
          memory->GetCategoryStatsByName(&snapshot, "all.pool", &first, &second) &&
              SameRecord(first, pool.first) && SameRecord(second, pool.second),
          "slot 31 GetCategoryStatsByName");
    uint32_t id = 0;
    const uint32_t index = entries[0].node == &pool ? 0 : 1;
    Check(checks,
          memory->GetCategoryStats(&snapshot, index, &id, &first, &second) && id == 12 &&
              SameRecord(first, pool.first),
          "slot 32 GetCategoryStats");
    Check(checks, memory->GetRecordCount(&snapshot) == 1, "slot 33 GetRecordCount");
    uint32_t category = 0;
    uint32_t word1 = 0;
    uint32_t word2 = 0;
    Check(checks,
          memory->GetRecord(&snapshot, 0, &category, &word1, &word2, &first) && category == 12 &&
              word1 == 21 && word2 == 22 && first.words[9] == 99,
          "slot 34 GetRecord");
    Check(checks,
          memory->GetChildCategoryCount(&snapshot, "all") == 1 &&
              memory->GetChildCategoryCount(&snapshot, 0) == 1,
          "slot 41 GetChildCategoryCount");
    id = 0;
    memory->GetChildCategoryId(&snapshot, "all", 0, &id);
    Check(checks, id == 12, "slot 42 GetChildCategoryId");
    // The host's own lock is re-entrant across the queries.
    snapshot.lock.Lock();
    Check(checks, memory->GetRecordCount(&snapshot) == 1, "snapshot lock held by the host");
    snapshot.lock.Unlock();
}

void CheckOutOfMemory(IQXMemory* memory, Checks& checks) {
    // Slots 43 and 44: a report reaches the installed callback once, with its user data.
    reports = 0;
    memory->SetOutOfMemoryHandler(OnOutOfMemory, uintptr_t(0xBEEF));
    memory->ReportOutOfMemory(12345);
    memory->ReportOutOfMemory(1);
    Check(checks, reports == 1 && reportedSize == 12345 && reportedData == 0xBEEF,
          "slots 43 and 44 out-of-memory callback");
}

// Calls every slot of objects built with GCC's C++ ABI, like the library's, whose slots record
// their own numbers: each call must land in its slot, the overloads and the destructor included.
void CheckSlots(IQXMemory* spy, volatile int* slot, volatile unsigned* flags, Checks& checks) {
    static const char* const names[] = {
        "slot 0 destructor", "slot 1 Alloc(size, tag)", "slot 2 Alloc(size)",
        "slot 3 AllocAligned(size, alignment, tag)", "slot 4 AllocAligned(size, alignment)"};
    MemStats stats;
    uint32_t word = 0;
    ListNode* node = 0;
    uint16_t handle = 0;
    int expected = 0;
#define QXMEMORY_EXPECT_SLOT(number, call)                                                  \
    do {                                                                                    \
        *slot = -1;                                                                         \
        call;                                                                               \
        expected = number;                                                                  \
        Check(checks, *slot == expected, expected < 5 ? names[expected] : "slot " #number); \
    } while (0)
    QXMEMORY_EXPECT_SLOT(1, spy->Alloc(1, uintptr_t(2)));
    QXMEMORY_EXPECT_SLOT(2, spy->Alloc(1));
    QXMEMORY_EXPECT_SLOT(3, spy->AllocAligned(1, 2, uintptr_t(3)));
    QXMEMORY_EXPECT_SLOT(4, spy->AllocAligned(1, 2));
    QXMEMORY_EXPECT_SLOT(5, spy->Free(0));
    QXMEMORY_EXPECT_SLOT(6, spy->LargeBlockHookA(1, 2));
    QXMEMORY_EXPECT_SLOT(7, spy->LargeBlockTest(0));
    QXMEMORY_EXPECT_SLOT(8, spy->FlushBlockCache());
    QXMEMORY_EXPECT_SLOT(9, spy->SetBlockCacheLimit(1));
    QXMEMORY_EXPECT_SLOT(10, spy->AllocBlock(1, 0));
    QXMEMORY_EXPECT_SLOT(11, spy->FreeBlock(1, 0));
    IAllocator* bank = 0;
    QXMEMORY_EXPECT_SLOT(12, bank = spy->CreateBank(1, 2, true));
    QXMEMORY_EXPECT_SLOT(13, spy->LinkUserNode(0));
    QXMEMORY_EXPECT_SLOT(14, spy->UnlinkUserNode(0));
    QXMEMORY_EXPECT_SLOT(15, spy->LockUserList(&node, &node));
    QXMEMORY_EXPECT_SLOT(16, spy->UnlockUserList());
    QXMEMORY_EXPECT_SLOT(17, spy->LockBankList(&node, &node));
    QXMEMORY_EXPECT_SLOT(18, spy->UnlockBankList());
    QXMEMORY_EXPECT_SLOT(19, spy->PushTag(0));
    QXMEMORY_EXPECT_SLOT(20, spy->PopTag());
    QXMEMORY_EXPECT_SLOT(21, spy->LargeBlockQuery(0, 1));
    QXMEMORY_EXPECT_SLOT(22, spy->LargeBlockHookB(1, 2));
    QXMEMORY_EXPECT_SLOT(23, spy->CreateRangeHeap(1, 2, 3, 4));
    QXMEMORY_EXPECT_SLOT(24, spy->DestroyRangeHeap(0));
    QXMEMORY_EXPECT_SLOT(25, spy->RangeAlloc(0, 1, 2, &word, &handle, true));
    QXMEMORY_EXPECT_SLOT(26, spy->RangeFree(0, 1));
    QXMEMORY_EXPECT_SLOT(27, spy->GetRangeHeapInfo(0, &word, &word, &stats, &word));
    QXMEMORY_EXPECT_SLOT(28, spy->LargeHeapCounter());
    QXMEMORY_EXPECT_SLOT(29, spy->SmallHeapCounter());
    QXMEMORY_EXPECT_SLOT(30, spy->GetCategoryCount(0));
    QXMEMORY_EXPECT_SLOT(31, spy->GetCategoryStatsByName(0, "a", &stats, &stats));
    QXMEMORY_EXPECT_SLOT(32, spy->GetCategoryStats(0, 1, &word, &stats, &stats));
    QXMEMORY_EXPECT_SLOT(33, spy->GetRecordCount(0));
    QXMEMORY_EXPECT_SLOT(34, spy->GetRecord(0, 1, &word, &word, &word, &stats));
    QXMEMORY_EXPECT_SLOT(35, spy->GetSystemHeapStats(&stats));
    QXMEMORY_EXPECT_SLOT(36, spy->GetLargeHeapStats(&stats));
    QXMEMORY_EXPECT_SLOT(37, spy->GetBlockCacheStats(&stats, &word));
    QXMEMORY_EXPECT_SLOT(38, spy->GetSmallHeapStats(&stats));
    QXMEMORY_EXPECT_SLOT(39, spy->GetBlockCacheStatsFor(1, &stats));
    QXMEMORY_EXPECT_SLOT(40, spy->GetSmallBinStats(1, &stats, &word, &word, &word, &word));
    QXMEMORY_EXPECT_SLOT(41, spy->GetChildCategoryCount(0, 0));
    QXMEMORY_EXPECT_SLOT(42, spy->GetChildCategoryId(0, 0, 1, &word));
    QXMEMORY_EXPECT_SLOT(43, spy->SetOutOfMemoryHandler(0, 1));
    QXMEMORY_EXPECT_SLOT(44, spy->ReportOutOfMemory(1));
    if (bank) {
        QXMEMORY_EXPECT_SLOT(1, bank->Alloc());
        QXMEMORY_EXPECT_SLOT(2, bank->Free(0));
        QXMEMORY_EXPECT_SLOT(3, bank->Release());
        QXMEMORY_EXPECT_SLOT(4, bank->GetStats(&word, &stats, &word, &word, &word, &word));
        // A delete lands in slot 0 with the deleting flag.
        QXMEMORY_EXPECT_SLOT(0, delete bank);
        Check(checks, *flags == 1, "IAllocator slot 0 gets the deleting flag");
    }
    QXMEMORY_EXPECT_SLOT(0, delete spy);
    Check(checks, *flags == 1, "slot 0 gets the deleting flag");
#undef QXMEMORY_EXPECT_SLOT
}

}  // namespace

/// Runs every check; returns the number that failed and, when any did, the first one's name.
extern "C" int RunMsvcHost(IQXMemory* spy, int* spySlot, unsigned* spyFlags,
                           const char** firstFailure) {
    Checks checks = {0, 0};
    CheckSlots(spy, spySlot, spyFlags, checks);
    IQXMemory* memory = GetIQXMemory();
    if (!memory || memory != GetIQXMemory()) {
        *firstFailure = "GetIQXMemory";
        return 1;
    }
    CheckGeneralAllocation(memory, checks);
    CheckBlockCache(memory, checks);
    CheckBanks(memory, checks);
    CheckTagsAndRanges(memory, checks);
    CheckStatistics(memory, checks);
    CheckSnapshots(memory, checks);
    CheckOutOfMemory(memory, checks);
    // A delete through the interface frees nothing: the object stays usable.
    delete memory;
    void* after = memory->Alloc(30);
    Check(checks, after && Kind(after) == 3, "slot 0: the object survives a delete");
    memory->Free(after);
    *firstFailure = checks.first;
    return checks.failed;
}
