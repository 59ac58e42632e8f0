/// @file QXMemory.hpp
/// @brief C++17 companion to IQXMemory.h: standard-library allocators, owners that release on
/// scope exit, the category name hash and a snapshot builder, all over an IQXMemory.
///
/// Header-only and exporting nothing (the library compiles in only HashCategoryName, so hosts
/// and library compute the same keys). Everything forwards to the virtual slots of an IQXMemory, by
/// default the one GetIQXMemory() returns. A host that loads the library at run time instead of
/// linking it passes its IQXMemory explicitly and never names the defaults, so GetIQXMemory() is
/// then never referenced.
///
/// Unlike the raw interface, the allocators here throw std::bad_alloc when memory cannot be
/// had (the standard allocator contract); the owners never throw.
//
// The namespace is lower case so that it never meets the library's own implementation class,
// QXMemory, in a translation unit or a symbol name.
#ifndef QXMEMORY_QXMEMORY_HPP
#define QXMEMORY_QXMEMORY_HPP

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>
#include <memory_resource>
#include <new>
#include <optional>
#include <type_traits>
#include <vector>

#include "IQXMemory.h"

/// @brief The C++17 companion API over IQXMemory.
namespace qxmemory {

// ---------------------------------------------------------------------------------------------
// Raw allocation with standard-library semantics
// ---------------------------------------------------------------------------------------------

/// @brief The alignment IQXMemory::Alloc(uint32_t) guarantees on every target.
///
/// 8 on 32-bit targets, 16 on 64-bit ones (QXMEMORY_ALLOC_ALIGNMENT). Larger alignments go
/// through IQXMemory::AllocAligned.
inline constexpr size_t AllocAlignment = QXMEMORY_ALLOC_ALIGNMENT;

/// @brief The largest alignment IQXMemory::AllocAligned accepts (0x10000000).
inline constexpr size_t MaxAlignment = 0x10000000u;

/// @brief The interface object GetIQXMemory() returns, as a reference.
///
/// Every default argument of this header goes through here; only code that uses a default
/// needs to link the library.
/// @return The library's one IQXMemory.
inline IQXMemory& DefaultMemory() { return *GetIQXMemory(); }

/// @brief Allocates bytes at an alignment without throwing.
///
/// Alignments up to AllocAlignment (including 0) are served by IQXMemory::Alloc, larger ones
/// by IQXMemory::AllocAligned. Sizes that do not fit 32 bits and alignments above MaxAlignment
/// fail without reaching the library. Free the block with DeallocateBytes (IQXMemory::Free).
/// @param memory The interface to allocate from.
/// @param bytes The size in bytes.
/// @param alignment The alignment the block's address must be a multiple of.
/// @return The block, or null when it cannot be had.
inline void* TryAllocateBytes(IQXMemory& memory, size_t bytes, size_t alignment) noexcept {
    if constexpr (sizeof(size_t) > sizeof(uint32_t)) {
        if (bytes > size_t(0xFFFFFFFFu)) return nullptr;
    }
    if (alignment <= AllocAlignment) return memory.Alloc(uint32_t(bytes));
    if (alignment > MaxAlignment) return nullptr;
    return memory.AllocAligned(uint32_t(bytes), uint32_t(alignment));
}

/// @brief Allocates bytes at an alignment, as TryAllocateBytes does, or throws.
/// @param memory The interface to allocate from.
/// @param bytes The size in bytes.
/// @param alignment The alignment the block's address must be a multiple of.
/// @return The block; never null.
/// @throws std::bad_alloc when the block cannot be had.
inline void* AllocateBytes(IQXMemory& memory, size_t bytes, size_t alignment) {
    void* block = TryAllocateBytes(memory, bytes, alignment);
    if (!block) throw std::bad_alloc();
    return block;
}

/// @brief Frees a block from TryAllocateBytes or AllocateBytes; null does nothing.
///
/// IQXMemory::Free tells small-bin elements and aligned heap blocks apart by their header
/// word, so neither the size nor the alignment is needed.
/// @param memory The interface the block came from.
/// @param block The block, or null.
inline void DeallocateBytes(IQXMemory& memory, void* block) noexcept { memory.Free(block); }

// ---------------------------------------------------------------------------------------------
// std::pmr::memory_resource
// ---------------------------------------------------------------------------------------------

/// @brief A std::pmr::memory_resource whose memory comes from an IQXMemory.
///
/// Usable with std::pmr containers through std::pmr::polymorphic_allocator. Thread-safe as
/// the library is; it holds nothing but the interface pointer.
class MemoryResource : public std::pmr::memory_resource {
public:
    /// @brief A resource over the library's interface, GetIQXMemory().
    MemoryResource() : memory_(&DefaultMemory()) {}

    /// @brief A resource over the given interface.
    /// @param memory The interface to allocate from; it must outlive the resource.
    explicit MemoryResource(IQXMemory& memory) noexcept : memory_(&memory) {}

    /// @brief The interface this resource allocates from.
    /// @return The interface.
    IQXMemory& Memory() const noexcept { return *memory_; }

protected:
    /// @brief Allocates through AllocateBytes: IQXMemory::Alloc up to AllocAlignment,
    /// IQXMemory::AllocAligned above it.
    /// @param bytes The size in bytes; above 0xFFFFFFFF the request fails.
    /// @param alignment The alignment; above MaxAlignment the request fails.
    /// @return The block; never null.
    /// @throws std::bad_alloc when the block cannot be had.
    void* do_allocate(size_t bytes, size_t alignment) override {
        return AllocateBytes(*memory_, bytes, alignment);
    }

    /// @brief Frees a block from do_allocate with IQXMemory::Free.
    /// @param block The block.
    /// @param bytes Its size (not needed).
    /// @param alignment Its alignment (not needed).
    void do_deallocate(void* block, size_t bytes, size_t alignment) override {
        (void)bytes;
        (void)alignment;
        DeallocateBytes(*memory_, block);
    }

    /// @brief Equal to itself and to every MemoryResource over the same IQXMemory.
    /// @param other The resource to compare with.
    /// @return True when blocks of one may be freed by the other.
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
        if (this == &other) return true;
        const MemoryResource* resource = dynamic_cast<const MemoryResource*>(&other);
        return resource && resource->memory_ == memory_;
    }

private:
    IQXMemory* memory_;  ///< The interface allocated from; never null.
};

// ---------------------------------------------------------------------------------------------
// Standard allocator
// ---------------------------------------------------------------------------------------------

/// @brief A standard allocator over an IQXMemory, for std::vector, std::unordered_map and the
/// other allocator-aware containers.
///
/// Honours alignof(T) as TryAllocateBytes does. Allocators over the same IQXMemory compare
/// equal; the allocator propagates with its container on copy, move and swap.
/// @tparam T The element type.
template <class T>
class Allocator {
public:
    /// @brief The element type.
    using value_type = T;
    /// @brief The size type.
    using size_type = size_t;
    /// @brief The difference type.
    using difference_type = ptrdiff_t;
    /// @brief Copy assignment of a container takes the source's allocator.
    using propagate_on_container_copy_assignment = std::true_type;
    /// @brief Move assignment of a container takes the source's allocator.
    using propagate_on_container_move_assignment = std::true_type;
    /// @brief Swapping containers swaps their allocators.
    using propagate_on_container_swap = std::true_type;
    /// @brief Allocators over different interfaces are not equal.
    using is_always_equal = std::false_type;

    /// @brief The same allocator for another element type.
    /// @tparam U The other element type.
    template <class U>
    struct rebind {
        /// @brief The allocator for U.
        using other = Allocator<U>;
    };

    /// @brief An allocator over the library's interface, GetIQXMemory().
    Allocator() : memory_(&DefaultMemory()) {}

    /// @brief An allocator over the given interface.
    /// @param memory The interface to allocate from; it must outlive every copy.
    explicit Allocator(IQXMemory& memory) noexcept : memory_(&memory) {}

    /// @brief The allocator for T over the same interface as another.
    /// @tparam U The other allocator's element type.
    /// @param other The allocator to take the interface from.
    template <class U>
    Allocator(const Allocator<U>& other) noexcept : memory_(&other.Memory()) {}

    /// @brief Allocates room for n elements, aligned to alignof(T).
    /// @param n The element count.
    /// @return The first element's storage; never null.
    /// @throws std::bad_array_new_length when n exceeds max_size().
    /// @throws std::bad_alloc when the memory cannot be had.
    T* allocate(size_t n) {
        if (n > max_size()) throw std::bad_array_new_length();
        return static_cast<T*>(AllocateBytes(*memory_, n * sizeof(T), alignof(T)));
    }

    /// @brief Frees storage from allocate.
    /// @param p The storage.
    /// @param n The element count it was allocated with (not needed).
    void deallocate(T* p, size_t n) noexcept {
        (void)n;
        DeallocateBytes(*memory_, p);
    }

    /// @brief The largest element count whose size fits the library's 32-bit sizes.
    /// @return 0xFFFFFFFF / sizeof(T).
    size_t max_size() const noexcept { return size_t(0xFFFFFFFFu) / sizeof(T); }

    /// @brief The interface this allocator allocates from.
    /// @return The interface.
    IQXMemory& Memory() const noexcept { return *memory_; }

private:
    IQXMemory* memory_;  ///< The interface allocated from; never null.
};

/// @brief Allocators are equal when they allocate from the same IQXMemory.
/// @tparam T The first allocator's element type.
/// @tparam U The second allocator's element type.
/// @param a The first allocator.
/// @param b The second allocator.
/// @return True when storage from one may be freed by the other.
template <class T, class U>
bool operator==(const Allocator<T>& a, const Allocator<U>& b) noexcept {
    return &a.Memory() == &b.Memory();
}

/// @brief The negation of operator==.
/// @tparam T The first allocator's element type.
/// @tparam U The second allocator's element type.
/// @param a The first allocator.
/// @param b The second allocator.
/// @return True when the allocators use different interfaces.
template <class T, class U>
bool operator!=(const Allocator<T>& a, const Allocator<U>& b) noexcept {
    return !(a == b);
}

// ---------------------------------------------------------------------------------------------
// Owners
// ---------------------------------------------------------------------------------------------

/// @brief A thread tag bracket for one scope: IQXMemory::PushTag on construction,
/// IQXMemory::PopTag on destruction.
///
/// Bound to the thread that made it, so neither copyable nor movable; destroy it on that
/// thread. When PushTag fails (returns null) no bracket is open and nothing is popped.
class TagScope {
public:
    /// @brief Opens a bracket with a tag.
    /// @param tag The tag; the outermost bracket copies its three words, so the names must
    ///            stay valid while they are the thread's tag. Null keeps the current tag.
    /// @param memory The interface.
    explicit TagScope(const AllocTag* tag, IQXMemory& memory = DefaultMemory())
        : memory_(&memory), context_(memory.PushTag(tag)) {}

    /// @brief Opens a bracket with a tag.
    /// @param tag The tag; see TagScope(const AllocTag*, IQXMemory&).
    /// @param memory The interface.
    explicit TagScope(const AllocTag& tag, IQXMemory& memory = DefaultMemory())
        : TagScope(&tag, memory) {}

    /// @brief Closes the bracket, if one was opened.
    ~TagScope() {
        if (context_) memory_->PopTag();
    }

    TagScope(const TagScope&) = delete;             ///< Not copyable.
    TagScope& operator=(const TagScope&) = delete;  ///< Not copyable.

    /// @brief The thread's context as PushTag returned it.
    /// @return The context (the same for the thread's life), or null if PushTag failed.
    ThreadTagContext* Context() const noexcept { return context_; }

    /// @brief Whether the bracket was opened.
    /// @return True when PushTag succeeded.
    explicit operator bool() const noexcept { return context_ != nullptr; }

private:
    IQXMemory* memory_;          ///< The interface pushed to.
    ThreadTagContext* context_;  ///< What PushTag returned.
};

/// @cond QXMEMORY_INTERNAL
namespace detail {

// How the owners below give back what they hold; std::unique_ptr gives them their moves.
struct RangeHeapDestroyer {
    IQXMemory* memory;  // the interface that created the heap, also for the owner's calls
    void operator()(RangeHeap* heap) const noexcept { memory->DestroyRangeHeap(heap); }
};

struct BankReleaser {
    void operator()(IAllocator* bank) const noexcept { bank->Release(); }
};

}  // namespace detail
/// @endcond

/// @brief An allocation from a range heap: the offset inside the range and the handle that
/// frees it.
struct RangeAllocation {
    uint32_t offset;  ///< Offset from the range's start (base + offset is aligned).
    uint16_t handle;  ///< Handle for IQXMemory::RangeFree.
};

/// @brief What IQXMemory::GetRangeHeapInfo reports about a range heap.
struct RangeHeapInfo {
    uint32_t totalSize;    ///< The size of the range.
    uint32_t spareCount;   ///< Descriptors not in use.
    uint32_t largestFree;  ///< The largest free block, alignment aside; 0 if none.
};

/// @brief Owns a range heap: IQXMemory::CreateRangeHeap on construction,
/// IQXMemory::DestroyRangeHeap on destruction. Movable (the moved-from owner is null), not
/// copyable.
///
/// Creation can fail; test the owner with operator bool. Every method of a null owner does
/// nothing and reports failure.
class RangeHeapOwner {
public:
    /// @brief Creates a heap over [base, base + totalSize).
    /// @param totalSize The range's size.
    /// @param entryCount The descriptor count, 2 to 65532.
    /// @param minFragment The smallest free fragment a split leaves.
    /// @param base The range's start address (alignment applies to base + offset).
    /// @param memory The interface.
    RangeHeapOwner(uint32_t totalSize, uint32_t entryCount, uint32_t minFragment, uint32_t base,
                   IQXMemory& memory = DefaultMemory())
        : heap_(memory.CreateRangeHeap(totalSize, entryCount, minFragment, base),
                detail::RangeHeapDestroyer{&memory}) {}

    /// @brief Takes over a heap from IQXMemory::CreateRangeHeap.
    /// @param heap The heap, or null.
    /// @param memory The interface that created it.
    RangeHeapOwner(RangeHeap* heap, IQXMemory& memory) noexcept
        : heap_(heap, detail::RangeHeapDestroyer{&memory}) {}

    /// @brief Whether the owner holds a heap.
    /// @return False when creation failed or the heap was moved or detached.
    explicit operator bool() const noexcept { return heap_ != nullptr; }

    /// @brief The heap.
    /// @return The heap, or null.
    RangeHeap* Get() const noexcept { return heap_.get(); }

    /// @brief Gives up the heap without destroying it.
    /// @return The heap, or null; the caller destroys it.
    RangeHeap* Detach() noexcept { return heap_.release(); }

    /// @brief First fit of size bytes at an absolute address that is a multiple of alignment.
    /// @param size The size.
    /// @param alignment The alignment of base + offset; 0 fails.
    /// @param bottomUp True to search from the low end, false from the high end.
    /// @return The allocation, or nothing when none fits (or the owner is null).
    std::optional<RangeAllocation> Alloc(uint32_t size, uint32_t alignment, bool bottomUp = true) {
        RangeAllocation allocation{0, 0};
        if (!heap_ || !Memory().RangeAlloc(Get(), size, alignment, &allocation.offset,
                                           &allocation.handle, bottomUp))
            return std::nullopt;
        return allocation;
    }

    /// @brief Frees an allocation by handle, merging it with free neighbours.
    /// @param handle The handle from Alloc.
    void Free(uint16_t handle) {
        if (heap_) Memory().RangeFree(Get(), handle);
    }

    /// @brief Frees an allocation.
    /// @param allocation The allocation from Alloc.
    void Free(const RangeAllocation& allocation) { Free(allocation.handle); }

    /// @brief The heap's total size, spare descriptors and largest free block.
    /// @return The figures; all 0 for a null owner.
    RangeHeapInfo Info() const {
        RangeHeapInfo info{0, 0, 0};
        MemStats stats;  // the library writes only a reset record here
        if (heap_)
            Memory().GetRangeHeapInfo(Get(), &info.totalSize, &info.spareCount, &stats,
                                      &info.largestFree);
        return info;
    }

    /// @brief The interface the heap belongs to.
    /// @return The interface.
    IQXMemory& Memory() const noexcept { return *heap_.get_deleter().memory; }

private:
    std::unique_ptr<RangeHeap, detail::RangeHeapDestroyer> heap_;  ///< The heap, or null.
};

/// @brief Holds one reference to a bank from IQXMemory::CreateBank and calls
/// IAllocator::Release on destruction. Movable (the moved-from owner is null), not copyable.
///
/// Shareable requests of the same shape may be given the same bank (see IQXMemory::CreateBank
/// for when); each owner holds one reference. Free every element before the last holder releases.
class BankOwner {
public:
    /// @brief Creates (or shares) a bank.
    /// @param elementSize The smallest usable size of an element.
    /// @param elementCount The element count the bank's pages are sized for.
    /// @param shareable True to share with other shareable requests of the same shape.
    /// @param memory The interface.
    BankOwner(uint32_t elementSize, uint32_t elementCount, bool shareable,
              IQXMemory& memory = DefaultMemory())
        : bank_(memory.CreateBank(elementSize, elementCount, shareable)) {}

    /// @brief Takes over one reference to a bank.
    /// @param bank The bank, or null.
    explicit BankOwner(IAllocator* bank) noexcept : bank_(bank) {}

    /// @brief Whether the owner holds a bank.
    /// @return False when creation failed or the bank was moved or detached.
    explicit operator bool() const noexcept { return bank_ != nullptr; }

    /// @brief The bank.
    /// @return The bank, or null.
    IAllocator* Get() const noexcept { return bank_.get(); }

    /// @brief Gives up the reference without releasing it.
    /// @return The bank, or null; the caller releases it.
    IAllocator* Detach() noexcept { return bank_.release(); }

    /// @brief An 8-aligned element of the bank.
    /// @return The element, or null when no page can be had (or the owner is null).
    void* Alloc() { return bank_ ? bank_->Alloc() : nullptr; }

    /// @brief Returns an element of this bank; null does nothing.
    /// @param element The element.
    void Free(void* element) {
        if (bank_) bank_->Free(element);
    }

private:
    std::unique_ptr<IAllocator, detail::BankReleaser> bank_;  ///< The bank, or null.
};

// ---------------------------------------------------------------------------------------------
// Locked list walks
// ---------------------------------------------------------------------------------------------

/// @brief A forward walk over ListNode pointers, from a first node up to an end node.
///
/// The thread that holds the list may change it during the walk: a node still linked when the
/// walk moves on is followed by its current link, so nodes linked or unlinked after it are seen
/// as they now are; a node that unlinked itself (and so points to itself) is followed by the
/// link it had when the walk arrived. Unlinking both the node the walk stands on and the one
/// after it is the one change the walk cannot follow.
class ListNodeIterator {
public:
    /// @brief An input iterator: dereferencing yields the node pointer by value.
    using iterator_category = std::input_iterator_tag;
    /// @brief Node pointers.
    using value_type = ListNode*;
    /// @brief The difference type.
    using difference_type = ptrdiff_t;
    /// @brief No pointer type: the value is already a pointer.
    using pointer = void;
    /// @brief Dereferencing yields a copy of the pointer.
    using reference = ListNode*;

    /// @brief An iterator at a node.
    /// @param node The node; the end node is never read.
    /// @param end The list's end node.
    ListNodeIterator(ListNode* node, ListNode* end) noexcept
        : node_(node), next_(node != end ? node->next : end), end_(end) {}

    /// @brief The node the iterator stands on.
    /// @return The node.
    ListNode* operator*() const noexcept { return node_; }

    /// @brief Moves to the node after this one (see the class for changes made meanwhile).
    /// @return This iterator.
    ListNodeIterator& operator++() noexcept {
        node_ = node_->next != node_ ? node_->next : next_;
        next_ = node_ != end_ ? node_->next : end_;
        return *this;
    }

    /// @brief Moves to the next node.
    /// @return The iterator as it was.
    ListNodeIterator operator++(int) noexcept {
        ListNodeIterator before = *this;
        ++*this;
        return before;
    }

    /// @brief Iterators are equal when they stand on the same node.
    /// @param other The other iterator.
    /// @return True for the same node.
    bool operator==(const ListNodeIterator& other) const noexcept { return node_ == other.node_; }

    /// @brief The negation of operator==.
    /// @param other The other iterator.
    /// @return True for different nodes.
    bool operator!=(const ListNodeIterator& other) const noexcept { return node_ != other.node_; }

private:
    ListNode* node_;  ///< The current node.
    ListNode* next_;  ///< Its next link as read on arrival.
    ListNode* end_;   ///< The list's end node.
};

/// @brief The nodes of a list locked by one of the scopes below, for range-for: from the first
/// node the lock yielded up to the list's end (its sentinel, never visited).
class LockedListNodes {
public:
    LockedListNodes(const LockedListNodes&) = delete;             ///< Not copyable.
    LockedListNodes& operator=(const LockedListNodes&) = delete;  ///< Not copyable.

    /// @brief The first node, as the lock yielded it.
    /// @return The first node (the end node when the list is empty).
    ListNode* First() const noexcept { return first_; }

    /// @brief The list's end: its sentinel.
    /// @return The end node.
    ListNode* End() const noexcept { return end_; }

    /// @brief The walk's start.
    /// @return An iterator at the first node.
    ListNodeIterator begin() const noexcept { return ListNodeIterator(first_, end_); }

    /// @brief The walk's end.
    /// @return An iterator at the end node.
    ListNodeIterator end() const noexcept { return ListNodeIterator(end_, end_); }

protected:
    LockedListNodes() = default;
    ~LockedListNodes() = default;

    ListNode* first_ = nullptr;  ///< The first node the lock yielded.
    ListNode* end_ = nullptr;    ///< The list's sentinel.
};

/// @brief The user list, locked for one scope: IQXMemory::LockUserList on construction,
/// IQXMemory::UnlockUserList on destruction. Range-for yields each linked ListNode*.
///
/// Bound to the thread that made it, so neither copyable nor movable. The lock is re-entrant:
/// the same thread may link and unlink nodes meanwhile (see ListNodeIterator for what the walk
/// then sees); other threads wait.
class LockedUserList : public LockedListNodes {
public:
    /// @brief Locks the user list.
    /// @param memory The interface.
    explicit LockedUserList(IQXMemory& memory = DefaultMemory()) : memory_(&memory) {
        memory.LockUserList(&first_, &end_);
    }

    /// @brief Unlocks the user list.
    ~LockedUserList() { memory_->UnlockUserList(); }

private:
    IQXMemory* memory_;  ///< The interface locked.
};

/// @brief The list of every bank slot, oldest first, locked for one scope:
/// IQXMemory::LockBankList on construction, IQXMemory::UnlockBankList on destruction.
/// Range-for yields each slot's ListNode*; BankOf gives its bank.
///
/// Bound to the thread that made it, so neither copyable nor movable. The list holds every
/// slot the library ever made, including slots no holder uses. Do not call
/// IQXMemory::CreateBank while holding it.
class LockedBankList : public LockedListNodes {
public:
    /// @brief Locks the bank list.
    /// @param memory The interface.
    explicit LockedBankList(IQXMemory& memory = DefaultMemory()) : memory_(&memory) {
        memory.LockBankList(&first_, &end_);
    }

    /// @brief Unlocks the bank list.
    ~LockedBankList() { memory_->UnlockBankList(); }

    /// @brief The bank of a bank-list node: the word right after the node's two links.
    /// @param node A node of the bank list other than its end.
    /// @return The node's bank.
    static IAllocator* BankOf(const ListNode* node) noexcept {
        IAllocator* bank;
        std::memcpy(&bank, reinterpret_cast<const char*>(node) + sizeof(ListNode), sizeof bank);
        return bank;
    }

private:
    IQXMemory* memory_;  ///< The interface locked.
};

// ---------------------------------------------------------------------------------------------
// Category names and snapshots
// ---------------------------------------------------------------------------------------------

/// @cond QXMEMORY_INTERNAL
namespace detail {

// One table lookup per byte: snapshot queries hash every name they are given.
constexpr std::array<uint8_t, 256> MakeCategoryCharCodes() {
    std::array<uint8_t, 256> codes{};
    constexpr char punctuation[] = " _-+=\\|[]{};:'\"/?,.<>!@#$%^&*()`~";
    static_assert(sizeof(punctuation) - 1 == 33, "codes 37 to 69");
    for (int letter = 0; letter < 26; ++letter)
        codes[size_t('A' + letter)] = codes[size_t('a' + letter)] = uint8_t(1 + letter);
    for (int digit = 0; digit < 10; ++digit) codes[size_t('0' + digit)] = uint8_t(27 + digit);
    for (int i = 0; i < 33; ++i)
        codes[static_cast<unsigned char>(punctuation[i])] = uint8_t(37 + i);
    return codes;
}

inline constexpr std::array<uint8_t, 256> CategoryCharCodes = MakeCategoryCharCodes();

}  // namespace detail
/// @endcond

/// @brief The code a category name's byte contributes to its hash.
///
/// Letters of either case 1 to 26, digits 27 to 36, the 33 punctuation characters of this
/// string (space first) 37 to 69 in its order, every other byte 0:
/// @code
/// " _-+=\\|[]{};:'\"/?,.<>!@#$%^&*()`~"
/// @endcode
/// @param byte The byte.
/// @return Its code, 0 to 69.
constexpr uint32_t CategoryCharCode(unsigned char byte) noexcept {
    return detail::CategoryCharCodes[byte];
}

/// @brief The hash the snapshot queries find categories by, exactly as the library computes
/// it: 0 for the empty name, else h = h * 919 + CategoryCharCode(byte) over the bytes,
/// modulo 2^32. Letters of either case hash alike.
/// @param name A zero-terminated name; null hashes as the empty name.
/// @return The hash.
constexpr uint32_t HashCategoryName(const char* name) noexcept {
    uint32_t hash = 0;
    if (!name) return hash;
    for (; *name; ++name) hash = hash * 919u + CategoryCharCode(static_cast<unsigned char>(*name));
    return hash;
}

/// @brief Builds the category map and record table of a MemSnapshot and owns their storage.
///
/// Categories may be added in any order: the map is kept sorted by hash in ascending unsigned
/// order, as the queries require (entries of equal hash keep the order they were added in).
/// Nodes and records keep their addresses for the builder's life, so they can be parents and
/// record categories, and can be updated in place. The builder owns a MemSnapshot that always
/// shows its current contents (Snapshot()); Publish points a caller's snapshot at them too.
///
/// Not thread-safe: do not add while queries run on other threads. Neither copyable nor
/// movable (the owned snapshot embeds a lock).
class SnapshotBuilder {
public:
    /// @brief An empty builder; its own snapshot shows no categories and no records.
    SnapshotBuilder() { Publish(snapshot_); }

    SnapshotBuilder(const SnapshotBuilder&) = delete;             ///< Not copyable.
    SnapshotBuilder& operator=(const SnapshotBuilder&) = delete;  ///< Not copyable.

    /// @brief Adds a category under its name's hash.
    /// @param name The category's name (not kept).
    /// @param id The category's id.
    /// @param parent The parent's node as this builder returned it; null at top level.
    /// @param first The category's first statistics record.
    /// @param second The category's second statistics record.
    /// @return The category's node, stable for the builder's life.
    CategoryNode* AddCategory(const char* name, uint32_t id, CategoryNode* parent = nullptr,
                              const MemStats& first = MemStats(),
                              const MemStats& second = MemStats()) {
        return AddCategoryWithHash(HashCategoryName(name), id, parent, first, second);
    }

    /// @brief Adds a category under a given hash.
    /// @param hash The map key.
    /// @param id The category's id.
    /// @param parent The parent's node; null at top level.
    /// @param first The category's first statistics record.
    /// @param second The category's second statistics record.
    /// @return The category's node, stable for the builder's life.
    CategoryNode* AddCategoryWithHash(uint32_t hash, uint32_t id, CategoryNode* parent = nullptr,
                                      const MemStats& first = MemStats(),
                                      const MemStats& second = MemStats()) {
        CategoryNode node;
        node.first = first;
        node.second = second;
        node.id = id;
        node.parent = parent;
        nodes_.push_back(node);
        AddEntry(hash, &nodes_.back());
        return &nodes_.back();
    }

    /// @brief Adds a map entry for a node the builder does not own.
    /// @param hash The map key.
    /// @param node The node, which must outlive every use of the snapshot; null makes an entry
    ///             that is nobody's child and has no statistics.
    void AddEntry(uint32_t hash, CategoryNode* node) {
        const CategoryMapEntry entry = {hash, node};
        const auto at = std::upper_bound(
            entries_.begin(), entries_.end(), hash,
            [](uint32_t key, const CategoryMapEntry& other) { return key < other.hash; });
        entries_.insert(at, entry);
        Publish(snapshot_);
    }

    /// @brief Appends a record to the record table.
    /// @param category The record's category node; null makes a record the queries skip.
    /// @param firstWord The record's first word.
    /// @param secondWord The record's second word.
    /// @param stats The record's statistics.
    /// @return The record, stable for the builder's life.
    SnapshotRecord* AddRecord(CategoryNode* category, uint32_t firstWord, uint32_t secondWord,
                              const MemStats& stats) {
        SnapshotRecord record;
        record.firstWord = firstWord;
        record.secondWord = secondWord;
        record.category = category;
        record.reserved = 0;
        record.stats = stats;
        records_.push_back(record);
        RecordTableEntry entry;
        entry.reserved[0] = entry.reserved[1] = 0;
        entry.record = &records_.back();
        table_.push_back(entry);
        Publish(snapshot_);
        return &records_.back();
    }

    /// @brief Points a snapshot's category map and record table at this builder's storage,
    /// holding the snapshot's lock meanwhile; zeroes the fields the library does not read.
    ///
    /// Adding later may move the storage: publish again after adding.
    /// @param snapshot The snapshot; it must not be queried after the builder is destroyed.
    void Publish(MemSnapshot& snapshot) {
        ScopedLock hold(snapshot.lock);
        snapshot.categoryMap.reserved[0] = snapshot.categoryMap.reserved[1] = 0;
        snapshot.categoryMap.entries = entries_.data();
        snapshot.categoryMap.count = uint32_t(entries_.size());
        snapshot.reserved[0] = snapshot.reserved[1] = snapshot.reserved[2] = 0;
        snapshot.records = table_.data();
        snapshot.recordCount = uint32_t(table_.size());
    }

    /// @brief The builder's own snapshot, always showing its current contents.
    /// @return The snapshot, to pass to the IQXMemory snapshot queries.
    MemSnapshot& Snapshot() noexcept { return snapshot_; }

    /// @brief The number of map entries.
    /// @return The count.
    uint32_t CategoryCount() const noexcept { return uint32_t(entries_.size()); }

    /// @brief The number of records.
    /// @return The count.
    uint32_t RecordCount() const noexcept { return uint32_t(table_.size()); }

private:
    std::deque<CategoryNode> nodes_;         ///< Owned nodes; a deque keeps their addresses.
    std::deque<SnapshotRecord> records_;     ///< Owned records; a deque keeps their addresses.
    std::vector<CategoryMapEntry> entries_;  ///< The map, sorted by hash.
    std::vector<RecordTableEntry> table_;    ///< The record table.
    MemSnapshot snapshot_;                   ///< The builder's own snapshot.
};

}  // namespace qxmemory

#endif  // QXMEMORY_QXMEMORY_HPP
