#include "interface/QXMemory.h"

#include "common/HeaderWord.h"
#include "interface/Singletons.h"
#include "pool/BankRegistry.h"
#include "pool/BlockCache.h"
#include "pool/SmallMemAllocator.h"
#include "system/AlignedHeap.h"
#include "system/OutOfMemoryHandler.h"

// --- General allocation ----------------------------------------------------------------------

void* QXMemory::Alloc(uint32_t size, uintptr_t) {
    IQXMemory* self = this;
    return self->Alloc(size);
}

void* QXMemory::Alloc(uint32_t size) {
    if (size >= SmallLimit) return GetAlignedHeap().Alloc(size, 8);
    return GetSmallMemAllocator().Alloc(size);
}

void* QXMemory::AllocAligned(uint32_t size, uint32_t alignment, uintptr_t) {
    IQXMemory* self = this;
    return self->AllocAligned(size, alignment);
}

void* QXMemory::AllocAligned(uint32_t size, uint32_t alignment) {
    return GetAlignedHeap().Alloc(size, alignment);
}

void QXMemory::Free(void* block) {
    if (!block) return;
    const uint32_t kind = HeaderWord::Kind(HeaderWord::Read(block));
    if (kind == HeaderWord::KindAlignedBlock)
        GetAlignedHeap().Free(block);
    else if (kind >= HeaderWord::KindFirstSmallBin && kind <= HeaderWord::KindLastSmallBin)
        GetSmallMemAllocator().Free(block);
    // Bank elements (kind 0) go back through their bank; kinds 10 to 15 are never written.
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

ThreadTagContext* QXMemory::PushTag(const AllocTag*) { return nullptr; }
ThreadTagContext* QXMemory::PopTag() { return nullptr; }

uint16_t QXMemory::LargeBlockQuery(void*, uint32_t) {
    GetAlignedHeap();
    return 0;
}

void QXMemory::LargeBlockHookB(uint32_t, uint32_t) { GetAlignedHeap(); }

// --- Range heaps -----------------------------------------------------------------------------

RangeHeap* QXMemory::CreateRangeHeap(uint32_t, uint32_t, uint32_t, uint32_t) { return nullptr; }
void QXMemory::DestroyRangeHeap(RangeHeap*) {}
bool QXMemory::RangeAlloc(RangeHeap*, uint32_t, uint32_t, uint32_t*, uint16_t*, bool) {
    return false;
}
void QXMemory::RangeFree(RangeHeap*, uint16_t) {}
void QXMemory::GetRangeHeapInfo(RangeHeap*, uint32_t*, uint32_t*, MemStats*, uint32_t*) {}

uint32_t QXMemory::LargeHeapCounter() {
    GetAlignedHeap();
    return 0;
}

uint32_t QXMemory::SmallHeapCounter() {
    GetSmallMemAllocator();
    return 0;
}

// --- Snapshots and statistics ----------------------------------------------------------------

uint32_t QXMemory::GetCategoryCount(MemSnapshot*) { return 0; }
bool QXMemory::GetCategoryStatsByName(MemSnapshot*, const char*, MemStats*, MemStats*) {
    return false;
}
bool QXMemory::GetCategoryStats(MemSnapshot*, uint32_t, uint32_t*, MemStats*, MemStats*) {
    return false;
}
uint32_t QXMemory::GetRecordCount(MemSnapshot*) { return 0; }
bool QXMemory::GetRecord(MemSnapshot*, uint32_t, uint32_t*, uint32_t*, uint32_t*, MemStats*) {
    return false;
}
void QXMemory::GetSystemHeapStats(MemStats*) {}
void QXMemory::GetLargeHeapStats(MemStats*) {}
void QXMemory::GetBlockCacheStats(MemStats*, uint32_t*) {}
void QXMemory::GetSmallHeapStats(MemStats*) {}
void QXMemory::GetBlockCacheStatsFor(uint32_t, MemStats*) {}
void QXMemory::GetSmallBinStats(uint32_t bin, MemStats* stats, uint32_t* first, uint32_t* second,
                                uint32_t* third, uint32_t* fourth) {
    GetSmallMemAllocator().GetBinStats(bin, stats, first, second, third, fourth);
}
uint32_t QXMemory::GetChildCategoryCount(MemSnapshot*, const char*) { return 0; }
void QXMemory::GetChildCategoryId(MemSnapshot*, const char*, uint32_t, uint32_t*) {}

// --- Out of memory ---------------------------------------------------------------------------

void QXMemory::SetOutOfMemoryHandler(OutOfMemoryCallback callback, uintptr_t userData) {
    GetOutOfMemoryHandler().SetHandler(callback, userData);
}

void QXMemory::ReportOutOfMemory(uint32_t size) { GetOutOfMemoryHandler().Report(size); }
