#include "malloc/MallocFront.h"

#include <errno.h>
#include <string.h>

#include "common/DefaultAlignment.h"
#include "common/HeaderWord.h"
#include "platform/CLibraryHeap.h"
#include "pool/SmallMemAllocator.h"
#include "system/AlignedHeap.h"

namespace {

constexpr size_t PageSize = 4096;
// glibc's own alignment, and the library's on 64-bit targets.
constexpr size_t MallocAlignment = 16;
static_assert(DefaultAlignment == MallocAlignment, "the library aligns as malloc must");

bool PowerOfTwo(size_t value) { return value != 0 && (value & (value - 1)) == 0; }

void* NoMemory() {
    errno = ENOMEM;
    return nullptr;
}

}  // namespace

void* MallocFront::LibraryAlloc(size_t size, size_t alignment) {
    if (alignment <= DefaultAlignment) {
        if (size > 0xFFFFFFFFu ||
            AlignedHeap::RawRequestSize(uint32_t(size), DefaultAlignment) == 0)
            return nullptr;
        return Memory().QXMemory::Alloc(uint32_t(size));
    }
    if (alignment > AlignedHeap::MaxAlignment || size > 0xFFFFFFFFu ||
        AlignedHeap::RawRequestSize(uint32_t(size), uint32_t(alignment)) == 0)
        return nullptr;
    return Memory().QXMemory::AllocAligned(uint32_t(size), uint32_t(alignment));
}

void* MallocFront::Malloc(size_t size) {
    if (void* block = LibraryAlloc(size, MallocAlignment)) return block;
    // Beyond the interface's sizes the C library serves it, and sets errno when it cannot.
    if (size > 0xFFFFFFFFu - DefaultAlignment) return CLibraryHeap::Malloc(size);
    return NoMemory();
}

void MallocFront::Free(void* block) {
    if (!block) return;
    if (owned_.Owns(block))
        Memory().QXMemory::Free(block);
    else
        CLibraryHeap::Free(block);
}

void* MallocFront::Calloc(size_t count, size_t size) {
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) return NoMemory();
    void* block = LibraryAlloc(bytes, MallocAlignment);
    if (!block) {
        if (bytes > 0xFFFFFFFFu - DefaultAlignment) return CLibraryHeap::Calloc(count, size);
        return NoMemory();
    }
    return memset(block, 0, bytes);
}

size_t MallocFront::LibraryUsableSize(void* block) {
    const uint32_t word = HeaderWord::Read(block);
    if (HeaderWord::Kind(word) != HeaderWord::KindAlignedBlock)
        return SmallMemAllocator::UsableSize(HeaderWord::SmallBin(word));
    // Whatever the C library's block holds past the pointer.
    void* raw = AlignedHeap::RawBlockOf(block);
    return CLibraryHeap::UsableSize(raw) -
           size_t(static_cast<char*>(block) - static_cast<char*>(raw));
}

size_t MallocFront::UsableSize(void* block) {
    if (!block) return 0;
    return owned_.Owns(block) ? LibraryUsableSize(block) : CLibraryHeap::UsableSize(block);
}

void* MallocFront::Realloc(void* block, size_t size) {
    if (!block) return Malloc(size);
    if (size == 0) {
        Free(block);
        return nullptr;
    }
    if (!owned_.Owns(block)) return CLibraryHeap::Realloc(block, size);
    const size_t held = LibraryUsableSize(block);
    // In place while the block holds the size and what is left over is no more than the size
    // itself (or a small block's worth): a smaller block would not save most of it.
    if (size <= held && held - size <= (size > 64 ? size : 64)) return block;
    void* moved = Malloc(size);
    if (!moved) return nullptr;  // errno is set; the old block stays as it was
    memcpy(moved, block, size < held ? size : held);
    Memory().QXMemory::Free(block);
    return moved;
}

void* MallocFront::ReallocArray(void* block, size_t count, size_t size) {
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) return NoMemory();
    return Realloc(block, bytes);
}

void* MallocFront::Aligned(size_t alignment, size_t size) {
    if (void* block = LibraryAlloc(size, alignment)) return block;
    if (alignment > AlignedHeap::MaxAlignment || size > 0xFFFFFFFFu - DefaultAlignment ||
        AlignedHeap::RawRequestSize(uint32_t(size), uint32_t(alignment)) == 0)
        return CLibraryHeap::Memalign(alignment, size);
    return NoMemory();
}

void* MallocFront::Memalign(size_t alignment, size_t size) {
    if (alignment > (~size_t(0) >> 1) + 1) {
        errno = EINVAL;
        return nullptr;
    }
    size_t rounded = alignment <= 1 ? 1 : size_t(1) << (64 - __builtin_clzll(alignment - 1));
    return Aligned(rounded, size);
}

int MallocFront::PosixMemalign(void** out, size_t alignment, size_t size) {
    if (!PowerOfTwo(alignment) || alignment % sizeof(void*) != 0) return EINVAL;
    const int saved = errno;
    void* block = Aligned(alignment, size);
    if (!block) {
        errno = saved;  // posix_memalign reports by its result, not errno
        return ENOMEM;
    }
    *out = block;
    return 0;
}

void* MallocFront::AlignedAlloc(size_t alignment, size_t size) {
    if (!PowerOfTwo(alignment)) {
        errno = EINVAL;
        return nullptr;
    }
    return Aligned(alignment, size);
}

void* MallocFront::Valloc(size_t size) { return Aligned(PageSize, size); }

void* MallocFront::Pvalloc(size_t size) {
    size_t rounded;
    if (__builtin_add_overflow(size, PageSize - 1, &rounded)) return NoMemory();
    rounded &= ~(PageSize - 1);
    return Aligned(PageSize, rounded ? rounded : PageSize);
}
