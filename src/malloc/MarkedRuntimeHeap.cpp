#include "malloc/MarkedRuntimeHeap.h"

#include "platform/CLibraryHeap.h"

void* MarkedRuntimeHeap::Allocate(uint32_t size) {
    void* block = CLibraryHeap::Malloc(size);
    if (block && !owned_.Mark(block, CLibraryHeap::UsableSize(block))) {
        CLibraryHeap::Free(block);
        return nullptr;
    }
    return block;
}

void MarkedRuntimeHeap::Release(void* block) {
    if (!block) return;
    // Cleared first: once given back, the C library may hand the memory to someone else.
    owned_.Clear(block, CLibraryHeap::UsableSize(block));
    CLibraryHeap::Free(block);
}
