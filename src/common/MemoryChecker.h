// MemoryChecker - tells AddressSanitizer or Valgrind's memcheck which pool memory a host may touch.
//
// Element bodies of free slots and the bodies of cached blocks are off limits; the header words of
// free slots and the headers of cached blocks stay usable, since the free chains and the cache's
// links live in them. Everything here compiles to nothing unless the build asks for a checker:
// AddressSanitizer when the compiler instruments for it, memcheck when QXMEMORY_VALGRIND is
// defined (its requests cost a few instructions when the program runs natively).
//
// Under memcheck elements and handed-out blocks are heap blocks of their own, so a second free is
// an invalid free and the leak check lists them where they were allocated. A block that becomes a
// bank page stops being one: its elements take over.
#pragma once

#include <stdint.h>

#if defined(__SANITIZE_ADDRESS__)
#define QXMEMORY_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QXMEMORY_ASAN 1
#endif
#endif

#if defined(QXMEMORY_ASAN)
#include <sanitizer/asan_interface.h>
#endif
#if defined(QXMEMORY_VALGRIND)
#include <valgrind/memcheck.h>
#endif

namespace MemoryChecker {

// The slots of a freshly formatted page, from the first slot's header word on: none is handed
// out yet, and their words are written only when they are.
inline void MarkSlotsUntouched([[maybe_unused]] void* firstWord, [[maybe_unused]] uint32_t size) {
#if defined(QXMEMORY_ASAN)
    ASAN_POISON_MEMORY_REGION(firstWord, size);
#elif defined(QXMEMORY_VALGRIND)
    VALGRIND_MAKE_MEM_NOACCESS(firstWord, size);
#endif
}

// The header word of an untouched slot, about to be written as the slot is handed out.
inline void MarkSlotWordUsable([[maybe_unused]] uint32_t* word) {
#if defined(QXMEMORY_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(word, sizeof *word);
#elif defined(QXMEMORY_VALGRIND)
    VALGRIND_MAKE_MEM_UNDEFINED(word, sizeof *word);
#endif
}

// An element handed to a caller: its size bytes are the caller's, their contents undefined.
inline void MarkElementInUse([[maybe_unused]] void* element, [[maybe_unused]] uint32_t size) {
#if defined(QXMEMORY_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(element, size);
#elif defined(QXMEMORY_VALGRIND)
    VALGRIND_MALLOCLIKE_BLOCK(element, size, 0, 0);
#endif
}

// An element given back: its body is off limits until it is handed out again.
inline void MarkElementFree([[maybe_unused]] void* element, [[maybe_unused]] uint32_t size) {
#if defined(QXMEMORY_ASAN)
    ASAN_POISON_MEMORY_REGION(element, size);
#elif defined(QXMEMORY_VALGRIND)
    VALGRIND_FREELIKE_BLOCK(element, 0);
#endif
}

// A block the block cache hands out: all of it is the taker's.
inline void MarkBlockHandedOut([[maybe_unused]] void* block, [[maybe_unused]] uint32_t size) {
#if defined(QXMEMORY_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(block, size);
#elif defined(QXMEMORY_VALGRIND)
    VALGRIND_MALLOCLIKE_BLOCK(block, size, 0, 0);
#endif
}

// A block given back to the block cache: the cache keeps its first headerSize bytes for its
// links, the rest is off limits.
inline void MarkBlockGivenBack([[maybe_unused]] void* block, [[maybe_unused]] uint32_t size,
                               [[maybe_unused]] uint32_t headerSize) {
#if defined(QXMEMORY_ASAN)
    ASAN_POISON_MEMORY_REGION(static_cast<char*>(block) + headerSize, size - headerSize);
#elif defined(QXMEMORY_VALGRIND)
    VALGRIND_FREELIKE_BLOCK(block, 0);
    VALGRIND_MAKE_MEM_UNDEFINED(block, headerSize);
#endif
}

// A given-back block about to be freed to the aligned heap.
inline void MarkBlockLeavingCache([[maybe_unused]] void* block, [[maybe_unused]] uint32_t size) {
#if defined(QXMEMORY_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(block, size);
#endif
}

// A handed-out block that a bank is about to format as a page: the bank writes all over it,
// and its elements become the heap blocks memcheck tracks.
inline void MarkBlockAsPage([[maybe_unused]] void* block, [[maybe_unused]] uint32_t size) {
#if defined(QXMEMORY_VALGRIND) && !defined(QXMEMORY_ASAN)
    VALGRIND_FREELIKE_BLOCK(block, 0);
    VALGRIND_MAKE_MEM_UNDEFINED(block, size);
#endif
}

// An emptied page about to go back to the block cache as a handed-out block.
inline void MarkPageAsBlock([[maybe_unused]] void* page, [[maybe_unused]] uint32_t size) {
#if defined(QXMEMORY_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(page, size);
#elif defined(QXMEMORY_VALGRIND)
    VALGRIND_MALLOCLIKE_BLOCK(page, size, 0, 0);
#endif
}

// True when an element or block about to be given back was given back already and not handed
// out since: the checker has then reported the second free (AddressSanitizer stops the process
// there), and the caller drops it rather than chain the slot or block twice.
//
// The first 64 bytes are enough to tell: a free slot is off limits from its first byte, a cached
// block from the end of its header, and a slot at the start of a page that went back to the cache
// from where that header ends. Sizes of a few bytes can slip through (AddressSanitizer tracks
// 8-byte granules, and a slot's tail shares one with the next slot's header word).
inline bool ReportIfFreed([[maybe_unused]] const void* pointer, [[maybe_unused]] uint32_t size) {
    [[maybe_unused]] const uint32_t checked = size < 64 ? size : 64;
#if defined(QXMEMORY_ASAN)
    if (void* freed = __asan_region_is_poisoned(const_cast<void*>(pointer), checked)) {
        // Reading the poisoned byte makes AddressSanitizer report where the second free happens.
        (void)*static_cast<volatile char*>(freed);
        return true;
    }
#elif defined(QXMEMORY_VALGRIND)
    unsigned char bits[64];
    // 3: some of the bytes are not addressable. Memcheck reports the free of something that is
    // not a live block as an invalid free.
    if (VALGRIND_GET_VBITS(pointer, bits, checked) == 3) {
        VALGRIND_FREELIKE_BLOCK(pointer, 0);
        return true;
    }
#endif
    return false;
}

}  // namespace MemoryChecker
