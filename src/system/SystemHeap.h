// SystemHeap - the library's only source of raw memory.
//
// A thin wrapper over the runtime heap with one recovery step: when a request fails it has the
// block cache hand every cached block back, tries once more, and if that fails too reports the
// size to the out-of-memory handler and returns null.
#pragma once

#include <stdint.h>

#include "platform/RuntimeHeap.h"
#include "system/OutOfMemoryHandler.h"

// Whatever can give memory back to the runtime heap when it runs dry: the block cache.
class CacheFlusher {
public:
    virtual void Flush() = 0;

protected:
    ~CacheFlusher() = default;
};

class SystemHeap {
public:
    SystemHeap(RuntimeHeap& runtime, OutOfMemoryHandler& handler, CacheFlusher& cache)
        : runtime_(runtime), handler_(handler), cache_(cache) {}
    SystemHeap(const SystemHeap&) = delete;
    SystemHeap& operator=(const SystemHeap&) = delete;

    // size bytes from the runtime heap, or null after the flush, the retry and the report.
    // May be called with the block cache's lock held: the flush re-enters it on this thread.
    void* Alloc(uint32_t size);
    // size bytes from the runtime heap alone, or null: no flush, no retry, no report. For memory
    // the library can do without, which the host did not ask for.
    void* TryAlloc(uint32_t size) { return runtime_.Allocate(size); }
    // Null does nothing; the size is not needed.
    void Free(uint32_t size, void* block);

private:
    RuntimeHeap& runtime_;
    OutOfMemoryHandler& handler_;
    CacheFlusher& cache_;
};
