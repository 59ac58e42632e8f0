// RangeChurn - the range heap workload of qxbench and qxrangesweep: a 256 MiB range with 65532
// descriptors and a live set of K allocations. Each step frees a random live allocation and
// allocates its replacement: sizes log-uniform from 256 bytes, alignments 1-4096 (half powers of
// two, half any value), bottom-up and top-down mixed.
//
// The heap is reached through an adapter, so that the same steps run through the interface as a
// host calls it, or on a RangeHeap directly with either first-fit search.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "BenchHarness.h"

namespace bench {

template <class Heap>
class RangeChurn : public Workload {
public:
    static constexpr uint32_t RangeSize = 256u << 20;
    static constexpr uint32_t Descriptors = 65532;
    static constexpr uint32_t MinFragment = 64;
    static constexpr uint32_t RangeBase = 0x40000000u;

    // warmUp steps run untimed after the live set is allocated, so that the heap has settled.
    RangeChurn(Heap heap, uint32_t liveCount, uint32_t largest, uint64_t warmUp = 0)
        : heap_(heap), liveCount_(liveCount), largest_(largest), warmUp_(warmUp) {}

    void Setup(int) override {
        if (!heap_.Create(RangeSize, Descriptors, MinFragment, RangeBase)) {
            fprintf(stderr, "range heap: creation failed\n");
            exit(1);
        }
        Rng rng(0x4A4E6Eu + liveCount_);
        steps_.resize(StreamLength);
        for (Step& step : steps_) {
            step.slot = rng.Below(liveCount_);
            step.size = rng.LogBetween(256, largest_);
            // Half powers of two, half any value: the heap takes alignments that are not.
            step.alignment = rng.Below(2) ? 1u << rng.Below(13) : rng.Between(1, 4096);
            step.bottomUp = rng.Below(2) != 0;
        }
        live_.assign(liveCount_, Empty);
        for (uint32_t slot = 0; slot < liveCount_; ++slot) Allocate(slot, steps_[slot]);
        Run(0, warmUp_);
    }

    void Run(int, uint64_t count) override {
        const Step* steps = steps_.data();
        size_t cursor = cursor_;
        for (uint64_t i = 0; i < count; ++i) {
            const Step& step = steps[cursor];
            cursor = (cursor + 1) & StreamMask;
            uint32_t& handle = live_[step.slot];
            if (handle != Empty) heap_.Free(uint16_t(handle));
            handle = Empty;
            Allocate(step.slot, step);
        }
        cursor_ = cursor;
    }

    // Notes how long the free list had grown, and how often a request found no room, before
    // the heap goes.
    void Teardown(int) override {
        uint32_t occupied = 0;
        for (uint32_t handle : live_) occupied += handle != Empty;
        const uint32_t freeBlocks = Descriptors - heap_.SpareCount() - occupied;
        char text[96];
        snprintf(text, sizeof text, ": %u free blocks, %.1f%% failed", unsigned(freeBlocks),
                 attempts_ ? 100.0 * double(failures_) / double(attempts_) : 0.0);
        detail_ = text;
        heap_.Destroy();
    }

    std::string Detail() override { return detail_; }

private:
    static constexpr uint32_t Empty = 0xFFFFFFFFu;

    struct Step {
        uint32_t slot;
        uint32_t size;
        uint32_t alignment;
        bool bottomUp;
    };

    void Allocate(uint32_t slot, const Step& step) {
        uint32_t offset;
        uint16_t handle;
        ++attempts_;
        if (heap_.Alloc(step.size, step.alignment, &offset, &handle, step.bottomUp))
            live_[slot] = handle;
        else
            ++failures_;
    }

    Heap heap_;
    uint32_t liveCount_;
    uint32_t largest_;
    uint64_t warmUp_;
    std::vector<Step> steps_;
    std::vector<uint32_t> live_;
    size_t cursor_ = 0;
    uint64_t attempts_ = 0;
    uint64_t failures_ = 0;
    std::string detail_;
};

}  // namespace bench
