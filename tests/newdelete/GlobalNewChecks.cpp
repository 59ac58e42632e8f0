// Every form of global new and delete as QXMemoryGlobalNew.hpp replaces them, checked by what
// only the library does: the header word in front of a block, its alignment, and a bin handing
// out the slot freed last. Compiled natively and, in the Windows presets, also by clang for
// *-pc-windows-msvc without exceptions or Microsoft's runtime, where a form the header lacks or
// declares differently leaves a Microsoft name unresolved.
#include <QXMemoryGlobalNew.hpp>
#include <new>

#if !defined(__STDCPP_DEFAULT_NEW_ALIGNMENT__)
#include <cstddef>
#endif

namespace {

void (*report)(const char* failure);
int failed;

void Check(bool ok, const char* what) {
    if (!ok) ++failed, report(what);
}

// What the compiler assumes of the default forms' blocks.
#if defined(__STDCPP_DEFAULT_NEW_ALIGNMENT__)
const size_t promised = __STDCPP_DEFAULT_NEW_ALIGNMENT__;
#else
const size_t promised = alignof(std::max_align_t);
#endif

// Small requests at Alloc's alignment are small-bin elements (kinds 2 to 9, the word's low half
// zero), the rest aligned heap blocks (kind 1, the gap below the word shorter than the
// alignment). Read through a volatile, so that the compiler can neither drop the allocation nor
// take the alignment it expects of operator new for granted.
bool Placed(const void* block, size_t size, size_t alignment) {
    static const void* volatile seen;
    seen = block;
    const unsigned char* bytes = static_cast<const unsigned char*>(seen);
    if (!bytes) return false;
    const uint32_t word = bytes[-4] | uint32_t(bytes[-3]) << 8 | uint32_t(bytes[-2]) << 16 |
                          uint32_t(bytes[-1]) << 24;
    const bool small = alignment <= QXMEMORY_ALLOC_ALIGNMENT && size < 512;
    if (alignment < QXMEMORY_ALLOC_ALIGNMENT) alignment = QXMEMORY_ALLOC_ALIGNMENT;
    return reinterpret_cast<uintptr_t>(bytes) % alignment == 0 &&
           (small ? word >> 28 >= 2 && word >> 28 <= 9 && (word & 0xFFFF) == 0
                  : word >> 28 == 1 && (word & 0x0FFFFFFF) < alignment);
}

#if defined(__cpp_aligned_new)
const std::align_val_t at8 = std::align_val_t(8);
struct alignas(64) Line {
    unsigned char bytes[64];
};
#endif

const struct {
    const char* name;
    void* (*allocate)(size_t size);
    size_t alignment;
} newForms[] = {
    {"new", [](size_t n) { return ::operator new(n); }, promised},
    {"new[]", [](size_t n) { return ::operator new[](n); }, promised},
    {"nothrow new", [](size_t n) { return ::operator new(n, std::nothrow); }, promised},
    {"nothrow new[]", [](size_t n) { return ::operator new[](n, std::nothrow); }, promised},
#if defined(__cpp_aligned_new)
    {"new at 8", [](size_t n) { return ::operator new(n, at8); }, 8},
    {"new[] at 4096", [](size_t n) { return ::operator new[](n, std::align_val_t(4096)); }, 4096},
    {"nothrow new at 64",
     [](size_t n) { return ::operator new(n, std::align_val_t(64), std::nothrow); }, 64},
    {"nothrow new[] at 16",
     [](size_t n) { return ::operator new[](n, std::align_val_t(16), std::nothrow); }, 16},
#endif
};

const struct {
    const char* name;
    void (*release)(void* block);
} deleteForms[] = {
    {"delete", [](void* p) { ::operator delete(p); }},
    {"delete[]", [](void* p) { ::operator delete[](p); }},
    {"nothrow delete", [](void* p) { ::operator delete(p, std::nothrow); }},
    {"nothrow delete[]", [](void* p) { ::operator delete[](p, std::nothrow); }},
#if defined(__cpp_sized_deallocation) || defined(_MSC_VER)
    {"sized delete", [](void* p) { ::operator delete(p, size_t(24)); }},
    {"sized delete[]", [](void* p) { ::operator delete[](p, size_t(24)); }},
#endif
#if defined(__cpp_aligned_new)
    {"aligned delete", [](void* p) { ::operator delete(p, at8); }},
    {"aligned delete[]", [](void* p) { ::operator delete[](p, at8); }},
    {"aligned nothrow delete", [](void* p) { ::operator delete(p, at8, std::nothrow); }},
    {"aligned nothrow delete[]", [](void* p) { ::operator delete[](p, at8, std::nothrow); }},
#if defined(__cpp_sized_deallocation) || defined(_MSC_VER)
    {"sized aligned delete", [](void* p) { ::operator delete(p, size_t(24), at8); }},
    {"sized aligned delete[]", [](void* p) { ::operator delete[](p, size_t(24), at8); }},
#endif
#endif
};

#if !defined(_MSC_VER)
// Constructed before the checks first allocate and deleting at exit, after the library's first
// use: the library's objects must outlive it.
struct HeldToExit {
    int* value;
    ~HeldToExit() { delete value; }
} heldToExit;
#endif

int handlerCalls;
void UninstallOnThirdCall() {
    if (++handlerCalls == 3) std::set_new_handler(nullptr);
}

}  // namespace

extern "C" int RunGlobalNewChecks(void (*reportFailure)(const char* failure)) {
    report = reportFailure;
    IQXMemory* memory = GetIQXMemory();
    const size_t sizes[] = {0, 24, 200, 1000};
    for (const auto& form : newForms) {
        for (size_t size : sizes) {
            void* block = form.allocate(size);
            void* twin = form.allocate(size);
            Check(Placed(block, size, form.alignment) && twin != block, form.name);
            memory->Free(block);
            memory->Free(twin);
        }
    }
    // Each delete form hands the block to Free: the bin gives the freed slot out next.
    for (const auto& form : deleteForms) {
        void* block = memory->Alloc(24);
        const uintptr_t freed = reinterpret_cast<uintptr_t>(block);
        form.release(block);
        block = memory->Alloc(24);
        Check(reinterpret_cast<uintptr_t>(block) == freed, form.name);
        memory->Free(block);
    }

    // The forms the compiler picks for expressions, sized ones where it has them.
    int* value = new int(5);
    Check(Placed(value, sizeof(int), promised), "new-expression");
#if !defined(_MSC_VER)
    heldToExit.value = value;
#else
    delete value;
#endif
#if defined(__cpp_aligned_new)
    Line* lines = new Line[3];
    Check(Placed(lines, 3 * sizeof(Line), 64), "new[]-expression of a 64-aligned type");
    delete[] lines;

    // An alignment the library cannot serve fails without asking the handler, which cannot help.
    handlerCalls = 0;
    std::set_new_handler(UninstallOnThirdCall);
    Check(!::operator new(16, std::align_val_t(0x20000000), std::nothrow) && handlerCalls == 0,
          "nothrow new at alignment 0x20000000 is null at once");
#endif
    if (sizeof(size_t) > 4)  // not cut to its low 32 bits, 16
        Check(!::operator new(size_t(0xFFFFFFFFu) + 17, std::nothrow), "nothrow new past 4 GiB");

    // The library refuses a size whose raw request passes 4 GiB: the handler is called after each
    // attempt until it uninstalls itself. Through a volatile, as g++ rejects a constant size
    // above PTRDIFF_MAX.
    static volatile size_t refusedSize = 0xFFFFFFF0u;
    const size_t refused = refusedSize;
    handlerCalls = 0;
    std::set_new_handler(UninstallOnThirdCall);
    Check(!::operator new(refused, std::nothrow) && handlerCalls == 3,
          "nothrow new calls the handler until there is none");
#if defined(__cpp_exceptions)
    handlerCalls = 0;
    std::set_new_handler(UninstallOnThirdCall);
    try {
        memory->Free(::operator new[](refused));
        Check(false, "new[] throws");
    } catch (const std::bad_alloc&) {
        Check(handlerCalls == 3, "new[] calls the handler before it throws");
    }
    std::set_new_handler([] { throw std::bad_alloc(); });
    Check(!::operator new(refused, std::nothrow), "nothrow new is null when the handler throws");
    std::set_new_handler(nullptr);
#endif
    return failed;
}
