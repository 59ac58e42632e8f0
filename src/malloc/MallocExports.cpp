// The C allocation functions of a process that loads the malloc front (LD_PRELOAD, or linked
// ahead of the C library). Everything is constant-initialised and the front starts on the first
// call, which can come before any initialiser runs, from any thread. While it starts, calls from
// other threads, and calls the start itself causes, are served by the C library on its own:
// their blocks are foreign to the front and go back to the C library when freed. Nothing here is
// ever destroyed, so calls after the exit handlers are served too.
#include <stddef.h>

#include <atomic>
#include <new>

#include "IQXMemory.h"
#include "interface/QXMemory.h"
#include "interface/Singletons.h"
#include "malloc/MallocFront.h"
#include "malloc/MarkedRuntimeHeap.h"
#include "platform/CLibraryHeap.h"
#include "platform/RuntimeHeap.h"

#define QXMEMORY_MALLOC_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

MallocFront front;
MarkedRuntimeHeap runtime{front.Owned()};
std::atomic<bool> starting{false};

[[gnu::noinline]] bool Start() {
    if (starting.exchange(true, std::memory_order_acq_rel)) return false;
    // The library's raw memory comes from the C library past this front, marked as ours. Every
    // subsystem a call of the front reaches is built now, so that later calls build nothing.
    CLibraryHeap::Find();
    ReplaceRuntimeHeap(&runtime);
    IQXMemory& memory = GetQXMemory();
    memory.Free(memory.Alloc(0));
    memory.Free(memory.Alloc(1024));
    front.Start(GetQXMemory());
    return true;
}

// Whether the front serves this call: it has started, or this call starts it.
inline bool Served() { return front.Started() || Start(); }

}  // namespace

QXMEMORY_MALLOC_EXPORT void* malloc(size_t size) {
    return Served() ? front.Malloc(size) : CLibraryHeap::Malloc(size);
}

QXMEMORY_MALLOC_EXPORT void free(void* block) {
    // Blocks handed out before the front started are the C library's.
    if (front.Started())
        front.Free(block);
    else
        CLibraryHeap::Free(block);
}

QXMEMORY_MALLOC_EXPORT void* calloc(size_t count, size_t size) {
    return Served() ? front.Calloc(count, size) : CLibraryHeap::Calloc(count, size);
}

QXMEMORY_MALLOC_EXPORT void* realloc(void* block, size_t size) {
    return Served() ? front.Realloc(block, size) : CLibraryHeap::Realloc(block, size);
}

QXMEMORY_MALLOC_EXPORT void* reallocarray(void* block, size_t count, size_t size) {
    if (Served()) return front.ReallocArray(block, count, size);
    size_t bytes;
    return __builtin_mul_overflow(count, size, &bytes) ? nullptr
                                                       : CLibraryHeap::Realloc(block, bytes);
}

QXMEMORY_MALLOC_EXPORT void* memalign(size_t alignment, size_t size) {
    return Served() ? front.Memalign(alignment, size) : CLibraryHeap::Memalign(alignment, size);
}

QXMEMORY_MALLOC_EXPORT int posix_memalign(void** out, size_t alignment, size_t size) {
    if (Served()) return front.PosixMemalign(out, alignment, size);
    void* block = CLibraryHeap::Memalign(alignment, size);
    if (!block) return 12;  // ENOMEM
    *out = block;
    return 0;
}

QXMEMORY_MALLOC_EXPORT void* aligned_alloc(size_t alignment, size_t size) {
    return Served() ? front.AlignedAlloc(alignment, size) : CLibraryHeap::Memalign(alignment, size);
}

QXMEMORY_MALLOC_EXPORT void* valloc(size_t size) {
    return Served() ? front.Valloc(size) : CLibraryHeap::Memalign(4096, size);
}

QXMEMORY_MALLOC_EXPORT void* pvalloc(size_t size) {
    return Served() ? front.Pvalloc(size)
                    : CLibraryHeap::Memalign(4096, (size + 4095) & ~size_t(4095));
}

QXMEMORY_MALLOC_EXPORT size_t malloc_usable_size(void* block) {
    if (front.Started()) return front.UsableSize(block);
    return block ? CLibraryHeap::UsableSize(block) : 0;
}
