// SmallMemAllocator - the eight bins behind general requests below 512 bytes.
//
// Each bin is a bank on 64 KiB pages. The allocator rewrites each element's header word to
// kind bin + 2 with the slot index in bits 16-27, so Free finds bin, page and slot from the
// pointer alone. It has no lock of its own: each bin's bank locks itself.
#pragma once

#include <stdint.h>

#include "IQXMemory.h"
#include "pool/Bank.h"

class BlockCache;

class SmallMemAllocator {
public:
    static constexpr uint32_t BinCount = 8;
    static constexpr uint32_t PageClass = 4;
    // The element size each bin's bank is set up with; bin 4 is 196, not 192.
    static constexpr uint32_t BinElementSize[BinCount] = {16, 32, 64, 128, 196, 256, 384, 512};

    explicit SmallMemAllocator(BlockCache& cache);
    SmallMemAllocator(const SmallMemAllocator&) = delete;
    SmallMemAllocator& operator=(const SmallMemAllocator&) = delete;

    // An element of the first bin whose usable size holds size bytes; null above 516 bytes or
    // when the bin can get no page.
    void* Alloc(uint32_t size);
    // Frees an element of this allocator (header kind 2 to 9); null does nothing.
    void Free(void* element);
    // Resets the record and writes 0 to the four words; any bin number answers alike.
    void GetBinStats(uint32_t bin, MemStats* stats, uint32_t* first, uint32_t* second,
                     uint32_t* third, uint32_t* fourth);

    // The bin serving size, or BinCount when none does: the first bin, from bin 0 up, whose
    // usable size holds it. Every usable size is a multiple of 4, so one table entry per four
    // sizes gives the same answer as comparing with each bin in turn.
    static uint32_t BinFor(uint32_t size);
    // The bytes an element of a bin holds: its stride less the header word.
    static constexpr uint32_t UsableSize(uint32_t bin) {
        return uint32_t(Bank::StrideFor(BinElementSize[bin]) - 4);
    }
    Bank& Bin(uint32_t bin) { return bins_[bin].bank; }

private:
    // Each bin on cache lines of its own: threads working different bins share no line, and a
    // bank's lock, current page and shape sit together at the start of its line.
    struct alignas(64) AlignedBank {
        // Not explicit, so that the array can be initialised from one cache.
        AlignedBank(BlockCache& cache) : bank(cache) {}
        Bank bank;
    };
    AlignedBank bins_[BinCount];  // constructed in bin order, destroyed in reverse
};
