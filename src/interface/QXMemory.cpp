#include "interface/QXMemory.h"

#include "common/DefaultAlignment.h"
#include "common/HeaderWord.h"
#include "common/MemoryChecker.h"
#include "common/StatsRecord.h"
#include "interface/Singletons.h"
#include "pool/BankRegistry.h"
#include "pool/BlockCache.h"
#include "pool/SmallMemAllocator.h"
#include "range/RangeHeap.h"
#include "stats/SnapshotQueries.h"
#include "stats/ThreadTagStore.h"
#include "system/AlignedHeap.h"
#include "system/OutOfMemoryHandler.h"
#include "system/SystemHeap.h"

// --- General allocation ----------------------------------------------------------------------

void* QXMemory::Alloc(uint32_t size, uintptr_t) {
    IQXMemory* self = this;
    return self->Alloc(size);
}

[[gnu::hot]] void* QXMemory::Alloc(uint32_t size) {
    if (size >= SmallLimit) return GetAlignedHeap().Alloc(size, DefaultAlignment);
    return GetSmallMemAllocator().Alloc(size);
}

void* QXMemory::AllocAligned(uint32_t size, uint32_t alignment, uintptr_t) {
    IQXMemory* self = this;
    return self->AllocAligned(size, alignment);
}

void* QXMemory::AllocAligned(uint32_t size, uint32_t alignment) {
    return GetAlignedHeap().Alloc(size, alignment);
}

[[gnu::hot]] void QXMemory::Free(void* block) {
    if (!block) return;
    const uint32_t kind = HeaderWord::Kind(HeaderWord::Read(block));
    if (kind == HeaderWord::KindAlignedBlock)
        GetAlignedHeap().Free(block);
    else if (kind >= HeaderWord::KindFirstSmallBin && kind <= HeaderWord::KindLastSmallBin)
        GetSmallMemAllocator().Free(block);
    else if (kind == HeaderWord::KindBankElement)
        // Bank elements go back through their bank. A small element freed a second time reads
        // kind 0 too, its word now a free-chain index: checked over the smallest usable size, so
        // that a live bank element is never taken for one.
        MemoryChecker::ReportIfFreed(block, 4);
    // Kinds 10 to 15 are never written.
}

void QXMemory::LargeBlockHookA(uint32_t, uint32_t) { GetAlignedHeap(); }

bool QXMemory::LargeBlockTest(void*) {
    GetAlignedHeap();
    return false;
}

// --- Page blocks -----------------------------------------------------------------------------

void QXMemory::FlushBlockCache() { GetBlockCache().Flush(); }
void QXMemory::SetBlockCacheLimit(uint32_t bytes) { GetBlockCache().SetLimit(bytes); }

void* QXMemory::AllocBlock(int32_t sizeClass, const AllocTag* tag) {
    return GetBlockCache().Get(sizeClass, tag);
}

void QXMemory::FreeBlock(int32_t sizeClass, void* block) {
    GetBlockCache().Release(sizeClass, block);
}

// --- Banks and lists -------------------------------------------------------------------------

IAllocator* QXMemory::CreateBank(uint32_t elementSize, uint32_t elementCount, bool shareable) {
    return GetBankRegistry().CreateBank(elementSize, elementCount, shareable);
}

void QXMemory::LinkUserNode(ListNode* node) { GetBankRegistry().LinkUserNode(node); }
void QXMemory::UnlinkUserNode(ListNode* node) { GetBankRegistry().UnlinkUserNode(node); }

void QXMemory::LockUserList(ListNode** first, ListNode** end) {
    GetBankRegistry().LockUserList(first, end);
}

void QXMemory::UnlockUserList() { GetBankRegistry().UnlockUserList(); }

void QXMemory::LockBankList(ListNode** first, ListNode** end) {
    GetBankRegistry().LockBankList(first, end);
}

void QXMemory::UnlockBankList() { GetBankRegistry().UnlockBankList(); }

// --- Thread tags -----------------------------------------------------------------------------

ThreadTagContext* QXMemory::PushTag(const AllocTag* tag) { return GetThreadTagStore().Push(tag); }
ThreadTagContext* QXMemory::PopTag() { return GetThreadTagStore().Pop(); }

uint16_t QXMemory::LargeBlockQuery(void*, uint32_t) {
    GetAlignedHeap();
    return 0;
}

void QXMemory::LargeBlockHookB(uint32_t, uint32_t) { GetAlignedHeap(); }

// --- Range heaps -----------------------------------------------------------------------------

// The factory takes the descriptor count first; the slot takes the total size first.
RangeHeap* QXMemory::CreateRangeHeap(uint32_t totalSize, uint32_t entryCount, uint32_t minFragment,
                                     uint32_t base) {
    return RangeHeap::Create(GetSystemHeap(), entryCount, totalSize, minFragment, base);
}

void QXMemory::DestroyRangeHeap(RangeHeap* heap) { RangeHeap::Destroy(heap); }

bool QXMemory::RangeAlloc(RangeHeap* heap, uint32_t size, uint32_t alignment, uint32_t* outOffset,
                          uint16_t* outHandle, bool bottomUp) {
    return heap && heap->Alloc(size, alignment, outOffset, outHandle, bottomUp);
}

void QXMemory::RangeFree(RangeHeap* heap, uint16_t handle) {
    if (heap) heap->Free(handle);
}

void QXMemory::GetRangeHeapInfo(RangeHeap* heap, uint32_t* outTotal, uint32_t* outSpare,
                                MemStats* stats, uint32_t* outLargest) {
    if (!heap) return;
    heap->GetInfo(outTotal, outSpare, stats);
    if (outLargest) *outLargest = heap->LargestFreeBlock();
}

uint32_t QXMemory::LargeHeapCounter() {
    GetAlignedHeap();
    return 0;
}

uint32_t QXMemory::SmallHeapCounter() {
    GetSmallMemAllocator();
    return 0;
}

// --- Snapshots and statistics ----------------------------------------------------------------

uint32_t QXMemory::GetCategoryCount(MemSnapshot* snapshot) {
    return SnapshotQueries::GetCategoryCount(snapshot);
}

bool QXMemory::GetCategoryStatsByName(MemSnapshot* snapshot, const char* name, MemStats* first,
                                      MemStats* second) {
    return SnapshotQueries::GetCategoryStatsByName(snapshot, name, first, second);
}

bool QXMemory::GetCategoryStats(MemSnapshot* snapshot, uint32_t index, uint32_t* id,
                                MemStats* first, MemStats* second) {
    return SnapshotQueries::GetCategoryStats(snapshot, index, id, first, second);
}

uint32_t QXMemory::GetRecordCount(MemSnapshot* snapshot) {
    return SnapshotQueries::GetRecordCount(snapshot);
}

bool QXMemory::GetRecord(MemSnapshot* snapshot, uint32_t index, uint32_t* categoryId,
                         uint32_t* firstWord, uint32_t* secondWord, MemStats* stats) {
    return SnapshotQueries::GetRecord(snapshot, index, categoryId, firstWord, secondWord, stats);
}

// The library keeps no counters: each statistics slot obtains its subsystem, as a query of it
// would, and answers with a reset record.
void QXMemory::GetSystemHeapStats(MemStats* stats) {
    GetSystemHeap();
    ResetStats(stats);
}

void QXMemory::GetLargeHeapStats(MemStats* stats) {
    GetAlignedHeap();
    ResetStats(stats);
}

void QXMemory::GetBlockCacheStats(MemStats* stats, uint32_t* out) {
    GetBlockCache();
    ResetStats(stats);
    *out = 0;
}

void QXMemory::GetSmallHeapStats(MemStats* stats) {
    GetSmallMemAllocator();
    ResetStats(stats);
}

void QXMemory::GetBlockCacheStatsFor(uint32_t, MemStats* stats) {
    GetBlockCache();
    ResetStats(stats);
}

void QXMemory::GetSmallBinStats(uint32_t bin, MemStats* stats, uint32_t* first, uint32_t* second,
                                uint32_t* third, uint32_t* fourth) {
    GetSmallMemAllocator().GetBinStats(bin, stats, first, second, third, fourth);
}

uint32_t QXMemory::GetChildCategoryCount(MemSnapshot* snapshot, const char* name) {
    return SnapshotQueries::GetChildCategoryCount(snapshot, name);
}

void QXMemory::GetChildCategoryId(MemSnapshot* snapshot, const char* name, uint32_t index,
                                  uint32_t* id) {
    SnapshotQueries::GetChildCategoryId(snapshot, name, index, id);
}

// --- Out of memory ---------------------------------------------------------------------------

void QXMemory::SetOutOfMemoryHandler(OutOfMemoryCallback callback, uintptr_t userData) {
    GetOutOfMemoryHandler().SetHandler(callback, userData);
}

void QXMemory::ReportOutOfMemory(uint32_t size) { GetOutOfMemoryHandler().Report(size); }
