#include "system/AlignedHeap.h"

#include "common/DefaultAlignment.h"
#include "common/HeaderWord.h"

uint32_t AlignedHeap::RawRequestSize(uint32_t size, uint32_t alignment) {
    if (alignment == 0 || alignment > MaxAlignment) return 0;
    // Runtime-heap blocks are at least 4-aligned, so at alignment 8, and at 16 on 64-bit targets,
    // the gap in front of the word is at most the alignment less 4: the alignment itself covers
    // gap and word. Any other alignment takes the largest gap, alignment - 1, plus the word.
    const bool gapFits = alignment == 8 || alignment == DefaultAlignment;
    const uint64_t allowance = gapFits ? alignment : uint64_t(alignment) + 3;
    const uint64_t request = size + allowance;
    return request > 0xFFFFFFFFu ? 0 : uint32_t(request);
}

void* AlignedHeap::Alloc(uint32_t size, uint32_t alignment) {
    const uint32_t request = RawRequestSize(size, alignment);
    if (request == 0) return nullptr;
    char* raw = static_cast<char*>(system_.Alloc(request));
    if (!raw) return nullptr;
    // The remainder is taken on the full address, so 64-bit addresses align correctly too.
    const uint32_t rem = uint32_t((reinterpret_cast<uintptr_t>(raw) + 4) % alignment);
    const uint32_t gap = rem == 0 ? 0 : alignment - rem;
    char* block = raw + gap + 4;
    HeaderWord::Write(block, HeaderWord::AlignedBlock(gap));
    return block;
}

void* AlignedHeap::Alloc(uint32_t size, uint32_t alignment, const AllocTag*) {
    return Alloc(size, alignment);
}

void* AlignedHeap::RawBlockOf(void* block) {
    return static_cast<char*>(block) - 4 - HeaderWord::Payload(HeaderWord::Read(block));
}

void AlignedHeap::Free(void* block) {
    if (block) system_.Free(0, RawBlockOf(block));
}
