// CLibraryHeap - the C library's own allocator, reached past any malloc that replaces it.
//
// When the malloc front serves a process's malloc from the library, the library's runtime heap
// must not call malloc: that would come back to the front. glibc exports its allocator under
// names of its own as well (__libc_malloc and its kin); these call those.
#pragma once

#include <stddef.h>

namespace CLibraryHeap {

void* Malloc(size_t size);
void* Calloc(size_t count, size_t size);
void* Realloc(void* block, size_t size);
void* Memalign(size_t alignment, size_t size);
void Free(void* block);
// The bytes a block of this allocator holds, from its start.
size_t UsableSize(void* block);

// Looks up what glibc exports under no name of its own (the usable size); UsableSize does on its
// first call otherwise. It may allocate, so call it early, where an allocation that comes back
// to the caller is served. False when it cannot be found.
bool Find();

}  // namespace CLibraryHeap
