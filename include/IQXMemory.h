/// @file IQXMemory.h
/// The one header a host program compiles against.
///
/// A host calls GetIQXMemory() once, keeps the IQXMemory pointer and makes every request through
/// its virtual operations. The slot order of IQXMemory and IAllocator is the binary interface:
/// it never changes, and overloads keep their own slots. Sizes, counts, alignments and offsets
/// are unsigned 32-bit on every platform. No operation throws; failure is null, false or 0.
///
/// The records below (AllocTag, MemStats, ListNode, ThreadTagContext and the snapshot records)
/// share memory between host and library, so their layouts are part of the interface too. On
/// 32-bit targets they match the Win32 layout word for word; on 64-bit targets pointers are
/// native and the fields keep their order.
///
/// Windows: hosts built by MSVC or clang-cl and hosts built by MinGW-w64 g++ or clang see one
/// virtual table per interface, Microsoft's layout: slot 0 the (scalar deleting) destructor,
/// then the operations, the tagged Alloc and AllocAligned overloads ahead of the untagged ones.
/// Under GCC's C++ ABI a virtual destructor would take two entries and overloads keep their
/// declaration order, so for MinGW the destructor is replaced by one slot with the same calling
/// convention and argument, and under MSVC each overload pair is declared in the order its
/// grouping reverses. On 32-bit Windows every virtual operation is __thiscall on both sides.
/// The header needs no Windows header and declares the four critical-section functions itself;
/// <windows.h> may be included before or after it. Nothing else polymorphic crosses the
/// boundary: the library never calls a virtual function of an object a host made (it enters and
/// leaves the CriticalSectionLock of a host's MemSnapshot directly, without its virtual table),
/// and no C++ exception, RTTI or standard-library type passes through the interface.
///
/// Elsewhere (Linux) the tables follow the compiler's own C++ ABI.
///
/// Compiles on its own as C++11 and later.
#ifndef QXMEMORY_IQXMEMORY_H
#define QXMEMORY_IQXMEMORY_H

#include <stddef.h>
#include <stdint.h>

#if !defined(_WIN32)
#if defined(__has_include)
#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#define QXMEMORY_HAVE_SINGLE_THREADED 1
#endif
#endif
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

/// @def QXMEMORY_API
/// Marks the two exports: `__declspec(dllimport)` for Windows hosts, nothing when building the
/// DLL (`QXMEMORY_BUILDING`) or linking it statically (`QXMEMORY_STATIC`), default visibility
/// elsewhere.
#if defined(_WIN32)
#if defined(QXMEMORY_BUILDING) || defined(QXMEMORY_STATIC)
#define QXMEMORY_API
#else
#define QXMEMORY_API __declspec(dllimport)
#endif
#else
#define QXMEMORY_API __attribute__((visibility("default")))
#endif

/// @def QXMEMORY_CALL
/// The calling convention of every virtual operation: `__thiscall` on 32-bit Windows (what MSVC
/// uses for member functions, and what MinGW-w64 g++ uses by default since GCC 4.7; spelled out
/// so that no compiler option can change it), nothing elsewhere.
#if defined(_WIN32) && (defined(_M_IX86) || defined(__i386__))
#define QXMEMORY_CALL __thiscall
#else
#define QXMEMORY_CALL
#endif

/// @def QXMEMORY_ALLOC_ALIGNMENT
/// The alignment of every block and element that IQXMemory::Alloc, a bank's IAllocator::Alloc
/// and IQXMemory::AllocBlock return: 8 on 32-bit targets, as the Win32 heap's, and 16 on 64-bit
/// targets, as their ABIs promise for any allocation of 16 bytes or more.
#define QXMEMORY_ALLOC_ALIGNMENT (sizeof(void*) == 4 ? 8 : 16)

/// @cond QXMEMORY_INTERNAL
/// Set for Windows compilers with GCC's C++ ABI (MinGW-w64 g++ and clang), which stand one
/// virtual slot in for Microsoft's destructor entry.
#if defined(_WIN32) && !defined(_MSC_VER)
#define QXMEMORY_DESTRUCTOR_SLOT 1
#endif
/// @endcond

// ---------------------------------------------------------------------------------------------
// The recursive lock's storage and primitive
// ---------------------------------------------------------------------------------------------

#if defined(_WIN32)
/// @cond QXMEMORY_INTERNAL
// The four critical-section functions of kernel32, declared as <windows.h> declares them (the
// same C linkage, import, calling convention and parameter type), so that a host may include
// <windows.h> before or after this header, or not at all.
struct _RTL_CRITICAL_SECTION;
extern "C" {
__declspec(dllimport) void __stdcall InitializeCriticalSection(_RTL_CRITICAL_SECTION* section);
__declspec(dllimport) void __stdcall DeleteCriticalSection(_RTL_CRITICAL_SECTION* section);
__declspec(dllimport) void __stdcall EnterCriticalSection(_RTL_CRITICAL_SECTION* section);
__declspec(dllimport) void __stdcall LeaveCriticalSection(_RTL_CRITICAL_SECTION* section);
}
/// @endcond
#endif

/// @cond QXMEMORY_INTERNAL
/// Implementation detail of CriticalSectionLock: its storage and primitive.
///
/// Hosts construct CriticalSectionLock themselves (every MemSnapshot embeds one) and the library
/// enters the locks hosts constructed, so both sides must agree on the storage and on how it is
/// entered. On Windows that is the Win32 critical section. Elsewhere it is a futex word with an
/// owner and a depth, sized on 32-bit targets like a 32-bit Win32 critical section (24 bytes) so
/// that every record embedding the lock keeps the Win32 offsets.
namespace QXMemoryPlatform {

#if defined(_WIN32)

/// Storage of a Win32 CRITICAL_SECTION (24 bytes on 32-bit Windows, 40 on 64-bit, aligned like a
/// pointer); the library's own sources check it against the real type.
struct LockState {
    uintptr_t words[sizeof(void*) == 4 ? 6 : 5];  ///< The critical section's bytes.
};

/// The critical section the storage holds, as the Windows API names it.
inline _RTL_CRITICAL_SECTION* Section(LockState& state) {
    return reinterpret_cast<_RTL_CRITICAL_SECTION*>(&state);
}

/// Initialises the critical section.
inline void InitLock(LockState& state) { InitializeCriticalSection(Section(state)); }
/// Deletes the critical section.
inline void DeleteLock(LockState& state) { DeleteCriticalSection(Section(state)); }
/// Enters the critical section, recursively for its owner.
inline void EnterLock(LockState& state) { EnterCriticalSection(Section(state)); }
/// Leaves the critical section once.
inline void LeaveLock(LockState& state) { LeaveCriticalSection(Section(state)); }

#else

/// A recursive futex lock with the size of a Win32 critical section on 32-bit targets.
struct LockState {
    int32_t word;          ///< Futex word: 0 free, 1 held, 2 held with sleepers.
    uint32_t depth;        ///< How often the owner has entered; touched only by the owner.
    uintptr_t owner;       ///< CurrentThreadId() of the owner (its thread pointer), 0 while free.
#if UINTPTR_MAX == 0xFFFFFFFFu
    uint32_t reserved[3];  ///< Pads to the 24 bytes of a 32-bit Win32 critical section.
#endif
};

/// The calling thread's thread pointer, which identifies a live thread uniquely. On x86 the TLS
/// ABI keeps it at offset 0 of the thread's own segment, one load without a call; elsewhere
/// pthread_self() gives it.
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

/// Sets the lock free with no owner.
inline void InitLock(LockState& state) {
    state.word = 0;
    state.depth = 0;
    state.owner = 0;
#if UINTPTR_MAX == 0xFFFFFFFFu
    state.reserved[0] = state.reserved[1] = state.reserved[2] = 0;
#endif
}

/// Nothing to release.
inline void DeleteLock(LockState&) {}

/// Slow path. Critical sections are a few dozen instructions and their holder is usually
/// running, so wait on the word a while before sleeping; only then mark it contended and sleep
/// until a release hands the lock over.
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

/// True while the process has never started a second thread: the C library's own flag, which
/// turns false for good when the first thread is created (and true again only in the child of a
/// fork). Always false where the C library does not publish it.
inline bool SingleThreaded() {
#if defined(QXMEMORY_HAVE_SINGLE_THREADED)
    return __libc_single_threaded != 0;
#else
    return false;
#endif
}

/// Enters the lock; the owner enters again at once and only deepens it.
inline void EnterLock(LockState& state) {
    const uintptr_t self = CurrentThreadId();
    // Only this thread ever stores its own id, so a relaxed read cannot see it falsely.
    if (__atomic_load_n(&state.owner, __ATOMIC_RELAXED) == self) {
        ++state.depth;
        return;
    }
    if (SingleThreaded() && __atomic_load_n(&state.word, __ATOMIC_RELAXED) == 0) {
        // Nobody can race for the word: the same change with a plain store, which leaves the
        // lock as a later second thread expects to find it (that thread's creation orders it).
        __atomic_store_n(&state.word, 1, __ATOMIC_RELAXED);
    } else {
        int32_t expected = 0;
        if (!__atomic_compare_exchange_n(&state.word, &expected, 1, false, __ATOMIC_ACQUIRE,
                                         __ATOMIC_RELAXED))
            WaitForLock(state);
    }
    __atomic_store_n(&state.owner, self, __ATOMIC_RELAXED);
    state.depth = 1;
}

/// Undoes one EnterLock by the owner; the last one frees the lock and wakes one sleeper.
inline void LeaveLock(LockState& state) {
    if (--state.depth != 0) return;
    __atomic_store_n(&state.owner, (uintptr_t)0, __ATOMIC_RELAXED);
    if (SingleThreaded()) {
        // No other thread can be waiting (in the child of a fork, the waiters stayed behind).
        __atomic_store_n(&state.word, 0, __ATOMIC_RELAXED);
        return;
    }
    if (__atomic_exchange_n(&state.word, 0, __ATOMIC_RELEASE) == 2)
        syscall(SYS_futex, &state.word, FUTEX_WAKE_PRIVATE, 1, (void*)0, (void*)0, 0);
}

#endif

}  // namespace QXMemoryPlatform
/// @endcond

// ---------------------------------------------------------------------------------------------
// Locks
// ---------------------------------------------------------------------------------------------

/// A lock that the owning thread may enter again; it must leave it as often as it entered.
class ILock {
public:
    /// Destroys the lock; nobody may hold it.
    virtual ~ILock() {}
    /// Enters the lock, waiting while another thread holds it; the holder enters again at once.
    virtual void Lock() = 0;
    /// Undoes one Lock() of the calling thread, which must hold the lock.
    virtual void Unlock() = 0;
};

/// The re-entrant lock every stateful object of the library embeds, and hosts embed in their
/// snapshots. Construct it before the owning object is shared; destroy it when nobody holds it.
/// A Win32 critical section on Windows, a futex lock elsewhere. Not copyable.
class CriticalSectionLock : public ILock {
public:
    /// Initialises the lock, free. Not thread-safe: run it before the lock is shared.
    CriticalSectionLock() { QXMemoryPlatform::InitLock(section); }
    /// Deletes the lock, which nobody may hold or wait for.
    virtual ~CriticalSectionLock() { QXMemoryPlatform::DeleteLock(section); }
    /// Same as Enter().
    virtual void Lock() { Enter(); }
    /// Same as Leave().
    virtual void Unlock() { Leave(); }

    /// Lock() without the virtual call: waits while another thread holds the lock; the holder
    /// enters again at once.
    void Enter() { QXMemoryPlatform::EnterLock(section); }
    /// Unlock() without the virtual call: undoes one Enter() of the calling thread.
    void Leave() { QXMemoryPlatform::LeaveLock(section); }

    /// The platform storage (24 bytes on 32-bit targets); touch it only through the calls above.
    /// The library enters and leaves a host's lock through Enter and Leave, never through the
    /// virtual table.
    QXMemoryPlatform::LockState section;

private:
    CriticalSectionLock(const CriticalSectionLock&);
    CriticalSectionLock& operator=(const CriticalSectionLock&);
};

/// Holds a CriticalSectionLock for one scope, released on every path out of it.
/// Not copyable.
class ScopedLock {
public:
    /// Enters @p lock, waiting while another thread holds it.
    /// @param lock the lock to hold; it must outlive this object.
    explicit ScopedLock(CriticalSectionLock& lock) : lock_(&lock) { lock_->Enter(); }
    /// Leaves the lock once.
    ~ScopedLock() { lock_->Leave(); }

private:
    CriticalSectionLock* lock_;
    ScopedLock(const ScopedLock&);
    ScopedLock& operator=(const ScopedLock&);
};

// ---------------------------------------------------------------------------------------------
// Records shared with hosts
// ---------------------------------------------------------------------------------------------

/// A caller's allocation tag: two names and a value. The library copies the three words, never
/// the strings.
struct AllocTag {
    const char* firstName;   ///< Zero-terminated, owned by the caller.
    const char* secondName;  ///< Zero-terminated, owned by the caller.
    uint32_t value;          ///< Any value.
};

/// Ten statistics words, provided by the caller. The library keeps no counters: its statistics
/// calls (slots 27 and 35 to 40, IAllocator::GetStats) reset the record they are given, which
/// zeroes every word except word 3 (left as it was). Snapshot queries copy records.
struct MemStats {
    uint32_t words[10];  ///< The ten words.
};

/// An intrusive list link, embedded in a host's object (user list) or a bank slot (bank list):
/// prev, then next. A node outside any list points to itself both ways.
struct ListNode {
    ListNode* prev;  ///< The previous node, or the list's end (its sentinel).
    ListNode* next;  ///< The next node, or the list's end (its sentinel).
};

/// A thread's current tag and how deep its PushTag brackets are nested. Returned by PushTag and
/// PopTag; the library writes it only from its own thread's PushTag and PopTag, and never frees
/// it.
struct ThreadTagContext {
    AllocTag tag;    ///< The current tag; at first "All.Unknown" for both names and 0.
    uint32_t depth;  ///< PushTag calls of this thread not yet matched by a PopTag.
};

/// A range heap: bookkeeping over a caller-owned address range, made by
/// IQXMemory::CreateRangeHeap. Opaque to hosts.
class RangeHeap;

// --- Snapshots: built, filled and owned by the host; the library only reads them. ----------

/// A category of a snapshot: its two records, its id and its parent.
struct CategoryNode {
    MemStats first;        ///< First record, copied out by the category queries.
    MemStats second;       ///< Second record, copied out by the category queries.
    uint32_t id;           ///< The id the queries report.
    CategoryNode* parent;  ///< The very node the parent's map entry points to; null at top level.
};

/// One entry of a snapshot's category map, sorted by hash in ascending unsigned order. Lookups
/// compare hashes only, so names with equal hashes are one category. The hash of a name, as
/// qxmemory::HashCategoryName in QXMemory.hpp computes it:
/// @code
/// h = 0; for each byte b of the name: h = h * 919 + code(b)   (unsigned 32-bit, wrapping)
/// code: letters of either case 1-26, digits 27-36, the 33 characters of the C string
///       " _-+=\\|[]{};:'\"/?,.<>!@#$%^&*()`~" 37-69 in that order, any other byte 0
/// @endcode
struct CategoryMapEntry {
    uint32_t hash;       ///< The hash of the category's name.
    CategoryNode* node;  ///< May be null: such an entry is nobody's child and has no stats.
};

/// A record of a snapshot.
struct SnapshotRecord {
    uint32_t firstWord;      ///< Reported by GetRecord.
    uint32_t secondWord;     ///< Reported by GetRecord.
    CategoryNode* category;  ///< Its category, whose id GetRecord reports; null: no record.
    uint32_t reserved;       ///< Not read.
    MemStats stats;          ///< Copied out by GetRecord.
};

/// One entry of a snapshot's record table.
struct RecordTableEntry {
    uint32_t reserved[2];    ///< Not read.
    SnapshotRecord* record;  ///< The record; null: no record.
};

/// A host's statistics snapshot, read by IQXMemory slots 30 to 34, 41 and 42.
struct MemSnapshot {
    CriticalSectionLock lock;  ///< Slots 30 to 34 hold it while they read; 41 and 42 do not.
    /// The category map.
    struct CategoryMap {
        uint32_t reserved[2];       ///< Not read.
        CategoryMapEntry* entries;  ///< count entries, sorted by hash.
        uint32_t count;             ///< Number of entries.
    } categoryMap;                  ///< The categories.
    uint32_t reserved[3];           ///< Not read.
    RecordTableEntry* records;      ///< recordCount entries.
    uint32_t recordCount;           ///< Number of records.
};

/// The host's out-of-memory callback. Called, once per installation, when an allocation fails
/// even after the library flushed its block cache, and by IQXMemory::ReportOutOfMemory. The
/// handler is uninstalled before the call; the callback may install itself again. It runs on the
/// failing thread, outside the handler's lock but possibly while that thread holds the block
/// cache's, a bank's or the bank registry's lock. It may call the library, except CreateBank
/// (which would take the registry's lock after those, the reverse of every other path), and
/// must not wait for another thread that needs those locks.
/// @param size     the raw byte count the runtime heap refused (for heap blocks it includes the
///                 header word and the alignment allowance), or the size given to slot 44.
/// @param userData the value given at installation.
typedef void (*OutOfMemoryCallback)(uint32_t size, uintptr_t userData);

/// A zero-initialised object the library publishes and never uses.
struct QXMemoryLinkage {
    uint32_t reserved[4];  ///< Zero.
};

// ---------------------------------------------------------------------------------------------
// Element pools
// ---------------------------------------------------------------------------------------------

/// A bank: a pool of equal-sized elements, as IQXMemory::CreateBank hands it out. Give it back
/// with Release, never by deleting it. Every slot may be called from any thread.
class IAllocator {
public:
#if defined(QXMEMORY_DESTRUCTOR_SLOT)
    /// Slot 0, where a Microsoft-ABI host's delete lands: frees nothing, changes nothing and
    /// returns the bank, which stays usable. Release a bank instead.
    /// @param flags the deleting destructor's flags; ignored.
    /// @return the bank.
    virtual void* QXMEMORY_CALL ScalarDeletingDestructor(unsigned int flags) = 0;
#else
    /// Slot 0. Never called by hosts: banks live until the process ends.
    virtual ~IAllocator() {}
#endif
    /// Slot 1. Allocates an element.
    /// @return an element of at least the bank's element size, aligned to
    ///         QXMEMORY_ALLOC_ALIGNMENT (8, or 16 on 64-bit targets), or null when no page has
    ///         room and the block cache cannot supply a new one.
    /// @threadsafe Takes the bank's lock, and the block cache's when it needs a page.
    virtual void* QXMEMORY_CALL Alloc() = 0;
    /// Slot 2. Returns an element of this bank. Not checked: it must be allocated and this
    /// bank's; an emptied page goes back to the block cache at once.
    /// @param element the element, or null to do nothing.
    /// @threadsafe Takes the bank's lock, and the block cache's when a page empties.
    virtual void QXMEMORY_CALL Free(void* element) = 0;
    /// Slot 3. Drops one holder; nothing else happens. Free every element before the last holder
    /// releases.
    /// @threadsafe No lock: the count falls atomically.
    virtual void QXMEMORY_CALL Release() = 0;
    /// Slot 4. Writes 0 to all five words and resets the record. All pointers must be valid.
    /// @param first  receives 0.
    /// @param stats  reset.
    /// @param second receives 0.
    /// @param third  receives 0.
    /// @param fourth receives 0.
    /// @param fifth  receives 0.
    /// @threadsafe No lock.
    virtual void QXMEMORY_CALL GetStats(uint32_t* first, MemStats* stats, uint32_t* second,
                                        uint32_t* third, uint32_t* fourth, uint32_t* fifth) = 0;

#if defined(QXMEMORY_DESTRUCTOR_SLOT)
protected:
    /// Not virtual: slot 0 stands in for it. Banks are never deleted.
    ~IAllocator() {}
#endif
};

// ---------------------------------------------------------------------------------------------
// The interface
// ---------------------------------------------------------------------------------------------

/// The library's interface object, from GetIQXMemory(). Every slot may be called from any
/// thread; each stateful subsystem guards itself with its own re-entrant lock, named in each
/// slot's doc. An allocation the runtime heap refuses also takes the block cache's lock (to
/// flush it and retry) and the out-of-memory handler's, and may then call the
/// OutOfMemoryCallback on the calling thread.
/// Pointer arguments other than a range heap or a snapshot handle are not checked for null
/// unless the doc says so.
///
/// fork() (Linux): the library takes every lock it owns before a fork and leaves them after it,
/// in the parent and in the child (pthread_atfork handlers, installed with its first subsystem
/// that has a lock): the bank registry's and its two lists', every bank's, the small bins'
/// included, the block cache's and the out-of-memory handler's. So the child, whose only thread
/// is the one that forked, can call every slot however busy the parent's other threads were, and
/// a list that thread held before the fork (slot 15 or 17) it still holds, as in the parent. A
/// fork waits for these locks like any call, in their order: do not fork while the thread holds
/// the bank list (as for CreateBank) or from the out-of-memory callback. Range heaps and
/// snapshots belong to their callers, and so do their locks: a fork does not take them, and a
/// child may find one held by a thread it does not have. A host that forks while other threads
/// use one takes its lock around the fork itself.
class IQXMemory {
public:
#if defined(QXMEMORY_DESTRUCTOR_SLOT)
    /// Slot 0, where a Microsoft-ABI host's delete lands: frees nothing, changes nothing and
    /// returns the object, which stays usable.
    /// @param flags the deleting destructor's flags; ignored.
    /// @return the object.
    virtual void* QXMEMORY_CALL ScalarDeletingDestructor(unsigned int flags) = 0;
#else
    /// Slot 0. Never called by hosts: the object lives until the library unloads.
    virtual ~IQXMemory() {}
#endif

    /// @name General allocation
    /// Every block has a 32-bit header word in front of it.
    /// @{

#if !defined(_MSC_VER)
    /// Slot 1. Same as slot 2; the tag is not consulted.
    /// @param size bytes wanted.
    /// @param tag  ignored.
    /// @return as slot 2.
    /// @threadsafe As slot 2.
    virtual void* QXMEMORY_CALL Alloc(uint32_t size, uintptr_t tag) = 0;
#endif
    /// Slot 2. Below 512 bytes an element of the first of the eight small bins that holds
    /// @p size (usable sizes 20, 36, 68, 132, 196, 260, 388, 516 on 32-bit targets; 28, 44,
    /// 76, 140, 204, 268, 396, 524 on 64-bit targets), else a heap block.
    /// @param size bytes wanted; 0 is served by bin 0.
    /// @return a block aligned to QXMEMORY_ALLOC_ALIGNMENT (8, or 16 on 64-bit targets), or
    ///         null when memory cannot be had (or the request would pass 4 GiB).
    /// @threadsafe A small request takes its bin's lock (and the block cache's when the bin
    ///             needs a page); a heap block takes no library lock.
    virtual void* QXMEMORY_CALL Alloc(uint32_t size) = 0;
#if defined(_MSC_VER)
    // Slot 1 (documented above): Microsoft's ABI puts an overload pair in the table in reverse
    // declaration order.
    virtual void* QXMEMORY_CALL Alloc(uint32_t size, uintptr_t tag) = 0;
#endif
#if !defined(_MSC_VER)
    /// Slot 3. Same as slot 4; the tag is not consulted.
    /// @param size      bytes wanted.
    /// @param alignment as slot 4.
    /// @param tag       ignored.
    /// @return as slot 4.
    /// @threadsafe As slot 4.
    virtual void* QXMEMORY_CALL AllocAligned(uint32_t size, uint32_t alignment, uintptr_t tag) = 0;
#endif
    /// Slot 4. A heap block whose address is a multiple of @p alignment, whatever the size (the
    /// small bins are never used).
    /// @param size      bytes wanted.
    /// @param alignment any value from 1 to 0x10000000, not only powers of two.
    /// @return the block, or null for alignment 0 or above 0x10000000, for sizes whose request
    ///         (size + 8 at alignment 8, size + 16 at alignment 16 on 64-bit targets, else
    ///         size + alignment + 3) would pass 4 GiB, and when memory cannot be had.
    /// @threadsafe No library lock.
    virtual void* QXMEMORY_CALL AllocAligned(uint32_t size, uint32_t alignment) = 0;
#if defined(_MSC_VER)
    // Slot 3 (documented above), after slot 4 for the same reason.
    virtual void* QXMEMORY_CALL AllocAligned(uint32_t size, uint32_t alignment, uintptr_t tag) = 0;
#endif
    /// Slot 5. Frees a block from slots 1 to 4, routed by its header word. Bank elements are
    /// left alone (free them through their bank); blocks from slot 10 go back through slot 11.
    /// @param block the block, or null to do nothing.
    /// @threadsafe A small element takes its bin's lock (and the block cache's when a page
    ///             empties); a heap block takes no library lock.
    virtual void QXMEMORY_CALL Free(void* block) = 0;
    /// Slot 6. No effect.
    /// @param first  ignored.
    /// @param second ignored.
    /// @threadsafe No lock.
    virtual void QXMEMORY_CALL LargeBlockHookA(uint32_t first, uint32_t second) = 0;
    /// Slot 7. Returns false.
    /// @param block ignored.
    /// @return false.
    /// @threadsafe No lock.
    virtual bool QXMEMORY_CALL LargeBlockTest(void* block) = 0;
    /// @}

    /// @name Page blocks
    /// Blocks of 4, 8, 16, 32 or 64 KiB (classes 0 to 4, 4096 << class bytes), cached within a
    /// budget. Every slot takes the block cache's lock.
    /// @{

    /// Slot 8. Frees every cached block to the heap.
    /// @threadsafe Takes the block cache's lock.
    virtual void QXMEMORY_CALL FlushBlockCache() = 0;
    /// Slot 9. Sets the budget (default 16 MiB) for the bytes of blocks in use plus cached.
    /// @param bytes the new budget. Lowering it evicts cached blocks, most recently cached first,
    ///              until the total fits or nothing is cached; blocks in use are not touched.
    /// @threadsafe Takes the block cache's lock.
    virtual void QXMEMORY_CALL SetBlockCacheLimit(uint32_t bytes) = 0;
    /// Slot 10. A block of the class: the one of the class given back most recently, else a new
    /// one after evicting cached blocks to make room (the budget does not refuse it).
    /// @param sizeClass 0 to 4.
    /// @param tag       not consulted.
    /// @return a block aligned to QXMEMORY_ALLOC_ALIGNMENT, or null for a class outside 0 to 4
    ///         (nothing changes) or when memory cannot be had.
    /// @threadsafe Takes the block cache's lock.
    virtual void* QXMEMORY_CALL AllocBlock(int32_t sizeClass, const AllocTag* tag) = 0;
    /// Slot 11. Gives back a block from slot 10: cached if the budget allows after evicting,
    /// freed otherwise.
    /// @param sizeClass the class it was taken with; outside 0 to 4 does nothing.
    /// @param block     the block, or null to do nothing.
    /// @threadsafe Takes the block cache's lock.
    virtual void QXMEMORY_CALL FreeBlock(int32_t sizeClass, void* block) = 0;
    /// @}

    /// @name Banks and lists
    /// @{

    /// Slot 12. A bank of elements of at least @p elementSize bytes on pages of the block class
    /// (0 to 4) nearest to what @p elementCount elements need.
    /// @param elementSize  bytes per element.
    /// @param elementCount elements the bank expects to hold; only picks the page size (0 acts as
    ///                     1).
    /// @param shareable    true to share a shareable bank of the same element stride and class
    ///                     made by an earlier request, when the scan meets it before a free slot.
    /// @return the bank, holding one more holder; or null, with nothing changed, when no page can
    ///         hold one element (element sizes above 65516 on 32-bit targets, 65508 on 64-bit;
    ///         sizes near 4 GiB do not wrap) or no memory can be had.
    /// @threadsafe Takes the bank registry's lock (and the bank list's when it adds banks);
    ///             never call it while this thread holds the bank list (slot 17).
    virtual IAllocator* QXMEMORY_CALL CreateBank(uint32_t elementSize, uint32_t elementCount,
                                                 bool shareable) = 0;
    /// Slot 13. Appends a host node to the user list.
    /// @param node not in any list; it must stay valid until unlinked (at unload the library
    ///             unlinks every node left).
    /// @threadsafe Takes the user list's lock.
    virtual void QXMEMORY_CALL LinkUserNode(ListNode* node) = 0;
    /// Slot 14. Takes a node out of the user list and leaves it pointing to itself.
    /// @param node in the user list, or pointing to itself (then left so).
    /// @threadsafe Takes the user list's lock.
    virtual void QXMEMORY_CALL UnlinkUserNode(ListNode* node) = 0;
    /// Slot 15. Locks the user list and yields its first node and its end; walk next from first
    /// to end (oldest node first), then call slot 16.
    /// @param first receives the oldest node, or the end when the list is empty.
    /// @param end   receives the list's sentinel.
    /// @threadsafe Takes the user list's lock and leaves it held until slot 16 on the same
    ///             thread. That thread may link and unlink meanwhile; other threads wait.
    virtual void QXMEMORY_CALL LockUserList(ListNode** first, ListNode** end) = 0;
    /// Slot 16. Unlocks the user list.
    /// @threadsafe Only on the thread that called slot 15, once per call.
    virtual void QXMEMORY_CALL UnlockUserList() = 0;
    /// Slot 17. Locks the list of every bank slot ever made (held, released or never used),
    /// oldest first; the word after a node's two links points to its bank (an IAllocator).
    /// @param first receives the oldest node, or the end when no bank was ever made.
    /// @param end   receives the list's sentinel.
    /// @threadsafe Takes the bank list's lock and leaves it held until slot 18 on the same
    ///             thread, which must not call CreateBank meanwhile.
    virtual void QXMEMORY_CALL LockBankList(ListNode** first, ListNode** end) = 0;
    /// Slot 18. Unlocks the bank list.
    /// @threadsafe Only on the thread that called slot 17, once per call.
    virtual void QXMEMORY_CALL UnlockBankList() = 0;
    /// @}

    /// @name Thread tags and inert large-block slots
    /// @{

    /// Slot 19. Opens a tag bracket on this thread; the outermost one (at depth 0) copies the
    /// tag's three words, inner ones only count.
    /// @param tag the tag; null at depth 0 opens the bracket and keeps the thread's current tag.
    /// @return the thread's context (the same pointer for the thread's life, at first holding
    ///         "All.Unknown" twice and 0), or null when it cannot be created.
    /// @threadsafe No lock: each thread touches only its own context.
    virtual ThreadTagContext* QXMEMORY_CALL PushTag(const AllocTag* tag) = 0;
    /// Slot 20. Closes a bracket: the depth falls, never below 0; the tag stays as it is.
    /// @return the thread's context, or null as for slot 19.
    /// @threadsafe No lock: each thread touches only its own context.
    virtual ThreadTagContext* QXMEMORY_CALL PopTag() = 0;
    /// Slot 21. Returns 0.
    /// @param block ignored.
    /// @param value ignored.
    /// @return 0.
    /// @threadsafe No lock.
    virtual uint16_t QXMEMORY_CALL LargeBlockQuery(void* block, uint32_t value) = 0;
    /// Slot 22. No effect.
    /// @param first  ignored.
    /// @param second ignored.
    /// @threadsafe No lock.
    virtual void QXMEMORY_CALL LargeBlockHookB(uint32_t first, uint32_t second) = 0;
    /// @}

    /// @name Range heaps
    /// Offsets inside a caller-owned range the library never touches. Each heap has its own lock,
    /// which a fork does not take (see IQXMemory).
    /// @{

    /// Slot 23. A heap over [base, base + totalSize), all free.
    /// @param totalSize   bytes in the range.
    /// @param entryCount  descriptors, 2 to 65532: they bound how many pieces (free and
    ///                    allocated) the range can be cut into.
    /// @param minFragment smallest leftover split off as a free block of its own (0 acts as 1).
    /// @param base        the range's address; alignment applies to base + offset.
    /// @return the heap, or null for a count outside 2 to 65532 or when memory cannot be had.
    /// @threadsafe No lock.
    virtual RangeHeap* QXMEMORY_CALL CreateRangeHeap(uint32_t totalSize, uint32_t entryCount,
                                                     uint32_t minFragment, uint32_t base) = 0;
    /// Slot 24. Destroys a heap; its handles die with it.
    /// @param heap the heap, or null to do nothing.
    /// @threadsafe No other call on the heap may overlap or follow.
    virtual void QXMEMORY_CALL DestroyRangeHeap(RangeHeap* heap) = 0;
    /// Slot 25. First fit along the free list, searched from its low end taking the lowest
    /// aligned position of the block (bottomUp), or from its high end taking the highest.
    /// @param heap      the heap; null fails.
    /// @param size      bytes wanted.
    /// @param alignment base + offset is a multiple of it (any value); 0 fails.
    /// @param outOffset receives the offset from base.
    /// @param outHandle receives the handle for slot 26.
    /// @param bottomUp  true for the low end, false for the high end.
    /// @return true with both outputs written; false with nothing written: null heap, alignment
    ///         0, no free block fits, or the first fit would need more spare descriptors than
    ///         are left.
    /// @threadsafe Takes the heap's lock.
    virtual bool QXMEMORY_CALL RangeAlloc(RangeHeap* heap, uint32_t size, uint32_t alignment,
                                          uint32_t* outOffset, uint16_t* outHandle,
                                          bool bottomUp) = 0;
    /// Slot 26. Frees an allocation by handle, merging with free neighbours.
    /// @param heap   the heap, or null to do nothing.
    /// @param handle from slot 25; one out of range, spare or already free is ignored.
    /// @threadsafe Takes the heap's lock.
    virtual void QXMEMORY_CALL RangeFree(RangeHeap* heap, uint16_t handle) = 0;
    /// Slot 27. Total size, spare descriptors, a reset record and the largest free block. A null
    /// heap writes nothing.
    /// @param heap       the heap, or null.
    /// @param outTotal   receives the range's size.
    /// @param outSpare   receives the spare descriptor count.
    /// @param stats      reset.
    /// @param outLargest receives the largest free block, alignment aside (0 when nothing is
    ///                   free); may be null.
    /// @threadsafe Takes the heap's lock.
    virtual void QXMEMORY_CALL GetRangeHeapInfo(RangeHeap* heap, uint32_t* outTotal,
                                                uint32_t* outSpare, MemStats* stats,
                                                uint32_t* outLargest) = 0;
    /// Slot 28. Returns 0.
    /// @return 0.
    /// @threadsafe No lock.
    virtual uint32_t QXMEMORY_CALL LargeHeapCounter() = 0;
    /// Slot 29. Creates the small-object allocator if needed; returns 0.
    /// @return 0.
    /// @threadsafe No lock.
    virtual uint32_t QXMEMORY_CALL SmallHeapCounter() = 0;
    /// @}

    /// @name Snapshot queries
    /// Over a host's MemSnapshot; null snapshots give 0, false or nothing. Each takes the
    /// snapshot's lock (re-entrant: a host may hold it around several queries), which is the
    /// host's and which a fork does not take (see IQXMemory).
    /// @{

    /// Slot 30. Number of categories.
    /// @param snapshot the snapshot, or null.
    /// @return the category map's count, or 0 for a null snapshot.
    /// @threadsafe Takes the snapshot's lock.
    virtual uint32_t QXMEMORY_CALL GetCategoryCount(MemSnapshot* snapshot) = 0;
    /// Slot 31. Copies the two records of the category the name hashes to.
    /// @param snapshot the snapshot, or null.
    /// @param name     the category's name; null fails.
    /// @param first    receives the first record.
    /// @param second   receives the second record.
    /// @return true with both written; false with nothing written for a null snapshot or name,
    ///         an unknown hash or a null node.
    /// @threadsafe Takes the snapshot's lock.
    virtual bool QXMEMORY_CALL GetCategoryStatsByName(MemSnapshot* snapshot, const char* name,
                                                      MemStats* first, MemStats* second) = 0;
    /// Slot 32. The id and two records of the category at an index of the map.
    /// @param snapshot the snapshot, or null.
    /// @param index    index into the category map.
    /// @param id       receives the category's id.
    /// @param first    receives the first record.
    /// @param second   receives the second record.
    /// @return true with all written; false with nothing written for a null snapshot, an index
    ///         past the count or a null node.
    /// @threadsafe Takes the snapshot's lock.
    virtual bool QXMEMORY_CALL GetCategoryStats(MemSnapshot* snapshot, uint32_t index, uint32_t* id,
                                                MemStats* first, MemStats* second) = 0;
    /// Slot 33. Number of records.
    /// @param snapshot the snapshot, or null.
    /// @return the record count, or 0 for a null snapshot.
    /// @threadsafe Takes the snapshot's lock.
    virtual uint32_t QXMEMORY_CALL GetRecordCount(MemSnapshot* snapshot) = 0;
    /// Slot 34. A record's category id, two words and statistics.
    /// @param snapshot   the snapshot, or null.
    /// @param index      index into the record table.
    /// @param categoryId receives the id of the record's category.
    /// @param firstWord  receives the record's first word.
    /// @param secondWord receives the record's second word.
    /// @param stats      receives the record's statistics.
    /// @return true with all written; false with nothing written for a null snapshot, an index
    ///         past the count, a null record or a null category.
    /// @threadsafe Takes the snapshot's lock.
    virtual bool QXMEMORY_CALL GetRecord(MemSnapshot* snapshot, uint32_t index,
                                         uint32_t* categoryId, uint32_t* firstWord,
                                         uint32_t* secondWord, MemStats* stats) = 0;
    /// @}

    /// @name Statistics of the library's own allocators
    /// Each resets the record (and zeroes any further output); the library keeps no counters.
    /// Each creates its subsystem if needed and takes no lock; every pointer must be valid.
    /// @{

    /// Slot 35. System heap statistics.
    /// @param stats reset.
    /// @threadsafe No lock.
    virtual void QXMEMORY_CALL GetSystemHeapStats(MemStats* stats) = 0;
    /// Slot 36. Large heap statistics.
    /// @param stats reset.
    /// @threadsafe No lock.
    virtual void QXMEMORY_CALL GetLargeHeapStats(MemStats* stats) = 0;
    /// Slot 37. Block cache statistics.
    /// @param stats reset.
    /// @param out   receives 0.
    /// @threadsafe No lock.
    virtual void QXMEMORY_CALL GetBlockCacheStats(MemStats* stats, uint32_t* out) = 0;
    /// Slot 38. Small-object allocator statistics.
    /// @param stats reset.
    /// @threadsafe No lock.
    virtual void QXMEMORY_CALL GetSmallHeapStats(MemStats* stats) = 0;
    /// Slot 39. Block cache statistics for a key.
    /// @param key   not consulted.
    /// @param stats reset.
    /// @threadsafe No lock.
    virtual void QXMEMORY_CALL GetBlockCacheStatsFor(uint32_t key, MemStats* stats) = 0;
    /// Slot 40. Statistics of one small bin.
    /// @param bin    0 to 7; any other value answers alike (as bin 0).
    /// @param stats  reset.
    /// @param first  receives 0.
    /// @param second receives 0.
    /// @param third  receives 0.
    /// @param fourth receives 0.
    /// @threadsafe No lock.
    virtual void QXMEMORY_CALL GetSmallBinStats(uint32_t bin, MemStats* stats, uint32_t* first,
                                                uint32_t* second, uint32_t* third,
                                                uint32_t* fourth) = 0;
    /// @}

    /// @name Category tree
    /// Without the snapshot's lock: the host keeps the snapshot from changing meanwhile (holding
    /// its lock, for instance). A child is an entry whose node's parent is the named node.
    /// @{

    /// Slot 41. Number of children of the named category.
    /// @param snapshot the snapshot, or null.
    /// @param name     the parent's name; null or an unknown name means the top level.
    /// @return the number of children, or 0 for a null snapshot.
    /// @threadsafe No lock.
    virtual uint32_t QXMEMORY_CALL GetChildCategoryCount(MemSnapshot* snapshot,
                                                         const char* name) = 0;
    /// Slot 42. The id of the index-th child, in map order.
    /// @param snapshot the snapshot; null writes nothing.
    /// @param name     the parent's name; null or an unknown name means the top level.
    /// @param index    which child, from 0.
    /// @param id       receives the child's id, or 0 when there is none.
    /// @threadsafe No lock.
    virtual void QXMEMORY_CALL GetChildCategoryId(MemSnapshot* snapshot, const char* name,
                                                  uint32_t index, uint32_t* id) = 0;
    /// @}

    /// @name Out of memory
    /// @{

    /// Slot 43. Installs (or with null uninstalls) the one-shot out-of-memory callback,
    /// replacing whatever was installed.
    /// @param callback the callback, or null.
    /// @param userData handed back to the callback.
    /// @threadsafe Takes the handler's lock.
    virtual void QXMEMORY_CALL SetOutOfMemoryHandler(OutOfMemoryCallback callback,
                                                     uintptr_t userData) = 0;
    /// Slot 44. Reports a failure of size bytes exactly as a failed allocation would: the
    /// installed callback, if any, is uninstalled and called; with none, nothing happens.
    /// @param size handed to the callback.
    /// @threadsafe Takes the handler's lock; calls the callback on this thread after leaving it.
    virtual void QXMEMORY_CALL ReportOutOfMemory(uint32_t size) = 0;
    /// @}

#if defined(QXMEMORY_DESTRUCTOR_SLOT)
protected:
    /// Not virtual: slot 0 stands in for it. The object is never deleted.
    ~IQXMemory() {}
#endif
};

extern "C" {
/// The library's one interface object.
/// @return the same non-null pointer on every call, from any thread; the first call creates
///         the object.
QXMEMORY_API IQXMemory* GetIQXMemory();
/// Points to a zero-initialised QXMemoryLinkage that the library never uses.
extern QXMEMORY_API QXMemoryLinkage* _pQXMemoryLinkageExported;
}

#endif  // QXMEMORY_IQXMEMORY_H
