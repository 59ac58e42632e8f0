// MarkedRuntimeHeap - the runtime heap of the library inside the malloc front: the C library's
// own allocator, past the front, with every block it holds marked in OwnedMemory.
#pragma once

#include "malloc/OwnedMemory.h"
#include "platform/RuntimeHeap.h"

class MarkedRuntimeHeap final : public RuntimeHeap {
public:
    constexpr explicit MarkedRuntimeHeap(OwnedMemory& owned) : owned_(owned) {}

    // A block of the C library, marked over all it holds; null when either refuses.
    void* Allocate(uint32_t size) override;
    // Clears the block's marks, then gives it back.
    void Release(void* block) override;

private:
    OwnedMemory& owned_;
};
