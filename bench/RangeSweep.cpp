// qxrangesweep - time per free+allocate pair of a range heap against the number of its free
// blocks, for RangeHeap::Alloc (which walks the free list while it is short and searches the
// index once it is long) and for the walk along the whole list that the index replaced. Both
// choose the same blocks, so for one live-set size the two runs go through the same heap states;
// only the time differs.
//
//   qxrangesweep [--seconds S]   length of one timed run (default 0.3)
//
// The workload is qxbench's range churn (RangeChurn.h) with sizes up to 16 KiB and live sets
// from 100 to 37,000, each settled by two churn steps per live allocation before timing. The
// heap is called directly rather than through the interface, since the walk is not reachable
// from there. Each measurement prints one line, as qxbench does: "rangesweep", the live-set
// size, the search and the free blocks left at the end, "qx", ns per pair and the peak resident
// set in KiB.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "BenchHarness.h"
#include "RangeChurn.h"
#include "interface/Singletons.h"
#include "range/RangeHeap.h"

using namespace bench;

namespace {

struct DirectRange {
    bool walk;
    RangeHeap* heap = nullptr;
    bool Create(uint32_t total, uint32_t count, uint32_t minFragment, uint32_t base) {
        // The walk's heap never builds the index, so it also never keeps one up to date.
        heap = RangeHeap::Create(GetSystemHeap(), count, total, minFragment, base,
                                 walk ? count + 1 : RangeHeap::IndexFrom);
        return heap != nullptr;
    }
    void Destroy() { RangeHeap::Destroy(heap); }
    bool Alloc(uint32_t size, uint32_t alignment, uint32_t* offset, uint16_t* handle,
               bool bottomUp) {
        return heap->Alloc(size, alignment, offset, handle, bottomUp);
    }
    void Free(uint16_t handle) { heap->Free(handle); }
    uint32_t SpareCount() {
        uint32_t total = 0, spare = 0;
        MemStats stats;
        heap->GetInfo(&total, &spare, &stats);
        return spare;
    }
};

// Sizes up to 16 KiB, so that the largest live set still fills under two thirds of the range
// and about 29,000 free blocks fit beside it in the descriptor table.
constexpr uint32_t Largest = 16 << 10;
constexpr uint32_t LiveCounts[] = {100, 200, 500, 1000, 2000, 5000, 10000, 20000, 30000, 37000};

}  // namespace

int main(int argc, char** argv) {
    double seconds = 0.3;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = atof(argv[++i]);
        } else {
            fprintf(stderr, "usage: qxrangesweep [--seconds S]\n");
            return 2;
        }
    }
    if (seconds <= 0) return 2;
    for (uint32_t live : LiveCounts) {
        for (bool walk : {false, true}) {
            RangeChurn<DirectRange> work(DirectRange{walk}, live, Largest, 2 * uint64_t(live));
            const double ns = MeasureNsPerStep(work, seconds);
            printf("rangesweep\tK=%u %s%s\tqx\t%.2f\t%ld\n", unsigned(live),
                   walk ? "walk" : "alloc", work.Detail().c_str(), ns, PeakRssKib());
            fflush(stdout);
        }
    }
    return 0;
}
