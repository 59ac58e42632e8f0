// Range heap operation sequences against a model of its descriptors: the blocks in address
// order, the free list in its own order, the stack of spare descriptors, and the allocations
// handed out. The model answers every request first, so the harness knows which handle and
// offset each allocation must get and when it must fail, and compares the heap's tables with
// its own after every operation.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <map>
#include <vector>

#include "FuzzCheck.h"
#include "range/RangeHeap.h"
#include "support/PoolWiring.h"

namespace {

constexpr uint64_t LastAddress = 0xFFFFFFFFu;

bool IsMark(uint16_t link) { return link == MarkBottomUp || link == MarkTopDown; }

struct Block {
    uint16_t entry;
    uint32_t offset;
    bool allocated;
    bool bottomUp;  // the direction of the allocation, while allocated
};

struct Allocation {
    uint32_t offset;
    uint32_t size;
    uint32_t alignment;
};

class Model {
public:
    Model(uint32_t entryCount, uint32_t totalSize, uint32_t minFragment, uint32_t base)
        : entryCount_(entryCount),
          totalSize_(totalSize),
          minFragment_(minFragment ? minFragment : 1),
          base_(base) {
        blocks_.push_back({0, 0, false, false});
        freeList_.push_back(0);
        for (uint32_t d = entryCount; d-- > 1;) spares_.push_back(uint16_t(d));
    }

    // True with the handle and offset the heap must answer, or false.
    bool Alloc(uint32_t size, uint32_t alignment, bool bottomUp, uint16_t* handle,
               uint32_t* offset) {
        if (alignment == 0) return false;
        std::vector<uint16_t> order = freeList_;
        if (!bottomUp) std::reverse(order.begin(), order.end());
        for (uint16_t d : order) {
            size_t at = Find(d);
            const uint32_t blockSize = SizeAt(at);
            if (blockSize < size) continue;
            // The lowest (bottom-up) or highest (top-down) start that is a multiple of the
            // alignment, no later than the last 32-bit address, with size bytes inside.
            const uint64_t start = uint64_t(base_) + blocks_[at].offset;
            const uint64_t end = start + blockSize;
            uint64_t s;
            if (bottomUp) {
                s = (start + alignment - 1) / alignment * alignment;
                if (s > LastAddress || s + size > end) continue;
            } else {
                s = std::min(end - size, LastAddress) / alignment * alignment;
                if (s < start) continue;
            }
            // The first block that fits decides, even when spares run short.
            const bool front = s - start >= minFragment_;
            const bool back = end - (s + size) >= minFragment_;
            if (spares_.size() < size_t(front) + size_t(back)) return false;
            const uint32_t origin = blocks_[at].offset;
            auto listed = std::find(freeList_.begin(), freeList_.end(), d);
            if (front) {
                // The lower fragment takes the first spare and stands just before d.
                const uint16_t f = TakeSpare();
                blocks_.insert(blocks_.begin() + at, {f, origin, false, false});
                ++at;
                blocks_[at].offset = origin + uint32_t(s - start);
                listed = freeList_.insert(listed, f) + 1;
            }
            if (back) {
                const uint16_t g = TakeSpare();
                blocks_.insert(blocks_.begin() + at + 1,
                               {g, uint32_t(origin + (s - start) + size), false, false});
                freeList_.insert(listed + 1, g);
            }
            freeList_.erase(std::find(freeList_.begin(), freeList_.end(), d));
            blocks_[at].allocated = true;
            blocks_[at].bottomUp = bottomUp;
            *handle = d;
            *offset = uint32_t(s - base_);
            return true;
        }
        return false;
    }

    // Frees an allocation the model holds; false for any other handle.
    bool Free(uint16_t h) {
        const size_t at = Find(h);
        if (at == blocks_.size() || !blocks_[at].allocated) return false;
        const bool belowFree = at > 0 && !blocks_[at - 1].allocated;
        const bool aboveFree = at + 1 < blocks_.size() && !blocks_[at + 1].allocated;
        if (belowFree && aboveFree) {
            // The block below absorbs both; h ends on top of the spares, above just under it.
            const uint16_t above = blocks_[at + 1].entry;
            freeList_.erase(std::find(freeList_.begin(), freeList_.end(), above));
            blocks_.erase(blocks_.begin() + at, blocks_.begin() + at + 2);
            spares_.push_back(above);
            spares_.push_back(h);
        } else if (belowFree) {
            blocks_.erase(blocks_.begin() + at);
            spares_.push_back(h);
        } else if (aboveFree) {
            // The block above keeps its place in the free list although its start moves down.
            blocks_[at + 1].offset = blocks_[at].offset;
            blocks_.erase(blocks_.begin() + at);
            spares_.push_back(h);
        } else {
            // A lone free goes to the end its allocation came from.
            blocks_[at].allocated = false;
            if (blocks_[at].bottomUp)
                freeList_.insert(freeList_.begin(), h);
            else
                freeList_.push_back(h);
        }
        return true;
    }

    // The heap's tables, read through its accessors, against the model's.
    void Compare(const RangeHeap& heap) const {
        uint16_t lowest = NoEntry;
        for (uint32_t d = 0; d < entryCount_; ++d)
            if (heap.Entry(uint16_t(d)).addrPrev == NoEntry) lowest = uint16_t(d);
        size_t at = 0;
        for (uint16_t d = lowest; d != NoEntry; d = heap.Entry(d).addrNext, ++at) {
            FUZZ_CHECK(at < blocks_.size());
            const RangeEntry& entry = heap.Entry(d);
            FUZZ_CHECK(d == blocks_[at].entry && entry.offset == blocks_[at].offset);
            FUZZ_CHECK(IsMark(entry.upLink) == blocks_[at].allocated);
            if (blocks_[at].allocated)
                FUZZ_CHECK(entry.upLink == (blocks_[at].bottomUp ? MarkBottomUp : MarkTopDown));
        }
        FUZZ_CHECK(at == blocks_.size());
        size_t listed = 0;
        for (uint16_t d = heap.LowEnd(); d != NoEntry; d = heap.Entry(d).upLink, ++listed)
            FUZZ_CHECK(listed < freeList_.size() && d == freeList_[listed]);
        FUZZ_CHECK(listed == freeList_.size());
        FUZZ_CHECK(heap.HighEnd() == (freeList_.empty() ? NoEntry : freeList_.back()));
        size_t spare = spares_.size();
        for (uint16_t d = heap.SpareHead(); d != NoEntry; d = heap.Entry(d).addrNext)
            FUZZ_CHECK(spare > 0 && d == spares_[--spare]);
        FUZZ_CHECK(spare == 0);
    }

    const std::vector<Block>& Blocks() const { return blocks_; }
    size_t Find(uint16_t d) const {
        size_t at = 0;
        while (at < blocks_.size() && blocks_[at].entry != d) ++at;
        return at;
    }
    uint32_t SizeAt(size_t at) const {
        return (at + 1 < blocks_.size() ? blocks_[at + 1].offset : totalSize_) - blocks_[at].offset;
    }
    size_t Spares() const { return spares_.size(); }
    uint32_t MinFragment() const { return minFragment_; }

private:
    uint16_t TakeSpare() {
        const uint16_t d = spares_.back();
        spares_.pop_back();
        return d;
    }

    uint32_t entryCount_;
    uint32_t totalSize_;
    uint32_t minFragment_;
    uint32_t base_;
    std::vector<Block> blocks_;       // address order
    std::vector<uint16_t> freeList_;  // from lowEnd to highEnd
    std::vector<uint16_t> spares_;    // the head of the spare chain last
};

class Harness {
public:
    Harness(RangeHeap* heap, uint32_t entryCount, uint32_t totalSize, uint32_t minFragment,
            uint32_t base)
        : heap_(heap),
          model_(entryCount, totalSize, minFragment, base),
          entryCount_(entryCount),
          totalSize_(totalSize),
          base_(base) {}

    void Alloc(uint32_t size, uint32_t alignment, bool bottomUp) {
        uint16_t expectedHandle = 0;
        uint32_t expectedOffset = 0;
        const bool expected =
            model_.Alloc(size, alignment, bottomUp, &expectedHandle, &expectedOffset);
        uint32_t offset = 0xA5A5A5A5u;
        uint16_t handle = 0xA5A5;
        const bool ok = heap_->Alloc(size, alignment, &offset, &handle, bottomUp);
        FUZZ_CHECK(ok == expected);
        if (!ok) {
            FUZZ_CHECK(offset == 0xA5A5A5A5u && handle == 0xA5A5);  // neither output written
            return;
        }
        FUZZ_CHECK(handle == expectedHandle && offset == expectedOffset);
        FUZZ_CHECK(live_.count(handle) == 0);
        live_[handle] = {offset, size, alignment};
    }

    void Free(uint16_t handle) {
        if (model_.Free(handle)) {
            FUZZ_CHECK(live_.erase(handle) == 1);
            heap_->Free(handle);
            freed_.push_back(handle);
            return;
        }
        // Not an allocation: out of range, spare, free or already freed. The model stays as it
        // was, and the next check compares every table of the heap with it.
        FUZZ_CHECK(live_.count(handle) == 0);
        heap_->Free(handle);
    }

    uint16_t LiveHandle(size_t pick) const {
        auto it = live_.begin();
        std::advance(it, pick % live_.size());
        return it->first;
    }
    uint16_t FreedHandle(size_t pick) const { return freed_[pick % freed_.size()]; }
    bool HasLive() const { return !live_.empty(); }
    bool HasFreed() const { return !freed_.empty(); }

    // The invariants that hold after every operation.
    void Check() {
        FUZZ_CHECK(heap_->Validate());
        model_.Compare(*heap_);

        // Each allocation lies aligned inside its block, which keeps only leftovers below
        // minFragment, and no two allocations overlap.
        const std::vector<Block>& blocks = model_.Blocks();
        uint64_t liveBytes = 0;
        std::vector<std::pair<uint32_t, uint32_t>> extents;
        for (const auto& [handle, allocation] : live_) {
            const size_t at = model_.Find(handle);
            FUZZ_CHECK(handle < entryCount_ && at < blocks.size() && blocks[at].allocated);
            const uint64_t blockStart = blocks[at].offset;
            const uint64_t blockEnd = blockStart + model_.SizeAt(at);
            const uint64_t start = allocation.offset;
            const uint64_t end = start + allocation.size;
            FUZZ_CHECK(blockStart <= start && end <= blockEnd && end <= totalSize_);
            FUZZ_CHECK(start - blockStart < model_.MinFragment());
            FUZZ_CHECK(blockEnd - end < model_.MinFragment());
            const uint64_t address = uint64_t(base_) + start;
            FUZZ_CHECK(address <= LastAddress && address % allocation.alignment == 0);
            liveBytes += allocation.size;
            extents.push_back({allocation.offset, allocation.size});
        }
        std::sort(extents.begin(), extents.end());
        for (size_t i = 1; i < extents.size(); ++i)
            FUZZ_CHECK(uint64_t(extents[i - 1].first) + extents[i - 1].second <= extents[i].first);
        uint32_t largestFree = 0;
        for (size_t at = 0; at < blocks.size(); ++at)
            if (!blocks[at].allocated) largestFree = std::max(largestFree, model_.SizeAt(at));

        uint32_t total = 0;
        uint32_t spares = 0;
        MemStats stats;
        for (uint32_t& word : stats.words) word = 0x5A5A5A5Au;
        heap_->GetInfo(&total, &spares, &stats);
        FUZZ_CHECK(total == totalSize_);
        FUZZ_CHECK(spares == model_.Spares() && spares + blocks.size() == entryCount_);
        for (uint32_t word = 0; word < 10; ++word)
            FUZZ_CHECK(stats.words[word] == (word == 3 ? 0x5A5A5A5Au : 0u));
        const uint32_t largest = heap_->LargestFreeBlock();
        FUZZ_CHECK(largest == largestFree);
        FUZZ_CHECK(largest <= totalSize_ - liveBytes);
    }

private:
    RangeHeap* heap_;
    Model model_;
    uint32_t entryCount_;
    uint32_t totalSize_;
    uint32_t base_;
    std::map<uint16_t, Allocation> live_;
    std::vector<uint16_t> freed_;
};

uint32_t PickEntryCount(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0:
            return in.ConsumeIntegralInRange<uint32_t>(0, 600);
        case 1:  // around both ends of the accepted range
            return in.PickValueInArray<uint32_t>(
                {0, 1, 2, 3, MaxRangeEntries, MaxRangeEntries + 1, 0xFFFF, 0x10000, 0xFFFFFFFFu});
        default:
            return in.ConsumeIntegralInRange<uint32_t>(2, 24);
    }
}

uint32_t PickSize(FuzzedDataProvider& in, uint32_t totalSize) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            return in.ConsumeIntegralInRange<uint32_t>(0, 64);
        case 1:
            return in.ConsumeIntegralInRange<uint32_t>(0, totalSize / 4 + 1);
        case 2:
            return in.ConsumeIntegralInRange<uint32_t>(0, totalSize);
        default:
            return in.ConsumeIntegral<uint32_t>();
    }
}

uint32_t PickAlignment(FuzzedDataProvider& in) {
    if (in.ConsumeBool()) return in.ConsumeIntegral<uint32_t>();
    return in.PickValueInArray<uint32_t>(
        {0, 1, 2, 3, 4, 5, 7, 8, 12, 16, 48, 64, 100, 4096, 65536, 0x80000000u, 0xFFFFFFFFu});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    PoolWiring wiring;
    const uint32_t entryCount = PickEntryCount(in);
    const uint32_t totalSize = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 4096)
                                                : in.ConsumeIntegral<uint32_t>();
    const uint32_t minFragment = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 64)
                                                  : in.ConsumeIntegral<uint32_t>();
    const uint32_t base = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 256)
                                           : in.ConsumeIntegral<uint32_t>();
    const bool accepted = entryCount >= 2 && entryCount <= MaxRangeEntries;

    // A runtime heap that fails for good makes creation fail; one that fails once does not.
    const int failure = in.ConsumeIntegralInRange(0, 7);
    if (failure == 0) wiring.runtime.FailAll(true);
    if (failure == 1) wiring.runtime.FailCall(1);
    RangeHeap* heap = RangeHeap::Create(wiring.system, entryCount, totalSize, minFragment, base);
    FUZZ_CHECK((heap != nullptr) == (accepted && failure != 0));
    if (!accepted) FUZZ_CHECK(wiring.runtime.Calls() == 0);
    if (!heap) return 0;
    wiring.runtime.FailAll(false);

    Harness harness(heap, entryCount, totalSize, minFragment, base);
    harness.Check();
    // Every check walks the whole table, so large tables get fewer operations.
    const int maxOps = entryCount > 1000 ? 16 : 2000;
    for (int op = 0; op < maxOps && in.remaining_bytes() > 0; ++op) {
        switch (in.ConsumeIntegralInRange(0, 7)) {
            case 0:
            case 1:
            case 2: {
                const uint32_t size = PickSize(in, totalSize);
                const uint32_t alignment = PickAlignment(in);
                harness.Alloc(size, alignment, in.ConsumeBool());
                break;
            }
            case 3:
            case 4:
                if (harness.HasLive())
                    harness.Free(harness.LiveHandle(in.ConsumeIntegral<uint16_t>()));
                break;
            case 5:  // a double free, unless the descriptor has been handed out again since
                if (harness.HasFreed())
                    harness.Free(harness.FreedHandle(in.ConsumeIntegral<uint16_t>()));
                break;
            case 6:  // any handle at all, in range or not
                harness.Free(in.ConsumeIntegral<uint16_t>());
                break;
            default:
                harness.Free(in.ConsumeIntegralInRange<uint16_t>(0, uint16_t(entryCount)));
                break;
        }
        harness.Check();
    }

    RangeHeap::Destroy(wiring.system, heap);
    FUZZ_CHECK(wiring.runtime.Outstanding() == 0);
    return 0;
}
