// QXMemory - the one implementation of IQXMemory. It holds no state: each slot routes the
// general allocation by size and header word, answers with a fixed value, or forwards to a
// subsystem singleton.
#pragma once

#include "IQXMemory.h"

// Not final: the tagged overloads re-enter the interface through the virtual table.
class QXMemory : public IQXMemory {
public:
    // Requests below this go to the small bins, the rest to the aligned heap.
    static constexpr uint32_t SmallLimit = 512;

#if defined(QXMEMORY_DESTRUCTOR_SLOT)
    // Where a Microsoft-ABI host's delete lands. The object lives in static storage until the
    // library unloads, so nothing is freed and it stays usable.
    void* QXMEMORY_CALL ScalarDeletingDestructor(unsigned int) override { return this; }
#endif

    void* Alloc(uint32_t size, uintptr_t tag) override;
    void* Alloc(uint32_t size) override;
    void* AllocAligned(uint32_t size, uint32_t alignment, uintptr_t tag) override;
    void* AllocAligned(uint32_t size, uint32_t alignment) override;
    void Free(void* block) override;
    void LargeBlockHookA(uint32_t first, uint32_t second) override;
    bool LargeBlockTest(void* block) override;

    void FlushBlockCache() override;
    void SetBlockCacheLimit(uint32_t bytes) override;
    void* AllocBlock(int32_t sizeClass, const AllocTag* tag) override;
    void FreeBlock(int32_t sizeClass, void* block) override;

    IAllocator* CreateBank(uint32_t elementSize, uint32_t elementCount, bool shareable) override;
    void LinkUserNode(ListNode* node) override;
    void UnlinkUserNode(ListNode* node) override;
    void LockUserList(ListNode** first, ListNode** end) override;
    void UnlockUserList() override;
    void LockBankList(ListNode** first, ListNode** end) override;
    void UnlockBankList() override;

    ThreadTagContext* PushTag(const AllocTag* tag) override;
    ThreadTagContext* PopTag() override;
    uint16_t LargeBlockQuery(void* block, uint32_t value) override;
    void LargeBlockHookB(uint32_t first, uint32_t second) override;

    RangeHeap* CreateRangeHeap(uint32_t totalSize, uint32_t entryCount, uint32_t minFragment,
                               uint32_t base) override;
    void DestroyRangeHeap(RangeHeap* heap) override;
    bool RangeAlloc(RangeHeap* heap, uint32_t size, uint32_t alignment, uint32_t* outOffset,
                    uint16_t* outHandle, bool bottomUp) override;
    void RangeFree(RangeHeap* heap, uint16_t handle) override;
    void GetRangeHeapInfo(RangeHeap* heap, uint32_t* outTotal, uint32_t* outSpare, MemStats* stats,
                          uint32_t* outLargest) override;
    uint32_t LargeHeapCounter() override;
    uint32_t SmallHeapCounter() override;

    uint32_t GetCategoryCount(MemSnapshot* snapshot) override;
    bool GetCategoryStatsByName(MemSnapshot* snapshot, const char* name, MemStats* first,
                                MemStats* second) override;
    bool GetCategoryStats(MemSnapshot* snapshot, uint32_t index, uint32_t* id, MemStats* first,
                          MemStats* second) override;
    uint32_t GetRecordCount(MemSnapshot* snapshot) override;
    bool GetRecord(MemSnapshot* snapshot, uint32_t index, uint32_t* categoryId, uint32_t* firstWord,
                   uint32_t* secondWord, MemStats* stats) override;
    void GetSystemHeapStats(MemStats* stats) override;
    void GetLargeHeapStats(MemStats* stats) override;
    void GetBlockCacheStats(MemStats* stats, uint32_t* out) override;
    void GetSmallHeapStats(MemStats* stats) override;
    void GetBlockCacheStatsFor(uint32_t key, MemStats* stats) override;
    void GetSmallBinStats(uint32_t bin, MemStats* stats, uint32_t* first, uint32_t* second,
                          uint32_t* third, uint32_t* fourth) override;
    uint32_t GetChildCategoryCount(MemSnapshot* snapshot, const char* name) override;
    void GetChildCategoryId(MemSnapshot* snapshot, const char* name, uint32_t index,
                            uint32_t* id) override;

    void SetOutOfMemoryHandler(OutOfMemoryCallback callback, uintptr_t userData) override;
    void ReportOutOfMemory(uint32_t size) override;
};
