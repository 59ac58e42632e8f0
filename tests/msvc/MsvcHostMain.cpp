// Runs the Microsoft-ABI host (MsvcHost.cpp, compiled by clang for *-pc-windows-msvc) from a
// MinGW program, so that no Microsoft runtime is needed. It also hands the host two spies built
// by this compiler, with GCC's C++ ABI like the DLL: objects whose every slot records its own
// number, so that the host can check that each call it makes lands in the slot the library
// serves it from, the tagged and untagged overloads and the destructor included.
#include <cstdio>
#include <cstdlib>

#include "IQXMemory.h"

namespace {

int lastSlot = -1;
unsigned lastFlags = 0;

// Every slot records its number and answers with a neutral value.
class SpyMemory final : public IQXMemory {
public:
    void* ScalarDeletingDestructor(unsigned flags) override { return Hit(0, flags); }
    void* Alloc(uint32_t, uintptr_t) override { return Hit(1); }
    void* Alloc(uint32_t) override { return Hit(2); }
    void* AllocAligned(uint32_t, uint32_t, uintptr_t) override { return Hit(3); }
    void* AllocAligned(uint32_t, uint32_t) override { return Hit(4); }
    void Free(void*) override { Hit(5); }
    void LargeBlockHookA(uint32_t, uint32_t) override { Hit(6); }
    bool LargeBlockTest(void*) override { return Hit(7) != nullptr; }
    void FlushBlockCache() override { Hit(8); }
    void SetBlockCacheLimit(uint32_t) override { Hit(9); }
    void* AllocBlock(int32_t, const AllocTag*) override { return Hit(10); }
    void FreeBlock(int32_t, void*) override { Hit(11); }
    IAllocator* CreateBank(uint32_t, uint32_t, bool) override { return Spy(12); }
    void LinkUserNode(ListNode*) override { Hit(13); }
    void UnlinkUserNode(ListNode*) override { Hit(14); }
    void LockUserList(ListNode**, ListNode**) override { Hit(15); }
    void UnlockUserList() override { Hit(16); }
    void LockBankList(ListNode**, ListNode**) override { Hit(17); }
    void UnlockBankList() override { Hit(18); }
    ThreadTagContext* PushTag(const AllocTag*) override { return Context(19); }
    ThreadTagContext* PopTag() override { return Context(20); }
    uint16_t LargeBlockQuery(void*, uint32_t) override { return Number(21); }
    void LargeBlockHookB(uint32_t, uint32_t) override { Hit(22); }
    RangeHeap* CreateRangeHeap(uint32_t, uint32_t, uint32_t, uint32_t) override {
        Hit(23);
        return nullptr;
    }
    void DestroyRangeHeap(RangeHeap*) override { Hit(24); }
    bool RangeAlloc(RangeHeap*, uint32_t, uint32_t, uint32_t*, uint16_t*, bool) override {
        return Hit(25) != nullptr;
    }
    void RangeFree(RangeHeap*, uint16_t) override { Hit(26); }
    void GetRangeHeapInfo(RangeHeap*, uint32_t*, uint32_t*, MemStats*, uint32_t*) override {
        Hit(27);
    }
    uint32_t LargeHeapCounter() override { return Number(28); }
    uint32_t SmallHeapCounter() override { return Number(29); }
    uint32_t GetCategoryCount(MemSnapshot*) override { return Number(30); }
    bool GetCategoryStatsByName(MemSnapshot*, const char*, MemStats*, MemStats*) override {
        return Hit(31) != nullptr;
    }
    bool GetCategoryStats(MemSnapshot*, uint32_t, uint32_t*, MemStats*, MemStats*) override {
        return Hit(32) != nullptr;
    }
    uint32_t GetRecordCount(MemSnapshot*) override { return Number(33); }
    bool GetRecord(MemSnapshot*, uint32_t, uint32_t*, uint32_t*, uint32_t*, MemStats*) override {
        return Hit(34) != nullptr;
    }
    void GetSystemHeapStats(MemStats*) override { Hit(35); }
    void GetLargeHeapStats(MemStats*) override { Hit(36); }
    void GetBlockCacheStats(MemStats*, uint32_t*) override { Hit(37); }
    void GetSmallHeapStats(MemStats*) override { Hit(38); }
    void GetBlockCacheStatsFor(uint32_t, MemStats*) override { Hit(39); }
    void GetSmallBinStats(uint32_t, MemStats*, uint32_t*, uint32_t*, uint32_t*,
                          uint32_t*) override {
        Hit(40);
    }
    uint32_t GetChildCategoryCount(MemSnapshot*, const char*) override { return Number(41); }
    void GetChildCategoryId(MemSnapshot*, const char*, uint32_t, uint32_t*) override { Hit(42); }
    void SetOutOfMemoryHandler(OutOfMemoryCallback, uintptr_t) override { Hit(43); }
    void ReportOutOfMemory(uint32_t) override { Hit(44); }

private:
    void* Hit(int slot, unsigned flags = 0) {
        lastSlot = slot;
        lastFlags = flags;
        return nullptr;
    }
    uint32_t Number(int slot) { return Hit(slot), 0; }
    ThreadTagContext* Context(int slot) { return Hit(slot), nullptr; }
    IAllocator* Spy(int slot);
};

class SpyAllocator final : public IAllocator {
public:
    void* ScalarDeletingDestructor(unsigned flags) override { return Hit(0, flags); }
    void* Alloc() override { return Hit(1); }
    void Free(void*) override { Hit(2); }
    void Release() override { Hit(3); }
    void GetStats(uint32_t*, MemStats*, uint32_t*, uint32_t*, uint32_t*, uint32_t*) override {
        Hit(4);
    }

private:
    void* Hit(int slot, unsigned flags = 0) {
        lastSlot = slot;
        lastFlags = flags;
        return nullptr;
    }
};

SpyMemory spyMemory;
SpyAllocator spyAllocator;

IAllocator* SpyMemory::Spy(int slot) { return Hit(slot), &spyAllocator; }

}  // namespace

extern "C" int RunMsvcHost(IQXMemory* spy, int* spySlot, unsigned* spyFlags,
                           const char** firstFailure);

// The one runtime function the Microsoft-ABI object refers to: operator delete, named by the
// deleting destructor of the CriticalSectionLock in its snapshot (never called).
#if defined(_WIN64)
#define QXMEMORY_MSVC_DELETE "\"??3@YAXPEAX@Z\""
#else
#define QXMEMORY_MSVC_DELETE "\"??3@YAXPAX@Z\""
#endif
extern "C" void MsvcOperatorDelete(void* block) __asm__(QXMEMORY_MSVC_DELETE);
extern "C" void MsvcOperatorDelete(void* block) { std::free(block); }

int main() {
    const char* firstFailure = nullptr;
    const int failed = RunMsvcHost(&spyMemory, &lastSlot, &lastFlags, &firstFailure);
    if (failed) {
        std::printf("msvc host: %d checks failed, the first: %s\n", failed,
                    firstFailure ? firstFailure : "?");
        return 1;
    }
    std::puts("msvc host: every slot of IQXMemory and IAllocator reached its own operation");
    return 0;
}
