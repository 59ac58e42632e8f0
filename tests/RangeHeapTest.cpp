// RangeHeap: worked scenarios, the arguments it refuses, seeded random walks against a plain
// model of live extents (ranges past the end of the 32-bit address space among them) and four
// threads on one heap. A private system heap over a fake runtime heap shows the one block each
// heap takes. The last suite reaches the same heaps through GetIQXMemory().
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "IQXMemory.h"
#include "range/RangeHeap.h"
#include "support/FakeRuntimeHeap.h"
#include "system/OutOfMemoryHandler.h"
#include "system/SystemHeap.h"

namespace {

constexpr uint32_t Untouched = 0xA5A5A5A5;
constexpr uint16_t UntouchedHandle = 0xA5A5;

// There is nothing to flush; the count shows whether the system heap tried.
class NoCache final : public CacheFlusher {
public:
    void Flush() override { ++flushes; }
    int flushes = 0;
};

struct Piece {
    bool ok;
    uint32_t offset;
    uint16_t handle;
};

Piece Take(RangeHeap* heap, uint32_t size, uint32_t alignment, bool bottomUp) {
    Piece piece{false, Untouched, UntouchedHandle};
    piece.ok = heap->Alloc(size, alignment, &piece.offset, &piece.handle, bottomUp);
    return piece;
}

void ExpectSamePiece(const Piece& piece, const Piece& expected) {
    EXPECT_EQ(piece.ok, expected.ok);
    EXPECT_EQ(piece.offset, expected.offset);
    EXPECT_EQ(piece.handle, expected.handle);
}

struct Info {
    uint32_t total, spare, largest;
};

Info InfoOf(RangeHeap* heap) {
    Info info;
    MemStats stats;
    heap->GetInfo(&info.total, &info.spare, &stats);
    info.largest = heap->LargestFreeBlock();
    return info;
}

// A reset keeps word 3 and zeroes the rest.
void ExpectReset(const MemStats& stats, uint32_t word3) {
    for (int i = 0; i < 10; ++i) EXPECT_EQ(stats.words[i], i == 3 ? word3 : 0u) << "word " << i;
}

// Start offsets of the free blocks in free-list order, from lowEnd.
std::vector<uint32_t> FreeOrder(const RangeHeap& heap) {
    std::vector<uint32_t> starts;
    for (uint16_t d = heap.LowEnd(); d != NoEntry && starts.size() <= heap.EntryCount();
         d = heap.Entry(d).upLink)
        starts.push_back(heap.Entry(d).offset);
    return starts;
}

// Where the block that descriptor d holds ends: the next block's start, or the range's end.
uint32_t BlockEnd(const RangeHeap& heap, uint16_t d, uint32_t total) {
    const uint16_t next = heap.Entry(d).addrNext;
    return next == NoEntry ? total : heap.Entry(next).offset;
}

bool IsMark(uint16_t link) { return link == MarkBottomUp || link == MarkTopDown; }

// Two heaps hold the same blocks, free list and spare chain, descriptor for descriptor (fields
// that mean nothing in a descriptor's role aside).
::testing::AssertionResult SameTables(const RangeHeap& heap, const RangeHeap& twin) {
    if (heap.EntryCount() != twin.EntryCount() || heap.LowEnd() != twin.LowEnd() ||
        heap.HighEnd() != twin.HighEnd() || heap.SpareHead() != twin.SpareHead())
        return ::testing::AssertionFailure() << "the ends of the free list or spare chain differ";
    for (uint32_t i = 0; i < heap.EntryCount(); ++i) {
        const RangeEntry& a = heap.Entry(uint16_t(i));
        const RangeEntry& b = twin.Entry(uint16_t(i));
        const bool spare = a.addrPrev == SpareMark;
        if (a.addrPrev != b.addrPrev || a.addrNext != b.addrNext ||
            (!spare && (a.upLink != b.upLink || a.offset != b.offset)) ||
            (!spare && !IsMark(a.upLink) && a.downLink != b.downLink))
            return ::testing::AssertionFailure() << "descriptor " << i << " differs";
    }
    return ::testing::AssertionSuccess();
}

void ExpectOneFreeBlock(RangeHeap* heap, uint32_t total) {
    ASSERT_TRUE(heap->Validate());
    ASSERT_EQ(heap->LowEnd(), heap->HighEnd());
    const RangeEntry& only = heap->Entry(heap->LowEnd());
    EXPECT_EQ(only.offset, 0u);
    EXPECT_EQ(only.addrPrev, NoEntry);
    EXPECT_EQ(only.addrNext, NoEntry);
    const Info info = InfoOf(heap);
    EXPECT_EQ(info.spare, heap->EntryCount() - 1);
    EXPECT_EQ(info.largest, total);
}

class RangeHeapTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (RangeHeap* heap : heaps) RangeHeap::Destroy(heap);
    }
    RangeHeap* Make(uint32_t entryCount, uint32_t total, uint32_t minFragment = 16,
                    uint32_t base = 0, uint32_t indexFrom = RangeHeap::IndexFrom) {
        RangeHeap* heap =
            RangeHeap::Create(system, entryCount, total, minFragment, base, indexFrom);
        if (heap) heaps.push_back(heap);
        return heap;
    }
    void Walk(uint32_t entryCount, uint32_t total, uint32_t minFragment, uint32_t base,
              unsigned seed, uint32_t indexFrom);

    FakeRuntimeHeap runtime;
    OutOfMemoryHandler handler;
    NoCache cache;
    SystemHeap system{runtime, handler, cache};
    std::vector<RangeHeap*> heaps;
};

}  // namespace

// --- Creation and destruction ----------------------------------------------------------------

TEST_F(RangeHeapTest, EntryCountsOutsideTwoTo65532NeverReachTheRuntimeHeap) {
    // 0x10002 and 0xFFFFFFFF would pass a test made on 16 bits or after adding the header.
    for (uint32_t count : {0u, 1u, 65533u, 65535u, 65536u, 0x10002u, 0xFFFFFFFFu})
        EXPECT_EQ(RangeHeap::Create(system, count, 1000, 16, 0), nullptr) << count;
    EXPECT_EQ(runtime.Calls(), 0u);
    runtime.FailAll(true);
    EXPECT_EQ(Make(8, 1000), nullptr);
    EXPECT_GT(runtime.Failures(), 0u);
}

TEST_F(RangeHeapTest, OneBlockHoldsTheHeaderAndEveryDescriptorUntilDestroy) {
    // Twelve bytes a descriptor; on 32-bit targets the header takes the room of four.
    EXPECT_EQ(RangeHeap::BlockBytes(8) - RangeHeap::BlockBytes(2), 6 * 12u);
#if UINTPTR_MAX == 0xFFFFFFFFu
    EXPECT_EQ(RangeHeap::BlockBytes(2), 72u);
    EXPECT_EQ(RangeHeap::BlockBytes(65532), 786432u);
#endif
    for (uint32_t count : {2u, 65532u}) {
        SCOPED_TRACE(count);
        RangeHeap* heap = RangeHeap::Create(system, count, 5000, 16, 7);
        ASSERT_NE(heap, nullptr);
        ASSERT_EQ(runtime.Live().size(), 1u);
        EXPECT_EQ(runtime.Live()[0].address, static_cast<void*>(heap));
        EXPECT_EQ(runtime.Live()[0].size, RangeHeap::BlockBytes(count));
        ExpectOneFreeBlock(heap, 5000);
        RangeHeap::Destroy(heap);
        ASSERT_EQ(runtime.Outstanding(), 0u);
        EXPECT_EQ(runtime.Released().back(), static_cast<void*>(heap));
    }
    const size_t released = runtime.Released().size();
    RangeHeap::Destroy(nullptr);
    EXPECT_EQ(runtime.Released().size(), released);
}

// The index's memory is taken when the free list first grows long, from the runtime heap alone.
// When it cannot be had, nothing is flushed or reported, the heap answers as one with the index
// does, and it asks again once the list is twice as long.
TEST_F(RangeHeapTest, TheIndexTakesMemoryOfItsOwnOnlyWhenTheListGrowsLong) {
    constexpr uint32_t Pieces = 1400, Total = 100000;
    int reports = 0;
    handler.SetHandler([](uint32_t, uintptr_t count) { ++*reinterpret_cast<int*>(count); },
                       reinterpret_cast<uintptr_t>(&reports));
    RangeHeap* heap = Make(Pieces + 10, Total, 1);
    RangeHeap* refused = Make(Pieces + 10, Total, 1);
    for (RangeHeap* h : {heap, refused})
        for (uint32_t i = 0; i < Pieces; ++i) ASSERT_TRUE(Take(h, 10, 1, true).ok);
    ASSERT_EQ(runtime.Outstanding(), 2u);

    // Lone frees of every other piece lengthen the free list by one each.
    auto freeEveryOther = [](RangeHeap* h, uint32_t from, uint32_t to) {
        for (uint32_t handle = from; handle < to; handle += 2) h->Free(uint16_t(handle));
    };
    const uint32_t shortOfIndex = 2 * (RangeHeap::IndexFrom - 2);
    freeEveryOther(heap, 0, shortOfIndex);
    freeEveryOther(refused, 0, shortOfIndex);
    EXPECT_FALSE(heap->Indexed());
    EXPECT_EQ(runtime.Outstanding(), 2u);
    freeEveryOther(heap, shortOfIndex, 1000);
    EXPECT_TRUE(heap->Indexed());
    ASSERT_EQ(runtime.Outstanding(), 3u);
    EXPECT_EQ(runtime.Live()[2].size, RangeHeap::IndexBytes(Pieces + 10));

    runtime.FailAll(true);
    freeEveryOther(refused, shortOfIndex, 1000);
    EXPECT_FALSE(refused->Indexed());
    EXPECT_EQ(runtime.Failures(), 1u);
    EXPECT_EQ(cache.flushes, 0);
    EXPECT_EQ(reports, 0);
    for (uint32_t size : {5u, 10u, 10u, 20u, 1u})
        ExpectSamePiece(Take(refused, size, 2, size % 2 == 0), Take(heap, size, 2, size % 2 == 0));
    runtime.FailAll(false);
    freeEveryOther(refused, 1000, Pieces);
    freeEveryOther(heap, 1000, Pieces);
    EXPECT_TRUE(refused->Indexed()) << "asked again at twice the length";
    EXPECT_TRUE(refused->Validate());
    EXPECT_TRUE(SameTables(*heap, *refused));

    RangeHeap::Destroy(refused);
    RangeHeap::Destroy(heap);
    heaps.clear();
    EXPECT_EQ(runtime.Outstanding(), 0u);
}

TEST_F(RangeHeapTest, MinFragmentZeroBehavesLikeOne) {
    for (uint32_t minFragment : {0u, 1u}) {
        SCOPED_TRACE(minFragment);
        RangeHeap* heap = Make(3, 100, minFragment);
        const Piece whole = Take(heap, 100, 1, true);  // an exact fit leaves nothing to split
        EXPECT_EQ(InfoOf(heap).spare, 2u);
        heap->Free(whole.handle);
        EXPECT_EQ(Take(heap, 99, 1, false).offset, 1u);  // a 1-byte leftover is split off
        EXPECT_EQ(InfoOf(heap).spare, 1u);
        EXPECT_EQ(Take(heap, 1, 1, true).offset, 0u);
        EXPECT_TRUE(heap->Validate());
    }
}

// --- Worked scenarios ------------------------------------------------------------------------

TEST_F(RangeHeapTest, FragmentsTakeSparesAndAFreeMergesIntoTheBlockAbove) {
    RangeHeap* heap = Make(8, 1000);
    const Piece low = Take(heap, 100, 64, true);
    EXPECT_EQ(low.offset, 0u);
    EXPECT_EQ(low.handle, 0);
    EXPECT_EQ(heap->LowEnd(), 1);
    EXPECT_EQ(FreeOrder(*heap), (std::vector<uint32_t>{100}));
    const Piece high = Take(heap, 200, 32, false);
    EXPECT_EQ(high.offset, 800u);
    EXPECT_EQ(high.handle, 1);
    EXPECT_EQ(heap->LowEnd(), 2);
    EXPECT_EQ(BlockEnd(*heap, 2, 1000), 800u);

    heap->Free(low.handle);
    ASSERT_TRUE(heap->Validate());
    EXPECT_EQ(heap->LowEnd(), 2);
    EXPECT_EQ(heap->Entry(2).offset, 0u);
    EXPECT_EQ(heap->SpareHead(), 0);
    const Info info = InfoOf(heap);
    EXPECT_EQ(info.total, 1000u);
    EXPECT_EQ(info.spare, 6u);
    EXPECT_EQ(info.largest, 800u);
}

TEST_F(RangeHeapTest, LoneFreesGoToTheEndTheirDirectionSearchesFirst) {
    RangeHeap* heap = Make(8, 1000);
    std::vector<uint16_t> handles;
    for (uint32_t expected : {0u, 100u, 200u, 300u}) {
        const Piece piece = Take(heap, 100, 1, true);
        EXPECT_EQ(piece.offset, expected);
        handles.push_back(piece.handle);
    }
    heap->Free(handles[0]);
    heap->Free(handles[2]);
    ASSERT_TRUE(heap->Validate());
    EXPECT_EQ(FreeOrder(*heap), (std::vector<uint32_t>{200, 0, 400}));
    const Piece next = Take(heap, 100, 1, true);
    EXPECT_EQ(next.offset, 200u);
    EXPECT_EQ(next.handle, handles[2]);

    // A top-down allocation freed alone goes to highEnd instead.
    const Piece top = Take(heap, 50, 1, false);
    ASSERT_EQ(top.offset, 950u);
    ASSERT_TRUE(Take(heap, 50, 1, false).ok);  // an allocated neighbour keeps it from merging
    heap->Free(top.handle);
    EXPECT_EQ(FreeOrder(*heap).back(), 950u);
    EXPECT_TRUE(heap->Validate());
}

TEST_F(RangeHeapTest, SpareShortageStopsTheSearchAtTheFirstFit) {
    RangeHeap* heap = Make(4, 1000);
    const uint16_t first = Take(heap, 100, 1, true).handle;
    ASSERT_TRUE(Take(heap, 100, 1, true).ok && Take(heap, 100, 1, true).ok);
    EXPECT_EQ(InfoOf(heap).spare, 0u);
    heap->Free(first);
    ASSERT_EQ(FreeOrder(*heap), (std::vector<uint32_t>{0, 300}));

    const Piece refused = Take(heap, 100, 1, false);
    EXPECT_FALSE(refused.ok) << "[300, 1000) needs a spare for its front fragment";
    EXPECT_EQ(refused.offset, Untouched);
    EXPECT_EQ(refused.handle, UntouchedHandle);
    EXPECT_EQ(FreeOrder(*heap), (std::vector<uint32_t>{0, 300}));
    EXPECT_TRUE(heap->Validate());
    const Piece exact = Take(heap, 100, 1, true);
    EXPECT_EQ(exact.offset, 0u);
    EXPECT_EQ(exact.handle, first);
}

TEST_F(RangeHeapTest, ABlockTheAlignmentGapLeavesShortIsPassedOver) {
    RangeHeap* heap = Make(8, 1000, 1);
    std::vector<uint16_t> handles;
    for (uint32_t size : {10u, 100u, 18u, 100u, 10u})
        handles.push_back(Take(heap, size, 1, true).handle);
    heap->Free(handles[3]);  // [128, 228)
    heap->Free(handles[1]);  // [10, 110), now at lowEnd
    ASSERT_EQ(FreeOrder(*heap), (std::vector<uint32_t>{10, 128, 238}));

    // [10, 110) is large enough, but 100 bytes at a multiple of 64 would start at 64.
    const Piece aligned = Take(heap, 100, 64, true);
    EXPECT_EQ(aligned.offset, 128u);
    EXPECT_EQ(aligned.handle, handles[3]);
    EXPECT_TRUE(heap->Validate());
    const Piece unaligned = Take(heap, 100, 1, true);
    EXPECT_EQ(unaligned.offset, 10u);
    EXPECT_EQ(unaligned.handle, handles[1]);
    EXPECT_EQ(InfoOf(heap).largest, 762u);
}

TEST_F(RangeHeapTest, TwoDescriptorsSplitOnceThenOnlyExactFitsSucceed) {
    RangeHeap* heap = Make(2, 1000);
    ASSERT_TRUE(Take(heap, 100, 1, true).ok);
    EXPECT_EQ(InfoOf(heap).spare, 0u);
    EXPECT_FALSE(Take(heap, 100, 1, true).ok);
    EXPECT_EQ(Take(heap, 900, 1, true).offset, 100u);
    EXPECT_EQ(InfoOf(heap).largest, 0u);
    EXPECT_FALSE(Take(heap, 0, 1, false).ok);
    EXPECT_TRUE(heap->Validate());
}

TEST_F(RangeHeapTest, AlignmentAppliesToTheAbsoluteAddress) {
    // A gap below minFragment stays inside the allocated block.
    RangeHeap* kept = Make(8, 1000, 16, 120);
    const Piece inside = Take(kept, 100, 64, true);
    EXPECT_EQ(inside.offset, 8u);
    EXPECT_EQ(kept->Entry(inside.handle).offset, 0u);
    EXPECT_EQ(BlockEnd(*kept, inside.handle, 1000), 108u);
    kept->Free(inside.handle);
    ExpectOneFreeBlock(kept, 1000);

    // A gap of minFragment or more becomes a free block of its own.
    RangeHeap* split = Make(8, 1000, 16, 100);
    const Piece after = Take(split, 100, 64, true);
    EXPECT_EQ(after.offset, 28u);
    EXPECT_EQ(split->Entry(after.handle).offset, 28u);
    EXPECT_EQ(FreeOrder(*split), (std::vector<uint32_t>{0, 128}));

    // Any nonzero alignment, rounded up bottom-up and down top-down.
    RangeHeap* odd = Make(8, 1000, 16, 100);
    EXPECT_EQ(Take(odd, 10, 48, true).offset, 44u);    // absolute 144
    EXPECT_EQ(Take(odd, 10, 48, false).offset, 956u);  // absolute 1056, ends 34 short of 1100
    EXPECT_TRUE(odd->Validate());
}

TEST_F(RangeHeapTest, SizeZeroHoldsADescriptorUntilFreed) {
    RangeHeap* heap = Make(8, 1000);
    const Piece empty = Take(heap, 0, 1, true);
    EXPECT_EQ(empty.offset, 0u);
    EXPECT_EQ(BlockEnd(*heap, empty.handle, 1000), 0u);
    EXPECT_EQ(InfoOf(heap).spare, 6u);
    EXPECT_TRUE(heap->Validate());
    heap->Free(empty.handle);
    ExpectOneFreeBlock(heap, 1000);
}

TEST_F(RangeHeapTest, FreeingTheOnlyAllocationLeavesOneBlockCoveringTheRange) {
    RangeHeap* heap = Make(8, 1000);
    const Piece middle = Take(heap, 50, 256, false);
    EXPECT_EQ(middle.offset, 768u);
    EXPECT_EQ(heap->Entry(1).offset, 0u);  // the front fragment takes the head of the chain
    EXPECT_EQ(heap->Entry(2).offset, 818u);
    heap->Free(middle.handle);
    ExpectOneFreeBlock(heap, 1000);
    EXPECT_EQ(heap->SpareHead(), middle.handle);
    EXPECT_EQ(heap->Entry(middle.handle).addrNext, 2);
}

// --- Arguments the heap refuses --------------------------------------------------------------

TEST_F(RangeHeapTest, AlignmentZeroIsRefusedWithNothingWritten) {
    RangeHeap* heap = Make(8, 1000);
    ASSERT_TRUE(Take(heap, 100, 8, true).ok);
    for (bool bottomUp : {true, false}) {
        for (uint32_t size : {0u, 1u, 100u}) {
            const Piece piece = Take(heap, size, 0, bottomUp);
            EXPECT_FALSE(piece.ok);
            EXPECT_EQ(piece.offset, Untouched);
            EXPECT_EQ(piece.handle, UntouchedHandle);
        }
    }
    EXPECT_EQ(FreeOrder(*heap), (std::vector<uint32_t>{100}));
    EXPECT_EQ(InfoOf(heap).spare, 6u);
    EXPECT_TRUE(heap->Validate());
}

TEST_F(RangeHeapTest, FreeIgnoresHandlesThatAreNotAllocations) {
    RangeHeap* heap = Make(8, 1000);
    heap->Free(0);  // free, never allocated
    const Piece a = Take(heap, 100, 1, true);
    const Piece b = Take(heap, 100, 1, true);
    const Piece c = Take(heap, 100, 1, false);
    heap->Free(a.handle);  // alone: stays free under its own descriptor
    heap->Free(c.handle);  // merges: its descriptor goes to the spare chain
    const std::vector<uint32_t> order = FreeOrder(*heap);
    const Info before = InfoOf(heap);
    for (uint16_t bad : {a.handle, c.handle, uint16_t(4), uint16_t(7), uint16_t(8),
                         uint16_t(0xFFFC), MarkTopDown, MarkBottomUp, NoEntry}) {
        SCOPED_TRACE(bad);
        heap->Free(bad);
        ASSERT_TRUE(heap->Validate());
        EXPECT_EQ(FreeOrder(*heap), order);
        EXPECT_EQ(InfoOf(heap).spare, before.spare);
        EXPECT_EQ(InfoOf(heap).largest, before.largest);
    }
    // Still a working heap, with b the one allocation left.
    const Piece low = Take(heap, 100, 1, true);
    EXPECT_EQ(low.offset, 0u);
    const Piece top = Take(heap, 800, 1, false);
    EXPECT_EQ(top.offset, 200u);
    heap->Free(top.handle);
    heap->Free(b.handle);
    heap->Free(low.handle);
    ExpectOneFreeBlock(heap, 1000);
}

// --- Random walks against a model of live extents --------------------------------------------

namespace {

struct Extent {
    uint32_t offset, end;
};

// The stretches between live extents in address order. With minFragment 1 nothing is kept
// inside an allocation, so every gap of nonzero length is exactly one free block.
std::vector<Extent> Gaps(const std::map<uint16_t, Extent>& live, uint32_t total) {
    std::vector<Extent> sorted, gaps;
    for (const auto& entry : live) sorted.push_back(entry.second);
    std::sort(sorted.begin(), sorted.end(), [](const Extent& x, const Extent& y) {
        return x.offset != y.offset ? x.offset < y.offset : x.end < y.end;
    });
    uint32_t at = 0;
    for (const Extent& extent : sorted) {
        EXPECT_GE(extent.offset, at) << "live extents overlap";
        gaps.push_back({at, std::max(at, extent.offset)});
        at = std::max(at, extent.end);
    }
    gaps.push_back({at, total});
    return gaps;
}

bool AnyGapHolds(const std::vector<Extent>& gaps, uint32_t size, uint32_t alignment,
                 uint32_t base) {
    for (const Extent& gap : gaps) {
        const uint64_t start = uint64_t(base) + gap.offset;
        const uint64_t aligned = (start + alignment - 1) / alignment * alignment;
        if (aligned + size <= uint64_t(base) + gap.end) return true;
    }
    return false;
}

}  // namespace

void RangeHeapTest::Walk(uint32_t entryCount, uint32_t total, uint32_t minFragment, uint32_t base,
                         unsigned seed, uint32_t indexFrom) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    RangeHeap* heap = Make(entryCount, total, minFragment, base, indexFrom);
    // Driven in lockstep, never indexed: every first fit is found by walking the free list.
    RangeHeap* twin = Make(entryCount, total, minFragment, base, entryCount + 1);
    const bool wraps = uint64_t(base) + total > 0x100000000u;
    const bool exact = minFragment <= 1 && !wraps;
    const uint32_t alignments[] = {1, 1, 2, 3, 4, 8, 12, 16, 48, 64, 100, 256, 1000, 4096};
    std::mt19937 random(seed);
    std::map<uint16_t, Extent> live;
    uint32_t liveBytes = 0;
    bool wasIndexed = false, wasWalked = false;

    for (int step = 0; step < 4000 && !HasFailure(); ++step) {
        SCOPED_TRACE(step);
        if (live.empty() || random() % 100 < 55) {
            const unsigned kind = random() % 20;
            const uint32_t size = kind == 0  ? 0
                                  : kind < 3 ? random() % (total / 2)
                                             : 1 + random() % (total / 40);
            const uint32_t alignment = alignments[random() % 14];
            const bool bottomUp = random() % 2 == 0;
            const std::vector<Extent> gaps = Gaps(live, total);
            const uint32_t spare = InfoOf(heap).spare;
            const Piece piece = Take(heap, size, alignment, bottomUp);
            ExpectSamePiece(piece, Take(twin, size, alignment, bottomUp));
            if (!piece.ok) {
                EXPECT_EQ(piece.offset, Untouched);
                EXPECT_EQ(piece.handle, UntouchedHandle);
                // With two spares the first fit always splits, so only a real misfit refuses.
                if (exact && size > 0 && spare >= 2) {
                    EXPECT_FALSE(AnyGapHolds(gaps, size, alignment, base))
                        << "refused " << size << " aligned " << alignment;
                }
                continue;
            }
            ASSERT_LT(piece.handle, entryCount);
            ASSERT_EQ(live.count(piece.handle), 0u) << "handle given out twice";
            ASSERT_LE(uint64_t(piece.offset) + size, total);
            // Starts past the last 32-bit address are never handed out, so every start is an
            // aligned 32-bit address even in a range that passes 2^32.
            ASSERT_LE(uint64_t(base) + piece.offset, 0xFFFFFFFFu);
            EXPECT_EQ((base + piece.offset) % alignment, 0u);
            if (exact && size > 0) {
                // First fit lands at the lowest (highest) aligned place of the block it chose.
                auto gap = std::find_if(gaps.begin(), gaps.end(), [&](const Extent& g) {
                    return g.offset <= piece.offset && piece.offset + size <= g.end;
                });
                ASSERT_NE(gap, gaps.end()) << "granted bytes that were not free";
                EXPECT_LT(bottomUp ? piece.offset - gap->offset : gap->end - piece.offset - size,
                          alignment);
            }
            live[piece.handle] = {piece.offset, piece.offset + size};
            liveBytes += size;
        } else {
            auto victim = std::next(live.begin(), random() % live.size());
            heap->Free(victim->first);
            twin->Free(victim->first);
            liveBytes -= victim->second.end - victim->second.offset;
            live.erase(victim);
        }

        ASSERT_TRUE(heap->Validate());
        ASSERT_TRUE(SameTables(*heap, *twin));
        (heap->Indexed() ? wasIndexed : wasWalked) = true;
        const std::vector<Extent> gaps = Gaps(live, total);
        // Along the address chain, every allocated block is a live handle holding its extent.
        uint16_t d = NoEntry;
        for (uint32_t i = 0; i < entryCount; ++i)
            if (heap->Entry(uint16_t(i)).addrPrev == NoEntry) d = uint16_t(i);
        uint32_t blocks = 0, allocated = 0;
        for (; d != NoEntry && blocks <= entryCount; d = heap->Entry(d).addrNext, ++blocks) {
            const uint16_t mark = heap->Entry(d).upLink;
            if (mark != MarkBottomUp && mark != MarkTopDown) continue;
            ++allocated;
            const auto it = live.find(d);
            ASSERT_NE(it, live.end()) << "descriptor " << d << " allocated but not handed out";
            EXPECT_LE(heap->Entry(d).offset, it->second.offset);
            EXPECT_GE(BlockEnd(*heap, d, total), it->second.end);
        }
        EXPECT_EQ(allocated, live.size());
        const Info info = InfoOf(heap);
        EXPECT_EQ(info.total, total);
        EXPECT_EQ(info.spare + blocks, entryCount);
        EXPECT_LE(info.largest, total - liveBytes);
        if (exact) {
            uint32_t widest = 0;
            for (const Extent& gap : gaps) widest = std::max(widest, gap.end - gap.offset);
            EXPECT_EQ(info.largest, widest);
        }
    }
    EXPECT_TRUE(wasIndexed);
    EXPECT_EQ(wasWalked, indexFrom > 0) << "the index is built and dropped as the list changes";
    for (const auto& entry : live) heap->Free(entry.first);
    ExpectOneFreeBlock(heap, total);
}

// The first heap of each walk keeps its index throughout; the others build and drop it as their
// free lists grow past 8 blocks and shrink under 4.
TEST_F(RangeHeapTest, RandomWalkWithoutKeptLeftoversMatchesTheModelExactly) {
    Walk(64, 1u << 16, 1, 0x10000003u, 1, 0);
    Walk(64, 1u << 16, 0, 0, 2, 8);
    Walk(12, 10000, 1, 5, 3, 0);  // spares run short often
}

TEST_F(RangeHeapTest, RandomWalkKeepingSmallLeftoversInsideAllocations) {
    Walk(48, 1u << 16, 32, 100, 4, 0);
    Walk(48, 1u << 16, 300, 0x7FFF, 5, 8);
}

// Whatever is granted in a range that passes 2^32 still lies inside the range, apart.
TEST_F(RangeHeapTest, RandomWalkOverARangePastTheAddressSpaceEnd) {
    Walk(48, 1u << 16, 8, 0xFFFFF000u, 6, 0);
    Walk(48, 1u << 16, 1, 0xFFFFFFFFu, 7, 0);
    EXPECT_EQ(Take(Make(8, 0x10000, 1, 0xFFFFF000u), 0x100, 0x100, true).offset, 0u);
}

// --- The index against a walk of the free list -----------------------------------------------

namespace {

// The first fit a plain walk of the free list finds, and how many blocks that were large enough
// it passed over because the alignment gap left them short.
struct ListFit {
    uint16_t block = NoEntry;
    uint32_t offset = 0;
    uint32_t front = 0, back = 0;  // the leftovers either side of the allocation
    int passedOver = 0;
};

ListFit WalkForFirstFit(const RangeHeap& heap, uint32_t total, uint32_t base, uint32_t size,
                        uint32_t alignment, bool bottomUp) {
    ListFit fit;
    for (uint16_t d = bottomUp ? heap.LowEnd() : heap.HighEnd(); d != NoEntry;
         d = bottomUp ? heap.Entry(d).upLink : heap.Entry(d).downLink) {
        const uint64_t start = uint64_t(base) + heap.Entry(d).offset;
        const uint64_t end = uint64_t(base) + BlockEnd(heap, d, total);
        if (end - start < size) continue;
        const uint64_t s =
            bottomUp ? (start + alignment - 1) / alignment * alignment
                     : std::min<uint64_t>(end - size, 0xFFFFFFFFu) / alignment * alignment;
        if (s < start || s > 0xFFFFFFFFu || s + size > end) {
            ++fit.passedOver;
            continue;
        }
        fit.block = d;
        fit.offset = uint32_t(s - base);
        fit.front = uint32_t(s - start);
        fit.back = uint32_t(end - s - size);
        break;
    }
    return fit;
}

}  // namespace

// Up to some 450 free blocks, so that the index is built and dropped on the way, alignments up
// to 64 KiB, and requests cut to just fit a free block so that the alignment gap often leaves
// the first large enough block short. Every answer is the one a plain walk of the free list
// gives, and a second heap that never builds the index keeps the same tables.
TEST_F(RangeHeapTest, LongWalkWithLargeAlignmentsFindsWhatTheListWalkFinds) {
    const uint32_t entryCount = 3072, total = 1u << 26, minFragment = 64, base = 0x12345;
    RangeHeap* heap = Make(entryCount, total, minFragment, base);
    RangeHeap* twin = Make(entryCount, total, minFragment, base, entryCount + 1);
    const uint32_t alignments[] = {1,    3,     8,     64,    100,   1000,  4096,
                                   8192, 32768, 65535, 65536, 65536, 65536, 65536};
    std::mt19937 random(16);
    std::vector<uint16_t> live;
    int served[2] = {0, 0}, servedPastAShortBlock[2] = {0, 0}, refused = 0;
    size_t mostFree = 0;
    int indexedSteps = 0;

    for (int step = 0; step < 10000 && !HasFailure(); ++step) {
        SCOPED_TRACE(step);
        if (live.empty() || (live.size() < 1400 && random() % 100 < 55)) {
            const bool bottomUp = random() % 2 == 0;
            const uint32_t alignment = alignments[random() % 14];
            uint32_t size = 1 + uint32_t(std::exp2(double(random() % 1700) / 100.0));
            const std::vector<uint32_t> starts = FreeOrder(*heap);
            mostFree = std::max(mostFree, starts.size());
            if (!starts.empty() && random() % 3 == 0) {
                // Just fits some free block unaligned: aligned, it may or may not.
                uint16_t d = heap->LowEnd();
                for (uint32_t skip = random() % starts.size(); skip > 0; --skip)
                    d = heap->Entry(d).upLink;
                const uint32_t bs = BlockEnd(*heap, d, total) - heap->Entry(d).offset;
                size = bs - std::min<uint32_t>(bs, random() % (alignment + 1));
            }
            const ListFit expected = WalkForFirstFit(*heap, total, base, size, alignment, bottomUp);
            const uint32_t spare = InfoOf(heap).spare;
            const Piece piece = Take(heap, size, alignment, bottomUp);
            ExpectSamePiece(piece, Take(twin, size, alignment, bottomUp));
            const bool spares = spare >= unsigned(expected.front >= minFragment) +
                                             unsigned(expected.back >= minFragment);
            ASSERT_EQ(piece.ok, expected.block != NoEntry && spares)
                << size << " aligned " << alignment << (bottomUp ? " bottom-up" : " top-down");
            if (!piece.ok) {
                ++refused;
            } else {
                EXPECT_EQ(piece.handle, expected.block);
                EXPECT_EQ(piece.offset, expected.offset);
                live.push_back(piece.handle);
                ++served[bottomUp];
                if (expected.passedOver > 0) ++servedPastAShortBlock[bottomUp];
            }
        } else {
            const size_t victim = random() % live.size();
            heap->Free(live[victim]);
            twin->Free(live[victim]);
            live[victim] = live.back();
            live.pop_back();
        }
        ASSERT_TRUE(heap->Validate());
        ASSERT_TRUE(SameTables(*heap, *twin));
        indexedSteps += heap->Indexed();
    }
    // The walk reached the cases it is here for, with and without the index.
    EXPECT_GT(mostFree, 400u);
    EXPECT_GT(indexedSteps, 2000);
    EXPECT_LT(indexedSteps, 9000);
    EXPECT_GT(refused, 100);
    for (int bottomUp : {0, 1}) {
        EXPECT_GT(served[bottomUp], 2000) << bottomUp;
        EXPECT_GT(servedPastAShortBlock[bottomUp], 1000) << bottomUp;
    }
    for (uint16_t handle : live) heap->Free(handle);
    ExpectOneFreeBlock(heap, total);
}

// --- Threads ---------------------------------------------------------------------------------

TEST_F(RangeHeapTest, FourThreadsNeverHoldOverlappingPieces) {
    const uint32_t total = 1u << 20, base = 0x10000;
    RangeHeap* heap = Make(512, total, 8, base);
    std::mutex mutex;
    std::map<uint32_t, uint32_t> taken;  // offset -> end, over every thread's live pieces
    std::atomic<int> faults{0};

    auto work = [&](unsigned seed) {
        std::mt19937 random(seed);
        std::vector<Piece> mine;
        auto release = [&](size_t index) {
            {
                std::lock_guard<std::mutex> hold(mutex);
                taken.erase(mine[index].offset);  // before Free, or another thread may reuse it
            }
            heap->Free(mine[index].handle);
            mine[index] = mine.back();
            mine.pop_back();
        };
        for (int i = 0; i < 3000; ++i) {
            if (mine.size() < 40 && random() % 3 != 0) {
                const uint32_t size = 1 + random() % 3000, alignment = 1 + random() % 64;
                const Piece piece = Take(heap, size, alignment, random() % 2 == 0);
                if (!piece.ok) continue;
                std::lock_guard<std::mutex> hold(mutex);
                const auto next = taken.lower_bound(piece.offset);
                if ((next != taken.end() && next->first < piece.offset + size) ||
                    (next != taken.begin() && std::prev(next)->second > piece.offset) ||
                    piece.offset + uint64_t(size) > total || (base + piece.offset) % alignment)
                    ++faults;
                taken[piece.offset] = piece.offset + size;
                mine.push_back(piece);
            } else if (!mine.empty()) {
                release(random() % mine.size());
            }
        }
        while (!mine.empty()) release(mine.size() - 1);
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) threads.emplace_back(work, 100 + t);
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(faults.load(), 0);
    ExpectOneFreeBlock(heap, total);
}

// --- Through the interface -------------------------------------------------------------------

TEST(RangeHeapInterfaceTest, SlotsReachOneHeapWithTheTotalSizeFirst) {
    IQXMemory* memory = GetIQXMemory();
    FakeRuntimeHeap runtime;
    ScopedRuntimeHeap seam(runtime);
    RangeHeap* heap = memory->CreateRangeHeap(1000, 8, 16, 0);
    ASSERT_NE(heap, nullptr);
    ASSERT_EQ(runtime.Live().size(), 1u);
    EXPECT_EQ(runtime.Live()[0].size, RangeHeap::BlockBytes(8));

    uint32_t offset = Untouched;
    uint16_t handle = UntouchedHandle;
    EXPECT_TRUE(memory->RangeAlloc(heap, 100, 64, &offset, &handle, true));
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(handle, 0);
    EXPECT_TRUE(memory->RangeAlloc(heap, 200, 32, &offset, &handle, false));
    EXPECT_EQ(offset, 800u);
    EXPECT_EQ(handle, 1);
    memory->RangeFree(heap, 0);

    uint32_t total = Untouched, spare = Untouched, largest = Untouched;
    MemStats stats;
    std::memset(&stats, 0x77, sizeof stats);
    memory->GetRangeHeapInfo(heap, &total, &spare, &stats, &largest);
    EXPECT_EQ(total, 1000u);
    EXPECT_EQ(spare, 6u);
    EXPECT_EQ(largest, 800u);
    ExpectReset(stats, 0x77777777);  // the heap keeps no counters
    total = spare = Untouched;
    memory->GetRangeHeapInfo(heap, &total, &spare, &stats, nullptr);
    EXPECT_EQ(total, 1000u);
    EXPECT_EQ(spare, 6u);

    memory->DestroyRangeHeap(heap);
    EXPECT_EQ(runtime.Outstanding(), 0u);
    EXPECT_EQ(runtime.Released(), std::vector<void*>{heap});
}

TEST(RangeHeapInterfaceTest, EverySlotTreatsANullHeapAsNothing) {
    IQXMemory* memory = GetIQXMemory();
    FakeRuntimeHeap runtime;
    ScopedRuntimeHeap seam(runtime);
    uint32_t offset = Untouched, total = Untouched, spare = Untouched, largest = Untouched;
    uint16_t handle = UntouchedHandle;
    EXPECT_FALSE(memory->RangeAlloc(nullptr, 16, 1, &offset, &handle, true));
    EXPECT_FALSE(memory->RangeAlloc(nullptr, 16, 1, &offset, &handle, false));
    EXPECT_EQ(offset, Untouched);
    EXPECT_EQ(handle, UntouchedHandle);
    MemStats stats;
    std::memset(&stats, 0xA5, sizeof stats);
    memory->GetRangeHeapInfo(nullptr, &total, &spare, &stats, &largest);
    EXPECT_EQ(total, Untouched);
    EXPECT_EQ(spare, Untouched);
    EXPECT_EQ(largest, Untouched);
    for (uint32_t word : stats.words) EXPECT_EQ(word, Untouched);
    memory->RangeFree(nullptr, 0);
    memory->DestroyRangeHeap(nullptr);
    EXPECT_EQ(runtime.Calls(), 0u);
    EXPECT_TRUE(runtime.Released().empty());
}
