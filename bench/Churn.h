// Churn - the live-set workloads of qxbench and qxwalks: each step frees a random object of a
// live set and allocates its replacement, the steps drawn from a fixed seed before timing. The
// allocator is reached through an adapter, so that every side runs the same code.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "BenchHarness.h"
#include "IQXMemory.h"

namespace bench {

// --- Allocator adapters ---------------------------------------------------------------------

struct QxHeap {
    IQXMemory* memory;
    void* Alloc(uint32_t size) { return memory->Alloc(size); }
    void Free(void* block) { memory->Free(block); }
};

struct MallocHeap {
    void* Alloc(uint32_t size) { return malloc(size); }
    void Free(void* block) { free(block); }
};

// A bank's elements all have its size, so the requested size is ignored.
struct QxBank {
    IAllocator* bank;
    void* Alloc(uint32_t) { return bank->Alloc(); }
    void Free(void* element) { bank->Free(element); }
};

inline void* Check(void* block) {
    if (!block) {
        fprintf(stderr, "an allocation failed\n");
        exit(1);
    }
    return block;
}

// --- Churn: a live set where each step frees a random object and allocates its replacement. --

enum class SizeKind { Uniform, LogUniform };

struct SizeRange {
    SizeKind kind;
    uint32_t lo, hi;
    uint32_t Draw(Rng& rng) const {
        return kind == SizeKind::Uniform ? rng.Between(lo, hi) : rng.LogBetween(lo, hi);
    }
};

template <class A>
class Churn : public Workload {
public:
    // With several threads each one churns a live set of its own.
    Churn(A api, uint32_t liveCount, SizeRange sizes, int threads)
        : api_(api), liveCount_(liveCount), sizes_(sizes), threads_(threads), state_(threads) {}

    int Threads() const override { return threads_; }

    void Setup(int thread) override {
        PerThread& s = state_[thread];
        Rng rng(0x5EED0000u + uint64_t(thread));
        s.steps.resize(StreamLength);
        for (Step& step : s.steps) {
            step.slot = rng.Below(liveCount_);
            step.size = sizes_.Draw(rng);
        }
        s.live.resize(liveCount_);
        for (void*& block : s.live) {
            const uint32_t size = sizes_.Draw(rng);
            block = Check(api_.Alloc(size));
            if (size) Touch(block, size);
        }
    }

    void Run(int thread, uint64_t count) override {
        PerThread& s = state_[thread];
        const Step* steps = s.steps.data();
        void** live = s.live.data();
        size_t cursor = s.cursor;
        for (uint64_t i = 0; i < count; ++i) {
            const Step step = steps[cursor];
            cursor = (cursor + 1) & StreamMask;
            api_.Free(live[step.slot]);
            void* block = api_.Alloc(step.size);
            if (!block) Check(block);
            if (step.size) Touch(block, uint32_t(i));
            live[step.slot] = block;
        }
        s.cursor = cursor;
    }

    void Teardown(int thread) override {
        for (void* block : state_[thread].live) api_.Free(block);
        state_[thread].live.clear();
    }

private:
    struct Step {
        uint32_t slot;
        uint32_t size;
    };
    struct PerThread {
        std::vector<Step> steps;
        std::vector<void*> live;
        size_t cursor = 0;
    };
    A api_;
    uint32_t liveCount_;
    SizeRange sizes_;
    int threads_;
    std::vector<PerThread> state_;
};

}  // namespace bench
