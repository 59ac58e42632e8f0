// FloorModel - what two threads sharing the library's small bins must pay at the least, without
// the library: an allocator adapter for Churn whose every Alloc and Free takes the spin lock of
// the bin its size falls in (the library's eight bins and their 64-bit size boundaries) and
// writes that bin's page line (a free count and a first-free index, as a page header holds)
// under it. The blocks themselves come from per-thread free lists, whose links live in the
// blocks' own first word as the library's free chain does, so they touch only lines the thread
// owns. What the library spends beyond this is its own.
#pragma once

#include <stdint.h>
#include <stdlib.h>

#include <atomic>
#include <vector>

#include "BenchHarness.h"

namespace bench {

class FloorModel {
public:
    static constexpr int Bins = 8;

    static int BinFor(uint32_t size) {
        static const uint32_t usable[Bins] = {28, 44, 76, 140, 204, 268, 396, 524};
        int bin = 0;
        while (bin < Bins - 1 && usable[bin] < size) ++bin;
        return bin;
    }

    struct Adapter {
        FloorModel* model;
        void* Alloc(uint32_t size) { return model->Alloc(size); }
        void Free(void* block) { model->Free(block); }
    };

    void* Alloc(uint32_t size) {
        const int bin = BinFor(size);
        Lock(bin);
        PageLine& page = pages_[bin];
        page.freeCount -= 1;
        page.firstFree = page.firstFree * 33 + 1;
        Unlock(bin);
        // The block: the thread's own, popped from its free list or cut afresh.
        Pool& pool = Own();
        char* block = pool.free[bin];
        if (block) {
            pool.free[bin] = *reinterpret_cast<char**>(block);
        } else {
            pool.blocks.emplace_back(static_cast<char*>(aligned_alloc(16, 544)));
            block = pool.blocks.back() + 16;
        }
        reinterpret_cast<uint32_t*>(block)[-1] = uint32_t(bin);
        return block;
    }

    void Free(void* element) {
        char* block = static_cast<char*>(element);
        const int bin = int(reinterpret_cast<uint32_t*>(block)[-1]);
        Lock(bin);
        PageLine& page = pages_[bin];
        page.freeCount += 1;
        page.firstFree = page.firstFree * 33 + 2;
        Unlock(bin);
        Pool& pool = Own();
        *reinterpret_cast<char**>(block) = pool.free[bin];
        pool.free[bin] = block;
    }

private:
    struct alignas(64) LockLine {
        std::atomic<uint32_t> word{0};
    };
    struct alignas(64) PageLine {
        uint32_t freeCount = 0;
        uint32_t firstFree = 0;
    };
    struct Pool {
        char* free[Bins] = {};
        std::vector<char*> blocks;
        ~Pool() {
            for (char* block : blocks) ::free(block);
        }
    };

    static Pool& Own() {
        static thread_local Pool pool;
        return pool;
    }

    void Lock(int bin) {
        std::atomic<uint32_t>& word = locks_[bin].word;
        uint32_t expected = 0;
        while (!word.compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
            expected = 0;
            uint32_t spins = 0;
            while (word.load(std::memory_order_relaxed) != 0) Pause(spins);
        }
    }
    void Unlock(int bin) { locks_[bin].word.store(0, std::memory_order_release); }

    LockLine locks_[Bins];
    PageLine pages_[Bins];
};

}  // namespace bench
