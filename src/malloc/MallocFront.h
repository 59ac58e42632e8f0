// MallocFront - the C allocation functions with glibc's contract, served by the library.
//
// Requests the interface can take (sizes and alignments that fit 32 bits) go to IQXMemory: small
// ones to the bins, the rest to the aligned heap, all 16-aligned. Anything else goes to the C
// library's own allocator, and free, realloc and malloc_usable_size tell the two kinds of block
// apart by OwnedMemory, never by reading in front of a pointer that is not ours. Failures set
// errno as glibc does: ENOMEM when memory cannot be had or a size overflows, EINVAL for an
// alignment the function refuses.
//
// The front holds its map of owned memory itself and reaches the interface object by a pointer
// set when it starts, so that a process's single front sits at fixed addresses: free() loads the
// pointer and the map's words at once rather than one after the other. The interface object
// holds no state of its own, and is called directly rather than through its virtual table.
#pragma once

#include <stddef.h>

#include <atomic>

#include "interface/QXMemory.h"
#include "malloc/OwnedMemory.h"

class MallocFront {
public:
    constexpr MallocFront() = default;
    MallocFront(const MallocFront&) = delete;
    MallocFront& operator=(const MallocFront&) = delete;

    // The map the runtime heap under the library marks; its blocks are what Free gives back to
    // the library.
    constexpr OwnedMemory& Owned() { return owned_; }
    // Starts serving from the library; until then every call is the C library's.
    void Start(QXMemory& memory) { memory_.store(&memory, std::memory_order_release); }
    bool Started() const { return memory_.load(std::memory_order_acquire) != nullptr; }

    void* Malloc(size_t size);
    void Free(void* block);
    void* Calloc(size_t count, size_t size);
    // realloc(null, n) is malloc(n); realloc(p, 0) frees p and returns null. A block that still
    // holds the new size, without most of it left over, stays where it is.
    void* Realloc(void* block, size_t size);
    void* ReallocArray(void* block, size_t count, size_t size);
    // An alignment that is not a power of two is rounded up to one, as glibc's memalign does.
    void* Memalign(size_t alignment, size_t size);
    // EINVAL, with *out untouched, unless alignment is a power of two and a multiple of a pointer.
    int PosixMemalign(void** out, size_t alignment, size_t size);
    // Null with EINVAL unless alignment is a power of two.
    void* AlignedAlloc(size_t alignment, size_t size);
    void* Valloc(size_t size);
    // size rounded up to whole pages; 0 gives a page.
    void* Pvalloc(size_t size);
    // The bytes a block holds; 0 for null.
    size_t UsableSize(void* block);

private:
    // The library's allocation, at an alignment it hands out anyway or through AllocAligned;
    // null when the request is beyond what the interface takes. Sets nothing.
    void* LibraryAlloc(size_t size, size_t alignment);
    void* Aligned(size_t alignment, size_t size);
    size_t LibraryUsableSize(void* block);

    QXMemory& Memory() const { return *memory_.load(std::memory_order_relaxed); }

    std::atomic<QXMemory*> memory_{nullptr};
    OwnedMemory owned_;
};
