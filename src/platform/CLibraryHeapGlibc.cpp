#include <dlfcn.h>

#include "platform/CLibraryHeap.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* block);
}

namespace {

// glibc's malloc_usable_size, the definition after the one that replaces it.
size_t (*usableSize)(void*) = nullptr;

}  // namespace

void* CLibraryHeap::Malloc(size_t size) { return __libc_malloc(size); }
void* CLibraryHeap::Calloc(size_t count, size_t size) { return __libc_calloc(count, size); }
void* CLibraryHeap::Realloc(void* block, size_t size) { return __libc_realloc(block, size); }
void* CLibraryHeap::Memalign(size_t alignment, size_t size) {
    return __libc_memalign(alignment, size);
}
void CLibraryHeap::Free(void* block) { __libc_free(block); }
size_t CLibraryHeap::UsableSize(void* block) {
    if (!usableSize && !Find()) return 0;
    return usableSize(block);
}

bool CLibraryHeap::Find() {
    if (!usableSize)
        usableSize = reinterpret_cast<size_t (*)(void*)>(dlsym(RTLD_NEXT, "malloc_usable_size"));
    return usableSize != nullptr;
}
