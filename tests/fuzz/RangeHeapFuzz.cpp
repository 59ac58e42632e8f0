// Range heap operation sequences against a model of its descriptors: the blocks in address
// order, the free list in its own order, the stack of spare descriptors, and the allocations
// handed out. The model answers every request first, so the harness knows which handle and
// offset each allocation must get and when it must fail. After every operation the descriptors
// it may have changed are compared with the model, which costs a few entries whatever the size
// of the table; the whole table, Validate() and the queries are compared every so many
// operations and at the end of the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <vector>

#include "FuzzCheck.h"
#include "range/RangeHeap.h"
#include "support/PoolWiring.h"

namespace {

constexpr uint64_t LastAddress = 0xFFFFFFFFu;
// Operations between two full checks, at least: enough that the walks over the whole table cost
// little beside the operations, few enough that a fault is reported close to its cause. A table
// of more descriptors than this is walked once per as many operations as it has descriptors.
constexpr uint32_t FullCheckEvery = 64;

bool IsMark(uint16_t link) { return link == MarkBottomUp || link == MarkTopDown; }

struct Block {  // eight bytes: splits and merges move the blocks above them
    uint32_t offset;
    uint16_t entry;
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
          base_(base),
          unused_(1) {
        // Room for a typical input, so the vectors seldom grow while it runs.
        blocks_.reserve(64);
        freeList_.reserve(64);
        spares_.reserve(64);
        touched_.reserve(32);
        blocks_.push_back({0, 0, false, false});
        freeList_.push_back(0);
    }

    // True with the handle and offset the heap must answer, or false.
    bool Alloc(uint32_t size, uint32_t alignment, bool bottomUp, uint16_t* handle,
               uint32_t* offset) {
        if (alignment == 0) return false;
        for (size_t i = 0; i < freeList_.size(); ++i) {
            const uint16_t d = freeList_[bottomUp ? i : freeList_.size() - 1 - i];
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
            if (Spares() < size_t(front) + size_t(back)) return false;
            // d's neighbours lose their links to it when it leaves the free list unsplit.
            Touch(d);
            const uint32_t origin = blocks_[at].offset;
            auto listed = std::find(freeList_.begin(), freeList_.end(), d);
            if (front) {
                // The lower fragment takes the first spare and stands just before d.
                const uint16_t f = TakeSpare();
                blocks_.insert(blocks_.begin() + at, {origin, f, false, false});
                ++at;
                blocks_[at].offset = origin + uint32_t(s - start);
                listed = freeList_.insert(listed, f) + 1;
            }
            if (back) {
                const uint16_t g = TakeSpare();
                blocks_.insert(blocks_.begin() + at + 1,
                               {uint32_t(origin + (s - start) + size), g, false, false});
                freeList_.insert(listed + 1, g);
            }
            freeList_.erase(std::find(freeList_.begin(), freeList_.end(), d));
            blocks_[at].allocated = true;
            blocks_[at].bottomUp = bottomUp;
            stale_ = true;
            // The fragments, and the blocks just outside them whose address links now name them.
            for (size_t near = at - front; near <= at + back; ++near) TouchAround(near);
            *handle = d;
            *offset = uint32_t(s - base_);
            return true;
        }
        return false;
    }

    // Frees an allocation the model holds; false for any other handle.
    bool Free(uint16_t h) {
        const size_t at = Find(h);
        if (at == blocks_.size() || !blocks_[at].allocated) {
            // Nothing may change, least of all the descriptor named.
            if (h < entryCount_) Touch(h);
            return false;
        }
        // Everything next to h, in address order and in the free list, may be relinked.
        Touch(h);
        if (at > 0) Touch(blocks_[at - 1].entry);
        if (at + 1 < blocks_.size()) Touch(blocks_[at + 1].entry);
        const bool belowFree = at > 0 && !blocks_[at - 1].allocated;
        const bool aboveFree = at + 1 < blocks_.size() && !blocks_[at + 1].allocated;
        stale_ = true;
        if (belowFree && aboveFree) {
            // The block below absorbs both; h ends on top of the spares, above just under it.
            const uint16_t above = blocks_[at + 1].entry;
            freeList_.erase(std::find(freeList_.begin(), freeList_.end(), above));
            blocks_.erase(blocks_.begin() + at, blocks_.begin() + at + 2);
            spares_.push_back(above);
            spares_.push_back(h);
            TouchAround(at - 1);
        } else if (belowFree) {
            blocks_.erase(blocks_.begin() + at);
            spares_.push_back(h);
            TouchAround(at - 1);
        } else if (aboveFree) {
            // The block above keeps its place in the free list although its start moves down.
            blocks_[at + 1].offset = blocks_[at].offset;
            blocks_.erase(blocks_.begin() + at);
            spares_.push_back(h);
            TouchAround(at);
        } else {
            // A lone free goes to the end its allocation came from.
            blocks_[at].allocated = false;
            if (blocks_[at].bottomUp)
                freeList_.insert(freeList_.begin(), h);
            else
                freeList_.push_back(h);
            TouchAround(at);
        }
        return true;
    }

    // The descriptors the last operation may have changed, each with every field the model
    // knows, and the list ends and the spare head; then forgets them.
    void CompareTouched(const RangeHeap& heap) {
        for (uint16_t d : touched_) CompareEntry(heap, d);
        touched_.clear();
        CompareEnds(heap);
    }

    // Every descriptor, read through the heap's accessors, against the model: the blocks in
    // address order, the free list in its order and the spare stack from its head. With the
    // count check these reach every descriptor the heap has.
    void Compare(const RangeHeap& heap) {
        for (size_t at = 0; at < blocks_.size(); ++at) CompareBlock(heap, at);
        for (size_t at = 0; at < freeList_.size(); ++at) CompareListed(heap, at);
        for (size_t at = 0; at < spares_.size(); ++at) CompareSpare(heap, at);
        for (uint32_t d = unused_; d < entryCount_; ++d) CompareUnused(heap, uint16_t(d));
        CompareEnds(heap);
        touched_.clear();
    }

    const std::vector<Block>& Blocks() const { return blocks_; }
    // The position of d in address order, blocks_.size() if d is no block.
    size_t Find(uint16_t d) const {
        Refresh();
        return d < places_.size() && places_[d].stamp == stamp_ ? places_[d].position
                                                                : blocks_.size();
    }
    // The position of d in the free list, freeList_.size() if d is not free.
    size_t FindListed(uint16_t d) const {
        Refresh();
        return d < places_.size() && places_[d].stamp == stamp_ && places_[d].listed != NoPlace
                   ? places_[d].listed
                   : freeList_.size();
    }
    uint32_t SizeAt(size_t at) const {
        return (at + 1 < blocks_.size() ? blocks_[at + 1].offset : totalSize_) - blocks_[at].offset;
    }
    size_t Spares() const { return spares_.size() + (entryCount_ - unused_); }
    uint32_t MinFragment() const { return minFragment_; }

private:
    uint16_t TakeSpare() {
        if (spares_.empty()) return uint16_t(unused_++);
        const uint16_t d = spares_.back();
        spares_.pop_back();
        return d;
    }

    // Where each descriptor handed out so far stands in address order and in the free list,
    // worked out once after each change rather than searched for on every call. An entry
    // counts only if it bears the current stamp, so nothing needs clearing first.
    void Refresh() const {
        if (!stale_) return;
        if (places_.size() < unused_) places_.resize(unused_);
        ++stamp_;
        for (size_t at = 0; at < blocks_.size(); ++at)
            places_[blocks_[at].entry] = {uint32_t(at), NoPlace, stamp_};
        for (size_t at = 0; at < freeList_.size(); ++at)
            places_[freeList_[at]].listed = uint32_t(at);
        stale_ = false;
    }

    // Notes d and its neighbours in the free list, whose links name it.
    void Touch(uint16_t d) {
        Note(d);
        const size_t listed = FindListed(d);
        if (listed == freeList_.size()) return;
        if (listed > 0) Note(freeList_[listed - 1]);
        if (listed + 1 < freeList_.size()) Note(freeList_[listed + 1]);
    }
    // An operation touches a dozen descriptors at most, many of them twice.
    void Note(uint16_t d) {
        if (std::find(touched_.begin(), touched_.end(), d) == touched_.end()) touched_.push_back(d);
    }
    // Notes the block at position at, after a change, and everything linked to it.
    void TouchAround(size_t at) {
        Touch(blocks_[at].entry);
        if (at > 0) Touch(blocks_[at - 1].entry);
        if (at + 1 < blocks_.size()) Touch(blocks_[at + 1].entry);
    }

    void CompareEntry(const RangeHeap& heap, uint16_t d) const {
        const size_t at = Find(d);
        if (at < blocks_.size()) {
            CompareBlock(heap, at);
            const size_t listed = FindListed(d);
            if (listed < freeList_.size()) CompareListed(heap, listed);
            return;
        }
        if (d >= unused_) return CompareUnused(heap, d);
        // Spares given back lately lie near the head, so the search starts there.
        const auto spare = std::find(spares_.rbegin(), spares_.rend(), d);
        FUZZ_CHECK(spare != spares_.rend());
        CompareSpare(heap, size_t(spares_.rend() - spare) - 1);
    }
    // Offset, address links and allocation mark of the block at position at.
    void CompareBlock(const RangeHeap& heap, size_t at) const {
        const Block& block = blocks_[at];
        const RangeEntry& entry = heap.Entry(block.entry);
        FUZZ_CHECK(entry.offset == block.offset);
        FUZZ_CHECK(entry.addrPrev == (at == 0 ? NoEntry : blocks_[at - 1].entry));
        FUZZ_CHECK(entry.addrNext == (at + 1 == blocks_.size() ? NoEntry : blocks_[at + 1].entry));
        FUZZ_CHECK(IsMark(entry.upLink) == block.allocated);
        if (block.allocated)
            FUZZ_CHECK(entry.upLink == (block.bottomUp ? MarkBottomUp : MarkTopDown));
    }
    // The free-list links of the block at position at of the list.
    void CompareListed(const RangeHeap& heap, size_t at) const {
        const RangeEntry& entry = heap.Entry(freeList_[at]);
        FUZZ_CHECK(entry.downLink == (at == 0 ? NoEntry : freeList_[at - 1]));
        FUZZ_CHECK(entry.upLink == (at + 1 == freeList_.size() ? NoEntry : freeList_[at + 1]));
    }
    // A spare is marked and links to the spare below it on the stack.
    void CompareSpare(const RangeHeap& heap, size_t at) const {
        const RangeEntry& entry = heap.Entry(spares_[at]);
        FUZZ_CHECK(entry.addrPrev == SpareMark);
        const uint32_t below = at == 0 ? unused_ : spares_[at - 1];
        FUZZ_CHECK(entry.addrNext == (below < entryCount_ ? below : NoEntry));
    }
    // A descriptor never handed out is still chained to the next in ascending order.
    void CompareUnused(const RangeHeap& heap, uint16_t d) const {
        const RangeEntry& entry = heap.Entry(d);
        FUZZ_CHECK(entry.addrPrev == SpareMark);
        FUZZ_CHECK(entry.addrNext == (d + 1u < entryCount_ ? uint16_t(d + 1) : NoEntry));
    }
    void CompareEnds(const RangeHeap& heap) const {
        FUZZ_CHECK(heap.LowEnd() == (freeList_.empty() ? NoEntry : freeList_.front()));
        FUZZ_CHECK(heap.HighEnd() == (freeList_.empty() ? NoEntry : freeList_.back()));
        const uint32_t head = spares_.empty() ? unused_ : spares_.back();
        FUZZ_CHECK(heap.SpareHead() == (head < entryCount_ ? head : NoEntry));
    }

    uint32_t entryCount_;
    uint32_t totalSize_;
    uint32_t minFragment_;
    uint32_t base_;
    std::vector<Block> blocks_;       // address order
    std::vector<uint16_t> freeList_;  // from lowEnd to highEnd
    // The spare stack: descriptors given back, the head last, on top of those never handed
    // out, which the heap starts with chained in ascending order from 1 and hands out in that
    // order. Keeping the second part as a bound makes a table of any size cost nothing to set up.
    std::vector<uint16_t> spares_;
    uint32_t unused_;                // the lowest descriptor never handed out
    std::vector<uint16_t> touched_;  // descriptors changed since the last comparison
    struct Place {
        uint32_t position;  // in address order
        uint32_t listed;    // in the free list, or NoPlace
        uint32_t stamp;
    };
    static constexpr uint32_t NoPlace = ~uint32_t(0);
    mutable std::vector<Place> places_;  // by descriptor, below unused_
    mutable uint32_t stamp_ = 0;
    mutable bool stale_ = true;
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
        const auto at = FindLive(handle);
        FUZZ_CHECK(at == live_.end() || at->handle != handle);
        const Live& live = *live_.insert(at, {handle, {offset, size, alignment}});
        CheckAllocation(live);
    }

    void Free(uint16_t handle) {
        const auto at = FindLive(handle);
        const bool held = at != live_.end() && at->handle == handle;
        if (model_.Free(handle)) {
            FUZZ_CHECK(held);
            live_.erase(at);
            heap_->Free(handle);
            freed_.push_back(handle);
            return;
        }
        // Not an allocation: out of range, spare, free or already freed. The model stays as it
        // was, and the step check compares the descriptor named with it.
        FUZZ_CHECK(!held);
        heap_->Free(handle);
    }

    // The two queries, answered from the model: the largest free block and the counts.
    void Query() {
        const std::vector<Block>& blocks = model_.Blocks();
        uint32_t largestFree = 0;
        uint64_t liveBytes = 0;
        for (size_t at = 0; at < blocks.size(); ++at)
            if (!blocks[at].allocated) largestFree = std::max(largestFree, model_.SizeAt(at));
        for (const Live& live : live_) liveBytes += live.allocation.size;
        const uint32_t largest = heap_->LargestFreeBlock();
        FUZZ_CHECK(largest == largestFree);
        FUZZ_CHECK(largest <= totalSize_ - liveBytes);

        uint32_t total = 0;
        uint32_t spares = 0;
        MemStats stats;
        for (uint32_t& word : stats.words) word = 0x5A5A5A5Au;
        heap_->GetInfo(&total, &spares, &stats);
        FUZZ_CHECK(total == totalSize_);
        FUZZ_CHECK(spares == model_.Spares() && spares + blocks.size() == entryCount_);
        for (uint32_t word = 0; word < 10; ++word)
            FUZZ_CHECK(stats.words[word] == (word == 3 ? 0x5A5A5A5Au : 0u));
    }

    uint16_t LiveHandle(size_t pick) const { return live_[pick % live_.size()].handle; }
    uint16_t FreedHandle(size_t pick) const { return freed_[pick % freed_.size()]; }
    bool HasLive() const { return !live_.empty(); }
    bool HasFreed() const { return !freed_.empty(); }

    // After every operation: the descriptors it may have changed, the list ends and the spare
    // head, a few entries whatever the size of the table. The counts wait for a query or the
    // next full check: a wrong count stays wrong until then, and reading it takes the heap's
    // lock, which costs more per operation than the rest of this check.
    void StepCheck() { model_.CompareTouched(*heap_); }

    // Every invariant over the whole table: the heap's own walk, every descriptor against the
    // model, every allocation inside its block and no two overlapping, and both queries.
    void FullCheck() {
        FUZZ_CHECK(heap_->Validate());
        model_.Compare(*heap_);
        std::vector<std::pair<uint32_t, uint32_t>> extents;
        for (const Live& live : live_) {
            CheckAllocation(live);
            extents.push_back({live.allocation.offset, live.allocation.size});
        }
        std::sort(extents.begin(), extents.end());
        for (size_t i = 1; i < extents.size(); ++i)
            FUZZ_CHECK(uint64_t(extents[i - 1].first) + extents[i - 1].second <= extents[i].first);
        Query();
    }

private:
    struct Live {
        uint16_t handle;
        Allocation allocation;
    };

    // The first allocation whose handle is not below handle.
    std::vector<Live>::iterator FindLive(uint16_t handle) {
        return std::lower_bound(live_.begin(), live_.end(), handle,
                                [](const Live& live, uint16_t h) { return live.handle < h; });
    }

    // An allocation lies aligned inside its block, which keeps only leftovers below
    // minFragment.
    void CheckAllocation(const Live& live) const {
        const uint16_t handle = live.handle;
        const Allocation& allocation = live.allocation;
        const std::vector<Block>& blocks = model_.Blocks();
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
    }

    RangeHeap* heap_;
    Model model_;
    uint32_t entryCount_;
    uint32_t totalSize_;
    uint32_t base_;
    std::vector<Live> live_;  // in handle order
    std::vector<uint16_t> freed_;
};

// Mostly small tables, where spares run short and every failure path comes up; sometimes up
// to 600 descriptors; sometimes counts around both ends of the accepted range. Bytes of 0,
// which mutations write most and which a spent input gives, pick small tables.
uint32_t PickEntryCount(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
        case 7:
            return in.ConsumeIntegralInRange<uint32_t>(0, 600);
        case 6: {
            const uint32_t count = in.PickValueInArray<uint32_t>(
                {0, 1, 2, 3, MaxRangeEntries, MaxRangeEntries + 1, 0xFFFF, 0x10000, 0xFFFFFFFFu});
            // The largest table behaves like one of 600 once made, but making it and walking its
            // 65532 descriptors at the end costs as much as fifty small inputs: a quarter of the
            // inputs that pick it get it, the others the count just past it.
            if (count == MaxRangeEntries && in.ConsumeIntegralInRange(0, 3) != 3) return count + 1;
            return count;
        }
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
    // Lists this short rarely grow long enough to build the index by the default, so most inputs
    // keep it always, from a few blocks on, or across its builds and drops.
    const uint32_t indexFrom =
        in.PickValueInArray<uint32_t>({0, 0, 2, 3, 6, 16, RangeHeap::IndexFrom});
    const bool accepted = entryCount >= 2 && entryCount <= MaxRangeEntries;

    // A runtime heap that fails for good makes creation fail; one that fails once does not.
    const int failure = in.ConsumeIntegralInRange(0, 7);
    if (failure == 0) wiring.runtime.FailAll(true);
    if (failure == 1) wiring.runtime.FailCall(1);
    RangeHeap* heap =
        RangeHeap::Create(wiring.system, entryCount, totalSize, minFragment, base, indexFrom);
    FUZZ_CHECK((heap != nullptr) == (accepted && failure != 0));
    if (!accepted) FUZZ_CHECK(wiring.runtime.Calls() == 0);
    if (!heap) return 0;
    wiring.runtime.FailAll(false);

    Harness harness(heap, entryCount, totalSize, minFragment, base);
    const uint32_t fullCheckEvery = std::max(FullCheckEvery, entryCount);
    uint32_t sinceFullCheck = 0;
    for (int op = 0; op < 2000 && in.remaining_bytes() > 0; ++op) {
        switch (in.ConsumeIntegralInRange(0, 16)) {
            case 0:
            case 1:
            case 2:
            case 3:
            case 4:
            case 5: {
                const uint32_t size = PickSize(in, totalSize);
                const uint32_t alignment = PickAlignment(in);
                harness.Alloc(size, alignment, in.ConsumeBool());
                break;
            }
            case 6:
            case 7:
            case 8:
            case 9:
                if (harness.HasLive())
                    harness.Free(harness.LiveHandle(in.ConsumeIntegral<uint16_t>()));
                break;
            case 10:  // a double free, unless the descriptor has been handed out again since
            case 11:
                if (harness.HasFreed())
                    harness.Free(harness.FreedHandle(in.ConsumeIntegral<uint16_t>()));
                break;
            case 12:  // any handle at all, in range or not
            case 13:
                harness.Free(in.ConsumeIntegral<uint16_t>());
                break;
            case 14:
            case 15:
                harness.Free(in.ConsumeIntegralInRange<uint16_t>(0, uint16_t(entryCount)));
                break;
            default:  // the queries change nothing, so they take few of the steps
                harness.Query();
                break;
        }
        harness.StepCheck();
        if (++sinceFullCheck == fullCheckEvery) {
            harness.FullCheck();
            sinceFullCheck = 0;
        }
    }
    // Whatever the steps did not look at, and a table that no step touched, at the latest here.
    harness.FullCheck();

    RangeHeap::Destroy(heap);
    FUZZ_CHECK(wiring.runtime.Outstanding() == 0);
    return 0;
}
