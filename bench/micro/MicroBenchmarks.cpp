// Microbenchmarks of the internals on the hot paths: the lock, a bank, the small bins, the
// interface's Alloc/Free, the block cache, tags and the range heap.
#include <benchmark/benchmark.h>

#include <vector>

#include "IQXMemory.h"
#include "interface/Singletons.h"
#include "pool/BlockCache.h"
#include "pool/SmallMemAllocator.h"
#include "range/RangeHeap.h"
#include "system/SystemHeap.h"

namespace {

void LockPair(benchmark::State& state) {
    CriticalSectionLock lock;
    for (auto _ : state) {
        lock.Enter();
        benchmark::ClobberMemory();
        lock.Leave();
    }
}
BENCHMARK(LockPair);

void BinChoice(benchmark::State& state) {
    uint32_t size = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(SmallMemAllocator::BinFor(size));
        size = (size + 37) & 511;
    }
}
BENCHMARK(BinChoice);

void SmallAllocFreePair(benchmark::State& state) {
    SmallMemAllocator& small = GetSmallMemAllocator();
    void* keep = small.Alloc(100);  // keeps the page from going back to the cache
    for (auto _ : state) {
        void* p = small.Alloc(100);
        benchmark::DoNotOptimize(p);
        small.Free(p);
    }
    small.Free(keep);
}
BENCHMARK(SmallAllocFreePair);

void InterfaceSmallPair(benchmark::State& state) {
    IQXMemory* memory = GetIQXMemory();
    void* keep = memory->Alloc(100);
    for (auto _ : state) {
        void* p = memory->Alloc(100);
        benchmark::DoNotOptimize(p);
        memory->Free(p);
    }
    memory->Free(keep);
}
BENCHMARK(InterfaceSmallPair);

// Random replacement in a live set, the shape of a host's steady state.
void InterfaceSmallLiveSet(benchmark::State& state) {
    IQXMemory* memory = GetIQXMemory();
    const size_t live = size_t(state.range(0));
    std::vector<void*> held(live);
    uint32_t rng = 12345;
    auto next = [&rng] { return rng = rng * 1664525u + 1013904223u; };
    for (auto& p : held) p = memory->Alloc(next() % 512);
    for (auto _ : state) {
        void*& slot = held[(next() >> 8) % live];
        memory->Free(slot);
        slot = memory->Alloc(next() % 512);
        *static_cast<char*>(slot) = 1;
    }
    for (void* p : held) memory->Free(p);
}
BENCHMARK(InterfaceSmallLiveSet)->Arg(1000)->Arg(100000);

void InterfaceLargePair(benchmark::State& state) {
    IQXMemory* memory = GetIQXMemory();
    for (auto _ : state) {
        void* p = memory->Alloc(4096);
        benchmark::DoNotOptimize(p);
        memory->Free(p);
    }
}
BENCHMARK(InterfaceLargePair);

void BlockCachePair(benchmark::State& state) {
    BlockCache& cache = GetBlockCache();
    cache.Release(4, cache.Get(4, nullptr));
    for (auto _ : state) {
        void* block = cache.Get(4, nullptr);
        benchmark::DoNotOptimize(block);
        cache.Release(4, block);
    }
}
BENCHMARK(BlockCachePair);

void TagPair(benchmark::State& state) {
    IQXMemory* memory = GetIQXMemory();
    AllocTag tag = {"Bench", "Tag", 1};
    memory->PopTag();
    for (auto _ : state) {
        benchmark::DoNotOptimize(memory->PushTag(&tag));
        benchmark::DoNotOptimize(memory->PopTag());
    }
}
BENCHMARK(TagPair);

void RangePair(benchmark::State& state) {
    RangeHeap* heap = RangeHeap::Create(GetSystemHeap(), 1024, 1u << 28, 16, 0);
    uint32_t offset;
    uint16_t handle;
    for (auto _ : state) {
        heap->Alloc(4096, 256, &offset, &handle, true);
        heap->Free(handle);
    }
    RangeHeap::Destroy(heap);
}
BENCHMARK(RangePair);

}  // namespace
