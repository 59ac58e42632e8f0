// qxlines - the cache lines two threads pass between them on small Alloc and Free. Two threads
// churn live sets of their own, sizes 0-511, through the interface, as qxbench's "2t" does; run
// under valgrind --tool=lackey --trace-mem=yes, the trace shows every load and store, and
// bench/lines.py finds the lines both threads touch with one of them writing. Valgrind runs one
// thread at a time, so each thread first stores to a marker of its own, which tells the script
// whose the accesses that follow are. This program prints where the library's objects, pages and
// markers lie.
//
//   valgrind --tool=lackey --trace-mem=yes --log-file=TRACE qxlines [LIVE [STEPS]] >MAP
//   bench/lines.py MAP TRACE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <set>
#include <thread>
#include <vector>

#include "BenchHarness.h"
#include "IQXMemory.h"
#include "common/HeaderWord.h"
#include "interface/Singletons.h"
#include "pool/BlockCache.h"
#include "pool/SmallMemAllocator.h"

namespace {

struct alignas(64) Marker {
    volatile uint64_t value;
};
Marker markers[2];
Marker phase;  // stored to when the measured steps start and end

// The page an element of the small bins lies in.
uintptr_t PageOf(void* element) {
    const uint32_t word = HeaderWord::Read(element);
    const uint32_t bin = HeaderWord::SmallBin(word);
    return reinterpret_cast<uintptr_t>(
        BankPage::FromElement(element, HeaderWord::SmallSlot(word),
                              uint32_t(Bank::StrideFor(SmallMemAllocator::BinElementSize[bin]))));
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t live = argc > 1 ? uint32_t(atoi(argv[1])) : 1000;
    const uint32_t steps = argc > 2 ? uint32_t(atoi(argv[2])) : 3000;
    IQXMemory* memory = GetIQXMemory();
    SmallMemAllocator& small = GetSmallMemAllocator();
    BlockCache& cache = GetBlockCache();
    std::set<uintptr_t> pages[2];
    // Blocking, not spinning: under valgrind a spinning thread would fill the trace.
    bench::Barrier barrier(2);

    auto work = [&](int t) {
        bench::Rng rng(0x5EED0000u + uint64_t(t));
        std::vector<void*> set(live);
        for (void*& block : set) block = memory->Alloc(rng.Between(0, 511));
        barrier.Wait();
        if (t == 0) phase.value = 1;
        barrier.Wait();
        for (uint32_t i = 0; i < steps; ++i) {
            const uint32_t slot = rng.Below(live);
            const uint32_t size = rng.Between(0, 511);
            markers[t].value = i;
            memory->Free(set[slot]);
            markers[t].value = i;
            void* block = memory->Alloc(size);
            bench::Touch(block, i);
            set[slot] = block;
            pages[t].insert(PageOf(block));
        }
        barrier.Wait();
        if (t == 0) phase.value = 2;
        for (void* block : set) memory->Free(block);
    };
    std::thread other(work, 1);
    work(0);
    other.join();

    printf("marker 0 %p\nmarker 1 %p\nphase %p\n", (void*)&markers[0], (void*)&markers[1],
           (void*)&phase);
    for (uint32_t bin = 0; bin < SmallMemAllocator::BinCount; ++bin)
        printf("bin %u %p %zu\n", bin, (void*)&small.Bin(bin), sizeof(Bank));
    printf("cache %p %zu\n", (void*)&cache, sizeof(BlockCache));
    std::set<uintptr_t> all(pages[0]);
    all.insert(pages[1].begin(), pages[1].end());
    for (uintptr_t page : all) printf("page %p %u\n", (void*)page, LargestBlockSize);
    printf("calls %u\n", 2 * steps);  // by each thread: a Free and an Alloc a step
    return 0;
}
