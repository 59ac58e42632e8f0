#include "range/RangeHeap.h"

#include <algorithm>
#include <new>
#include <vector>

#include "common/Check.h"
#include "common/StatsRecord.h"
#include "system/SystemHeap.h"

namespace {

bool IsMark(uint16_t link) { return link == MarkBottomUp || link == MarkTopDown; }

// value mod alignment, by a mask or a 32-bit division where either gives the same answer.
uint64_t Remainder(uint64_t value, uint32_t alignment) {
    if ((alignment & (alignment - 1)) == 0) return value & (alignment - 1);
    if (value <= 0xFFFFFFFFu) return uint32_t(value) % alignment;
    return value % alignment;
}

}  // namespace

RangeHeap::RangeHeap(SystemHeap& system, uint32_t entryCount, uint32_t totalSize,
                     uint32_t minFragment, uint32_t base, uint32_t indexFrom)
    : spareCount_(uint16_t(entryCount - 1)),
      spareHead_(1),
      lowEnd_(0),
      highEnd_(0),
      totalSize_(totalSize),
      base_(base),
      minFragment_(minFragment ? minFragment : 1),
      freeCount_(1),
      indexFrom_(uint16_t(std::min<uint32_t>(indexFrom, 0xFFFF))),
      system_(system),
      index_(entryCount, MostFreeBlocks(entryCount)) {
    // Descriptor 0 is the whole range, free; the others are spare, chained in ascending order.
    At(0) = RangeEntry{NoEntry, NoEntry, NoEntry, NoEntry, 0};
    for (uint32_t d = 1; d < entryCount; ++d) {
        At(uint16_t(d)).addrPrev = SpareMark;
        At(uint16_t(d)).addrNext = d + 1 < entryCount ? uint16_t(d + 1) : NoEntry;
    }
    ChooseSearch();
}

RangeHeap* RangeHeap::Create(SystemHeap& system, uint32_t entryCount, uint32_t totalSize,
                             uint32_t minFragment, uint32_t base, uint32_t indexFrom) {
    if (entryCount < 2 || entryCount > MaxRangeEntries) return nullptr;
    void* block = system.Alloc(BlockBytes(entryCount));
    if (!block) return nullptr;
    return new (block) RangeHeap(system, entryCount, totalSize, minFragment, base, indexFrom);
}

uint32_t RangeHeap::BlockBytes(uint32_t entryCount) {
    return HeaderBytes + entryCount * uint32_t(sizeof(RangeEntry));
}

uint32_t RangeHeap::IndexBytes(uint32_t entryCount) {
    return FreeBlockIndex::TableBytes(entryCount, MostFreeBlocks(entryCount));
}

// No two free blocks are neighbours, so at most every other block of the address chain is free.
uint32_t RangeHeap::MostFreeBlocks(uint32_t entryCount) { return (entryCount + 1) / 2; }

void RangeHeap::Destroy(RangeHeap* heap) {
    if (!heap) return;
    SystemHeap& system = heap->system_;
    system.Free(0, heap->index_.Table());
    heap->~RangeHeap();
    system.Free(0, heap);
}

// --- Steps, under the lock -------------------------------------------------------------------

uint32_t RangeHeap::BlockSize(uint16_t d) {
    const uint16_t above = At(d).addrNext;
    return (above == NoEntry ? totalSize_ : At(above).offset) - At(d).offset;
}

uint16_t RangeHeap::TakeSpare() {
    const uint16_t d = spareHead_;
    spareHead_ = At(d).addrNext;
    --spareCount_;
    return d;
}

void RangeHeap::ReturnSpare(uint16_t d) {
    At(d).addrPrev = SpareMark;
    At(d).addrNext = spareHead_;
    spareHead_ = d;
    ++spareCount_;
}

void RangeHeap::LinkAddress(uint16_t d, uint16_t below, uint16_t above) {
    At(d).addrPrev = below;
    At(d).addrNext = above;
    if (below != NoEntry) At(below).addrNext = d;
    if (above != NoEntry) At(above).addrPrev = d;
}

inline void RangeHeap::LinkFree(uint16_t d, uint16_t down, uint16_t up) {
    At(d).downLink = down;
    At(d).upLink = up;
    if (down == NoEntry)
        lowEnd_ = d;
    else
        At(down).upLink = d;
    if (up == NoEntry)
        highEnd_ = d;
    else
        At(up).downLink = d;
    ++freeCount_;
}

inline void RangeHeap::UnlinkFree(uint16_t d) {
    const uint16_t up = At(d).upLink;
    const uint16_t down = At(d).downLink;
    if (up == NoEntry)
        highEnd_ = down;
    else
        At(up).downLink = down;
    if (down == NoEntry)
        lowEnd_ = up;
    else
        At(down).upLink = up;
    --freeCount_;
}

inline void RangeHeap::Resized(uint16_t d) {
    if (Indexed()) index_.Resize(d, BlockSize(d));
}

bool RangeHeap::IsFree(uint16_t d) { return d != NoEntry && !IsMark(At(d).upLink); }

bool RangeHeap::Split(uint16_t d, const Place& place, uint32_t size, bool bottomUp) {
    const uint32_t front = place.front;
    const uint32_t end = front + size;
    const uint32_t back = place.blockSize - end;
    const bool splitFront = front >= minFragment_;
    const bool splitBack = back >= minFragment_;
    if (spareCount_ < unsigned(splitFront) + unsigned(splitBack)) return false;
    const uint32_t origin = At(d).offset;
    uint16_t f = NoEntry, g = NoEntry;
    if (splitFront) {
        f = TakeSpare();
        At(f).offset = origin;
        At(d).offset = origin + front;
        LinkAddress(f, At(d).addrPrev, d);
        LinkFree(f, At(d).downLink, d);
    }
    if (splitBack) {
        g = TakeSpare();
        At(g).offset = origin + end;
        LinkAddress(g, d, At(d).addrNext);
        LinkFree(g, d, At(d).upLink);
    }
    UnlinkFree(d);
    At(d).upLink = bottomUp ? MarkBottomUp : MarkTopDown;
    if (Indexed()) IndexFragments(place.indexed, f, front, g, back);
    return true;
}

// The fragments stand in the free list where d stood, so they take over d's place in the index.
void RangeHeap::IndexFragments(FreeBlockIndex::Position at, uint16_t f, uint32_t front, uint16_t g,
                               uint32_t back) {
    if (f != NoEntry && g != NoEntry)
        index_.ReplaceWithTwo(at, f, front, g, back);
    else if (f != NoEntry)
        index_.Replace(at, f, front);
    else if (g != NoEntry)
        index_.Replace(at, g, back);
    else
        index_.Remove(at);
}

// --- First fit, under the lock ---------------------------------------------------------------

// Absolute positions are taken as true integers, so a range passing 2^32 cannot wrap an
// allocation out of its block; starts past the last 32-bit address are not handed out in either
// direction.
inline bool RangeHeap::Fits(uint16_t d, uint32_t bs, uint32_t size, uint32_t alignment,
                            bool bottomUp, Place* place) {
    QX_ASSERT(bs >= size);
    const uint64_t start = uint64_t(base_) + At(d).offset;
    uint64_t s;
    if (bottomUp) {
        const uint64_t r = Remainder(start, alignment);
        s = r == 0 ? start : start - r + alignment;
        if (s > 0xFFFFFFFFu) return false;
    } else {
        uint64_t t = start + bs - size;
        if (t > 0xFFFFFFFFu) t = 0xFFFFFFFFu;
        s = t - Remainder(t, alignment);
        if (s < start) return false;
    }
    if (s - start > bs - size) return false;
    place->blockSize = bs;
    place->front = uint32_t(s - start);
    return true;
}

uint16_t RangeHeap::FirstFitByIndex(uint32_t size, uint32_t alignment, bool bottomUp,
                                    Place* place) {
    const int from = bottomUp ? FreeBlockIndex::Low : FreeBlockIndex::High;
    // Every candidate is large enough; the alignment gap can still leave it short, and then the
    // search goes on past it.
    for (FreeBlockIndex::Search search(index_, from, size, bottomUp ? lowEnd_ : highEnd_);
         search.Next();)
        if (Fits(search.Block(), search.Size(), size, alignment, bottomUp, place)) {
            place->indexed = search.Where();
            return search.Block();
        }
    return NoEntry;
}

uint16_t RangeHeap::FirstFitByWalk(uint32_t size, uint32_t alignment, bool bottomUp, Place* place) {
    // One loop per direction, so that each step follows its link without asking which.
    if (bottomUp) {
        for (uint16_t d = lowEnd_; d != NoEntry; d = At(d).upLink) {
            const uint32_t bs = BlockSize(d);
            if (bs >= size && Fits(d, bs, size, alignment, true, place)) return d;
        }
    } else {
        for (uint16_t d = highEnd_; d != NoEntry; d = At(d).downLink) {
            const uint32_t bs = BlockSize(d);
            if (bs >= size && Fits(d, bs, size, alignment, false, place)) return d;
        }
    }
    return NoEntry;
}

void RangeHeap::SwitchSearch() {
    if (Indexed()) {
        index_.Drop();
        return;
    }
    if (!index_.Table()) {
        void* table = system_.TryAlloc(IndexBytes(EntryCount()));
        if (!table) {
            // Walk on; a list twice as long is worth asking again for.
            indexFrom_ =
                uint16_t(std::min<uint32_t>(std::max<uint32_t>(2u * indexFrom_, 1), 0xFFFF));
            return;
        }
        index_.SetTable(table);
    }
    index_.Keep();
    for (uint16_t d = lowEnd_, down = NoEntry; d != NoEntry; down = d, d = At(d).upLink)
        index_.Insert(d, BlockSize(d), down, NoEntry);
}

// --- Operations ------------------------------------------------------------------------------

bool RangeHeap::Alloc(uint32_t size, uint32_t alignment, uint32_t* outOffset, uint16_t* outHandle,
                      bool bottomUp) {
    if (alignment == 0) return false;
    MutexHold hold(lock_);
    Place place;
    const uint16_t d = Indexed() ? FirstFitByIndex(size, alignment, bottomUp, &place)
                                 : FirstFitByWalk(size, alignment, bottomUp, &place);
    if (d == NoEntry) return false;
    const uint32_t offset = At(d).offset + place.front;
    // First fit: if this block cannot be split for lack of spares, the request fails.
    if (!Split(d, place, size, bottomUp)) return false;
    *outHandle = d;
    *outOffset = offset;
    ChooseSearch();
    return true;
}

void RangeHeap::Free(uint16_t h) {
    MutexHold hold(lock_);
    // Only an allocated descriptor can be freed: a handle out of range, spare or already free
    // would corrupt the tables.
    if (h >= EntryCount() || At(h).addrPrev == SpareMark || !IsMark(At(h).upLink)) return;
    const uint16_t below = At(h).addrPrev;
    const uint16_t above = At(h).addrNext;
    const bool belowFree = IsFree(below);
    const bool aboveFree = IsFree(above);
    if (belowFree && aboveFree) {
        LinkAddress(below, At(below).addrPrev, At(above).addrNext);
        UnlinkFree(above);
        ReturnSpare(above);
        ReturnSpare(h);
        // below grows first, so that taking above out of the index moves no largest size.
        Resized(below);
        if (Indexed()) index_.Remove(above);
    } else if (belowFree) {
        LinkAddress(below, At(below).addrPrev, above);
        ReturnSpare(h);
        Resized(below);
    } else if (aboveFree) {
        At(above).offset = At(h).offset;
        LinkAddress(above, At(h).addrPrev, At(above).addrNext);
        ReturnSpare(h);
        Resized(above);
    } else {
        if (At(h).upLink == MarkBottomUp)
            LinkFree(h, NoEntry, lowEnd_);
        else
            LinkFree(h, highEnd_, NoEntry);
        if (Indexed()) index_.Insert(h, BlockSize(h), At(h).downLink, At(h).upLink);
    }
    ChooseSearch();
}

void RangeHeap::GetInfo(uint32_t* outTotal, uint32_t* outSpare, MemStats* stats) {
    MutexHold hold(lock_);
    *outTotal = totalSize_;
    *outSpare = spareCount_;
    ResetStats(stats);
}

uint32_t RangeHeap::LargestFreeBlock() {
    MutexHold hold(lock_);
    if (Indexed()) return index_.Largest();
    uint32_t largest = 0;
    for (uint16_t d = lowEnd_; d != NoEntry; d = At(d).upLink)
        largest = std::max(largest, BlockSize(d));
    return largest;
}

bool RangeHeap::Validate() {
    MutexHold hold(lock_);
    const uint32_t entryCount = EntryCount();
    enum State : uint8_t { Unseen, Block, Listed, Spare };
    std::vector<uint8_t> state(entryCount, Unseen);

    // The address chain tiles [0, totalSize) from the one block with no lower neighbour.
    uint16_t lowest = NoEntry;
    for (uint32_t d = 0; d < entryCount; ++d) {
        if (At(uint16_t(d)).addrPrev == NoEntry) {
            if (lowest != NoEntry) return false;
            lowest = uint16_t(d);
        }
    }
    if (lowest == NoEntry || At(lowest).offset != 0) return false;
    uint32_t blocks = 0;
    uint16_t previous = NoEntry;
    for (uint16_t d = lowest; d != NoEntry; previous = d, d = At(d).addrNext) {
        if (d >= entryCount || state[d] != Unseen || At(d).addrPrev != previous) return false;
        state[d] = Block;
        ++blocks;
        const uint16_t above = At(d).addrNext;
        const uint32_t end = above == NoEntry ? totalSize_ : At(above).offset;
        if (above != NoEntry && above >= entryCount) return false;
        if (end < At(d).offset) return false;
        // No two free blocks are neighbours.
        if (above != NoEntry && IsFree(d) && IsFree(above)) return false;
    }

    // The free list runs from lowEnd to highEnd, doubly linked, over exactly the free blocks.
    std::vector<FreeBlockIndex::Listed> listed;
    previous = NoEntry;
    for (uint16_t d = lowEnd_; d != NoEntry; previous = d, d = At(d).upLink) {
        if (d >= entryCount || state[d] != Block || At(d).downLink != previous) return false;
        state[d] = Listed;
        listed.push_back({d, BlockSize(d)});
    }
    if (previous != highEnd_) return false;
    for (uint32_t d = 0; d < entryCount; ++d) {
        // A block that is not marked allocated must be on the list.
        if (state[d] == Block && !IsMark(At(uint16_t(d)).upLink)) return false;
    }

    // The spare chain holds every other descriptor, each marked spare.
    uint32_t spares = 0;
    for (uint16_t d = spareHead_; d != NoEntry; d = At(d).addrNext) {
        if (d >= entryCount || state[d] != Unseen || At(d).addrPrev != SpareMark) return false;
        state[d] = Spare;
        ++spares;
    }
    if (spares != spareCount_ || spares + blocks != entryCount || listed.size() > blocks ||
        listed.size() != freeCount_)
        return false;
    // The index is kept while the list is long, and then holds it in its order, with each
    // block's size.
    if (Indexed() ? freeCount_ < indexFrom_ / 2 : freeCount_ >= indexFrom_) return false;
    return index_.Validate(listed);
}
