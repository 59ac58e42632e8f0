// qxwalks - how banks find the page an allocation comes from when the current page is full:
// the share of allocations that moved to another page, how many of those the list of nearly
// full pages decided, and how many walked the ring, with the pages each walk visited. Runs the
// small and pool churn workloads of qxbench (Churn.h) on a build of the library that counts.
//
//   qxwalks [--steps N]   prints rows: walks, workload, measure, value, 0
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Churn.h"
#include "IQXMemory.h"
#include "interface/Singletons.h"
#include "pool/Bank.h"
#include "pool/SmallMemAllocator.h"

using namespace bench;

namespace {

Bank::WalkCounts operator-(Bank::WalkCounts a, const Bank::WalkCounts& b) {
    a.allocs -= b.allocs;
    a.moves -= b.moves;
    a.listedPicks -= b.listedPicks;
    a.walks -= b.walks;
    a.pagesVisited -= b.pagesVisited;
    return a;
}

Bank::WalkCounts& operator+=(Bank::WalkCounts& a, const Bank::WalkCounts& b) {
    a.allocs += b.allocs;
    a.moves += b.moves;
    a.listedPicks += b.listedPicks;
    a.walks += b.walks;
    a.pagesVisited += b.pagesVisited;
    return a;
}

Bank::WalkCounts BinCounts() {
    Bank::WalkCounts sum;
    for (uint32_t bin = 0; bin < SmallMemAllocator::BinCount; ++bin)
        sum += GetSmallMemAllocator().Bin(bin).Walks();
    return sum;
}

void Print(const char* workload, const Bank::WalkCounts& c) {
    const double allocs = c.allocs ? double(c.allocs) : 1.0;
    printf("walks\t%s\tmoves %%\t%.2f\t0\n", workload, 100.0 * double(c.moves) / allocs);
    printf("walks\t%s\tdecided by the list %%\t%.2f\t0\n", workload,
           100.0 * double(c.listedPicks) / allocs);
    printf("walks\t%s\twalks %%\t%.2f\t0\n", workload, 100.0 * double(c.walks) / allocs);
    printf("walks\t%s\tpages per walk\t%.2f\t0\n", workload,
           c.walks ? double(c.pagesVisited) / double(c.walks) : 0.0);
    printf("walks\t%s\tpages visited per alloc\t%.3f\t0\n", workload,
           double(c.pagesVisited) / allocs);
}

// qxbench's churn, untimed: the same steps from the same seed.
template <typename A>
void RunChurn(A api, uint32_t live, SizeRange sizes, uint64_t steps) {
    bench::Churn<A> work(api, live, sizes, 1);
    work.Setup(0);
    work.Run(0, steps);
    work.Teardown(0);
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t steps = 2000000;
    if (argc == 3 && strcmp(argv[1], "--steps") == 0) steps = strtoull(argv[2], nullptr, 10);
    IQXMemory* memory = GetIQXMemory();
    for (uint32_t live : {1000u, 100000u}) {
        const Bank::WalkCounts before = BinCounts();
        RunChurn(QxHeap{memory}, live, SizeRange{SizeKind::Uniform, 0, 511}, steps);
        Print(live == 1000 ? "small K=1000" : "small K=100000", BinCounts() - before);
    }
    for (uint32_t live : {1000u, 100000u}) {
        Bank* bank = static_cast<Bank*>(memory->CreateBank(48, 1000, false));
        RunChurn(QxBank{bank}, live, SizeRange{SizeKind::Uniform, 48, 48}, steps);
        Print(live == 1000 ? "pool 48B K=1000" : "pool 48B K=100000", bank->Walks());
        bank->Release();
    }
    return 0;
}
