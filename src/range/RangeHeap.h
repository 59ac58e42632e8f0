// RangeHeap - aligned offsets inside an address range the caller owns and never lends us.
//
// The bookkeeping lives in one block: this header followed by a fixed table of entryCount
// 12-byte descriptors. On 32-bit targets the header fills the room of four descriptors, so a heap
// takes (entryCount + 4) x 12 bytes. Every descriptor that is not spare describes one block of the
// range, free or allocated; the blocks tile [0, totalSize) along the address chain
// (addrPrev/addrNext), so a block's size is never stored. Free blocks also sit on a free list
// (downLink/upLink) searched first-fit from lowEnd for bottom-up requests and from highEnd for
// top-down ones. The list is not kept in address order: a split keeps fragments beside their block,
// a merge keeps the survivor's place, and a lone free goes to the end its allocation came from.
// Spare descriptors form a stack through addrNext. Alignment applies to absolute addresses (base +
// offset).
//
// A FreeBlockIndex over the free list finds the same first fit a walk along the list would find
// without walking it. Short lists are walked, which is quicker than keeping the index up to date:
// the index is kept while the list is long. Its memory is the heap's own accelerator, not a
// request of the host's: taken from the runtime heap alone (no cache flush, no out-of-memory
// report) when the list first grows long, and given back when the heap is destroyed. Without it
// the heap walks; every answer is the same either way.
#pragma once

#include <stdint.h>

#include "IQXMemory.h"
#include "platform/Mutex.h"
#include "range/FreeBlockIndex.h"

class SystemHeap;

// Reserved 16-bit values; descriptor indices stay below 0xFFFC.
constexpr uint16_t NoEntry = 0xFFFF;
constexpr uint16_t MarkBottomUp = 0xFFFE;  // in upLink of a block allocated bottom-up
constexpr uint16_t MarkTopDown = 0xFFFD;   // in upLink of a block allocated top-down
constexpr uint16_t SpareMark = 0xFFFE;     // in addrPrev of a spare descriptor
constexpr uint32_t MaxRangeEntries = 0xFFFC;

struct RangeEntry {
    uint16_t addrPrev;  // block just below, NoEntry for the lowest; SpareMark when spare
    uint16_t addrNext;  // block just above, NoEntry for the highest; next spare when spare
    uint16_t upLink;    // free-list neighbour towards highEnd, or an allocation mark
    uint16_t downLink;  // free-list neighbour towards lowEnd
    uint32_t offset;    // first byte of the block, from the start of the range
};
static_assert(sizeof(RangeEntry) == 12, "descriptors are 12 bytes");
static_assert(MaxRangeEntries < MarkTopDown, "no index equals a reserved value");
static_assert(FreeBlockIndex::NoNode == NoEntry, "list ends pass straight to the index");

class RangeHeap {
public:
    // The index is built once the free list holds this many blocks and dropped when it falls
    // under half as many: below that, walking the list finds a block sooner than the index is
    // kept up to date. When its memory cannot be had, the heap asks again only once the list has
    // grown twice as long.
    static constexpr uint32_t IndexFrom = 320;

    // A heap over [base, base + totalSize) with entryCount descriptors, or null: for a count
    // outside 2 to 65532 (the system heap is not asked) or when the system heap fails. Tests
    // choose indexFrom to keep the index always (0) or never (above entryCount: every first fit
    // is then found by walking the list, the reference the index must agree with).
    static RangeHeap* Create(SystemHeap& system, uint32_t entryCount, uint32_t totalSize,
                             uint32_t minFragment, uint32_t base, uint32_t indexFrom = IndexFrom);
    // Releases the heap's block and its index's memory; null does nothing. No other call may
    // overlap.
    static void Destroy(RangeHeap* heap);

    // The bytes a heap of entryCount descriptors takes from the system heap: the header and the
    // descriptors.
    static uint32_t BlockBytes(uint32_t entryCount);
    // The bytes its index takes from the runtime heap, once the free list first grows long.
    static uint32_t IndexBytes(uint32_t entryCount);

    // First fit of size bytes at an absolute address that is a multiple of alignment. True with
    // both outputs written; false with neither: no block fits, the first fit would need more
    // spare descriptors than are left, or alignment is 0.
    bool Alloc(uint32_t size, uint32_t alignment, uint32_t* outOffset, uint16_t* outHandle,
               bool bottomUp);
    // Frees an allocation, merging it with free neighbours. A handle that is out of range, spare
    // or already free is ignored.
    void Free(uint16_t handle);
    // The total size, the spare descriptor count and a reset record.
    void GetInfo(uint32_t* outTotal, uint32_t* outSpare, MemStats* stats);
    // The largest free block, alignment aside; 0 when nothing is free.
    uint32_t LargestFreeBlock();

    // Checks the address chain, the free list, the spare chain, the counts and the index.
    bool Validate();
    uint32_t EntryCount() const { return index_.BlockCount(); }
    const RangeEntry& Entry(uint16_t index) const { return Entries()[index]; }
    uint16_t LowEnd() const { return lowEnd_; }
    uint16_t HighEnd() const { return highEnd_; }
    uint16_t SpareHead() const { return spareHead_; }
    bool Indexed() const { return index_.Kept(); }

    RangeHeap(const RangeHeap&) = delete;
    RangeHeap& operator=(const RangeHeap&) = delete;

private:
    RangeHeap(SystemHeap& system, uint32_t entryCount, uint32_t totalSize, uint32_t minFragment,
              uint32_t base, uint32_t indexFrom);
    ~RangeHeap() = default;

    // The header's room in the block, which the descriptor table follows.
    static const uint32_t HeaderBytes;

    RangeEntry* Entries() {
        return reinterpret_cast<RangeEntry*>(reinterpret_cast<char*>(this) + HeaderBytes);
    }
    const RangeEntry* Entries() const {
        return reinterpret_cast<const RangeEntry*>(reinterpret_cast<const char*>(this) +
                                                   HeaderBytes);
    }
    RangeEntry& At(uint16_t index) { return Entries()[index]; }
    static uint32_t MostFreeBlocks(uint32_t entryCount);

    // Where size bytes go in a free block: its size, the gap in front of them, and where the
    // index holds the block when the index found it.
    struct Place {
        uint32_t blockSize;
        uint32_t front;
        FreeBlockIndex::Position indexed;
    };
    // The first free block from lowEnd (bottomUp) or highEnd that holds size bytes at the
    // alignment, and where in it they go; NoEntry when none does. Fits is asked only of blocks
    // of at least size bytes.
    uint16_t FirstFitByIndex(uint32_t size, uint32_t alignment, bool bottomUp, Place* place);
    uint16_t FirstFitByWalk(uint32_t size, uint32_t alignment, bool bottomUp, Place* place);
    [[gnu::always_inline]] bool Fits(uint16_t d, uint32_t bs, uint32_t size, uint32_t alignment,
                                     bool bottomUp, Place* place);
    // Builds the index once the free list has grown long, and drops it once the list is short
    // again.
    void ChooseSearch() {
        if (Indexed() ? freeCount_ < indexFrom_ / 2 : freeCount_ >= indexFrom_) SwitchSearch();
    }
    void SwitchSearch();

    // The steps below run under the lock and check nothing; their callers guarantee it.
    uint32_t BlockSize(uint16_t d);
    uint16_t TakeSpare();
    void ReturnSpare(uint16_t d);
    void LinkAddress(uint16_t d, uint16_t below, uint16_t above);
    [[gnu::always_inline]] void LinkFree(uint16_t d, uint16_t down, uint16_t up);
    [[gnu::always_inline]] void UnlinkFree(uint16_t d);
    // A free block's extent changed in place (a merge); the index learns its new size.
    [[gnu::always_inline]] void Resized(uint16_t d);
    bool IsFree(uint16_t d);
    // Turns free block d into an allocation of size bytes at the place found for them,
    // splitting off the leftovers of at least minFragment; false, with nothing changed, if
    // spares run short.
    bool Split(uint16_t d, const Place& place, uint32_t size, bool bottomUp);
    void IndexFragments(FreeBlockIndex::Position at, uint16_t f, uint32_t front, uint16_t g,
                        uint32_t back);

    uint16_t spareCount_;
    uint16_t spareHead_;
    uint16_t lowEnd_;
    uint16_t highEnd_;
    uint32_t totalSize_;
    uint32_t base_;
    uint32_t minFragment_;  // never 0
    uint16_t freeCount_;    // blocks on the free list
    uint16_t indexFrom_;
    SystemHeap& system_;
    // Over the free list while it is long. Its block count is the heap's descriptor count, which
    // Free checks handles against. Its table is the heap's until Destroy, once taken.
    FreeBlockIndex index_;
    // A range heap's operations never nest, and nothing else is locked while its lock is held,
    // so a plain lock serves. Last: stored to at the start of every operation, it is best kept
    // off the word the operation reads next (first, it cost the largest free lists 1.5%).
    Mutex lock_;
};

#if UINTPTR_MAX == 0xFFFFFFFFu
inline constexpr uint32_t RangeHeap::HeaderBytes = 4 * sizeof(RangeEntry);
static_assert(sizeof(RangeHeap) <= 4 * sizeof(RangeEntry), "the header fits four descriptors");
#else
// Native sizes: the header as it is, the descriptors right after it.
inline constexpr uint32_t RangeHeap::HeaderBytes =
    (sizeof(RangeHeap) + alignof(RangeEntry) - 1) & ~(alignof(RangeEntry) - 1);
#endif
