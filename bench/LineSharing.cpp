// qxlines - the cache lines two threads pass between them on small Alloc and Free. Two threads
// churn live sets of their own, sizes 0-511, through the interface, as qxbench's "2t" does; run
// under valgrind --tool=lackey --trace-mem=yes, the trace shows every load and store, and
// bench/lines.py finds the lines both threads touch with one of them writing. Valgrind runs one
// thread at a time; with --trace-sched=yes it logs each switch among the accesses, which tells the
// script whose they are (valgrind's thread 1 is the main thread, which is thread 0 here), and
// each thread stores to a marker of its own before each call, which bounds the calls. This
// program prints where the library's objects, pages and markers lie.
//
//   valgrind --tool=lackey --trace-mem=yes --trace-sched=yes --log-file=TRACE qxlines [LIVE
//       [STEPS]] >MAP
//   bench/lines.py MAP TRACE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <set>
#include <thread>

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
Marker phase;       // stored to when the measured steps start and end
Marker markers[2];  // each thread stores to its own before each call: the calls' bounds

}  // namespace

extern "C" char __executable_start[], _end[];  // the linker's bounds of the program's image

namespace {

// The page an element of the small bins lies in, and its size.
std::pair<uintptr_t, uint32_t> PageOf(SmallMemAllocator& small, void* element) {
    const uint32_t word = HeaderWord::Read(element);
    Bank& bank = small.Bin(HeaderWord::SmallBin(word));
    const uint32_t stride = bank.GetUsableSize() + 4;
    const auto page = BankPage::FromElement(element, HeaderWord::SmallSlot(word), stride);
    return {reinterpret_cast<uintptr_t>(page), BlockClassSize(bank.GetBlockClass())};
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t live = argc > 1 ? uint32_t(atoi(argv[1])) : 1000;
    const uint32_t steps = argc > 2 ? uint32_t(atoi(argv[2])) : 3000;
    IQXMemory* memory = GetIQXMemory();
    SmallMemAllocator& small = GetSmallMemAllocator();
    BlockCache& cache = GetBlockCache();
    std::set<std::pair<uintptr_t, uint32_t>> pages[2];
    // Blocking, not spinning: under valgrind a spinning thread would fill the trace.
    bench::Barrier barrier(2);

    // What the steps read, by value: in main's frame it would be a line both threads load.
    auto work = [&, memory, live, steps](int t) {
        bench::Rng rng(0x5EED0000u + uint64_t(t));
        // On lines of its own: the C library may place it right after a page.
        const size_t bytes = (live * sizeof(void*) + 63) / 64 * 64;
        void** set = static_cast<void**>(aligned_alloc(64, bytes));
        std::set<std::pair<uintptr_t, uint32_t>> used;
        for (uint32_t i = 0; i < live; ++i) set[i] = memory->Alloc(rng.Between(0, 511));
        barrier.Wait();
        if (t == 0) phase.value = 1;
        barrier.Wait();
        for (uint32_t i = 0; i < steps; ++i) {
            const uint32_t slot = rng.Below(live);
            const uint32_t size = rng.Between(0, 511);
            markers[t].value = 2 * i;
            memory->Free(set[slot]);
            markers[t].value = 2 * i + 1;
            void* block = memory->Alloc(size);
            bench::Touch(block, i);
            set[slot] = block;
            used.insert(PageOf(small, block));
        }
        barrier.Wait();
        pages[t] = std::move(used);
        if (t == 0) phase.value = 2;
        barrier.Wait();
        for (uint32_t i = 0; i < live; ++i) memory->Free(set[i]);
        free(set);
    };
    std::thread other(work, 1);
    work(0);
    other.join();

    printf("phase %p\nmarker 0 %p\nmarker 1 %p\n", (void*)&phase, (void*)&markers[0],
           (void*)&markers[1]);
    // The program's image: the library's statics and the program's own data.
    printf("image %p %zu\n", (void*)__executable_start, size_t(_end - __executable_start));
    for (uint32_t bin = 0; bin < SmallMemAllocator::BinCount; ++bin)
        printf("bin %u %p %zu\n", bin, (void*)&small.Bin(bin), sizeof(Bank));
    printf("cache %p %zu\n", (void*)&cache, sizeof(BlockCache));
    std::set<std::pair<uintptr_t, uint32_t>> all(pages[0]);
    all.insert(pages[1].begin(), pages[1].end());
    for (auto [page, size] : all) printf("page %p %u\n", (void*)page, size);
    return 0;
}
