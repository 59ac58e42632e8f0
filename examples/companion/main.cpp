// A host program linked to the QXMemory shared library, using the C++17 companion header:
// standard containers on the library's memory, a thread tag for one scope, a range heap and a
// bank that clean up after themselves, and a snapshot built for the library's queries.
#include "QXMemory.hpp"

#include <cstdio>
#include <memory_resource>
#include <string>
#include <vector>

int main() {
    IQXMemory& memory = qxmemory::DefaultMemory();
    int failures = 0;
    auto check = [&failures](bool ok, const char* what) {
        std::printf("  %-58s %s\n", what, ok ? "ok" : "FAILED");
        failures += !ok;
    };

    // Standard containers: a pmr vector through the memory resource, a std::vector through
    // the allocator.
    qxmemory::MemoryResource resource;
    std::pmr::vector<std::pmr::string> names(&resource);
    for (int i = 0; i < 100; ++i) names.emplace_back("texture number " + std::to_string(i));
    check(names.size() == 100 && names[42] == "texture number 42", "pmr vector of pmr strings");
    std::vector<double, qxmemory::Allocator<double>> samples(1000, 0.5);
    check(samples[999] == 0.5, "std::vector with qxmemory::Allocator");
    void* page = resource.allocate(8192, 4096);
    check(reinterpret_cast<uintptr_t>(page) % 4096 == 0, "4096-aligned block from the resource");
    resource.deallocate(page, 8192, 4096);

    // A thread tag for one scope: the depth is back where it was after it.
    const AllocTag loading = {"Loading", "Textures", 3};
    ThreadTagContext* context = nullptr;
    {
        qxmemory::TagScope tag(loading);
        context = tag.Context();
        check(context && context->depth == 1, "tag scope open: depth 1");
    }
    check(context && context->depth == 0, "tag scope closed: depth 0");

    // A range heap over 1 MiB of "video memory" at 0x10000000, destroyed at scope exit.
    {
        qxmemory::RangeHeapOwner vram(1 << 20, 64, 16, 0x10000000);
        const auto low = vram.Alloc(1000, 256);
        const auto high = vram.Alloc(5000, 4096, false);
        check(vram && low && high && (0x10000000u + high->offset) % 4096 == 0,
              "range heap: bottom-up and top-down allocations");
        std::printf("  range heap: offsets %u and %u, largest free %u\n",
                    unsigned(low ? low->offset : 0), unsigned(high ? high->offset : 0),
                    unsigned(vram.Info().largestFree));
        if (low) vram.Free(*low);
        if (high) vram.Free(*high);
        check(vram.Info().largestFree == 1u << 20, "range heap: all free again");
    }

    // Two owners of one shareable bank; each releases its reference at scope exit.
    {
        qxmemory::BankOwner bank(48, 1000, true);
        qxmemory::BankOwner shared(48, 1000, true);
        check(bank && bank.Get() == shared.Get(), "shareable bank shared by two owners");
        void* element = bank.Alloc();
        check(element != nullptr, "bank element");
        bank.Free(element);
    }

    // A snapshot the library's queries read: categories in any order, children by parent.
    qxmemory::SnapshotBuilder builder;
    MemStats used = {};
    used.words[0] = 4096;
    CategoryNode* all = builder.AddCategory("All", 1);
    builder.AddCategory("All.Textures", 2, all, used);
    builder.AddCategory("All.Sounds", 3, all);
    MemStats first, second;
    const bool found =
        memory.GetCategoryStatsByName(&builder.Snapshot(), "all.textures", &first, &second);
    check(found && first.words[0] == 4096, "snapshot: category found by name, any case");
    check(memory.GetChildCategoryCount(&builder.Snapshot(), "All") == 2,
          "snapshot: two children of All");

    std::printf("%s\n", failures ? "companion example FAILED" : "companion example passed");
    return failures ? 1 : 0;
}
