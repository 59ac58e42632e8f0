// A host linked against an installed QXMemory: a few requests through the interface and the
// companion header, each checked, and exit status 0 only if all of them behaved.
#include <IQXMemory.h>
#include <QXMemory.hpp>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int failures = 0;

void Expect(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "consumer: %s failed\n", what);
        ++failures;
    }
}

}  // namespace

int main() {
    IQXMemory* memory = GetIQXMemory();
    Expect(memory != nullptr && memory == GetIQXMemory(), "GetIQXMemory");
    if (!memory) return 1;

    // A small-bin element and an over-aligned heap block, written end to end.
    char* small = static_cast<char*>(memory->Alloc(24));
    char* aligned = static_cast<char*>(memory->AllocAligned(1000, 256));
    Expect(small != nullptr, "Alloc");
    Expect(aligned != nullptr && reinterpret_cast<uintptr_t>(aligned) % 256 == 0, "AllocAligned");
    if (small) std::memset(small, 0x5A, 24);
    if (aligned) std::memset(aligned, 0xA5, 1000);
    memory->Free(small);
    memory->Free(aligned);

    // A bank of 40-byte elements.
    IAllocator* bank = memory->CreateBank(40, 64, false);
    Expect(bank != nullptr, "CreateBank");
    if (bank) {
        void* element = bank->Alloc();
        Expect(element != nullptr, "bank Alloc");
        bank->Free(element);
        bank->Release();
    }

    // Offsets inside a 1 MiB range the host owns at 0x10000, aligned as absolute addresses.
    RangeHeap* heap = memory->CreateRangeHeap(1 << 20, 16, 16, 0x10000);
    uint32_t offset = 0;
    uint16_t handle = 0;
    Expect(heap && memory->RangeAlloc(heap, 4096, 4096, &offset, &handle, true) &&
               (0x10000 + offset) % 4096 == 0 && offset + 4096 <= (1u << 20),
           "RangeAlloc");
    if (heap) {
        memory->RangeFree(heap, handle);
        memory->DestroyRangeHeap(heap);
    }

    // Standard containers over the library, inside a tag bracket.
    {
        static const AllocTag tag = {"Consumer", "Containers", 7};
        qxmemory::TagScope scope(tag, *memory);
        Expect(scope && scope.Context()->depth >= 1, "TagScope");
        qxmemory::MemoryResource resource(*memory);
        std::pmr::vector<std::pmr::string> names(&resource);
        for (int i = 0; i < 100; ++i)
            names.emplace_back(std::to_string(i) + " a name long enough to allocate");
        std::vector<double, qxmemory::Allocator<double>> values(
            1000, 0.5, qxmemory::Allocator<double>(*memory));
        Expect(names.size() == 100 && names[99].compare(0, 3, "99 ") == 0, "pmr vector");
        Expect(values.size() == 1000 && values[999] == 0.5, "allocator vector");
    }

    if (failures) return 1;
    std::puts("consumer: ok");
    return 0;
}
