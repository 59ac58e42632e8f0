#include "system/SystemHeap.h"

void* SystemHeap::Alloc(uint32_t size) {
    if (void* block = runtime_.Allocate(size)) return block;
    cache_.Flush();
    if (void* block = runtime_.Allocate(size)) return block;
    // Memory the callback frees only helps later requests: there is no third attempt.
    handler_.Report(size);
    return nullptr;
}

void SystemHeap::Free(uint32_t, void* block) {
    if (block) runtime_.Release(block);
}
