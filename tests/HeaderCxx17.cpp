// Compiled as C++17: the public header must stand on its own there, and so must the companion
// header over it, without NOMINMAX or WIN32_LEAN_AND_MEAN on Windows.
#include "IQXMemory.h"
#include "QXMemory.hpp"

#include <unordered_map>
#include <vector>

// The companion's hash is a constant expression, equal to the library's.
static_assert(qxmemory::HashCategoryName("All.Pool") == qxmemory::HashCategoryName("ALL.pool"),
              "letters of either case hash alike");
static_assert(qxmemory::HashCategoryName("ab") == 921u, "1 * 919 + 2");
static_assert(std::is_nothrow_move_constructible<qxmemory::RangeHeapOwner>::value &&
                  std::is_nothrow_move_constructible<qxmemory::BankOwner>::value,
              "owners move");
static_assert(!std::is_copy_constructible<qxmemory::TagScope>::value &&
                  !std::is_move_constructible<qxmemory::LockedUserList>::value &&
                  !std::is_move_constructible<qxmemory::LockedBankList>::value,
              "scopes stay where they were opened");

int HeaderCompiledAsCxx17() {
    CriticalSectionLock lock;
    ScopedLock hold(lock);
    return int(__cplusplus);
}

// Every template of the companion instantiated once over an explicit interface, so that no
// default (and no GetIQXMemory reference) is needed to compile it.
size_t CompanionCompiledAsCxx17(IQXMemory& memory) {
    qxmemory::MemoryResource resource(memory);
    std::pmr::vector<int> pmr(&resource);
    qxmemory::Allocator<int> ints(memory);
    std::vector<int, qxmemory::Allocator<int>> numbers(ints);
    std::unordered_map<int, int, std::hash<int>, std::equal_to<int>,
                       qxmemory::Allocator<std::pair<const int, int>>>
        map(8, std::hash<int>(), std::equal_to<int>(), ints);
    qxmemory::SnapshotBuilder builder;
    builder.AddCategory("All", 1);
    return pmr.size() + numbers.size() + map.size() + builder.CategoryCount();
}
