#include "range/RangeHeap.h"

#include <new>
#include <vector>

#include "common/StatsRecord.h"
#include "system/SystemHeap.h"

namespace {

bool IsMark(uint16_t link) { return link == MarkBottomUp || link == MarkTopDown; }

}  // namespace

RangeHeap::RangeHeap(uint32_t entryCount, uint32_t totalSize, uint32_t minFragment, uint32_t base)
    : spareCount_(uint16_t(entryCount - 1)),
      spareHead_(1),
      lowEnd_(0),
      highEnd_(0),
      totalSize_(totalSize),
      base_(base),
      minFragment_(minFragment ? minFragment : 1),
      entryCount_(entryCount) {
    // Descriptor 0 is the whole range, free; the others are spare, chained in ascending order.
    At(0) = RangeEntry{NoEntry, NoEntry, NoEntry, NoEntry, 0};
    for (uint32_t d = 1; d < entryCount; ++d) {
        At(uint16_t(d)).addrPrev = SpareMark;
        At(uint16_t(d)).addrNext = d + 1 < entryCount ? uint16_t(d + 1) : NoEntry;
    }
}

RangeHeap* RangeHeap::Create(SystemHeap& system, uint32_t entryCount, uint32_t totalSize,
                             uint32_t minFragment, uint32_t base) {
    if (entryCount < 2 || entryCount > MaxRangeEntries) return nullptr;
    void* block = system.Alloc(uint32_t(sizeof(RangeHeap) + entryCount * sizeof(RangeEntry)));
    if (!block) return nullptr;
    return new (block) RangeHeap(entryCount, totalSize, minFragment, base);
}

void RangeHeap::Destroy(SystemHeap& system, RangeHeap* heap) {
    if (!heap) return;
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

void RangeHeap::LinkFree(uint16_t d, uint16_t down, uint16_t up) {
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
}

void RangeHeap::UnlinkFree(uint16_t d) {
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
}

bool RangeHeap::IsFree(uint16_t d) { return d != NoEntry && !IsMark(At(d).upLink); }

bool RangeHeap::Split(uint16_t d, uint32_t front, uint32_t end, uint32_t bs, bool bottomUp) {
    const uint32_t back = bs - end;
    const bool splitFront = front >= minFragment_;
    const bool splitBack = back >= minFragment_;
    if (spareCount_ < unsigned(splitFront) + unsigned(splitBack)) return false;
    const uint32_t origin = At(d).offset;
    if (splitFront) {
        const uint16_t f = TakeSpare();
        At(f).offset = origin;
        At(d).offset = origin + front;
        LinkAddress(f, At(d).addrPrev, d);
        LinkFree(f, At(d).downLink, d);
    }
    if (splitBack) {
        const uint16_t g = TakeSpare();
        At(g).offset = origin + end;
        LinkAddress(g, d, At(d).addrNext);
        LinkFree(g, d, At(d).upLink);
    }
    UnlinkFree(d);
    At(d).upLink = bottomUp ? MarkBottomUp : MarkTopDown;
    return true;
}

// --- Operations ------------------------------------------------------------------------------

bool RangeHeap::Alloc(uint32_t size, uint32_t alignment, uint32_t* outOffset, uint16_t* outHandle,
                      bool bottomUp) {
    if (alignment == 0) return false;
    ScopedLock hold(lock_);
    // Absolute positions are taken as true integers, so a range passing 2^32 cannot wrap an
    // allocation out of its block; starts past the last 32-bit address are not handed out in
    // either direction.
    for (uint16_t d = bottomUp ? lowEnd_ : highEnd_; d != NoEntry;
         d = bottomUp ? At(d).upLink : At(d).downLink) {
        const uint32_t bs = BlockSize(d);
        if (bs < size) continue;
        const uint64_t start = uint64_t(base_) + At(d).offset;
        uint64_t s;
        if (bottomUp) {
            const uint64_t r = start % alignment;
            s = r == 0 ? start : start - r + alignment;
            if (s > 0xFFFFFFFFu) continue;
        } else {
            uint64_t t = start + bs - size;
            if (t > 0xFFFFFFFFu) t = 0xFFFFFFFFu;
            s = t - t % alignment;
            if (s < start) continue;
        }
        if (s - start > bs - size) continue;
        const uint32_t front = uint32_t(s - start);
        // First fit: if this block cannot be split for lack of spares, the request fails.
        if (!Split(d, front, front + size, bs, bottomUp)) return false;
        *outHandle = d;
        *outOffset = uint32_t(s - base_);
        return true;
    }
    return false;
}

void RangeHeap::Free(uint16_t h) {
    ScopedLock hold(lock_);
    // Only an allocated descriptor can be freed: a handle out of range, spare or already free
    // would corrupt the tables.
    if (h >= entryCount_ || At(h).addrPrev == SpareMark || !IsMark(At(h).upLink)) return;
    const uint16_t below = At(h).addrPrev;
    const uint16_t above = At(h).addrNext;
    const bool belowFree = IsFree(below);
    const bool aboveFree = IsFree(above);
    if (belowFree && aboveFree) {
        LinkAddress(below, At(below).addrPrev, At(above).addrNext);
        UnlinkFree(above);
        ReturnSpare(above);
        ReturnSpare(h);
    } else if (belowFree) {
        LinkAddress(below, At(below).addrPrev, above);
        ReturnSpare(h);
    } else if (aboveFree) {
        At(above).offset = At(h).offset;
        LinkAddress(above, At(h).addrPrev, At(above).addrNext);
        ReturnSpare(h);
    } else if (At(h).upLink == MarkBottomUp) {
        LinkFree(h, NoEntry, lowEnd_);
    } else {
        LinkFree(h, highEnd_, NoEntry);
    }
}

void RangeHeap::GetInfo(uint32_t* outTotal, uint32_t* outSpare, MemStats* stats) {
    ScopedLock hold(lock_);
    *outTotal = totalSize_;
    *outSpare = spareCount_;
    ResetStats(stats);
}

uint32_t RangeHeap::LargestFreeBlock() {
    ScopedLock hold(lock_);
    uint32_t largest = 0;
    for (uint16_t d = lowEnd_; d != NoEntry; d = At(d).upLink) {
        const uint32_t size = BlockSize(d);
        if (size > largest) largest = size;
    }
    return largest;
}

bool RangeHeap::Validate() {
    ScopedLock hold(lock_);
    enum State : uint8_t { Unseen, Block, Listed, Spare };
    std::vector<uint8_t> state(entryCount_, Unseen);

    // The address chain tiles [0, totalSize) from the one block with no lower neighbour.
    uint16_t lowest = NoEntry;
    for (uint32_t d = 0; d < entryCount_; ++d) {
        if (At(uint16_t(d)).addrPrev == NoEntry) {
            if (lowest != NoEntry) return false;
            lowest = uint16_t(d);
        }
    }
    if (lowest == NoEntry || At(lowest).offset != 0) return false;
    uint32_t blocks = 0;
    uint16_t previous = NoEntry;
    for (uint16_t d = lowest; d != NoEntry; previous = d, d = At(d).addrNext) {
        if (d >= entryCount_ || state[d] != Unseen || At(d).addrPrev != previous) return false;
        state[d] = Block;
        ++blocks;
        const uint16_t above = At(d).addrNext;
        const uint32_t end = above == NoEntry ? totalSize_ : At(above).offset;
        if (above != NoEntry && above >= entryCount_) return false;
        if (end < At(d).offset) return false;
        // No two free blocks are neighbours.
        if (above != NoEntry && IsFree(d) && IsFree(above)) return false;
    }

    // The free list runs from lowEnd to highEnd, doubly linked, over exactly the free blocks.
    uint32_t listed = 0;
    previous = NoEntry;
    for (uint16_t d = lowEnd_; d != NoEntry; previous = d, d = At(d).upLink) {
        if (d >= entryCount_ || state[d] != Block || At(d).downLink != previous) return false;
        state[d] = Listed;
        ++listed;
    }
    if (previous != highEnd_) return false;
    for (uint32_t d = 0; d < entryCount_; ++d) {
        // A block that is not marked allocated must be on the list.
        if (state[d] == Block && !IsMark(At(uint16_t(d)).upLink)) return false;
    }

    // The spare chain holds every other descriptor, each marked spare.
    uint32_t spares = 0;
    for (uint16_t d = spareHead_; d != NoEntry; d = At(d).addrNext) {
        if (d >= entryCount_ || state[d] != Unseen || At(d).addrPrev != SpareMark) return false;
        state[d] = Spare;
        ++spares;
    }
    return spares == spareCount_ && spares + blocks == entryCount_ && listed <= blocks;
}
