/// @file QXMemoryGlobalNew.hpp
/// @brief Makes the library the allocator of the program's global operator new and delete.
///
/// Include it in exactly one translation unit of a C++ program. It defines the replaceable
/// global allocation functions, which a program may define only once; from then on every
/// new-expression and delete-expression of the program, and the standard library's own
/// allocations, go to the IQXMemory that GetIQXMemory() returns:
///
/// - `new`, `new[]` and their `std::nothrow` forms: IQXMemory::Alloc, or IQXMemory::AllocAligned
///   at the default new alignment where that is larger than QXMEMORY_ALLOC_ALIGNMENT;
/// - the `std::align_val_t` forms, with and without `std::nothrow`: IQXMemory::Alloc for
///   alignments up to QXMEMORY_ALLOC_ALIGNMENT, IQXMemory::AllocAligned above;
/// - every `delete` and `delete[]`, plain, `std::nothrow`, sized, aligned and sized aligned:
///   IQXMemory::Free, which needs neither size nor alignment.
///
/// The default new alignment is the compiler's `__STDCPP_DEFAULT_NEW_ALIGNMENT__`; without it,
/// 8 on 32-bit and 16 on 64-bit targets under Microsoft's compilers, else
/// `alignof(std::max_align_t)`. Where it exceeds QXMEMORY_ALLOC_ALIGNMENT, as under g++ for
/// 32-bit x86 (16 against 8), every default-form allocation is an aligned heap block and none
/// comes from the small bins.
///
/// Failure follows the standard: the throwing forms call the `std::new_handler` after each
/// failed attempt until one succeeds, and throw `std::bad_alloc` once no handler is installed
/// (or call `std::abort()` where exceptions are disabled); the nothrow forms return null where
/// the throwing ones would throw. A request the library can never serve, a size that does not
/// fit 32 bits or an alignment above 0x10000000, fails at once without the handler, which could
/// not help.
///
/// Every form ends in IQXMemory::Free, so a block from any of them may be freed with any delete
/// form or with IQXMemory::Free, and a block from IQXMemory::Alloc or AllocAligned with any
/// delete form. Each call costs one load of a cached interface pointer before the virtual call;
/// the first one, which may come before any static initialiser of the program has run, asks
/// GetIQXMemory(). Under GCC and clang outside Windows the header also makes the library's objects
/// before the executable's static objects are constructed, so that they are destroyed after them
/// at exit and a static object may still delete in its destructor.
///
/// The sized forms are defined where the compiler has sized deallocation
/// (`__cpp_sized_deallocation`, and always under Microsoft's compilers, which declare them), the
/// aligned forms where it has `__cpp_aligned_new` (C++17). On Windows each module (executable or
/// DLL) binds new and delete when it is linked: the header serves the module it is compiled
/// into. Compiles as C++11 and later.
#ifndef QXMEMORY_QXMEMORYGLOBALNEW_HPP
#define QXMEMORY_QXMEMORYGLOBALNEW_HPP

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <new>

#include "IQXMemory.h"

/// @cond QXMEMORY_INTERNAL
#if defined(__cpp_exceptions) || defined(_CPPUNWIND)
#define QXMEMORY_NEW_THROWS 1
#else
#include <cstdlib>
#endif

#if defined(__cpp_sized_deallocation) || defined(_MSC_VER)
#define QXMEMORY_NEW_SIZED 1
#endif

// Microsoft's <new> declares the forms __cdecl; spelled out so that /Gz or /Gr cannot change it.
#if defined(_MSC_VER) && defined(_M_IX86)
#define QXMEMORY_NEW_CALL __cdecl
#else
#define QXMEMORY_NEW_CALL
#endif

#if !defined(__STDCPP_DEFAULT_NEW_ALIGNMENT__) && !defined(_MSC_VER)
#include <cstddef>
#endif

namespace qxmemory {
namespace global_new {

// What the compiler assumes of a block from the default forms.
#if defined(__STDCPP_DEFAULT_NEW_ALIGNMENT__)
constexpr size_t DefaultNewAlignment = __STDCPP_DEFAULT_NEW_ALIGNMENT__;
#elif defined(_MSC_VER)
constexpr size_t DefaultNewAlignment = sizeof(void*) == 4 ? 8 : 16;
#else
constexpr size_t DefaultNewAlignment = alignof(std::max_align_t);
#endif

constexpr size_t MaxAlignment = 0x10000000u;

// Constant-initialised, so that an allocation made before any initialiser runs finds it empty.
// The object behind the pointer is built by the first GetIQXMemory(): acquire pairs with the
// release below, so a thread that finds the pointer here sees that object complete.
static std::atomic<IQXMemory*> cachedMemory(nullptr);

inline IQXMemory* Memory() {
    IQXMemory* memory = cachedMemory.load(std::memory_order_acquire);
    if (!memory) {
        memory = GetIQXMemory();  // the same pointer on every call, so racing stores agree
        cachedMemory.store(memory, std::memory_order_release);
    }
    return memory;
}

// The standard's loop: after each failed attempt the new handler may make memory available.
// Returns null only for nothrow callers, which get it wherever the throwing forms would throw.
inline void* Allocate(size_t size, size_t alignment, bool nothrow) {
    // Sizes and alignments are 32-bit at the interface; beyond that no handler can help.
    if (uint32_t(size) == size && alignment <= MaxAlignment) {
        IQXMemory* memory = Memory();
        for (;;) {
            void* block = alignment <= QXMEMORY_ALLOC_ALIGNMENT
                              ? memory->Alloc(uint32_t(size))
                              : memory->AllocAligned(uint32_t(size), uint32_t(alignment));
            if (block) return block;
            const std::new_handler handler = std::get_new_handler();
            if (!handler) break;
            handler();
        }
    }
    if (nothrow) return nullptr;
#if defined(QXMEMORY_NEW_THROWS)
    throw std::bad_alloc();
#else
    std::abort();
#endif
}

// A handler may throw bad_alloc; a nothrow form then returns null instead.
inline void* AllocateOrNull(size_t size, size_t alignment) noexcept {
#if defined(QXMEMORY_NEW_THROWS)
    try {
        return Allocate(size, alignment, true);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
#else
    return Allocate(size, alignment, true);
#endif
}

inline void Free(void* block) noexcept { Memory()->Free(block); }

#if defined(__GNUC__) && !defined(_WIN32)
// The library's objects are destroyed at exit among the program's static objects, in the reverse
// order of their making. Made here, before any static object of the executable is constructed at
// the default priority, they outlive those objects, whose destructors may still delete. (On
// Windows they live in the DLL, which the executable's exit handlers run before.)
__attribute__((constructor(101))) static void MakeLibraryFirst() {
    Memory()->SmallHeapCounter();  // makes every object an allocation or a free needs
}
#endif

}  // namespace global_new
}  // namespace qxmemory

void* QXMEMORY_NEW_CALL operator new(size_t size) {
    return qxmemory::global_new::Allocate(size, qxmemory::global_new::DefaultNewAlignment, false);
}
void* QXMEMORY_NEW_CALL operator new[](size_t size) {
    return qxmemory::global_new::Allocate(size, qxmemory::global_new::DefaultNewAlignment, false);
}
void* QXMEMORY_NEW_CALL operator new(size_t size, const std::nothrow_t&) noexcept {
    return qxmemory::global_new::AllocateOrNull(size, qxmemory::global_new::DefaultNewAlignment);
}
void* QXMEMORY_NEW_CALL operator new[](size_t size, const std::nothrow_t&) noexcept {
    return qxmemory::global_new::AllocateOrNull(size, qxmemory::global_new::DefaultNewAlignment);
}
void QXMEMORY_NEW_CALL operator delete(void* block) noexcept { qxmemory::global_new::Free(block); }
void QXMEMORY_NEW_CALL operator delete[](void* block) noexcept {
    qxmemory::global_new::Free(block);
}
void QXMEMORY_NEW_CALL operator delete(void* block, const std::nothrow_t&) noexcept {
    qxmemory::global_new::Free(block);
}
void QXMEMORY_NEW_CALL operator delete[](void* block, const std::nothrow_t&) noexcept {
    qxmemory::global_new::Free(block);
}
#if defined(QXMEMORY_NEW_SIZED)
void QXMEMORY_NEW_CALL operator delete(void* block, size_t) noexcept {
    qxmemory::global_new::Free(block);
}
void QXMEMORY_NEW_CALL operator delete[](void* block, size_t) noexcept {
    qxmemory::global_new::Free(block);
}
#endif

#if defined(__cpp_aligned_new)
void* QXMEMORY_NEW_CALL operator new(size_t size, std::align_val_t alignment) {
    return qxmemory::global_new::Allocate(size, size_t(alignment), false);
}
void* QXMEMORY_NEW_CALL operator new[](size_t size, std::align_val_t alignment) {
    return qxmemory::global_new::Allocate(size, size_t(alignment), false);
}
void* QXMEMORY_NEW_CALL operator new(size_t size, std::align_val_t alignment,
                                     const std::nothrow_t&) noexcept {
    return qxmemory::global_new::AllocateOrNull(size, size_t(alignment));
}
void* QXMEMORY_NEW_CALL operator new[](size_t size, std::align_val_t alignment,
                                       const std::nothrow_t&) noexcept {
    return qxmemory::global_new::AllocateOrNull(size, size_t(alignment));
}
void QXMEMORY_NEW_CALL operator delete(void* block, std::align_val_t) noexcept {
    qxmemory::global_new::Free(block);
}
void QXMEMORY_NEW_CALL operator delete[](void* block, std::align_val_t) noexcept {
    qxmemory::global_new::Free(block);
}
void QXMEMORY_NEW_CALL operator delete(void* block, std::align_val_t,
                                       const std::nothrow_t&) noexcept {
    qxmemory::global_new::Free(block);
}
void QXMEMORY_NEW_CALL operator delete[](void* block, std::align_val_t,
                                         const std::nothrow_t&) noexcept {
    qxmemory::global_new::Free(block);
}
#if defined(QXMEMORY_NEW_SIZED)
void QXMEMORY_NEW_CALL operator delete(void* block, size_t, std::align_val_t) noexcept {
    qxmemory::global_new::Free(block);
}
void QXMEMORY_NEW_CALL operator delete[](void* block, size_t, std::align_val_t) noexcept {
    qxmemory::global_new::Free(block);
}
#endif
#endif

#undef QXMEMORY_NEW_THROWS
#undef QXMEMORY_NEW_SIZED
#undef QXMEMORY_NEW_CALL
/// @endcond

#endif  // QXMEMORY_QXMEMORYGLOBALNEW_HPP
