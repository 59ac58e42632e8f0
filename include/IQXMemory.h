// IQXMemory.h - the one header a host program compiles against.
//
// A host calls GetIQXMemory() once, keeps the IQXMemory pointer and makes every request through
// its virtual operations. The slot order of IQXMemory and IAllocator is the binary interface:
// it never changes, and overloads keep their own slots. Sizes, counts, alignments and offsets
// are unsigned 32-bit on every platform. No operation throws; failure is null, false or 0.
//
// The records below (AllocTag, MemStats, ListNode, ThreadTagContext and the snapshot records)
// share memory between host and library, so their layouts are part of the interface too. On
// 32-bit targets they match the Win32 layout word for word; on 64-bit targets pointers are
// native and the fields keep their order.
//
// Compiles on its own as C++11 and later.
#ifndef QXMEMORY_IQXMEMORY_H
#define QXMEMORY_IQXMEMORY_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#if defined(_WIN32)
#if defined(QXMEMORY_BUILDING) || defined(QXMEMORY_STATIC)
#define QXMEMORY_API
#else
#define QXMEMORY_API __declspec(dllimport)
#endif
#else
#define QXMEMORY_API __attribute__((visibility("default")))
#endif

// ---------------------------------------------------------------------------------------------
// The recursive lock's storage and primitive.
//
// Hosts construct CriticalSectionLock themselves (every MemSnapshot embeds one) and the library
// enters the locks hosts constructed, so both sides must agree on the storage and on how it is
// entered. On Windows that is the Win32 critical section. Elsewhere it is a futex word with an
// owner and a depth, sized on 32-bit targets like a 32-bit Win32 critical section (24 bytes) so
// that every record embedding the lock keeps the Win32 offsets.
// ---------------------------------------------------------------------------------------------
namespace QXMemoryPlatform {

#if defined(_WIN32)

typedef CRITICAL_SECTION LockState;

inline void InitLock(LockState& state) { InitializeCriticalSection(&state); }
inline void DeleteLock(LockState& state) { DeleteCriticalSection(&state); }
inline void EnterLock(LockState& state) { EnterCriticalSection(&state); }
inline void LeaveLock(LockState& state) { LeaveCriticalSection(&state); }

#else

struct LockState {
    int32_t word;          // futex word: 0 free, 1 held, 2 held with sleepers
    uint32_t depth;        // how often the owner has entered; touched only by the owner
    uintptr_t owner;       // pthread_self() of the owner, 0 while free
#if UINTPTR_MAX == 0xFFFFFFFFu
    uint32_t reserved[3];  // pads to the 24 bytes of a 32-bit Win32 critical section
#endif
};

// The thread pointer identifies a live thread uniquely. On x86 the TLS ABI keeps it at offset 0
// of the thread's own segment, one load without a call; elsewhere pthread_self() gives it.
inline uintptr_t CurrentThreadId() {
    uintptr_t self;
#if defined(__x86_64__)
    __asm__("mov %%fs:0, %0" : "=r"(self));
#elif defined(__i386__)
    __asm__("mov %%gs:0, %0" : "=r"(self));
#else
    self = (uintptr_t)pthread_self();
#endif
    return self;
}

inline void InitLock(LockState& state) {
    state.word = 0;
    state.depth = 0;
    state.owner = 0;
#if UINTPTR_MAX == 0xFFFFFFFFu
    state.reserved[0] = state.reserved[1] = state.reserved[2] = 0;
#endif
}

inline void DeleteLock(LockState&) {}

// Slow path. Critical sections are a few dozen instructions and their holder is usually running,
// so wait on the word a while before sleeping; only then mark it contended and sleep until a
// release hands the lock over.
inline void WaitForLock(LockState& state) {
    for (int spin = 0; spin < 2000; ++spin) {
        int32_t expected = 0;
        if (__atomic_load_n(&state.word, __ATOMIC_RELAXED) == 0 &&
            __atomic_compare_exchange_n(&state.word, &expected, 1, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return;
#if defined(__i386__) || defined(__x86_64__)
        __builtin_ia32_pause();
#endif
    }
    while (__atomic_exchange_n(&state.word, 2, __ATOMIC_ACQUIRE) != 0)
        syscall(SYS_futex, &state.word, FUTEX_WAIT_PRIVATE, 2, (void*)0, (void*)0, 0);
}

inline void EnterLock(LockState& state) {
    const uintptr_t self = CurrentThreadId();
    // Only this thread ever stores its own id, so a relaxed read cannot see it falsely.
    if (__atomic_load_n(&state.owner, __ATOMIC_RELAXED) == self) {
        ++state.depth;
        return;
    }
    int32_t expected = 0;
    if (!__atomic_compare_exchange_n(&state.word, &expected, 1, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED))
        WaitForLock(state);
    __atomic_store_n(&state.owner, self, __ATOMIC_RELAXED);
    state.depth = 1;
}

inline void LeaveLock(LockState& state) {
    if (--state.depth != 0) return;
    __atomic_store_n(&state.owner, (uintptr_t)0, __ATOMIC_RELAXED);
    if (__atomic_exchange_n(&state.word, 0, __ATOMIC_RELEASE) == 2)
        syscall(SYS_futex, &state.word, FUTEX_WAKE_PRIVATE, 1, (void*)0, (void*)0, 0);
}

#endif

}  // namespace QXMemoryPlatform

// ---------------------------------------------------------------------------------------------
// Locks
// ---------------------------------------------------------------------------------------------

// A lock that the owning thread may enter again; it must leave it as often as it entered.
class ILock {
public:
    virtual ~ILock() {}
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
};

// The re-entrant lock every stateful object of the library embeds, and hosts embed in their
// snapshots. Construct it before the owning object is shared; destroy it when nobody holds it.
class CriticalSectionLock : public ILock {
public:
    CriticalSectionLock() { QXMemoryPlatform::InitLock(section); }
    virtual ~CriticalSectionLock() { QXMemoryPlatform::DeleteLock(section); }
    virtual void Lock() { Enter(); }
    virtual void Unlock() { Leave(); }

    // The same as Lock and Unlock without the virtual call.
    void Enter() { QXMemoryPlatform::EnterLock(section); }
    void Leave() { QXMemoryPlatform::LeaveLock(section); }

    QXMemoryPlatform::LockState section;

private:
    CriticalSectionLock(const CriticalSectionLock&);
    CriticalSectionLock& operator=(const CriticalSectionLock&);
};

// Holds a CriticalSectionLock for one scope, released on every path out of it.
class ScopedLock {
public:
    explicit ScopedLock(CriticalSectionLock& lock) : lock_(&lock) { lock_->Enter(); }
    ~ScopedLock() { lock_->Leave(); }

private:
    CriticalSectionLock* lock_;
    ScopedLock(const ScopedLock&);
    ScopedLock& operator=(const ScopedLock&);
};

// ---------------------------------------------------------------------------------------------
// Records shared with hosts
// ---------------------------------------------------------------------------------------------

// A caller's allocation tag: two names (zero-terminated, owned by the caller) and a value.
struct AllocTag {
    const char* firstName;
    const char* secondName;
    uint32_t value;
};

// Ten statistics words, provided by the caller. A reset zeroes every word except word 3.
struct MemStats {
    uint32_t words[10];
};

// An intrusive list link: prev, then next. A node outside any list points to itself both ways.
struct ListNode {
    ListNode* prev;
    ListNode* next;
};

// A thread's current tag and how deep its PushTag brackets are nested. Returned by PushTag and
// PopTag; the library writes it only from its own thread's PushTag and PopTag.
struct ThreadTagContext {
    AllocTag tag;
    uint32_t depth;
};

// A range heap: bookkeeping over a caller-owned address range. Opaque to hosts.
class RangeHeap;

// --- Snapshots: built, filled and owned by the host; the library only reads them. ----------

struct CategoryNode {
    MemStats first;
    MemStats second;
    uint32_t id;
    CategoryNode* parent;  // the very node the parent's map entry points to; null at top level
};

// One entry of a snapshot's category map, sorted by hash in ascending unsigned order.
struct CategoryMapEntry {
    uint32_t hash;       // HashCategoryName of the category's name
    CategoryNode* node;  // may be null: such an entry is nobody's child and has no stats
};

struct SnapshotRecord {
    uint32_t firstWord;
    uint32_t secondWord;
    CategoryNode* category;
    uint32_t reserved;  // not read
    MemStats stats;
};

struct RecordTableEntry {
    uint32_t reserved[2];  // not read
    SnapshotRecord* record;
};

struct MemSnapshot {
    CriticalSectionLock lock;  // queries by index and name hold it while they read
    struct CategoryMap {
        uint32_t reserved[2];  // not read
        CategoryMapEntry* entries;
        uint32_t count;
    } categoryMap;
    uint32_t reserved[3];  // not read
    RecordTableEntry* records;
    uint32_t recordCount;
};

// Called, once per installation, when an allocation fails even after the library flushed its
// block cache: with the raw byte count that failed and the user data given at installation.
// The handler is uninstalled before the call; the callback may install itself again.
typedef void (*OutOfMemoryCallback)(uint32_t size, uintptr_t userData);

// A zero-initialised object the library publishes and never uses.
struct QXMemoryLinkage {
    uint32_t reserved[4];
};

// ---------------------------------------------------------------------------------------------
// Element pools
// ---------------------------------------------------------------------------------------------

// A bank: a pool of equal-sized elements, as CreateBank hands it out. Give it back with
// Release, never by deleting it.
class IAllocator {
public:
    virtual ~IAllocator() {}
    // An 8-aligned element of at least the requested size, or null when no page can be had.
    virtual void* Alloc() = 0;
    // Returns an element of this bank; null does nothing.
    virtual void Free(void* element) = 0;
    // Drops one holder. Elements must all be freed before the last holder releases.
    virtual void Release() = 0;
    // Writes 0 to all five words and resets the record. All pointers must be valid.
    virtual void GetStats(uint32_t* first, MemStats* stats, uint32_t* second, uint32_t* third,
                          uint32_t* fourth, uint32_t* fifth) = 0;
};

// ---------------------------------------------------------------------------------------------
// The interface
// ---------------------------------------------------------------------------------------------

// Every slot may be called from any thread. Comments give each slot's number.
class IQXMemory {
public:
    // 0. Never called by hosts: the object lives until the library unloads.
    virtual ~IQXMemory() {}

    // --- General allocation. Every block has a 32-bit header word in front of it. ---------
    // 1. Same as slot 2; the tag is not consulted.
    virtual void* Alloc(uint32_t size, uintptr_t tag) = 0;
    // 2. Below 512 bytes an element of the first small bin that fits, else a heap block
    //    aligned to 8. Null when memory cannot be had.
    virtual void* Alloc(uint32_t size) = 0;
    // 3. Same as slot 4; the tag is not consulted.
    virtual void* AllocAligned(uint32_t size, uint32_t alignment, uintptr_t tag) = 0;
    // 4. A heap block whose address is a multiple of alignment (any value from 1 to
    //    0x10000000, not only powers of two). Null for alignment 0 or above 0x10000000, for
    //    sizes whose request would pass 4 GiB, and when memory cannot be had.
    virtual void* AllocAligned(uint32_t size, uint32_t alignment) = 0;
    // 5. Frees a block from slots 1 to 4. Null does nothing; bank elements are left alone.
    virtual void Free(void* block) = 0;
    // 6. No effect.
    virtual void LargeBlockHookA(uint32_t first, uint32_t second) = 0;
    // 7. Returns false.
    virtual bool LargeBlockTest(void* block) = 0;

    // --- Page blocks of 4, 8, 16, 32 or 64 KiB (classes 0 to 4), cached within a budget. --
    // 8. Frees every cached block.
    virtual void FlushBlockCache() = 0;
    // 9. Sets the budget (default 16 MiB) for blocks in use and cached; lowering it evicts.
    virtual void SetBlockCacheLimit(uint32_t bytes) = 0;
    // 10. An 8-aligned block of the class, or null for a class outside 0 to 4 or no memory.
    virtual void* AllocBlock(int32_t sizeClass, const AllocTag* tag) = 0;
    // 11. Gives back a block from slot 10 with the class it was taken with; null does nothing.
    virtual void FreeBlock(int32_t sizeClass, void* block) = 0;

    // --- Banks and lists. --------------------------------------------------------------------
    // 12. A bank of elements of at least elementSize bytes, shared with earlier shareable
    //     requests of the same shape when shareable is true. Null when no page can hold one
    //     element or no memory can be had.
    virtual IAllocator* CreateBank(uint32_t elementSize, uint32_t elementCount, bool shareable) = 0;
    // 13. Appends a host node to the user list.
    virtual void LinkUserNode(ListNode* node) = 0;
    // 14. Takes a node out of the user list and leaves it pointing to itself.
    virtual void UnlinkUserNode(ListNode* node) = 0;
    // 15. Locks the user list and yields its first node and its end; walk next from first to
    //     end, then call slot 16 on the same thread.
    virtual void LockUserList(ListNode** first, ListNode** end) = 0;
    // 16. Unlocks the user list.
    virtual void UnlockUserList() = 0;
    // 17. Locks the list of every bank slot, oldest first; the word after a node's two links
    //     points to its bank. Call slot 18 on the same thread; no CreateBank meanwhile.
    virtual void LockBankList(ListNode** first, ListNode** end) = 0;
    // 18. Unlocks the bank list.
    virtual void UnlockBankList() = 0;

    // --- Thread tags. ------------------------------------------------------------------------
    // 19. Opens a tag bracket on this thread; the outermost one copies the tag's three words,
    //     inner ones only count. A null tag at the outermost bracket opens it and keeps the
    //     thread's current tag. Returns the thread's context (the same pointer for the thread's
    //     life, first holding "All.Unknown" twice and 0), or null when it cannot be created.
    virtual ThreadTagContext* PushTag(const AllocTag* tag) = 0;
    // 20. Closes a bracket (the depth never goes below 0) and returns the context, or null.
    virtual ThreadTagContext* PopTag() = 0;
    // 21. Returns 0.
    virtual uint16_t LargeBlockQuery(void* block, uint32_t value) = 0;
    // 22. No effect.
    virtual void LargeBlockHookB(uint32_t first, uint32_t second) = 0;

    // --- Range heaps: offsets inside a caller-owned range the library never touches. -------
    // 23. A heap over [base, base + totalSize) with entryCount descriptors (2 to 65532), or
    //     null.
    virtual RangeHeap* CreateRangeHeap(uint32_t totalSize, uint32_t entryCount,
                                       uint32_t minFragment, uint32_t base) = 0;
    // 24. Destroys a heap; null does nothing.
    virtual void DestroyRangeHeap(RangeHeap* heap) = 0;
    // 25. First fit from the low end (bottomUp) or the high end. True with the aligned offset
    //     and a handle written; false with nothing written.
    virtual bool RangeAlloc(RangeHeap* heap, uint32_t size, uint32_t alignment, uint32_t* outOffset,
                            uint16_t* outHandle, bool bottomUp) = 0;
    // 26. Frees an allocation by handle, merging with free neighbours.
    virtual void RangeFree(RangeHeap* heap, uint16_t handle) = 0;
    // 27. Total size, spare descriptors, a reset record and (if outLargest is not null) the
    //     largest free block.
    virtual void GetRangeHeapInfo(RangeHeap* heap, uint32_t* outTotal, uint32_t* outSpare,
                                  MemStats* stats, uint32_t* outLargest) = 0;
    // 28. Returns 0.
    virtual uint32_t LargeHeapCounter() = 0;
    // 29. Creates the small-object allocator if needed; returns 0.
    virtual uint32_t SmallHeapCounter() = 0;

    // --- Snapshot queries over a host's MemSnapshot; null snapshots give 0, false or nothing.
    // 30. Number of categories.
    virtual uint32_t GetCategoryCount(MemSnapshot* snapshot) = 0;
    // 31. Copies the two records of the category the name hashes to.
    virtual bool GetCategoryStatsByName(MemSnapshot* snapshot, const char* name, MemStats* first,
                                        MemStats* second) = 0;
    // 32. The id and two records of the category at an index of the map.
    virtual bool GetCategoryStats(MemSnapshot* snapshot, uint32_t index, uint32_t* id,
                                  MemStats* first, MemStats* second) = 0;
    // 33. Number of records.
    virtual uint32_t GetRecordCount(MemSnapshot* snapshot) = 0;
    // 34. A record's category id, two words and statistics.
    virtual bool GetRecord(MemSnapshot* snapshot, uint32_t index, uint32_t* categoryId,
                           uint32_t* firstWord, uint32_t* secondWord, MemStats* stats) = 0;

    // --- Statistics of the library's own allocators: each resets the record (and zeroes any
    //     further output); the library keeps no counters.
    // 35.
    virtual void GetSystemHeapStats(MemStats* stats) = 0;
    // 36.
    virtual void GetLargeHeapStats(MemStats* stats) = 0;
    // 37.
    virtual void GetBlockCacheStats(MemStats* stats, uint32_t* out) = 0;
    // 38.
    virtual void GetSmallHeapStats(MemStats* stats) = 0;
    // 39.
    virtual void GetBlockCacheStatsFor(uint32_t key, MemStats* stats) = 0;
    // 40.
    virtual void GetSmallBinStats(uint32_t bin, MemStats* stats, uint32_t* first, uint32_t* second,
                                  uint32_t* third, uint32_t* fourth) = 0;

    // --- Category tree, without the snapshot's lock. ---------------------------------------
    // 41. Number of children of the named category (top level for null or an unknown name).
    virtual uint32_t GetChildCategoryCount(MemSnapshot* snapshot, const char* name) = 0;
    // 42. Writes the id of the index-th child, or 0 when there is none.
    virtual void GetChildCategoryId(MemSnapshot* snapshot, const char* name, uint32_t index,
                                    uint32_t* id) = 0;

    // --- Out of memory. ----------------------------------------------------------------------
    // 43. Installs (or with null uninstalls) the one-shot out-of-memory callback.
    virtual void SetOutOfMemoryHandler(OutOfMemoryCallback callback, uintptr_t userData) = 0;
    // 44. Reports a failure of size bytes exactly as a failed allocation would.
    virtual void ReportOutOfMemory(uint32_t size) = 0;
};

extern "C" {
// The library's one interface object; the same non-null pointer on every call.
QXMEMORY_API IQXMemory* GetIQXMemory();
// Points to a zero-initialised QXMemoryLinkage that the library never uses.
extern QXMEMORY_API QXMemoryLinkage* _pQXMemoryLinkageExported;
}

#endif  // QXMEMORY_IQXMEMORY_H
