// The records the library shares with hosts, pinned. On 32-bit targets they are the Win32
// layouts word for word; on 64-bit targets the same fields in the same order with native
// pointers.
#include <stddef.h>

#include "IQXMemory.h"

// MemSnapshot embeds a lock with a virtual table, so it is not standard-layout; its offsets
// are still fixed by this one compiler and ABI, which is what these checks pin.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"

static_assert(sizeof(CriticalSectionLock) == sizeof(void*) + sizeof(QXMemoryPlatform::LockState),
              "the lock is its virtual table pointer and its storage");
static_assert(offsetof(ThreadTagContext, depth) == sizeof(AllocTag), "depth follows the tag");
static_assert(sizeof(MemStats) == 40, "ten words");
static_assert(offsetof(ListNode, next) == sizeof(ListNode*), "prev, then next");
static_assert(offsetof(CategoryNode, second) == 40 && offsetof(CategoryNode, id) == 80,
              "two records, then the id");
static_assert(offsetof(MemSnapshot, categoryMap) == sizeof(CriticalSectionLock),
              "the category map follows the lock");

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(QXMemoryPlatform::LockState) == 24, "a 32-bit Win32 critical section");
static_assert(sizeof(CriticalSectionLock) == 28, "vptr and critical section");
static_assert(sizeof(AllocTag) == 12, "three words");
static_assert(sizeof(ThreadTagContext) == 16, "tag and depth");
static_assert(offsetof(ThreadTagContext, depth) == 12, "depth is word 3");
static_assert(sizeof(ListNode) == 8, "two links");
static_assert(sizeof(CategoryMapEntry) == 8, "hash and node");
static_assert(offsetof(CategoryNode, parent) == 84, "parent after the id");
static_assert(offsetof(RecordTableEntry, record) == 8 && sizeof(RecordTableEntry) == 12,
              "two words, then the record");
static_assert(offsetof(SnapshotRecord, category) == 8, "category after the two words");
static_assert(offsetof(SnapshotRecord, stats) == 16, "stats after a word not read");
static_assert(offsetof(MemSnapshot, categoryMap.entries) == 36, "map entries");
static_assert(offsetof(MemSnapshot, categoryMap.count) == 40, "map count");
static_assert(offsetof(MemSnapshot, records) == 56, "record table");
static_assert(offsetof(MemSnapshot, recordCount) == 60, "record count");
#endif

#pragma GCC diagnostic pop
