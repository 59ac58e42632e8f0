// The binary interface: slot order of IQXMemory and IAllocator, and the public header compiling
// alone under C++11 and C++17.
#include <gtest/gtest.h>

#include <cstring>

#include "IQXMemory.h"

int HeaderCompiledAsCxx11();
int HeaderCompiledAsCxx17();

namespace {

// Under the Itanium C++ ABI (GCC on Linux and MinGW) a pointer to a virtual member function
// holds 1 + the byte offset of its entry in the virtual table.
template <typename MemberFunction>
size_t TableIndex(MemberFunction function) {
    struct {
        uintptr_t pointer;
        ptrdiff_t adjustment;
    } representation;
    static_assert(sizeof(function) == sizeof(representation), "Itanium member pointer");
    std::memcpy(&representation, &function, sizeof representation);
    EXPECT_EQ(representation.pointer % sizeof(void*), 1u) << "not a virtual function";
    return (representation.pointer - 1) / sizeof(void*);
}

#if defined(QXMEMORY_DESTRUCTOR_SLOT)
// On Windows one entry stands in for Microsoft's destructor: table index and slot agree.
size_t Slot(size_t tableIndex) { return tableIndex; }
#else
// The virtual destructor takes two entries (complete and deleting) ahead of slot 1.
size_t Slot(size_t tableIndex) { return tableIndex - 1; }
#endif

// The overloads, named by their parameters.
typedef IQXMemory M;
typedef void* (QXMEMORY_CALL M::*TaggedAlloc)(uint32_t, uintptr_t);
typedef void* (QXMEMORY_CALL M::*UntaggedAlloc)(uint32_t);
typedef void* (QXMEMORY_CALL M::*TaggedAllocAligned)(uint32_t, uint32_t, uintptr_t);
typedef void* (QXMEMORY_CALL M::*UntaggedAllocAligned)(uint32_t, uint32_t);

}  // namespace

TEST(InterfaceAbi, HeaderCompilesAsCxx11AndCxx17) {
    EXPECT_EQ(HeaderCompiledAsCxx11(), 201103);
    EXPECT_EQ(HeaderCompiledAsCxx17(), 201703);
}

TEST(InterfaceAbi, IQXMemorySlotsKeepTheirOrder) {
#if defined(QXMEMORY_DESTRUCTOR_SLOT)
    EXPECT_EQ(Slot(TableIndex(&M::ScalarDeletingDestructor)), 0u);
#endif
    EXPECT_EQ(Slot(TableIndex(static_cast<TaggedAlloc>(&M::Alloc))), 1u);
    EXPECT_EQ(Slot(TableIndex(static_cast<UntaggedAlloc>(&M::Alloc))), 2u);
    EXPECT_EQ(Slot(TableIndex(static_cast<TaggedAllocAligned>(&M::AllocAligned))), 3u);
    EXPECT_EQ(Slot(TableIndex(static_cast<UntaggedAllocAligned>(&M::AllocAligned))), 4u);
    EXPECT_EQ(Slot(TableIndex(&M::Free)), 5u);
    EXPECT_EQ(Slot(TableIndex(&M::LargeBlockHookA)), 6u);
    EXPECT_EQ(Slot(TableIndex(&M::LargeBlockTest)), 7u);
    EXPECT_EQ(Slot(TableIndex(&M::FlushBlockCache)), 8u);
    EXPECT_EQ(Slot(TableIndex(&M::SetBlockCacheLimit)), 9u);
    EXPECT_EQ(Slot(TableIndex(&M::AllocBlock)), 10u);
    EXPECT_EQ(Slot(TableIndex(&M::FreeBlock)), 11u);
    EXPECT_EQ(Slot(TableIndex(&M::CreateBank)), 12u);
    EXPECT_EQ(Slot(TableIndex(&M::LinkUserNode)), 13u);
    EXPECT_EQ(Slot(TableIndex(&M::UnlinkUserNode)), 14u);
    EXPECT_EQ(Slot(TableIndex(&M::LockUserList)), 15u);
    EXPECT_EQ(Slot(TableIndex(&M::UnlockUserList)), 16u);
    EXPECT_EQ(Slot(TableIndex(&M::LockBankList)), 17u);
    EXPECT_EQ(Slot(TableIndex(&M::UnlockBankList)), 18u);
    EXPECT_EQ(Slot(TableIndex(&M::PushTag)), 19u);
    EXPECT_EQ(Slot(TableIndex(&M::PopTag)), 20u);
    EXPECT_EQ(Slot(TableIndex(&M::LargeBlockQuery)), 21u);
    EXPECT_EQ(Slot(TableIndex(&M::LargeBlockHookB)), 22u);
    EXPECT_EQ(Slot(TableIndex(&M::CreateRangeHeap)), 23u);
    EXPECT_EQ(Slot(TableIndex(&M::DestroyRangeHeap)), 24u);
    EXPECT_EQ(Slot(TableIndex(&M::RangeAlloc)), 25u);
    EXPECT_EQ(Slot(TableIndex(&M::RangeFree)), 26u);
    EXPECT_EQ(Slot(TableIndex(&M::GetRangeHeapInfo)), 27u);
    EXPECT_EQ(Slot(TableIndex(&M::LargeHeapCounter)), 28u);
    EXPECT_EQ(Slot(TableIndex(&M::SmallHeapCounter)), 29u);
    EXPECT_EQ(Slot(TableIndex(&M::GetCategoryCount)), 30u);
    EXPECT_EQ(Slot(TableIndex(&M::GetCategoryStatsByName)), 31u);
    EXPECT_EQ(Slot(TableIndex(&M::GetCategoryStats)), 32u);
    EXPECT_EQ(Slot(TableIndex(&M::GetRecordCount)), 33u);
    EXPECT_EQ(Slot(TableIndex(&M::GetRecord)), 34u);
    EXPECT_EQ(Slot(TableIndex(&M::GetSystemHeapStats)), 35u);
    EXPECT_EQ(Slot(TableIndex(&M::GetLargeHeapStats)), 36u);
    EXPECT_EQ(Slot(TableIndex(&M::GetBlockCacheStats)), 37u);
    EXPECT_EQ(Slot(TableIndex(&M::GetSmallHeapStats)), 38u);
    EXPECT_EQ(Slot(TableIndex(&M::GetBlockCacheStatsFor)), 39u);
    EXPECT_EQ(Slot(TableIndex(&M::GetSmallBinStats)), 40u);
    EXPECT_EQ(Slot(TableIndex(&M::GetChildCategoryCount)), 41u);
    EXPECT_EQ(Slot(TableIndex(&M::GetChildCategoryId)), 42u);
    EXPECT_EQ(Slot(TableIndex(&M::SetOutOfMemoryHandler)), 43u);
    EXPECT_EQ(Slot(TableIndex(&M::ReportOutOfMemory)), 44u);
}

TEST(InterfaceAbi, IAllocatorAndILockSlotsKeepTheirOrder) {
#if defined(QXMEMORY_DESTRUCTOR_SLOT)
    EXPECT_EQ(Slot(TableIndex(&IAllocator::ScalarDeletingDestructor)), 0u);
#endif
    EXPECT_EQ(Slot(TableIndex(&IAllocator::Alloc)), 1u);
    EXPECT_EQ(Slot(TableIndex(&IAllocator::Free)), 2u);
    EXPECT_EQ(Slot(TableIndex(&IAllocator::Release)), 3u);
    EXPECT_EQ(Slot(TableIndex(&IAllocator::GetStats)), 4u);
    // A lock's table never crosses the boundary (the library enters a host's lock directly),
    // so ILock keeps the compiler's own layout: two destructor entries, then Lock and Unlock.
    EXPECT_EQ(TableIndex(&ILock::Lock), 2u);
    EXPECT_EQ(TableIndex(&ILock::Unlock), 3u);
}
