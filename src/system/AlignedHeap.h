// AlignedHeap - blocks at any alignment, each one runtime-heap block with a kind-1 header word.
//
// Layout inside the raw block R: [gap][header word][caller's bytes][slack]. The header word holds
// the gap, so Free finds R from the caller's pointer alone. Alignment 8 asks for size + 8 bytes
// (the runtime heap returns 4-aligned blocks, so the gap is 0 or 4), and on 64-bit targets
// alignment 16, the default there, asks for size + 16 (a gap of 0 to 12); any other alignment
// asks for size + alignment + 3, enough for the largest gap and the word.
#pragma once

#include <stdint.h>

#include "system/SystemHeap.h"

struct AllocTag;

class AlignedHeap {
public:
    // Above this the gap would not fit the header word's 28 payload bits.
    static constexpr uint32_t MaxAlignment = 0x10000000u;

    explicit AlignedHeap(SystemHeap& system) : system_(system) {}
    AlignedHeap(const AlignedHeap&) = delete;
    AlignedHeap& operator=(const AlignedHeap&) = delete;

    // A block of size bytes at a multiple of alignment (any value, not only powers of two),
    // or null: for alignment 0 or above MaxAlignment and for requests that would pass 4 GiB,
    // none of which reach the runtime heap; and when the system heap fails.
    void* Alloc(uint32_t size, uint32_t alignment);
    // The same; the tag is not consulted.
    void* Alloc(uint32_t size, uint32_t alignment, const AllocTag* tag);
    // Releases a block from Alloc; null does nothing.
    void Free(void* block);
    // The runtime-heap block a block from Alloc lies in, found from its header word.
    static void* RawBlockOf(void* block);

    // The raw request for size at alignment, or 0 when it is not served.
    static uint32_t RawRequestSize(uint32_t size, uint32_t alignment);

private:
    SystemHeap& system_;
};
